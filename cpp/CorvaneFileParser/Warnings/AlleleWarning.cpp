// Genotype warning: the phenotype a configured table assigns to a genotype.
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

NB_MODULE(AlleleWarning, m) {
    nb::object base = import_attr("CorvaneFileParser.Warnings.WarningBase", "WarningBase");
    nb::module_::import_("CorvaneFileParser.Models");

    ClassBuilder::plain(m, "AlleleWarning", {base})
        .method(
            "format", [](nb::handle, nb::handle, nb::handle) { return nb::str(""); },
            nb::arg("config").none(), nb::arg("data").none())
        .finish();
}
