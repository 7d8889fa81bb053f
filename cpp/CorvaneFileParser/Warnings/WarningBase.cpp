// The contract every warning formatter fulfils.
#include <corvane/c_api.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>

namespace nb = nanobind;
using namespace corvane;

NB_MODULE(WarningBase, m) {
    package_entry::models();

    ClassBuilder::abstract(m, "WarningBase")
        .doc("Base of the warning formatters: format() turns a section's warning settings\n"
             "and data into the interpretation text of the report; assess() gives that\n"
             "text with the section's status. Obtain a formatter from\n"
             "WarningRegistry.get_formatter().")
        .abstract_method(
            "format", [](nb::handle, nb::handle, nb::handle) { return nb::none(); },
            nb::arg("config").none(), nb::arg("data").none(),
            nb::sig("def format(self, config: collections.abc.Mapping[str, typing.Any],"
                    " data: typing.Any) -> str"),
            "Returns the interpretation text for the section data under the warning\n"
            "settings config; an empty text when nothing applies.")
        .method(
            "assess",
            [](nb::handle self, nb::handle, nb::handle) -> nb::object {
                raise(PyExc_NotImplementedError,
                      concat_str({class_name(self), interned(" does not report a status")}));
            },
            nb::arg("config").none(), nb::arg("data").none(),
            nb::sig("def assess(self, config: collections.abc.Mapping[str, typing.Any],"
                    " data: typing.Any) -> tuple[str, str]"),
            "Returns (the text format() gives, the section status the rules reach:\n"
            "\"finding\", \"no_call\", \"normal\", \"not_interpreted\" or\n"
            "\"not_assessed\"). Every shipped formatter gives it; this base raises\n"
            "NotImplementedError.")
        .finish();
}
