// Maps warning type names to formatter classes.
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

NB_MODULE(WarningRegistry, m) {
    nb::module_::import_("CorvaneFileParser.Warnings.WarningBase");

    ClassBuilder::plain(m, "WarningRegistry")
        .static_method(
            "get_formatter",
            [](nb::handle) -> nb::object { raise(PyExc_NotImplementedError, "not built yet"); },
            nb::arg("wtype").none())
        .finish();
}
