// The conditions of a section's warning settings, and the shape of the
// sentences warnings give.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane {

namespace nb = nanobind;

// cond["operator"] = ConditionOperator[cond["operator"]]; a value that already
// is a member stays as it is, so the same settings can be formatted again.
void convert_operator(nb::handle cond);
// "Based on the <caller><middle><disease>", each piece as str() gives it.
nb::str based_on(nb::handle caller, const char *middle, nb::handle disease);
// The value a condition on `field` checks: data[field] when data is a dict
// holding that key, the whole data otherwise.
nb::object condition_value(nb::handle field, nb::handle data);
// Checks the keys of the conditions of a section's warning settings ("condition"
// and "carrier_positive" types): a key other than field, operator, value,
// message and no_call raises ValueError naming the resource and section, with
// the key meant when one is close.
void check_condition_keys(nb::handle warning_config, nb::handle resource, nb::handle section);

}  // namespace corvane
