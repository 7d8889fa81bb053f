// Chooses the reader and its configuration resource from a file's name.
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

NB_MODULE(ReportReaderFactory, m) {
    nb::module_::import_("CorvaneFileParser.Parsers.JsonExtractReader");
    nb::module_::import_("CorvaneFileParser.Parsers.PanelTsvReader");
    nb::module_::import_("CorvaneFileParser.Parsers.SingleRowTsvReader");

    ClassBuilder::plain(m, "ReportReaderFactory").finish();
}
