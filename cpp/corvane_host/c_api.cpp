#include <corvane/c_api.hpp>
#include <corvane/host_lookup.hpp>

// _PyDict_FromItems builds a record in one step, presized, with the compact
// str-keyed table (16-byte entries) when every key is a str: a record that
// grows by insertion ends with the same table but resizes on the way. It is
// exported but declared only in the internal headers, with the signature of
// 3.13; other versions build the dict through the public API.
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

void raise_chained(nb::handle type, nb::handle message, nb::python_error &cause) {
    nb::object original = nb::borrow(cause.value());
    nb::object error = steal_checked(PyObject_CallOneArg(type.ptr(), message.ptr()));
    PyException_SetContext(error.ptr(), nb::object(original).release().ptr());
    PyException_SetCause(error.ptr(), original.release().ptr());
    PyErr_SetRaisedException(error.release().ptr());
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
        steal_checked(PyObject_CallMethodNoArgs(text.ptr(), interned("upper").ptr())));
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
    // Keys are literals: their interned str is made once and found by identity.
    return get(mapping, interned(key), fallback);
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
    nb::object dict = steal_checked(PyDict_New());
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

nb::object read_global(nb::handle globals, nb::handle name) {
    PyObject *found = nullptr;
    int status = PyDict_GetItemRef(globals.ptr(), name.ptr(), &found);
    if (status < 0)
        raise_pending();
    if (status == 0)
        raise(PyExc_NameError, concat_str({nb::str("name '"), nb::borrow(name),
                                           nb::str("' is not defined")}));
    return nb::steal(found);
}

nb::object system_path(nb::handle path) {
    nb::object encoded;
    if (PyUnicode_Check(path.ptr())) {
        encoded = nb::steal(PyUnicode_EncodeFSDefault(path.ptr()));
        if (!encoded.is_valid()) {
            PyErr_Clear();
            return nb::object();
        }
    } else if (PyBytes_Check(path.ptr())) {
        encoded = nb::borrow(path);
    } else {
        return nb::object();
    }
    const char *text = PyBytes_AS_STRING(encoded.ptr());
    if (std::char_traits<char>::length(text) != (size_t) PyBytes_GET_SIZE(encoded.ptr()))
        return nb::object();
    return encoded;
}

}  // namespace corvane
