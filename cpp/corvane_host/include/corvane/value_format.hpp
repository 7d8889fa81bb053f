// The readers' value formatter: numbers, flags and nulls out of text, with the
// host's int(), float() and round() results; values of record kept.
#pragma once

#include <nanobind/nanobind.h>
#include <vector>

namespace corvane {

namespace nb = nanobind;

// Where the formatter met numbers that have no JSON spelling (NaN and the
// infinities a JSON document may hold): each becomes None, and a reader that
// names them in its warnings passes one of these to collect where they were.
class NonFiniteNotes {
public:
    struct Note {
        std::vector<nb::object> reversed_path;  // innermost key or index first
        double value;
    };

    size_t size() const { return notes_.size(); }
    const std::vector<Note> &notes() const { return notes_; }
    void add(double value) { notes_.push_back({{}, value}); }
    // Puts `segment` (a key, or an int index) in front of the paths of the
    // notes taken since `mark`.
    void prefix_since(size_t mark, nb::handle segment) {
        for (size_t i = mark; i < notes_.size(); ++i)
            notes_[i].reversed_path.push_back(nb::borrow(segment));
    }
    // The path of a note as text: its segments joined by ".".
    static nb::str path_text(const Note &note);
    // "NaN", "Infinity" or "-Infinity": how a JSON document spells the value.
    static const char *spelling(double value);

private:
    std::vector<Note> notes_;
};

// The readers' value formatter: booleans, nulls, integers and decimals
// (rounded to two places) out of text; mappings and lists rebuilt. Plain
// numbers are read in C++ with the results of the host's int(), float() and
// round(); any other text goes to those functions themselves. Two exceptions
// to those functions keep values of record: a text of digits (an optional
// sign) becomes an int only without a leading zero (other than "0" itself)
// and with at most 15 digits, and a text whose number is not finite ("nan",
// "inf", "1e999") stays text. A float that is not finite becomes None, noted
// in `notes` when given.
nb::object format_value(nb::handle value, NonFiniteNotes *notes = nullptr);

// A value format_value is known to return as it is, told without calling it:
// None, a bool, an exact int, or an exact ASCII str beginning with a letter
// that starts none of the words it converts (true, false, none, null, inf,
// infinity, nan), which int() and float() refuse. False means "not known".
bool format_keeps(PyObject *value);

// Decimal places meaning "keep the number as parsed".
constexpr int kKeepPlaces = -1000000;

// format_value for one top-level value, with decimals rounded to `places`
// (kKeepPlaces: not rounded). Mappings and lists keep format_value's rules.
nb::object format_scalar(nb::handle value, int places, NonFiniteNotes *notes = nullptr);

// A value kept exactly as the document holds it: mappings and lists copied
// item by item (an empty list stays a list), texts never converted; only a
// float that is not finite becomes None, noted in `notes` when given.
nb::object keep_as_written(nb::handle value, NonFiniteNotes *notes = nullptr);

}  // namespace corvane
