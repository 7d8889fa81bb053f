// Modules and attributes of the host's standard library, and interned str
// constants.
//
// The caching rule: a module is imported once and kept for the life of the
// process; so is an attribute looked up with host_attr (a function or class,
// read once). A value that may be replaced while the process runs (a setting
// such as a wait in seconds) is not cached: read it from the kept module at
// each use, host_module(name).attr(attribute). The entries are never released
// (extension modules outlive no interpreter). The package's own entry points
// are declared in corvane/package_entry_points.hpp.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane {

namespace nb = nanobind;

// `module.name`, looked up once and kept for the life of the process.
nb::handle host_attr(const char *module, const char *name);
// An interned str constant, kept for the life of the process. Use this, not
// a function-local `static nb::str`, whose destructor would run after the
// interpreter is gone.
nb::handle interned(const char *text);
// The imported module, kept for the life of the process.
nb::handle host_module(const char *module);

}  // namespace corvane
