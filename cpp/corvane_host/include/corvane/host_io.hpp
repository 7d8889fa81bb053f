// Reading files and JSON through the host, and logging to the run's log.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane {

namespace nb = nanobind;

// The whole content of the file at `path` as bytes, read through the host's
// open(path, "rb"); the file is closed also when reading fails.
nb::object read_file_bytes(nb::handle path);

// json.load(stream), closing the stream afterwards, also when parsing fails.
nb::object json_load_closing(nb::handle stream);


// Logs to the command line's direct log when one is open, else through the
// root logger: logging.info / logging.warning / logging.error.
void log_info(nb::handle message);
void log_warning(nb::handle message);
void log_error(nb::handle message);

}  // namespace corvane
