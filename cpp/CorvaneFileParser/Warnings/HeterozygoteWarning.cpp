// Carrier-positive warning: a fixed sentence when any condition holds.
#include <corvane/c_api.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/warning_conditions.hpp>
#include <corvane/section_status.hpp>
#include <corvane/warning_formatter.hpp>

namespace nb = nanobind;
using namespace corvane;

namespace {

// Set when the module loads; the host's caches own these objects.
struct Loaded {
    nb::handle value_rule;
    nb::handle operator_key, field_key, value_key, message_key, conditions_key, str_name,
        check_name;
} loaded;

// config[primary] when it tests true, else config.get(fallback) as it is.
nb::object name_or(nb::handle config, const char *primary, const char *fallback) {
    nb::object value = get(config, interned(primary));
    if (truthy(value))
        return value;
    return get(config, interned(fallback));
}

// The sentence of the first condition that holds, and what the fields the
// conditions looked at until then held.
nb::object evaluate(nb::handle config, nb::handle data, RulesOutcome &outcome) {
    // No data, no settings or no conditions: nothing holds.
    if (data.is_none() || config.is_none())
        return nb::str("");
    nb::object name = name_or(config, "caller_name", "name");
    nb::object disease = name_or(config, "disease_name", "disease");
    nb::object conditions = get(config, loaded.conditions_key);
    if (conditions.is_none())
        return nb::str("");

    bool mapping = is_dict_instance(data);
    nb::object it = steal_checked(PyObject_GetIter(conditions.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object cond = nb::steal(raw);
        convert_operator(cond);

        nb::dict kwargs;
        nb::object field = get(cond, loaded.field_key);
        kwargs[loaded.field_key] = field;
        kwargs[loaded.operator_key] =
            steal_checked(PyObject_GetItem(cond.ptr(), loaded.operator_key.ptr()));
        kwargs[loaded.value_key] = get(cond, loaded.value_key);
        kwargs[loaded.message_key] =
            based_on(name, ", this sample is <b>Positive</b> for ", disease);
        nb::object rule = steal_checked(
            PyObject_Call(loaded.value_rule.ptr(), nb::tuple().ptr(), kwargs.ptr()));

        // The value under the condition's field when the data holds it; the
        // whole data otherwise (a mapping never satisfies an ordinary
        // condition, which would leave a positive finding unreported).
        nb::object value = condition_value(field, data);
        if (mapping && contains(data, field))
            suits_condition(kwargs[loaded.operator_key].attr("name"), kwargs[loaded.value_key],
                            value)
                ? outcome.read_usable()
                : outcome.read_unusable();

        nb::object holds = steal_checked(
            PyObject_CallMethodOneArg(rule.ptr(), loaded.check_name.ptr(), value.ptr()));
        if (truthy(holds)) {
            outcome.fired_finding();
            return steal_checked(
                PyObject_CallMethodNoArgs(rule.ptr(), loaded.str_name.ptr()));
        }
    }
    if (PyErr_Occurred())
        raise_pending();
    return nb::str("");
}

}  // namespace

NB_MODULE(HeterozygoteWarning, m) {
    loaded.value_rule = package_entry::value_rule();
    loaded.operator_key = interned("operator");
    loaded.field_key = interned("field");
    loaded.value_key = interned("value");
    loaded.message_key = interned("message");
    loaded.conditions_key = interned("conditions");
    loaded.str_name = interned("__str__");
    loaded.check_name = interned("check");

    warning_formatter(m, "HeterozygoteWarning", &evaluate,
                      "Returns \"Based on the <caller>, this sample is <b>Positive</b> for\n"
                      "<disease>\" for the first condition that holds; an empty text when none\n"
                      "does. Raises KeyError for an unknown operator name.",
                      "Returns (format()'s text, status): \"finding\" when a condition holds;\n"
                      "otherwise \"no_call\" when a field a condition reads is null or of the\n"
                      "wrong kind, \"not_assessed\" when data holds none of them, \"normal\".")
        .doc("Carrier-positive warning: a fixed sentence naming the caller and the\n"
             "disease when any listed condition holds.\n"
             "\n"
             "Settings: \"caller_name\" (or \"name\"), \"disease_name\" (or \"disease\"),\n"
             "\"conditions\" as for RuleWarning.")
        .finish();
}
