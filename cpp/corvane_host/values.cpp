#include <corvane/host.hpp>

namespace corvane {

namespace {

// ASCII-insensitive comparison of a str against a lower-case ASCII word.
// Exact for str.lower(): no non-ASCII character lowers into these letters.
bool lower_equals(PyObject *text, std::string_view word) {
    if (!PyUnicode_IS_ASCII(text) || (size_t) PyUnicode_GET_LENGTH(text) != word.size())
        return false;
    const char *data = (const char *) PyUnicode_DATA(text);
    for (size_t i = 0; i < word.size(); ++i) {
        char c = data[i];
        if (c >= 'A' && c <= 'Z')
            c = (char) (c - 'A' + 'a');
        if (c != word[i])
            return false;
    }
    return true;
}

// False only when neither int() nor float() can accept the ASCII text: it
// holds a character outside digits, signs, '_', '.', white space and the
// letters of "e", "inf", "infinity" and "nan".
bool may_be_number(PyObject *text) {
    if (!PyUnicode_IS_ASCII(text))
        return true;
    const unsigned char *data = (const unsigned char *) PyUnicode_DATA(text);
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < size; ++i) {
        unsigned char c = data[i];
        if (c >= '0' && c <= '9')
            continue;
        if (c >= 'A' && c <= 'Z')
            c = (unsigned char) (c - 'A' + 'a');
        switch (c) {
            case '+': case '-': case '_': case '.':
            case ' ': case '\t': case '\n': case '\r': case '\v': case '\f':
            case 0x1c: case 0x1d: case 0x1e: case 0x1f:
            case 'e': case 'i': case 'n': case 'f': case 't': case 'y': case 'a':
                continue;
            default:
                return false;
        }
    }
    return true;
}

nb::object round2(nb::handle number) {
    return host_attr("builtins", "round")(number, 2);
}

// `item == ""` or `item == None`, with the common types answered directly.
bool is_blank_item(nb::handle item) {
    PyObject *p = item.ptr();
    if (p == Py_None)
        return true;
    if (PyUnicode_CheckExact(p))
        return PyUnicode_GET_LENGTH(p) == 0;
    if (PyLong_CheckExact(p) || PyFloat_CheckExact(p) || PyBool_Check(p) ||
        PyDict_CheckExact(p) || PyList_CheckExact(p) || PyTuple_CheckExact(p))
        return false;
    return equals(item, interned("")) || equals(item, nb::none());
}

}  // namespace

nb::object format_text(nb::handle value) {
    PyObject *text = value.ptr();
    nb::object low_holder;
    PyObject *low = text;
    if (!PyUnicode_CheckExact(text)) {
        // A str subclass answers lower() itself.
        low_holder = lower(value);
        low = low_holder.ptr();
        if (!PyUnicode_Check(low))
            raise(PyExc_TypeError, "lower() did not return a str");
    }
    Py_ssize_t size = PyUnicode_GET_LENGTH(low);
    if (low == text && size == 0)
        return nb::none();
    if (lower_equals(low, "true"))
        return nb::bool_(true);
    if (lower_equals(low, "false"))
        return nb::bool_(false);
    if (size == 0 || lower_equals(low, "none") || lower_equals(low, "null"))
        return nb::none();
    if (!may_be_number(text))
        return nb::borrow(value);

    if (PyObject *integer = PyNumber_Long(text))
        return nb::steal(integer);
    if (!pending_is(PyExc_ValueError))
        raise_pending();
    PyErr_Clear();

    if (PyObject *number = PyNumber_Float(text)) {
        nb::object owned = nb::steal(number);
        return round2(owned);
    }
    if (!pending_is(PyExc_ValueError))
        raise_pending();
    PyErr_Clear();
    return nb::borrow(value);
}

nb::object format_value(nb::handle value) {
    PyObject *p = value.ptr();
    if (PyDict_Check(p)) {
        RecursionGuard guard(" while formatting a mapping");
        nb::dict out;
        PyObject *key = nullptr, *item = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(p, &pos, &key, &item)) {
            nb::object owned_key = nb::borrow(key), owned_item = nb::borrow(item);
            nb::object formatted = format_value(owned_item);
            if (PyDict_SetItem(out.ptr(), owned_key.ptr(), formatted.ptr()) < 0)
                raise_pending();
        }
        return std::move(out);
    }
    if (PyList_Check(p)) {
        RecursionGuard guard(" while formatting a list");
        nb::list out;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(p, i));
            if (is_blank_item(item))
                continue;
            out.append(format_value(item));
        }
        if (PyList_GET_SIZE(out.ptr()) == 0)
            return nb::none();
        return std::move(out);
    }
    if (PyUnicode_Check(p))
        return format_text(value);
    if (PyFloat_Check(p))
        return round2(value);
    return nb::borrow(value);
}

}  // namespace corvane
