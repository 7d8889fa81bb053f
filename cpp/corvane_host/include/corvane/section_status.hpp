// The status of a section in the unified document: what was assessed, and
// whether a sentence states a result. Warning formatters gather what the
// fields their rules read held while the rules run; the reader base settles
// the sections without rules and the caller's quality verdict.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane {

namespace nb = nanobind;

enum class SectionStatus { Finding, NoCall, Normal, NotInterpreted, NotAssessed, QcFailed };

// The status as the document writes it: "finding", "no_call", "normal",
// "not_interpreted", "not_assessed" or "qc_failed".
nb::handle status_text(SectionStatus status);

// What a warning's rules met while they ran, and the status that follows:
// a finding sentence wins, then a no-call sentence, then a field the rules
// read that was null or of the wrong kind (no call), then a value the rules
// cannot interpret; with none of the fields present the section was not
// assessed, otherwise it is normal.
class RulesOutcome {
public:
    void read_usable() { present_ = true; }
    void read_unusable() { present_ = unusable_ = true; }
    void read_uninterpreted() { present_ = uninterpreted_ = true; }
    void fired_finding() { finding_ = true; }
    void fired_no_call() { no_call_ = true; }
    SectionStatus settle() const;

private:
    bool present_ = false, unusable_ = false, uninterpreted_ = false, finding_ = false,
         no_call_ = false;
};

// (text, status text): what a formatter's assess() returns.
nb::object assessment(nb::handle text, SectionStatus status);

// An int or a finite float, not a bool: a value a threshold can compare (an
// infinite TMB or copy number is no measurement).
bool is_measure(nb::handle value);
// A measure that is whole and not negative (a copy number or a count).
bool is_whole_count(nb::handle value);

// Whether `value` is of the kind a condition with this operator name and
// target compares: a measure for the orderings, a bool against a bool, a
// measure against a number (a whole one against a whole number), a text
// against a text, a text, list or set for CONTAINS; None only against None.
bool suits_condition(nb::handle operator_name, nb::handle target, nb::handle value);

}  // namespace corvane
