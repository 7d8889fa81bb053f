// Whether the sample identifiers a caller file carries name the sample of a
// run: its ID or one of its aliases, as written or as the start of a longer
// name (a BAM-style "NA20815.final", a "Sample1_DNA").
#pragma once

#include <nanobind/nanobind.h>

namespace corvane {

namespace nb = nanobind;

// How closely an identifier names the sample; a higher value is closer.
enum class SampleMatch { kNone = 0, kPrefix = 1, kAlias = 2, kExact = 3 };

// How `identifier` (stripped) names the sample `sample`, given its
// `aliases` (a sequence of str): equal to the sample ID (kExact) or to an
// alias (kAlias), or beginning with either followed by '_', '-' or '.'
// (kPrefix). kNone for anything else, a non-str identifier included.
SampleMatch match_sample(nb::handle identifier, nb::handle sample, nb::handle aliases);

// An identifier that names nobody: not a str, or, once stripped, empty or a
// null word (NA, N/A, None, null, any case).
bool is_blank_identifier(nb::handle identifier);

}  // namespace corvane
