// Reader of JSON caller outputs: configured sections, fields and dotted paths.
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

NB_MODULE(JsonExtractReader, m) {
    nb::object base = import_attr("CorvaneFileParser.Parsers.ReportReaderBase", "ReportReaderBase");
    nb::module_::import_("CorvaneFileParser.Models");

    ClassBuilder::plain(m, "JsonExtractReader", {base})
        .method("parse", [](nb::handle) -> nb::object {
            raise(PyExc_NotImplementedError, "not built yet");
        })
        .finish();
}
