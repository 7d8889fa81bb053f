// Maps warning type names to formatter classes.
#include <corvane/c_api.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>

#include <iterator>

namespace nb = nanobind;
using namespace corvane;

namespace {

struct Row {
    nb::handle name_text, formatter;  // owned by the host's caches
};

// One per package_entry::kWarningFormatters entry, set on load.
Row kFormatters[std::size(package_entry::kWarningFormatters)];

nb::object get_formatter(nb::handle wtype) {
    if (wtype.is_none())
        raise(PyExc_ValueError, "Warning type cannot be None");
    int is_dict = PyDict_Check(wtype.ptr())
                      ? 1
                      : PyObject_IsInstance(wtype.ptr(), (PyObject *) &PyDict_Type);
    if (is_dict < 0)
        raise_pending();
    if (!is_dict)
        raise(PyExc_TypeError,
              concat_str({interned("Warning type must be a dict, got "), class_name(wtype)}));

    nb::handle type_key = interned("type");
    nb::object warning_type = nb::none();
    if (contains(wtype, type_key))
        warning_type = steal_checked(PyObject_GetItem(wtype.ptr(), type_key.ptr()));
    if (equals(warning_type, nb::none()) || equals(warning_type, interned("")))
        raise(PyExc_ValueError, "Warning type cannot be empty");

    for (const Row &row : kFormatters)
        if (equals(warning_type, row.name_text))
            return steal_checked(PyObject_CallNoArgs(row.formatter.ptr()));

    raise(PyExc_ValueError,
          concat_str({interned("Unknown warning type: "), warning_type}));
}

}  // namespace

NB_MODULE(WarningRegistry, m) {
    // Loading the registry loads every formatter.
    package_entry::warning_base();
    for (size_t i = 0; i < std::size(kFormatters); ++i) {
        const package_entry::WarningFormatter &row = package_entry::kWarningFormatters[i];
        kFormatters[i] = {interned(row.type_name), host_attr(row.module, row.cls)};
    }

    // Named here so that the signature below refers to the class itself (the
    // Warnings package re-exports it under the name of its module).
    m.attr("WarningBase") = package_entry::warning_base();

    ClassBuilder::plain(m, "WarningRegistry")
        .doc("Picks the warning formatter for a section's warning settings.")
        .static_method("get_formatter", &get_formatter, nb::arg("wtype").none(),
                       nb::sig("def get_formatter(wtype: collections.abc.Mapping[str, typing.Any])"
                               " -> WarningBase"),
                       "Returns a new formatter chosen by the settings' \"type\": \"condition\"\n"
                       "-> RuleWarning, \"carrier_positive\" -> HeterozygoteWarning,\n"
                       "\"genotype\" -> AlleleWarning, \"smn\" -> MotorNeuronWarning, \"gba\" ->\n"
                       "LysosomalWarning, \"alpha_globin\" -> GlobinWarning. Raises TypeError when wtype is not a dict and\n"
                       "ValueError when it is None or its type is missing, empty or unknown.")
        .finish();
}
