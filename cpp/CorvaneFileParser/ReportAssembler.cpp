// The driver: request, command line, the run over the input files and the
// unified output.
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

NB_MODULE(ReportAssembler, m) {
    nb::module_::import_("CorvaneFileParser.Parsers");
    nb::module_::import_("CorvaneFileParser.CorvaneConstants");
    nb::module_::import_("CorvaneFileParser.Models");

    ClassBuilder::plain(m, "ReportAssembler").finish();
    m.def("main", []() { raise(PyExc_NotImplementedError, "not built yet"); });
}
