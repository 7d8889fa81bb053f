// GBA warning: Gaucher disease status from recombinant haplotypes and variants.
#include <corvane/c_api.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/warning_conditions.hpp>
#include <corvane/section_status.hpp>
#include <corvane/warning_formatter.hpp>

#include <vector>

namespace nb = nanobind;
using namespace corvane;

namespace {

// The allele copy number of one variant entry: a name counts as one copy, a
// mapping gives its first true copy-number key (else "altCopyNumber"), and
// anything that is not a number weighs nothing. A mapping none of whose
// copy-number keys holds a whole count leaves the result open.
nb::object allele_copy(nb::handle variant, RulesOutcome &outcome) {
    if (PyDict_Check(variant.ptr())) {
        nb::object copies = first_truthy(variant, {"alleleCopyNumber", "allele_copy_number"});
        if (!copies.is_valid())
            copies = get(variant, "altCopyNumber");
        if (!is_whole_count(copies) &&
            !is_whole_count(get(variant, "alleleCopyNumber")) &&
            !is_whole_count(get(variant, "allele_copy_number")))
            outcome.read_unusable();
        return is_number(copies) ? copies : nb::int_(0);
    }
    if (PyUnicode_Check(variant.ptr()))
        return nb::int_(1);
    return nb::int_(0);
}

bool compare(nb::handle a, long b, int op) {
    int result = PyObject_RichCompareBool(a.ptr(), nb::int_(b).ptr(), op);
    if (result < 0)
        raise_pending();
    return result != 0;
}

// The entries of a findings list. A single non-empty text (as a one-row
// table gives it) is one entry: walking its characters would count each as
// a finding. A list that is null or not a list leaves the result open.
nb::object findings(nb::handle data, const char *key, RulesOutcome &outcome) {
    nb::object value = get(data, key, nb::list());
    if (is_dict_instance(data) && contains(data, interned(key))) {
        PyObject *p = value.ptr();
        if (PyList_Check(p) || PyTuple_Check(p) || (PyUnicode_Check(p) && truthy(value)))
            outcome.read_usable();
        else
            outcome.read_unusable();
    }
    if (PyUnicode_Check(value.ptr()) && truthy(value))
        return nb::make_tuple(value);
    return value;
}

// A blank entry of a findings list (null, or an empty text or mapping) was
// written but says nothing.
void check_entry(nb::handle entry, RulesOutcome &outcome) {
    if (!truthy(entry))
        outcome.read_unusable();
}

nb::object evaluate(nb::handle config_arg, nb::handle data, RulesOutcome &outcome) {
    // No data, or no settings, is nothing there.
    if (data.is_none())
        return nb::str("");
    nb::object config = config_arg.is_none() ? nb::object(nb::dict()) : nb::borrow(config_arg);
    nb::object caller = first_truthy_or(config, {"caller_name", "name"}, "GBA Caller");
    nb::object disease = first_truthy_or(config, {"disease_name", "disease"}, "Gaucher disease");

    size_t rec_count = 0;
    nb::object recombinant = findings(data, "recombinantHaplotypes", outcome);
    if (truthy(recombinant))
        for_each(recombinant, [&](nb::handle entry) {
            check_entry(entry, outcome);
            if (truthy(entry))
                ++rec_count;
        });

    // Allele copies of the variants that are names or mappings, in order;
    // other entries are skipped.
    std::vector<nb::object> copies;
    nb::object variants = findings(data, "variants", outcome);
    if (truthy(variants))
        for_each(variants, [&](nb::handle v) {
            check_entry(v, outcome);
            if (PyDict_Check(v.ptr()) || PyUnicode_Check(v.ptr()))
                copies.push_back(allele_copy(v, outcome));
            else if (truthy(v))
                outcome.read_unusable();
        });

    bool any_two_or_more = false;
    for (const nb::object &c : copies)
        if (compare(c, 2, Py_GE)) {
            any_two_or_more = true;
            break;
        }
    size_t single_copies = 0;
    for (const nb::object &c : copies)
        if (compare(c, 1, Py_EQ))
            ++single_copies;

    if (rec_count >= 2 || any_two_or_more) {
        outcome.fired_finding();
        return based_on(caller, ", this sample is positive for ", disease);
    }
    // Two heterozygous findings may sit on one chromosome or on both.
    if ((rec_count == 0 && single_copies >= 2) || (rec_count == 1 && single_copies >= 1)) {
        outcome.fired_finding();
        return nb::str("Multiple GBA variants detected; phase is unknown (could be in cis or "
                       "in trans). Interpret cautiously.");
    }
    if ((rec_count == 0 && single_copies == 1) || (rec_count == 1 && single_copies == 0)) {
        outcome.fired_finding();
        return based_on(caller, ", this sample is carrier for ", disease);
    }
    return nb::str("");
}

}  // namespace

NB_MODULE(LysosomalWarning, m) {
    m.attr("WarningBase") = package_entry::warning_base();

    warning_formatter(m, "LysosomalWarning", &evaluate,
                      "Returns the positive, phase-unknown or carrier sentence from the number\n"
                      "of findings in data[\"variants\"] and data[\"recombinantHaplotypes\"]; an\n"
                      "empty text when there are none.",
                      "Returns (format()'s text, status): \"finding\" for any sentence;\n"
                      "otherwise \"no_call\" when a list is null or not a list, holds a blank\n"
                      "entry, an entry that is not a name or mapping, or a variant mapping\n"
                      "with no whole copy number; \"not_assessed\" when data holds neither\n"
                      "list; \"normal\".")
        .doc("GBA warning: Gaucher disease status from the recombinant haplotypes and\n"
             "variants the caller reports.")
        .finish();
}
