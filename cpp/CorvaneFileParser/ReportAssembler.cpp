// The driver: the request, the run over the input files, the unified
// output and its provenance manifest. Its command line is the Python module
// CommandLine.py (made from one option table); the files a run reads and
// refuses are corvane/run_inputs.hpp; files are written by AtomicFile.
#include <corvane/atomic_file.hpp>
#include <corvane/c_api.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_io.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/json_kind.hpp>
#include <corvane/json_writer.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/run_inputs.hpp>
#include <corvane/sample_identity.hpp>

#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace corvane;
using driver_entry::entry;
using namespace driver_entry;

namespace {

constexpr const char *kModule = "CorvaneFileParser.ReportAssembler";
// Holds the provenance record while run() writes; parse_files reports to it.
constexpr const char *kRecordAttribute = "_provenance";
// Prefixes of the notes added to an error: this one while reading, and
// kWritingNote (atomic_file.hpp) while writing. The command line puts the
// path that follows them in front of its one-line message.
constexpr const char *kReadingNote = "while reading ";

// Names this module's globals hold (the constants class, the reader factory,
// the driver class) are looked up on each use, so a replacement installed on
// the module is the one used.
nb::object module_global(const char *name) { return host_module(kModule).attr(name); }

nb::object constant(const char *name) {
    return module_global("CorvaneConstants").attr(name);
}

// ---------------------------------------------------------------------------
// Construction and run
// ---------------------------------------------------------------------------

// A path of the request as the command line gives it: an os.PathLike or
// bytes path as its str (os.fsdecode: bytes that are not UTF-8 become
// surrogate escapes, as in sys.argv); a str, or any other value, as given.
bool is_other_path(nb::handle value) {
    return !is_text(value) && (PyBytes_Check(value.ptr()) || nb::hasattr(value, "__fspath__"));
}

nb::object path_text(nb::handle value) {
    return is_other_path(value) ? host_attr("os", "fsdecode")(value) : nb::borrow(value);
}

// The request's list of input files, and the paths its input_kinds names,
// with their paths as path_text gives them; the object given when none
// needs it.
nb::object path_texts(nb::handle files) {
    bool other = false;
    if (is_list(files) || PyTuple_Check(files.ptr()))
        for_each(files, [&](nb::handle name) { other |= is_other_path(name); });
    if (!other)
        return nb::borrow(files);
    nb::list names;
    for_each(files, [&](nb::handle name) { names.append(path_text(name)); });
    return names;
}

nb::object path_keys(nb::handle kinds) {
    bool other = false;
    if (is_dict(kinds))
        other = entries_until(kinds, [](nb::handle path, nb::handle) { return is_other_path(path); });
    if (!other)
        return nb::borrow(kinds);
    nb::dict named;
    entries_until(kinds, [&](nb::handle path, nb::handle kind) {
        named[path_text(path)] = kind;
        return false;
    });
    return named;
}

void init_assembler(nb::handle self, nb::handle request) {
    nb::setattr(self, "output_dir", path_text(get(request, constant("OUTPUT_DIR"), interned("."))));
    nb::setattr(self, "output_json",
                path_text(get(request, constant("OUTPUT_JSON"), interned("corvane_output.json"))));
    nb::setattr(self, "input_dir", path_text(get(request, constant("INPUT_DIR"), interned("."))));
    nb::object absent = nb::steal(PyObject_CallNoArgs((PyObject *) &PyBaseObject_Type));
    nb::object files = get(request, interned("input_files"), absent);
    if (files.is(absent))
        files = nb::list();
    nb::setattr(self, "input_files", path_texts(files));
    nb::setattr(self, "strict", get(request, constant("STRICT"), nb::handle(Py_False)));
    nb::setattr(self, "sample", get(request, constant("SAMPLE"), nb::none()));
    nb::object aliases = get(request, constant("SAMPLE_ALIASES"), absent);
    nb::setattr(self, "sample_aliases", aliases.is(absent) ? nb::object(nb::list()) : aliases);
    nb::object kinds = get(request, constant("INPUT_KINDS"), absent);
    nb::setattr(self, "input_kinds", kinds.is(absent) ? nb::object(nb::dict()) : path_keys(kinds));
    nb::setattr(self, "durable", get(request, constant("DURABLE"), nb::handle(Py_True)));
    // Kept only when the request gives them: a whole sample sheet in one run
    // (see SheetRun.py).
    for (const char *key : {"sample_sheet", "jobs", "summary_dir"}) {
        nb::object value = get(request, interned(key), absent);
        if (!value.is(absent))
            nb::setattr(self, key, path_text(value));
    }
}

// ---------------------------------------------------------------------------
// Kinds and sample identity
// ---------------------------------------------------------------------------

// The request's kinds ({path: kind}) and aliases (names) are checked before
// anything is read.
void check_kinds_and_aliases(nb::handle kinds, nb::handle aliases, nb::handle sample) {
    if (!kinds.is_none()) {
        if (!is_dict(kinds))
            raise(PyExc_TypeError, concat_str({interned("input_kinds must map paths to kinds, "
                                                        "not "),
                                               class_name(kinds)}));
        nb::object check = entry(kCheckInputKind);
        entries_until(kinds, [&](nb::handle path, nb::handle kind) {
            check(path, kind);
            return false;
        });
    }
    if (!aliases.is_none()) {
        bool names = is_list(aliases) || PyTuple_Check(aliases.ptr());
        if (names)
            for_each(aliases, [&](nb::handle alias) { names &= is_text(alias); });
        if (!names)
            raise(PyExc_TypeError, "sample_aliases must be a list of names");
    }
    if (!sample.is_none() && !is_text(sample))
        raise(PyExc_TypeError, concat_str({interned("sample must be a str, got "),
                                           class_name(sample)}));
}

// The kind given for an input, by its name as listed, else by the path it
// resolved to; None when none is given.
nb::object kind_of(nb::handle kinds, nb::handle name, nb::handle path) {
    if (kinds.is_none() || !truthy(kinds))
        return nb::none();
    nb::object kind = get(kinds, name);
    return kind.is_none() ? get(kinds, path) : kind;
}

// The sample identifiers a reader found in its file must name the run's
// sample (its ID or an alias, or a longer name starting with one): a file
// that names only other samples is a WARNING naming the file and what it
// holds, an error in a strict run. Identifiers that say nothing are passed
// over, and a file names the sample when any identifier does.
void check_sample_identity(nb::handle reader, nb::handle opened, nb::handle sample,
                           nb::handle aliases, bool strict) {
    nb::object identifiers = nb::getattr(reader, "sample_identifiers", nb::none());
    if (!is_dict(identifiers))
        return;
    nb::list others;
    bool named = entries_until(identifiers, [&](nb::handle field, nb::handle value) {
        if (is_blank_identifier(value))
            return false;
        if (match_sample(value, sample, aliases) != SampleMatch::kNone)
            return true;
        others.append(concat_str({field, interned(" '"), value, interned("'")}));
        return false;
    });
    if (named || nb::len(others) == 0)
        return;
    nb::object held = steal_checked(PyUnicode_Join(interned(", ").ptr(), others.ptr()));
    nb::str message = concat_str({opened, interned(" names another sample than '"), sample,
                                  interned("': "), held});
    if (strict)
        raise(PyExc_ValueError, concat_str({message, interned(" (strict run)")}));
    log_warning(message);
}

nb::object parse_files(nb::handle self) {
    log_info(interned("Started parsing Corvane files"));
    nb::object record = nb::getattr(self, kRecordAttribute, nb::none());
    bool strict = truthy(nb::getattr(self, "strict", nb::handle(Py_False)));
    nb::object sample = nb::getattr(self, "sample", nb::none());
    nb::object aliases = nb::getattr(self, "sample_aliases", nb::none());
    nb::object kinds = nb::getattr(self, "input_kinds", nb::none());
    check_kinds_and_aliases(kinds, aliases, sample);
    // A lone name would be read one character at a time.
    nb::object listed = self.attr("input_files");
    if (is_text(listed) || PyBytes_Check(listed.ptr()))
        raise(PyExc_TypeError, concat_str({interned("input_files must be a list of paths, not "),
                                           class_name(listed)}));

    if (!truthy(self.attr("input_files")))
        discover_files(self, !record.is_none());
    if (!truthy(self.attr("input_files")))
        raise(PyExc_ValueError, "No input files found in configuration or input directory.");

    nb::list missing;
    std::vector<ResolvedInput> inputs = resolve_inputs(self, missing);
    report_missing(missing, record, strict);
    if (inputs.empty())
        raise(PyExc_ValueError, "No input files found in configuration or input directory.");
    if (!record.is_none())
        refuse_output_over_inputs(self, inputs);

    nb::dict result;
    nb::dict origin;  // output key -> the file that wrote it
    nb::object get_parser = module_global("ReportReaderFactory").attr("get_parser");
    for (const ResolvedInput &input : inputs) {
        try {
            nb::object kind = kind_of(kinds, input.name, input.path);
            nb::object reader = kind.is_none() ? get_parser(input.path) : get_parser(input.path, kind);
            if (!sample.is_none()) {
                nb::setattr(reader, "sample", sample);
                nb::setattr(reader, "sample_aliases", aliases);
            }
            nb::object opened = nb::getattr(reader, "file_path", input.path);
            nb::object resource = nb::getattr(reader, "resource_name", nb::none());
            log_info(concat_str({interned("Reading "), opened, interned(" with "),
                                 class_name(reader),
                                 resource.is_none() ? nb::handle(interned(""))
                                                    : nb::handle(concat_str({interned(" ("),
                                                                             resource,
                                                                             interned(")")}))}));
            nb::object file_result = self.attr("parse_by_config")(reader);
            if (!sample.is_none())
                check_sample_identity(reader, opened, sample, aliases, strict);
            // Merged through a plain dict, so that anything dict.update
            // refuses fails as before.
            nb::object incoming = file_result;
            if (!PyDict_Check(file_result.ptr())) {
                incoming = nb::dict();
                if (PyDict_Update(incoming.ptr(), file_result.ptr()) < 0)
                    raise_pending();
            }
            nb::list keys, replaced;
            for (nb::handle key : nb::borrow<nb::dict>(incoming).keys()) {
                keys.append(key);
                if (contains(result, key))
                    replaced.append(key);
            }
            for (nb::handle key : replaced) {
                nb::object earlier = get(origin, key);
                if (strict)
                    raise(PyExc_ValueError,
                          concat_str({interned("Section "), key, interned(" from "), opened,
                                      interned(" would replace the one from "), earlier,
                                      interned(" (strict run).")}));
                log_warning(concat_str({interned("Section "), key, interned(" from "), opened,
                                        interned(" replaces the one from "), earlier}));
            }
            // A key already present keeps its place and takes the later value.
            if (PyDict_Update(result.ptr(), incoming.ptr()) < 0)
                raise_pending();
            for (nb::handle key : keys)
                origin[key] = opened;
            if (!record.is_none())
                record.attr("add_input")(input.name, opened, reader, keys, replaced);
        } catch (nb::python_error &error) {
            add_note(error, concat_str({interned(kReadingNote), input.path}));
            throw;
        }
    }
    return std::move(result);
}

nb::object parse_by_config(nb::handle, nb::handle parser) {
    nb::object data = parser.attr("parse")();
    return parser.attr("build_result")(data);
}

// Streams the unified result into `file` as the bytes of
// json.dumps(indent=4) in UTF-8 (pure ASCII with the encoder's defaults),
// counting and hashing them on the way; returns (size, SHA-256). A value the
// encoder refuses is found before anything is written. What the writer buys:
// the host's bytes in about a third of json.dumps' time, without the whole
// text in memory.
nb::object write_result(nb::handle result, nb::handle file) {
    nb::object sink = entry(kDigestingWriter)(file);
    write_json(result, sink);
    return sink.attr("result")();
}

nb::object run(nb::handle self, nb::handle return_dict) {
    if (!nb::getattr(self, "sample_sheet", nb::none()).is_none())
        return entry(kRunSheet)(self, return_dict);
    if (truthy(return_dict))
        return self.attr("parse_files")();

    nb::object out_path = output_path(self);
    nb::object manifest_path = entry(kManifestPath)(out_path);
    require_output_location(out_path, manifest_path);
    require_name_room(out_path, true);
    require_name_room(manifest_path, false);
    bool durable = truthy(nb::getattr(self, "durable", nb::handle(Py_True)));
    nb::object record = entry(kRunRecord)(self, out_path);
    nb::setattr(self, kRecordAttribute, record);
    auto release = [&] {
        if (PyObject_DelAttrString(self.ptr(), kRecordAttribute) < 0)
            PyErr_Clear();
        try {
            record.attr("close")();
        } catch (nb::python_error &) {
        }
    };
    try {
        nb::object result = self.attr("parse_files")();
        nb::object written;
        // The manifest is made once the output is written, so it describes
        // the complete output; the two are renamed into place together.
        write_file_pair(
            out_path, manifest_path, durable,
            [&](nb::handle file) { written = write_result(result, file); },
            [&] { return record.attr("finish")(out_path, nb::arg("written") = written); });
        log_info(concat_str({interned("Wrote unified JSON to "), out_path}));
        log_info(concat_str({interned("Wrote provenance manifest to "), manifest_path}));
    } catch (...) {
        release();
        throw;
    }
    release();
    return nb::none();
}

// ---------------------------------------------------------------------------
// Threshold sentence
// ---------------------------------------------------------------------------

nb::object threshold_warning(nb::handle w, nb::handle parsed, nb::handle value_key,
                             nb::handle threshold_key, nb::handle label) {
    nb::object name = get(w, interned("caller_name"));
    nb::object field = get(w, value_key);
    nb::object threshold = get(w, threshold_key);
    nb::object value = get(parsed, truthy(field) ? nb::handle(field) : interned(""));

    if (is_number(value) && !threshold.is_none()) {
        int reached = PyObject_RichCompareBool(value.ptr(), threshold.ptr(), Py_GE);
        if (reached < 0)
            raise_pending();
        if (reached)
            return concat_str({interned("Based on "), name, interned(", sample "), label,
                               interned(" "), value, interned(" \xe2\x89\xa5 "), threshold});
    }
    return nb::str("");
}

// The one-line message of a failure: "<path>: <message>", the path taken
// from the note the driver added while reading or writing a file (left out
// when the message names it already).
nb::str failure_message(nb::handle error) {
    nb::object text;
    try {
        text = to_str(error);
    } catch (nb::python_error &) {
        text = nb::str("");
    }
    // A key error's text is only the key.
    if (!truthy(text))
        text = class_name(error);
    else if (PyErr_GivenExceptionMatches(error.ptr(), PyExc_KeyError))
        text = concat_str({class_name(error), interned(": "), text});

    nb::object notes = nb::getattr(error, "__notes__", nb::none());
    if (is_list(notes)) {
        nb::object path;
        for (nb::handle note : nb::borrow<nb::list>(notes)) {
            if (!is_text(note))
                continue;
            for (const char *prefix : {kReadingNote, kWritingNote})
                if (truthy(note.attr("startswith")(prefix)))
                    path = note[nb::slice(nb::int_(std::char_traits<char>::length(prefix)),
                                          nb::none(), nb::none())];
        }
        if (path.is_valid() && !contains(text, path))
            text = concat_str({path, interned(": "), text});
    }
    // Line breaks, control characters and undecodable bytes of a file name
    // are escaped, so the message stays one line and shows the name as it is.
    text = entry(kPrintable)(text);
    return nb::borrow<nb::str>(nb::str(" ").attr("join")(text.attr("splitlines")()));
}

// ---------------------------------------------------------------------------
// Command line (CommandLine.py)
// ---------------------------------------------------------------------------

nb::object parse_args() { return entry(kParseArgs)(); }

void from_cli(nb::handle cls) { entry(kFromCli)(cls); }

int main_entry(nb::handle argv) { return nb::cast<int>(entry(kMain)(argv)); }

nb::object json_kind_name(nb::handle value) {
    const char *kind = json_kind(value);
    return nb::str(kind ? kind : "another value");
}

nb::object irregular_kind_name(nb::handle path) {
    const char *kind = irregular_kind(path);
    return kind ? nb::object(nb::str(kind)) : nb::none();
}

void require_directory_named(nb::handle directory, nb::str role) {
    require_directory(directory, role.c_str());
}

}  // namespace

NB_MODULE(ReportAssembler, m) {
    m.attr("ReportReaderFactory") = entry(kReaderFactory);
    m.attr("CorvaneConstants") = entry(kConstants);
    m.attr("RequestError") = steal_checked(PyErr_NewExceptionWithDoc(
        "CorvaneFileParser.ReportAssembler.RequestError",
        "A run configuration file that cannot be read, is not a JSON object, or holds an "
        "unknown key or a value of the wrong kind; or an unknown kind given with --input.",
        PyExc_ValueError, nullptr));

    nb::dict attributes;
    for (const char *name : {"output_dir", "output_json", "input_dir"})
        attributes[name] = nb::str("str");
    attributes["input_files"] = nb::str("list[str]");
    attributes["strict"] = nb::str("bool");
    attributes["sample"] = nb::str("str | None");
    attributes["sample_aliases"] = nb::str("list[str]");
    attributes["input_kinds"] = nb::str("dict[str, str]");
    attributes["sample_sheet"] = nb::str("str | None");
    attributes["jobs"] = nb::str("int | None");
    attributes["summary_dir"] = nb::str("str | None");
    attributes["durable"] = nb::str("bool");

    ClassBuilder::plain(m, "ReportAssembler")
        .doc("Reads the files of one request and merges their sections into one unified JSON\n"
             "document.\n\n"
             "The request is a mapping: \"input_dir\" (listed when no files are given, and\n"
             "searched for listed names that do not exist as given; default \".\"),\n"
             "\"output_dir\" (default \".\"), \"output_json\" (default \"corvane_output.json\"),\n"
             "\"input_files\" (names read in this order), \"strict\" (a missing listed file or a\n"
             "replaced section is an error), \"sample\" (the sample every file's sample\n"
             "identifiers must name, and the row of a multi-row caller table to read),\n"
             "\"sample_aliases\" (other names of the sample), \"input_kinds\" ({path: kind}:\n"
             "a listed file's kind, \"panel\", \"smn\", \"gba\", \"targeted\" or\n"
             "\"paraphase\", wins over its name), \"durable\" (default true; false leaves\n"
             "syncing the written files to disk to the caller) and \"MAP_FILES\" (per-file\n"
             "settings passed on; the shipped readers do not read them). The values are\n"
             "kept as the attributes input_dir, output_dir, output_json, input_files,\n"
             "strict, sample, sample_aliases, input_kinds and durable. Given,\n"
             "\"sample_sheet\" (with \"jobs\" and \"summary_dir\") makes run() run every\n"
             "sample of a sheet; these are kept as attributes of the same names.")
        .attr("__annotations__", attributes)
        .method("__init__", &init_assembler, nb::arg("json_request").none(),
                nb::sig("def __init__(self, json_request: collections.abc.Mapping[str, typing.Any])"
                        " -> None"),
                "Keeps the request's settings; reads no file.")
        .method("run", &run, nb::arg("return_dict").none() = false,
                nb::sig("def run(self, return_dict: bool = False)"
                        " -> CorvaneFileParser.Models.JsonDict | None"),
                "Reads every input file and merges their entries.\n\n"
                "With return_dict true, returns the unified mapping (upper-cased section\n"
                "name -> {\"data\", \"warning\" for sections with warning settings,\n"
                "\"caller_name\", \"status\"}) and writes nothing. Otherwise writes it as JSON\n"
                "(indent 4, UTF-8) to output_dir/output_json and the provenance manifest\n"
                "beside it, each through a temporary file renamed into place (a symbolic\n"
                "link there is replaced, not followed), and returns None; a failed run\n"
                "keeps the earlier output.\n\n"
                "Raises ValueError when no input file is found or a file name is not\n"
                "supported, RuntimeError when a configuration resource cannot be loaded,\n"
                "OSError when a file cannot be read or written, and the readers' errors\n"
                "for malformed input.\n\n"
                "With \"sample_sheet\", runs every sample of the sheet into\n"
                "output_dir/<sample>/ and writes the run summary; raises RequestError for a\n"
                "bad sheet and RuntimeError, after writing everything, when a sample failed.")
        .method("parse_files", &parse_files,
                nb::sig("def parse_files(self) -> CorvaneFileParser.Models.JsonDict"),
                "Reads the input files (or, when none are listed, the .json and .tsv files\n"
                "of input_dir) in order and returns their merged entries; a key produced\n"
                "again by a later file takes the later entry. A listed file found nowhere\n"
                "is logged as a WARNING and skipped. Raises as run() does.")
        .method("parse_by_config", &parse_by_config, nb::arg("parser").none(),
                nb::sig("def parse_by_config(self, parser:"
                        " CorvaneFileParser.Parsers.ReportReaderBase.ReportReaderBase)"
                        " -> CorvaneFileParser.Models.JsonDict"),
                "Runs one reader: parser.parse(), then parser.build_result() on its data.\n"
                "Returns the reader's unified entries; raises the reader's errors.")
        .static_method("_threshold_warning", &threshold_warning, nb::arg("w").none(),
                       nb::arg("parsed").none(), nb::arg("value_key").none(),
                       nb::arg("threshold_key").none(), nb::arg("label").none())
        .static_method("parse_args", &parse_args,
                       nb::sig("def parse_args() -> argparse.Namespace"),
                       "Parses the corvane-parse options from sys.argv; a bad command line\n"
                       "exits with status 2.")
        .class_method("from_cli", &from_cli, nb::sig("def from_cli(cls) -> None"),
                      "Builds the request from the command-line options and the -c\n"
                      "configuration file (an option replaces the file's value), then\n"
                      "constructs the class with it and runs it, writing the output.")
        .finish();
    m.def("main", &main_entry, nb::arg("argv").none() = nb::none(),
          nb::sig("def main(argv: collections.abc.Sequence[str] | None = None) -> int"),
          "Command-line entry on argv (default sys.argv[1:]): parse the options, set up "
          "logging, write the unified JSON and its manifest; returns the exit status (0 done, "
          "1 failed, 2 bad command line or request). --help, --version and a bad command line "
          "raise SystemExit, as the program exits, and touch no file. Called from Python it "
          "keeps the caller's signal handlers and logging; the corvane-parse script calls "
          "CommandLine.run_program.");
    m.def("_failure_message", &failure_message, nb::arg("error"),
          nb::sig("def _failure_message(error: BaseException) -> str"),
          "The one line the command line prints for a failure (without the program name).");
    // For CommandLine.py: the driver's own rules, in one place.
    m.def("_json_kind", &json_kind_name, nb::arg("value").none());
    m.def("_irregular_kind", &irregular_kind_name, nb::arg("path"));
    m.def("_require_directory", &require_directory_named, nb::arg("directory"), nb::arg("role"));
    m.def("_write_json", &write_json, nb::arg("obj").none(), nb::arg("file").none(),
          nb::sig("def _write_json(obj: typing.Any, file: typing.BinaryIO) -> bool"),
          "Writes json.dumps(obj, indent=4, allow_nan=False).encode() to the binary file\n"
          "(a NaN or infinity raises ValueError before anything is written); True when streamed,\n"
          "False when the object was handed to the host's json.dumps.");
}
