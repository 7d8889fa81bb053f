// The contract every warning formatter fulfils.
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

NB_MODULE(WarningBase, m) {
    nb::module_::import_("CorvaneFileParser.Models");

    ClassBuilder::abstract(m, "WarningBase")
        .abstract_method(
            "format", [](nb::handle, nb::handle, nb::handle) { return nb::none(); },
            nb::arg("config").none(), nb::arg("data").none())
        .finish();
}
