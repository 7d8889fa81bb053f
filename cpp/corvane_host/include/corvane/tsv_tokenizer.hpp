// Tab-separated text read from its UTF-8 bytes with the host csv module's
// rules, so that a reader turns only the cells it keeps into Python str.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <vector>

namespace corvane {

namespace nb = nanobind;

// A run of bytes of valid UTF-8 text.
struct TextSpan {
    const char *data = nullptr;
    size_t size = 0;
    bool empty() const { return size == 0; }
    bool equals(const char *text, size_t length) const;
};

// Raises the host's UnicodeDecodeError unless `data` is text the host's
// strict UTF-8 decoder accepts.
void check_utf8(const char *data, size_t size);
// The span str.strip() (no argument) keeps. `text` must be valid UTF-8.
TextSpan strip_text(TextSpan text);
// A new str holding `text`, which must be valid UTF-8.
nb::object text_object(TextSpan text);
// Whether every byte is below 0x80.
bool is_ascii(const char *data, size_t size);
// A caller table is text and never holds a NUL byte; a file that does (a
// binary file, a damaged copy) is refused: ValueError "<path>, line <n>: ...",
// lines counted as "\r", "\n" and "\r\n" end them.
void refuse_nul_bytes(const char *data, size_t size, nb::handle path);
[[noreturn]] void raise_nul_byte(nb::handle path, size_t line);

// Splits UTF-8 text into records of cells exactly as
// csv.reader(io.StringIO(text, newline=""), delimiter="\t") does: fields may
// be quoted with '"', a doubled quote inside quotes is one quote, text after a
// closing quote is appended to the field, a quote inside an unquoted field is
// literal, "\r", "\n" and "\r\n" end a record outside quotes and are kept
// inside them, a blank line is a record without cells, NUL is an ordinary
// character, and a field longer than csv.field_size_limit() raises csv.Error.
// Where csv.reader would return an unclosed quoted field together with the
// rest of the text, this raises ValueError naming `source` and the line on
// which the quote opens.
class TsvTokenizer {
public:
    // `data` must be valid UTF-8 and outlive the tokenizer.
    TsvTokenizer(const char *data, size_t size, nb::handle source);

    // Reads the next record; false once the text is used up.
    bool next();
    size_t size() const { return cells_.size(); }
    TextSpan cell(size_t i) const {
        const Cell &c = cells_[i];
        return {(c.in_scratch ? scratch_.data() : data_) + c.offset, c.size};
    }

private:
    struct Cell {
        size_t offset = 0, size = 0;
        bool in_scratch = false;
    };

    // A field in the making: one run of the input, or pieces in scratch_.
    struct Field {
        size_t offset = 0, size = 0;
        bool in_scratch = false;
    };

    size_t scan_unquoted(size_t from) const;
    void end_line();
    bool quoted_field();
    void append(Field &field, size_t offset, size_t size);
    void save(size_t offset, size_t size, bool in_scratch);
    void check_limit(const char *text, size_t size) const;
    [[noreturn]] void raise_unclosed(size_t line, Field &field);

    const char *data_;
    size_t size_, pos_ = 0, line_ = 1;
    long long field_limit_;
    nb::handle source_;
    std::vector<Cell> cells_;
    std::string scratch_;
};

}  // namespace corvane
