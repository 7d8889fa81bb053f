// Carrier-positive warning: a fixed sentence when any condition holds.
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

namespace {

nb::handle condition_operator() {
    return host_attr("CorvaneFileParser.Models", "ConditionOperator");
}

// cond["operator"] = ConditionOperator[cond["operator"]], leaving a member
// as it is so that a specification can be formatted again.
void convert_operator(nb::handle cond) {
    nb::handle key = interned("operator");
    nb::object name = steal_checked(PyObject_GetItem(cond.ptr(), key.ptr()));
    nb::handle members = condition_operator();
    int is_member = PyObject_IsInstance(name.ptr(), members.ptr());
    if (is_member < 0)
        raise_pending();
    nb::object member =
        is_member ? name : steal_checked(PyObject_GetItem(members.ptr(), name.ptr()));
    if (PyObject_SetItem(cond.ptr(), key.ptr(), member.ptr()) < 0)
        raise_pending();
}

// isinstance(data, dict)
bool is_mapping(nb::handle data) {
    if (PyDict_Check(data.ptr()))
        return true;
    int result = PyObject_IsInstance(data.ptr(), (PyObject *) &PyDict_Type);
    if (result < 0)
        raise_pending();
    return result != 0;
}

// config[primary] when it tests true, else config.get(fallback) as it is.
nb::object name_or(nb::handle config, const char *primary, const char *fallback) {
    nb::object value = get(config, interned(primary));
    if (truthy(value))
        return value;
    return get(config, interned(fallback));
}

nb::object format(nb::handle, nb::handle config, nb::handle data) {
    nb::object name = name_or(config, "caller_name", "name");
    nb::object disease = name_or(config, "disease_name", "disease");
    nb::object conditions = get(config, interned("conditions"), nb::dict());
    nb::handle rule_class = host_attr("CorvaneFileParser.Models", "ValueRule");

    nb::object it = steal_checked(PyObject_GetIter(conditions.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object cond = nb::steal(raw);
        convert_operator(cond);

        nb::dict kwargs;
        nb::object field = get(cond, interned("field"));
        kwargs[interned("field")] = field;
        kwargs[interned("operator")] = steal_checked(
            PyObject_GetItem(cond.ptr(), interned("operator").ptr()));
        kwargs[interned("value")] = get(cond, interned("value"));
        kwargs[interned("message")] =
            concat_str({interned("Based on the "), name,
                        interned(", this sample is <b>Positive</b> for "), disease});
        nb::object rule =
            steal_checked(PyObject_Call(rule_class.ptr(), nb::tuple().ptr(), kwargs.ptr()));

        // The value under the condition's field when the data holds it; the
        // whole data otherwise (a mapping never satisfies an ordinary
        // condition, which would leave a positive finding unreported).
        nb::object value = nb::borrow(data);
        if (is_mapping(data) && contains(data, field))
            value = steal_checked(PyObject_GetItem(data.ptr(), field.ptr()));

        nb::object holds = steal_checked(
            PyObject_CallMethodOneArg(rule.ptr(), interned("check").ptr(), value.ptr()));
        if (truthy(holds))
            return steal_checked(
                PyObject_CallMethodNoArgs(rule.ptr(), interned("__str__").ptr()));
    }
    if (PyErr_Occurred())
        raise_pending();
    return nb::str("");
}

}  // namespace

NB_MODULE(HeterozygoteWarning, m) {
    nb::object base = import_attr("CorvaneFileParser.Warnings.WarningBase", "WarningBase");
    nb::module_::import_("CorvaneFileParser.Models");

    ClassBuilder::plain(m, "HeterozygoteWarning", {base})
        .method("format", &format, nb::arg("config").none(), nb::arg("data").none())
        .finish();
}
