// One comparison rule of a field condition, and the operator table it reads.
#include <corvane/c_api.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>

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

// The field only tells the caller which value to hand to check.
void init_rule(nb::handle self, nb::handle op, nb::handle value, nb::handle message,
               nb::handle) {
    nb::setattr(self, loaded.operator_key, op);
    nb::setattr(self, loaded.value_key, value);
    nb::setattr(self, loaded.message_key, message);
}

// The module's OPERATOR_FUNCS, read on every check so that a replaced table
// or entry takes effect.
nb::object operator_table() { return read_global(loaded.globals, loaded.table_key); }

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

}  // namespace

NB_MODULE(ValueRule, m) {
    nb::handle operators = package_entry::condition_operator();

    ClassBuilder::plain(m, "ValueRule")
        .doc("One condition of a warning: a comparison of a field's value with a target.\n\n"
             "operator is a ConditionOperator member (EQ, NE, GT, LT, GE, LE, CONTAINS),\n"
             "kept with value and message as attributes; field only tells the caller\n"
             "which value to hand to check(), and is not kept. str() of a rule is its\n"
             "message.")
        .method("__init__", &init_rule, nb::arg("operator").none(), nb::arg("value").none(),
                nb::arg("message").none(), nb::arg("field").none() = nb::none(),
                nb::sig("def __init__(self, operator: typing.Any, value: typing.Any,"
                        " message: typing.Any, field: typing.Any = None) -> None"),
                "Create a condition to check a field value against a target value using an "
                "operator.")
        .method("check", &check_value, nb::arg("value").none(),
                nb::sig("def check(self, value: typing.Any) -> typing.Any"),
                "Check if the provided value satisfies the condition.")
        .method("__str__", [](nb::handle self) { return self.attr(loaded.message_key); },
                nb::sig("def __str__(self) -> typing.Any"),
                "Return the message associated with this condition.")
        .finish();

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
