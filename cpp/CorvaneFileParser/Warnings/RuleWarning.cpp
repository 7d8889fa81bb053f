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
    // ValueRule's own methods and its module's namespace, for the direct path.
    nb::handle rule_init, rule_check, rule_str, rule_globals, table_key, message_key, init_name;
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

// ValueRule still has the methods it was loaded with, so a rule built from a
// condition is its message and checks through the operator table.
bool stock_value_rule() {
    nb::handle cls = loaded.value_rule;
    auto same = [&](nb::handle name, nb::handle loaded_method) {
        PyObject *found = PyObject_GetAttr(cls.ptr(), name.ptr());
        if (!found)
            raise_pending();
        bool is_same = found == loaded_method.ptr();
        Py_DECREF(found);
        return is_same;
    };
    return same(loaded.init_name, loaded.rule_init) &&
           same(loaded.check_name, loaded.rule_check) &&
           same(loaded.str_name, loaded.rule_str);
}

// A condition ValueRule(**cond) takes as it is: a plain dict of the keys its
// __init__ names (besides the "no_call" mark), with the three it requires.
bool plain_condition(nb::handle cond) {
    PyObject *p = cond.ptr();
    if (!PyDict_CheckExact(p))
        return false;
    auto is = [](PyObject *key, nb::handle name) {
        return key == name.ptr() || PyUnicode_Compare(key, name.ptr()) == 0;
    };
    int required = 0;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(p, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key))
            return false;
        if (is(key, loaded.operator_key) || is(key, loaded.value_key) ||
            is(key, loaded.message_key))
            ++required;
        else if (!is(key, loaded.field_key) && !is(key, loaded.no_call_key))
            return false;
    }
    return required == 3;
}

// What ValueRule(**cond).check(value) gives, without the rule: the operator
// table's entry for the operator called with the value and the target.
nb::object direct_check(nb::handle cond, nb::handle value) {
    nb::object table = read_global(loaded.rule_globals, loaded.table_key);
    nb::object op = get(cond, loaded.operator_key);
    nb::object target = get(cond, loaded.value_key);
    nb::object rule = steal_checked(PyObject_GetItem(table.ptr(), op.ptr()));
    PyObject *call_args[] = {value.ptr(), target.ptr()};
    return steal_checked(PyObject_Vectorcall(rule.ptr(), call_args, 2, nullptr));
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
    bool stock = stock_value_rule();
    for_each(conditions, [&](nb::handle cond) {
        convert_operator(cond);
        // A plain condition of the loaded ValueRule needs no rule object.
        bool direct = stock && plain_condition(cond);
        nb::object rule = direct ? nb::object() : make_rule(cond);
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
        nb::object warning =
            direct ? get(cond, loaded.message_key)
                   : steal_checked(PyObject_CallMethodNoArgs(rule.ptr(), loaded.str_name.ptr()));
        if (unusable || msgs.has(warning))
            return;
        nb::object holds =
            direct ? direct_check(cond, value)
                   : steal_checked(PyObject_CallMethodOneArg(rule.ptr(), loaded.check_name.ptr(),
                                                             value.ptr()));
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
    loaded.message_key = interned("message");
    loaded.table_key = interned("OPERATOR_FUNCS");
    loaded.init_name = interned("__init__");
    // Owned for the life of the process: a method replaced on the class
    // must never be freed and its address reused.
    loaded.rule_init = nb::object(loaded.value_rule.attr("__init__")).release();
    loaded.rule_check = nb::object(loaded.value_rule.attr("check")).release();
    loaded.rule_str = nb::object(loaded.value_rule.attr("__str__")).release();
    loaded.rule_globals =
        nb::object(host_module("CorvaneFileParser.Models.ValueRule").attr("__dict__")).release();

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
