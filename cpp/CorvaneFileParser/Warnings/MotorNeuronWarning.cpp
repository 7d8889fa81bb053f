// SMN warning: spinal muscular atrophy status from the SMN1 copy number.
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

NB_MODULE(MotorNeuronWarning, m) {
    nb::object base = import_attr("CorvaneFileParser.Warnings.WarningBase", "WarningBase");
    nb::module_::import_("CorvaneFileParser.Models");

    ClassBuilder::plain(m, "MotorNeuronWarning", {base})
        .method(
            "format", [](nb::handle, nb::handle, nb::handle) { return nb::str(""); },
            nb::arg("config").none(), nb::arg("data").none())
        .finish();
}
