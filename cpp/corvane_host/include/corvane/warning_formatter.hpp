// The warning formatters' class: format() and assess() over one function of
// rules.
#pragma once

#include <nanobind/nanobind.h>

#include <corvane/class_builder.hpp>
#include <corvane/section_status.hpp>

namespace corvane {

namespace nb = nanobind;

// A formatter's rules: the text for the settings and the data, noting in
// `outcome` what the fields they read held.
using WarningRules = nb::object (*)(nb::handle config, nb::handle data, RulesOutcome &outcome);

// A class subclassing WarningBase whose format(config, data) gives the rules'
// text and assess(config, data) that text with the status the outcome settles
// on; `format_doc` and `assess_doc` (literals) say what each gives. Add the
// class's doc and other methods, then finish().
ClassBuilder warning_formatter(nb::module_ &scope, const char *name, WarningRules rules,
                               const char *format_doc, const char *assess_doc);

}  // namespace corvane
