// One comparison rule of a field condition, and the operator table it reads.
#include <corvane/host.hpp>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace corvane;

namespace {

// ---------------------------------------------------------------------------
// Predicates of the operator table: a is the checked value, b the target.
// Only a is type-tested; comparisons are the host's, results unchanged.
// ---------------------------------------------------------------------------

// isinstance(a, type). The real type answers the common cases; anything else
// goes through the host, which also honours a __class__ that claims the type.
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

nb::object predicate(const char *name, nb::object (*body)(nb::handle, nb::handle)) {
    return nb::cpp_function(body, nb::name(name), nb::arg("a").none(), nb::arg("b").none());
}

// ---------------------------------------------------------------------------
// Constructor arguments, bound as the host binds those of
// `def __init__(self, operator, value, message, field=None)`, with its
// messages (configured conditions reach the constructor as keywords, so a
// misspelt key must read as the host would report it).
// ---------------------------------------------------------------------------

constexpr const char *kQualname = "ValueRule.__init__";
// Parameter names after self; the last one has a default.
constexpr const char *kParams[] = {"operator", "value", "message", "field"};
constexpr size_t kParamCount = 4, kRequired = 3;

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
const char *suggest_parameter(nb::handle keyword) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(keyword.ptr(), &size);
    if (!utf8) {
        PyErr_Clear();
        return nullptr;
    }
    std::string_view name(utf8, (size_t) size);
    static constexpr const char *candidates[] = {"self", "operator", "value", "message",
                                                 "field"};
    const char *best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (const char *candidate : candidates) {
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

[[noreturn]] void raise_type_error(const std::string &text) {
    raise(PyExc_TypeError, text.c_str());
}

// Fills slots[0..3] from args and kwargs; slot 3 defaults to None.
void bind_arguments(nb::args args, nb::kwargs kwargs, nb::object (&slots)[kParamCount]) {
    size_t given = args.size();
    for (size_t i = 0; i < std::min(given, kParamCount); ++i)
        slots[i] = nb::borrow(args[i]);

    PyObject *key = nullptr, *item = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &item)) {
        nb::handle keyword(key);
        // Keys reach here as str: the host refuses others before the call.
        size_t index = kParamCount + 1;
        for (size_t i = 0; i < kParamCount; ++i)
            if (PyUnicode_CompareWithASCIIString(key, kParams[i]) == 0)
                index = i;
        bool is_self = PyUnicode_CompareWithASCIIString(key, "self") == 0;
        if (is_self || (index < kParamCount && slots[index].is_valid()))
            raise(PyExc_TypeError,
                  concat_str({nb::str(kQualname), nb::str("() got multiple values for argument '"),
                              keyword, nb::str("'")}));
        if (index >= kParamCount) {
            nb::str text = concat_str({nb::str(kQualname),
                                       nb::str("() got an unexpected keyword argument '"),
                                       keyword, nb::str("'")});
            if (const char *better = suggest_parameter(keyword))
                text = concat_str({text, nb::str(". Did you mean '"), nb::str(better),
                                   nb::str("'?")});
            raise(PyExc_TypeError, text);
        }
        slots[index] = nb::borrow(item);
    }

    if (given > kParamCount)
        raise_type_error(std::string(kQualname) +
                         "() takes from 4 to 5 positional arguments but " +
                         std::to_string(given + 1) + " were given");

    std::vector<std::string> missing;
    for (size_t i = 0; i < kRequired; ++i)
        if (!slots[i].is_valid())
            missing.push_back(std::string("'") + kParams[i] + "'");
    if (!missing.empty()) {
        std::string names;
        if (missing.size() == 1)
            names = missing[0];
        else if (missing.size() == 2)
            names = missing[0] + " and " + missing[1];
        else
            names = missing[0] + ", " + missing[1] + ", and " + missing[2];
        raise_type_error(std::string(kQualname) + "() missing " +
                         std::to_string(missing.size()) + " required positional argument" +
                         (missing.size() == 1 ? "" : "s") + ": " + names);
    }
    if (!slots[3].is_valid())
        slots[3] = nb::none();
}

void init_rule(nb::handle self, nb::args args, nb::kwargs kwargs) {
    nb::object slots[kParamCount];
    bind_arguments(std::move(args), std::move(kwargs), slots);
    // The field only tells the caller which value to hand to check.
    nb::setattr(self, interned("operator"), slots[0]);
    nb::setattr(self, interned("value"), slots[1]);
    nb::setattr(self, interned("message"), slots[2]);
}

// The module's OPERATOR_FUNCS, read on every check so that a replaced table
// or entry takes effect.
nb::object operator_table() {
    nb::handle module = host_module("CorvaneFileParser.Models.ValueRule");
    PyObject *found = nullptr;
    int status = PyDict_GetItemRef(PyModule_GetDict(module.ptr()),
                                   interned("OPERATOR_FUNCS").ptr(), &found);
    if (status < 0)
        raise_pending();
    if (status == 0)
        raise(PyExc_NameError, "name 'OPERATOR_FUNCS' is not defined");
    return nb::steal(found);
}

nb::object check(nb::handle self, nb::handle value) {
    nb::object table = operator_table();
    nb::object op = self.attr(interned("operator"));
    nb::object rule = steal_checked(PyObject_GetItem(table.ptr(), op.ptr()));
    nb::object target = self.attr(interned("value"));
    PyObject *call_args[] = {value.ptr(), target.ptr()};
    return steal_checked(PyObject_Vectorcall(rule.ptr(), call_args, 2, nullptr));
}

nb::object message_of(nb::handle self) { return self.attr(interned("message")); }

}  // namespace

NB_MODULE(ValueRule, m) {
    nb::object operators =
        import_attr("CorvaneFileParser.Models.ConditionOperator", "ConditionOperator");

    ClassBuilder::plain(m, "ValueRule")
        .method("__init__", &init_rule,
                nb::sig("def __init__(self, operator, value, message, field=None) -> None"),
                "Create a condition to check a field value against a target value using an "
                "operator.")
        .method("check", &check, nb::arg("value").none(),
                "Check if the provided value satisfies the condition.")
        .method("__str__", &message_of, "Return the message associated with this condition.")
        .finish();

    nb::dict table;
    table[operators.attr("EQ")] = predicate(
        "equal", [](nb::handle a, nb::handle b) { return compare(a, b, Py_EQ); });
    table[operators.attr("NE")] = predicate(
        "not_equal", [](nb::handle a, nb::handle b) { return compare(a, b, Py_NE); });
    table[operators.attr("GT")] = predicate(
        "greater", [](nb::handle a, nb::handle b) { return ordered(a, b, Py_GT); });
    table[operators.attr("LT")] = predicate(
        "less", [](nb::handle a, nb::handle b) { return ordered(a, b, Py_LT); });
    table[operators.attr("GE")] = predicate(
        "greater_or_equal", [](nb::handle a, nb::handle b) { return ordered(a, b, Py_GE); });
    table[operators.attr("LE")] = predicate(
        "less_or_equal", [](nb::handle a, nb::handle b) { return ordered(a, b, Py_LE); });
    table[operators.attr("CONTAINS")] = predicate("contains", &contains_target);
    m.attr("OPERATOR_FUNCS") = table;
}
