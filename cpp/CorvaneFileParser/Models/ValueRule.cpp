// One comparison rule of a field condition, and the operator table it reads.
#include <corvane/host.hpp>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace corvane;

namespace {

// Objects every check reads, set when the module loads. The strings are
// owned by the host's interned cache; the rest by `owned`, which is never
// freed (a static object would be destroyed after the interpreter).
struct Loaded {
    nb::handle operator_key, value_key, message_key, table_key;
    nb::handle globals;  // the module's namespace
    struct Predicate {
        nb::handle function;
        nb::object (*body)(nb::handle, nb::handle);
    } predicates[7];
    nb::list *owned = nullptr;
} loaded;

// ---------------------------------------------------------------------------
// Predicates of the operator table: a is the checked value, b the target.
// Only a is type-tested; comparisons are the host's, results unchanged.
// ---------------------------------------------------------------------------

// isinstance(a, type) through the host, which also honours a __class__ that
// claims the type; callers test the real type first, which settles most values.
bool instance_of(nb::handle a, PyTypeObject *type) {
    int result = PyObject_IsInstance(a.ptr(), (PyObject *) type);
    if (result < 0)
        raise_pending();
    return result != 0;
}

// isinstance(a, (int, float)); booleans are integers.
bool is_real_number(nb::handle a) {
    PyObject *p = a.ptr();
    if (PyLong_Check(p) || PyFloat_Check(p))
        return true;
    return instance_of(a, &PyLong_Type) || instance_of(a, &PyFloat_Type);
}

nb::object compare(nb::handle a, nb::handle b, int op) {
    return steal_checked(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

// An ordering comparison made only for a numeric checked value.
nb::object ordered(nb::handle a, nb::handle b, int op) {
    if (!is_real_number(a))
        return nb::bool_(false);
    return compare(a, b, op);
}

// b in a, for a string (substring), a list or a set (membership); false for
// every other kind of a, frozen sets and tuples included.
nb::object contains_target(nb::handle a, nb::handle b) {
    PyObject *p = a.ptr();
    bool searchable = PyUnicode_Check(p) || PyList_Check(p) || PySet_Check(p);
    if (!searchable)
        searchable = instance_of(a, &PyUnicode_Type) || instance_of(a, &PyList_Type) ||
                     instance_of(a, &PySet_Type);
    if (!searchable)
        return nb::bool_(false);
    return nb::bool_(contains(a, b));
}

// ---------------------------------------------------------------------------
// Arguments, bound as the host binds those of a Python method, with its
// messages: configured conditions reach the constructor as keywords, so a
// misspelt key must read as the host would report it.
// ---------------------------------------------------------------------------

// A method's parameters, self first; those past `required` default to None.
struct Signature {
    const char *qualname;
    std::vector<const char *> names;
    size_t required;
    std::vector<nb::handle> keys = {};  // the names as interned str, set on load
};

// Edit distance of the host's name suggestions: a case change costs 1, any
// other edit 2; gives up above max_cost.
constexpr size_t kMoveCost = 2, kCaseCost = 1, kMaxSuggestLength = 40;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31))
        return kMoveCost;
    if (a == b)
        return 0;
    if (a >= 'A' && a <= 'Z')
        a = (char) (a + ('a' - 'A'));
    if (b >= 'A' && b <= 'Z')
        b = (char) (b + ('a' - 'A'));
    return a == b ? kCaseCost : kMoveCost;
}

size_t edit_distance(std::string_view a, std::string_view b, size_t max_cost) {
    while (!a.empty() && !b.empty() && a.front() == b.front()) {
        a.remove_prefix(1);
        b.remove_prefix(1);
    }
    while (!a.empty() && !b.empty() && a.back() == b.back()) {
        a.remove_suffix(1);
        b.remove_suffix(1);
    }
    if (a.empty() || b.empty())
        return (a.size() + b.size()) * kMoveCost;
    if (a.size() > kMaxSuggestLength || b.size() > kMaxSuggestLength)
        return max_cost + 1;
    if (b.size() < a.size())
        std::swap(a, b);
    if ((b.size() - a.size()) * kMoveCost > max_cost)
        return max_cost + 1;

    std::vector<size_t> row(a.size());
    for (size_t i = 0; i < a.size(); ++i)
        row[i] = (i + 1) * kMoveCost;
    size_t result = 0;
    for (size_t j = 0; j < b.size(); ++j) {
        size_t distance = result = j * kMoveCost;
        size_t minimum = SIZE_MAX;
        for (size_t i = 0; i < a.size(); ++i) {
            size_t substitute = distance + substitution_cost(b[j], a[i]);
            distance = row[i];
            size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            row[i] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost)
            return max_cost + 1;
    }
    return result;
}

// The parameter name the host would suggest for an unknown keyword, or null.
const char *suggest_parameter(const Signature &sig, nb::handle keyword) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(keyword.ptr(), &size);
    if (!utf8) {
        PyErr_Clear();
        return nullptr;
    }
    std::string_view name(utf8, (size_t) size);
    const char *best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (const char *candidate : sig.names) {
        std::string_view item(candidate);
        if (item == name)
            continue;
        size_t limit = (name.size() + item.size() + 3) * kMoveCost / 6;
        if (best_distance != SIZE_MAX)
            limit = std::min(limit, best_distance - 1);
        size_t distance = edit_distance(name, item, limit);
        if (distance > limit)
            continue;
        if (!best || distance < best_distance) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

[[noreturn]] void raise_call_error(const Signature &sig, std::initializer_list<nb::handle> rest) {
    nb::list parts;
    parts.append(nb::str(sig.qualname));
    for (nb::handle piece : rest)
        parts.append(piece);
    nb::object message = steal_checked(PyUnicode_Join(nb::str("").ptr(), parts.ptr()));
    raise(PyExc_TypeError, message);
}

[[noreturn]] void raise_call_error(const Signature &sig, const std::string &rest) {
    raise_call_error(sig, {nb::str(rest.c_str())});
}

std::string plural(size_t count, const char *word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

// Fills slots (one per parameter, borrowed from the call) from a vectorcall;
// an optional parameter that was not given is None. `self` is null when the
// instance is the first of `args`.
void bind_arguments(const Signature &sig, PyObject *self, PyObject *const *args,
                    Py_ssize_t nargs, PyObject *kwnames, nb::handle *slots) {
    const size_t count = sig.names.size(), shift = self ? 1 : 0,
                 given = (size_t) nargs + shift;
    for (size_t i = 0; i < count; ++i)
        slots[i] = i >= given ? nb::handle() : i < shift ? nb::handle(self) : args[i - shift];

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key))
            raise_call_error(sig, "() keywords must be strings");
        nb::handle keyword(key);
        // Keywords written in code arrive interned: identity decides first.
        size_t index = count;
        for (size_t i = 0; i < count && index == count; ++i)
            if (sig.keys[i].ptr() == key)
                index = i;
        for (size_t i = 0; i < count && index == count; ++i)
            if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0)
                index = i;
        if (index < count && slots[index].is_valid())
            raise_call_error(sig, {nb::str("() got multiple values for argument '"), keyword,
                                   nb::str("'")});
        if (index == count) {
            const char *better = suggest_parameter(sig, keyword);
            if (better)
                raise_call_error(sig, {nb::str("() got an unexpected keyword argument '"),
                                       keyword, nb::str("'. Did you mean '"), nb::str(better),
                                       nb::str("'?")});
            raise_call_error(sig, {nb::str("() got an unexpected keyword argument '"), keyword,
                                   nb::str("'")});
        }
        slots[index] = args[nargs + k];
    }

    if (given > count) {
        std::string takes = sig.required < count
                                ? "from " + std::to_string(sig.required) + " to " +
                                      plural(count, "positional argument")
                                : plural(count, "positional argument");
        raise_call_error(sig, "() takes " + takes + " but " + std::to_string(given) +
                                  (given == 1 ? " was" : " were") + " given");
    }

    std::vector<std::string> missing;
    for (size_t i = 0; i < sig.required; ++i)
        if (!slots[i].is_valid())
            missing.push_back(std::string("'") + sig.names[i] + "'");
    if (!missing.empty()) {
        std::string names = missing[0];
        if (missing.size() == 2)
            names += " and " + missing[1];
        for (size_t i = 1; missing.size() > 2 && i < missing.size(); ++i)
            names += (i + 1 == missing.size() ? ", and " : ", ") + missing[i];
        raise_call_error(sig, "() missing " +
                                  plural(missing.size(), "required positional argument") +
                                  ": " + names);
    }
    for (size_t i = sig.required; i < count; ++i)
        if (!slots[i].is_valid())
            slots[i] = nb::none();
}

// Runs a method body for the host: a new reference, or null with the error set.
template <typename F> PyObject *call_guarded(F &&body) {
    try {
        return body().release().ptr();
    } catch (nb::python_error &error) {
        error.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
    return nullptr;
}

Signature kInit{"ValueRule.__init__", {"self", "operator", "value", "message", "field"}, 4};
Signature kCheck{"ValueRule.check", {"self", "value"}, 2};
Signature kStr{"ValueRule.__str__", {"self"}, 1};

// The constructor receives the instance as its first argument: the host
// binds it through instancemethod, as it binds a Python function, which
// keeps inspect.signature working on the class.
PyObject *init_rule(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_guarded([&]() -> nb::object {
        nb::handle slots[5];
        bind_arguments(kInit, nullptr, args, nargs, kwnames, slots);
        // The field only tells the caller which value to hand to check.
        nb::setattr(slots[0], loaded.operator_key, slots[1]);
        nb::setattr(slots[0], loaded.value_key, slots[2]);
        nb::setattr(slots[0], loaded.message_key, slots[3]);
        return nb::none();
    });
}

// The module's OPERATOR_FUNCS, read on every check so that a replaced table
// or entry takes effect.
nb::object operator_table() {
    PyObject *found = nullptr;
    int status = PyDict_GetItemRef(loaded.globals.ptr(), loaded.table_key.ptr(), &found);
    if (status < 0)
        raise_pending();
    if (status == 0)
        raise(PyExc_NameError, "name 'OPERATOR_FUNCS' is not defined");
    return nb::steal(found);
}

nb::object check_value(nb::handle self, nb::handle value) {
    nb::object table = operator_table();
    nb::object op = self.attr(loaded.operator_key);
    nb::object rule = steal_checked(PyObject_GetItem(table.ptr(), op.ptr()));
    nb::object target = self.attr(loaded.value_key);
    // The table's own predicates are called directly; anything put in their
    // place is called like any Python callable.
    for (const auto &predicate : loaded.predicates)
        if (predicate.function.is(rule))
            return predicate.body(value, target);
    PyObject *call_args[] = {value.ptr(), target.ptr()};
    return steal_checked(PyObject_Vectorcall(rule.ptr(), call_args, 2, nullptr));
}

// check and __str__ are method descriptors, the host's fastest method call;
// they receive the instance separately.
PyObject *check(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_guarded([&]() -> nb::object {
        nb::handle slots[2];
        bind_arguments(kCheck, self, args, nargs, kwnames, slots);
        return check_value(slots[0], slots[1]);
    });
}

PyObject *message_of(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames) {
    return call_guarded([&]() -> nb::object {
        nb::handle slots[1];
        bind_arguments(kStr, self, args, nargs, kwnames, slots);
        return slots[0].attr(loaded.message_key);
    });
}

// Host functions with the fast calling convention; their docstrings are
// exactly the texts (the signature before "--" only feeds inspect).
PyMethodDef kInitDef = {
    "__init__", (PyCFunction) (void (*)()) init_rule, METH_FASTCALL | METH_KEYWORDS,
    "__init__(self, operator, value, message, field=None)\n--\n\n"
    "Create a condition to check a field value against a target value using an operator."};
PyMethodDef kMethodDefs[] = {
    {"check", (PyCFunction) (void (*)()) check, METH_FASTCALL | METH_KEYWORDS,
     "check($self, /, value)\n--\n\nCheck if the provided value satisfies the condition."},
    {"__str__", (PyCFunction) (void (*)()) message_of, METH_FASTCALL | METH_KEYWORDS,
     "__str__($self, /)\n--\n\nReturn the message associated with this condition."},
};

}  // namespace

NB_MODULE(ValueRule, m) {
    nb::object operators =
        import_attr("CorvaneFileParser.Models.ConditionOperator", "ConditionOperator");

    for (Signature *sig : {&kInit, &kCheck, &kStr})
        for (const char *name : sig->names)
            sig->keys.push_back(interned(name));
    nb::object cls =
        ClassBuilder::plain(m, "ValueRule")
            .doc("One condition of a warning: a comparison of a field's value with a target.\n\n"
                 "operator is a ConditionOperator member (EQ, NE, GT, LT, GE, LE, CONTAINS),\n"
                 "kept with value and message as attributes; field only tells the caller\n"
                 "which value to hand to check(), and is not kept. str() of a rule is its\n"
                 "message.")
            .finish();
    nb::object init =
        steal_checked(PyCFunction_NewEx(&kInitDef, nullptr, m.attr("__name__").ptr()));
    nb::setattr(cls, "__init__", steal_checked(PyInstanceMethod_New(init.ptr())));
    for (PyMethodDef &def : kMethodDefs)
        nb::setattr(cls, def.ml_name,
                    steal_checked(PyDescr_NewMethod((PyTypeObject *) cls.ptr(), &def)));

    loaded.owned = new nb::list();
    nb::object globals = m.attr("__dict__");
    loaded.owned->append(globals);
    loaded.globals = globals;
    loaded.operator_key = interned("operator");
    loaded.value_key = interned("value");
    loaded.message_key = interned("message");
    loaded.table_key = interned("OPERATOR_FUNCS");

    struct Row {
        const char *member, *name;
        nb::object (*body)(nb::handle, nb::handle);
    };
    const Row rows[] = {
        {"EQ", "equal", [](nb::handle a, nb::handle b) { return compare(a, b, Py_EQ); }},
        {"NE", "not_equal", [](nb::handle a, nb::handle b) { return compare(a, b, Py_NE); }},
        {"GT", "greater", [](nb::handle a, nb::handle b) { return ordered(a, b, Py_GT); }},
        {"LT", "less", [](nb::handle a, nb::handle b) { return ordered(a, b, Py_LT); }},
        {"GE", "greater_or_equal",
         [](nb::handle a, nb::handle b) { return ordered(a, b, Py_GE); }},
        {"LE", "less_or_equal", [](nb::handle a, nb::handle b) { return ordered(a, b, Py_LE); }},
        {"CONTAINS", "contains", &contains_target},
    };
    nb::dict table;
    size_t index = 0;
    for (const Row &row : rows) {
        nb::object function = nb::cpp_function(row.body, nb::name(row.name),
                                                nb::arg("a").none(), nb::arg("b").none());
        loaded.owned->append(function);
        loaded.predicates[index++] = {function, row.body};
        table[operators.attr(row.member)] = function;
    }
    m.attr("OPERATOR_FUNCS") = table;
    nb::dict annotations;
    annotations["OPERATOR_FUNCS"] = nb::str(
        "dict[CorvaneFileParser.Models.ConditionOperator.ConditionOperator,"
        " collections.abc.Callable[[typing.Any, typing.Any], typing.Any]]");
    m.attr("__annotations__") = annotations;
}
