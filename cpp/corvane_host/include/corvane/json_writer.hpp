// Streams a document as the exact bytes of
// `json.dumps(obj, indent=4, allow_nan=False)` into a binary file object,
// without building the whole text in memory.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane {

namespace nb = nanobind;

// Writes `json.dumps(obj, indent=4, allow_nan=False).encode("utf-8")` to
// `file` through calls of `file.write(chunk)` with bytes chunks of up to
// 256 KiB. A NaN or infinity (RFC 8259 has no spelling for them) raises the
// host's ValueError before anything is written.
//
// A document made only of the exact types dict, list, tuple, str, int,
// float, bool and None, nested at most 200 levels deep, is written by the
// fast path and the function returns true. Anything else (a subclass, any
// other type, a cycle, an integer the host refuses to convert to text,
// deeper nesting) is found before anything is written and handed whole to
// the host's `json.dumps`, which writes the same bytes or raises its own
// error; the function then returns false.
bool write_json(nb::handle obj, nb::handle file);

}  // namespace corvane
