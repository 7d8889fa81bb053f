// SMN warning: spinal muscular atrophy status from the SMN1 copy number, with
// the silent-carrier (2+0) risk from haplogroups, a marker's copy number or a
// marker variant.
#include <corvane/c_api.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/warning_conditions.hpp>
#include <corvane/section_status.hpp>
#include <corvane/warning_formatter.hpp>

#include <utility>

namespace nb = nanobind;
using namespace corvane;

namespace {

// Every haplogroup name in `node`, depth first: strings stored under the key
// "haplogroup" of any mapping, found through nested mappings and lists.
template <typename F> void walk_haplogroups(nb::handle node, F &visit) {
    PyObject *p = node.ptr();
    if (PyDict_Check(p)) {
        RecursionGuard guard(" while walking a haplogroup tree");
        nb::handle haplogroup = interned("haplogroup");
        entries_until(node, [&](nb::handle key, nb::handle value) {
            if (equals(key, haplogroup) && PyUnicode_Check(value.ptr()))
                visit(value);
            else
                walk_haplogroups(value, visit);
            return false;
        });
    } else if (PyList_Check(p)) {
        RecursionGuard guard(" while walking a haplogroup tree");
        if (PyList_CheckExact(p)) {
            // Re-read the size every step, as the host's list iterator does.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p); ++i) {
                nb::object item = nb::borrow(PyList_GET_ITEM(p, i));
                walk_haplogroups(item, visit);
            }
        } else {
            iterate_until(node, [&](nb::handle item) {
                walk_haplogroups(item, visit);
                return false;
            });
        }
    }
}

// The value reached by following the dotted `path` through nested mappings;
// None when a step is missing or not a mapping. Lists are not indexed.
nb::object get_path(nb::handle data, nb::handle path) {
    if (!PyDict_Check(data.ptr()) || !truthy(path))
        return nb::none();
    nb::object parts =
        steal_checked(PyObject_CallMethodOneArg(path.ptr(), interned("split").ptr(),
                                                interned(".").ptr()));
    nb::object node = nb::borrow(data);
    bool missing = iterate_until(parts, [&](nb::handle part) {
        if (!PyDict_Check(node.ptr()) || !contains(node, part))
            return true;
        node = steal_checked(PyObject_GetItem(node.ptr(), part.ptr()));
        return false;
    });
    if (missing)
        return nb::none();
    return node;
}

nb::object iter_haplogroups(nb::handle node) {
    // Collected eagerly, then handed out as an iterator over the names.
    nb::list names;
    auto append = [&](nb::handle name) { names.append(name); };
    walk_haplogroups(node, append);
    return steal_checked(PyObject_GetIter(names.ptr()));
}

bool number_equals(nb::handle number, long value) {
    return equals(number, nb::int_(value));
}

// The haplogroup rule: every required haplogroup is found in the tree at the
// configured path.
bool haplogroups_complete(nb::handle config, nb::handle data) {
    nb::object path = get(config, "haplogroup_path");
    nb::object required_source = get(config, "silent_carrier_required_haplogroups");
    if (required_source.is_none())
        return false;
    nb::object required = steal_checked(PySet_New(required_source.ptr()));
    if (!truthy(path) || PySet_GET_SIZE(required.ptr()) == 0)
        return false;
    nb::object root = get_path(data, path);
    nb::object found = steal_checked(PySet_New(nullptr));
    auto add = [&](nb::handle name) {
        if (PySet_Add(found.ptr(), name.ptr()) < 0)
            raise_pending();
    };
    walk_haplogroups(root, add);
    int subset = PyObject_RichCompareBool(required.ptr(), found.ptr(), Py_LE);
    if (subset < 0)
        raise_pending();
    return subset != 0;
}

bool at_least_one(nb::handle copies) {
    if (!is_number(copies))
        return false;
    int enough = PyObject_RichCompareBool(copies.ptr(), nb::int_(1).ptr(), Py_GE);
    if (enough < 0)
        raise_pending();
    return enough != 0;
}

// The marker rule: one of the configured data keys holds a 2+0 marker's copy
// number of at least one. A marker key holding anything but a count leaves
// the 2+0 question open.
bool has_silent_carrier_marker(nb::handle config, nb::handle data, RulesOutcome &outcome) {
    nb::object keys = get(config, "silent_carrier_marker_keys");
    if (keys.is_none())
        return false;
    return iterate_until(keys, [&](nb::handle key) {
        if (!contains(data, key))
            return false;
        nb::object copies = get(data, key);
        if (!is_whole_count(copies))
            outcome.read_unusable();
        return at_least_one(copies);
    });
}

// The variant rule: a variant with an identifier and at least one allele copy.
bool has_marker_variant(nb::handle data) {
    nb::object variants = get(data, "variants", nb::list());
    if (!truthy(variants))
        return false;
    nb::object one = nb::int_(1);
    return iterate_until(variants, [&](nb::handle v) {
        nb::object identifier, copies;
        if (PyUnicode_Check(v.ptr())) {
            identifier = nb::borrow(v);
            copies = one;
        } else if (PyDict_Check(v.ptr())) {
            identifier = first_truthy(v, {"alleleId", "hgvs", "name", "variantName", "id"});
            if (!identifier.is_valid())
                identifier = nb::borrow(interned(""));
            copies = first_truthy(v, {"alleleCopyNumber", "allele_copy_number"});
            if (!copies.is_valid())
                copies = get(v, "altCopyNumber");
        } else {
            return false;
        }
        int named = PyObject_RichCompareBool(identifier.ptr(), interned("").ptr(), Py_NE);
        if (named < 0)
            raise_pending();
        return named && at_least_one(copies);
    });
}

nb::object evaluate(nb::handle config_arg, nb::handle data, RulesOutcome &outcome) {
    // No data, or no settings, is nothing there.
    if (data.is_none())
        return nb::str("");
    nb::object config = config_arg.is_none() ? nb::object(nb::dict()) : nb::borrow(config_arg);
    nb::object caller = first_truthy_or(config, {"caller_name", "name"}, "SMN Caller");
    nb::object disease = first_truthy_or(config, {"disease_name", "disease"}, "Spinal Muscular Atrophy");

    nb::list default_keys;
    default_keys.append(interned("smn1CopyNumber"));
    default_keys.append(interned("smn1_cn"));
    nb::object keys = get(config, "smn1_copy_number_keys");
    if (keys.is_none())
        keys = default_keys;
    // The first key present decides, even when it holds None: the caller
    // wrote the field but could not call it.
    nb::object copy_number = nb::none();
    bool present = iterate_until(keys, [&](nb::handle key) {
        if (!contains(data, key))
            return false;
        copy_number = get(data, key);
        return true;
    });

    // Without an SMN1 copy number nothing was assessed, whatever else is there.
    if (!present)
        return nb::str("");
    if (copy_number.is_none()) {
        outcome.fired_no_call();
        return based_on(caller, ", the SMN1 copy number could not be determined (no call) for ",
                        disease);
    }
    // A copy number is a whole number of copies; a flag, a fraction or a
    // text says nothing about them.
    if (!is_whole_count(copy_number)) {
        outcome.read_unusable();
        return nb::str("");
    }
    outcome.read_usable();
    if (number_equals(copy_number, 0)) {
        outcome.fired_finding();
        return based_on(caller, ", this sample is positive for ", disease);
    }
    if (number_equals(copy_number, 1)) {
        outcome.fired_finding();
        return based_on(caller, ", this sample is carrier for ", disease);
    }

    const char *silent = ", this sample has increased risk of being a silent carrier (2+0) for ";
    bool two_copies = number_equals(copy_number, 2);
    bool silent_carrier =
        two_copies &&
        (haplogroups_complete(config, data) ||
         // The strict rule lets only the haplogroups give the silent-carrier sentence.
         (!truthy(get(config, "strict_silent_carrier_haplogroup_rule", nb::bool_(false))) &&
          (has_silent_carrier_marker(config, data, outcome) || has_marker_variant(data))));
    if (!silent_carrier)
        return nb::str("");
    outcome.fired_finding();
    return based_on(caller, silent, disease);
}

}  // namespace

NB_MODULE(MotorNeuronWarning, m) {
    m.attr("WarningBase") = package_entry::warning_base();

    m.def("_get_path", &get_path, nb::arg("data").none(), nb::arg("path").none(),
          "The value at the dotted path through nested mappings, or None.");
    m.def("_iter_haplogroups", &iter_haplogroups, nb::arg("node").none(),
          "An iterator over the haplogroup names in the tree, depth first.");

    warning_formatter(m, "MotorNeuronWarning", &evaluate,
                      "Returns the positive (no SMN1 copy), carrier (one copy) or silent-carrier\n"
                      "sentence for the SMN1 copy number found in data; an empty text when none\n"
                      "applies or the copy number is missing.",
                      "Returns (format()'s text, status): \"finding\" for the positive, carrier\n"
                      "and silent-carrier sentences; \"no_call\" for a null copy number (the\n"
                      "no-call sentence), one that is not a whole number of copies (no\n"
                      "sentence), or two copies with a marker key holding no count;\n"
                      "\"not_assessed\" when no copy-number key is present; \"normal\".")
        .doc("SMN warning: spinal muscular atrophy status from the SMN1 copy\n"
             "number, with the silent-carrier (2+0) risk from haplogroups or a marker\n"
             "variant.")
        .finish();
}
