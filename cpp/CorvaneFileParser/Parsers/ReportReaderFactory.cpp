// Chooses the reader and its configuration resource from a file's name.
#include <corvane/host.hpp>

#include <sys/stat.h>

namespace nb = nanobind;
using namespace corvane;

namespace {

constexpr const char *kModule = "CorvaneFileParser.Parsers.ReportReaderFactory";

// A reader class as this module's globals hold it, so that a replacement
// installed on the module is the one constructed.
nb::object reader_class(const char *name) { return host_module(kModule).attr(name); }

// A copy of a parsed resource whose mappings and lists are new objects (the
// texts and numbers in them are immutable and shared), so that a reader
// changing its settings changes no other reader's.
nb::object fresh_copy(nb::handle value) {
    if (PyDict_CheckExact(value.ptr())) {
        // A bulk copy of the table, then the nested containers replaced.
        nb::object copy = steal_checked(PyDict_Copy(value.ptr()));
        Py_ssize_t position = 0;
        PyObject *key, *item;
        while (PyDict_Next(value.ptr(), &position, &key, &item))
            if (PyDict_CheckExact(item) || PyList_CheckExact(item))
                if (PyDict_SetItem(copy.ptr(), key, fresh_copy(item).ptr()) < 0)
                    raise_pending();
        return copy;
    }
    if (PyList_CheckExact(value.ptr())) {
        Py_ssize_t size = PyList_GET_SIZE(value.ptr());
        nb::object copy = steal_checked(PyList_GetSlice(value.ptr(), 0, size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject *item = PyList_GET_ITEM(value.ptr(), i);
            if (PyDict_CheckExact(item) || PyList_CheckExact(item))
                if (PyList_SetItem(copy.ptr(), i, fresh_copy(item).release().ptr()) < 0)
                    raise_pending();
        }
        return copy;
    }
    return nb::borrow(value);
}

// What tells one version of a file from another: its device, inode, size and
// modification and change times; none when it cannot be read.
nb::object file_identity(nb::handle path) {
    nb::object encoded = steal_checked(PyUnicode_EncodeFSDefault(path.ptr()));
    struct stat status;
    if (::stat(PyBytes_AS_STRING(encoded.ptr()), &status) != 0)
        return nb::none();
    auto nanoseconds = [](const struct timespec &time) {
        return (long long) time.tv_sec * 1000000000LL + time.tv_nsec;
    };
    return nb::make_tuple((unsigned long long) status.st_dev, (unsigned long long) status.st_ino,
                          (long long) status.st_size, nanoseconds(status.st_mtim),
                          nanoseconds(status.st_ctim));
}

// The named configuration resource of the package directory, the directory
// of `CorvaneFileParser.__file__` (read on each call, so a test may point the
// package elsewhere). A resource is parsed once per process and kept with the
// identity of its file; each call gets its own copy, and a file changed on
// disk since is parsed afresh.
nb::object load_resource(const char *name) {
    nb::object package_file = host_module("CorvaneFileParser").attr("__file__");
    nb::object path = host_attr("os.path", "join")(
        host_attr("os.path", "dirname")(package_file), interned(name));
    nb::object cache = host_module(kModule).attr("_resources");
    nb::object identity = is_text(path) ? file_identity(path) : nb::none();
    if (!identity.is_none()) {
        nb::object kept = get(cache, path);
        if (!kept.is_none() && equals(kept[0], identity))
            return fresh_copy(kept[1]);
    }
    nb::object stream = host_attr("io", "open")(path, "r", nb::arg("encoding") = "utf-8");
    nb::object document = json_load_closing(stream);
    if (!identity.is_none())
        set_item(cache, path, nb::make_tuple(identity, document));
    return identity.is_none() ? document : fresh_copy(document);
}

constexpr const char *kResources[] = {"dragen_500_tsv_config.json", "smn_tsv_config.json",
                                      "gba_tsv_config.json", "pacbio_paraphase_config.json",
                                      "dragen_targeted_config.json"};

// Parses every resource into the cache now (a process about to fork workers
// lets them share it). A resource that cannot be loaded is left to fail
// where a reader needs it.
void load_resources() {
    for (const char *name : kResources) {
        try {
            load_resource(name);
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_Exception))
                throw;
        }
    }
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

    // Parsed configuration resources: path -> (identity of the file, document).
    m.attr("_resources") = nb::dict();

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
                       "resource is parsed once per process (again when its file changes),\n"
                       "each reader getting its own copy; the file itself is not read.\n\n"
                       "Raises ValueError (\"Unsupported file type\") for any other name and\n"
                       "RuntimeError (\"Failed to load config for ...\", the cause chained) when\n"
                       "the resource cannot be loaded or the reader rejects the path.")
        .static_method("load_resources", &load_resources,
                       nb::sig("def load_resources() -> None"),
                       "Parses every configuration resource now, so that readers made later\n"
                       "(also in processes forked from this one) need not.")
        .finish();
}
