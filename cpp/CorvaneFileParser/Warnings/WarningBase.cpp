// The contract every warning formatter fulfils.
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

NB_MODULE(WarningBase, m) {
    nb::module_::import_("CorvaneFileParser.Models");

    ClassBuilder::abstract(m, "WarningBase")
        .doc("Base of the warning formatters: format() turns a section's warning settings\n"
             "and data into the interpretation text of the report. Obtain a formatter\n"
             "from WarningRegistry.get_formatter().")
        .abstract_method(
            "format", [](nb::handle, nb::handle, nb::handle) { return nb::none(); },
            nb::arg("config").none(), nb::arg("data").none(),
            nb::sig("def format(self, config: collections.abc.Mapping[str, typing.Any],"
                    " data: typing.Any) -> str"),
            "Returns the interpretation text for the section data under the warning\n"
            "settings config; an empty text when nothing applies.")
        .finish();
}
