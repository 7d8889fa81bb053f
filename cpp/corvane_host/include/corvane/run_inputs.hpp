// The files of one driver run: where the inputs are found (discovery of an
// input directory, listed names resolved), and what a run refuses before it
// reads or writes anything (special files, a missing directory, an output
// over an input).
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace corvane {

namespace nb = nanobind;

// What kind of file system entry `path` is when it is not a regular file
// ("a FIFO", "a directory", ...); nullptr for a regular file. Follows
// symbolic links. Opening a FIFO or a device could block for ever.
const char *irregular_kind(nb::handle path);

// A directory the run reads from (`role` "Input") or writes into ("Output")
// must exist as a directory; nothing creates it. FileNotFoundError or
// NotADirectoryError otherwise.
void require_directory(nb::handle directory, const char *role);

// output_dir/output_json of a driver (its attributes).
nb::object output_path(nb::handle assembler);

// The output's folder must exist, and neither the output nor its manifest
// path may be a directory (a symbolic link there is replaced, whatever it
// points to).
void require_output_location(nb::handle out_path, nb::handle manifest_path);

// Appends to the driver's input_files the regular files of its input_dir
// whose names end in .json or .tsv (any case), in listing order, leaving out
// the run's own output and manifest and what earlier runs wrote there.
// `writing`: a file of another kind at the run's own output or manifest path
// stops the run (it would replace an input).
void discover_files(nb::handle assembler, bool writing);

struct ResolvedInput {
    nb::object name;  // as listed or discovered
    nb::object path;  // the existing path it resolved to
};

// Resolves every listed name of the driver (as given, else under
// input_dir) and refuses special files before any file is read. Names found
// nowhere go to `missing`.
std::vector<ResolvedInput> resolve_inputs(nb::handle assembler, nb::list &missing);

// Missing names: FileNotFoundError in a strict run, else a WARNING each,
// added to the provenance `record` (when not None).
void report_missing(nb::list &missing, nb::handle record, bool strict);

// Neither the output nor its manifest may be written over an input (the
// same path, or another name of the same file): ValueError.
void refuse_output_over_inputs(nb::handle assembler, const std::vector<ResolvedInput> &inputs);

}  // namespace corvane
