// Chooses the reader and its configuration resource from the kind of file a
// caller names, or else from the file's name.
#include <corvane/c_api.hpp>
#include <corvane/checked_settings.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_io.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>

#include <iterator>
#include <sys/stat.h>

namespace nb = nanobind;
using namespace corvane;

namespace {

constexpr const char *kModule = package_entry::kReaderFactoryModule;

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
// package elsewhere). A resource is read once per process and kept with the
// identity of its file and the SHA-256 of the bytes parsed (set in *digest),
// so the manifest names the very version the readers were built on; each call
// gets its own copy, and a file changed on disk since is read afresh.
nb::object resource_path(const char *name) {
    nb::object package_file = package_entry::package().attr("__file__");
    // The paths joined for the package's __file__ as last read: the same
    // text gives the same paths.
    struct Joined {
        nb::object package_file;
        nb::dict paths;  // resource name -> path
    };
    static Joined *joined = new Joined();
    bool plain = PyUnicode_CheckExact(package_file.ptr());
    if (plain && joined->package_file.is_valid() && joined->package_file.is(package_file)) {
        if (PyObject *path = PyDict_GetItemString(joined->paths.ptr(), name))
            return nb::borrow(path);
    }
    nb::object path = host_attr("os.path", "join")(host_attr("os.path", "dirname")(package_file),
                                                   interned(name));
    if (plain) {
        if (!joined->package_file.is(package_file)) {
            joined->package_file = package_file;
            joined->paths.clear();
        }
        if (PyDict_SetItemString(joined->paths.ptr(), name, path.ptr()) < 0)
            raise_pending();
    }
    return path;
}

// `origin`, when given, is set to the cached document the result is a fresh
// copy of (left unset when the result is not such a copy).
nb::object load_resource(const char *name, nb::object *digest = nullptr,
                         nb::object *origin = nullptr) {
    nb::object path = resource_path(name);
    nb::object cache = host_module(kModule).attr("_resources");
    nb::object identity = is_text(path) ? file_identity(path) : nb::none();
    if (!identity.is_none()) {
        nb::object kept = get(cache, path);
        if (!kept.is_none() && equals(kept[0], identity)) {
            if (digest)
                *digest = kept[2];
            if (origin)
                *origin = kept[1];
            return fresh_copy(kept[1]);
        }
    }
    nb::object stream = host_attr("io", "open")(path, "rb");
    nb::object data;
    try {
        data = stream.attr("read")();
    } catch (...) {
        stream.attr("close")();
        throw;
    }
    stream.attr("close")();
    nb::object document = host_attr("json", "loads")(data.attr("decode")("utf-8"));
    nb::object sha256 = package_entry::bytes_digest()(data);
    if (digest)
        *digest = sha256;
    if (identity.is_none())
        return document;
    set_item(cache, path, nb::make_tuple(identity, document, sha256));
    if (origin)
        *origin = document;
    return fresh_copy(document);
}

// The SHA-256 of its resource, kept on a reader the factory built (a reader
// that takes no new attribute goes without: the manifest then asks
// resource_digest()).
void keep_resource_digest(nb::handle reader, nb::handle digest) {
    if (!digest.is_valid() || digest.is_none())
        return;
    if (PyObject_SetAttrString(reader.ptr(), "resource_sha256", digest.ptr()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            raise_pending();
        PyErr_Clear();
    }
}

// The SHA-256 of the named resource as the readers are built on it (read
// through the cache above); None when it is not a regular file (a FIFO
// would block) or cannot be read.
nb::object resource_digest(nb::str name) {
    nb::object digest;
    try {
        nb::object path = resource_path(name.c_str());
        nb::object encoded = steal_checked(PyUnicode_EncodeFSDefault(path.ptr()));
        struct stat status;
        if (::stat(PyBytes_AS_STRING(encoded.ptr()), &status) != 0 || !S_ISREG(status.st_mode))
            return nb::none();
        load_resource(name.c_str(), &digest);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_Exception))
            throw;
        return nb::none();
    }
    return digest.is_valid() ? digest : nb::none();
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

// The kinds of caller file, as a caller names them (command line, request,
// sample sheet), with their reader and configuration resource.
struct FileKind {
    const char *name;
    const char *reader;
    const char *resource;
};
constexpr FileKind kKinds[] = {
    {"panel", "PanelTsvReader", "dragen_500_tsv_config.json"},
    {"smn", "SingleRowTsvReader", "smn_tsv_config.json"},
    {"gba", "SingleRowTsvReader", "gba_tsv_config.json"},
    {"targeted", "JsonExtractReader", "dragen_targeted_config.json"},
    {"paraphase", "JsonExtractReader", "pacbio_paraphase_config.json"},
};
constexpr size_t kTargeted = 3, kParaphase = 4;
constexpr const char *kKindList = "panel, smn, gba, targeted, paraphase";

// The index of the kind named `kind`, or -1.
int kind_index(nb::handle kind) {
    if (!PyUnicode_Check(kind.ptr()))
        return -1;
    for (size_t i = 0; i < std::size(kKinds); ++i)
        if (PyUnicode_CompareWithASCIIString(kind.ptr(), kKinds[i].name) == 0)
            return (int) i;
    return -1;
}

// The factory's keywords a reader class's constructor takes: the shipped
// readers take both; a replacement class may have the two-argument
// constructor (section_config, file_path) the reader contract allows.
enum ReaderKeywords : long { kTakesResourceName = 1, kTakesKindGiven = 2 };

// Read from the constructor's signature once per class (kept in the module's
// _reader_keywords); a signature that cannot be read (a class made in C)
// takes both, as the shipped readers do. The shipped classes are known
// without inspect, whose import would cost a short run 15 ms.
// The index in package_entry::kReaderClasses of `cls`, or -1.
int shipped_index(nb::handle cls) {
    for (size_t i = 0; i < std::size(package_entry::kReaderClasses); ++i) {
        const package_entry::ReaderClass &shipped = package_entry::kReaderClasses[i];
        if (cls.is(host_attr(shipped.module, shipped.cls)))
            return (int) i;
    }
    return -1;
}

long reader_keywords(nb::handle cls) {
    long takes = kTakesResourceName | kTakesKindGiven;
    if (shipped_index(cls) >= 0)
        return takes;
    nb::object cache = host_module(kModule).attr("_reader_keywords");
    nb::object kept = get(cache, cls);
    if (!kept.is_none())
        return nb::cast<long>(kept);
    nb::object parameters;
    try {
        parameters = host_attr("inspect", "signature")(cls).attr("parameters");
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError))
            throw;
    }
    if (parameters.is_valid()) {
        nb::handle kind_class = host_attr("inspect", "Parameter");
        nb::object positional_only = kind_class.attr("POSITIONAL_ONLY");
        nb::object any_keyword = kind_class.attr("VAR_KEYWORD");
        bool any = false;
        for_each(parameters.attr("values")(), [&](nb::handle parameter) {
            any |= equals(parameter.attr("kind"), any_keyword);
        });
        if (!any) {
            auto named = [&](const char *name) {
                nb::object parameter = get(parameters, interned(name));
                return !parameter.is_none() && !equals(parameter.attr("kind"), positional_only) &&
                       !equals(parameter.attr("kind"), kind_class.attr("VAR_POSITIONAL"));
            };
            takes = (named("resource_name") ? kTakesResourceName : 0) |
                    (named("kind_given") ? kTakesKindGiven : 0);
        }
    }
    set_item(cache, cls, nb::int_(takes));
    return takes;
}

// The constructors of the shipped readers and of their base as this module
// found them when loaded; the readers' own settings checks run in them.
struct ShippedConstructors {
    PyObject *init_name;
    PyObject *base;
    PyObject *readers[std::size(package_entry::kReaderClasses)];
};
ShippedConstructors *shipped_constructors = nullptr;

nb::object constructor_of(nb::handle cls) {
    return steal_checked(PyObject_GetAttr(cls.ptr(), shipped_constructors->init_name));
}

void keep_shipped_constructors() {
    auto *kept = new ShippedConstructors();
    kept->init_name = PyUnicode_InternFromString("__init__");
    if (!kept->init_name)
        raise_pending();
    shipped_constructors = kept;
    kept->base = constructor_of(package_entry::report_reader_base()).release().ptr();
    for (size_t i = 0; i < std::size(package_entry::kReaderClasses); ++i)
        kept->readers[i] = constructor_of(host_attr(package_entry::kReaderClasses[i].module,
                                                    package_entry::kReaderClasses[i].cls))
                               .release()
                               .ptr();
}

// A shipped reader class whose constructor, and its base's, are the shipped
// ones: nothing but the readers' own code sees the settings before their
// checks run.
bool builds_as_shipped(nb::handle cls) {
    int index = shipped_index(cls);
    return index >= 0 && constructor_of(cls).ptr() == shipped_constructors->readers[index] &&
           constructor_of(package_entry::report_reader_base()).ptr() == shipped_constructors->base;
}

// The reader class of this module's globals for `kind`, built on its
// resource; the resource's file name goes to the reader for its messages
// about bad settings. `kind_given`: the caller named the kind, so the name
// need not say it (passed only then). Each keyword goes only to a class whose
// constructor takes it. The SHA-256 of the resource's bytes it was built on
// is kept on the reader for the manifest.
nb::object make_reader(const FileKind &kind, nb::handle file_path, bool kind_given) {
    nb::object cls = reader_class(kind.reader);
    long takes = reader_keywords(cls);
    nb::object digest, origin;
    nb::object config = load_resource(kind.resource, &digest, &origin);
    nb::dict keywords;
    if (takes & kTakesResourceName)
        keywords["resource_name"] = nb::str(kind.resource);
    if (kind_given && (takes & kTakesKindGiven))
        keywords["kind_given"] = nb::handle(Py_True);
    nb::object arguments = nb::make_tuple(config, file_path);
    nb::object reader;
    // A shipped reader's checks of settings that are a fresh copy of a cached
    // document need not compare them with what they passed before.
    if (origin.is_valid() && builds_as_shipped(cls)) {
        AnnouncedCopy announced(config, origin);
        reader = steal_checked(PyObject_Call(cls.ptr(), arguments.ptr(), keywords.ptr()));
    } else {
        reader = steal_checked(PyObject_Call(cls.ptr(), arguments.ptr(), keywords.ptr()));
    }
    keep_resource_digest(reader, digest);
    return reader;
}

// The kind a file's lower-cased path names, or -1 when no row of the
// dispatch table accepts it.
int kind_by_name(nb::handle lowered) {
    if (ends_with(lowered, ".tsv")) {
        if (ends_with(lowered, "combinedvariantoutput.tsv"))
            return 0;
        if (ends_with(lowered, "smn.tsv"))
            return 1;
        if (ends_with(lowered, "gba.tsv"))
            return 2;
    }
    if (ends_with(lowered, ".json"))
        return contains(lowered, interned("paraphase")) ? (int) kParaphase : (int) kTargeted;
    return -1;
}

// ---------------------------------------------------------------------------
// A JSON kind guessed from the name, checked against the document
// ---------------------------------------------------------------------------

// The document keys (lower-cased) a JSON resource's sections read: each
// section's "json_key", its "json_keys" and its own name.
nb::object configured_keys(nb::handle config) {
    nb::object keys = steal_checked(PySet_New(nullptr));
    auto add = [&](nb::handle key) {
        if (PyUnicode_Check(key.ptr()) && PyUnicode_GET_LENGTH(key.ptr()) > 0 &&
            PySet_Add(keys.ptr(), lower(key).ptr()) < 0)
            raise_pending();
    };
    entries_until(config, [&](nb::handle name, nb::handle section) {
        add(name);
        if (PyDict_Check(section.ptr())) {
            add(get(section, "json_key"));
            nb::object several = get(section, "json_keys");
            if (PyList_Check(several.ptr()))
                for_each(several, add);
        }
        return false;
    });
    return keys;
}

// Keys only the targeted caller's documents carry: its sample identity.
void add_identity_keys(size_t kind, nb::handle keys) {
    if (kind != kTargeted)
        return;
    for (const char *key : {"sample", "sampleid"})
        if (PySet_Add(keys.ptr(), interned(key).ptr()) < 0)
            raise_pending();
}

// A document read as the JSON kind `guessed` (by its name) is refused when its
// top-level keys include keys only the other JSON kind reads and none that
// only the guessed kind reads: it is plainly the other kind's file.
void check_guessed_kind(nb::handle path, size_t guessed, nb::handle own_config,
                        nb::handle document) {
    if (!PyDict_Check(document.ptr()))
        return;
    size_t other = guessed == kTargeted ? kParaphase : kTargeted;
    nb::object own = configured_keys(own_config);
    nb::object theirs = configured_keys(load_resource(kKinds[other].resource));
    nb::object own_only = steal_checked(PyNumber_Subtract(own.ptr(), theirs.ptr()));
    nb::object their_only = steal_checked(PyNumber_Subtract(theirs.ptr(), own.ptr()));
    add_identity_keys(guessed, own_only);
    add_identity_keys(other, their_only);

    nb::list foreign;
    bool own_key = iterate_until(document, [&](nb::handle key) {
        if (!PyUnicode_Check(key.ptr()))
            return false;
        nb::str folded = lower(key);
        if (contains(own_only, folded))
            return true;
        if (contains(their_only, folded))
            foreign.append(key);
        return false;
    });
    if (own_key || nb::len(foreign) == 0)
        return;
    nb::object shown = steal_checked(PyUnicode_Join(interned(", ").ptr(), foreign.ptr()));
    nb::str other_name(kKinds[other].name);
    raise(PyExc_ValueError,
          concat_str({path, interned(": its name makes it "), nb::str(kKinds[guessed].name),
                      interned(" JSON, but its top-level keys ("), shown,
                      interned(") are those of "), other_name,
                      interned(" JSON; give its kind if it is one: --input "), other_name,
                      interned(" "), path}));
}

// The reader for `file_path` of the kind its name gives, or an invalid
// object when no row of the dispatch table accepts the lower-cased path. A
// JSON reader checks the document against the kind before it reads it.
nb::object select_reader(nb::handle file_path, nb::handle lowered) {
    int kind = kind_by_name(lowered);
    if (kind < 0)
        return nb::object();
    nb::object reader = make_reader(kKinds[kind], file_path, false);
    if (kind == (int) kTargeted || kind == (int) kParaphase) {
        nb::object path = nb::borrow(file_path), config = reader.attr("section_config");
        nb::setattr(reader, "document_check",
                    nb::cpp_function([path, config, kind](nb::handle document) {
                        check_guessed_kind(path, (size_t) kind, config, document);
                    }));
    }
    return reader;
}

// RuntimeError("Failed to load config for <path>: <cause>") raised from `cause`.
[[noreturn]] void raise_load_failure(nb::handle file_path, nb::python_error &cause) {
    raise_chained(PyExc_RuntimeError,
                  concat_str({interned("Failed to load config for "), file_path, interned(": "),
                              nb::borrow(cause.value())}),
                  cause);
}

// ValueError naming the file unless `kind` is one of the kinds; its index.
int check_kind(nb::handle file_path, nb::handle kind) {
    int given = kind_index(kind);
    if (given < 0)
        raise(PyExc_ValueError,
              concat_str({interned("Unknown input kind "), steal_checked(PyObject_Repr(kind.ptr())),
                          interned(" for "), file_path, interned(" (kinds: "),
                          nb::str(kKindList), interned(")")}));
    return given;
}

nb::object get_parser(nb::handle file_path, nb::handle kind) {
    int given = kind.is_none() ? -1 : check_kind(file_path, kind);
    // A path without a usable lower() fails here with the host's error,
    // outside the converted region.
    nb::object lowered = steal_checked(PyObject_CallMethod(file_path.ptr(), "lower", nullptr));
    nb::object reader;
    try {
        reader = given >= 0 ? make_reader(kKinds[given], file_path, true)
                            : select_reader(file_path, lowered);
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
    m.attr("ReportReaderBase") = package_entry::report_reader_base();
    for (const package_entry::ReaderClass &reader : package_entry::kReaderClasses)
        m.attr(reader.cls) = host_attr(reader.module, reader.cls);
    keep_shipped_constructors();

    m.def("check_input_kind", [](nb::handle path, nb::handle kind) { check_kind(path, kind); },
          nb::arg("path").none(), nb::arg("kind").none(),
          nb::sig("def check_input_kind(path: str, kind: str) -> None"),
          "Raises ValueError naming path unless kind is one of the kinds of file:\n"
          "panel, smn, gba, targeted, paraphase.");
    // Parsed configuration resources: path -> (identity of the file, document,
    // SHA-256 of the bytes parsed).
    m.attr("_resources") = nb::dict();
    // Reader class -> the factory's keywords its constructor takes.
    m.attr("_reader_keywords") = nb::dict();

    ClassBuilder::plain(m, "ReportReaderFactory")
        .doc("Chooses the reader and the configuration resource for a caller's file.")
        .static_method("get_parser", &get_parser, nb::arg("file_path").none(),
                       nb::arg("kind").none() = nb::none(),
                       nb::sig("def get_parser(file_path: str, kind: str | None = None)"
                               " -> ReportReaderBase"),
                       "Returns the reader for file_path. A kind (\"panel\", \"smn\", \"gba\",\n"
                       "\"targeted\", \"paraphase\") chooses the reader and resource whatever the\n"
                       "name; an unknown kind is a ValueError. Without one the name decides (case\n"
                       "ignored):\n"
                       "...combinedvariantoutput.tsv -> PanelTsvReader with\n"
                       "dragen_500_tsv_config.json; ...smn.tsv and ...gba.tsv ->\n"
                       "SingleRowTsvReader with smn_tsv_config.json or gba_tsv_config.json;\n"
                       "...json -> JsonExtractReader with pacbio_paraphase_config.json when the\n"
                       "path contains \"paraphase\", else dragen_targeted_config.json; such a\n"
                       "JSON reader refuses (ValueError, when it reads) a document whose\n"
                       "top-level keys are plainly the other JSON kind's. The resource is parsed\n"
                       "once per process (again when its file changes), each reader getting its\n"
                       "own copy; the file itself is not read.\n\n"
                       "Raises ValueError (\"Unsupported file type\") for any other name and\n"
                       "RuntimeError (\"Failed to load config for ...\", the cause chained) when\n"
                       "the resource cannot be loaded or the reader rejects the path.")
        .static_method("resource_digest", &resource_digest, nb::arg("name"),
                       nb::sig("def resource_digest(name: str) -> str | None"),
                       "The SHA-256 of the bytes of the named configuration resource the\n"
                       "readers are built on (read once, with the resource); None when it\n"
                       "cannot be read.")
        .static_method("load_resources", &load_resources,
                       nb::sig("def load_resources() -> None"),
                       "Parses every configuration resource now, so that readers made later\n"
                       "(also in processes forked from this one) need not.")
        .finish();
}
