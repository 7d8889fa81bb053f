// The reader contract: constructor checks, the shared value formatter and the
// turning of extracted data into unified result entries.
#include <corvane/c_api.hpp>
#include <corvane/checked_settings.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/section_settings.hpp>
#include <corvane/value_format.hpp>
#include <corvane/warning_conditions.hpp>
#include <corvane/section_status.hpp>

namespace nb = nanobind;
using namespace corvane;

namespace {

bool ends_with_any_suffix(nb::handle lowered) {
    nb::object endswith = lowered.attr("endswith");
    return truthy(endswith(nb::make_tuple(".json", ".tsv")));
}

// os.path.exists(path), asked of the system directly for a name it takes.
bool path_exists(nb::handle path) {
    nb::object encoded = system_path(path);
    if (!encoded.is_valid())
        return truthy(host_attr("os.path", "exists")(path));
    struct stat status;
    return ::stat(PyBytes_AS_STRING(encoded.ptr()), &status) == 0;
}

// The CorvaneFileParser package directory: two levels above this module's
// file, symbolic links resolved.
nb::object package_directory() {
    nb::object module_file =
        host_module(package_entry::kReportReaderBaseModule).attr("__file__");
    nb::object resolved = host_attr("pathlib", "Path")(module_file).attr("resolve")();
    return resolved.attr("parent").attr("parent");
}

// The "qc_pass" setting of a section: a mapping from field name to the list of
// values that pass; unset when absent or null.
nb::object qc_pass_setting(nb::handle config, nb::handle resource, nb::handle section) {
    nb::object setting = get(config, "qc_pass");
    if (setting.is_none())
        return nb::object();
    bool fits = PyDict_Check(setting.ptr());
    if (fits)
        entries_until(setting, [&](nb::handle field, nb::handle accepted) {
            fits = PyUnicode_Check(field.ptr()) && PyList_Check(accepted.ptr());
            return !fits;
        });
    if (!fits)
        raise_setting_error(resource, section,
                            "\"qc_pass\" must be a mapping from field name to a list of the "
                            "values that pass");
    return setting;
}

// Checks the optional settings of every section that this base reads (the
// shared value settings, "table", "qc_pass" and the warning's conditions), so
// that a resource with a setting of the wrong type fails when its reader is
// built, naming the resource and the section. Each reader checks its own.
void check_section_settings(nb::handle section_config, nb::handle resource) {
    // Remembered by the key of the warning settings, which is part of what
    // was checked.
    nb::object warning_key = package_entry::warning_key();
    CheckedSettings &checked = checked_settings(
        reinterpret_cast<const void *>(&check_section_settings), warning_key);
    if (checked.passed(section_config))
        return;
    for_each_section(section_config, [&](nb::handle name, nb::handle config) {
        ValueSettings::read(config, resource, name);
        nb::object table = get(config, "table");
        if (!table.is_none() && !PyBool_Check(table.ptr()))
            raise_setting_error(resource, name, "\"table\" must be true or false");
        qc_pass_setting(config, resource, name);
        check_condition_keys(get(config, warning_key), resource, name);
    });
    checked.remember(section_config);
}

void init_reader(nb::handle self, nb::handle section_config, nb::handle file_path,
                 nb::handle resource_name, bool kind_given) {
    nb::setattr(self, "section_config", section_config);
    // Without a name, a subclass's own class attribute stays visible.
    if (!resource_name.is_none())
        nb::setattr(self, "resource_name", resource_name);
    if (!truthy(file_path))
        raise(PyExc_ValueError, "Filename cannot be empty");
    if (!is_text(file_path))
        raise(PyExc_TypeError,
              concat_str({nb::str("Filename must be a string, got "), class_name(file_path)}));
    // A kind the caller gave wins over the name: only a name that chooses
    // the reader must end as the readers' files do.
    if (!kind_given && !ends_with_any_suffix(lower(file_path)))
        raise(PyExc_ValueError, "Filename must be in lowercase");

    nb::object path = nb::borrow(file_path);
    if (!path_exists(path)) {
        nb::object rerooted = host_attr("os.path", "join")(package_directory(), path);
        if (!path_exists(rerooted))
            raise(PyExc_FileNotFoundError,
                  concat_str({nb::str("File not found: "), rerooted}));
        path = to_str(rerooted);
    }
    nb::setattr(self, "file_path", path);
    check_section_settings(section_config, resource_name);
}

// A value that passes: equal to an accepted one of the same kind (a flag
// never stands for a number, nor a number for a flag).
bool accepted_value(nb::handle accepted, nb::handle value) {
    return iterate_until(accepted, [&](nb::handle candidate) {
        return PyBool_Check(candidate.ptr()) == PyBool_Check(value.ptr()) &&
               equals(candidate, value);
    });
}

// The sentence replacing every other when a field of the caller's quality
// verdict holds a value that does not pass; unset when the data passes.
nb::object quality_failure(nb::handle qc_pass, nb::handle data, nb::handle caller,
                           nb::handle section) {
    nb::object sentence;
    if (!is_dict_instance(data))
        return sentence;
    entries_until(qc_pass, [&](nb::handle field, nb::handle accepted) {
        if (!contains(data, field))
            return false;
        nb::object value = steal_checked(PyObject_GetItem(data.ptr(), field.ptr()));
        if (accepted_value(accepted, value))
            return false;
        nb::object shown = PyUnicode_Check(value.ptr())
                               ? value
                               : host_attr("json", "dumps")(value, nb::arg("ensure_ascii") = false);
        sentence = concat_str({interned("Based on the "), caller, interned(", the "), section,
                               interned(" result did not pass the caller's quality control ("),
                               field, interned(" = "), shown,
                               interned("); it is not interpreted")});
        return true;
    });
    return sentence;
}

// The status of a section without warning settings: not assessed when the
// file holds nothing of it (no field, or only null fields), normal otherwise.
SectionStatus data_status(nb::handle section_data) {
    if (PyList_Check(section_data.ptr()))
        return SectionStatus::Normal;
    if (!is_dict_instance(section_data))
        return section_data.is_none() ? SectionStatus::NotAssessed : SectionStatus::Normal;
    bool any_value = entries_until(section_data, [](nb::handle, nb::handle value) {
        return !value.is_none();
    });
    return any_value ? SectionStatus::Normal : SectionStatus::NotAssessed;
}

// The status a formatter's assess() reached, checked to be one it may give.
SectionStatus rules_status(nb::handle reached, nb::handle formatter) {
    for (SectionStatus status : {SectionStatus::Finding, SectionStatus::NoCall,
                                 SectionStatus::Normal, SectionStatus::NotInterpreted,
                                 SectionStatus::NotAssessed})
        if (equals(reached, status_text(status)))
            return status;
    raise(PyExc_ValueError, concat_str({class_name(formatter),
                                        interned(".assess() gave an unknown status: "),
                                        host_attr("builtins", "repr")(reached)}));
}

// name.upper(), made here for an exact str of ASCII.
nb::object upper_name(nb::handle name) {
    PyObject *p = name.ptr();
    if (!PyUnicode_CheckExact(p) || !PyUnicode_IS_ASCII(p))
        return upper(name);
    Py_ssize_t size = PyUnicode_GET_LENGTH(p);
    nb::object out = steal_checked(PyUnicode_New(size, 127));
    const Py_UCS1 *from = PyUnicode_1BYTE_DATA(p);
    Py_UCS1 *to = PyUnicode_1BYTE_DATA(out.ptr());
    for (Py_ssize_t i = 0; i < size; ++i)
        to[i] = from[i] >= 'a' && from[i] <= 'z' ? (Py_UCS1) (from[i] - 'a' + 'A') : from[i];
    return out;
}

nb::object build_result(nb::handle self, nb::handle data) {
    nb::handle caller_key = interned("caller_name"), data_key = interned("data"),
               warning_entry = interned("warning");
    nb::object section_config = self.attr("section_config");
    nb::object warning_key = package_entry::warning_key();
    nb::handle registry = package_entry::warning_registry();
    nb::handle status_entry = interned("status");
    nb::handle get_formatter_name = interned("get_formatter"), assess_name = interned("assess");
    // The sections the reader found holding nothing that was assessed.
    nb::object unassessed = nb::getattr(self, "unassessed_sections", nb::none());
    nb::dict result;
    nb::object absent = nb::steal(PyObject_CallNoArgs((PyObject *) &PyBaseObject_Type));

    entries_until(section_config, [&](nb::handle name, nb::handle config) {
        // A "fields" entry only narrows what the reader extracts: such a
        // section is taken like any other.
        nb::object title = get(config, caller_key);
        nb::object section_data = get(data, name, absent);
        bool assessed = true;
        if (section_data.is(absent)) {
            // A table section the file lacks has no rows.
            bool table = get(config, interned("table")).ptr() == Py_True;
            section_data = table ? nb::object(nb::list()) : nb::object(nb::dict());
            assessed = false;
        } else if (!unassessed.is_none() && contains(unassessed, name)) {
            assessed = false;
        }
        nb::object warning_config = get(config, warning_key);
        bool has_warning = truthy(warning_config);
        nb::object text;
        SectionStatus status = SectionStatus::NotAssessed;
        nb::object qc_pass = get(config, "qc_pass");
        nb::object qc_failure;
        if (has_warning && assessed && !qc_pass.is_none()) {
            nb::object caller = is_dict_instance(warning_config)
                                    ? get(warning_config, caller_key)
                                    : nb::none();
            qc_failure = quality_failure(qc_pass, section_data,
                                         truthy(caller) ? caller : title, name);
        }
        if (qc_failure.is_valid()) {
            text = qc_failure;
            status = SectionStatus::QcFailed;
        } else if (has_warning) {
            nb::object formatter = steal_checked(PyObject_CallMethodOneArg(
                registry.ptr(), get_formatter_name.ptr(), warning_config.ptr()));
            PyObject *assess_args[] = {formatter.ptr(), warning_config.ptr(), section_data.ptr()};
            auto [formatted, reached] = unpack_pair(steal_checked(PyObject_VectorcallMethod(
                assess_name.ptr(), assess_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
            text = formatted;
            if (assessed) {
                status = rules_status(reached, formatter);
                // Rules read fields of a mapping: the rows the reader found
                // in a table were assessed whatever the rules make of them.
                if (status == SectionStatus::NotAssessed && PyList_Check(section_data.ptr()))
                    status = SectionStatus::Normal;
            }
        } else if (assessed) {
            status = data_status(section_data);
        }

        // Names differing only in case share one entry, created with its
        // keys in their output order.
        nb::object key = upper_name(name);
        nb::object entry = get(result, key, absent);
        if (entry.is(absent)) {
            nb::dict fresh;
            fresh[data_key] = nb::dict();
            if (has_warning)
                fresh[warning_entry] = nb::dict();
            result[key] = fresh;
            entry = std::move(fresh);
        }
        set_item(entry, caller_key, title);
        set_item(entry, data_key, section_data);
        if (has_warning)
            set_item(entry, warning_entry, text);
        set_item(entry, status_entry, status_text(status));
        return false;
    });
    return std::move(result);
}

}  // namespace

NB_MODULE(ReportReaderBase, m) {
    // Loaded now, so that building a reader loads nothing on the way.
    package_entry::warning_key();
    package_entry::warning_base();
    package_entry::warning_registry();
    package_entry::value_rule();
    // The factory's announcement of a faithful copy it builds a reader on,
    // shared with the checks of every reader module (corvane/checked_settings.hpp).
    m.attr("_announced_copy") = announced_copy_capsule();
    // Annotations as text: the JsonDict alias is built from `typing` only
    // when something asks for it.
    nb::str json_dict("CorvaneFileParser.Models.JsonDict");

    nb::dict annotations;
    annotations["section_config"] = json_dict;
    annotations["file_config"] = json_dict;
    annotations["file_path"] = nb::str("str");
    annotations["resource_name"] = nb::str("str | None");
    annotations["sample"] = nb::str("str | None");
    annotations["unassessed_sections"] = nb::str("collections.abc.Set[str]");
    annotations["sample_aliases"] = nb::str("collections.abc.Sequence[str] | None");
    annotations["sample_identifiers"] = nb::str("dict[str, str] | None");

    ClassBuilder::abstract(m, "ReportReaderBase")
        .doc("Base of the readers: one caller's result file and the configuration of its\n"
             "sections (attributes file_path and section_config). parse() extracts the\n"
             "configured sections; build_result() turns them into unified entries.\n"
             "Subclasses implement parse(); a parse() that finds a section holding\n"
             "nothing that was assessed (a table of placeholder rows only) names it in\n"
             "unassessed_sections. A reader whose parse() sets sample_identifiers (field\n"
             "name -> the sample ID the file holds there) has them checked against the\n"
             "run's sample.")
        .attr("__annotations__", annotations)
        .attr("resource_name", nb::none())
        .attr("sample", nb::none())
        .attr("unassessed_sections", nb::frozenset())
        // Other names of the sample (the driver sets both from its request).
        .attr("sample_aliases", nb::none())
        // The sample identifiers the file carries, by field name, once parsed.
        .attr("sample_identifiers", nb::none())
        .method("__init__", &init_reader, nb::arg("section_config").none(),
                nb::arg("file_path").none(), nb::kw_only(),
                nb::arg("resource_name").none() = nb::none(), nb::arg("kind_given") = false,
                nb::sig("def __init__(self, section_config: collections.abc.Mapping[str,"
                        " typing.Any], file_path: str, *, resource_name: str | None = None,"
                        " kind_given: bool = False) -> None"),
                "section_config maps each section name to its settings (\"caller_name\",\n"
                "the reader's selection settings, optionally \"warning\"). file_path is\n"
                "checked, not read: a path that does not exist is looked up relative to\n"
                "the package directory. resource_name, the configuration resource's file\n"
                "name, is kept as an attribute and named in errors about bad settings.\n\n"
                "kind_given: the caller gave the file's kind (--input, \"input_kinds\"),\n"
                "so its name need not end in .json or .tsv.\n\n"
                "Raises ValueError for an empty path or, without kind_given, one not\n"
                "ending in .json or .tsv (any case), TypeError when it is not a str, FileNotFoundError when the\n"
                "file exists in neither place.")
        .abstract_method("parse", [](nb::handle) { return nb::none(); },
                         nb::sig("def parse(self) -> CorvaneFileParser.Models.JsonDict"),
                         "Reads file_path and returns the extracted data of each configured\n"
                         "section found, keyed by section name, every value normalised.\n"
                         "Raises OSError when the file cannot be read and ValueError for\n"
                         "malformed content.")
        .method("build_result", &build_result, nb::arg("data").none(),
                nb::sig("def build_result(self, data: collections.abc.Mapping[str, typing.Any])"
                        " -> CorvaneFileParser.Models.JsonDict"),
                "Builds the unified entries from parse()'s data: for every configured\n"
                "section, in configuration order, the upper-cased name maps to\n"
                "{\"data\": its data ({} when absent), \"warning\": the formatted text (only\n"
                "for sections with warning settings), \"caller_name\": from the settings,\n"
                "\"status\": what was assessed}. The status is \"not_assessed\" for a\n"
                "section absent from data or named in unassessed_sections (set by parse());\n"
                "\"qc_failed\" when a field of the section's \"qc_pass\" holds a value not\n"
                "listed (its sentence replaces the warning); else the warning formatter's\n"
                "assess() status, or for a section without warning settings \"normal\"\n"
                "unless its data holds no value (\"not_assessed\"). Raises ValueError or\n"
                "TypeError for bad warning settings.")
        .static_method("_format_value", [](nb::handle v) { return format_value(v); },
                       nb::arg("v").none())
        .finish();
}
