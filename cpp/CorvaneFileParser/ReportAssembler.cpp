// The driver: request, command line, the run over the input files, the
// unified output and its provenance manifest.
#include <corvane/atomic_file.hpp>
#include <corvane/host.hpp>
#include <corvane/json_writer.hpp>
#include <corvane/sample_identity.hpp>

#include <sys/stat.h>

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace corvane;

namespace {

constexpr const char *kModule = "CorvaneFileParser.ReportAssembler";
constexpr const char *kProgram = "corvane-parse";
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

// `module.name`, fetched on each call so that a replaced host function (a
// test's stand-in for os.replace, say) is the one called.
nb::object host_call(const char *module, const char *name) {
    return host_module(module).attr(name);
}

// A function of the provenance module, which is imported on first use.
nb::object provenance(const char *name) {
    return host_module("CorvaneFileParser.Provenance").attr(name);
}

nb::object join_path(nb::handle directory, nb::handle name) {
    return host_attr("os.path", "join")(directory, name);
}

bool path_exists(nb::handle path) { return truthy(host_attr("os.path", "exists")(path)); }

bool is_directory(nb::handle path) { return truthy(host_attr("os.path", "isdir")(path)); }

nb::object real_path(nb::handle path) { return host_attr("os.path", "realpath")(path); }

// Raises `type(message)` with `cause` as its __cause__ and __context__.
[[noreturn]] void raise_from(nb::handle type, nb::handle message, nb::python_error &cause) {
    nb::object original = nb::borrow(cause.value());
    nb::object error = steal_checked(PyObject_CallOneArg(type.ptr(), message.ptr()));
    PyException_SetContext(error.ptr(), nb::object(original).release().ptr());
    PyException_SetCause(error.ptr(), original.release().ptr());
    PyErr_SetRaisedException(error.release().ptr());
    throw nb::python_error();
}

// What kind of file system entry `path` is when it is not a regular file
// ("a FIFO", "a directory", ...); nullptr for a regular file. Follows
// symbolic links.
const char *irregular_kind(nb::handle path) {
    nb::object mode = host_call("os", "stat")(path).attr("st_mode");
    auto is = [&](const char *test) { return truthy(host_attr("stat", test)(mode)); };
    if (is("S_ISREG"))
        return nullptr;
    if (is("S_ISDIR"))
        return "a directory";
    if (is("S_ISFIFO"))
        return "a FIFO";
    if (is("S_ISCHR"))
        return "a character device";
    if (is("S_ISBLK"))
        return "a block device";
    if (is("S_ISSOCK"))
        return "a socket";
    return "a special file";
}

// ---------------------------------------------------------------------------
// Construction and run
// ---------------------------------------------------------------------------

void init_assembler(nb::handle self, nb::handle request) {
    nb::setattr(self, "output_dir", get(request, constant("OUTPUT_DIR"), interned(".")));
    nb::setattr(self, "output_json",
                get(request, constant("OUTPUT_JSON"), interned("corvane_output.json")));
    nb::setattr(self, "input_dir", get(request, constant("INPUT_DIR"), interned(".")));
    nb::object absent = nb::steal(PyObject_CallNoArgs((PyObject *) &PyBaseObject_Type));
    nb::object files = get(request, interned("input_files"), absent);
    if (files.is(absent))
        files = nb::list();
    nb::setattr(self, "input_files", files);
    nb::setattr(self, "strict", get(request, constant("STRICT"), nb::handle(Py_False)));
    nb::setattr(self, "sample", get(request, constant("SAMPLE"), nb::none()));
    nb::object aliases = get(request, constant("SAMPLE_ALIASES"), absent);
    nb::setattr(self, "sample_aliases", aliases.is(absent) ? nb::object(nb::list()) : aliases);
    nb::object kinds = get(request, constant("INPUT_KINDS"), absent);
    nb::setattr(self, "input_kinds", kinds.is(absent) ? nb::object(nb::dict()) : kinds);
    nb::setattr(self, "durable", get(request, constant("DURABLE"), nb::handle(Py_True)));
    // Kept only when the request gives them: a whole sample sheet in one run
    // (see SheetRun.py).
    for (const char *key : {"sample_sheet", "jobs", "summary_dir"}) {
        nb::object value = get(request, interned(key), absent);
        if (!value.is(absent))
            nb::setattr(self, key, value);
    }
}

nb::object output_path(nb::handle self) {
    return join_path(self.attr("output_dir"), self.attr("output_json"));
}

// The real paths of the run's own output and manifest, which discovery
// leaves out; none when the output location is not made of strings (a
// request may hold anything until the output is written).
nb::list own_output_paths(nb::handle self) {
    nb::list paths;
    nb::object directory = self.attr("output_dir"), name = self.attr("output_json");
    if (!is_text(directory) || !is_text(name))
        return paths;
    nb::object out_path = join_path(directory, name);
    paths.append(real_path(out_path));
    paths.append(real_path(provenance("manifest_path")(out_path)));
    return paths;
}

// A directory the run reads from (`role` "Input") or writes into ("Output")
// must exist as a directory; nothing creates it.
void require_directory(nb::handle directory, const char *role) {
    if (is_directory(directory))
        return;
    nb::str lead(role);
    if (path_exists(directory))
        raise(PyExc_NotADirectoryError,
              concat_str({lead, interned(" directory is not a directory: "), directory}));
    raise(PyExc_FileNotFoundError,
          concat_str({lead, interned(" directory not found: "), directory}));
}

// The output and manifest paths themselves: a symbolic link there is
// replaced, whatever it points to; a directory stops the run.
bool is_directory_entry(nb::handle path) {
    try {
        return truthy(host_attr("stat", "S_ISDIR")(host_call("os", "lstat")(path).attr("st_mode")));
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_OSError))
            throw;
        return false;
    }
}

void require_output_location(nb::handle out_path, nb::handle manifest_path) {
    nb::object directory = host_attr("os.path", "dirname")(out_path);
    require_directory(truthy(directory) ? directory : nb::borrow(host_attr("os", "curdir")),
                      "Output");
    for (nb::handle path : {out_path, manifest_path})
        if (is_directory_entry(path))
            raise(PyExc_IsADirectoryError,
                  concat_str({interned("Output path is a directory: "), path}));
}

// Whether a file discovery met at the run's own output path (`index` 0) or
// manifest path (1) was written by an earlier run and is left out. When
// anything else lies there, a writing run stops: the output would replace
// an input.
bool skip_own_file(nb::handle path, size_t index, bool writing) {
    bool own = truthy(provenance(index == 0 ? "is_unified_output" : "is_manifest")(path));
    if (own || !writing)
        return own;
    raise(PyExc_ValueError,
          concat_str({nb::str(index == 0 ? "Output file " : "Manifest file "), path,
                      interned(" would overwrite the input file "), path}));
}

// Appends to `input_files` the regular files of `input_dir` whose names end
// in .json or .tsv (any case), in listing order, leaving out the run's own
// output and manifest, and the unified outputs and manifests earlier runs
// wrote there under other names: read as caller JSON, their sections would
// replace the real ones.
void discover_files(nb::handle self, bool writing) {
    nb::object input_dir = self.attr("input_dir");
    if (!truthy(input_dir))
        return;
    require_directory(input_dir, "Input");
    nb::list own = own_output_paths(self);
    nb::object names = host_attr("os", "listdir")(input_dir);
    nb::object input_files = self.attr("input_files");
    nb::object suffixes = nb::make_tuple(".json", ".tsv");
    for_each(names, [&](nb::handle name) {
        nb::object path = join_path(input_dir, name);
        if (!truthy(host_attr("os.path", "isfile")(path)) ||
            !truthy(lower(name).attr("endswith")(suffixes)))
            return;
        nb::object real = real_path(path);
        for (size_t index = 0; index < nb::len(own); ++index)
            if (equals(own[index], real) && skip_own_file(path, index, writing))
                return;
        if (truthy(lower(name).attr("endswith")(".json"))) {
            nb::object kind = provenance("earlier_output_kind")(path);
            if (!kind.is_none()) {
                log_info(concat_str({interned("Skipping "), path, interned(": the "), kind,
                                     interned(" of an earlier run, not a caller file")}));
                return;
            }
        }
        input_files.attr("append")(path);
    });
}

bool same_file(nb::handle a, nb::handle b) {
    if (equals(real_path(a), real_path(b)))
        return true;
    return path_exists(a) && path_exists(b) && truthy(host_attr("os.path", "samefile")(a, b));
}

struct ResolvedInput {
    nb::object name;  // as listed or discovered
    nb::object path;  // the existing path it resolved to
};

// Resolves every listed name (as given, else under input_dir) and checks
// what it names before any file is read. Names found nowhere go to
// `missing`.
std::vector<ResolvedInput> resolve_inputs(nb::handle self, nb::list &missing) {
    std::vector<ResolvedInput> inputs;
    nb::object input_dir = self.attr("input_dir");
    bool directory_checked = false;
    for_each(self.attr("input_files"), [&](nb::handle name) {
        nb::object path;
        if (path_exists(name)) {
            path = nb::borrow(name);
        } else {
            if (truthy(input_dir) && !directory_checked) {
                require_directory(input_dir, "Input");
                directory_checked = true;
            }
            nb::object joined = join_path(input_dir, name);
            if (!path_exists(joined)) {
                missing.append(name);
                return;
            }
            path = std::move(joined);
        }
        // Opening a FIFO or a device could block for ever.
        if (const char *kind = irregular_kind(path))
            raise(PyExc_ValueError, concat_str({interned("Input "), path, interned(" is "),
                                                nb::str(kind),
                                                interned(", not a regular file")}));
        inputs.push_back({nb::borrow(name), std::move(path)});
    });
    return inputs;
}

// The device and inode of the file at `path` (symbolic links followed), or
// nothing when there is none.
std::optional<std::pair<dev_t, ino_t>> file_id(nb::handle path) {
    nb::object encoded = host_call("os", "fsencode")(path);
    struct stat status;
    if (::stat(PyBytes_AS_STRING(encoded.ptr()), &status) != 0)
        return std::nullopt;
    return std::make_pair(status.st_dev, status.st_ino);
}

// Neither the output nor its manifest may be written over an input: the same
// path, or another name of the same file (a symbolic or hard link). Told by
// device and inode, which the files' real paths would tell alike: a path
// with nothing there yet names no input.
void refuse_output_over_inputs(nb::handle self, const std::vector<ResolvedInput> &inputs) {
    struct OwnFile {
        const char *role;
        nb::object path;
        std::optional<std::pair<dev_t, ino_t>> id;
    };
    nb::object out_path = output_path(self);
    nb::object manifest = provenance("manifest_path")(out_path);
    OwnFile own[] = {{"Output file ", out_path, file_id(out_path)},
                     {"Manifest file ", manifest, file_id(manifest)}};
    if (!own[0].id && !own[1].id)
        return;
    for (const ResolvedInput &input : inputs) {
        auto id = file_id(input.path);
        for (const OwnFile &file : own)
            if (id && file.id == id)
                raise(PyExc_ValueError,
                      concat_str({nb::str(file.role), file.path,
                                  interned(" would overwrite the input file "), input.path}));
    }
}

// Missing names: an error in a strict run, else a WARNING each (recorded).
void report_missing(nb::list &missing, nb::handle record, bool strict) {
    if (nb::len(missing) == 0)
        return;
    if (strict) {
        nb::str names = nb::borrow<nb::str>(steal_checked(
            PyUnicode_Join(nb::str(", ").ptr(), nb::list(missing).ptr())));
        const char *lead = nb::len(missing) == 1 ? "File " : "Files ";
        raise(PyExc_FileNotFoundError,
              concat_str({nb::str(lead), names, interned(" not found (strict run).")}));
    }
    for (nb::handle name : missing) {
        log_warning(concat_str({interned("File "), name, interned(" not found. Skipping.")}));
        if (!record.is_none())
            record.attr("add_missing")(name);
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
        nb::handle check = host_attr("CorvaneFileParser.Parsers.ReportReaderFactory",
                                     "check_input_kind");
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
// encoder refuses is found before anything is written.
nb::object write_result(nb::handle result, nb::handle file) {
    nb::object sink = provenance("DigestingWriter")(file);
    write_json(result, sink);
    return sink.attr("result")();
}

nb::object run(nb::handle self, nb::handle return_dict) {
    if (!nb::getattr(self, "sample_sheet", nb::none()).is_none())
        return import_attr("CorvaneFileParser.SheetRun", "run_sheet")(self, return_dict);
    if (truthy(return_dict))
        return self.attr("parse_files")();

    nb::object out_path = output_path(self);
    nb::object manifest_path = provenance("manifest_path")(out_path);
    require_output_location(out_path, manifest_path);
    require_name_room(out_path, true);
    require_name_room(manifest_path, false);
    bool durable = truthy(nb::getattr(self, "durable", nb::handle(Py_True)));
    nb::object record = provenance("RunRecord")(self, out_path);
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

// ---------------------------------------------------------------------------
// Run configuration file
// ---------------------------------------------------------------------------

enum class ValueKind { Text, TextList, Object, TextMap, Boolean, Count };

struct RequestKey {
    nb::object name;
    ValueKind kind;
};

// The keys a run configuration file may hold, in documentation order.
std::vector<RequestKey> request_file_keys() {
    return {
        {constant("INPUT_DIR"), ValueKind::Text},
        {constant("OUTPUT_DIR"), ValueKind::Text},
        {constant("OUTPUT_JSON"), ValueKind::Text},
        {nb::borrow(interned("input_files")), ValueKind::TextList},
        {nb::borrow(interned("map_files")), ValueKind::Object},
        {constant("STRICT"), ValueKind::Boolean},
        {constant("SAMPLE"), ValueKind::Text},
        {constant("SAMPLE_ALIASES"), ValueKind::TextList},
        {constant("INPUT_KINDS"), ValueKind::TextMap},
        {constant("DURABLE"), ValueKind::Boolean},
        {nb::borrow(interned("sample_sheet")), ValueKind::Text},
        {nb::borrow(interned("jobs")), ValueKind::Count},
        {nb::borrow(interned("summary_dir")), ValueKind::Text},
    };
}

// "a string", "an array", ... : a parsed JSON value's kind, for messages.
const char *json_kind(nb::handle value) {
    if (value.is_none())
        return "null";
    if (PyBool_Check(value.ptr()))
        return "a boolean";
    if (is_number(value))
        return "a number";
    if (is_text(value))
        return "a string";
    if (is_list(value))
        return "an array";
    if (is_dict(value))
        return "an object";
    return "another value";
}

[[noreturn]] void raise_request_error(nb::handle message) {
    raise(module_global("RequestError").ptr(), message);
}

nb::str quoted(nb::handle key) { return concat_str({interned("\""), key, interned("\"")}); }

// The wrong kind of value for `key`, or nullptr when the value fits.
const char *misfit(nb::handle value, ValueKind kind) {
    switch (kind) {
    case ValueKind::Text:
        return is_text(value) ? nullptr : json_kind(value);
    case ValueKind::Object:
        return is_dict(value) ? nullptr : json_kind(value);
    case ValueKind::TextMap: {
        if (!is_dict(value))
            return json_kind(value);
        bool texts = true;
        entries_until(value, [&](nb::handle, nb::handle item) { return !(texts = is_text(item)); });
        return texts ? nullptr : "an object holding other values than strings";
    }
    case ValueKind::Boolean:
        return PyBool_Check(value.ptr()) ? nullptr : json_kind(value);
    case ValueKind::Count:
        if (is_number(value) && PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()) &&
            value > nb::int_(0))
            return nullptr;
        return is_number(value) ? "another number" : json_kind(value);
    case ValueKind::TextList:
        if (!is_list(value))
            return json_kind(value);
        for (nb::handle item : nb::borrow<nb::list>(value))
            if (!is_text(item))
                return "an array holding other values than strings";
        return nullptr;
    }
    return nullptr;
}

const char *expected_kind(ValueKind kind) {
    switch (kind) {
    case ValueKind::Text:
        return "a string";
    case ValueKind::TextList:
        return "a list of strings";
    case ValueKind::Object:
        return "an object";
    case ValueKind::TextMap:
        return "an object of strings";
    case ValueKind::Boolean:
        return "true or false";
    case ValueKind::Count:
        return "a whole number of at least 1";
    }
    return "";
}

// Every kind of a {path: kind} mapping of the command line or a run
// configuration file is known; RequestError (`where` and the factory's
// message) otherwise.
void check_kinds_as_request(nb::handle kinds, nb::handle where) {
    nb::handle check = host_attr("CorvaneFileParser.Parsers.ReportReaderFactory",
                                 "check_input_kind");
    entries_until(kinds, [&](nb::handle path, nb::handle kind) {
        try {
            check(path, kind);
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_ValueError))
                throw;
            raise_request_error(concat_str({where, error.value()}));
        }
        return false;
    });
}

// A run configuration file must be a JSON object of known keys, each with a
// value of its kind: a typo must not silently change what is read.
void check_request_document(nb::handle path, nb::handle document) {
    nb::str where = concat_str({interned("Run configuration file "), path});
    if (!is_dict(document))
        raise_request_error(concat_str({where, interned(" must hold a JSON object, not "),
                                        nb::str(json_kind(document))}));
    std::vector<RequestKey> known = request_file_keys();
    entries_until(document, [&](nb::handle key, nb::handle value) {
        for (const RequestKey &entry : known) {
            if (!equals(entry.name, key))
                continue;
            if (const char *found = misfit(value, entry.kind))
                raise_request_error(concat_str({where, interned(": "), quoted(key),
                                                interned(" must be "),
                                                nb::str(expected_kind(entry.kind)),
                                                interned(", not "), nb::str(found)}));
            if (equals(key, constant("INPUT_KINDS")))
                check_kinds_as_request(value, concat_str({where, interned(": ")}));
            return false;
        }
        nb::list names;
        for (const RequestKey &entry : known)
            names.append(entry.name);
        nb::object close = host_attr("difflib", "get_close_matches")(lower(key), names, 1);
        nb::str hint = truthy(close)
            ? concat_str({interned(" (did you mean "), quoted(close[0]), interned("?)")})
            : concat_str({interned(" (known keys: "),
                          nb::str(", ").attr("join")(names), interned(")")});
        raise_request_error(
            concat_str({where, interned(": unknown key "), quoted(key), hint}));
    });
}

// The command-line configuration file, read as UTF-8 whatever the
// platform's default encoding (a leading byte-order mark ignored) and
// checked. Every failure is a RequestError naming the file.
nb::object load_request_file(nb::handle path) {
    nb::str where = concat_str({interned("Run configuration file "), path});
    nb::object document;
    try {
        // A FIFO or device could block for ever.
        if (path_exists(path))
            if (const char *kind = irregular_kind(path))
                raise_request_error(concat_str({where, interned(" is "), nb::str(kind),
                                                interned(", not a regular file")}));
        nb::object stream =
            host_call("builtins", "open")(path, "r", nb::arg("encoding") = "utf-8-sig");
        document = json_load_closing(stream);
    } catch (nb::python_error &error) {
        nb::object request_error = module_global("RequestError");
        if (error.matches(request_error))
            throw;
        if (error.matches(PyExc_OSError)) {
            nb::object reason = nb::getattr(error.value(), "strerror", nb::none());
            raise_from(request_error,
                       concat_str({interned("Cannot read run configuration file "), path,
                                   interned(": "),
                                   reason.is_none() ? to_str(error.value()) : to_str(reason)}),
                       error);
        }
        // JSONDecodeError and UnicodeDecodeError are both ValueErrors.
        if (error.matches(PyExc_ValueError))
            raise_from(request_error,
                       concat_str({where, interned(" is not valid JSON: "), error.value()}),
                       error);
        throw;
    }
    check_request_document(path, document);
    return document;
}

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

constexpr const char *kEpilog =
    "Input files are recognised by name, case ignored:\n"
    "  ...combinedvariantoutput.tsv    sectioned panel table   (dragen_500_tsv_config.json)\n"
    "  ...smn.tsv                      one-row caller table    (smn_tsv_config.json)\n"
    "  ...gba.tsv                      one-row caller table    (gba_tsv_config.json)\n"
    "  ....json, \"paraphase\" in path   JSON sections           "
    "(pacbio_paraphase_config.json)\n"
    "  any other ....json              JSON sections           (dragen_targeted_config.json)\n"
    "Any other name stops the run. --input KIND PATH gives the kind (panel, smn,\n"
    "gba, targeted, paraphase) whatever the name; a .json whose top-level keys are\n"
    "plainly the other JSON kind's than its name gives is refused without one.\n"
    "\n"
    "Besides the output, the run writes a provenance manifest beside it\n"
    "(NAME without .json, then .manifest.json).\n"
    "\n"
    "Exit status: 0 done; 1 failed (one line \"corvane-parse: error: ...\" on\n"
    "standard error); 2 bad command line or run configuration file; 130 or 143\n"
    "stopped by SIGINT or SIGTERM.\n"
    "\n"
    "Example:\n"
    "  corvane-parse --input-dir run42/Sample1 --output-dir reports \\\n"
    "      --output-json Sample1.unified.json --strict\n";

// The width argparse's help formatter computes when given none:
// shutil.get_terminal_size().columns - 2. shutil (with bz2, lzma and zlib)
// is imported only when something else loaded it already, so that a
// replaced get_terminal_size is still the one asked; otherwise the same
// rule is applied here: a positive COLUMNS, else the columns of the terminal
// on sys.__stdout__ (0 meaning 80), else 80.
nb::object help_width() {
    nb::object two = nb::int_(2);
    if (contains(host_module("sys").attr("modules"), interned("shutil")))
        return host_call("shutil", "get_terminal_size")().attr("columns") - two;
    nb::object columns = nb::int_(0);
    nb::object text = get(host_module("os").attr("environ"), interned("COLUMNS"));
    if (!text.is_none()) {
        try {
            columns = host_attr("builtins", "int")(text);
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_ValueError))
                throw;
        }
    }
    if (!(columns > nb::int_(0))) {
        try {
            nb::object descriptor = host_module("sys").attr("__stdout__").attr("fileno")();
            columns = host_call("os", "get_terminal_size")(descriptor).attr("columns");
            if (!truthy(columns))
                columns = nb::int_(80);
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_AttributeError) && !error.matches(PyExc_ValueError) &&
                !error.matches(PyExc_OSError))
                throw;
            columns = nb::int_(80);
        }
    }
    return columns - two;
}

// A formatter_class for ArgumentParser: `formatter(prog=...)` with the
// width the formatter would have computed itself (see help_width).
nb::object formatter_with_width(nb::handle formatter) {
    return nb::cpp_function(
        [formatter = nb::borrow(formatter)](nb::handle prog) {
            return formatter(prog, nb::arg("width") = help_width());
        },
        nb::arg("prog").none());
}

nb::object version_text() {
    return concat_str({interned("%(prog)s "), import_attr("CorvaneFileParser", "__version__")});
}

nb::object parse_args() {
    nb::handle argparse = host_module("argparse");
    nb::object parser = argparse.attr("ArgumentParser")(
        nb::arg("prog") = kProgram,
        nb::arg("description") = "Parse special callers outputs into unified JSON",
        nb::arg("epilog") = kEpilog,
        nb::arg("formatter_class") =
            formatter_with_width(argparse.attr("RawDescriptionHelpFormatter")));
    nb::object add = parser.attr("add_argument");
    add("-c", "--config", nb::arg("required") = false, nb::arg("metavar") = "FILE",
        nb::arg("help") = "Path to config JSON file: a JSON object with any of the keys "
                          "input_dir, output_dir, output_json, input_files, map_files, "
                          "strict, sample, sample_aliases, input_kinds, durable; an option "
                          "given here replaces its value (default: none)");
    add("--input-dir", nb::arg("metavar") = "DIR",
        nb::arg("help") = "Input directory: listed when no input files are given, and "
                          "searched for listed names not found as given (default: .)");
    add("--output-dir", nb::arg("metavar") = "DIR",
        nb::arg("help") = "Output directory: must exist; receives the output, its manifest "
                          "and the log (default: .)");
    add("--input-files", nb::arg("nargs") = "+", nb::arg("metavar") = "F",
        nb::arg("help") = "Input file(s), read in this order; a later file's section "
                          "replaces an earlier one of the same name (default: every .json "
                          "and .tsv file of the input directory)");
    add("--input", nb::arg("nargs") = 2, nb::arg("action") = "append",
        nb::arg("metavar") = nb::make_tuple("KIND", "PATH"),
        nb::arg("help") = "an input file of the given kind (panel, smn, gba, targeted, "
                          "paraphase), read as that kind whatever its name; repeatable, "
                          "read after the --input-files in the order given");
    add("--output-json", nb::arg("metavar") = "NAME",
        nb::arg("help") = "Output JSON filename (default: corvane_output.json)");
    add("--strict", nb::arg("action") = "store_true",
        nb::arg("help") = "fail, writing nothing, when a listed file is missing, a "
                          "section is replaced by a later file or a file names another "
                          "sample than --sample (default: warn and go on)");
    add("--sample", nb::arg("metavar") = "ID",
        nb::arg("help") = "the run's sample: every sample ID a file holds must name it "
                          "(a warning otherwise, an error with --strict), and a one-row "
                          "caller table holding several rows gives its row; no such row "
                          "is an error (default: no check; the first row, with a warning)");
    add("--alias", nb::arg("action") = "append", nb::arg("metavar") = "NAME",
        nb::arg("help") = "another name of the --sample in the files (a BAM-style "
                          "S50.final, say); repeatable");
    add("--log-file", nb::arg("metavar") = "FILE",
        nb::arg("help") = "log file, appended to (default: corvane.log in the output "
                          "directory)");
    add("--sample-sheet", nb::arg("metavar") = "SHEET",
        nb::arg("help") = "run every sample of this sheet (columns sample, panel_tsv, "
                          "smn_tsv, gba_tsv, targeted_json, paraphase_json, aliases) into "
                          "OUTPUT_DIR/<sample>/, then write run_summary.tsv and .html; "
                          "exit status 1 when any sample failed");
    add("--jobs", nb::arg("metavar") = "N",
        nb::arg("help") = "worker processes of a sample sheet run (default: the CPUs "
                          "available)");
    add("--summary-dir", nb::arg("metavar") = "DIR",
        nb::arg("help") = "folder of a sample sheet run's summary; must exist (default: "
                          "the output directory)");
    add("--debug", nb::arg("action") = "store_true",
        nb::arg("help") = "show the traceback of a failure (default: one line)");
    add("--version", nb::arg("action") = "version", nb::arg("version") = version_text());
    return parser.attr("parse_args")();
}

// values[dest].append(item), the list made on the first one.
void append_gathered(nb::dict &values, const char *dest, nb::handle item) {
    nb::object gathered = values[dest];
    if (gathered.is_none()) {
        gathered = nb::list();
        values[dest] = gathered;
    }
    gathered.attr("append")(item);
}

// A command line written the plain way, parsed without argparse (whose
// import and parser set-up take a tenth of a short run): every option
// spelled in full and given once, each value the next argument (or, for a
// long option, after "="), neither empty nor starting with "-", and
// --input-files followed by at least one name; --input (KIND PATH) and
// --alias may be repeated. Returns what parse_args()
// gives for it, as a types.SimpleNamespace with the same attributes; None
// for anything else (help, version, abbreviations, repeats, unknown options,
// stray arguments, values that look like options), which is left to
// argparse to parse or reject.
nb::object parse_plain_command_line(nb::handle arguments) {
    enum class Kind { Value, Files, Flag, Pairs, Values };
    struct Option {
        const char *spelling;
        const char *dest;
        Kind kind;
    };
    static constexpr Option kOptions[] = {
        {"-c", "config", Kind::Value},          {"--config", "config", Kind::Value},
        {"--input-dir", "input_dir", Kind::Value}, {"--output-dir", "output_dir", Kind::Value},
        {"--input-files", "input_files", Kind::Files},
        {"--output-json", "output_json", Kind::Value}, {"--strict", "strict", Kind::Flag},
        {"--sample", "sample", Kind::Value},    {"--log-file", "log_file", Kind::Value},
        {"--debug", "debug", Kind::Flag},       {"--input", "input", Kind::Pairs},
        {"--alias", "alias", Kind::Values},
        {"--sample-sheet", "sample_sheet", Kind::Value}, {"--jobs", "jobs", Kind::Value},
        {"--summary-dir", "summary_dir", Kind::Value},
    };
    auto is_value = [](nb::handle text) {
        return PyUnicode_Check(text.ptr()) && PyUnicode_GET_LENGTH(text.ptr()) > 0 &&
               PyUnicode_READ_CHAR(text.ptr(), 0) != '-';
    };

    nb::list args = nb::borrow<nb::list>(steal_checked(PySequence_List(arguments.ptr())));
    nb::dict values;
    for (const Option &option : kOptions)
        values[option.dest] = option.kind == Kind::Flag ? nb::handle(Py_False) : nb::none();
    std::set<std::string> given;
    size_t count = nb::len(args);
    for (size_t i = 0; i < count;) {
        nb::handle token = args[i++];
        if (!PyUnicode_Check(token.ptr()))
            return nb::none();
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(token.ptr(), &size);
        if (!utf8) {
            PyErr_Clear();
            return nb::none();
        }
        std::string_view text(utf8, (size_t) size);
        nb::object explicit_value;
        if (text.rfind("--", 0) == 0) {
            size_t equals = text.find('=');
            if (equals != std::string_view::npos) {
                explicit_value = nb::str(utf8 + equals + 1, text.size() - equals - 1);
                text = text.substr(0, equals);
            }
        }
        const Option *option = nullptr;
        for (const Option &candidate : kOptions)
            if (text == candidate.spelling)
                option = &candidate;
        // Only the options that gather values may be given again.
        bool repeatable = option && (option->kind == Kind::Pairs || option->kind == Kind::Values);
        if (!option || (!given.insert(option->dest).second && !repeatable))
            return nb::none();
        switch (option->kind) {
        case Kind::Flag:
            if (explicit_value.is_valid())
                return nb::none();
            values[option->dest] = nb::handle(Py_True);
            break;
        case Kind::Files: {
            if (explicit_value.is_valid())
                return nb::none();
            nb::list names;
            while (i < count && is_value(args[i]))
                names.append(args[i++]);
            // An empty argument after the names is one argparse may take
            // as a name: left to it.
            if (nb::len(names) == 0 || (i < count && !PyUnicode_Check(args[i].ptr())) ||
                (i < count && PyUnicode_GET_LENGTH(args[i].ptr()) == 0))
                return nb::none();
            values[option->dest] = names;
            break;
        }
        case Kind::Pairs: {
            // --input KIND PATH: two plain values, appended as argparse's
            // append action with two arguments gathers them.
            if (explicit_value.is_valid() || i + 1 >= count || !is_value(args[i]) ||
                !is_value(args[i + 1]))
                return nb::none();
            nb::list pair;
            pair.append(args[i]);
            pair.append(args[i + 1]);
            i += 2;
            append_gathered(values, option->dest, pair);
            break;
        }
        case Kind::Values:
            if (explicit_value.is_valid()) {
                if (!is_value(explicit_value))
                    return nb::none();
                append_gathered(values, option->dest, explicit_value);
            } else {
                if (i >= count || !is_value(args[i]))
                    return nb::none();
                append_gathered(values, option->dest, args[i++]);
            }
            break;
        case Kind::Value:
            if (explicit_value.is_valid()) {
                if (!is_value(explicit_value))
                    return nb::none();
                values[option->dest] = explicit_value;
            } else {
                if (i >= count || !is_value(args[i]))
                    return nb::none();
                values[option->dest] = args[i++];
            }
            break;
        }
    }
    return host_attr("types", "SimpleNamespace")(**values);
}

nb::object plain_command_line() {
    return parse_plain_command_line(
        host_module("sys").attr("argv")[nb::slice(nb::int_(1), nb::none(), nb::none())]);
}

// The options of the command line: parsed directly when they are written
// the plain way and cls.parse_args is this class's own, else by
// cls.parse_args() (argparse).
nb::object command_line_options(nb::handle cls) {
    if (cls.attr("parse_args").is(module_global("ReportAssembler").attr("parse_args"))) {
        nb::object plain = plain_command_line();
        if (!plain.is_none())
            return plain;
    }
    return cls.attr("parse_args")();
}

void from_cli(nb::handle cls) {
    nb::object args = command_line_options(cls);
    nb::object config = nb::dict();

    nb::object config_path = args.attr("config");
    if (truthy(config_path))
        config = load_request_file(config_path);

    nb::object input_dir = args.attr("input_dir");
    if (truthy(input_dir))
        set_item(config, constant("INPUT_DIR"), input_dir);
    nb::object output_dir = args.attr("output_dir");
    if (truthy(output_dir))
        set_item(config, constant("OUTPUT_DIR"), output_dir);

    nb::object input_files = args.attr("input_files");
    // --input KIND PATH: the paths are read after --input-files, as that kind
    // (a parse_args of a subclass may not know the option).
    nb::object inputs = nb::getattr(args, "input", nb::none());
    if (truthy(inputs)) {
        nb::dict given;
        nb::list names;
        if (truthy(input_files))
            for_each(input_files, [&](nb::handle name) { names.append(name); });
        for_each(inputs, [&](nb::handle pair) {
            auto [kind, path] = unpack_pair(pair);
            given[path] = kind;
            names.append(path);
        });
        check_kinds_as_request(given, interned("--input: "));
        nb::dict kinds;
        nb::object from_file = get(config, constant("INPUT_KINDS"));
        if (is_dict(from_file) && PyDict_Update(kinds.ptr(), from_file.ptr()) < 0)
            raise_pending();
        if (PyDict_Update(kinds.ptr(), given.ptr()) < 0)
            raise_pending();
        set_item(config, constant("INPUT_KINDS"), kinds);
        input_files = std::move(names);
    }
    if (truthy(input_files)) {
        nb::dict per_file;
        for_each(input_files, [&](nb::handle name) {
            nb::object map_files = get(config, interned("map_files"), nb::dict());
            per_file[name] = get(map_files, name, nb::dict());
        });
        set_item(config, constant("MAP_FILES"), per_file);
        set_item(config, interned("input_files"), input_files);
    }

    nb::object output_json = args.attr("output_json");
    if (truthy(output_json))
        set_item(config, constant("OUTPUT_JSON"), output_json);
    // A parse_args of a subclass may not know the newer options.
    if (truthy(nb::getattr(args, "strict", nb::none())))
        set_item(config, constant("STRICT"), nb::handle(Py_True));
    nb::object sample = nb::getattr(args, "sample", nb::none());
    if (truthy(sample))
        set_item(config, constant("SAMPLE"), sample);
    nb::object aliases = nb::getattr(args, "alias", nb::none());
    if (truthy(aliases))
        set_item(config, constant("SAMPLE_ALIASES"), aliases);
    for (const char *key : {"sample_sheet", "summary_dir"}) {
        nb::object value = nb::getattr(args, key, nb::none());
        if (truthy(value))
            set_item(config, interned(key), value);
    }
    nb::object jobs = nb::getattr(args, "jobs", nb::none());
    if (!jobs.is_none())
        set_item(config, interned("jobs"),
                 import_attr("CorvaneFileParser.SheetRun", "jobs_option")(jobs));

    cls(config).attr("run")();
}

// The options main() needs before the full parser runs: where to log (the
// run configuration file may name the output directory), --debug and
// --version. Every option of the full parser is declared so that
// abbreviations resolve alike. None when the command line is malformed: the
// full parser then reports it.
nb::object parse_early_options() {
    if (nb::object plain = plain_command_line(); !plain.is_none())
        return plain;
    nb::handle argparse = host_module("argparse");
    nb::object parser = argparse.attr("ArgumentParser")(
        nb::arg("prog") = kProgram, nb::arg("add_help") = false,
        nb::arg("exit_on_error") = false,
        nb::arg("formatter_class") = formatter_with_width(argparse.attr("HelpFormatter")));
    nb::object add = parser.attr("add_argument");
    add("-c", "--config");
    add("--input-dir");
    add("--output-dir");
    add("--input-files", nb::arg("nargs") = "*");
    add("--input", nb::arg("nargs") = 2, nb::arg("action") = "append");
    add("--output-json");
    add("--strict", nb::arg("action") = "store_true");
    add("--sample");
    add("--alias", nb::arg("action") = "append");
    add("--log-file");
    add("--sample-sheet");
    add("--jobs");
    add("--summary-dir");
    add("--debug", nb::arg("action") = "store_true");
    add("--version", nb::arg("action") = "store_true");
    add("-h", "--help", nb::arg("action") = "store_true");
    try {
        return parser.attr("parse_known_args")()[0];
    } catch (nb::python_error &error) {
        if (!error.matches(argparse.attr("ArgumentError")))
            throw;
        return nb::none();
    }
}

// Opening a FIFO for writing blocks until a reader opens it. A log file
// that is a FIFO is opened once without blocking first: with no reader that
// fails (ENXIO) instead of hanging.
void require_fifo_reader(nb::handle path) {
    if (!path_exists(path) || !truthy(host_attr("stat", "S_ISFIFO")(
                                  host_call("os", "stat")(path).attr("st_mode"))))
        return;
    nb::handle os = host_module("os");
    nb::object flags = os.attr("O_WRONLY").attr("__or__")(os.attr("O_NONBLOCK"));
    nb::object descriptor = host_call("os", "open")(path, flags);
    host_call("os", "close")(descriptor);
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
    text = import_attr("CorvaneFileParser.ProgramLog", "printable")(text);
    return nb::borrow<nb::str>(nb::str(" ").attr("join")(text.attr("splitlines")()));
}

// Reports a failure: logged at ERROR when the log is open, the traceback
// with --debug, then one line on standard error. Returns the exit status:
// 2 for a bad run configuration file, 1 otherwise.
int report_failure(nb::python_error &error, bool debug, bool log_open) {
    nb::handle exc = error.value();
    nb::str message = failure_message(exc);
    if (log_open)
        log_error(message);
    // A standard error that cannot take the line changes nothing.
    try {
        nb::object stderr_stream = host_module("sys").attr("stderr");
        if (debug)
            host_attr("traceback", "print_exception")(exc);
        stderr_stream.attr("write")(
            concat_str({interned(kProgram), interned(": error: "), message, interned("\n")}));
        stderr_stream.attr("flush")();
    } catch (nb::python_error &write_error) {
        if (!write_error.matches(PyExc_Exception))
            throw;
    }
    return error.matches(module_global("RequestError")) ? 2 : 1;
}

// Whether main() was called from the top level of the program's main module
// (the corvane-parse script, `python -m CorvaneFileParser`), which ends the
// process once main() returns.
bool called_as_program() {
    PyFrameObject *frame = PyEval_GetFrame();  // borrowed; null outside Python code
    if (!frame)
        return false;
    nb::object code = nb::steal((PyObject *) PyFrame_GetCode(frame));
    nb::object globals = steal_checked(PyFrame_GetGlobals(frame));
    return equals(code.attr("co_name"), interned("<module>")) &&
           equals(get(globals, interned("__name__")), interned("__main__"));
}

// When the program ends after the run, its last act is the interpreter's
// shutdown, whose collections walk every object the imports and the run
// left: a few milliseconds spent proving that module-level objects are
// still referenced. gc.freeze() at exit lets those collections skip them
// (the host never promises finalizers at exit for objects still alive).
// Registered once, for program runs only: a caller that keeps running
// keeps the collector as it was.
void freeze_objects_at_exit() {
    static bool registered = false;
    if (registered || !called_as_program())
        return;
    host_attr("atexit", "register")(host_attr("gc", "freeze"));
    registered = true;
}

// The command-line entry. Logging to standard output and to the log file is
// set up before the full option parser runs, so even a rejected command
// line leaves its "Logging to" line. Returns the exit status; argparse ends
// the process itself for a bad command line (2), --help and --version (0).
// The log is appended to: it must not be one of the files the command line
// lists (as given or under --input-dir), or it would change an input before
// the run reads it.
void refuse_log_over_input(nb::handle early, nb::handle log_path) {
    if (early.is_none() || !path_exists(log_path))
        return;
    nb::list names;
    if (truthy(early.attr("input_files")))
        for_each(early.attr("input_files"), [&](nb::handle name) { names.append(name); });
    nb::object inputs = nb::getattr(early, "input", nb::none());
    if (truthy(inputs))
        for_each(inputs, [&](nb::handle pair) { names.append(unpack_pair(pair).second); });
    nb::object input_dir = early.attr("input_dir");
    for_each(names, [&](nb::handle name) {
        bool same = same_file(name, log_path) ||
                    (truthy(input_dir) && same_file(join_path(input_dir, name), log_path));
        if (same)
            raise(PyExc_ValueError,
                  concat_str({interned("Log file "), log_path,
                              interned(" is one of the input files; choose another --log-file")}));
    });
}

int main_steps(bool &log_open) {
    freeze_objects_at_exit();
    nb::object early = parse_early_options();
    if (early.is_none() || truthy(nb::getattr(early, "version", nb::handle(Py_False)))) {
        module_global("ReportAssembler").attr("parse_args")();
        early = nb::none();
    }
    bool debug = !early.is_none() && truthy(early.attr("debug"));

    nb::object log_path;
    try {
        nb::object log_file = early.is_none() ? nb::none() : early.attr("log_file");
        if (truthy(log_file)) {
            log_path = log_file;
        } else {
            // The effective output directory: the option, else the run
            // configuration file's, else the current directory.
            nb::object output_dir = early.is_none() ? nb::none() : early.attr("output_dir");
            nb::object config = early.is_none() ? nb::none() : early.attr("config");
            // Help is shown even when the file is bad.
            if (!truthy(output_dir) && truthy(config) && !truthy(nb::getattr(early, "help", nb::handle(Py_False))))
                output_dir = get(load_request_file(config), constant("OUTPUT_DIR"));
            if (!truthy(output_dir))
                output_dir = nb::str(".");
            require_directory(output_dir, "Output");
            log_path = join_path(output_dir, interned("corvane.log"));
        }
        refuse_log_over_input(early, log_path);
        try {
            require_fifo_reader(log_path);
            // A program run writes its log lines itself when it can (see
            // ProgramLog.py); otherwise logging is set up.
            import_attr("CorvaneFileParser.ProgramLog", "open_program_log")(
                log_path, called_as_program());
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_OSError))
                throw;
            nb::object reason = nb::getattr(error.value(), "strerror", nb::none());
            raise_from(PyExc_OSError,
                       concat_str({interned("Cannot open log file "), log_path, interned(": "),
                                   reason.is_none() ? to_str(error.value()) : to_str(reason)}),
                       error);
        }
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception))
            throw;
        return report_failure(error, debug, false);
    }
    log_open = true;
    log_info(concat_str({interned("Logging to "), log_path}));

    try {
        module_global("ReportAssembler").attr("from_cli")();
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception))
            throw;
        return report_failure(error, debug, true);
    }
    return 0;
}

// While a program runs, SIGTERM (what a scheduler sends) and SIGINT raise
// _Stopped(signal number) wherever the run is: it unwinds, removing its
// temporaries, and main() reports it. A signal the parent had ignored stays
// ignored, and the earlier handlers come back when the run ends. A library
// call of main() or run() keeps the caller's handlers. The handlers are set
// through _signal, the host's own module behind `signal`, which a short run
// does not otherwise import (with its enumerations, half a millisecond).
class StopSignals {
public:
    StopSignals() {
        nb::handle signal = host_module("_signal");
        nb::object handler = nb::cpp_function(
            [](nb::handle number, nb::handle) {
                raise(module_global("_Stopped").ptr(), number);
            },
            nb::arg("number"), nb::arg("frame").none());
        for (const char *name : {"SIGTERM", "SIGINT"}) {
            nb::object number = signal.attr(name);
            nb::object current = signal.attr("getsignal")(number);
            if (current.is_none() || current.is(signal.attr("SIG_IGN")))
                continue;
            try {
                signal.attr("signal")(number, handler);
            } catch (nb::python_error &error) {
                if (!error.matches(PyExc_ValueError))  // not the main thread
                    throw;
                continue;
            }
            earlier_.emplace_back(std::move(number), std::move(current));
        }
    }
    ~StopSignals() {
        for (auto &[number, handler] : earlier_) {
            try {
                host_module("_signal").attr("signal")(number, handler);
            } catch (nb::python_error &) {
            }
        }
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

private:
    std::vector<std::pair<nb::object, nb::object>> earlier_;
};

// "stopped by SIGTERM" in the log (when open) and as the one line on
// standard error; returns the shell's status for the signal, 128 + number.
int report_stop(nb::python_error &stop, bool log_open) {
    nb::object number = stop.value().attr("args")[0];
    nb::str message = concat_str(
        {interned("stopped by "), host_attr("signal", "Signals")(number).attr("name")});
    if (log_open)
        log_error(message);
    nb::object stderr_stream = host_module("sys").attr("stderr");
    stderr_stream.attr("write")(
        concat_str({interned(kProgram), interned(": error: "), message, interned("\n")}));
    stderr_stream.attr("flush")();
    return 128 + nb::cast<int>(number);
}

int main_entry() {
    bool log_open = false;
    std::optional<StopSignals> signals;
    if (called_as_program())
        signals.emplace();
    try {
        return main_steps(log_open);
    } catch (nb::python_error &error) {
        if (!error.matches(module_global("_Stopped")))
            throw;
        signals.reset();  // a second signal ends the process at once
        return report_stop(error, log_open);
    }
}

}  // namespace

NB_MODULE(ReportAssembler, m) {
    m.attr("ReportReaderFactory") =
        import_attr("CorvaneFileParser.Parsers", "ReportReaderFactory");
    m.attr("CorvaneConstants") =
        import_attr("CorvaneFileParser.CorvaneConstants", "CorvaneConstants");
    m.attr("RequestError") = steal_checked(PyErr_NewExceptionWithDoc(
        "CorvaneFileParser.ReportAssembler.RequestError",
        "A run configuration file that cannot be read, is not a JSON object, or holds an "
        "unknown key or a value of the wrong kind; or an unknown kind given with --input.",
        PyExc_ValueError, nullptr));
    m.attr("_Stopped") = steal_checked(PyErr_NewExceptionWithDoc(
        "CorvaneFileParser.ReportAssembler._Stopped",
        "A program run stopped by a signal (its number the argument).", PyExc_BaseException,
        nullptr));

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
    m.def("main", &main_entry, nb::sig("def main() -> int"),
          "Command-line entry: set up logging, parse the options, write the unified JSON "
          "and its manifest; returns the exit status (0 done, 1 failed, 2 bad command line "
          "or request).");
    m.def("_parse_plain_command_line", &parse_plain_command_line, nb::arg("arguments"),
          nb::sig("def _parse_plain_command_line(arguments: collections.abc.Sequence[str])"
                  " -> types.SimpleNamespace | None"),
          "The options of a plainly written command line (without the program name) as\n"
          "parse_args() gives them, or None where argparse must parse it.");
    m.def("_failure_message", &failure_message, nb::arg("error"),
          nb::sig("def _failure_message(error: BaseException) -> str"),
          "The one line the command line prints for a failure (without the program name).");
    m.def("_write_json", &write_json, nb::arg("obj").none(), nb::arg("file").none(),
          nb::sig("def _write_json(obj: typing.Any, file: typing.BinaryIO) -> bool"),
          "Writes json.dumps(obj, indent=4, allow_nan=False).encode() to the binary file\n"
          "(a NaN or infinity raises ValueError before anything is written); True when streamed,\n"
          "False when the object was handed to the host's json.dumps.");
}
