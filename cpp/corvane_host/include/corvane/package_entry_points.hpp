// Every function and class of the package's Python code that the C++
// modules call, in one place: the seams between the two languages.
#pragma once

#include <corvane/host.hpp>

namespace corvane {

// ---- the driver's entry points ----
// Called by cpp/CorvaneFileParser/ReportAssembler.cpp and the driver's units
// (run_inputs). Each is fetched from its module on every call (the module
// itself is imported once), so a stand-in a test installs on the module is
// the one called.
namespace driver_entry {

struct Entry {
    const char *module;
    const char *name;
};

// The provenance manifest and the files earlier runs wrote.
inline constexpr Entry kManifestPath{"CorvaneFileParser.Provenance", "manifest_path"};
inline constexpr Entry kIsUnifiedOutput{"CorvaneFileParser.Provenance", "is_unified_output"};
inline constexpr Entry kIsManifest{"CorvaneFileParser.Provenance", "is_manifest"};
inline constexpr Entry kEarlierOutputKind{"CorvaneFileParser.Provenance", "earlier_output_kind"};
inline constexpr Entry kRunRecord{"CorvaneFileParser.Provenance", "RunRecord"};
inline constexpr Entry kDigestingWriter{"CorvaneFileParser.Provenance", "DigestingWriter"};
// A whole sample sheet in one run.
inline constexpr Entry kRunSheet{"CorvaneFileParser.SheetRun", "run_sheet"};
// The command line: its option table, parsers, request and main().
inline constexpr Entry kParseArgs{"CorvaneFileParser.CommandLine", "parse_args"};
inline constexpr Entry kFromCli{"CorvaneFileParser.CommandLine", "from_cli"};
inline constexpr Entry kMain{"CorvaneFileParser.CommandLine", "main"};
// A file name as one printable line.
inline constexpr Entry kPrintable{"CorvaneFileParser.ProgramLog", "printable"};
// The readers: the kinds of --input and input_kinds. (The reader factory
// and the request-key constants are the driver module's globals
// ReportReaderFactory and CorvaneConstants, looked up there on each use.)
inline constexpr Entry kCheckInputKind{"CorvaneFileParser.Parsers.ReportReaderFactory",
                                       "check_input_kind"};

inline nb::object entry(const Entry &point) { return host_module(point.module).attr(point.name); }

}  // namespace driver_entry

}  // namespace corvane
