// Alpha-globin warning: alpha-thalassaemia status from the number of HBA1/HBA2
// genes, counted from a genotype such as "-a3.7/aa" or read from a copy number.
#include <corvane/c_api.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/section_status.hpp>
#include <corvane/warning_formatter.hpp>

#include <string>

namespace nb = nanobind;
using namespace corvane;

namespace {

// The alpha-globin genes of one chromosome written in the usual notation:
// "aa" (both genes), "-a3.7" or "-a4.2" (one deleted), "--SEA", "--MED" or
// "--" (both deleted), "aaa" or "aaa3.7" (a triplication). The deletion or
// duplication name after the genes may be anything without an "a"; any
// other spelling ("aCSa", "-(a)20.5") is not read. -1 when not read.
int genes_on_allele(std::string_view allele) {
    size_t dashes = 0;
    while (dashes < allele.size() && allele[dashes] == '-')
        ++dashes;
    size_t genes = 0;
    while (dashes + genes < allele.size() && allele[dashes + genes] == 'a')
        ++genes;
    if (allele.substr(dashes + genes).find('a') != std::string_view::npos)
        return -1;
    if (dashes == 0)
        return genes >= 2 ? (int) genes : -1;
    return dashes + genes == 2 ? (int) genes : -1;
}

std::string_view strip(std::string_view text) {
    const char *blank = " \t\r\n\f\v";
    size_t start = text.find_first_not_of(blank);
    if (start == std::string_view::npos)
        return {};
    size_t end = text.find_last_not_of(blank);
    return text.substr(start, end - start + 1);
}

struct Genotype {
    int first = -1, second = -1;  // genes on each chromosome
    bool read() const { return first >= 0 && second >= 0; }
    int total() const { return first + second; }
    bool has(bool (*test)(int)) const { return test(first) || test(second); }
};

// "<allele>/<allele>"; anything else is not read.
Genotype read_genotype(nb::handle text) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) {
        PyErr_Clear();
        return {};
    }
    std::string_view whole = strip(std::string_view(utf8, (size_t) size));
    size_t slash = whole.find('/');
    if (slash == std::string_view::npos || whole.find('/', slash + 1) != std::string_view::npos)
        return {};
    return {genes_on_allele(strip(whole.substr(0, slash))),
            genes_on_allele(strip(whole.substr(slash + 1)))};
}

const char *const kNumbers[] = {"no", "one", "two", "three", "four"};

nb::object copies_sentence(nb::handle caller, long count, nb::handle detail) {
    std::string head = count > 4 ? "more than four alpha-globin (HBA1/HBA2) copies were"
                                 : std::string(kNumbers[count]) +
                                       (count == 1 ? " alpha-globin (HBA1/HBA2) copy was"
                                                   : " alpha-globin (HBA1/HBA2) copies were");
    const char *meaning =
        count == 0   ? "consistent with Hb Bart's hydrops fetalis (all four genes deleted)"
        : count == 1 ? "consistent with HbH disease (three genes deleted)"
        : count == 2 ? "consistent with alpha-thalassaemia trait (two genes deleted)"
        : count == 3 ? "consistent with alpha-thalassaemia silent carrier status (one gene deleted)"
                     : "alpha-globin gene triplication";
    return concat_str({interned("Based on the "), caller, interned(", "),
                       nb::str((head + " found (").c_str()), detail,
                       nb::str(("): " + std::string(meaning)).c_str())});
}

bool no_gene(int genes) { return genes == 0; }
bool one_gene(int genes) { return genes == 1; }
bool extra_genes(int genes) { return genes > 2; }

// The sentences of a count, then what the alleles add that the count hides:
// a chromosome without genes (an alpha-zero allele) beside other genes, a
// single deletion beside a triplication, a triplication beside a deletion.
nb::object sentences(nb::handle caller, long count, nb::handle detail, const Genotype *alleles) {
    nb::list parts;
    if (count != 4)
        parts.append(copies_sentence(caller, count, detail));
    if (alleles) {
        nb::object based = concat_str({interned("Based on the "), caller, interned(", the "),
                                       detail, interned(" includes ")});
        if (count >= 2 && alleles->has(no_gene))
            parts.append(concat_str({based, interned("an alpha-zero allele (both genes deleted "
                                                     "on one chromosome)")}));
        if (count >= 4 && alleles->has(one_gene))
            parts.append(concat_str({based, interned("an alpha-plus deletion allele (one gene "
                                                     "deleted on one chromosome)")}));
        if (count <= 4 && alleles->has(extra_genes))
            parts.append(concat_str({based, interned("an alpha-globin triplication allele")}));
    }
    return steal_checked(PyUnicode_Join(interned(". ").ptr(), parts.ptr()));
}

nb::object evaluate(nb::handle config_arg, nb::handle data, RulesOutcome &outcome) {
    if (!is_dict_instance(data))
        return nb::str("");
    nb::object config = config_arg.is_none() ? nb::object(nb::dict()) : nb::borrow(config_arg);
    nb::object caller = first_truthy_or(config, {"caller_name", "name"}, "alpha-globin caller");

    // The genotype first: it tells which chromosome lost which genes.
    nb::object genotype_key = get(config, "genotype_key");
    if (!genotype_key.is_none() && contains(data, genotype_key)) {
        nb::object genotype = get(data, genotype_key);
        Genotype alleles;
        if (PyUnicode_Check(genotype.ptr()) && (alleles = read_genotype(genotype)).read()) {
            outcome.read_usable();
            nb::object text = sentences(caller, alleles.total(),
                                        concat_str({interned("genotype "), genotype}), &alleles);
            if (truthy(text))
                outcome.fired_finding();
            return text;
        }
        if (PyUnicode_Check(genotype.ptr()) && truthy(genotype))
            outcome.read_uninterpreted();
        else
            outcome.read_unusable();
    }

    // Else the first copy-number key present.
    nb::object keys = get(config, "copy_number_keys");
    if (keys.is_none())
        return nb::str("");
    nb::object copies;
    iterate_until(keys, [&](nb::handle key) {
        if (!contains(data, key))
            return false;
        copies = get(data, key);
        return true;
    });
    if (!copies.is_valid())
        return nb::str("");
    if (!is_whole_count(copies)) {
        outcome.read_unusable();
        return nb::str("");
    }
    outcome.read_usable();
    long count = PyLong_AsLong(nb::int_(copies).ptr());
    if (count == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        count = 5;  // more than a long holds: more than four
    }
    nb::object text = sentences(caller, count,
                                concat_str({interned("copy number "), to_str(copies)}), nullptr);
    if (truthy(text))
        outcome.fired_finding();
    return text;
}

}  // namespace

NB_MODULE(GlobinWarning, m) {
    m.attr("WarningBase") = package_entry::warning_base();

    warning_formatter(m, "GlobinWarning", &evaluate,
                      "Returns the sentence for the number of genes: three silent carrier, two\n"
                      "trait, one HbH disease, none Hb Bart's, more than four triplication;\n"
                      "from a genotype also an alpha-zero allele beside other genes, a single\n"
                      "deletion or a triplication the count hides. Empty for four genes.",
                      "Returns (format()'s text, status): \"finding\" for any sentence;\n"
                      "\"no_call\" for a null genotype or copy number, or one of the wrong kind;\n"
                      "\"not_interpreted\" for a genotype written in another notation (unless\n"
                      "a copy number gives a sentence); \"not_assessed\" when neither field is\n"
                      "present; \"normal\" for four genes.")
        .doc("Alpha-globin warning: alpha-thalassaemia status from the number of\n"
             "HBA1/HBA2 genes (four normally).\n"
             "\n"
             "Settings: \"caller_name\", \"genotype_key\" (a genotype such as \"-a3.7/aa\"\n"
             "or \"--SEA/aa\", read first) and \"copy_number_keys\" (the first present\n"
             "gives the number of genes when there is no genotype to read).")
        .finish();
}
