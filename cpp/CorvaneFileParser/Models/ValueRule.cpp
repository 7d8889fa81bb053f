// One comparison rule of a field condition.
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

NB_MODULE(ValueRule, m) {
    nb::module_::import_("CorvaneFileParser.Models.ConditionOperator");

    ClassBuilder::plain(m, "ValueRule").finish();
}
