#include <corvane/host.hpp>

#include <cstdint>
#include <map>
#include <string>

// _PyDict_NewPresized always makes a general-keys table (24-byte entries);
// the interpreter's own dict builder picks the 16-byte str-keyed entries when
// every key is a str. It is exported, but declared only in the internal
// headers, and its signature is that of 3.13: other versions fall back.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_LIMITED_API) && \
    !defined(Py_GIL_DISABLED)
#define CORVANE_HAS_DICT_FROM_ITEMS 1
extern "C" PyAPI_FUNC(PyObject *)
    _PyDict_FromItems(PyObject *const *keys, Py_ssize_t keys_offset, PyObject *const *values,
                      Py_ssize_t values_offset, Py_ssize_t length);
#else
#define CORVANE_HAS_DICT_FROM_ITEMS 0
#endif

namespace corvane {

void raise(PyObject *type, nb::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw nb::python_error();
}

void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

void raise_pending() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error indicator not set");
    throw nb::python_error();
}

bool pending_is(PyObject *type) { return PyErr_ExceptionMatches(type) != 0; }

void add_note(nb::python_error &error, nb::handle note) {
    try {
        error.value().attr("add_note")(note);
    } catch (nb::python_error &) {
    }
}

namespace {

// Levels of C++ recursion over nested data entered on this thread (in this
// extension module), bounded by the host's recursion limit.
thread_local int nested_depth = 0;

}  // namespace

RecursionGuard::RecursionGuard(const char *where) {
    if (nested_depth >= Py_GetRecursionLimit()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        throw nb::python_error();
    }
    // The host's own C-level check stays as a second bound for a raised limit.
    if (Py_EnterRecursiveCall(where))
        raise_pending();
    ++nested_depth;
}

RecursionGuard::~RecursionGuard() {
    --nested_depth;
    Py_LeaveRecursiveCall();
}

namespace {

// Process-wide cache of host objects. The entries are deliberately never
// released: extension modules are not unloaded before the interpreter ends.
std::map<std::string, nb::object> &host_cache() {
    static auto *cache = new std::map<std::string, nb::object>();
    return *cache;
}

// In front of it, the objects by the addresses of the texts naming them
// (nearly always string literals), a table of recent lookups. A hit is
// checked against the texts themselves, so a buffer reused for another name
// only misses; the objects are those the cache above keeps for ever.
struct RecentLookup {
    const char *first = nullptr, *second = nullptr;
    std::string first_text, second_text;
    PyObject *value = nullptr;
};

constexpr size_t kRecentLookups = 1024;

RecentLookup &recent_slot(char kind, const char *first, const char *second) {
    static auto *table = new RecentLookup[kRecentLookups];
    size_t hash = (reinterpret_cast<uintptr_t>(first) >> 3) * 31 +
                  (reinterpret_cast<uintptr_t>(second) >> 3) + (size_t) kind;
    return table[(hash ^ (hash >> 10)) % kRecentLookups];
}

PyObject *recent(RecentLookup &slot, const char *first, const char *second) {
    if (slot.value && slot.first == first && slot.second == second &&
        slot.first_text == first && (!second || slot.second_text == second))
        return slot.value;
    return nullptr;
}

nb::handle remember(RecentLookup &slot, const char *first, const char *second, nb::handle value) {
    slot.first = first;
    slot.second = second;
    slot.first_text = first;
    slot.second_text = second ? second : "";
    slot.value = value.ptr();
    return value;
}

}  // namespace

static nb::handle cached_host_module(const char *module);
static nb::handle cached_host_attr(const char *module, const char *name);
static nb::handle cached_interned(const char *text);

nb::handle host_module(const char *module) {
    RecentLookup &slot = recent_slot('m', module, nullptr);
    if (PyObject *value = recent(slot, module, nullptr))
        return value;
    return remember(slot, module, nullptr, cached_host_module(module));
}

nb::handle cached_host_module(const char *module) {
    auto &cache = host_cache();
    std::string key(module);
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    nb::object value = nb::module_::import_(module);
    return cache.emplace(std::move(key), std::move(value)).first->second;
}

nb::handle host_attr(const char *module, const char *name) {
    RecentLookup &slot = recent_slot('a', module, name);
    if (PyObject *value = recent(slot, module, name))
        return value;
    return remember(slot, module, name, cached_host_attr(module, name));
}

nb::handle cached_host_attr(const char *module, const char *name) {
    auto &cache = host_cache();
    std::string key = std::string(module) + ':' + name;
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    nb::object value = host_module(module).attr(name);
    return cache.emplace(std::move(key), std::move(value)).first->second;
}

nb::handle interned(const char *text) {
    RecentLookup &slot = recent_slot('s', text, nullptr);
    if (PyObject *value = recent(slot, text, nullptr))
        return value;
    return remember(slot, text, nullptr, cached_interned(text));
}

nb::handle cached_interned(const char *text) {
    auto &cache = host_cache();
    std::string key = std::string("str:") + text;
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    nb::object value = steal_checked(PyUnicode_InternFromString(text));
    return cache.emplace(std::move(key), std::move(value)).first->second;
}

nb::object import_attr(const char *module, const char *name) {
    return nb::module_::import_(module).attr(name);
}

bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        raise_pending();
    return result != 0;
}

bool equals(nb::handle a, nb::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0)
        raise_pending();
    return result != 0;
}

bool contains(nb::handle container, nb::handle key) {
    int result = PySequence_Contains(container.ptr(), key.ptr());
    if (result < 0)
        raise_pending();
    return result != 0;
}

nb::str to_str(nb::handle value) {
    return nb::borrow<nb::str>(steal_checked(PyObject_Str(value.ptr())));
}

nb::str class_name(nb::handle value) {
    return nb::borrow<nb::str>(
        steal_checked(PyType_GetName(Py_TYPE(value.ptr()))));
}

nb::str lower(nb::handle text) {
    // An exact str of ASCII without capitals is its own lower-case form.
    PyObject *p = text.ptr();
    if (PyUnicode_CheckExact(p) && PyUnicode_IS_ASCII(p)) {
        const Py_UCS1 *chars = PyUnicode_1BYTE_DATA(p);
        Py_ssize_t size = PyUnicode_GET_LENGTH(p), i = 0;
        while (i < size && !(chars[i] >= 'A' && chars[i] <= 'Z'))
            ++i;
        if (i == size)
            return nb::borrow<nb::str>(text);
    }
    return nb::borrow<nb::str>(steal_checked(PyObject_CallMethodNoArgs(p, interned("lower").ptr())));
}

nb::str upper(nb::handle text) {
    return nb::borrow<nb::str>(
        steal_checked(PyObject_CallMethod(text.ptr(), "upper", nullptr)));
}

bool is_number(nb::handle value) {
    return PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr());
}
bool is_text(nb::handle value) { return PyUnicode_Check(value.ptr()); }
bool is_dict(nb::handle value) { return PyDict_Check(value.ptr()); }
bool is_list(nb::handle value) { return PyList_Check(value.ptr()); }

nb::object get(nb::handle mapping, nb::handle key, nb::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *found = nullptr;
        int status = PyDict_GetItemRef(mapping.ptr(), key.ptr(), &found);
        if (status < 0)
            raise_pending();
        if (status == 0)
            return nb::borrow(fallback);
        return nb::steal(found);
    }
    return mapping.attr("get")(key, fallback);
}

nb::object get(nb::handle mapping, const char *key, nb::handle fallback) {
    return get(mapping, nb::str(key), fallback);
}

nb::object first_truthy(nb::handle mapping, std::initializer_list<const char *> keys) {
    for (const char *key : keys) {
        nb::object value = get(mapping, key);
        if (truthy(value))
            return value;
    }
    return nb::object();
}

nb::object first_truthy_or(nb::handle mapping, std::initializer_list<const char *> keys,
                           const char *fallback) {
    nb::object value = first_truthy(mapping, keys);
    if (value.is_valid())
        return value;
    return nb::borrow(interned(fallback));
}

bool is_dict_instance(nb::handle value) {
    if (PyDict_Check(value.ptr()))
        return true;
    int result = PyObject_IsInstance(value.ptr(), (PyObject *) &PyDict_Type);
    if (result < 0)
        raise_pending();
    return result != 0;
}

std::pair<nb::object, nb::object> unpack_pair(nb::handle pair) {
    PyObject *p = pair.ptr();
    if (PyTuple_CheckExact(p) && PyTuple_GET_SIZE(p) == 2)
        return {nb::borrow(PyTuple_GET_ITEM(p, 0)), nb::borrow(PyTuple_GET_ITEM(p, 1))};
    PyObject *raw_it = PyObject_GetIter(p);
    if (!raw_it) {
        if (pending_is(PyExc_TypeError) && !Py_TYPE(p)->tp_iter && !PySequence_Check(p)) {
            PyErr_Clear();
            raise(PyExc_TypeError,
                  concat_str({interned("cannot unpack non-iterable "), class_name(pair),
                              interned(" object")}));
        }
        raise_pending();
    }
    nb::object it = nb::steal(raw_it);
    nb::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *raw = PyIter_Next(it.ptr());
        if (!raw) {
            if (PyErr_Occurred())
                raise_pending();
            raise(PyExc_ValueError, i == 0 ? "not enough values to unpack (expected 2, got 0)"
                                           : "not enough values to unpack (expected 2, got 1)");
        }
        items[i] = nb::steal(raw);
    }
    if (PyObject *extra = PyIter_Next(it.ptr())) {
        nb::object discarded = nb::steal(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred())
        raise_pending();
    return {std::move(items[0]), std::move(items[1])};
}

nb::object read_file_bytes(nb::handle path) {
    nb::object file = host_attr("builtins", "open")(path, "rb");
    nb::object content;
    try {
        content = file.attr("read")();
    } catch (...) {
        // The read's own error is the one to report.
        nb::object closed = nb::steal(PyObject_CallMethod(file.ptr(), "close", nullptr));
        if (!closed.is_valid())
            PyErr_Clear();
        throw;
    }
    file.attr("close")();
    return content;
}

nb::object json_load_closing(nb::handle stream) {
    nb::object document;
    try {
        document = host_attr("json", "load")(stream);
    } catch (...) {
        stream.attr("close")();
        throw;
    }
    stream.attr("close")();
    return document;
}

void convert_operator(nb::handle cond) {
    nb::handle key = interned("operator");
    nb::handle members = host_attr("CorvaneFileParser.Models.ConditionOperator",
                                   "ConditionOperator");
    nb::object name = steal_checked(PyObject_GetItem(cond.ptr(), key.ptr()));
    int is_member = PyObject_IsInstance(name.ptr(), members.ptr());
    if (is_member < 0)
        raise_pending();
    nb::object member =
        is_member ? name : steal_checked(PyObject_GetItem(members.ptr(), name.ptr()));
    set_item(cond, key, member);
}

nb::object condition_value(nb::handle field, nb::handle data) {
    if (is_dict_instance(data) && contains(data, field))
        return steal_checked(PyObject_GetItem(data.ptr(), field.ptr()));
    return nb::borrow(data);
}

void set_item(nb::handle mapping, nb::handle key, nb::handle value) {
    int status = PyDict_CheckExact(mapping.ptr())
                     ? PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr())
                     : PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr());
    if (status < 0)
        raise_pending();
}

nb::object dict_from_items(PyObject *const *keys, PyObject *const *values, Py_ssize_t length) {
#if CORVANE_HAS_DICT_FROM_ITEMS
    return steal_checked(_PyDict_FromItems(keys, 1, values, 1, length));
#else
    nb::object dict = steal_checked(_PyDict_NewPresized(length));
    for (Py_ssize_t i = 0; i < length; ++i)
        if (PyDict_SetItem(dict.ptr(), keys[i], values[i]) < 0)
            raise_pending();
    return dict;
#endif
}

nb::str concat_str(std::initializer_list<nb::handle> pieces) {
    nb::list parts;
    for (nb::handle piece : pieces)
        parts.append(to_str(piece));
    return nb::borrow<nb::str>(
        steal_checked(PyUnicode_Join(nb::str("").ptr(), parts.ptr())));
}

namespace {

// The command line's direct log when it is open (see
// CorvaneFileParser/ProgramLog.py), else an invalid handle. Looked up in
// sys.modules, so that the module is not loaded by callers that never open it.
nb::object open_direct_log() {
    PyObject *module = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(),
                          interned("CorvaneFileParser.ProgramLog").ptr(), &module) < 0)
        raise_pending();
    if (!module)
        return {};
    nb::object active = nb::steal(module).attr("active");
    return active.is_none() ? nb::object() : active;
}

void log_at(int level, const char *logging_function, nb::handle message) {
    if (nb::object direct = open_direct_log(); direct.is_valid())
        direct.attr("log")(level, message);
    else
        host_attr("logging", logging_function)(message);
}

}  // namespace

void log_info(nb::handle message) { log_at(20, "info", message); }

void log_warning(nb::handle message) { log_at(30, "warning", message); }

void log_error(nb::handle message) { log_at(40, "error", message); }

}  // namespace corvane
