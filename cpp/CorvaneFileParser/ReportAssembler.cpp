// The driver: request, command line, the run over the input files and the
// unified output.
#include <corvane/host.hpp>
#include <corvane/json_writer.hpp>

namespace nb = nanobind;
using namespace corvane;

namespace {

constexpr const char *kModule = "CorvaneFileParser.ReportAssembler";

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
}

// Appends to `input_files` the regular files of `input_dir` whose names end
// in .json or .tsv (any case), in listing order.
void discover_files(nb::handle self) {
    nb::object input_dir = self.attr("input_dir");
    if (!truthy(input_dir) || !truthy(host_attr("os.path", "exists")(input_dir)))
        return;
    nb::object names = host_attr("os", "listdir")(input_dir);
    nb::object input_files = self.attr("input_files");
    nb::object suffixes = nb::make_tuple(".json", ".tsv");
    for_each(names, [&](nb::handle name) {
        nb::object path = host_attr("os.path", "join")(input_dir, name);
        if (truthy(host_attr("os.path", "isfile")(path)) &&
            truthy(lower(name).attr("endswith")(suffixes)))
            input_files.attr("append")(path);
    });
}

nb::object parse_files(nb::handle self) {
    log_info(interned("Started parsing Corvane files"));
    if (!truthy(self.attr("input_files")))
        discover_files(self);
    if (!truthy(self.attr("input_files")))
        raise(PyExc_ValueError, "No input files found in configuration or input directory.");

    nb::dict result;
    nb::handle exists = host_attr("os.path", "exists");
    nb::object get_parser = module_global("ReportReaderFactory").attr("get_parser");
    for_each(self.attr("input_files"), [&](nb::handle name) {
        nb::object path;
        if (truthy(exists(name))) {
            path = nb::borrow(name);
        } else {
            nb::object joined = host_attr("os.path", "join")(self.attr("input_dir"), name);
            if (!truthy(exists(joined))) {
                log_warning(concat_str({interned("File "), name, interned(" not found. Skipping.")}));
                return;
            }
            path = std::move(joined);
        }
        nb::object reader = get_parser(path);
        nb::object file_result = self.attr("parse_by_config")(reader);
        // A key already present keeps its place and takes the later value.
        if (PyDict_Update(result.ptr(), file_result.ptr()) < 0)
            raise_pending();
    });
    return std::move(result);
}

nb::object parse_by_config(nb::handle, nb::handle parser) {
    nb::object data = parser.attr("parse")();
    return parser.attr("build_result")(data);
}

// Removes a temporary file left by a failed write; the original error is the
// one that matters, so a failure here is swallowed.
void discard_temporary(nb::handle path) {
    try {
        host_call("os", "remove")(path);
    } catch (nb::python_error &) {
    }
}

// A new file beside `target`, created exclusively with the permissions a
// plain open() would give. Returns (path, binary file object).
std::pair<nb::object, nb::object> create_temporary(nb::handle target) {
    nb::object directory = host_attr("os.path", "dirname")(target);
    if (!truthy(directory))
        directory = nb::borrow(host_attr("os", "curdir"));
    nb::str prefix = concat_str(
        {interned("."), host_attr("os.path", "basename")(target), interned(".")});
    for (int attempt = 0;; ++attempt) {
        nb::object token = host_attr("secrets", "token_hex")(6);
        nb::object path = host_attr("os.path", "join")(
            directory, concat_str({prefix, token, interned(".tmp")}));
        try {
            nb::object file = host_call("builtins", "open")(path, "xb");
            return {path, file};
        } catch (nb::python_error &error) {
            if (attempt >= 100 || !error.matches(PyExc_FileExistsError))
                throw;
        }
    }
}

// Writes `content` (bytes) to `out_path` so that the file is either the old
// one or the complete new one: the bytes go to a temporary file in the same
// directory, which is then renamed over the target.
void write_atomically(nb::handle out_path, nb::handle content) {
    nb::object target = nb::borrow(out_path);
    // open() writes through a symbolic link; replace the file it points to,
    // not the link.
    if (truthy(host_attr("os.path", "islink")(target)))
        target = host_attr("os.path", "realpath")(target);

    auto [temporary, file] = create_temporary(target);
    try {
        try {
            file.attr("write")(content);
            file.attr("flush")();
            host_call("os", "fsync")(file.attr("fileno")());
        } catch (...) {
            try {
                file.attr("close")();
            } catch (nb::python_error &) {
            }
            throw;
        }
        file.attr("close")();
        // Overwriting keeps an existing output's permissions.
        if (truthy(host_attr("os.path", "isfile")(target))) {
            nb::object mode = host_attr("stat", "S_IMODE")(
                host_call("os", "stat")(target).attr("st_mode"));
            host_call("os", "chmod")(temporary, mode);
        }
        host_call("os", "replace")(temporary, target);
    } catch (...) {
        discard_temporary(temporary);
        throw;
    }
}

nb::object run(nb::handle self, nb::handle return_dict) {
    nb::object result = self.attr("parse_files")();
    if (truthy(return_dict))
        return result;

    nb::object out_path =
        host_attr("os.path", "join")(self.attr("output_dir"), self.attr("output_json"));
    // Serialised in full before any file is touched: a value the encoder
    // refuses leaves the earlier output as it was.
    nb::object text = host_attr("json", "dumps")(result, nb::arg("indent") = 4);
    nb::object content = text.attr("encode")("utf-8");
    write_atomically(out_path, content);
    log_info(concat_str({interned("Wrote unified JSON to "), out_path}));
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
// Command line
// ---------------------------------------------------------------------------

nb::object parse_args() {
    nb::object parser = host_attr("argparse", "ArgumentParser")(
        nb::arg("description") = "Parse special callers outputs into unified JSON");
    nb::object add = parser.attr("add_argument");
    add("-c", "--config", nb::arg("required") = false,
        nb::arg("help") = "Path to config JSON file");
    add("--input-dir", nb::arg("help") = "Input directory");
    add("--output-dir", nb::arg("help") = "Output directory");
    add("--input-files", nb::arg("nargs") = "+", nb::arg("help") = "Input file(s)");
    add("--output-json", nb::arg("help") = "Output JSON filename");
    return parser.attr("parse_args")();
}

// The command-line configuration file: UTF-8 whatever the platform's default
// encoding, a leading byte-order mark ignored.
nb::object load_config_file(nb::handle path) {
    nb::object stream =
        host_call("builtins", "open")(path, "r", nb::arg("encoding") = "utf-8-sig");
    return json_load_closing(stream);
}

void from_cli(nb::handle cls) {
    nb::object args = cls.attr("parse_args")();
    nb::object config = nb::dict();

    nb::object config_path = args.attr("config");
    if (truthy(config_path))
        config = load_config_file(config_path);

    nb::object input_dir = args.attr("input_dir");
    if (truthy(input_dir))
        set_item(config, constant("INPUT_DIR"), input_dir);
    nb::object output_dir = args.attr("output_dir");
    if (truthy(output_dir))
        set_item(config, constant("OUTPUT_DIR"), output_dir);

    nb::object input_files = args.attr("input_files");
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

    cls(config).attr("run")();
}

// The command-line entry: logging to standard output and to "corvane.log" in
// the output directory is set up before the full option parser runs, so even
// a rejected command line leaves its "Logging to" line.
void main_entry() {
    nb::object preliminary = host_attr("argparse", "ArgumentParser")(nb::arg("add_help") = false);
    preliminary.attr("add_argument")("--output-dir", nb::arg("default") = ".");
    nb::object known = preliminary.attr("parse_known_args")()[0];
    nb::object log_path =
        host_attr("os.path", "join")(known.attr("output_dir"), interned("corvane.log"));

    nb::object stream_handler =
        host_attr("logging", "StreamHandler")(host_module("sys").attr("stdout"));
    nb::object file_handler = host_attr("logging", "FileHandler")(
        log_path, nb::arg("mode") = "a", nb::arg("encoding") = "utf-8");
    nb::list handlers;
    handlers.append(stream_handler);
    handlers.append(file_handler);
    host_attr("logging", "basicConfig")(
        nb::arg("level") = host_attr("logging", "INFO"),
        nb::arg("format") = "%(asctime)s %(levelname)s: %(message)s",
        nb::arg("handlers") = handlers);
    log_info(concat_str({interned("Logging to "), log_path}));

    module_global("ReportAssembler").attr("from_cli")();
}

}  // namespace

NB_MODULE(ReportAssembler, m) {
    m.attr("ReportReaderFactory") =
        import_attr("CorvaneFileParser.Parsers", "ReportReaderFactory");
    m.attr("CorvaneConstants") =
        import_attr("CorvaneFileParser.CorvaneConstants", "CorvaneConstants");
    m.attr("JsonDict") = import_attr("CorvaneFileParser.Models", "JsonDict");

    ClassBuilder::plain(m, "ReportAssembler")
        .method("__init__", &init_assembler, nb::arg("json_request").none())
        .method("run", &run, nb::arg("return_dict").none() = false)
        .method("parse_files", &parse_files)
        .method("parse_by_config", &parse_by_config, nb::arg("parser").none())
        .static_method("_threshold_warning", &threshold_warning, nb::arg("w").none(),
                       nb::arg("parsed").none(), nb::arg("value_key").none(),
                       nb::arg("threshold_key").none(), nb::arg("label").none())
        .static_method("parse_args", &parse_args)
        .class_method("from_cli", &from_cli)
        .finish();
    m.def("main", &main_entry,
          "Command-line entry: set up logging, parse the options and write the unified JSON.");
    m.def("_write_json", &write_json, nb::arg("obj").none(), nb::arg("file").none(),
          "Writes json.dumps(obj, indent=4).encode() to the binary file; True when streamed.");
}
