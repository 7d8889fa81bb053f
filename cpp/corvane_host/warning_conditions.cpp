#include <corvane/warning_conditions.hpp>
#include <corvane/c_api.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/section_settings.hpp>

namespace corvane {

void convert_operator(nb::handle cond) {
    nb::handle key = interned("operator");
    nb::handle members = package_entry::condition_operator();
    nb::object name = steal_checked(PyObject_GetItem(cond.ptr(), key.ptr()));
    // A name as text is looked up in the enumeration's table of members, as
    // its own lookup does; a name it lacks takes that lookup for its error.
    if (PyUnicode_CheckExact(name.ptr())) {
        static PyObject *member_map = nullptr;  // kept for the process
        if (!member_map)
            member_map = nb::getattr(members, "_member_map_").release().ptr();
        PyObject *member = nullptr;
        if (PyDict_CheckExact(member_map) && PyDict_GetItemRef(member_map, name.ptr(), &member) > 0) {
            set_item(cond, key, nb::steal(member));
            return;
        }
        PyErr_Clear();
    }
    int is_member = PyObject_IsInstance(name.ptr(), members.ptr());
    if (is_member < 0)
        raise_pending();
    nb::object member =
        is_member ? name : steal_checked(PyObject_GetItem(members.ptr(), name.ptr()));
    set_item(cond, key, member);
}

nb::str based_on(nb::handle caller, const char *middle, nb::handle disease) {
    return concat_str({interned("Based on the "), caller, interned(middle), disease});
}

nb::object condition_value(nb::handle field, nb::handle data) {
    if (is_dict_instance(data) && contains(data, field))
        return steal_checked(PyObject_GetItem(data.ptr(), field.ptr()));
    return nb::borrow(data);
}

void check_condition_keys(nb::handle warning_config, nb::handle resource, nb::handle section) {
    if (!PyDict_Check(warning_config.ptr()))
        return;
    nb::object type = get(warning_config, "type");
    if (!equals(type, interned("condition")) && !equals(type, interned("carrier_positive")))
        return;
    nb::object conditions = get(warning_config, "conditions");
    if (!PyList_Check(conditions.ptr()))
        return;
    nb::list known;
    for (const char *key : {"field", "operator", "value", "message", "no_call"})
        known.append(interned(key));
    Py_ssize_t number = 0;
    for_each(conditions, [&](nb::handle cond) {
        ++number;
        if (!PyDict_Check(cond.ptr()))
            return;
        entries_until(cond, [&](nb::handle key, nb::handle) {
            if (!PyUnicode_Check(key.ptr()) || contains(known, key))
                return false;
            nb::object close = host_attr("difflib", "get_close_matches")(key, known, 1);
            nb::object hint = truthy(close) ? concat_str({interned(" (did you mean \""), close[0],
                                                         interned("\"?)")})
                                           : nb::object(nb::str(""));
            raise_setting_error(resource, section,
                                concat_str({interned("condition "), nb::int_(number),
                                            interned(" of the warning: unknown key \""), key,
                                            interned("\""), hint}));
        });
    });
}

}  // namespace corvane
