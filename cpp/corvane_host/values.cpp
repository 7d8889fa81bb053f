#include <corvane/host.hpp>

#include <cmath>

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

bool is_ascii_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
}

bool ascii_equals_folded(const unsigned char *data, Py_ssize_t size, std::string_view word) {
    if ((size_t) size != word.size())
        return false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        unsigned char c = data[i];
        if (c >= 'A' && c <= 'Z')
            c = (unsigned char) (c - 'A' + 'a');
        if (c != (unsigned char) word[i])
            return false;
    }
    return true;
}

// What int() and float() could make of an ASCII text, decided without
// raising: int() accepts only an optionally signed run of digits with single
// underscores between them; float() needs digits, '.', '_', exponent signs
// or a spelling of infinity or not-a-number. A non-ASCII text may hold
// Unicode digits and is left to the host.
struct NumberShape {
    bool may_be_int;
    bool may_be_float;
};

NumberShape number_shape(PyObject *text) {
    if (!PyUnicode_IS_ASCII(text))
        return {true, true};
    const unsigned char *data = (const unsigned char *) PyUnicode_DATA(text);
    Py_ssize_t begin = 0, end = PyUnicode_GET_LENGTH(text);
    while (begin < end && is_ascii_space(data[begin]))
        ++begin;
    while (end > begin && is_ascii_space(data[end - 1]))
        --end;
    Py_ssize_t body = begin;
    if (body < end && (data[body] == '+' || data[body] == '-'))
        ++body;
    if (body == end)
        return {false, false};

    bool is_int = true, is_float_chars = true, has_digit = false;
    unsigned char previous = 0;
    for (Py_ssize_t i = body; i < end; ++i) {
        unsigned char c = data[i];
        bool digit = c >= '0' && c <= '9';
        has_digit |= digit;
        if (!(digit || (c == '_' && previous >= '0' && previous <= '9' && i + 1 < end)))
            is_int = false;
        if (!(digit || c == '_' || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-'))
            is_float_chars = false;
        previous = c;
    }
    if (is_int) {
        // Underscores must stand between digits.
        for (Py_ssize_t i = body + 1; i < end; ++i)
            if (data[i] == '_' && !(data[i + 1] >= '0' && data[i + 1] <= '9'))
                is_int = false;
    }
    bool special = ascii_equals_folded(data + body, end - body, "inf") ||
                   ascii_equals_folded(data + body, end - body, "infinity") ||
                   ascii_equals_folded(data + body, end - body, "nan");
    return {is_int, special || (is_float_chars && has_digit)};
}

// round(number, places); kKeepPlaces returns the number itself. For a plain
// float and 0 to 17 places this is the host's own algorithm: correctly
// rounded decimal digits (round-half-even on the exact binary value) read
// back as a double. Other places, and float subclasses (which may define
// __round__), go to the host's round().
nb::object round_places(nb::handle number, int places) {
    if (places == kKeepPlaces)
        return nb::borrow(number);
    if (!PyFloat_CheckExact(number.ptr()) || places < 0 || places > 17)
        return host_attr("builtins", "round")(number, places);
    double x = PyFloat_AS_DOUBLE(number.ptr());
    if (!std::isfinite(x))
        return nb::borrow(number);
    char *digits = PyOS_double_to_string(x, 'f', places, 0, nullptr);
    if (!digits)
        raise_pending();
    double rounded = PyOS_string_to_double(digits, nullptr, nullptr);
    PyMem_Free(digits);
    if (rounded == -1.0 && PyErr_Occurred())
        raise_pending();
    return steal_checked(PyFloat_FromDouble(rounded));
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

// The text rules of format_value for one str, decimals rounded to `places`.
static nb::object format_text(nb::handle value, int places) {
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
    // A str subclass may define __int__ or __float__: only exact str is
    // screened before the host's conversions.
    NumberShape shape = PyUnicode_CheckExact(text) ? number_shape(text) : NumberShape{true, true};
    if (shape.may_be_int) {
        if (PyObject *integer = PyNumber_Long(text))
            return nb::steal(integer);
        if (!pending_is(PyExc_ValueError))
            raise_pending();
        PyErr_Clear();
    }
    if (!shape.may_be_float)
        return nb::borrow(value);
    if (PyObject *number = PyNumber_Float(text)) {
        nb::object owned = nb::steal(number);
        return round_places(owned, places);
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
    return format_scalar(value, 2);
}

nb::object format_scalar(nb::handle value, int places) {
    PyObject *p = value.ptr();
    if (PyUnicode_Check(p))
        return format_text(value, places);
    if (PyFloat_Check(p))
        return round_places(value, places);
    if (PyDict_Check(p) || PyList_Check(p))
        return format_value(value);
    return nb::borrow(value);
}

// ---------------------------------------------------------------------------
// Section settings
// ---------------------------------------------------------------------------

void raise_setting_error(nb::handle resource, nb::handle section, const char *what) {
    nb::object where = resource.is_valid() && !resource.is_none()
                           ? nb::object(to_str(resource))
                           : nb::object(nb::str("reader configuration"));
    raise(PyExc_ValueError,
          concat_str({where, interned(": section '"), section, interned("': "), nb::str(what)}));
}

namespace {

bool is_plain_int(nb::handle value) {
    return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr());
}

// An int setting as C int places; None means kKeepPlaces.
int places_of(nb::handle value, nb::handle resource, nb::handle section) {
    if (value.is_none())
        return kKeepPlaces;
    int overflow = 0;
    long places = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
    if (places == -1 && PyErr_Occurred())
        raise_pending();
    if (overflow != 0 || places < -400 || places > 400)
        raise_setting_error(resource, section, "\"decimals\" must be between -400 and 400");
    return (int) places;
}

// A list of str setting as a frozenset; unset when absent or null.
nb::object name_set(nb::handle config, const char *key, nb::handle resource, nb::handle section,
                    const char *what) {
    nb::object value = get(config, key);
    if (value.is_none())
        return nb::object();
    if (!PyList_Check(value.ptr()))
        raise_setting_error(resource, section, what);
    for_each(value, [&](nb::handle item) {
        if (!PyUnicode_Check(item.ptr()))
            raise_setting_error(resource, section, what);
    });
    return steal_checked(PyFrozenSet_New(value.ptr()));
}

bool set_contains(const nb::object &set, nb::handle item) {
    int found = PySet_Contains(set.ptr(), item.ptr());
    if (found < 0) {
        // An unhashable name is simply not listed.
        if (!pending_is(PyExc_TypeError))
            raise_pending();
        PyErr_Clear();
        return false;
    }
    return found != 0;
}

nb::object strip_text(nb::handle text) {
    return steal_checked(PyObject_CallMethodNoArgs(text.ptr(), interned("strip").ptr()));
}

}  // namespace

ValueSettings ValueSettings::read(nb::handle config, nb::handle resource, nb::handle section) {
    ValueSettings settings;
    if (!PyDict_Check(config.ptr()))
        return settings;
    settings.text_fields_ = name_set(config, "text_fields", resource, section,
                                     "\"text_fields\" must be a list of field names");
    settings.null_values_ = name_set(config, "null_values", resource, section,
                                     "\"null_values\" must be a list of texts");

    nb::object absent = nb::steal(PyObject_CallNoArgs((PyObject *) &PyBaseObject_Type));
    nb::object decimals = get(config, "decimals", absent);
    const char *what =
        "\"decimals\" must be an int, null, or a mapping from field name to an int or null";
    if (decimals.is(absent))
        return settings;
    if (decimals.is_none() || is_plain_int(decimals)) {
        settings.default_places_ = places_of(decimals, resource, section);
    } else if (PyDict_Check(decimals.ptr())) {
        nb::dict by_name;
        entries_until(decimals, [&](nb::handle name, nb::handle places) {
            if (!PyUnicode_Check(name.ptr()) || !(places.is_none() || is_plain_int(places)))
                raise_setting_error(resource, section, what);
            places_of(places, resource, section);
            by_name[name] = places;
            return false;
        });
        settings.places_by_name_ = std::move(by_name);
    } else {
        raise_setting_error(resource, section, what);
    }
    return settings;
}

ValueSettings::Rule ValueSettings::rule_for(nb::handle name) const {
    Rule rule;
    rule.places = default_places_;
    if (places_by_name_.is_valid()) {
        PyObject *found = nullptr;
        int status = PyDict_GetItemRef(places_by_name_.ptr(), name.ptr(), &found);
        if (status < 0) {
            if (!pending_is(PyExc_TypeError))
                raise_pending();
            PyErr_Clear();
        } else if (status > 0) {
            nb::object places = nb::steal(found);
            rule.places = places.is_none() ? kKeepPlaces : (int) PyLong_AsLong(places.ptr());
        }
    }
    rule.text = text_fields_.is_valid() &&
                (set_contains(text_fields_, name) || set_contains(text_fields_, interned("*")));
    return rule;
}

bool ValueSettings::is_null_text(nb::handle text) const {
    return null_values_.is_valid() && set_contains(null_values_, strip_text(text));
}

nb::object ValueSettings::apply(const Rule &rule, nb::handle value) const {
    if (PyUnicode_Check(value.ptr()) && (rule.text || null_values_.is_valid())) {
        nb::object stripped = strip_text(value);
        if (null_values_.is_valid() && set_contains(null_values_, stripped))
            return nb::none();
        if (rule.text) {
            PyObject *s = stripped.ptr();
            if (PyUnicode_GET_LENGTH(s) == 0 || lower_equals(s, "none") || lower_equals(s, "null"))
                return nb::none();
            return stripped;
        }
    }
    return format_scalar(value, rule.places);
}

}  // namespace corvane
