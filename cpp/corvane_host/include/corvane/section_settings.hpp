// The value settings of a section of a reader configuration, and the errors
// naming a resource and section for a setting of the wrong kind.
#pragma once

#include <nanobind/nanobind.h>
#include <corvane/value_format.hpp>

#include <functional>

namespace corvane {

namespace nb = nanobind;

// ValueError "<resource>: section '<section>': <what>"; a None resource reads
// "reader configuration".
[[noreturn]] void raise_setting_error(nb::handle resource, nb::handle section, const char *what);
[[noreturn]] void raise_setting_error(nb::handle resource, nb::handle section, nb::handle what);

// Calls `fn(name, settings)` for every section of a reader configuration whose
// settings are a mapping.
void for_each_section(nb::handle section_config,
                      const std::function<void(nb::handle, nb::handle)> &fn);

// The __init__ of a reader subclassing ReportReaderBase: the base's, then
// `check(settings, resource, section)` for every section, so that each reader
// checks the settings only it reads. `doc` names them (a literal).
nb::object reader_init(void (*check)(nb::handle, nb::handle, nb::handle), const char *doc);

// The setting `key` of a section configuration that must be a list of str:
// the list, or an unset object when it is absent or null; anything else
// raises raise_setting_error with `what`.
nb::object text_list_setting(nb::handle config, const char *key, nb::handle resource,
                             nb::handle section, const char *what);

// The optional value settings of one section of a reader configuration:
//   "text_fields"  names whose values stay text (no number or boolean conversion);
//                  the name "*" stands for every field of the section;
//   "decimals"     rounding places: an int or null (keep as parsed), for the
//                  section or as a mapping from name to such a value; default 2;
//   "null_values"  texts that mean "no value" in this section;
//   "keep_as_written"  names whose whole value is kept as the file holds it
//                  (keep_as_written() above), before every other setting.
// They apply to a section's top-level fields and table columns; nested values
// keep format_value's rules. Without settings the result is format_value's.
struct TextSpan;  // corvane/tsv_tokenizer.hpp

class ValueSettings {
public:
    // How one field or column is formatted.
    struct Rule {
        int places = 2;
        bool text = false;
        bool keep = false;  // kept as written
    };

    ValueSettings() = default;
    // Reads and checks the settings of the section configuration `config`; a
    // setting of the wrong type raises ValueError naming resource and section.
    static ValueSettings read(nb::handle config, nb::handle resource, nb::handle section);

    bool is_default() const {
        return !text_fields_.is_valid() && !null_values_.is_valid() &&
               !keep_as_written_.is_valid() && !places_by_name_.is_valid() &&
               default_places_ == 2;
    }
    bool has_null_values() const { return null_values_.is_valid(); }
    // These settings as read from the configuration without "null_values".
    ValueSettings without_null_values() const {
        ValueSettings others = *this;
        others.null_values_ = nb::object();
        return others;
    }

    Rule rule_for(nb::handle name) const;
    // The formatted value under `rule`: a text in null_values becomes None; a
    // text field keeps its stripped text; the rest is format_scalar's. A
    // field kept as written is keep_as_written()'s.
    nb::object apply(const Rule &rule, nb::handle value, NonFiniteNotes *notes = nullptr) const;
    // apply() for an exact str that is already stripped: no second strip. A
    // cell kept as written stays that text (an empty one is None).
    nb::object apply_stripped(const Rule &rule, nb::handle text) const;
    // apply_stripped() for stripped UTF-8 text not yet made a str: a plain
    // number outside text fields and null values is read from the bytes.
    nb::object apply_stripped_utf8(const Rule &rule, const TextSpan &text) const;
    nb::object format_field(nb::handle name, nb::handle value,
                            NonFiniteNotes *notes = nullptr) const {
        return apply(rule_for(name), value, notes);
    }
    // `text` (a str) is one of this section's null values once stripped.
    bool is_null_text(nb::handle text) const;

private:
    static ValueSettings read_uncached(nb::handle config, nb::handle resource, nb::handle section);
    // A text field's value: None for an empty text or a null word.
    static nb::object text_value(nb::handle stripped);

    nb::object text_fields_;     // frozenset of names, or unset
    nb::object null_values_;     // frozenset of texts, or unset
    nb::object keep_as_written_;  // frozenset of names, or unset
    nb::object places_by_name_;  // dict name -> int | None, or unset
    int default_places_ = 2;
};

}  // namespace corvane
