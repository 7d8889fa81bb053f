// Chooses the reader and its configuration resource from a file's name.
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

namespace {

constexpr const char *kModule = "CorvaneFileParser.Parsers.ReportReaderFactory";

// A reader class as this module's globals hold it, so that a replacement
// installed on the module is the one constructed.
nb::object reader_class(const char *name) { return host_module(kModule).attr(name); }

// Parses the named configuration resource afresh from the package
// directory, the directory of `CorvaneFileParser.__file__` (read on each
// call, so a test may point the package elsewhere).
nb::object load_resource(const char *name) {
    nb::object package_file = host_module("CorvaneFileParser").attr("__file__");
    nb::object path = host_attr("os.path", "join")(
        host_attr("os.path", "dirname")(package_file), interned(name));
    nb::object stream = host_attr("io", "open")(path, "r", nb::arg("encoding") = "utf-8");
    return json_load_closing(stream);
}

bool ends_with(nb::handle text, const char *suffix) {
    return truthy(text.attr("endswith")(suffix));
}

// The reader class of this module's globals named `reader`, built on the
// named resource; the resource's file name goes to the reader for its
// messages about bad settings.
nb::object make_reader(const char *reader, const char *resource, nb::handle file_path) {
    return reader_class(reader)(load_resource(resource), file_path,
                                nb::arg("resource_name") = resource);
}

// The reader for `file_path`, or an invalid object when no row of the
// dispatch table accepts the lower-cased path.
nb::object select_reader(nb::handle file_path, nb::handle lowered) {
    if (ends_with(lowered, ".tsv")) {
        if (ends_with(lowered, "combinedvariantoutput.tsv"))
            return make_reader("PanelTsvReader", "dragen_500_tsv_config.json", file_path);
        if (ends_with(lowered, "smn.tsv"))
            return make_reader("SingleRowTsvReader", "smn_tsv_config.json", file_path);
        if (ends_with(lowered, "gba.tsv"))
            return make_reader("SingleRowTsvReader", "gba_tsv_config.json", file_path);
    }
    if (ends_with(lowered, ".json")) {
        const char *resource = contains(lowered, interned("paraphase"))
                                   ? "pacbio_paraphase_config.json"
                                   : "dragen_targeted_config.json";
        return make_reader("JsonExtractReader", resource, file_path);
    }
    return nb::object();
}

// RuntimeError("Failed to load config for <path>: <cause>") raised from
// `cause`, which becomes both its __cause__ and __context__.
[[noreturn]] void raise_load_failure(nb::handle file_path, nb::python_error &cause) {
    nb::object original = nb::borrow(cause.value());
    nb::str message = concat_str({interned("Failed to load config for "), file_path,
                                  interned(": "), original});
    nb::object error = steal_checked(
        PyObject_CallOneArg(PyExc_RuntimeError, message.ptr()));
    PyException_SetContext(error.ptr(), nb::object(original).release().ptr());
    PyException_SetCause(error.ptr(), original.release().ptr());
    PyErr_SetRaisedException(error.release().ptr());
    throw nb::python_error();
}

nb::object get_parser(nb::handle file_path) {
    // A path without a usable lower() fails here with the host's error,
    // outside the converted region.
    nb::object lowered = steal_checked(PyObject_CallMethod(file_path.ptr(), "lower", nullptr));
    nb::object reader;
    try {
        reader = select_reader(file_path, lowered);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception))
            throw;
        raise_load_failure(file_path, error);
    }
    if (!reader.is_valid())
        raise(PyExc_ValueError, concat_str({interned("Unsupported file type: "), file_path}));
    return reader;
}

}  // namespace

NB_MODULE(ReportReaderFactory, m) {
    m.attr("ReportReaderBase") =
        import_attr("CorvaneFileParser.Parsers.ReportReaderBase", "ReportReaderBase");
    m.attr("JsonExtractReader") =
        import_attr("CorvaneFileParser.Parsers.JsonExtractReader", "JsonExtractReader");
    m.attr("PanelTsvReader") =
        import_attr("CorvaneFileParser.Parsers.PanelTsvReader", "PanelTsvReader");
    m.attr("SingleRowTsvReader") =
        import_attr("CorvaneFileParser.Parsers.SingleRowTsvReader", "SingleRowTsvReader");

    ClassBuilder::plain(m, "ReportReaderFactory")
        .doc("Chooses the reader and the configuration resource for a caller's file.")
        .static_method("get_parser", &get_parser, nb::arg("file_path").none(),
                       nb::sig("def get_parser(file_path: str) -> ReportReaderBase"),
                       "Returns the reader for file_path, chosen by its name (case ignored):\n"
                       "...combinedvariantoutput.tsv -> PanelTsvReader with\n"
                       "dragen_500_tsv_config.json; ...smn.tsv and ...gba.tsv ->\n"
                       "SingleRowTsvReader with smn_tsv_config.json or gba_tsv_config.json;\n"
                       "...json -> JsonExtractReader with pacbio_paraphase_config.json when the\n"
                       "path contains \"paraphase\", else dragen_targeted_config.json. The\n"
                       "resource is read afresh on every call; the file itself is not read.\n\n"
                       "Raises ValueError (\"Unsupported file type\") for any other name and\n"
                       "RuntimeError (\"Failed to load config for ...\", the cause chained) when\n"
                       "the resource cannot be loaded or the reader rejects the path.")
        .finish();
}
