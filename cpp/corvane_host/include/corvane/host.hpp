// Shared helpers for the package's extension modules: Python classes built
// from C++ functions, the value formatter every reader applies, and thin
// wrappers over the host interpreter's C API and standard library.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

namespace nb = nanobind;

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

// Raise `type` with a message that is already a Python str.
[[noreturn]] void raise(PyObject *type, nb::handle message);
// Raise `type` with a UTF-8 message.
[[noreturn]] void raise(PyObject *type, const char *message);
// Turn a pending Python error into a C++ exception.
[[noreturn]] void raise_pending();
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

// ---------------------------------------------------------------------------
// Host modules and attributes
// ---------------------------------------------------------------------------

// `module.name`, looked up once and kept for the life of the process.
nb::handle host_attr(const char *module, const char *name);
// An interned str constant, kept for the life of the process. Use this, not
// a function-local `static nb::str`, whose destructor would run after the
// interpreter is gone.
nb::handle interned(const char *text);
// The imported module, cached like host_attr.
nb::handle host_module(const char *module);

// ---------------------------------------------------------------------------
// Object helpers (each is the host operation named in its comment)
// ---------------------------------------------------------------------------

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

// The whole content of the file at `path` as bytes, read through the host's
// open(path, "rb"); the file is closed also when reading fails.
nb::object read_file_bytes(nb::handle path);

// json.load(stream), closing the stream afterwards, also when parsing fails.
nb::object json_load_closing(nb::handle stream);

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

// Logs to the command line's direct log when one is open, else through the
// root logger: logging.info / logging.warning / logging.error.
void log_info(nb::handle message);
void log_warning(nb::handle message);
void log_error(nb::handle message);

// ---------------------------------------------------------------------------
// Warning conditions
// ---------------------------------------------------------------------------

// cond["operator"] = ConditionOperator[cond["operator"]]; a value that already
// is a member stays as it is, so the same settings can be formatted again.
void convert_operator(nb::handle cond);
// The value a condition on `field` checks: data[field] when data is a dict
// holding that key, the whole data otherwise.
nb::object condition_value(nb::handle field, nb::handle data);

// ---------------------------------------------------------------------------
// Value formatting
// ---------------------------------------------------------------------------

// Where the formatter met numbers that have no JSON spelling (NaN and the
// infinities a JSON document may hold): each becomes None, and a reader that
// names them in its warnings passes one of these to collect where they were.
class NonFiniteNotes {
public:
    struct Note {
        std::vector<nb::object> reversed_path;  // innermost key or index first
        double value;
    };

    size_t size() const { return notes_.size(); }
    const std::vector<Note> &notes() const { return notes_; }
    void add(double value) { notes_.push_back({{}, value}); }
    // Puts `segment` (a key, or an int index) in front of the paths of the
    // notes taken since `mark`.
    void prefix_since(size_t mark, nb::handle segment) {
        for (size_t i = mark; i < notes_.size(); ++i)
            notes_[i].reversed_path.push_back(nb::borrow(segment));
    }
    // The path of a note as text: its segments joined by ".".
    static nb::str path_text(const Note &note);
    // "NaN", "Infinity" or "-Infinity": how a JSON document spells the value.
    static const char *spelling(double value);

private:
    std::vector<Note> notes_;
};

// The readers' value formatter: booleans, nulls, integers and decimals
// (rounded to two places) out of text; mappings and lists rebuilt. Plain
// numbers are read in C++ with the results of the host's int(), float() and
// round(); any other text goes to those functions themselves. Two exceptions
// to those functions keep values of record: a text of digits (an optional
// sign) becomes an int only without a leading zero (other than "0" itself)
// and with at most 15 digits, and a text whose number is not finite ("nan",
// "inf", "1e999") stays text. A float that is not finite becomes None, noted
// in `notes` when given.
nb::object format_value(nb::handle value, NonFiniteNotes *notes = nullptr);

// A value format_value is known to return as it is, told without calling it:
// None, a bool, an exact int, or an exact ASCII str beginning with a letter
// that starts none of the words it converts (true, false, none, null, inf,
// infinity, nan), which int() and float() refuse. False means "not known".
bool format_keeps(PyObject *value);

// Decimal places meaning "keep the number as parsed".
constexpr int kKeepPlaces = -1000000;

// format_value for one top-level value, with decimals rounded to `places`
// (kKeepPlaces: not rounded). Mappings and lists keep format_value's rules.
nb::object format_scalar(nb::handle value, int places, NonFiniteNotes *notes = nullptr);

// A value kept exactly as the document holds it: mappings and lists copied
// item by item (an empty list stays a list), texts never converted; only a
// float that is not finite becomes None, noted in `notes` when given.
nb::object keep_as_written(nb::handle value, NonFiniteNotes *notes = nullptr);

// ---------------------------------------------------------------------------
// Section settings
// ---------------------------------------------------------------------------

// ValueError "<resource>: section '<section>': <what>"; a None resource reads
// "reader configuration".
[[noreturn]] void raise_setting_error(nb::handle resource, nb::handle section, const char *what);

// The setting `key` of a section configuration that must be a list of str:
// the list, or an unset object when it is absent or null; anything else
// raises raise_setting_error with `what`.
nb::object text_list_setting(nb::handle config, const char *key, nb::handle resource,
                             nb::handle section, const char *what);

// The optional value settings of one section of a reader configuration:
//   "text_fields"  names whose values stay text (no number or boolean conversion);
//                  the name "*" stands for every field of the section;
//   "decimals"     rounding places: an int or null (keep as parsed), for the
//                  section or as a mapping from name to such a value; default 2;
//   "null_values"  texts that mean "no value" in this section;
//   "keep_as_written"  names whose whole value is kept as the file holds it
//                  (keep_as_written() above), before every other setting.
// They apply to a section's top-level fields and table columns; nested values
// keep format_value's rules. Without settings the result is format_value's.
struct TextSpan;  // corvane/tsv_tokenizer.hpp

class ValueSettings {
public:
    // How one field or column is formatted.
    struct Rule {
        int places = 2;
        bool text = false;
        bool keep = false;  // kept as written
    };

    ValueSettings() = default;
    // Reads and checks the settings of the section configuration `config`; a
    // setting of the wrong type raises ValueError naming resource and section.
    static ValueSettings read(nb::handle config, nb::handle resource, nb::handle section);

    bool is_default() const {
        return !text_fields_.is_valid() && !null_values_.is_valid() &&
               !keep_as_written_.is_valid() && !places_by_name_.is_valid() &&
               default_places_ == 2;
    }
    bool has_null_values() const { return null_values_.is_valid(); }

    Rule rule_for(nb::handle name) const;
    // The formatted value under `rule`: a text in null_values becomes None; a
    // text field keeps its stripped text; the rest is format_scalar's. A
    // field kept as written is keep_as_written()'s.
    nb::object apply(const Rule &rule, nb::handle value, NonFiniteNotes *notes = nullptr) const;
    // apply() for an exact str that is already stripped: no second strip. A
    // cell kept as written stays that text (an empty one is None).
    nb::object apply_stripped(const Rule &rule, nb::handle text) const;
    // apply_stripped() for stripped UTF-8 text not yet made a str: a plain
    // number outside text fields and null values is read from the bytes.
    nb::object apply_stripped_utf8(const Rule &rule, const TextSpan &text) const;
    nb::object format_field(nb::handle name, nb::handle value,
                            NonFiniteNotes *notes = nullptr) const {
        return apply(rule_for(name), value, notes);
    }
    // `text` (a str) is one of this section's null values once stripped.
    bool is_null_text(nb::handle text) const;

private:
    // A text field's value: None for an empty text or a null word.
    static nb::object text_value(nb::handle stripped);

    nb::object text_fields_;     // frozenset of names, or unset
    nb::object null_values_;     // frozenset of texts, or unset
    nb::object keep_as_written_;  // frozenset of names, or unset
    nb::object places_by_name_;  // dict name -> int | None, or unset
    int default_places_ = 2;
};

// ---------------------------------------------------------------------------
// Classes
// ---------------------------------------------------------------------------

// Builds a Python class (through `abc.ABCMeta` or `type`) whose methods are
// C++ functions, and publishes it in the module.
class ClassBuilder {
public:
    // An abstract base class (metaclass abc.ABCMeta); `bases` empty means (abc.ABC,).
    static ClassBuilder abstract(nb::module_ &scope, const char *name,
                                 std::initializer_list<nb::handle> bases = {});
    // A plain class (metaclass type(bases[0]) or type); `bases` empty means (object,).
    static ClassBuilder plain(nb::module_ &scope, const char *name,
                              std::initializer_list<nb::handle> bases = {});

    template <typename F, typename... Extra>
    ClassBuilder &method(const char *name, F &&f, const Extra &...extra) {
        namespace_[name] = nb::cpp_function(std::forward<F>(f), nb::is_method(),
                                            nb::name(name), extra...);
        return *this;
    }

    // A method marked abstract: the class cannot be instantiated until a
    // subclass replaces it.
    template <typename F, typename... Extra>
    ClassBuilder &abstract_method(const char *name, F &&f, const Extra &...extra) {
        namespace_[name] = mark_abstract(nb::cpp_function(
            std::forward<F>(f), nb::is_method(), nb::name(name), extra...));
        return *this;
    }

    template <typename F, typename... Extra>
    ClassBuilder &static_method(const char *name, F &&f, const Extra &...extra) {
        namespace_[name] = host_attr("builtins", "staticmethod")(
            nb::cpp_function(std::forward<F>(f), nb::name(name), extra...));
        return *this;
    }

    template <typename F, typename... Extra>
    ClassBuilder &class_method(const char *name, F &&f, const Extra &...extra) {
        namespace_[name] = host_attr("builtins", "classmethod")(
            nb::cpp_function(std::forward<F>(f), nb::name(name), extra...));
        return *this;
    }

    ClassBuilder &attr(const char *name, nb::handle value) {
        namespace_[name] = value;
        return *this;
    }

    ClassBuilder &doc(const char *text) { return attr("__doc__", nb::str(text)); }

    // Creates the class, stores it as `scope.<name>` and returns it.
    nb::object finish();

    // Wraps a method so that `abc` sees it as abstract; the wrapper binds
    // and calls like the function it carries.
    static nb::object mark_abstract(nb::handle function);

private:
    ClassBuilder(nb::module_ &scope, const char *name, nb::handle metaclass,
                 nb::tuple bases);

    nb::module_ scope_;
    nb::str name_;
    nb::object metaclass_;
    nb::tuple bases_;
    nb::dict namespace_;
};

// `module.attr` of an imported module, e.g. a class of a sibling module.
nb::object import_attr(const char *module, const char *name);

}  // namespace corvane
