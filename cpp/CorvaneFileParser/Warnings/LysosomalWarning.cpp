// GBA warning: Gaucher disease status from recombinant haplotypes and variants.
#include <corvane/host.hpp>

#include <vector>

namespace nb = nanobind;
using namespace corvane;

namespace {

// The allele copy number of one variant entry: a name counts as one copy, a
// mapping gives its first true copy-number key (else "altCopyNumber"), and
// anything that is not a number weighs nothing.
nb::object allele_copy(nb::handle variant) {
    if (PyDict_Check(variant.ptr())) {
        nb::object copies = first_truthy(variant, {"alleleCopyNumber", "allele_copy_number"});
        if (!copies.is_valid())
            copies = get(variant, "altCopyNumber");
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

nb::object sentence(nb::handle caller, const char *middle, nb::handle disease) {
    return concat_str({interned("Based on the "), caller, interned(middle), disease});
}

// The entries of a findings list. A single non-empty text (as a one-row
// table gives it) is one entry: walking its characters would count each as
// a finding.
nb::object findings(nb::handle data, const char *key) {
    nb::object value = get(data, key, nb::list());
    if (PyUnicode_Check(value.ptr()) && truthy(value))
        return nb::make_tuple(value);
    return value;
}

nb::object format(nb::handle, nb::handle config_arg, nb::handle data) {
    // No data, or no settings, is nothing there.
    if (data.is_none())
        return nb::str("");
    nb::object config = config_arg.is_none() ? nb::object(nb::dict()) : nb::borrow(config_arg);
    nb::object caller = first_truthy_or(config, {"caller_name", "name"}, "GBA Caller");
    nb::object disease = first_truthy_or(config, {"disease_name", "disease"}, "Gaucher disease");

    size_t rec_count = 0;
    nb::object recombinant = findings(data, "recombinantHaplotypes");
    if (truthy(recombinant))
        for_each(recombinant, [&](nb::handle entry) {
            if (truthy(entry))
                ++rec_count;
        });

    // Allele copies of the variants that are names or mappings, in order;
    // other entries are skipped.
    std::vector<nb::object> copies;
    nb::object variants = findings(data, "variants");
    if (truthy(variants))
        for_each(variants, [&](nb::handle v) {
            if (PyDict_Check(v.ptr()) || PyUnicode_Check(v.ptr()))
                copies.push_back(allele_copy(v));
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

    if (rec_count >= 2 || any_two_or_more)
        return sentence(caller, ", this sample is positive for ", disease);
    // Two heterozygous findings may sit on one chromosome or on both.
    if ((rec_count == 0 && single_copies >= 2) || (rec_count == 1 && single_copies >= 1))
        return nb::str("Multiple GBA variants detected; phase is unknown (could be in cis or "
                       "in trans). Interpret cautiously.");
    if ((rec_count == 0 && single_copies == 1) || (rec_count == 1 && single_copies == 0))
        return sentence(caller, ", this sample is carrier for ", disease);
    return nb::str("");
}

}  // namespace

NB_MODULE(LysosomalWarning, m) {
    nb::object base = import_attr("CorvaneFileParser.Warnings.WarningBase", "WarningBase");
    m.attr("WarningBase") = base;

    ClassBuilder::plain(m, "LysosomalWarning", {base})
        .doc("GBA warning: Gaucher disease status from the recombinant haplotypes and\n"
             "variants the caller reports.")
        .method("format", &format, nb::arg("config").none(), nb::arg("data").none(),
                nb::sig("def format(self, config: collections.abc.Mapping[str, typing.Any],"
                        " data: typing.Any) -> str"),
                "Returns the positive, phase-unknown or carrier sentence from the number\n"
                "of findings in data[\"variants\"] and data[\"recombinantHaplotypes\"]; an\n"
                "empty text when there are none.")
        .finish();
}
