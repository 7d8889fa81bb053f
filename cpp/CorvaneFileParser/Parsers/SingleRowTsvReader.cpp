// Reader of callers that write their result as one TSV row under one header
// row (the SMN and GBA callers). A batch file holds one row per sample: the
// reader's `sample` picks the row whose first column names that sample (its
// ID, else one of its `sample_aliases`, else a longer name that starts with
// either, such as a BAM-style "S50.final").
#include <corvane/c_api.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_io.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/section_settings.hpp>
#include <corvane/tsv_tokenizer.hpp>
#include <corvane/sample_identity.hpp>

#include <cstring>

namespace nb = nanobind;
using namespace corvane;

namespace {

// One line without its line ending, split on tabs, each field stripped.
nb::list split_fields(nb::handle line) {
    nb::object body = steal_checked(
        PyObject_CallMethodOneArg(line.ptr(), interned("rstrip").ptr(), interned("\r\n").ptr()));
    nb::list fields = nb::steal<nb::list>(
        steal_checked(PyUnicode_Split(body.ptr(), interned("\t").ptr(), -1)).release());
    nb::handle strip = interned("strip");
    for (Py_ssize_t i = 0; i < (Py_ssize_t) fields.size(); ++i)
        fields[i] = steal_checked(
            PyObject_CallMethodNoArgs(PyList_GET_ITEM(fields.ptr(), i), strip.ptr()));
    return fields;
}

// The line holds nothing but white space; with `tab_is_text`, a tab (a field
// separator, so a row of empty fields) does not count as white space.
bool is_white(PyObject *line, bool tab_is_text) {
    int kind = PyUnicode_KIND(line);
    const void *data = PyUnicode_DATA(line);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(line); i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if ((tab_is_text && c == '\t') || !Py_UNICODE_ISSPACE(c))
            return false;
    }
    return true;
}

// The first field of a line, stripped: the sample ID of a batch row.
nb::object first_field(PyObject *line) {
    Py_ssize_t size = PyUnicode_GET_LENGTH(line);
    Py_ssize_t tab = PyUnicode_FindChar(line, '\t', 0, size, 1);
    if (tab == -2)
        raise_pending();
    nb::object field = steal_checked(PyUnicode_Substring(line, 0, tab < 0 ? size : tab));
    return steal_checked(PyObject_CallMethodNoArgs(field.ptr(), interned("strip").ptr()));
}

constexpr Py_ssize_t kIdsShown = 10;

// The rows that name the sample equally closely: the first of them, how
// many there are and their distinct first columns (the first few).
struct Candidates {
    nb::object row;
    Py_ssize_t count = 0;
    nb::list ids;

    void add(nb::object line, nb::handle id) {
        if (++count == 1)
            row = std::move(line);
        if (!contains(ids, id) && (Py_ssize_t) ids.size() < kIdsShown)
            ids.append(id);
    }
};

// What the file holds: its header line, the row to read (unset when there is
// none) and how many rows there are (for a sample: the rows naming it, by
// how closely they do).
struct FileRows {
    nb::object header;
    nb::object row;
    Py_ssize_t rows = 0;
    Candidates by_match[4];  // indexed by SampleMatch
    nb::list other_ids;  // the first few sample IDs, for the not-found message
    nb::object content;  // the file's bytes when it was small enough to read whole
};

// Reads the file as UTF-8 (a byte-order mark ignored). Lines of white space
// before the header and blank lines after it are not rows. Only the chosen
// row is kept; the others are counted.
// The lines of a small file's bytes as its text file gives them (UTF-8, a
// leading byte-order mark dropped, each line up to and with its "\n"), when
// that reading is plain: valid UTF-8 without a carriage return. Unset
// otherwise, for the text file itself to read (its newlines, its errors).
nb::object plain_lines(nb::handle content) {
    if (!PyBytes_CheckExact(content.ptr()))
        return nb::object();
    const char *data = PyBytes_AS_STRING(content.ptr());
    Py_ssize_t size = PyBytes_GET_SIZE(content.ptr());
    if (std::memchr(data, '\r', (size_t) size))
        return nb::object();
    Py_ssize_t start = size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    PyObject *decoded = PyUnicode_DecodeUTF8(data + start, size - start, "strict");
    if (!decoded) {
        PyErr_Clear();
        return nb::object();
    }
    nb::object text = nb::steal(decoded);
    Py_ssize_t length = PyUnicode_GET_LENGTH(decoded);
    nb::list lines;
    for (Py_ssize_t at = 0; at < length;) {
        Py_ssize_t end = PyUnicode_FindChar(decoded, '\n', at, length, 1);
        if (end == -2)
            raise_pending();
        end = end < 0 ? length : end + 1;
        lines.append(steal_checked(PyUnicode_Substring(decoded, at, end)));
        at = end;
    }
    return std::move(lines);
}

FileRows read_rows(nb::handle path, nb::handle sample, nb::handle aliases) {
    FileRows found;
    // A small file is read whole and its lines taken as the text file gives
    // them (same decoding, same line ends, same errors); a large one is
    // streamed.
    found.content = read_small_file_bytes(path, kLargestKeptSource);
    nb::object file;
    if (found.content.is_valid())
        file = plain_lines(found.content);
    if (!file.is_valid())
        file = found.content.is_valid()
                   ? host_attr("io", "TextIOWrapper")(host_attr("io", "BytesIO")(found.content),
                                                      nb::arg("encoding") = "utf-8-sig")
                   : host_attr("builtins", "open")(path, "r", nb::arg("encoding") = "utf-8-sig");
    bool text_file = !PyList_CheckExact(file.ptr());
    try {
        nb::object lines = steal_checked(PyObject_GetIter(file.ptr()));
        size_t line_number = 0;
        while (PyObject *raw = PyIter_Next(lines.ptr())) {
            nb::object line = nb::steal(raw);
            if (!PyUnicode_Check(raw))
                raise(PyExc_TypeError, "a text file must give str lines");
            ++line_number;
            Py_ssize_t nul = PyUnicode_FindChar(raw, 0, 0, PyUnicode_GET_LENGTH(raw), 1);
            if (nul == -2)
                raise_pending();
            if (nul >= 0)
                raise_nul_byte(to_str(path), line_number);
            if (!found.header.is_valid()) {
                if (!is_white(raw, false))
                    found.header = std::move(line);
                continue;
            }
            if (is_white(raw, true))
                continue;
            ++found.rows;
            if (sample.is_none()) {
                if (!found.row.is_valid())
                    found.row = std::move(line);
                continue;
            }
            nb::object id = first_field(raw);
            SampleMatch match = match_sample(id, sample, aliases);
            if (match != SampleMatch::kNone)
                found.by_match[(int) match].add(std::move(line), id);
            else if ((Py_ssize_t) found.other_ids.size() < kIdsShown)
                found.other_ids.append(id);
        }
        if (PyErr_Occurred())
            raise_pending();
    } catch (...) {
        if (text_file)
            file.attr("close")();
        throw;
    }
    if (text_file)
        file.attr("close")();
    return found;
}

// The rows that name the sample most closely: those holding its ID, else an
// alias, else a name that starts with either. Rows of one name repeated are
// read from the first, with a warning; rows of different names are an error.
Candidates *closest_rows(FileRows &found, nb::handle path, nb::handle sample) {
    for (int match : {(int) SampleMatch::kExact, (int) SampleMatch::kAlias,
                      (int) SampleMatch::kPrefix}) {
        Candidates &rows = found.by_match[match];
        if (rows.count == 0)
            continue;
        if (rows.ids.size() > 1) {
            nb::object ids = steal_checked(PyUnicode_Join(interned(", ").ptr(), rows.ids.ptr()));
            raise(PyExc_ValueError,
                  concat_str({path, interned(": "), nb::int_(rows.count),
                              interned(" rows may be sample '"), sample, interned("' ("), ids,
                              interned("); name its row's ID as an alias")}));
        }
        if (rows.count > 1)
            log_warning(concat_str({path, interned(": "), nb::int_(rows.count),
                                    interned(" rows for sample '"), sample,
                                    interned("'; reading the first")}));
        return &rows;
    }
    return nullptr;
}

// The header and the row of the file to read, as their fields, and whether
// there was a row; a warning when the choice is not evident, an error when
// the file is empty or lacks the sample.
struct ChosenRow {
    nb::list headers, values;
    bool found;
    nb::object content;  // as FileRows
};

ChosenRow chosen_fields(nb::handle path, nb::handle sample, nb::handle aliases) {
    if (!sample.is_none() && !is_text(sample))
        raise(PyExc_TypeError, concat_str({interned("sample must be a str, got "),
                                           class_name(sample)}));
    FileRows found = read_rows(path, sample, sample.is_none() ? nb::none() : aliases);
    if (!found.header.is_valid())
        raise(PyExc_ValueError, concat_str({interned("Input file is empty: "), path}));
    Candidates *chosen = sample.is_none() ? nullptr : closest_rows(found, path, sample);
    if (sample.is_none()) {
        if (found.rows > 1)
            log_warning(concat_str({path, interned(": "), to_str(nb::int_(found.rows)),
                                    interned(" data rows; reading the first (a sample ID "
                                             "chooses another)")}));
    } else if (!chosen) {
        nb::object ids = steal_checked(
            PyUnicode_Join(interned(", ").ptr(), found.other_ids.ptr()));
        const char *more = found.rows > (Py_ssize_t) found.other_ids.size() ? ", ..." : "";
        raise(PyExc_ValueError,
              concat_str({interned("Sample '"), sample, interned("' not found in "), path,
                          interned(" (first column of its "), nb::int_(found.rows),
                          interned(" data rows: "), ids, nb::str(more), interned(")")}));
    } else {
        found.row = chosen->row;
    }
    // A header without a row reads as one empty value, as it always has.
    nb::object row = found.row.is_valid() ? found.row : nb::object(nb::str(""));
    return {split_fields(found.header), split_fields(row), found.row.is_valid(),
            std::move(found.content)};
}

// The configured section whose name, lower-cased, is the file name without
// its last extension; the first section otherwise.
nb::object caller_name_for(nb::handle file_path, nb::handle section_config) {
    nb::object base = host_attr("os.path", "basename")(file_path);
    nb::object stem = host_attr("os.path", "splitext")(base)[0];
    nb::str wanted = lower(stem);

    nb::object chosen;
    iterate_until(section_config.attr("keys")(), [&](nb::handle key) {
        if (!equals(lower(key), wanted))
            return false;
        chosen = nb::borrow(key);
        return true;
    });
    if (chosen.is_valid() && truthy(chosen))
        return chosen;

    nb::object first_it = steal_checked(PyObject_GetIter(section_config.ptr()));
    PyObject *first = PyIter_Next(first_it.ptr());
    if (!first) {
        if (!PyErr_Occurred())
            PyErr_SetNone(PyExc_StopIteration);
        raise_pending();
    }
    return nb::steal(first);
}

nb::object parse(nb::handle self) {
    nb::object file_path = self.attr("file_path");
    auto [headers, values, found, content] = chosen_fields(
        file_path, self.attr("sample"), nb::getattr(self, "sample_aliases", nb::none()));
    if (content.is_valid())
        keep_source_bytes(self, file_path, content);
    // The row's first column names its sample.
    nb::dict identifiers;
    if (headers.size() > 0 && values.size() > 0 && truthy(values[0]))
        identifiers[headers[0]] = values[0];
    nb::setattr(self, "sample_identifiers", identifiers);

    // The row is filed under one section, whose value settings apply.
    nb::object section_config = self.attr("section_config");
    nb::object caller_name = caller_name_for(file_path, section_config);
    nb::object config = steal_checked(PyObject_GetItem(section_config.ptr(), caller_name.ptr()));
    ValueSettings settings = ValueSettings::read(
        config, nb::getattr(self, "resource_name", nb::none()), caller_name);

    nb::dict parsed;
    size_t count = std::min(headers.size(), values.size());
    for (size_t i = 0; i < count; ++i) {
        // split_fields stripped every field already.
        nb::object header = headers[i];
        parsed[header] = settings.apply_stripped(settings.rule_for(header), values[i]);
    }

    // A header without a row: the caller assessed nothing for this file.
    nb::object unassessed = nb::frozenset();
    if (!found)
        unassessed = steal_checked(PyFrozenSet_New(nb::make_tuple(caller_name).ptr()));
    nb::setattr(self, "unassessed_sections", unassessed);

    nb::dict result;
    result[caller_name] = parsed;
    return std::move(result);
}

}  // namespace

NB_MODULE(SingleRowTsvReader, m) {
    nb::handle base = package_entry::report_reader_base();
    package_entry::models();

    ClassBuilder::plain(m, "SingleRowTsvReader", {base})
        .doc("Reader of a caller's one-row TSV (SMN and GBA copy-number callers).\n\n"
             "The header row names the columns of the sample row; the section whose name\n"
             "equals the file name without its extension (case ignored) receives the row,\n"
             "otherwise the first configured section. The class attribute sample (None\n"
             "by default) names the sample whose row is read from a multi-row file: the\n"
             "row whose first column is that ID, else one of sample_aliases, else the\n"
             "one row whose first column starts with either followed by '_', '-' or '.'.\n"
             "After parse(), sample_identifiers maps the first column's name to the\n"
             "row's value there.")
        .attr("is_tsv_parser", nb::bool_(true))
        .method("parse", &parse,
                nb::sig("def parse(self) -> CorvaneFileParser.Models.JsonDict"),
                "Reads the header and sample rows and returns {section name: {column:\n"
                "normalised value}}; a header without a row names the section in\n"
                "unassessed_sections. Raises OSError when the file cannot be read and\n"
                "ValueError when it holds no sample row.")
        .finish();
}
