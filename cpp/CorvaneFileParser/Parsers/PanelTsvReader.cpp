// Reader of the tumour panel's sectioned combined variant output table.
//
// The file is streamed through the host's csv reader; each row is cleaned,
// classified and (for configured sections only) turned into values here in
// C++, so a row of an unconfigured section costs one scan for its first
// non-blank cell and nothing else.
#include <corvane/host.hpp>

#include <optional>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace corvane;

namespace {

// Half-open range of a cell after str.strip(): start == end means blank.
struct Span {
    Py_ssize_t start = 0, end = 0;
    bool empty() const { return start >= end; }
};

// The code-point range that str.strip() (no argument) keeps.
Span strip_span(PyObject *cell) {
    int kind = PyUnicode_KIND(cell);
    const void *data = PyUnicode_DATA(cell);
    Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(cell);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start)))
        ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1)))
        --end;
    return {start, end};
}

nb::object substring(PyObject *cell, Span span) {
    return steal_checked(PyUnicode_Substring(cell, span.start, span.end));
}

bool is_bracket(Py_UCS4 ch) { return ch == '[' || ch == ']'; }

// The rows the csv reader yields are lists of str; anything else is refused
// rather than trusted.
PyObject *cell_at(PyObject *row, Py_ssize_t i) {
    PyObject *cell = PySequence_Fast_GET_ITEM(row, i);
    if (!PyUnicode_Check(cell))
        raise(PyExc_TypeError, "csv row cells must be str");
    return cell;
}

// State of one streaming read. Only the occurrence of the section being read
// matters: entering any configured section starts it afresh, so one set of
// header and settings fields stands for the per-section tables.
class SectionParser {
public:
    SectionParser(nb::handle self, nb::handle sections) : self_(self), sections_(sections) {}

    void feed(nb::handle raw_row) {
        nb::object row = steal_checked(PySequence_Fast(raw_row.ptr(), "csv row must be a sequence"));
        PyObject *r = row.ptr();
        Py_ssize_t n = PySequence_Fast_GET_SIZE(r);
        if (n == 0)
            return;
        PyObject *first = cell_at(r, 0);
        if (PyUnicode_GET_LENGTH(first) > 0 && PyUnicode_READ_CHAR(first, 0) == '#')
            return;

        // The first cell of the clean row: the first raw cell not blank.
        Py_ssize_t lead = 0;
        Span lead_span;
        for (; lead < n; ++lead) {
            lead_span = strip_span(cell_at(r, lead));
            if (!lead_span.empty())
                break;
        }
        if (lead == n)
            return;

        PyObject *lead_cell = PySequence_Fast_GET_ITEM(r, lead);
        if (PyUnicode_READ_CHAR(lead_cell, lead_span.start) == '[' &&
            PyUnicode_READ_CHAR(lead_cell, lead_span.end - 1) == ']') {
            enter_section(lead_cell, lead_span);
            return;
        }
        if (!current_.is_valid())
            return;
        if (in_table_)
            add_record(r, n);
        else
            key_value_or_header(r, n, lead, lead_span);
    }

    nb::dict take_result() { return std::move(result_); }

private:
    void enter_section(PyObject *cell, Span span) {
        while (span.start < span.end && is_bracket(PyUnicode_READ_CHAR(cell, span.start)))
            ++span.start;
        while (span.end > span.start && is_bracket(PyUnicode_READ_CHAR(cell, span.end - 1)))
            --span.end;
        nb::object name = substring(cell, span);

        if (!contains(sections_, name)) {
            current_ = nb::object();
            return;
        }
        nb::object config = steal_checked(PyObject_GetItem(sections_.ptr(), name.ptr()));
        auto [fields, include_all] = unpack_pair(self_.attr("_extract_fields")(config));

        current_ = name;
        fields_ = std::move(fields);
        include_all_ = std::move(include_all);
        include_all_truth_.reset();
        entry_ = nb::dict();
        result_[name] = entry_;
        in_table_ = false;
        columns_.clear();
        rows_ = nb::list();
    }

    bool include_all() {
        if (!include_all_truth_)
            include_all_truth_ = truthy(include_all_);
        return *include_all_truth_;
    }

    // A row of a section that has no header row yet: two non-blank cells, or
    // a non-blank first cell followed only by blank cells, make a key and its
    // value; any other row is the header row.
    void key_value_or_header(PyObject *r, Py_ssize_t n, Py_ssize_t lead, Span lead_span) {
        Py_ssize_t second = -1;
        Span second_span;
        bool more = false;
        for (Py_ssize_t i = lead + 1; i < n; ++i) {
            Span span = strip_span(cell_at(r, i));
            if (span.empty())
                continue;
            if (second >= 0) {
                more = true;
                break;
            }
            second = i;
            second_span = span;
        }

        bool key_value = second >= 0 ? !more : (lead == 0 && n >= 2);
        if (!key_value) {
            start_table(r, n);
            return;
        }
        nb::object key = substring(PySequence_Fast_GET_ITEM(r, lead), lead_span);
        if (!include_all() && !contains(fields_, key))
            return;
        // A key with an empty value cell is kept with the formatted empty text.
        nb::object value = second >= 0
            ? format_value(substring(PySequence_Fast_GET_ITEM(r, second), second_span))
            : nb::none();
        set_item(entry_, key, value);
    }

    // The header row names columns by their raw position, so a blank data
    // cell cannot shift later cells onto the wrong column.
    void start_table(PyObject *r, Py_ssize_t n) {
        nb::object allowed;
        if (!include_all() && truthy(fields_))
            allowed = steal_checked(PySet_New(fields_.ptr()));

        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *cell = cell_at(r, i);
            Span span = strip_span(cell);
            if (span.empty())
                continue;
            nb::object name = substring(cell, span);
            if (allowed.is_valid()) {
                int found = PySet_Contains(allowed.ptr(), name.ptr());
                if (found < 0)
                    raise_pending();
                if (!found)
                    continue;
            }
            columns_.emplace_back(i, std::move(name));
        }

        // Key-value pairs already kept stay; the records go under "rows".
        if (PyDict_GET_SIZE(entry_.ptr()) == 0)
            result_[current_] = rows_;
        else
            entry_[interned("rows")] = rows_;
        in_table_ = true;
    }

    void add_record(PyObject *r, Py_ssize_t n) {
        if (columns_.empty())
            return;
        nb::dict record;
        for (const auto &[index, name] : columns_) {
            nb::object value;
            if (index < n) {
                PyObject *cell = cell_at(r, index);
                Span span = strip_span(cell);
                if (!span.empty())
                    value = format_value(substring(cell, span));
            }
            if (PyDict_SetItem(record.ptr(), name.ptr(),
                               value.is_valid() ? value.ptr() : Py_None) < 0)
                raise_pending();
        }
        if (PyList_Append(rows_.ptr(), record.ptr()) < 0)
            raise_pending();
    }

    nb::handle self_, sections_;
    nb::dict result_;

    nb::object current_;  // invalid while outside any configured section
    nb::dict entry_;      // the current section's mapping in result_
    nb::object fields_, include_all_;
    std::optional<bool> include_all_truth_;
    bool in_table_ = false;
    std::vector<std::pair<Py_ssize_t, nb::object>> columns_;  // raw index, name
    nb::list rows_;
};

nb::object load_and_parse_sections(nb::handle self, nb::handle sections) {
    nb::object path = self.attr("file_path");
    nb::object file = host_attr("builtins", "open")(
        path, "r", nb::arg("encoding") = "utf-8-sig", nb::arg("newline") = "");
    SectionParser parser(self, sections);
    try {
        nb::object reader = host_attr("csv", "reader")(file, nb::arg("delimiter") = "\t");
        while (PyObject *row = PyIter_Next(reader.ptr()))
            parser.feed(nb::steal(row));
        if (PyErr_Occurred())
            raise_pending();
    } catch (...) {
        // The read's own error is the one to report; a failing close of a
        // file opened for reading would add nothing.
        nb::object closed = nb::steal(PyObject_CallMethod(file.ptr(), "close", nullptr));
        if (!closed.is_valid())
            PyErr_Clear();
        throw;
    }
    file.attr("close")();
    return parser.take_result();
}

nb::object prepare_configs(nb::handle, nb::handle config) {
    nb::dict prepared;
    entries_until(config, [&](nb::handle name, nb::handle section) {
        prepared[name] = section;
        return false;
    });
    return std::move(prepared);
}

nb::object extract_fields(nb::handle, nb::handle cfg) {
    nb::handle section_config = host_attr("CorvaneFileParser.Models", "SectionConfig");
    int is_section_config = PyObject_IsInstance(cfg.ptr(), section_config.ptr());
    if (is_section_config < 0)
        raise_pending();
    if (is_section_config) {
        nb::object fields = cfg.attr("fields");
        if (!truthy(fields))
            fields = nb::dict();
        return nb::make_tuple(fields, cfg.attr("include_all_fields"));
    }

    nb::object fields = get(cfg, "fields");
    if (!truthy(fields))
        fields = nb::dict();
    nb::object include_all = get(cfg, "include_all_fields", nb::bool_(false));

    nb::dict copied;
    entries_until(fields, [&](nb::handle key, nb::handle value) {
        copied[key] = value;
        return false;
    });
    nb::dict names;
    for_each(copied, [&](nb::handle key) { names[key] = nb::none(); });
    return nb::make_tuple(names, include_all);
}

nb::object parse(nb::handle self) {
    nb::object prepared = self.attr("_prepare_configs")(self.attr("section_config"));
    return self.attr("_load_and_parse_sections")(prepared);
}

}  // namespace

NB_MODULE(PanelTsvReader, m) {
    nb::object base = import_attr("CorvaneFileParser.Parsers.ReportReaderBase", "ReportReaderBase");
    nb::module_::import_("CorvaneFileParser.Models");
    host_module("csv");

    ClassBuilder::plain(m, "PanelTsvReader", {base})
        .doc("Parser for CombinedVariantOutput TSV.\n"
             "Reads only configured sections and fields, streaming parse inside loader.")
        .method("parse", &parse,
                nb::sig("def parse(self) -> CorvaneFileParser.Models.JsonDict"),
                "Reads the sectioned table ([Section] lines, each followed by key-value\n"
                "rows or by a table) and returns the configured sections found, keyed by\n"
                "section name: a key-value section (or a table of exactly two columns) as\n"
                "a mapping of its \"fields\", a table section as a list of row mappings;\n"
                "\"include_all_fields\" keeps everything. Raises OSError when the file\n"
                "cannot be read.")
        .method("_prepare_configs", &prepare_configs, nb::arg("config").none())
        .method("_load_and_parse_sections", &load_and_parse_sections,
                nb::arg("sections").none())
        .method("_extract_fields", &extract_fields, nb::arg("cfg").none())
        .finish();
}
