// Every entry point of the package's own Python that the C++ modules call:
// the seams between the extension modules and the Python they load. A module
// reaches the package's Python only through these.
//
// They follow corvane/host_lookup.hpp's rule: a class or function is looked
// up once and kept; a value that may be replaced while the process runs (a
// reader class installed on the factory, a wait, the open log) is read from
// the kept module at each use.
#pragma once

#include <nanobind/nanobind.h>

#include <corvane/host_lookup.hpp>

namespace corvane::package_entry {

namespace nb = nanobind;

// ---- the readers' and warnings' entry points ----

// Models: the package of records the readers' signatures name; the operators
// of a condition, a condition, a section's selection.
inline nb::handle models() { return host_module("CorvaneFileParser.Models"); }
inline nb::handle condition_operator() {
    return host_attr("CorvaneFileParser.Models.ConditionOperator", "ConditionOperator");
}
inline nb::handle value_rule() { return host_attr("CorvaneFileParser.Models", "ValueRule"); }
inline nb::handle section_config() {
    return host_attr("CorvaneFileParser.Models", "SectionConfig");
}
// The key of a section's warning settings (CorvaneConstants.WARNING_KEY).
inline nb::object warning_key() {
    return host_attr("CorvaneFileParser.CorvaneConstants", "CorvaneConstants").attr("WARNING_KEY");
}

// Warnings: the formatters' base, the registry, and the formatters it picks
// by the settings' "type", tested in this order.
inline nb::handle warning_base() {
    return host_attr("CorvaneFileParser.Warnings.WarningBase", "WarningBase");
}
inline nb::handle warning_registry() {
    return host_attr("CorvaneFileParser.Warnings.WarningRegistry", "WarningRegistry");
}
struct WarningFormatter {
    const char *type_name, *module, *cls;
};
inline constexpr WarningFormatter kWarningFormatters[] = {
    {"condition", "CorvaneFileParser.Warnings.RuleWarning", "RuleWarning"},
    {"carrier_positive", "CorvaneFileParser.Warnings.HeterozygoteWarning", "HeterozygoteWarning"},
    {"genotype", "CorvaneFileParser.Warnings.AlleleWarning", "AlleleWarning"},
    {"smn", "CorvaneFileParser.Warnings.MotorNeuronWarning", "MotorNeuronWarning"},
    {"gba", "CorvaneFileParser.Warnings.LysosomalWarning", "LysosomalWarning"},
    {"alpha_globin", "CorvaneFileParser.Warnings.GlobinWarning", "GlobinWarning"},
};

// Parsers: the readers' base, the readers the factory constructs, and the
// factory's module (its reader classes and resource cache are read at each
// use, so that a replacement installed there is the one used).
inline nb::handle report_reader_base() {
    return host_attr("CorvaneFileParser.Parsers.ReportReaderBase", "ReportReaderBase");
}
inline constexpr const char *kReportReaderBaseModule = "CorvaneFileParser.Parsers.ReportReaderBase";
inline constexpr const char *kReaderFactoryModule = "CorvaneFileParser.Parsers.ReportReaderFactory";
inline constexpr const char *kJsonExtractReaderModule = "CorvaneFileParser.Parsers.JsonExtractReader";
struct ReaderClass {
    const char *module, *cls;
};
inline constexpr ReaderClass kReaderClasses[] = {
    {"CorvaneFileParser.Parsers.JsonExtractReader", "JsonExtractReader"},
    {"CorvaneFileParser.Parsers.PanelTsvReader", "PanelTsvReader"},
    {"CorvaneFileParser.Parsers.SingleRowTsvReader", "SingleRowTsvReader"},
};
// The hexadecimal SHA-256 of a bytes object, as the manifest takes it (without
// loading hashlib for small data): the factory's of the resources it parses.
inline nb::handle bytes_digest() { return host_attr("CorvaneFileParser.Provenance", "bytes_digest"); }
// The package itself: its directory holds the configuration resources.
inline nb::handle package() { return host_module("CorvaneFileParser"); }

// ProgramLog: the command line's direct log when one is open (the module's
// `active`, whose log(level, message) the host's log_* call), else an unset
// object. Read in sys.modules at each use, so that callers that never open it
// do not load the module.
inline constexpr const char *kProgramLogModule = "CorvaneFileParser.ProgramLog";
nb::object open_program_log();

// AtomicFile: how long a writer waits for the lock of a name (read at each use).
inline nb::object lock_wait_seconds() {
    return host_module("CorvaneFileParser.AtomicFile").attr("LOCK_WAIT_SECONDS");
}

}  // namespace corvane::package_entry

namespace corvane {

namespace nb = nanobind;

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
// The readers: the kinds of --input and input_kinds.
inline constexpr Entry kCheckInputKind{"CorvaneFileParser.Parsers.ReportReaderFactory",
                                       "check_input_kind"};
// The reader factory and the request-key constants: set once as the driver
// module's globals ReportReaderFactory and CorvaneConstants, which the run
// then reads there on each use (so a stand-in installed there is used).
inline constexpr Entry kReaderFactory{"CorvaneFileParser.Parsers", "ReportReaderFactory"};
inline constexpr Entry kConstants{"CorvaneFileParser.CorvaneConstants", "CorvaneConstants"};

inline nb::object entry(const Entry &point) { return host_module(point.module).attr(point.name); }

}  // namespace driver_entry

}  // namespace corvane
