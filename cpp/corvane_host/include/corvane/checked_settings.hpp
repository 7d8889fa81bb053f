// Reader configurations whose settings passed a check, remembered for the
// process: a reader built again with an equal configuration (a fresh copy of
// the same resource, say) skips the check. Equal means the same plain data
// kinds holding the same values, so any changed setting, or one of another
// type (1 for true, 1.0 for 1), is checked again; a configuration holding
// anything but dicts, lists, str, int, float, bool and None is always checked.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane {

namespace nb = nanobind;

class CheckedSettings {
public:
    explicit CheckedSettings(bool remembers = true) : remembers_(remembers) {}
    // True when `config` equals one that passed this check before.
    bool passed(nb::handle config) const;
    // Remembers `config`, which has just passed this check.
    void remember(nb::handle config);

private:
    bool remembers_;
    nb::list snapshots_;
};

// A private copy of plain configuration data (dicts and lists copied, scalars
// shared); unset when it holds anything else or nests too deep.
nb::object plain_snapshot(nb::handle value);
// `value` holds what `snapshot` holds, in the sense above.
bool same_plain_data(nb::handle value, nb::handle snapshot);

// The memory of one check, kept for the life of the process (never freed: it
// holds host objects); `check` names the check, e.g. its function, and
// `variant`, when given, plain data the check also depends on.
CheckedSettings &checked_settings(const void *check, nb::handle variant = nb::handle());

}  // namespace corvane
