// Warning made of the messages of every configured condition that holds.
#include <corvane/c_api.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/warning_conditions.hpp>
#include <corvane/section_status.hpp>
#include <corvane/warning_formatter.hpp>

#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace corvane;

namespace {

// Set when the module loads; the host's caches own these objects.
struct Loaded {
    nb::handle value_rule, builtins;
    nb::handle operator_key, field_key, value_key, no_call_key, conditions_key, str_name,
        check_name, print_name, separator, line_prefix;
} loaded;

// ValueRule(**cond): a fresh keyword mapping copied from the entry, without
// the "no_call" mark, which is this formatter's own.
nb::object make_rule(nb::handle cond) {
    nb::dict kwargs;
    if (PyDict_Merge(kwargs.ptr(), cond.ptr(), 1) < 0) {
        if (!pending_is(PyExc_AttributeError))
            raise_pending();
        PyErr_Clear();
        nb::handle cls = loaded.value_rule;
        raise(PyExc_TypeError,
              concat_str({cls.attr("__module__"), nb::str("."), cls.attr("__qualname__"),
                          nb::str("() argument after ** must be a mapping, not "),
                          nb::str(Py_TYPE(cond.ptr())->tp_name)}));
    }
    if (PyDict_Pop(kwargs.ptr(), loaded.no_call_key.ptr(), nullptr) < 0)
        raise_pending();
    return steal_checked(
        PyObject_Call(loaded.value_rule.ptr(), nb::tuple().ptr(), kwargs.ptr()));
}

// member.name of an operator member: read once per member, which the table
// holds (so its address is never another object's); other values are asked.
nb::object member_name(nb::handle member) {
    constexpr size_t kKept = 16;
    static auto *names = new std::vector<std::pair<nb::object, nb::object>>();
    for (const auto &[kept, name] : *names)
        if (kept.is(member))
            return name;
    nb::object name = member.attr("name");
    int is_member = PyObject_IsInstance(member.ptr(), package_entry::condition_operator().ptr());
    if (is_member < 0)
        raise_pending();
    if (is_member && PyUnicode_CheckExact(name.ptr()) && names->size() < kKept)
        names->emplace_back(nb::borrow(member), name);
    return name;
}

// The messages collected so far, with membership answered through a set
// for plain strings so that many conditions stay linear.
class Messages {
public:
    bool has(nb::handle message) {
        if (PyUnicode_CheckExact(message.ptr()))
            return contains(plain_, message) || contains(other_, message);
        return contains(list_, message);
    }
    void add(nb::handle message) {
        list_.append(message);
        if (PyUnicode_CheckExact(message.ptr()))
            plain_.add(message);
        else
            other_.append(message);
    }
    nb::object joined() {
        return steal_checked(PyUnicode_Join(loaded.separator.ptr(), list_.ptr()));
    }

private:
    nb::list list_;
    nb::set plain_;
    nb::list other_;
};

// A condition whose message says the result could not be determined: marked
// "no_call": true, or an equality with null (it holds only on a null value).
bool is_no_call(nb::handle cond, nb::handle operator_name) {
    if (truthy(get(cond, loaded.no_call_key)))
        return true;
    return get(cond, loaded.value_key).is_none() &&
           PyUnicode_CompareWithASCIIString(operator_name.ptr(), "EQ") == 0;
}

// The messages of the conditions that hold, and what the fields they read held.
nb::object evaluate(nb::handle config, nb::handle data, RulesOutcome &outcome) {
    Messages msgs;
    // No data, no settings or no conditions: nothing holds.
    if (data.is_none() || config.is_none())
        return msgs.joined();
    nb::object conditions = get(config, loaded.conditions_key);
    if (conditions.is_none())
        return msgs.joined();
    bool mapping = is_dict_instance(data);
    for_each(conditions, [&](nb::handle cond) {
        convert_operator(cond);
        nb::object rule = make_rule(cond);
        nb::object field = get(cond, loaded.field_key);
        nb::object operator_name = member_name(get(cond, loaded.operator_key));
        // A value of the wrong kind for its condition (a flag or a text where
        // a copy number is compared) holds no result: the condition fails.
        bool unusable = false;
        if (mapping && contains(data, field)) {
            nb::object read = steal_checked(PyObject_GetItem(data.ptr(), field.ptr()));
            unusable = !suits_condition(operator_name, get(cond, loaded.value_key), read);
            unusable ? outcome.read_unusable() : outcome.read_usable();
        }
        nb::object value = condition_value(field, data);
        nb::object warning = steal_checked(
            PyObject_CallMethodNoArgs(rule.ptr(), loaded.str_name.ptr()));
        if (unusable || msgs.has(warning))
            return;
        nb::object holds = steal_checked(
            PyObject_CallMethodOneArg(rule.ptr(), loaded.check_name.ptr(), value.ptr()));
        if (!truthy(holds))
            return;
        msgs.add(warning);
        if (is_no_call(cond, operator_name))
            outcome.fired_no_call();
        else
            outcome.fired_finding();
        // str + message, as the host adds them (a non-str message fails here).
        nb::object line =
            steal_checked(PyNumber_Add(loaded.line_prefix.ptr(), warning.ptr()));
        // builtins.print read per call, as a Python caller would, so that a
        // replaced print or a redirected sys.stdout sees the line.
        nb::object print = loaded.builtins.attr(loaded.print_name);
        print(line);
    });
    return msgs.joined();
}

}  // namespace

NB_MODULE(RuleWarning, m) {
    loaded.value_rule = package_entry::value_rule();
    loaded.builtins = host_module("builtins");
    loaded.operator_key = interned("operator");
    loaded.field_key = interned("field");
    loaded.value_key = interned("value");
    loaded.no_call_key = interned("no_call");
    loaded.conditions_key = interned("conditions");
    loaded.str_name = interned("__str__");
    loaded.check_name = interned("check");
    loaded.print_name = interned("print");
    loaded.separator = interned(". ");
    loaded.line_prefix = interned("Warning triggered by condition: ");

    warning_formatter(m, "RuleWarning", &evaluate,
                      "Returns the messages of the conditions that hold on data[field] (each\n"
                      "once, in order, joined by \". \"); an empty text when none holds. A\n"
                      "value of the wrong kind for its condition (see assess) does not hold. Each\n"
                      "message that holds is also printed to standard output. Raises KeyError\n"
                      "for an unknown operator name and TypeError when a condition cannot\n"
                      "compare its values or its message is not a str.",
                      "Returns (format()'s text, status): \"finding\" when a message that is\n"
                      "not a no-call holds; \"no_call\" when only no-call messages hold (marked\n"
                      "\"no_call\": true, or an equality with null), or a field a condition\n"
                      "reads is null or of the wrong kind for its operator; \"not_assessed\"\n"
                      "when data holds none of the conditions' fields; \"normal\" otherwise.")
        .doc("Warning made of the messages of every listed condition that holds.\n"
             "\n"
             "Settings: \"conditions\", a list of {\"field\", \"operator\" (a\n"
             "ConditionOperator name), \"value\", \"message\"} and optionally\n"
             "\"no_call\": true for a message saying the result could not be determined.")
        .finish();
}
