#include <corvane/c_api.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/tsv_tokenizer.hpp>

#include <cstdint>
#include <cstring>
#include <string>

namespace corvane {

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at `p` (at most `left` bytes), or 0.
// The host's strict decoder rejects overlong forms, surrogates and code
// points above U+10FFFF; so does this.
size_t sequence_length(const unsigned char *p, size_t left) {
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    if (c < 0xC2)
        return 0;
    if (c < 0xE0)
        return left >= 2 && is_continuation(p[1]) ? 2 : 0;
    if (c < 0xF0) {
        if (left < 3 || !is_continuation(p[2]))
            return 0;
        unsigned char low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
        return p[1] >= low && p[1] <= high ? 3 : 0;
    }
    if (c < 0xF5) {
        if (left < 4 || !is_continuation(p[2]) || !is_continuation(p[3]))
            return 0;
        unsigned char low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
        return p[1] >= low && p[1] <= high ? 4 : 0;
    }
    return 0;
}

bool is_valid_utf8(const unsigned char *p, size_t size) {
    size_t i = 0;
    while (i < size) {
        // Eight ASCII bytes at a time.
        while (i + 8 <= size) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (word & 0x8080808080808080ULL)
                break;
            i += 8;
        }
        if (i >= size)
            break;
        size_t length = sequence_length(p + i, size - i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

// The code point of the valid sequence at `p`.
Py_UCS4 code_point(const unsigned char *p, size_t length) {
    switch (length) {
    case 1:
        return p[0];
    case 2:
        return ((Py_UCS4) (p[0] & 0x1F) << 6) | (p[1] & 0x3F);
    case 3:
        return ((Py_UCS4) (p[0] & 0x0F) << 12) | ((Py_UCS4) (p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    default:
        return ((Py_UCS4) (p[0] & 0x07) << 18) | ((Py_UCS4) (p[1] & 0x3F) << 12) |
               ((Py_UCS4) (p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    }
}

size_t lead_length(unsigned char c) { return c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4; }

size_t count_code_points(const char *text, size_t size) {
    size_t count = 0;
    for (size_t i = 0; i < size; ++i)
        count += !is_continuation((unsigned char) text[i]);
    return count;
}

bool ends_field(char c) {
    return (unsigned char) c <= '\r' && (c == '\t' || c == '\n' || c == '\r');
}

}  // namespace

bool TextSpan::equals(const char *text, size_t length) const {
    return size == length && (length == 0 || std::memcmp(data, text, length) == 0);
}

void check_utf8(const char *data, size_t size) {
    if (is_valid_utf8((const unsigned char *) data, size))
        return;
    // The host's decoder reports the fault in its own words; should it
    // accept the text after all, its verdict stands.
    PyObject *decoded = PyUnicode_DecodeUTF8(data, (Py_ssize_t) size, "strict");
    if (!decoded)
        raise_pending();
    Py_DECREF(decoded);
}

TextSpan strip_text(TextSpan text) {
    const unsigned char *p = (const unsigned char *) text.data;
    size_t start = 0, end = text.size;
    // Most cells begin and end with an ASCII character that is no space.
    if (end == 0 || (p[0] < 0x80 && p[end - 1] < 0x80 && !Py_UNICODE_ISSPACE(p[0]) &&
                     !Py_UNICODE_ISSPACE(p[end - 1])))
        return text;
    while (start < end) {
        size_t length = lead_length(p[start]);
        if (!Py_UNICODE_ISSPACE(code_point(p + start, length)))
            break;
        start += length;
    }
    while (end > start) {
        size_t lead = end - 1;
        while (lead > start && is_continuation(p[lead]))
            --lead;
        if (!Py_UNICODE_ISSPACE(code_point(p + lead, end - lead)))
            break;
        end = lead;
    }
    return {text.data + start, end - start};
}

bool is_ascii(const char *data, size_t size) {
    uint64_t high = 0;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        high |= word;
    }
    for (; i < size; ++i)
        high |= (unsigned char) data[i];
    return !(high & 0x8080808080808080ULL);
}

nb::object text_object(TextSpan text) {
    // An ASCII text of more than one character is copied into a new str
    // directly; the decoder would check it again, and it keeps the shared
    // str of a single character.
    if (text.size > 1 && text.size <= 64) {
        if (is_ascii(text.data, text.size)) {
            PyObject *str = PyUnicode_New((Py_ssize_t) text.size, 127);
            if (!str)
                raise_pending();
            std::memcpy(PyUnicode_DATA(str), text.data, text.size);
            return nb::steal(str);
        }
    }
    return steal_checked(PyUnicode_DecodeUTF8(text.data, (Py_ssize_t) text.size, nullptr));
}

TsvTokenizer::TsvTokenizer(const char *data, size_t size, nb::handle source)
    : data_(data), size_(size), source_(source) {
    // csv's limit and error live in _csv; importing csv itself is not needed.
    nb::object limit = host_attr("_csv", "field_size_limit")();
    field_limit_ = PyLong_AsLongLong(limit.ptr());
    if (field_limit_ == -1 && PyErr_Occurred())
        raise_pending();
}

size_t TsvTokenizer::scan_unquoted(size_t from) const {
    // Eight bytes at a time while none of them is below 14, the only bytes
    // that may end a field ('\t', '\n', '\r').
    constexpr uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
    while (from + 8 <= size_) {
        uint64_t word;
        std::memcpy(&word, data_ + from, 8);
        if ((word - 14 * kOnes) & ~word & kHighs)
            break;
        from += 8;
    }
    while (from < size_ && !ends_field(data_[from]))
        ++from;
    return from;
}

// Steps over the line break at pos_: "\r\n", "\r" or "\n".
void TsvTokenizer::end_line() {
    if (data_[pos_] == '\r' && pos_ + 1 < size_ && data_[pos_ + 1] == '\n')
        ++pos_;
    ++pos_;
    ++line_;
}

void TsvTokenizer::append(Field &field, size_t offset, size_t size) {
    if (size == 0)
        return;
    if (!field.in_scratch) {
        if (field.size == 0 || field.offset + field.size == offset) {
            if (field.size == 0)
                field.offset = offset;
            field.size += size;
            return;
        }
        // A second piece: the field moves to scratch_.
        size_t start = scratch_.size();
        scratch_.append(data_ + field.offset, field.size);
        field = {start, field.size, true};
    }
    scratch_.append(data_ + offset, size);
    field.size += size;
}

void TsvTokenizer::check_limit(const char *text, size_t size) const {
    // csv refuses to add a character to a field already holding
    // field_size_limit() characters.
    if (size == 0 || (field_limit_ >= 0 && (unsigned long long) size <= (unsigned long long) field_limit_))
        return;
    if ((long long) count_code_points(text, size) <= field_limit_)
        return;
    std::string message = "field larger than field limit (" + std::to_string(field_limit_) + ")";
    raise(host_attr("_csv", "Error").ptr(), message.c_str());
}

void TsvTokenizer::save(size_t offset, size_t size, bool in_scratch) {
    // Fields are passed as scalars and cells filled in place: copying small
    // structs through the stack stalled every cell on store forwarding.
    if (size != 0 && (field_limit_ < 0 || (unsigned long long) size > (unsigned long long) field_limit_))
        check_limit((in_scratch ? scratch_.data() : data_) + offset, size);
    Cell &cell = cells_.emplace_back();
    cell.offset = offset;
    cell.size = size;
    cell.in_scratch = in_scratch;
}

void raise_nul_byte(nb::handle path, size_t line) {
    std::string where = ", line " + std::to_string(line) +
                        ": a NUL byte; a caller table is text and holds none";
    raise(PyExc_ValueError, concat_str({path, nb::str(where.c_str())}));
}

void refuse_nul_bytes(const char *data, size_t size, nb::handle path) {
    const char *nul = (const char *) std::memchr(data, '\0', size);
    if (!nul)
        return;
    size_t line = 1;
    for (const char *p = data; p < nul; ++p)
        line += *p == '\n' || (*p == '\r' && (p + 1 == nul || p[1] != '\n'));
    raise_nul_byte(path, line);
}

void TsvTokenizer::raise_unclosed(size_t line, Field &field) {
    // csv.reader would have read the rest of the text into this field and
    // failed there first if it is too long.
    append(field, pos_, size_ - pos_);
    check_limit((field.in_scratch ? scratch_.data() : data_) + field.offset, field.size);
    std::string where = ", line " + std::to_string(line) +
                        ": a quoted cell starts here and its closing quote is missing";
    raise(PyExc_ValueError, concat_str({source_, nb::str(where.c_str())}));
}

// Reads a quoted field from its opening quote at pos_; tells whether the
// record ended with it.
bool TsvTokenizer::quoted_field() {
    size_t quote_line = line_;
    Field field;
    ++pos_;
    for (;;) {
        const char *quote = (const char *) std::memchr(data_ + pos_, '"', size_ - pos_);
        if (!quote)
            raise_unclosed(quote_line, field);
        size_t end = (size_t) (quote - data_);
        for (size_t i = pos_; i < end; ++i)
            if (data_[i] == '\n' || (data_[i] == '\r' && data_[i + 1] != '\n'))
                ++line_;
        append(field, pos_, end - pos_);
        pos_ = end + 1;
        if (pos_ < size_ && data_[pos_] == '"') {
            // A doubled quote stands for one.
            append(field, pos_, 1);
            ++pos_;
            continue;
        }
        break;
    }
    // After the closing quote: text up to the end of the field is kept as
    // it stands, quotes included.
    size_t rest = scan_unquoted(pos_);
    append(field, pos_, rest - pos_);
    pos_ = rest;
    save(field.offset, field.size, field.in_scratch);
    if (pos_ >= size_)
        return true;
    if (data_[pos_] == '\t') {
        ++pos_;
        return false;
    }
    end_line();
    return true;
}

bool TsvTokenizer::next() {
    cells_.clear();
    scratch_.clear();
    if (pos_ >= size_)
        return false;
    if (data_[pos_] == '\r' || data_[pos_] == '\n') {
        end_line();  // a blank line: a record without cells
        return true;
    }
    for (;;) {
        if (pos_ < size_ && data_[pos_] == '"') {
            if (quoted_field())
                return true;
            continue;
        }
        size_t start = pos_;
        pos_ = scan_unquoted(pos_);
        save(start, pos_ - start, false);
        if (pos_ >= size_)
            return true;
        if (data_[pos_] == '\t') {
            ++pos_;
            continue;
        }
        end_line();
        return true;
    }
}

}  // namespace corvane
