// Reader of the tumour panel's sectioned combined variant output table.
//
// The file's bytes are split into records here in C++ with the host csv
// reader's rules (see corvane/tsv_tokenizer.hpp); each record is cleaned,
// classified and, for configured sections only, turned into values. A row
// of an unconfigured section costs one scan for its first non-blank cell and
// makes no Python object.
#include <corvane/c_api.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_io.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/section_settings.hpp>
#include <corvane/tsv_tokenizer.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace corvane;

namespace {

bool is_bracket(char ch) { return ch == '[' || ch == ']'; }

bool equals_folded(TextSpan text, const char *word) {
    return ascii_equals_folded(text.data, text.size, word);
}

// The "required_columns" setting of a section (checked when the reader was
// built): a tuple of names, or unset.
nb::object required_columns(nb::handle config, nb::handle resource, nb::handle section) {
    if (!PyDict_Check(config.ptr()))
        return nb::object();
    nb::object names = text_list_setting(config, "required_columns", resource, section,
                                         "\"required_columns\" must be a list of column names");
    if (!names.is_valid())
        return names;
    return steal_checked(PySequence_Tuple(names.ptr()));
}

// The "null_values" texts of a section as UTF-8, for comparing raw cells. A
// text that cannot be UTF-8 (a lone surrogate) can match no cell of a file.
std::vector<std::string> null_texts(nb::handle config) {
    std::vector<std::string> texts;
    if (!PyDict_Check(config.ptr()))
        return texts;
    nb::object values = get(config, "null_values");
    if (!PyList_Check(values.ptr()))
        return texts;
    for_each(values, [&](nb::handle text) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_Check(text.ptr()) ? PyUnicode_AsUTF8AndSize(text.ptr(), &size)
                                                       : nullptr;
        if (utf8)
            texts.emplace_back(utf8, (size_t) size);
        else
            PyErr_Clear();
    });
    return texts;
}

// Formatted values of the texts met in one table column, so that a text
// repeated down a column (a chromosome, a base, a consequence) is decoded and
// formatted once. Equal texts format to equal values, and only immutable
// values are remembered, so records may share them. A column whose texts
// seldom repeat stops remembering; a short table never starts.
class ColumnMemo {
public:
    // Only the first kColumns columns of a table remember, bounding the
    // memory of a very wide table.
    static constexpr size_t kColumns = 32;

    explicit ColumnMemo(bool enabled) : enabled_(enabled) {}

    // The value remembered for `text`, or nullptr.
    PyObject *find(TextSpan text) {
        if (!enabled_ || text.size > kMaxText)
            return nullptr;
        if (++lookups_ == kTrial && hits_ * 4 < lookups_) {
            enabled_ = false;
            slots_.reset();
            texts_.clear();
            return nullptr;
        }
        if (!slots_)
            return nullptr;
        Key key(text);
        for (size_t i = key.home();; i = (i + 1) & (kSlots - 1)) {
            const Slot &slot = slots_[i];
            if (!slot.value.is_valid())
                return nullptr;
            if (slot.key == key && (text.size <= kMaxInlineText ||
                                    std::memcmp(texts_.data() + slot.text_offset, text.data,
                                                text.size) == 0)) {
                ++hits_;
                return slot.value.ptr();
            }
        }
    }

    // The two words of the key of `text` (tests build colliding texts with it).
    static std::pair<uint64_t, uint64_t> key_words(TextSpan text) {
        Key key(text);
        return {key.words[0], key.words[1]};
    }

    void remember(TextSpan text, nb::handle value) {
        if (!enabled_ || text.size > kMaxText || used_ >= kLimit || lookups_ < kWarmUp)
            return;
        // A NaN is not shared: records holding one must not compare equal.
        PyObject *p = value.ptr();
        bool immutable = p == Py_None || PyBool_Check(p) || PyLong_CheckExact(p) ||
                         PyUnicode_CheckExact(p) ||
                         (PyFloat_CheckExact(p) && !std::isnan(PyFloat_AS_DOUBLE(p)));
        if (!immutable)
            return;
        if (!slots_)
            slots_.reset(new Slot[kSlots]);
        Key key(text);
        size_t i = key.home();
        while (slots_[i].value.is_valid())
            i = (i + 1) & (kSlots - 1);
        slots_[i].key = key;
        if (text.size > kMaxInlineText) {
            slots_[i].text_offset = (uint32_t) texts_.size();
            texts_.append(text.data, text.size);
        }
        slots_[i].value = nb::borrow(value);
        ++used_;
    }

private:
    static constexpr size_t kMaxInlineText = 15, kMaxText = 64, kSlots = 1024, kLimit = 512,
                            kWarmUp = 64, kTrial = 4096;

    // A text of at most kMaxInlineText bytes, zero-padded, with its length;
    // a longer one by a hash of its bytes and its length (its bytes are kept
    // in texts_ and compared on a match).
    struct Key {
        uint64_t words[2] = {0, 0};
        Key() = default;
        // The bytes are read with fixed-size loads (a copy of variable
        // length would stall the reads of the words that follow).
        explicit Key(TextSpan text) {
            const unsigned char *p = (const unsigned char *) text.data;
            size_t n = text.size;
            uint64_t low = 0, high = 0;
            if (n > kMaxInlineText) {
                low = hash_bytes(p, n);
            } else if (n >= 8) {
                uint64_t tail;
                std::memcpy(&low, p, 8);
                std::memcpy(&tail, p + n - 8, 8);
                high = n == 8 ? 0 : tail >> (8 * (16 - n));
            } else if (n >= 4) {
                uint32_t head, tail;
                std::memcpy(&head, p, 4);
                std::memcpy(&tail, p + n - 4, 4);
                low = head | ((uint64_t) tail << (8 * (n - 4)));
            } else if (n > 0) {
                low = p[0] | ((uint64_t) p[n / 2] << (8 * (n / 2))) |
                      ((uint64_t) p[n - 1] << (8 * (n - 1)));
            }
            words[0] = low;
            words[1] = high | ((uint64_t) n << 56);
        }
        bool operator==(const Key &other) const {
            return words[0] == other.words[0] && words[1] == other.words[1];
        }
        size_t home() const {
            uint64_t h = (words[0] * 0x9E3779B97F4A7C15ULL) ^ (words[1] * 0xC2B2AE3D27D4EB4FULL);
            h ^= h >> 29;
            return (size_t) ((h * 0xBF58476D1CE4E5B9ULL) >> 54);  // 10 bits: kSlots
        }

        // n >= 8: whole words, then the last eight bytes.
        static uint64_t hash_bytes(const unsigned char *p, size_t n) {
            uint64_t h = 0x9E3779B97F4A7C15ULL ^ n, word;
            size_t i = 0;
            for (; i + 8 <= n; i += 8) {
                std::memcpy(&word, p + i, 8);
                h = (h ^ word) * 0xBF58476D1CE4E5B9ULL;
                h ^= h >> 32;
            }
            if (i < n) {
                std::memcpy(&word, p + n - 8, 8);
                h = (h ^ word) * 0x94D049BB133111EBULL;
                h ^= h >> 29;
            }
            return h;
        }
    };

    struct Slot {
        Key key;
        nb::object value;
        uint32_t text_offset = 0;  // a long text's bytes in texts_
    };

    std::unique_ptr<Slot[]> slots_;
    std::string texts_;
    size_t used_ = 0, lookups_ = 0, hits_ = 0;
    bool enabled_;
};

// State of one streaming read. Only the occurrence of the section being read
// matters: entering any configured section starts it afresh, so one set of
// header and settings fields stands for the per-section tables.
class SectionParser {
public:
    SectionParser(nb::handle self, nb::handle sections, nb::handle source)
        : self_(self), sections_(sections), source_(source),
          resource_(self.attr("resource_name")) {}

    void feed(const TsvTokenizer &row) {
        size_t n = row.size();
        if (n == 0)
            return;
        TextSpan first = row.cell(0);
        if (!first.empty() && first.data[0] == '#')
            return;

        // The first cell of the clean row: the first raw cell not blank.
        size_t lead = 0;
        TextSpan lead_span;
        for (; lead < n; ++lead) {
            lead_span = strip_text(row.cell(lead));
            if (!lead_span.empty())
                break;
        }
        if (lead == n)
            return;

        if (lead_span.data[0] == '[' && lead_span.data[lead_span.size - 1] == ']') {
            enter_section(lead_span);
            return;
        }
        if (in_identity_section_)
            note_identifier(row, lead, lead_span);
        if (!current_.is_valid())
            return;
        // With "null_values", a row holding nothing but nulls is a placeholder.
        if (!null_texts_.empty() && all_null(row)) {
            ++null_rows_;
            return;
        }
        switch (mode_) {
        case Mode::KeyValue:
            key_value_or_header(row, lead, lead_span);
            break;
        case Mode::Header:
            start_table(row);
            break;
        case Mode::Table:
            add_record(row);
            break;
        }
    }

    // Logs each configured section the file did not contain.
    void warn_missing() {
        for_each(sections_, [&](nb::handle name) {
            int found = PySet_Contains(seen_.ptr(), name.ptr());
            if (found < 0)
                raise_pending();
            if (!found)
                log_warning(concat_str({interned("Section '"), name,
                                        interned("' is configured but not found in "), source_}));
        });
    }

    nb::dict take_result() {
        settle_section();
        return std::move(result_);
    }

    // The table sections whose last occurrence held nothing that was
    // assessed: no header row, or only rows of nothing but nulls (as a
    // DNA-only sample writes for its RNA tables). A header alone, or rows
    // naming what was looked at (BRCA1  NA), were assessed.
    nb::object take_unassessed() {
        return steal_checked(PyFrozenSet_New(unassessed_.ptr()));
    }

    // The sample identifiers of the run details, configured or not.
    nb::dict take_identifiers() { return std::move(identifiers_); }

private:
    // Key-value rows until a header row; a "table" section starts at its header.
    enum class Mode { KeyValue, Header, Table };

    struct Column {
        size_t index;  // raw cell position
        nb::object name;
        ValueSettings::Rule rule;
        ColumnMemo memo;
    };

    void enter_section(TextSpan span) {
        while (!span.empty() && is_bracket(span.data[0])) {
            ++span.data;
            --span.size;
        }
        while (!span.empty() && is_bracket(span.data[span.size - 1]))
            --span.size;
        nb::object name = text_object(span);
        in_identity_section_ = equals_folded(span, "analysis details");

        settle_section();
        if (!contains(sections_, name)) {
            current_ = nb::object();
            return;
        }
        nb::object config = steal_checked(PyObject_GetItem(sections_.ptr(), name.ptr()));
        auto [fields, include_all] = unpack_pair(steal_checked(PyObject_CallMethodOneArg(
            self_.ptr(), interned("_extract_fields").ptr(), config.ptr())));
        if (PySet_Add(seen_.ptr(), name.ptr()) < 0)
            raise_pending();

        current_ = name;
        fields_ = std::move(fields);
        include_all_ = std::move(include_all);
        include_all_truth_.reset();
        settings_ = ValueSettings::read(config, resource_, name);
        null_texts_.clear();
        cell_settings_ = settings_;
        if (settings_.has_null_values()) {
            // Table cells are matched against the null values here, as bytes;
            // the rest of the settings format the cells that are not null.
            null_texts_ = null_texts(config);
            if (PyDict_CheckExact(config.ptr())) {
                cell_settings_ = settings_.without_null_values();
            } else {
                nb::object others = steal_checked(PyDict_Copy(config.ptr()));
                if (PyDict_DelItemString(others.ptr(), "null_values") < 0)
                    raise_pending();
                cell_settings_ = ValueSettings::read(others, resource_, name);
            }
        }
        required_ = required_columns(config, resource_, name);
        bool table = PyDict_Check(config.ptr()) && truthy(get(config, "table"));
        mode_ = table ? Mode::Header : Mode::KeyValue;
        columns_.clear();
        column_names_.clear();
        required_cells_.clear();
        rows_ = nb::list();
        entry_ = nb::dict();
        header_seen_ = false;
        row_count_ = null_rows_ = 0;
        if (table)
            result_[name] = rows_;
        else
            result_[name] = entry_;
    }

    // Records whether the section just read was assessed.
    void settle_section() {
        if (!current_.is_valid())
            return;
        nb::object held = get(result_, current_);
        bool unassessed = PyList_Check(held.ptr()) && held.is(rows_) &&
                          (!header_seen_ || (row_count_ == 0 && null_rows_ > 0));
        if ((unassessed ? PySet_Add(unassessed_.ptr(), current_.ptr())
                        : PySet_Discard(unassessed_.ptr(), current_.ptr())) < 0)
            raise_pending();
    }

    // A key-value row of the run details naming the pair, the DNA or the RNA
    // sample: its value is kept as the file writes it.
    void note_identifier(const TsvTokenizer &row, size_t lead, TextSpan key) {
        static constexpr const char *kIdentityKeys[] = {"Pair ID", "DNA Sample ID",
                                                         "RNA Sample ID"};
        bool identity = false;
        for (const char *name : kIdentityKeys)
            identity |= key.equals(name, std::char_traits<char>::length(name));
        if (!identity)
            return;
        for (size_t i = lead + 1; i < row.size(); ++i) {
            TextSpan value = strip_text(row.cell(i));
            if (!value.empty()) {
                identifiers_[text_object(key)] = text_object(value);
                return;
            }
        }
    }

    bool include_all() {
        if (!include_all_truth_)
            include_all_truth_ = truthy(include_all_);
        return *include_all_truth_;
    }

    // A cell whose value is null whatever its column: blank, "none" or "null"
    // in any case, or one of the section's null values.
    bool is_null_cell(TextSpan cell) const {
        TextSpan text = strip_text(cell);
        return text.empty() || equals_folded(text, "none") || equals_folded(text, "null") ||
               is_null_text(text);
    }

    bool is_null_text(TextSpan stripped) const {
        for (const std::string &null_text : null_texts_)
            if (stripped.equals(null_text.data(), null_text.size()))
                return true;
        return false;
    }

    // The value of a stripped, non-blank table cell: what settings_ makes of it.
    nb::object cell_value(Column &column, TextSpan text) {
        if (!column.rule.keep && is_null_text(text))
            return nb::none();
        if (PyObject *known = column.memo.find(text))
            return nb::borrow(known);
        // The tokenizer's cells are stripped already.
        nb::object value = cell_settings_.apply_stripped_utf8(column.rule, text);
        column.memo.remember(text, value);
        return value;
    }

    bool all_null(const TsvTokenizer &row) const {
        for (size_t i = 0; i < row.size(); ++i)
            if (!is_null_cell(row.cell(i)))
                return false;
        return true;
    }

    // A row of a section that has no header row yet: two non-blank cells, or
    // a non-blank first cell followed only by blank cells, make a key and its
    // value; any other row is the header row.
    void key_value_or_header(const TsvTokenizer &row, size_t lead, TextSpan lead_span) {
        size_t n = row.size();
        size_t second = n;
        TextSpan second_span;
        bool more = false;
        for (size_t i = lead + 1; i < n; ++i) {
            TextSpan span = strip_text(row.cell(i));
            if (span.empty())
                continue;
            if (second < n) {
                more = true;
                break;
            }
            second = i;
            second_span = span;
        }

        bool key_value = second < n ? !more : (lead == 0 && n >= 2);
        if (!key_value) {
            start_table(row);
            return;
        }
        nb::object key = text_object(lead_span);
        if (!include_all() && !contains(fields_, key))
            return;
        // A key with an empty value cell is kept with the value None.
        nb::object value =
            second < n ? settings_.apply_stripped_utf8(settings_.rule_for(key), second_span)
                       : nb::none();
        set_item(entry_, key, value);
    }

    // The header row names columns by their raw position, so a blank data
    // cell cannot shift later cells onto the wrong column.
    void start_table(const TsvTokenizer &row) {
        nb::object allowed;
        if (!include_all() && truthy(fields_))
            allowed = steal_checked(PySet_New(fields_.ptr()));

        nb::object header_names = steal_checked(PySet_New(nullptr));
        for (size_t i = 0; i < row.size(); ++i) {
            TextSpan span = strip_text(row.cell(i));
            if (span.empty())
                continue;
            nb::object name = text_object(span);
            if (PySet_Add(header_names.ptr(), name.ptr()) < 0)
                raise_pending();
            if (required_.is_valid() && contains(required_, name))
                required_cells_.push_back({i, name, settings_.rule_for(name), ColumnMemo(false)});
            if (allowed.is_valid()) {
                int found = PySet_Contains(allowed.ptr(), name.ptr());
                if (found < 0)
                    raise_pending();
                if (!found)
                    continue;
            }
            ValueSettings::Rule rule = settings_.rule_for(name);
            columns_.push_back(
                {i, std::move(name), rule, ColumnMemo(columns_.size() < ColumnMemo::kColumns)});
        }
        column_names_.clear();
        for (const Column &column : columns_)
            column_names_.push_back(column.name.ptr());
        header_seen_ = true;
        if (required_.is_valid())
            warn_absent_required(header_names);

        // In a key-value section, pairs already kept stay and the records go
        // under "rows".
        if (mode_ == Mode::KeyValue) {
            if (PyDict_GET_SIZE(entry_.ptr()) == 0)
                result_[current_] = rows_;
            else
                entry_[interned("rows")] = rows_;
        }
        mode_ = Mode::Table;
    }

    // Required columns the header lacks cannot mark a placeholder row; when
    // none is present, no row is dropped for them.
    void warn_absent_required(nb::handle header_names) {
        for_each(required_, [&](nb::handle name) {
            int found = PySet_Contains(header_names.ptr(), name.ptr());
            if (found < 0)
                raise_pending();
            if (!found)
                log_warning(concat_str({interned("Section '"), current_, interned("' in "),
                                        source_, interned(": required column '"), name,
                                        interned("' is not in the header row")}));
        });
    }

    // A row with no value in every required column is a placeholder.
    bool is_placeholder(const TsvTokenizer &row) {
        if (required_cells_.empty())
            return false;
        for (Column &column : required_cells_) {
            if (column.index >= row.size())
                continue;
            TextSpan span = strip_text(row.cell(column.index));
            if (!span.empty() && !cell_value(column, span).is_none())
                return false;
        }
        return true;
    }

    // The cells' values are gathered first and the record built in one
    // call, so its dict gets the compact table of str keys.
    void add_record(const TsvTokenizer &row) {
        ++row_count_;
        if (columns_.empty() || is_placeholder(row))
            return;
        size_t n = row.size();
        RecordValues values(record_values_, columns_.size());
        for (Column &column : columns_) {
            nb::object value;
            if (column.index < n) {
                TextSpan span = strip_text(row.cell(column.index));
                if (!span.empty())
                    value = cell_value(column, span);
            }
            values.push(value.is_valid() ? std::move(value) : nb::none());
        }
        nb::object record = dict_from_items(column_names_.data(), record_values_.data(),
                                            (Py_ssize_t) record_values_.size());
        if (PyList_Append(rows_.ptr(), record.ptr()) < 0)
            raise_pending();
    }

    // New references to one record's values, released when it goes out of
    // scope, also when a cell's formatting raises.
    class RecordValues {
    public:
        RecordValues(std::vector<PyObject *> &values, size_t count) : values_(values) {
            values_.clear();
            values_.reserve(count);
        }
        ~RecordValues() {
            for (PyObject *value : values_)
                Py_DECREF(value);
            values_.clear();
        }
        RecordValues(const RecordValues &) = delete;
        RecordValues &operator=(const RecordValues &) = delete;
        // Room for every value is reserved: pushing cannot throw.
        void push(nb::object value) { values_.push_back(value.release().ptr()); }

    private:
        std::vector<PyObject *> &values_;
    };

    nb::handle self_, sections_, source_;
    nb::object resource_;
    nb::dict result_;
    nb::object seen_ = steal_checked(PySet_New(nullptr));  // configured sections met

    nb::dict identifiers_;
    bool in_identity_section_ = false;

    nb::object current_;  // invalid while outside any configured section
    nb::dict entry_;      // the current section's mapping in result_
    nb::object fields_, include_all_;
    std::optional<bool> include_all_truth_;
    ValueSettings settings_;
    ValueSettings cell_settings_;  // settings_ without its null values
    std::vector<std::string> null_texts_;
    nb::object required_;  // tuple of names, or invalid
    Mode mode_ = Mode::KeyValue;
    std::vector<Column> columns_;
    std::vector<PyObject *> column_names_;  // borrowed from columns_
    std::vector<PyObject *> record_values_;
    std::vector<Column> required_cells_;
    nb::list rows_;
    bool header_seen_ = false;
    size_t row_count_ = 0, null_rows_ = 0;  // rows after the header; rows of nulls
    nb::object unassessed_ = steal_checked(PySet_New(nullptr));
};


// The text of file content as the "utf-8-sig" codec decodes it: a leading
// byte-order mark dropped, the rest checked to be UTF-8.
TextSpan utf8_text(nb::handle content) {
    const char *data = PyBytes_AS_STRING(content.ptr());
    size_t size = (size_t) PyBytes_GET_SIZE(content.ptr());
    if (size >= 3 && std::char_traits<char>::compare(data, "\xEF\xBB\xBF", 3) == 0) {
        data += 3;
        size -= 3;
    }
    check_utf8(data, size);
    return {data, size};
}

nb::object load_and_parse_sections(nb::handle self, nb::handle sections) {
    nb::object path = self.attr("file_path");
    nb::object content = read_file_bytes(path);
    if (!PyBytes_Check(content.ptr()))
        raise(PyExc_TypeError, "reading the file in binary mode did not give bytes");
    keep_source_bytes(self, path, content);
    TextSpan text = utf8_text(content);
    if (strip_text(text).empty())
        raise(PyExc_ValueError,
              concat_str({to_str(path), interned(": the file is empty (nothing but white space)")}));
    refuse_nul_bytes(text.data, text.size, to_str(path));

    CollectorPause pause;
    SectionParser parser(self, sections, path);
    TsvTokenizer records(text.data, text.size, path);
    while (records.next())
        parser.feed(records);
    parser.warn_missing();
    nb::setattr(self, "sample_identifiers", parser.take_identifiers());
    nb::dict result = parser.take_result();
    nb::setattr(self, "unassessed_sections", parser.take_unassessed());
    return std::move(result);
}

// The records of `data` as lists of str: bytes are read as a file is (a
// leading byte-order mark dropped), a str as csv reads it.
nb::object tokenize(nb::handle data, nb::handle source) {
    TextSpan text;
    if (PyBytes_Check(data.ptr())) {
        text = utf8_text(data);
    } else if (PyUnicode_Check(data.ptr())) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(data.ptr(), &size);
        if (!utf8)
            raise_pending();
        text = {utf8, (size_t) size};
    } else {
        raise(PyExc_TypeError, "_tokenize() takes bytes or str");
    }
    nb::list records;
    TsvTokenizer tokenizer(text.data, text.size, source);
    while (tokenizer.next()) {
        size_t n = tokenizer.size();
        nb::object record = steal_checked(PyList_New((Py_ssize_t) n));
        for (size_t i = 0; i < n; ++i)
            PyList_SET_ITEM(record.ptr(), (Py_ssize_t) i, text_object(tokenizer.cell(i)).release().ptr());
        records.append(record);
    }
    return std::move(records);
}

nb::object column_memo_key(nb::bytes text) {
    auto [low, high] = ColumnMemo::key_words({text.c_str(), text.size()});
    return nb::make_tuple(nb::int_(low), nb::int_(high));
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
    nb::handle section_config = package_entry::section_config();
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

// This reader's own settings: "required_columns".
void check_own_settings(nb::handle config, nb::handle resource, nb::handle section) {
    required_columns(config, resource, section);
}

}  // namespace

NB_MODULE(PanelTsvReader, m) {
    nb::handle base = package_entry::report_reader_base();
    package_entry::models();

    ClassBuilder::plain(m, "PanelTsvReader", {base})
        .doc("Parser for CombinedVariantOutput TSV.\n"
             "Reads only configured sections and fields, streaming parse inside loader.")
        .attr("__init__",
              reader_init(&check_own_settings,
                          "As ReportReaderBase's, then checks this reader's own settings of\n"
                          "each section (\"required_columns\"), raising ValueError naming the resource and section."))
        .method("parse", &parse,
                nb::sig("def parse(self) -> CorvaneFileParser.Models.JsonDict"),
                "Reads the sectioned table ([Section] lines, each followed by key-value\n"
                "rows or by a table) and returns the configured sections found, keyed by\n"
                "section name: a key-value section as a mapping of its \"fields\", a table\n"
                "section (three or more columns, or \"table\": true) as a list of row\n"
                "mappings; \"include_all_fields\" keeps everything. A configured section\n"
                "the file lacks is logged as a WARNING. Sets unassessed_sections to the\n"
                "table sections holding no header row or only rows of nulls, and\n"
                "sample_identifiers to the Pair ID, DNA Sample ID and RNA Sample ID of\n"
                "[Analysis Details] (configured or not) as written. Raises OSError when the file\n"
                "cannot be read and ValueError naming the file for an empty file or a\n"
                "quoted cell that is never closed.")
        .method("_prepare_configs", &prepare_configs, nb::arg("config").none())
        .method("_load_and_parse_sections", &load_and_parse_sections,
                nb::arg("sections").none())
        .method("_extract_fields", &extract_fields, nb::arg("cfg").none())
        .static_method("_tokenize", &tokenize, nb::arg("data"),
                       nb::arg("source") = nb::str("<text>"))
        .static_method("_column_memo_key", &column_memo_key, nb::arg("text"))
        .finish();
}
