#include <corvane/c_api.hpp>
#include <corvane/checked_settings.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/section_settings.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/value_format.hpp>
#include <corvane/tsv_tokenizer.hpp>

#include <cmath>
#include <vector>

namespace corvane {

namespace {

// ASCII-insensitive comparison of a str against a lower-case ASCII word.
// Exact for str.lower(): no non-ASCII character lowers into these letters.
bool lower_equals(PyObject *text, std::string_view word) {
    return PyUnicode_IS_ASCII(text) &&
           ascii_equals_folded((const char *) PyUnicode_DATA(text),
                               (size_t) PyUnicode_GET_LENGTH(text), word);
}

bool is_ascii_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
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
    // Every number text starts with a digit, a '.' or infinity's or
    // not-a-number's first letter.
    unsigned char first = data[body];
    if (!((first >= '0' && first <= '9') || first == '.' || first == 'i' || first == 'I' ||
          first == 'n' || first == 'N'))
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
    bool special = ascii_equals_folded((const char *) data + body, (size_t) (end - body), "inf") ||
                   ascii_equals_folded((const char *) data + body, (size_t) (end - body), "infinity") ||
                   ascii_equals_folded((const char *) data + body, (size_t) (end - body), "nan");
    return {is_int, special || (is_float_chars && has_digit)};
}

// round(x, places) of a finite double for 0 to 17 places, by the host's own
// algorithm: correctly rounded decimal digits (round-half-even on the exact
// binary value) read back as a double.
double round_finite(double x, int places) {
    char *digits = PyOS_double_to_string(x, 'f', places, 0, nullptr);
    if (!digits)
        raise_pending();
    double rounded = PyOS_string_to_double(digits, nullptr, nullptr);
    PyMem_Free(digits);
    if (rounded == -1.0 && PyErr_Occurred())
        raise_pending();
    return rounded;
}

// round(number, places); kKeepPlaces returns the number itself. A plain
// float and 0 to 17 places are rounded here; other places, and float
// subclasses (which may define __round__), go to the host's round().
nb::object round_places(nb::handle number, int places) {
    if (places == kKeepPlaces)
        return nb::borrow(number);
    if (!PyFloat_CheckExact(number.ptr()) || places < 0 || places > 17)
        return host_attr("builtins", "round")(number, places);
    double x = PyFloat_AS_DOUBLE(number.ptr());
    if (!std::isfinite(x))
        return nb::borrow(number);
    return steal_checked(PyFloat_FromDouble(round_finite(x, places)));
}

// Powers of ten that are exact both as uint64 and as double.
constexpr uint64_t kPow10[] = {1ull,
                               10ull,
                               100ull,
                               1000ull,
                               10000ull,
                               100000ull,
                               1000000ull,
                               10000000ull,
                               100000000ull,
                               1000000000ull,
                               10000000000ull,
                               100000000000ull,
                               1000000000000ull,
                               10000000000000ull,
                               100000000000000ull,
                               1000000000000000ull,
                               10000000000000000ull,
                               100000000000000000ull,
                               1000000000000000000ull,
                               10000000000000000000ull};
constexpr uint64_t kExactInDouble = 1ull << 53;

// A text of more digits than this is an identifier or a code, not a count:
// a double (what most JSON readers make of a number) holds 15 exactly.
constexpr Py_ssize_t kMaxIntegerDigits = 15;

// The shape of an ordinary number text (ASCII, white space stripped):
// an optional sign, then either digits only (an int, or a digit text kept as
// text: a leading zero, or more than kMaxIntegerDigits digits), or digits
// with one '.' and/or an exponent (a float). Underscores, spellings of
// infinity and not-a-number are left to the host.
struct PlainNumber {
    enum Kind { kNone, kInt, kDigitText, kFloat } kind = kNone;
    bool negative = false;
    uint64_t mantissa = 0;      // significant digits (leading zeros dropped)
    Py_ssize_t fraction_digits = 0;  // digits after the '.'
    bool mantissa_exact = true; // all digits fit in `mantissa`
    bool exponent = false;
    const unsigned char *begin = nullptr, *end = nullptr;  // the stripped text
};

// The white space int() and float() strip from an ASCII text: unlike
// str.strip(), not the separators \x1c to \x1f.
bool is_number_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

PlainNumber scan_plain_number(const unsigned char *data, Py_ssize_t size) {
    PlainNumber number;
    const unsigned char *p = data, *end = data + size;
    while (p < end && is_number_space(*p))
        ++p;
    while (end > p && is_number_space(end[-1]))
        --end;
    number.begin = p;
    number.end = end;
    if (p < end && (*p == '+' || *p == '-')) {
        number.negative = *p == '-';
        ++p;
    }
    Py_ssize_t digits = 0, significant = 0;
    bool dot = false, leading_zero = false;
    for (; p < end; ++p) {
        unsigned char c = *p;
        if (c >= '0' && c <= '9') {
            if (digits == 0)
                leading_zero = c == '0';
            ++digits;
            if (dot)
                ++number.fraction_digits;
            if (significant > 0 || c != '0') {
                if (++significant > 19)
                    number.mantissa_exact = false;
                else
                    number.mantissa = number.mantissa * 10 + (c - '0');
            }
        } else if (c == '.' && !dot) {
            dot = true;
        } else {
            break;
        }
    }
    if (digits == 0)
        return number;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-'))
            ++p;
        const unsigned char *exponent_digits = p;
        while (p < end && *p >= '0' && *p <= '9')
            ++p;
        if (p == exponent_digits)
            return number;
        number.exponent = true;
    }
    if (p != end)
        return number;
    if (!dot && !number.exponent) {
        bool text = digits > kMaxIntegerDigits || (digits > 1 && leading_zero);
        number.kind = text ? PlainNumber::kDigitText : PlainNumber::kInt;
        return number;
    }
    number.kind = PlainNumber::kFloat;
    return number;
}

// float(text) of a plain float text, or false when it is left to the host.
// A mantissa of at most 2**53 over a power of ten of at most 10**22 is
// divided exactly once in double arithmetic, which rounds correctly; other
// texts go through the host's own string to double conversion.
bool plain_float_value(const PlainNumber &number, double *out) {
    if (!number.exponent && number.mantissa_exact && number.mantissa <= kExactInDouble &&
        number.fraction_digits <= 19) {
        double value = (double) number.mantissa / (double) kPow10[number.fraction_digits];
        *out = number.negative ? -value : value;
        return true;
    }
    char *parsed_end = nullptr;
    double value = PyOS_string_to_double((const char *) number.begin, &parsed_end, nullptr);
    if (value == -1.0 && PyErr_Occurred())
        raise_pending();
    if ((const unsigned char *) parsed_end != number.end)
        return false;
    *out = value;
    return true;
}

// round(float(text), places) of a plain float text without an exponent,
// worked out on its decimal digits; false when the host's algorithm must
// decide. The text's value v and the double d nearest to it differ by less
// than half an ulp of d, which is below v * 2**-52. When v lies further than
// that from the midpoint between its two neighbours of `places` decimals, d
// rounds to the same neighbour N / 10**places as v does, and that quotient,
// with N at most 2**53, is again divided exactly once.
bool round_plain_float(const PlainNumber &number, int places, double *out) {
    if (number.exponent || !number.mantissa_exact || places < 0 || places > 17)
        return false;
    Py_ssize_t dropped = number.fraction_digits - places;
    uint64_t kept;
    if (dropped <= 0) {
        // No more decimals than kept: round() returns the parsed value, since
        // v itself is the nearest number of `places` decimals to d.
        return plain_float_value(number, out);
    }
    if (dropped > 19)
        return false;
    uint64_t unit = kPow10[dropped];
    kept = number.mantissa / unit;
    uint64_t rest = number.mantissa % unit, half = unit / 2;
    uint64_t distance = rest > half ? rest - half : half - rest;
    if (distance <= (number.mantissa >> 52))
        return false;
    if (rest > half)
        ++kept;
    if (kept > kExactInDouble)
        return false;
    double value = (double) kept / (double) kPow10[places];
    *out = number.negative ? -value : value;
    return true;
}

// The first character of an ASCII text allows a plain number: a digit, a
// sign, a '.' or white space.
inline bool may_start_number(unsigned char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || is_number_space(c);
}

// What format_value's number rules make of a plain number text.
enum class PlainResult {
    kHost,    // the host's int() or float() must decide
    kNumber,  // the int or (rounded) float
    kText,    // the text itself: a digit text kept as text, or not finite
};

// format_value's number rules for the ASCII characters of a str of plain
// number shape; on kNumber, `*out` is a new reference to the number.
[[gnu::noinline]] PlainResult plain_number(const unsigned char *data, Py_ssize_t size,
                                           int places, PyObject **out) {
    PlainNumber number = scan_plain_number(data, size);
    if (number.kind == PlainNumber::kDigitText)
        return PlainResult::kText;
    if (number.kind == PlainNumber::kInt) {
        long long value = (long long) number.mantissa;
        *out = PyLong_FromLongLong(number.negative ? -value : value);
        if (!*out)
            raise_pending();
        return PlainResult::kNumber;
    }
    if (number.kind != PlainNumber::kFloat)
        return PlainResult::kHost;
    bool standard_places = places >= 0 && places <= 17;
    double value;
    if (!standard_places || !round_plain_float(number, places, &value)) {
        if (!plain_float_value(number, &value))
            return PlainResult::kHost;
        if (!std::isfinite(value))
            return PlainResult::kText;
        if (standard_places) {
            value = round_finite(value, places);
        } else if (places != kKeepPlaces) {
            nb::object parsed = steal_checked(PyFloat_FromDouble(value));
            *out = round_places(parsed, places).release().ptr();
            return PlainResult::kNumber;
        }
    }
    *out = PyFloat_FromDouble(value);
    if (!*out)
        raise_pending();
    return PlainResult::kNumber;
}

// A text int() accepted is a digit text kept as text: no underscore, and a
// leading zero before other digits or more than kMaxIntegerDigits digits.
// Digits are the decimal characters int() reads (any script).
bool is_kept_digit_text(PyObject *text) {
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t digits = 0;
    bool leading_zero = false;
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '_')
            return false;
        if (Py_UNICODE_ISDECIMAL(c)) {
            if (digits++ == 0)
                leading_zero = Py_UNICODE_TODECIMAL(c) == 0;
        }
    }
    return digits > kMaxIntegerDigits || (digits > 1 && leading_zero);
}

// `item == ""` or `item == None`, with the common types answered directly.
[[gnu::noinline]] bool is_blank_item(nb::handle item) {
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
    if (low == text && PyUnicode_IS_ASCII(text) &&
        may_start_number(*(const unsigned char *) PyUnicode_DATA(text))) {
        PyObject *number = nullptr;
        switch (plain_number((const unsigned char *) PyUnicode_DATA(text),
                             PyUnicode_GET_LENGTH(text), places, &number)) {
        case PlainResult::kNumber:
            return nb::steal(number);
        case PlainResult::kText:
            return nb::borrow(value);
        case PlainResult::kHost:
            break;
        }
    }
    // A str subclass may define __int__ or __float__: only exact str is
    // screened before the host's conversions.
    NumberShape shape = PyUnicode_CheckExact(text) ? number_shape(text) : NumberShape{true, true};
    if (shape.may_be_int) {
        if (PyObject *integer = PyNumber_Long(text)) {
            nb::object owned = nb::steal(integer);
            if (is_kept_digit_text(text))
                return nb::borrow(value);
            return owned;
        }
        if (!pending_is(PyExc_ValueError))
            raise_pending();
        PyErr_Clear();
    }
    if (!shape.may_be_float)
        return nb::borrow(value);
    if (PyObject *number = PyNumber_Float(text)) {
        nb::object owned = nb::steal(number);
        // "nan", "inf", "1e999": no JSON number says what the text says.
        if (!std::isfinite(PyFloat_AS_DOUBLE(number)))
            return nb::borrow(value);
        return round_places(owned, places);
    }
    if (!pending_is(PyExc_ValueError))
        raise_pending();
    PyErr_Clear();
    return nb::borrow(value);
}

namespace {

nb::object format_dict(PyObject *dict, NonFiniteNotes *notes);
nb::object format_list(PyObject *list, NonFiniteNotes *notes);

// A value that is no mapping or list. Kept out of line so that the frames of
// the recursion over containers stay small.
[[gnu::noinline]] nb::object format_leaf(PyObject *value, NonFiniteNotes *notes) {
    return format_scalar(value, 2, notes);
}

inline nb::object format_item(PyObject *value, NonFiniteNotes *notes) {
    if (PyDict_Check(value))
        return format_dict(value, notes);
    if (PyList_Check(value))
        return format_list(value, notes);
    return format_leaf(value, notes);
}

// The index of a list item as a path segment of a note.
void note_index(NonFiniteNotes *notes, size_t mark, Py_ssize_t index) {
    if (notes && notes->size() != mark)
        notes->prefix_since(mark, steal_checked(PyLong_FromSsize_t(index)));
}

void note_key(NonFiniteNotes *notes, size_t mark, nb::handle key) {
    if (notes && notes->size() != mark)
        notes->prefix_since(mark, key);
}

// A new dict of the keys of `dict`, each value made by `Item`, the notes
// taken on the way put under their key. Inlined into its callers, so that a
// level of nesting stays one small frame.
template <nb::object (*Item)(PyObject *, NonFiniteNotes *)>
[[gnu::always_inline]] inline nb::object map_dict(PyObject *dict, NonFiniteNotes *notes,
                                                  const char *where) {
    RecursionGuard guard(where);
    nb::dict out;
    PyObject *key = nullptr, *item = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &item)) {
        nb::object owned_key = nb::borrow(key), owned_item = nb::borrow(item);
        size_t mark = notes ? notes->size() : 0;
        nb::object made = Item(owned_item.ptr(), notes);
        note_key(notes, mark, owned_key);
        if (PyDict_SetItem(out.ptr(), owned_key.ptr(), made.ptr()) < 0)
            raise_pending();
    }
    return std::move(out);
}

// A new list of the items of `list`, each made by `Item` (blank ones left out
// when `drop_blank`), the notes taken on the way put under their index.
template <nb::object (*Item)(PyObject *, NonFiniteNotes *), bool drop_blank>
[[gnu::always_inline]] inline nb::object map_list(PyObject *list, NonFiniteNotes *notes,
                                                  const char *where) {
    RecursionGuard guard(where);
    nb::list out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        nb::object item = nb::borrow(PyList_GET_ITEM(list, i));
        if (drop_blank && is_blank_item(item))
            continue;
        size_t mark = notes ? notes->size() : 0;
        nb::object made = Item(item.ptr(), notes);
        note_index(notes, mark, i);
        if (PyList_Append(out.ptr(), made.ptr()) < 0)
            raise_pending();
    }
    return std::move(out);
}

// format_value of a dict and of a list: one small frame per level of nesting.
[[gnu::noinline]] nb::object format_dict(PyObject *dict, NonFiniteNotes *notes) {
    return map_dict<format_item>(dict, notes, " while formatting a mapping");
}

[[gnu::noinline]] nb::object format_list(PyObject *list, NonFiniteNotes *notes) {
    // Blank items dropped; None when nothing is left.
    nb::object out = map_list<format_item, true>(list, notes, " while formatting a list");
    if (PyList_GET_SIZE(out.ptr()) == 0)
        return nb::none();
    return out;
}

// keep_as_written() of a dict and of a list.
nb::object keep_item(PyObject *value, NonFiniteNotes *notes);

[[gnu::noinline]] nb::object keep_dict(PyObject *dict, NonFiniteNotes *notes) {
    return map_dict<keep_item>(dict, notes, " while copying a mapping");
}

[[gnu::noinline]] nb::object keep_list(PyObject *list, NonFiniteNotes *notes) {
    return map_list<keep_item, false>(list, notes, " while copying a list");
}

nb::object keep_item(PyObject *value, NonFiniteNotes *notes) {
    if (PyDict_Check(value))
        return keep_dict(value, notes);
    if (PyList_Check(value))
        return keep_list(value, notes);
    if (PyFloat_Check(value) && !std::isfinite(PyFloat_AS_DOUBLE(value))) {
        if (notes)
            notes->add(PyFloat_AS_DOUBLE(value));
        return nb::none();
    }
    return nb::borrow(value);
}

}  // namespace

nb::str NonFiniteNotes::path_text(const Note &note) {
    nb::list segments;
    for (auto it = note.reversed_path.rbegin(); it != note.reversed_path.rend(); ++it)
        segments.append(to_str(*it));
    return nb::borrow<nb::str>(steal_checked(PyUnicode_Join(interned(".").ptr(), segments.ptr())));
}

const char *NonFiniteNotes::spelling(double value) {
    if (std::isnan(value))
        return "NaN";
    return value > 0 ? "Infinity" : "-Infinity";
}

nb::object keep_as_written(nb::handle value, NonFiniteNotes *notes) {
    return keep_item(value.ptr(), notes);
}

bool format_keeps(PyObject *value) {
    if (value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value))
        return true;
    if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_ASCII(value) ||
        PyUnicode_GET_LENGTH(value) == 0)
        return false;
    unsigned char c = ((const unsigned char *) PyUnicode_DATA(value))[0] | 0x20;
    return c >= 'a' && c <= 'z' && c != 't' && c != 'f' && c != 'n' && c != 'i';
}

nb::object format_value(nb::handle value, NonFiniteNotes *notes) {
    return format_item(value.ptr(), notes);
}

nb::object format_scalar(nb::handle value, int places, NonFiniteNotes *notes) {
    PyObject *p = value.ptr();
    if (PyUnicode_Check(p))
        return format_text(value, places);
    if (PyFloat_Check(p)) {
        double x = PyFloat_AS_DOUBLE(p);
        if (!std::isfinite(x)) {
            if (notes)
                notes->add(x);
            return nb::none();
        }
        return round_places(value, places);
    }
    if (PyDict_Check(p) || PyList_Check(p))
        return format_value(value, notes);
    return nb::borrow(value);
}

// ---------------------------------------------------------------------------
// Section settings
// ---------------------------------------------------------------------------

void raise_setting_error(nb::handle resource, nb::handle section, const char *what) {
    raise_setting_error(resource, section, nb::str(what));
}

void raise_setting_error(nb::handle resource, nb::handle section, nb::handle what) {
    nb::object where = resource.is_valid() && !resource.is_none()
                           ? nb::object(to_str(resource))
                           : nb::object(nb::str("reader configuration"));
    raise(PyExc_ValueError,
          concat_str({where, interned(": section '"), section, interned("': "), what}));
}

void for_each_section(nb::handle section_config,
                      const std::function<void(nb::handle, nb::handle)> &fn) {
    if (!PyDict_Check(section_config.ptr()))
        return;
    entries_until(section_config, [&](nb::handle name, nb::handle config) {
        if (PyDict_Check(config.ptr()))
            fn(name, config);
        return false;
    });
}

nb::object reader_init(void (*check)(nb::handle, nb::handle, nb::handle), const char *doc) {
    return nb::cpp_function(
        [check](nb::handle self, nb::handle section_config, nb::handle file_path,
                nb::handle resource_name, bool kind_given) {
            package_entry::report_reader_base().attr("__init__")(
                self, section_config, file_path, nb::arg("resource_name") = resource_name,
                nb::arg("kind_given") = kind_given);
            CheckedSettings &checked = checked_settings(reinterpret_cast<const void *>(check));
            if (checked.passed(section_config))
                return;
            for_each_section(section_config, [&](nb::handle name, nb::handle config) {
                check(config, resource_name, name);
            });
            checked.remember(section_config);
        },
        nb::is_method(), nb::name("__init__"), nb::arg("section_config").none(),
        nb::arg("file_path").none(), nb::kw_only(), nb::arg("resource_name").none() = nb::none(),
        nb::arg("kind_given") = false,
        nb::sig("def __init__(self, section_config: collections.abc.Mapping[str, typing.Any],"
                " file_path: str, *, resource_name: str | None = None,"
                " kind_given: bool = False) -> None"),
        doc);
}

nb::object text_list_setting(nb::handle config, const char *key, nb::handle resource,
                             nb::handle section, const char *what) {
    nb::object value = get(config, key);
    if (value.is_none())
        return nb::object();
    if (!PyList_Check(value.ptr()))
        raise_setting_error(resource, section, what);
    for_each(value, [&](nb::handle item) {
        if (!PyUnicode_Check(item.ptr()))
            raise_setting_error(resource, section, what);
    });
    return value;
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
    nb::object names = text_list_setting(config, key, resource, section, what);
    if (!names.is_valid())
        return names;
    return steal_checked(PyFrozenSet_New(names.ptr()));
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

// str.strip(text): a str subclass's own strip() is not consulted, so the
// result is always an exact str.
nb::object strip_text(nb::handle text) {
    if (PyUnicode_CheckExact(text.ptr()))
        return steal_checked(PyObject_CallMethodNoArgs(text.ptr(), interned("strip").ptr()));
    nb::handle str_type((PyObject *) &PyUnicode_Type);
    return str_type.attr("strip")(text);
}

}  // namespace

namespace {

// Settings read before, by what the section configuration held under their
// keys: a section read again with equal settings (each file of a run) takes
// them from here.
struct KeptValueSettings {
    nb::object raw;  // plain_snapshot of RawSettings::as_list()
    ValueSettings settings;
};
constexpr size_t kKeptValueSettings = 64;

std::vector<KeptValueSettings> &kept_value_settings() {
    static auto *kept = new std::vector<KeptValueSettings>();
    return *kept;
}

// What an exact dict configuration holds under the keys ValueSettings reads,
// "decimals" preceded by whether it is there at all.
constexpr size_t kRawSettings = 5;
struct RawSettings {
    nb::object items[kRawSettings];

    explicit RawSettings(nb::handle config) {
        nb::object decimals = get(config, "decimals", nb::handle());
        items[0] = get(config, "text_fields");
        items[1] = get(config, "null_values");
        items[2] = get(config, "keep_as_written");
        items[3] = nb::bool_(decimals.is_valid());
        items[4] = decimals.is_valid() ? decimals : nb::none();
    }
    // `kept`, a snapshot of as_list(), holds the same settings.
    bool same_as(nb::handle kept) const {
        for (size_t i = 0; i < kRawSettings; ++i)
            if (!same_plain_data(items[i], PyList_GET_ITEM(kept.ptr(), (Py_ssize_t) i)))
                return false;
        return true;
    }
    nb::object as_list() const {
        nb::list list;
        for (const nb::object &item : items)
            list.append(item);
        return std::move(list);
    }
};

}  // namespace

ValueSettings ValueSettings::read(nb::handle config, nb::handle resource, nb::handle section) {
    if (!PyDict_CheckExact(config.ptr()))
        return read_uncached(config, resource, section);
    RawSettings raw(config);
    auto &kept = kept_value_settings();
    for (const KeptValueSettings &entry : kept)
        if (raw.same_as(entry.raw))
            return entry.settings;
    ValueSettings settings = read_uncached(config, resource, section);
    nb::object snapshot = plain_snapshot(raw.as_list());
    if (snapshot.is_valid()) {
        if (kept.size() >= kKeptValueSettings)
            kept.erase(kept.begin());
        kept.push_back({snapshot, settings});
    }
    return settings;
}

ValueSettings ValueSettings::read_uncached(nb::handle config, nb::handle resource,
                                           nb::handle section) {
    ValueSettings settings;
    if (!PyDict_Check(config.ptr()))
        return settings;
    settings.text_fields_ = name_set(config, "text_fields", resource, section,
                                     "\"text_fields\" must be a list of field names");
    settings.null_values_ = name_set(config, "null_values", resource, section,
                                     "\"null_values\" must be a list of texts");
    settings.keep_as_written_ = name_set(config, "keep_as_written", resource, section,
                                         "\"keep_as_written\" must be a list of field names");

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
    rule.keep = keep_as_written_.is_valid() && set_contains(keep_as_written_, name);
    return rule;
}

bool ValueSettings::is_null_text(nb::handle text) const {
    return null_values_.is_valid() && set_contains(null_values_, strip_text(text));
}

nb::object ValueSettings::apply(const Rule &rule, nb::handle value, NonFiniteNotes *notes) const {
    if (rule.keep)
        return keep_as_written(value, notes);
    if (PyUnicode_Check(value.ptr()) && (rule.text || null_values_.is_valid())) {
        nb::object stripped = strip_text(value);
        if (null_values_.is_valid() && set_contains(null_values_, stripped))
            return nb::none();
        if (rule.text)
            return text_value(stripped);
    }
    return format_scalar(value, rule.places, notes);
}

nb::object ValueSettings::apply_stripped(const Rule &rule, nb::handle text) const {
    if (rule.keep)
        return PyUnicode_GET_LENGTH(text.ptr()) == 0 ? nb::none() : nb::borrow(text);
    if (null_values_.is_valid() && set_contains(null_values_, text))
        return nb::none();
    if (rule.text)
        return text_value(text);
    return format_scalar(text, rule.places);
}

nb::object ValueSettings::apply_stripped_utf8(const Rule &rule, const TextSpan &text) const {
    // A number outside text fields and null values is what format_text makes
    // of the str of an ASCII text: read it from the bytes, without the str.
    if (!rule.text && !rule.keep && !null_values_.is_valid() && !text.empty() &&
        may_start_number((unsigned char) text.data[0]) && is_ascii(text.data, text.size)) {
        PyObject *number = nullptr;
        switch (plain_number((const unsigned char *) text.data, (Py_ssize_t) text.size,
                             rule.places, &number)) {
        case PlainResult::kNumber:
            return nb::steal(number);
        case PlainResult::kText:
            return text_object(text);
        case PlainResult::kHost:
            break;
        }
    }
    return apply_stripped(rule, text_object(text));
}

nb::object ValueSettings::text_value(nb::handle stripped) {
    PyObject *s = stripped.ptr();
    if (PyUnicode_GET_LENGTH(s) == 0 || lower_equals(s, "none") || lower_equals(s, "null"))
        return nb::none();
    return nb::borrow(stripped);
}

}  // namespace corvane
