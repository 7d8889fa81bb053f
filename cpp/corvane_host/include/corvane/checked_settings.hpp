// Reader configurations whose settings passed a check, remembered for the
// process: a reader built again with an equal configuration (a fresh copy of
// the same resource, say) skips the check. Equal means the same plain data
// kinds holding the same values, so any changed setting, or one of another
// type (1 for true, 1.0 for 1), is checked again; a configuration holding
// anything but dicts, lists, str, int, float, bool and None is always checked.
//
// A reader built by the factory gets a fresh copy of a cached, parsed resource
// document, announced (AnnouncedCopy) while its constructor runs: a check that
// has passed a copy of that very document passes the next copy without
// comparing it, the copy being faithful and nothing else holding it yet.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane {

namespace nb = nanobind;

class CheckedSettings {
public:
    explicit CheckedSettings(bool remembers = true) : remembers_(remembers) {}
    // True when `config` equals one that passed this check before, or is
    // the announced copy of a document a copy of which passed it.
    bool passed(nb::handle config);
    // Remembers `config`, which has just passed this check (and the document
    // it was announced as a copy of).
    void remember(nb::handle config);

private:
    void remember_origin(PyObject *origin);

    bool remembers_;
    nb::list snapshots_;
    nb::list origins_;  // documents whose copies passed, held so none is reused
};

// While alive, announces `config` as a just-made, faithful copy of `origin`
// (both held by the caller meanwhile) to the checks of the constructor the
// caller is about to run; the announcement before it is restored after. The
// announcement is shared by every extension module of the package, through
// the readers' base module.
class AnnouncedCopy {
public:
    AnnouncedCopy(nb::handle config, nb::handle origin);
    ~AnnouncedCopy();
    AnnouncedCopy(const AnnouncedCopy &) = delete;
    AnnouncedCopy &operator=(const AnnouncedCopy &) = delete;

private:
    PyObject *config_, *previous_config_, *previous_origin_;
    unsigned long previous_thread_;
};

// The capsule holding the process's announcement, for the readers' base
// module to keep as its `_announced_copy`.
nb::object announced_copy_capsule();

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
