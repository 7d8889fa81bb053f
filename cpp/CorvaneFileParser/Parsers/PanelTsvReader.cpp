// Reader of the tumour panel's sectioned combined variant output table.
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

NB_MODULE(PanelTsvReader, m) {
    nb::object base = import_attr("CorvaneFileParser.Parsers.ReportReaderBase", "ReportReaderBase");
    nb::module_::import_("CorvaneFileParser.Models");

    ClassBuilder::plain(m, "PanelTsvReader", {base})
        .method("parse", [](nb::handle) -> nb::object {
            raise(PyExc_NotImplementedError, "not built yet");
        })
        .finish();
}
