// The unified document's writer: json.dumps(obj, indent=4, allow_nan=False)
// byte for byte (ensure_ascii, ": " and "," separators), streamed in chunks.
// NaN and the infinities have no JSON spelling: a document holding one is
// refused before anything is written, with the host's error.
#include <corvane/c_api.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/json_writer.hpp>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

namespace corvane {

namespace {

// Nesting the fast path takes on; deeper documents go to the host, which
// applies its own recursion limit.
constexpr int kMaxDepth = 200;
constexpr Py_ssize_t kChunkSize = 256 * 1024;
// The longest output of one character: an astral character as a surrogate
// pair, "\udxxx\udxxx".
constexpr Py_ssize_t kMaxEscape = 12;

// Characters of the printable ASCII range that json writes as they are.
struct PlainAscii {
    bool table[256] = {};
    constexpr PlainAscii() {
        for (int c = ' '; c <= '~'; ++c)
            table[c] = c != '"' && c != '\\';
    }
};
constexpr PlainAscii kPlainAscii;

const char kHexDigits[] = "0123456789abcdef";

// ---------------------------------------------------------------------------
// Screening: is the whole document one the fast path writes exactly?
// ---------------------------------------------------------------------------

// An exact int whose decimal text the host can produce (a huge one may
// exceed sys.get_int_max_str_digits()).
bool plain_int(PyObject *p) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(p, &overflow);
    if (!overflow)
        return true;
    PyObject *text = PyLong_Type.tp_repr(p);
    if (!text) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(text);
    return true;
}

// ValueError, as json.dumps(allow_nan=False) raises it, for a float that is
// not finite.
void require_finite(PyObject *p) {
    double x = PyFloat_AS_DOUBLE(p);
    if (std::isfinite(x))
        return;
    nb::str shown = to_str(p);
    raise(PyExc_ValueError,
          concat_str({interned("Out of range float values are not JSON compliant: "), shown}));
}

bool plain_key(PyObject *key) {
    if (PyFloat_CheckExact(key)) {
        require_finite(key);
        return true;
    }
    return PyUnicode_CheckExact(key) || key == Py_None || key == Py_True || key == Py_False ||
           (PyLong_CheckExact(key) && plain_int(key));
}

// Converting a huge int to text may run the host's Python code (and so let
// another thread in): every object in use is held by a strong reference.
bool plain_document(PyObject *p, int depth) {
    if (p == Py_None || p == Py_True || p == Py_False || PyUnicode_CheckExact(p))
        return true;
    if (PyFloat_CheckExact(p)) {
        require_finite(p);
        return true;
    }
    if (PyLong_CheckExact(p))
        return plain_int(p);
    bool is_list = PyList_CheckExact(p), is_tuple = !is_list && PyTuple_CheckExact(p);
    bool is_dict = !is_list && !is_tuple && PyDict_CheckExact(p);
    if (!is_list && !is_tuple && !is_dict)
        return false;
    // A cycle ends here too; the host then reports it.
    if (depth >= kMaxDepth)
        return false;
    // Leave room for the host's own recursion check should the document be
    // deeper than the remaining stack allows.
    if (Py_EnterRecursiveCall("")) {
        PyErr_Clear();
        return false;
    }
    // Left also when a float that is not finite raises below.
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    nb::object hold = nb::borrow(p);
    bool plain = true;
    if (is_dict) {
        Py_ssize_t pos = 0;
        PyObject *raw_key = nullptr, *raw_value = nullptr;
        while (plain && PyDict_Next(p, &pos, &raw_key, &raw_value)) {
            nb::object key = nb::borrow(raw_key), value = nb::borrow(raw_value);
            plain = plain_key(key.ptr()) && plain_document(value.ptr(), depth + 1);
        }
    } else {
        for (Py_ssize_t i = 0;
             plain && i < (is_list ? PyList_GET_SIZE(p) : PyTuple_GET_SIZE(p)); ++i) {
            nb::object item =
                nb::borrow(is_list ? PyList_GET_ITEM(p, i) : PyTuple_GET_ITEM(p, i));
            plain = plain_document(item.ptr(), depth + 1);
        }
    }
    return plain;
}

// ---------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------

// file.write(data) until every byte is taken: a raw file may accept fewer
// bytes than offered and says how many it took.
void write_all(nb::handle write, nb::object data) {
    Py_ssize_t remaining = PyBytes_GET_SIZE(data.ptr());
    for (;;) {
        nb::object result = write(data);
        if (!PyLong_Check(result.ptr()))
            return;
        Py_ssize_t taken = PyLong_AsSsize_t(result.ptr());
        if (taken == -1 && PyErr_Occurred())
            raise_pending();
        if (taken >= remaining)
            return;
        if (taken <= 0)
            raise(PyExc_OSError, "the output file accepted no bytes");
        data = steal_checked(PyBytes_FromStringAndSize(
            PyBytes_AS_STRING(data.ptr()) + taken, remaining - taken));
        remaining -= taken;
    }
}

// Recently written finite floats by their bits: a report repeats few
// distinct values, and the host's repr is the costly part of a float. The
// empty slot's bits are a NaN, which never reaches the table. A slot's text
// depends only on its bits, so the table serves every later document too.
struct FloatText {
    uint64_t bits = ~0ull;
    unsigned char size = 0;
    char text[31];
};
constexpr int kFloatTextBits = 10;

// A writer's buffer and float texts. The last writer of a thread leaves them
// to the next one: a document of a few kilobytes then costs no fresh
// allocation of either (a chunk this size is mapped and unmapped by the C
// library each time). A writer started while another is at work on the same
// thread (a file whose write() writes JSON) makes its own.
struct WriterScratch {
    std::unique_ptr<char[]> chunk;
    std::unique_ptr<FloatText[]> float_texts;
};
thread_local WriterScratch spare_scratch;

class StreamWriter {
public:
    explicit StreamWriter(nb::object write) : write_(std::move(write)) {
        scratch_ = std::move(spare_scratch);
        if (!scratch_.chunk)
            scratch_.chunk.reset(new char[kChunkSize]);
        if (!scratch_.float_texts)
            scratch_.float_texts.reset(new FloatText[1u << kFloatTextBits]);
        out_ = scratch_.chunk.get();
        float_texts_ = scratch_.float_texts.get();
    }

    ~StreamWriter() {
        if (!spare_scratch.chunk)
            spare_scratch = std::move(scratch_);
    }

    void document(PyObject *p) { value(p, 0); }

    // Hands over what is left in the buffer.
    void finish() {
        if (used_ != 0)
            flush();
    }

private:
    nb::object write_;
    WriterScratch scratch_;
    FloatText *float_texts_ = nullptr;
    char *out_ = nullptr;
    Py_ssize_t used_ = 0;

    // Hands over the bytes in the buffer and empties it.
    void flush() {
        nb::object taken = steal_checked(PyBytes_FromStringAndSize(out_, used_));
        used_ = 0;
        write_all(write_, std::move(taken));
    }

    // Room for `n` more bytes (n <= kChunkSize).
    void reserve(Py_ssize_t n) {
        if (kChunkSize - used_ < n)
            flush();
    }

    void put(const char *data, Py_ssize_t n) {
        while (n > 0) {
            if (used_ == kChunkSize)
                flush();
            Py_ssize_t take = std::min(n, kChunkSize - used_);
            std::memcpy(out_ + used_, data, (size_t) take);
            used_ += take;
            data += take;
            n -= take;
        }
    }

    void put(char c) {
        reserve(1);
        out_[used_++] = c;
    }

    template <size_t N> void put_literal(const char (&text)[N]) { put(text, N - 1); }

    void newline(int level) {
        static constexpr char kSpaces[] = "                                ";  // 32
        put('\n');
        Py_ssize_t width = 4 * (Py_ssize_t) level;
        while (width > 0) {
            Py_ssize_t take = std::min<Py_ssize_t>(width, sizeof kSpaces - 1);
            put(kSpaces, take);
            width -= take;
        }
    }

    void escape(Py_UCS4 c) {
        char *o = out_ + used_;
        *o++ = '\\';
        switch (c) {
        case '\\': *o++ = '\\'; break;
        case '"': *o++ = '"'; break;
        case '\b': *o++ = 'b'; break;
        case '\f': *o++ = 'f'; break;
        case '\n': *o++ = 'n'; break;
        case '\r': *o++ = 'r'; break;
        case '\t': *o++ = 't'; break;
        default:
            if (c >= 0x10000) {
                Py_UCS4 high = Py_UNICODE_HIGH_SURROGATE(c);
                *o++ = 'u';
                *o++ = kHexDigits[(high >> 12) & 0xf];
                *o++ = kHexDigits[(high >> 8) & 0xf];
                *o++ = kHexDigits[(high >> 4) & 0xf];
                *o++ = kHexDigits[high & 0xf];
                c = Py_UNICODE_LOW_SURROGATE(c);
                *o++ = '\\';
            }
            *o++ = 'u';
            *o++ = kHexDigits[(c >> 12) & 0xf];
            *o++ = kHexDigits[(c >> 8) & 0xf];
            *o++ = kHexDigits[(c >> 4) & 0xf];
            *o++ = kHexDigits[c & 0xf];
        }
        used_ = o - out_;
    }

    // A str as json's ensure_ascii encoder writes it.
    void string(PyObject *s) {
        Py_ssize_t size = PyUnicode_GET_LENGTH(s);
        int kind = PyUnicode_KIND(s);
        const void *data = PyUnicode_DATA(s);
        put('"');
        if (kind == PyUnicode_1BYTE_KIND) {
            const Py_UCS1 *text = (const Py_UCS1 *) data;
            Py_ssize_t i = 0;
            while (i < size) {
                Py_ssize_t run = i;
                while (run < size && kPlainAscii.table[text[run]])
                    ++run;
                put((const char *) text + i, run - i);
                if (run < size) {
                    reserve(kMaxEscape);
                    escape(text[run]);
                    ++run;
                }
                i = run;
            }
        } else {
            for (Py_ssize_t i = 0; i < size; ++i) {
                Py_UCS4 c = PyUnicode_READ(kind, data, i);
                reserve(kMaxEscape);
                if (c < 0x80 && kPlainAscii.table[c])
                    out_[used_++] = (char) c;
                else
                    escape(c);
            }
        }
        put('"');
    }

    void ascii_text(PyObject *text) {
        put((const char *) PyUnicode_DATA(text), PyUnicode_GET_LENGTH(text));
    }

    void integer(PyObject *p) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(p, &overflow);
        if (!overflow) {
            reserve(24);
            auto done = std::to_chars(out_ + used_, out_ + used_ + 24, v);
            used_ = done.ptr - out_;
            return;
        }
        // int.__repr__, with its limit on the number of digits.
        nb::object text = steal_checked(PyLong_Type.tp_repr(p));
        ascii_text(text.ptr());
    }

    // float.__repr__ of a finite value (screening refused the others; one
    // that appeared since is refused here).
    void real(PyObject *p) {
        double x = PyFloat_AS_DOUBLE(p);
        if (!std::isfinite(x)) {
            changed();
        } else {
            uint64_t bits;
            std::memcpy(&bits, &x, sizeof bits);
            FloatText &slot = float_texts_[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kFloatTextBits)];
            if (slot.bits != bits) {
                char *text = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
                if (!text)
                    raise_pending();
                size_t size = std::strlen(text);
                if (size > sizeof slot.text) {
                    put(text, (Py_ssize_t) size);
                    PyMem_Free(text);
                    return;
                }
                slot.bits = bits;
                slot.size = (unsigned char) size;
                std::memcpy(slot.text, text, size);
                PyMem_Free(text);
            }
            put(slot.text, slot.size);
        }
    }

    void key(PyObject *k) {
        if (PyUnicode_CheckExact(k)) {
            string(k);
            return;
        }
        put('"');
        if (k == Py_True)
            put_literal("true");
        else if (k == Py_False)
            put_literal("false");
        else if (k == Py_None)
            put_literal("null");
        else if (PyFloat_CheckExact(k))
            real(k);
        else if (PyLong_CheckExact(k))
            integer(k);
        else
            changed();
        put('"');
    }

    [[noreturn]] static void changed() {
        raise(PyExc_RuntimeError, "the document changed while it was being written");
    }

    void value(PyObject *p, int level) {
        if (PyUnicode_CheckExact(p))
            string(p);
        else if (p == Py_None)
            put_literal("null");
        else if (p == Py_True)
            put_literal("true");
        else if (p == Py_False)
            put_literal("false");
        else if (PyLong_CheckExact(p))
            integer(p);
        else if (PyFloat_CheckExact(p))
            real(p);
        else if (PyList_CheckExact(p) || PyTuple_CheckExact(p))
            sequence(p, level);
        else if (PyDict_CheckExact(p))
            mapping(p, level);
        else
            changed();
    }

    // file.write() may run Python code; every object in use is held by a
    // strong reference and sizes are checked as the host's iteration does.
    void sequence(PyObject *p, int level) {
        bool is_list = PyList_CheckExact(p);
        auto size = [&] { return is_list ? PyList_GET_SIZE(p) : PyTuple_GET_SIZE(p); };
        if (size() == 0) {
            put_literal("[]");
            return;
        }
        if (level >= kMaxDepth)
            changed();
        nb::object hold = nb::borrow(p);
        put('[');
        for (Py_ssize_t i = 0; i < size(); ++i) {
            if (i)
                put(',');
            newline(level + 1);
            nb::object item =
                nb::borrow(is_list ? PyList_GET_ITEM(p, i) : PyTuple_GET_ITEM(p, i));
            value(item.ptr(), level + 1);
        }
        newline(level);
        put(']');
    }

    void mapping(PyObject *p, int level) {
        Py_ssize_t size = PyDict_GET_SIZE(p);
        if (size == 0) {
            put_literal("{}");
            return;
        }
        if (level >= kMaxDepth)
            changed();
        nb::object hold = nb::borrow(p);
        put('{');
        Py_ssize_t pos = 0;
        PyObject *raw_key = nullptr, *raw_value = nullptr;
        bool first = true;
        while (PyDict_Next(p, &pos, &raw_key, &raw_value)) {
            nb::object k = nb::borrow(raw_key), v = nb::borrow(raw_value);
            if (!first)
                put(',');
            first = false;
            newline(level + 1);
            key(k.ptr());
            put_literal(": ");
            value(v.ptr(), level + 1);
            if (PyDict_GET_SIZE(p) != size)
                raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        newline(level);
        put('}');
    }
};

}  // namespace

bool write_json(nb::handle obj, nb::handle file) {
    nb::object write = file.attr("write");
    if (!plain_document(obj.ptr(), 0)) {
        nb::object text = host_attr("json", "dumps")(obj, nb::arg("indent") = 4,
                                                     nb::arg("allow_nan") = false);
        write_all(write, text.attr("encode")("utf-8"));
        return false;
    }
    StreamWriter writer(std::move(write));
    writer.document(obj.ptr());
    writer.finish();
    return true;
}

}  // namespace corvane
