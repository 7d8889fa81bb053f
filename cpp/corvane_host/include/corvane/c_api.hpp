// Thin wrappers over the host interpreter's C API: raising and carrying its
// errors, the object operations the readers use (each named after the host
// operation it is), iteration, and the collector pause.
#pragma once

#include <nanobind/nanobind.h>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace corvane {

namespace nb = nanobind;

// Raise `type` with a message that is already a Python str.
[[noreturn]] void raise(PyObject *type, nb::handle message);
// Raise `type` with a UTF-8 message.
[[noreturn]] void raise(PyObject *type, const char *message);
// Turn a pending Python error into a C++ exception.
[[noreturn]] void raise_pending();
// Raise `type(message)` from `cause`, which becomes both its __cause__ and
// __context__ (`raise type(message) from cause`).
[[noreturn]] void raise_chained(nb::handle type, nb::handle message, nb::python_error &cause);
// True when the pending Python error is an instance of `type`; the error stays set.
bool pending_is(PyObject *type);
// Adds `note` to the exception `error` carries. Failing to add it (no
// memory, say) leaves the error as it was: the error is what matters.
void add_note(nb::python_error &error, nb::handle note);

// Steal a new reference returned by the C API, raising if it is null.
inline nb::object steal_checked(PyObject *ref) {
    if (!ref)
        raise_pending();
    return nb::steal(ref);
}

// Keeps C++ recursion over nested data within sys.getrecursionlimit() levels
// per thread (RecursionError "maximum recursion depth exceeded<where>"
// beyond) and within the host's C-level limit. Hold one per level of a
// recursive walk, and keep that walk's frames small: at the default limit the
// deepest walk must fit in a 256 KiB thread stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char *where);
    ~RecursionGuard();
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};


bool truthy(nb::handle value);                     // bool(value)
bool equals(nb::handle a, nb::handle b);           // a == b
bool contains(nb::handle container, nb::handle key);  // key in container
nb::str to_str(nb::handle value);                  // str(value)
nb::str class_name(nb::handle value);               // type(value).__name__
nb::str lower(nb::handle text);                    // text.lower()
nb::str upper(nb::handle text);                    // text.upper()
bool is_number(nb::handle value);                  // isinstance(value, (int, float))
bool is_text(nb::handle value);                    // isinstance(value, str)
bool is_dict(nb::handle value);                    // isinstance(value, dict)
bool is_list(nb::handle value);                    // isinstance(value, list)
// isinstance(value, dict), honouring a __class__ that claims dict.
bool is_dict_instance(nb::handle value);

// The `size` bytes at `data` equal the lower-case ASCII `word` once their
// ASCII capitals are lowered.
inline bool ascii_equals_folded(const char *data, size_t size, std::string_view word) {
    if (size != word.size())
        return false;
    for (size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (c >= 'A' && c <= 'Z')
            c = (char) (c - 'A' + 'a');
        if (c != word[i])
            return false;
    }
    return true;
}

// mapping.get(key, default); a plain dict is read directly.
nb::object get(nb::handle mapping, nb::handle key, nb::handle fallback = nb::none());
nb::object get(nb::handle mapping, const char *key, nb::handle fallback = nb::none());
// The first of `keys` whose value in `mapping` tests true, else nullptr.
nb::object first_truthy(nb::handle mapping, std::initializer_list<const char *> keys);
// The same, else the str `fallback`.
nb::object first_truthy_or(nb::handle mapping, std::initializer_list<const char *> keys,
                           const char *fallback);
// mapping[key] = value
void set_item(nb::handle mapping, nb::handle key, nb::handle value);

// A new dict of `length` items, as if by setting keys[i] to values[i] in
// order (a repeated key keeps its first place and its last value); the
// references in both arrays are borrowed. Presized; when every key is an
// exact str, the table is the compact str-keyed one an insertion-grown dict
// would have.
nb::object dict_from_items(PyObject *const *keys, PyObject *const *values, Py_ssize_t length);

// The concatenation of str(piece) for every piece.
nb::str concat_str(std::initializer_list<nb::handle> pieces);

// Calls `fn(item)` for the items of `iterable` until it returns true; tells
// whether it stopped early.
template <typename F> bool iterate_until(nb::handle iterable, F &&fn) {
    nb::object it = steal_checked(PyObject_GetIter(iterable.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object item = nb::steal(raw);
        if (fn(nb::handle(item)))
            return true;
    }
    if (PyErr_Occurred())
        raise_pending();
    return false;
}

// Calls `fn(item)` for every item of `iterable`, in iteration order.
template <typename F> void for_each(nb::handle iterable, F &&fn) {
    iterate_until(iterable, [&](nb::handle item) {
        fn(item);
        return false;
    });
}

// `key, value = pair`, with the host's errors for anything but a pair.
std::pair<nb::object, nb::object> unpack_pair(nb::handle pair);

// Calls `fn(key, value)` for the entries of `mapping.items()` in order until
// it returns true; tells whether it stopped early. A plain dict is walked
// directly, failing as the host's iteration does when it changes size.
template <typename F> bool entries_until(nb::handle mapping, F &&fn) {
    PyObject *p = mapping.ptr();
    if (PyDict_CheckExact(p)) {
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(p);
        PyObject *raw_key = nullptr, *raw_value = nullptr;
        while (PyDict_Next(p, &pos, &raw_key, &raw_value)) {
            nb::object key = nb::borrow(raw_key), value = nb::borrow(raw_value);
            if (fn(nb::handle(key), nb::handle(value)))
                return true;
            if (PyDict_GET_SIZE(p) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return false;
    }
    nb::object items = mapping.attr("items")();
    return iterate_until(items, [&](nb::handle pair) {
        auto [key, value] = unpack_pair(pair);
        return fn(nb::handle(key), nb::handle(value));
    });
}


// The bytes the system calls take for a path given as str (encoded as
// os.fsencode does) or bytes; an invalid object for anything else, a name
// that cannot be encoded or one holding a NUL, which are left to the host's
// own calls and their errors.
nb::object system_path(nb::handle path);

// globals[name] of a module's globals dict, read on each call so that a
// replaced entry takes effect; NameError as the host gives it when absent.
nb::object read_global(nb::handle globals, nb::handle name);

// Pauses the host's cyclic garbage collector for the life of the object
// (when it was enabled): for a reader building a great many records of text
// and numbers, which form no cycles, so that the collections their
// allocations would start, a full one among them, wait until it is done.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled_)
            PyGC_Enable();
    }
    CollectorPause(const CollectorPause &) = delete;
    CollectorPause &operator=(const CollectorPause &) = delete;

private:
    int was_enabled_;
};

}  // namespace corvane
