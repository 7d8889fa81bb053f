// Genotype warning: the phenotype a configured table assigns to a genotype.
#include <corvane/c_api.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/section_status.hpp>
#include <corvane/warning_formatter.hpp>

#include <utility>

namespace nb = nanobind;
using namespace corvane;

namespace {

const char *const kDefaultTemplate = "Based on {name}, this sample is defined as <b>{phenotype}</b>";

// Whether every value of `mapping.values()` passes `check` (a type test, so a
// plain dict can be read without running any host code in between).
bool all_values(nb::handle mapping, int (*check)(PyObject *)) {
    PyObject *p = mapping.ptr();
    if (PyDict_CheckExact(p)) {
        Py_ssize_t pos = 0;
        PyObject *raw_key = nullptr, *raw_value = nullptr;
        while (PyDict_Next(p, &pos, &raw_key, &raw_value))
            if (!check(raw_value))
                return false;
        return true;
    }
    nb::object values = mapping.attr("values")();
    return !iterate_until(values, [&](nb::handle value) { return !check(value.ptr()); });
}

int is_str(PyObject *value) { return PyUnicode_Check(value); }
int is_list_value(PyObject *value) { return PyList_Check(value); }

nb::object call_method(nb::handle target, const char *name) {
    return steal_checked(PyObject_CallMethodNoArgs(target.ptr(), interned(name).ptr()));
}

// text[start:end].strip() for an exact str, without the intermediate slice.
nb::object strip_range(PyObject *text, Py_ssize_t start, Py_ssize_t end) {
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start)))
        ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1)))
        --end;
    return steal_checked(PyUnicode_Substring(text, start, end));
}

Py_ssize_t find_slash(PyObject *text, Py_ssize_t start, Py_ssize_t end) {
    Py_ssize_t found = PyUnicode_FindChar(text, '/', start, end, 1);
    if (found == -2)
        raise_pending();
    return found;
}

// The canonical genotype: two alleles around "/" sorted, so that allele
// order does not matter; anything else only stripped.
nb::object normalize_genotype(nb::handle value) {
    if (!PyUnicode_Check(value.ptr()))
        return nb::str("");
    if (PyUnicode_CheckExact(value.ptr())) {
        // The split, strip and sort of the general path, read in place.
        PyObject *text = value.ptr();
        Py_ssize_t size = PyUnicode_GET_LENGTH(text);
        Py_ssize_t slash = find_slash(text, 0, size);
        if (slash < 0 || find_slash(text, slash + 1, size) >= 0)
            return strip_range(text, 0, size);
        nb::object first = strip_range(text, 0, slash);
        nb::object second = strip_range(text, slash + 1, size);
        if (PyUnicode_Compare(second.ptr(), first.ptr()) < 0)
            std::swap(first, second);
        nb::object head = steal_checked(PyUnicode_Concat(first.ptr(), interned("/").ptr()));
        return steal_checked(PyUnicode_Concat(head.ptr(), second.ptr()));
    }
    // A str subclass answers split and strip itself.
    nb::object parts = steal_checked(PyObject_CallMethodOneArg(
        value.ptr(), interned("split").ptr(), interned("/").ptr()));
    nb::list stripped;
    iterate_until(parts, [&](nb::handle part) {
        stripped.append(call_method(part, "strip"));
        return false;
    });
    if (stripped.size() != 2)
        return call_method(value, "strip");
    if (PyList_Sort(stripped.ptr()) < 0)
        raise_pending();
    nb::handle empty = interned("");
    nb::object first = steal_checked(PyObject_Format(stripped[0].ptr(), empty.ptr()));
    nb::object second = steal_checked(PyObject_Format(stripped[1].ptr(), empty.ptr()));
    return concat_str({first, interned("/"), second});
}

bool not_normal(nb::handle phenotype) {
    int differs = PyObject_RichCompareBool(phenotype.ptr(), interned("normal").ptr(), Py_NE);
    if (differs < 0)
        raise_pending();
    return differs != 0;
}

nb::object fill(nb::handle message_template, nb::handle name, nb::handle phenotype) {
    return message_template.attr("format")(nb::arg("name") = name,
                                           nb::arg("phenotype") = phenotype);
}

nb::object evaluate(nb::handle config_arg, nb::handle data, RulesOutcome &outcome) {
    // No data, or no settings, is nothing there.
    if (data.is_none())
        return nb::str("");
    nb::object config = config_arg.is_none() ? nb::object(nb::dict()) : nb::borrow(config_arg);
    nb::object name = get(config, "caller_name");
    if (!truthy(name))
        name = get(config, "name");
    nb::object genotype_key = get(config, "genotype_data_key", interned("genotype"));
    nb::object sample = get(data, genotype_key);
    nb::object sample_normalized =
        PyUnicode_Check(sample.ptr()) ? normalize_genotype(sample) : nb::str("");
    bool has_normalized = truthy(sample_normalized);

    nb::object mapping = first_truthy(config, {"phenotypeGenotypeMapping",
                                               "phenotype_genotype_mapping"});
    if (!mapping.is_valid())
        mapping = nb::dict();
    nb::object message_template = first_truthy(config, {"message_template"});
    if (!message_template.is_valid())
        message_template = nb::borrow(interned(kDefaultTemplate));

    // Whether the genotype was found in the table, with a phenotype other
    // than normal.
    bool listed = false, not_normal_found = false;
    nb::object warning = nb::str("");
    bool present = is_dict_instance(data) && contains(data, genotype_key);
    auto settle = [&]() {
        if (!present)
            return;
        if (listed)
            not_normal_found ? outcome.fired_finding() : outcome.read_usable();
        else if (sample.is_none() || !has_normalized)
            outcome.read_unusable();  // null, blank or not a text
        else
            outcome.read_uninterpreted();  // a genotype the table does not list
    };
    if (!truthy(mapping)) {
        settle();
        return warning;
    }

    if (all_values(mapping, &is_str)) {
        // Genotype -> phenotype: the raw genotype first, then the first key
        // that normalises to the same genotype.
        nb::object phenotype = get(mapping, sample);
        if (phenotype.is_none() && has_normalized) {
            entries_until(mapping, [&](nb::handle key, nb::handle value) {
                if (!equals(normalize_genotype(key), sample_normalized))
                    return false;
                phenotype = nb::borrow(value);
                return true;
            });
        }
        listed = !phenotype.is_none();
        if (listed && not_normal(phenotype)) {
            not_normal_found = true;
            warning = fill(message_template, name, phenotype);
        }
    } else if (all_values(mapping, &is_list_value)) {
        // Phenotype -> genotypes: the first phenotype listing the genotype wins.
        entries_until(mapping, [&](nb::handle phenotype, nb::handle genotypes) {
            nb::object normalized = steal_checked(PySet_New(nullptr));
            iterate_until(genotypes, [&](nb::handle genotype) {
                nb::object entry = PyUnicode_Check(genotype.ptr())
                                       ? normalize_genotype(genotype)
                                       : nb::borrow(genotype);
                if (PySet_Add(normalized.ptr(), entry.ptr()) < 0)
                    raise_pending();
                return false;
            });
            bool matches = contains(genotypes, sample) ||
                           (has_normalized && contains(normalized, sample_normalized));
            if (!matches)
                return false;
            listed = true;
            if (not_normal(phenotype)) {
                not_normal_found = true;
                warning = fill(message_template, name, phenotype);
            }
            return true;
        });
    }
    settle();
    return warning;
}

}  // namespace

NB_MODULE(AlleleWarning, m) {
    m.attr("WarningBase") = package_entry::warning_base();

    warning_formatter(m, "AlleleWarning", &evaluate,
                      "Returns the filled message when the genotype in data maps to a phenotype\n"
                      "other than normal (genotypes compared with their alleles normalised);\n"
                      "an empty text otherwise.",
                      "Returns (format()'s text, status): \"finding\" for a listed phenotype\n"
                      "other than normal, \"normal\" for normal; for a genotype the table does\n"
                      "not list, \"not_interpreted\" when it is a text and \"no_call\" when\n"
                      "it is null or not a text; \"not_assessed\" without the genotype field.")
        .doc("Genotype warning: the phenotype a configured table assigns to the\n"
             "sample's genotype (e.g. a metaboliser status).\n"
             "\n"
             "Settings: \"caller_name\", \"genotype_data_key\" (default \"genotype\"),\n"
             "\"phenotypeGenotypeMapping\" (genotype -> phenotype, or phenotype -> list\n"
             "of genotypes) and an optional \"message_template\".")
        .static_method("_normalize_genotype", &normalize_genotype, nb::arg("value").none())
        .finish();
}
