// Reading files and JSON through the host, and logging to the run's log.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane {

namespace nb = nanobind;

// os.path.join(directory, name) and os.path.dirname(path): two plain str
// worked out here exactly as the host does, anything else by the host.
nb::object join_path(nb::handle directory, nb::handle name);
nb::object directory_of(nb::handle path);

// The whole content of the file at `path` as bytes: a regular file named by
// str or bytes read directly, anything else (and any failure, for its error)
// through the host's open(path, "rb"); the file is closed also when reading
// fails.
nb::object read_file_bytes(nb::handle path);

// The content of the regular file at `path` (str or bytes) when it holds at
// most `largest` bytes, read directly; an invalid object otherwise (a larger
// or special file, or one that cannot be read), for the caller to read it
// its own way.
nb::object read_small_file_bytes(nb::handle path, Py_ssize_t largest);

// Keeps the bytes a reader read from `path` on the reader, as its attribute
// "_source_bytes" = (path, bytes), so that the run's manifest hashes what was
// read instead of reading the file again. Only files of up to 1 MiB
// (kLargestKeptSource) are kept: a larger one is read again for its checksum
// rather than held in memory while its records are built.
constexpr Py_ssize_t kLargestKeptSource = 1 << 20;
void keep_source_bytes(nb::handle reader, nb::handle path, nb::handle content);

// json.load(stream), closing the stream afterwards, also when parsing fails.
nb::object json_load_closing(nb::handle stream);


// Logs to the command line's direct log when one is open, else through the
// root logger: logging.info / logging.warning / logging.error.
void log_info(nb::handle message);
void log_warning(nb::handle message);
void log_error(nb::handle message);

}  // namespace corvane
