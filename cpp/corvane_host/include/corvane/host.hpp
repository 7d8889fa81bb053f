// Every shared helper at once, for a source that has not yet moved to the
// headers it uses. New code includes the header that holds what it uses:
//   corvane/c_api.hpp               errors, object operations, iteration
//   corvane/host_lookup.hpp         the standard library's modules and attributes
//   corvane/host_io.hpp             files and JSON read through the host, the log
//   corvane/package_entry_points.hpp  the package's Python the C++ calls
//   corvane/warning_conditions.hpp  conditions of warning settings
//   corvane/value_format.hpp        the readers' value formatter
//   corvane/section_settings.hpp    a section's value settings
//   corvane/class_builder.hpp       Python classes of C++ methods
#pragma once

#include <corvane/c_api.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_io.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/section_settings.hpp>
#include <corvane/value_format.hpp>
#include <corvane/warning_conditions.hpp>

namespace corvane {

// `module.attr`, read from the kept module at each use (host_lookup.hpp's
// rule for a value that may be replaced). For the driver until its calls go
// through package_entry_points.hpp; new code uses that header.
inline nb::object import_attr(const char *module, const char *name) {
    return host_module(module).attr(name);
}

}  // namespace corvane
