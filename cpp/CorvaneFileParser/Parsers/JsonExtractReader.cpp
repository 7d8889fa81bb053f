// Reader of JSON caller outputs: configured sections, fields and dotted paths.
//
// The path functions work on the document in place: expansion walks the
// parsed values without copying them, and only the extract (formatted values
// filed under their concrete paths) is built. A document read by the module's
// own loader belongs to the reader alone, so its values are formatted in
// place and handed to the extracts instead of being copied.
#include <corvane/c_api.hpp>
#include <corvane/checked_settings.hpp>
#include <corvane/class_builder.hpp>
#include <corvane/host_io.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/json_kind.hpp>
#include <corvane/package_entry_points.hpp>
#include <corvane/section_settings.hpp>
#include <corvane/value_format.hpp>

#include <charconv>
#include <memory>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace nb = nanobind;
using namespace corvane;

namespace {

using Segments = std::vector<nb::object>;

// A new tuple returned by the C API, raising if it is null.
nb::tuple steal_tuple(PyObject *ref) { return nb::borrow<nb::tuple>(steal_checked(ref)); }

// ---------------------------------------------------------------------------
// Path segments
// ---------------------------------------------------------------------------

// The segments of a path as an owned tuple, so that a caller's list cannot
// change (or free its items) under a running expansion. A path that tests
// false is the empty path.
nb::tuple path_tuple(nb::handle parts) {
    if (!truthy(parts))
        return nb::tuple();
    if (PyTuple_CheckExact(parts.ptr()))
        return nb::borrow<nb::tuple>(parts);
    if (!PySequence_Check(parts.ptr()))
        raise(PyExc_TypeError,
              concat_str({nb::str("path must be a sequence of segments, not "),
                          class_name(parts)}));
    return steal_tuple(PySequence_Tuple(parts.ptr()));
}

// The concrete path a caller gives for the searched value itself.
Segments prefix_segments(nb::handle prefix) {
    Segments out;
    if (prefix.is_none())
        return out;
    if (!PyList_Check(prefix.ptr()) && !PyTuple_Check(prefix.ptr()))
        raise(PyExc_TypeError,
              concat_str({nb::str("prefix must be a list of path segments, not "),
                          class_name(prefix)}));
    nb::tuple items = steal_tuple(PySequence_Tuple(prefix.ptr()));
    out.reserve(items.size());
    for (nb::handle item : items)
        out.push_back(nb::borrow(item));
    return out;
}

// Configured path texts recur in every file read with the same resource:
// each exact str's reading (its segments, or None when it is blank) is kept
// for the process. A str subclass may split and strip its own way: never kept.
constexpr Py_ssize_t kPathCacheLimit = 4096;

PyObject *path_cache() {
    static PyObject *cache = steal_checked(PyDict_New()).release().ptr();
    return cache;
}

nb::object cached_path(nb::handle text) {
    if (!PyUnicode_CheckExact(text.ptr()))
        return nb::object();
    PyObject *found = nullptr;
    if (PyDict_GetItemRef(path_cache(), text.ptr(), &found) < 0)
        raise_pending();
    return nb::steal(found);
}

void keep_path(nb::handle text, nb::handle reading) {
    if (!PyUnicode_CheckExact(text.ptr()))
        return;
    if (PyDict_GET_SIZE(path_cache()) >= kPathCacheLimit)
        PyDict_Clear(path_cache());
    if (PyDict_SetItem(path_cache(), text.ptr(), reading.ptr()) < 0)
        raise_pending();
}

nb::tuple split_path_uncached(nb::handle text);

// A configured path text split at every "." with empty segments dropped;
// blanks around a segment stay part of it.
nb::tuple split_path(nb::handle text) {
    nb::object kept = cached_path(text);
    if (kept.is_valid() && PyTuple_CheckExact(kept.ptr()))
        return nb::borrow<nb::tuple>(kept);
    nb::tuple segments = split_path_uncached(text);
    if (!kept.is_valid())
        keep_path(text, segments);
    return segments;
}

nb::tuple split_path_uncached(nb::handle text) {
    nb::object pieces = steal_checked(PyObject_CallMethod(text.ptr(), "split", "s", "."));
    nb::list kept;
    for_each(pieces, [&](nb::handle piece) {
        if (truthy(piece))
            kept.append(piece);
    });
    return steal_tuple(PyList_AsTuple(kept.ptr()));
}

// The decimal text of a list index.
nb::object index_text(Py_ssize_t index) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, index).ptr;
    return steal_checked(PyUnicode_FromStringAndSize(digits, end - digits));
}

bool is_wildcard(PyObject *segment) {
    if (PyUnicode_CheckExact(segment))
        return PyUnicode_GET_LENGTH(segment) == 1 && PyUnicode_READ_CHAR(segment, 0) == '*';
    return equals(segment, interned("*"));
}

// `value` is a non-empty str (a str subclass answers its own truth test).
bool is_nonempty_text(nb::handle value) {
    if (!PyUnicode_Check(value.ptr()))
        return false;
    if (PyUnicode_CheckExact(value.ptr()))
        return PyUnicode_GET_LENGTH(value.ptr()) > 0;
    return truthy(value);
}

// A configured path entry worth using: a str that is not blank after strip().
bool is_usable_path(nb::handle value) {
    if (!PyUnicode_Check(value.ptr()))
        return false;
    nb::object kept = cached_path(value);
    if (kept.is_valid())
        return !kept.is_none();
    nb::object stripped = steal_checked(PyObject_CallMethod(value.ptr(), "strip", nullptr));
    bool usable = truthy(stripped);
    if (usable)
        split_path(value);  // kept with its segments
    else
        keep_path(value, nb::none());
    return usable;
}

// ---------------------------------------------------------------------------
// Expansion
// ---------------------------------------------------------------------------

// Resolves a path with wildcards against a value and hands every match, as
// the concrete path and the value found there, to `sink` in depth-first
// order. The concrete path is kept on one stack of segments; the text of a
// list index is made only when a match below that item is found.
template <typename Sink> class Expander {
public:
    Expander(nb::handle parts, Segments start, Sink &sink)
        : parts_(parts), count_(PyTuple_GET_SIZE(parts.ptr())), path_(std::move(start)),
          pending_(path_.size(), -1), sink_(sink) {}

    void run(nb::handle node) { expand(node, 0); }

private:
    void descend(nb::handle child, Py_ssize_t next, nb::object segment,
                 Py_ssize_t index = -1) {
        path_.push_back(std::move(segment));
        pending_.push_back(index);
        expand(child, next);
        path_.pop_back();
        pending_.pop_back();
    }

    void emit(nb::handle node) {
        for (size_t i = 0; i < path_.size(); ++i)
            if (pending_[i] >= 0) {
                path_[i] = index_text(pending_[i]);
                pending_[i] = -1;
            }
        sink_(static_cast<const Segments &>(path_), node,
              static_cast<const std::vector<PyObject *> &>(nodes_));
    }

    void expand(nb::handle node, Py_ssize_t index) {
        if (index == count_) {
            emit(node);
            return;
        }
        RecursionGuard guard(" while expanding a path");
        PyObject *head = PyTuple_GET_ITEM(parts_.ptr(), index);
        PyObject *raw = node.ptr();
        nodes_.push_back(raw);
        struct Pop {
            std::vector<PyObject *> &nodes;
            ~Pop() { nodes.pop_back(); }
        } pop{nodes_};

        if (is_wildcard(head)) {
            if (PyDict_Check(raw))
                each_entry(node, index + 1);
            else if (PyList_Check(raw))
                each_item(node, index + 1);
            return;
        }
        if (PyDict_Check(raw)) {
            nb::object child;
            if (PyDict_CheckExact(raw)) {
                PyObject *found = nullptr;
                int status = PyDict_GetItemRef(raw, head, &found);
                if (status < 0)
                    raise_pending();
                if (status == 0)
                    return;
                child = nb::steal(found);
            } else {
                if (!contains(node, head))
                    return;
                child = steal_checked(PyObject_GetItem(raw, head));
            }
            descend(child, index + 1, nb::borrow(head));
            return;
        }
        if (PyList_Check(raw)) {
            // The host's int() decides which segments are indices.
            PyObject *converted = PyNumber_Long(head);
            if (!converted) {
                if (pending_is(PyExc_TypeError) || pending_is(PyExc_ValueError)) {
                    PyErr_Clear();
                    return;
                }
                raise_pending();
            }
            nb::object position = nb::steal(converted);
            int overflow = 0;
            long long at = PyLong_AsLongLongAndOverflow(position.ptr(), &overflow);
            if (at == -1 && PyErr_Occurred())
                raise_pending();
            if (overflow != 0 || at < 0)
                return;
            Py_ssize_t size = PyList_CheckExact(raw) ? PyList_GET_SIZE(raw) : PyObject_Size(raw);
            if (size < 0)
                raise_pending();
            if (at >= (long long) size)
                return;
            nb::object child =
                PyList_CheckExact(raw)
                    ? steal_checked(PyList_GetItemRef(raw, (Py_ssize_t) at))
                    : steal_checked(PyObject_GetItem(raw, position.ptr()));
            descend(child, index + 1, nb::borrow(head));
        }
    }

    // Wildcard over a mapping: every entry in order, the key as text.
    void each_entry(nb::handle node, Py_ssize_t next) {
        entries_until(node, [&](nb::handle key, nb::handle value) {
            descend(value, next, to_str(key));
            return false;
        });
    }

    // Wildcard over a list: every item in order, the index as decimal text.
    void each_item(nb::handle node, Py_ssize_t next) {
        PyObject *raw = node.ptr();
        if (PyList_CheckExact(raw)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw); ++i) {
                nb::object item = steal_checked(PyList_GetItemRef(raw, i));
                descend(item, next, nb::object(), i);
            }
            return;
        }
        Py_ssize_t i = 0;
        for_each(node, [&](nb::handle item) { descend(item, next, nb::object(), i++); });
    }

    nb::handle parts_;
    Py_ssize_t count_;
    Segments path_;
    // For each entry of path_: the list index whose text is still to be
    // made, or -1.
    std::vector<Py_ssize_t> pending_;
    // The values the expansion stepped through to reach the current place
    // (borrowed: the searched value holds them while the expansion runs).
    std::vector<PyObject *> nodes_;
    Sink &sink_;
};

template <typename Sink>
void expand_path(nb::handle node, nb::handle parts, Segments start, Sink &&sink) {
    Expander<std::remove_reference_t<Sink>> expander(parts, std::move(start), sink);
    expander.run(node);
}

nb::list to_list(const Segments &segments) {
    nb::list out;
    for (const nb::object &segment : segments)
        out.append(segment);
    return out;
}

// ---------------------------------------------------------------------------
// Setting and removing
// ---------------------------------------------------------------------------

// Files `value` under the concrete path in `target`, making mappings on the
// way (a non-mapping value in the way is replaced).
void set_nested(nb::handle target, const nb::object *parts, size_t count, nb::handle value) {
    nb::object cursor = nb::borrow(target);
    for (size_t i = 0; i + 1 < count; ++i) {
        nb::handle part = parts[i];
        if (PyDict_CheckExact(cursor.ptr())) {
            PyObject *found = nullptr;
            int status = PyDict_GetItemRef(cursor.ptr(), part.ptr(), &found);
            if (status < 0)
                raise_pending();
            nb::object child = nb::steal(found);
            if (status == 0 || !PyDict_Check(found)) {
                child = nb::dict();
                set_item(cursor, part, child);
            }
            cursor = std::move(child);
            continue;
        }
        bool keep = contains(cursor, part) &&
                    PyDict_Check(steal_checked(PyObject_GetItem(cursor.ptr(), part.ptr())).ptr());
        if (!keep)
            set_item(cursor, part, nb::dict());
        cursor = steal_checked(PyObject_GetItem(cursor.ptr(), part.ptr()));
    }
    set_item(cursor, parts[count - 1], value);
}

// Removes every mapping entry that the path reaches; list items stay. All
// matches are found before anything is removed.
void remove_nested(nb::handle target, nb::handle parts_tuple) {
    std::vector<Segments> found;
    expand_path(target, parts_tuple, Segments(),
                [&](const Segments &path, nb::handle, const auto &) { found.push_back(path); });

    for (const Segments &path : found) {
        if (path.empty())
            continue;
        nb::object cursor = nb::borrow(target);
        for (size_t i = 0; i + 1 < path.size(); ++i) {
            if (PyList_Check(cursor.ptr())) {
                nb::object position = steal_checked(PyNumber_Long(path[i].ptr()));
                cursor = steal_checked(PyObject_GetItem(cursor.ptr(), position.ptr()));
            } else {
                cursor = steal_checked(PyObject_GetItem(cursor.ptr(), path[i].ptr()));
            }
        }
        nb::handle last = path.back();
        if (PyDict_CheckExact(cursor.ptr())) {
            if (PyDict_Pop(cursor.ptr(), last.ptr(), nullptr) < 0)
                raise_pending();
        } else if (PyDict_Check(cursor.ptr())) {
            cursor.attr("pop")(last, nb::none());
        }
    }
}

// ---------------------------------------------------------------------------
// Module-level path functions
// ---------------------------------------------------------------------------

nb::list expand_path_matches(nb::handle node, nb::handle parts, nb::handle prefix) {
    Segments start = prefix_segments(prefix);
    nb::tuple segments = path_tuple(parts);
    nb::list matches;
    expand_path(node, segments, std::move(start),
                [&](const Segments &path, nb::handle value, const auto &) {
        matches.append(nb::make_tuple(to_list(path), value));
    });
    return matches;
}

void set_nested_value(nb::handle target, nb::handle parts, nb::handle value) {
    if (!PySequence_Check(parts.ptr()))
        raise(PyExc_TypeError,
              concat_str({nb::str("path must be a sequence of segments, not "),
                          class_name(parts)}));
    nb::tuple segments = steal_tuple(PySequence_Tuple(parts.ptr()));
    if (segments.size() == 0) {
        // The host's own error for the last item of an empty sequence.
        steal_checked(PySequence_GetItem(parts.ptr(), -1));
        raise(PyExc_IndexError, "path is empty");
    }
    Segments owned;
    owned.reserve(segments.size());
    for (nb::handle segment : segments)
        owned.push_back(nb::borrow(segment));
    set_nested(target, owned.data(), owned.size(), value);
}

void remove_nested_value(nb::handle target, nb::handle parts) {
    remove_nested(target, path_tuple(parts));
}

// ---------------------------------------------------------------------------
// Loading
// ---------------------------------------------------------------------------

// Documents nested deeper than this are decoded by the host's json module
// alone: the fast decoder recurses on the C stack with frames large enough
// to overflow a small thread stack well before the recursion limit.
constexpr long kFastDecoderMaxDepth = 128;

// Smaller documents are decoded by the host's json module alone: importing
// the fast decoder costs more (about 18 ms) than it saves on them. The
// module attribute _FAST_DECODER_MIN_SIZE holds the size, so that tests can
// lower it.
constexpr Py_ssize_t kFastDecoderMinSize = 2 << 20;

Py_ssize_t fast_decoder_min_size() {
    nb::object size = host_module(package_entry::kJsonExtractReaderModule)
                          .attr("_FAST_DECODER_MIN_SIZE");
    Py_ssize_t value = PyLong_AsSsize_t(size.ptr());
    if (value == -1 && PyErr_Occurred())
        raise_pending();
    return value;
}

// What a scan of a document's bytes found out before decoding.
struct DocumentShape {
    bool blank;      // nothing but white space
    long max_depth;  // deepest nesting of arrays and objects, counted up to limit + 1
};

// The position after the closing quote of the string whose body starts at
// `p`, or `end` when it is never closed.
const char *skip_string(const char *p, const char *end) {
    for (;;) {
        auto quote = static_cast<const char *>(std::memchr(p, '"', (size_t) (end - p)));
        if (!quote)
            return end;
        // A quote after an odd number of backslashes is part of the text.
        const char *run = quote;
        while (run > p && run[-1] == '\\')
            --run;
        if (((quote - run) & 1) == 0)
            return quote + 1;
        p = quote + 1;
    }
}

// The first byte at or after `p` that opens a string or opens or closes an
// array or object; `end` when there is none. Sixteen bytes at a time where
// the processor allows, as most of a document is names, values and indent.
const char *next_structural(const char *p, const char *end) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"'), open_array = _mm_set1_epi8('['),
                  close_array = _mm_set1_epi8(']'), open_object = _mm_set1_epi8('{'),
                  close_object = _mm_set1_epi8('}');
    while (end - p >= 16) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i hits = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, open_array)),
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, close_array),
                                      _mm_cmpeq_epi8(bytes, open_object)),
                         _mm_cmpeq_epi8(bytes, close_object)));
        unsigned mask = (unsigned) _mm_movemask_epi8(hits);
        if (mask)
            return p + __builtin_ctz(mask);
        p += 16;
    }
#endif
    for (; p < end; ++p)
        switch (*p) {
        case '"': case '[': case ']': case '{': case '}':
            return p;
        default:
            continue;
        }
    return end;
}

// Measures the nesting of arrays and objects outside strings, iteratively,
// stopping once it exceeds `limit`. On malformed input the decoder stops at
// the first error, never deeper than this count.
DocumentShape scan_document(const char *data, size_t size, long limit) {
    const char *p = data, *end = data + size;
    // Blank up to the first byte that is not white space.
    for (;; ++p) {
        if (p == end)
            return {true, 0};
        char c = *p;
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f')
            break;
    }
    long depth = 0, deepest = 0;
    while ((p = next_structural(p, end)) < end) {
        switch (*p++) {
        case '"':
            p = skip_string(p, end);
            continue;
        case '[': case '{':
            if (++depth > deepest) {
                deepest = depth;
                if (deepest > limit)
                    return {false, deepest};
            }
            continue;
        default:  // ']' or '}'
            --depth;
        }
    }
    return {false, deepest};
}

// json.load's result for the bytes read as text the way the reader always
// has: UTF-8 with an optional byte-order mark, universal newlines.
nb::object host_decode(nb::handle raw) {
    // Bytes without a carriage return read as their UTF-8 decoding (after a
    // byte-order mark); anything else, and every decoding error, the wrapper's way.
    if (PyBytes_CheckExact(raw.ptr())) {
        const char *data = PyBytes_AS_STRING(raw.ptr());
        Py_ssize_t size = PyBytes_GET_SIZE(raw.ptr());
        if (!std::memchr(data, '\r', (size_t) size)) {
            Py_ssize_t start = size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
            if (PyObject *text = PyUnicode_DecodeUTF8(data + start, size - start, "strict"))
                return host_attr("json", "loads")(nb::steal(text));
            PyErr_Clear();
        }
    }
    nb::object stream = host_attr("io", "BytesIO")(raw);
    nb::object text =
        host_attr("io", "TextIOWrapper")(stream, nb::arg("encoding") = "utf-8-sig").attr("read")();
    return host_attr("json", "loads")(text);
}

// msgspec's JSON decoder, imported on first use; unset when msgspec cannot be
// imported (the host's decoder gives the same results, only slower).
nb::object fast_decoder() {
    try {
        return nb::borrow(host_attr("msgspec.json", "decode"));
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_ImportError))
            throw;
        return nb::object();
    }
}

// Reads a JSON file: the document json.load gives for the file read as UTF-8
// text (a leading byte-order mark dropped), with the host's errors. The bytes
// of a large, shallow document are decoded by msgspec when it is available;
// anything it raises hands the bytes to the host's json module, so that
// NaN, Infinity, numbers out of range, lone surrogates and every error
// message are the host's own. Before decoding, a file holding nothing but
// white space is a ValueError, and nesting deeper than the recursion limit a
// RecursionError, so no decoder recurses that deep on a small thread stack.
nb::object decode_json_bytes(nb::handle path, nb::handle raw_content) {
    nb::object raw = nb::borrow(raw_content);
    if (!PyBytes_Check(raw.ptr()))
        return host_decode(raw);
    const char *data = PyBytes_AS_STRING(raw.ptr());
    Py_ssize_t size = PyBytes_GET_SIZE(raw.ptr());
    Py_ssize_t start = size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;

    long limit = Py_GetRecursionLimit();
    DocumentShape shape = scan_document(data + start, (size_t) (size - start), limit);
    if (shape.blank)
        raise(PyExc_ValueError,
              concat_str({path, interned(": the file is empty: it holds no JSON document")}));
    if (shape.max_depth > limit)
        raise(PyExc_RecursionError,
              concat_str({interned("maximum recursion depth exceeded while decoding "), path,
                          interned(": JSON nested more than "), nb::int_(limit),
                          interned(" levels deep")}));

    if (shape.max_depth <= kFastDecoderMaxDepth && size - start >= fast_decoder_min_size()) {
        nb::object decode = fast_decoder();
        if (decode.is_valid()) {
            nb::object input = raw;
            if (start > 0) {
                nb::object view = steal_checked(PyMemoryView_FromObject(raw.ptr()));
                input = steal_checked(PySequence_GetSlice(view.ptr(), start, size));
            }
            if (PyObject *document = PyObject_CallOneArg(decode.ptr(), input.ptr()))
                return nb::steal(document);
            if (!pending_is(PyExc_Exception))
                raise_pending();
            PyErr_Clear();
        }
    }
    return host_decode(raw);
}

nb::object load_json(nb::handle path) { return decode_json_bytes(path, read_file_bytes(path)); }

// ---------------------------------------------------------------------------
// Formatting in place
// ---------------------------------------------------------------------------

nb::object format_in_place(nb::handle value, NonFiniteNotes *notes);

void format_mapping_in_place(PyObject *mapping, NonFiniteNotes *notes) {
    RecursionGuard guard(" while formatting a mapping");
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *item = nullptr;
    // Replacing the value of an existing key keeps the iteration valid.
    while (PyDict_Next(mapping, &pos, &key, &item)) {
        if (format_keeps(item))
            continue;
        size_t mark = notes ? notes->size() : 0;
        nb::object formatted = format_in_place(item, notes);
        if (notes && notes->size() != mark)
            notes->prefix_since(mark, key);
        if (formatted.ptr() != item && PyDict_SetItem(mapping, key, formatted.ptr()) < 0)
            raise_pending();
    }
}

// format_value's list rule in place: blank items (None, "") dropped, the
// others formatted and moved up; None when nothing is left.
nb::object format_list_in_place(nb::handle list, NonFiniteNotes *notes) {
    RecursionGuard guard(" while formatting a list");
    PyObject *p = list.ptr();
    Py_ssize_t size = PyList_GET_SIZE(p), kept = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *item = PyList_GET_ITEM(p, i);
        if (item == Py_None || (PyUnicode_CheckExact(item) && PyUnicode_GET_LENGTH(item) == 0))
            continue;
        size_t mark = notes ? notes->size() : 0;
        nb::object formatted =
            format_keeps(item) ? nb::borrow(item) : format_in_place(item, notes);
        if (notes && notes->size() != mark)
            notes->prefix_since(mark, steal_checked(PyLong_FromSsize_t(i)));
        if (formatted.ptr() != item || kept != i) {
            if (PyList_SetItem(p, kept, formatted.release().ptr()) < 0)
                raise_pending();
        }
        ++kept;
    }
    if (kept == 0)
        return nb::none();
    if (kept < size && PyList_SetSlice(p, kept, size, nullptr) < 0)
        raise_pending();
    return nb::borrow(list);
}

// format_value(value) for a value of a privately decoded document: plain
// mappings and lists are formatted in place and returned themselves (a list
// left empty gives None); other values as format_value gives them.
nb::object format_in_place(nb::handle value, NonFiniteNotes *notes) {
    PyObject *p = value.ptr();
    if (PyDict_CheckExact(p)) {
        format_mapping_in_place(p, notes);
        return nb::borrow(value);
    }
    if (PyList_CheckExact(p))
        return format_list_in_place(value, notes);
    if (format_keeps(p))
        return nb::borrow(value);
    return format_value(value, notes);
}

// ---------------------------------------------------------------------------
// The reader
// ---------------------------------------------------------------------------

// `cfg.get(name)` for a mapping configuration; None otherwise.
nb::object config_entry(nb::handle cfg, const char *name) {
    if (!PyDict_Check(cfg.ptr()))
        return nb::none();
    return get(cfg, interned(name));
}

// The candidate names of a section: "json_key", then "json_keys", then the
// configured name itself.
nb::list candidate_keys(nb::handle name, nb::handle cfg) {
    nb::list candidates;
    if (PyDict_Check(cfg.ptr())) {
        nb::object single = get(cfg, interned("json_key"));
        if (is_nonempty_text(single))
            candidates.append(single);
        nb::object several = get(cfg, interned("json_keys"));
        if (PyList_Check(several.ptr()))
            for_each(several, [&](nb::handle entry) {
                if (is_nonempty_text(entry))
                    candidates.append(entry);
            });
    }
    candidates.append(name);
    return candidates;
}

// Lower-cased document key -> document key; of two keys that differ only in
// case, the later one wins.
nb::dict key_map(nb::handle document) {
    nb::dict map;
    for_each(document.attr("keys")(), [&](nb::handle key) { set_item(map, lower(key), key); });
    return map;
}

// How a JSON value that is not an object is called in messages; nullptr for
// an object (or anything else that may hold named entries).
const char *non_object_kind(nb::handle value) {
    return PyDict_Check(value.ptr()) ? nullptr : json_kind(value);
}

bool is_container(nb::handle value) {
    return PyDict_Check(value.ptr()) || PyList_Check(value.ptr());
}

// The key as the extract stores it: an exact str is interned, so that the
// warnings' lookups of top-level fields compare by identity.
nb::object extract_key(nb::handle key) {
    if (!PyUnicode_CheckExact(key.ptr()))
        return nb::borrow(key);
    PyObject *text = Py_NewRef(key.ptr());
    PyUnicode_InternInPlace(&text);
    return nb::steal(text);
}

// How the values of one section are formatted: the section's value settings
// for its top-level fields, format_value's rules below them. In place, the
// values of the document are formatted themselves and filed in the extract.
struct SectionFormat {
    const ValueSettings &settings;
    bool in_place;
    // Top-level names that an exclusion of one plain segment removes from the
    // extract at the end: their values are not formatted at all.
    nb::object removed;
    // Where numbers without a JSON spelling were met; paths begin at the
    // section's fields.
    NonFiniteNotes *notes;

    bool is_removed(nb::handle name) const {
        if (!removed.is_valid())
            return false;
        int found = PySet_Contains(removed.ptr(), name.ptr());
        if (found < 0)
            raise_pending();
        return found != 0;
    }

    nb::object nested(nb::handle value) const {
        return in_place ? format_in_place(value, notes) : format_value(value, notes);
    }
    // A top-level field's value; the notes taken for it start at its name.
    nb::object top_level(nb::handle name, nb::handle value) const {
        size_t mark = notes->size();
        ValueSettings::Rule rule = settings.rule_for(name);
        nb::object formatted = rule.keep || !is_container(value)
                                   ? settings.apply(rule, value, notes)
                                   : nested(value);
        if (notes->size() != mark)
            notes->prefix_since(mark, name);
        return formatted;
    }
    // format_value of a value nested at `path` (its concrete segments).
    nb::object nested_at(const Segments &path, nb::handle value) const {
        size_t mark = notes->size();
        nb::object formatted = nested(value);
        if (notes->size() != mark)
            for (auto it = path.rbegin(); it != path.rend(); ++it)
                notes->prefix_since(mark, *it);
        return formatted;
    }
    bool keeps_as_written(nb::handle name) const { return settings.rule_for(name).keep; }
};

// The field rule: a "variants" list keeps every item (formatted; blanks
// become None) in a new list; any other value is formatted as a whole.
void copy_field(nb::handle extract, nb::handle name, nb::handle value, const SectionFormat &format) {
    PyObject *p = value.ptr();
    if ((PyList_Check(p) || PyTuple_Check(p)) && equals(name, interned("variants")) &&
        !format.keeps_as_written(name)) {
        nb::list items;
        Py_ssize_t index = 0;
        auto add = [&](nb::handle item) {
            Segments at{nb::borrow(name), steal_checked(PyLong_FromSsize_t(index++))};
            items.append(format.nested_at(at, item));
        };
        if (PyList_CheckExact(p)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p); ++i)
                add(steal_checked(PyList_GetItemRef(p, i)));
        } else {
            for_each(value, add);
        }
        set_item(extract, extract_key(name), items);
        return;
    }
    set_item(extract, extract_key(name), format.top_level(name, value));
}

// The fields a section offers for selection: with "lift", the entries of the
// mappings under the lifted keys take the place of those keys (the section's
// own keys win a clash, then the earlier lifted mapping). A lifted key whose
// value is not a mapping stays a field.
nb::object lifted_fields(nb::handle section, nb::handle cfg) {
    nb::object lift = config_entry(cfg, "lift");
    if (!PyList_Check(lift.ptr()) || PyList_GET_SIZE(lift.ptr()) == 0 ||
        !PyDict_Check(section.ptr()))
        return nb::borrow(section);
    auto is_lifted = [&](nb::handle key, nb::handle value) {
        return PyDict_Check(value.ptr()) && contains(lift, key);
    };
    bool any = entries_until(section, [&](nb::handle key, nb::handle value) {
        return is_lifted(key, value);
    });
    if (!any)
        return nb::borrow(section);
    // A section's own key: one of its keys whose value is not lifted. Those
    // of a mapping other than a plain dict are gathered as it lists them.
    nb::object own;
    if (!PyDict_CheckExact(section.ptr())) {
        own = nb::dict();
        entries_until(section, [&](nb::handle key, nb::handle value) {
            if (!is_lifted(key, value))
                set_item(own, key, nb::none());
            return false;
        });
    }
    auto is_own = [&](nb::handle key) {
        if (own.is_valid())
            return contains(own, key);
        PyObject *value = nullptr;
        int found = PyDict_GetItemRef(section.ptr(), key.ptr(), &value);
        if (found < 0)
            raise_pending();
        nb::object held = nb::steal(value);
        return found && !is_lifted(key, held);
    };
    nb::dict merged;
    entries_until(section, [&](nb::handle key, nb::handle value) {
        if (!is_lifted(key, value)) {
            set_item(merged, key, value);
            return false;
        }
        entries_until(value, [&](nb::handle inner_key, nb::handle inner_value) {
            if (!contains(merged, inner_key) && !is_own(inner_key))
                set_item(merged, inner_key, inner_value);
            return false;
        });
        return false;
    });
    return std::move(merged);
}

// Copies the values at the configured paths; returns the number of matches.
// In place, every match must be a place of its own: when one matched mapping
// or list is reached twice, or lies inside another match, the section is
// copied instead.
size_t copy_paths(nb::handle extract, nb::handle fields, nb::handle paths, SectionFormat format) {
    struct Match {
        Segments path;
        nb::object value;
    };
    std::vector<Match> matches;
    size_t found = 0;
    std::unordered_set<PyObject *> matched, passed;
    bool overlap = false;
    for_each(paths, [&](nb::handle path) {
        if (!is_usable_path(path))
            return;
        nb::tuple segments = split_path(path);
        expand_path(fields, segments, Segments(),
                    [&](const Segments &at, nb::handle value, const std::vector<PyObject *> &through) {
                        if (at.empty())
                            return;
                        ++found;
                        if (format.is_removed(at[0]))
                            return;
                        if (format.in_place && !overlap) {
                            if (is_container(value) && !matched.insert(value.ptr()).second)
                                overlap = true;
                            passed.insert(through.begin(), through.end());
                        }
                        matches.push_back({at, nb::borrow(value)});
                    });
    });
    if (format.in_place && !overlap)
        for (PyObject *node : matched)
            if (passed.count(node)) {
                overlap = true;
                break;
            }
    if (overlap)
        format.in_place = false;

    for (Match &match : matches) {
        if (match.path.size() == 1) {
            nb::handle name = match.path[0];
            set_item(extract, extract_key(name), format.top_level(name, match.value));
        } else {
            match.path[0] = extract_key(match.path[0]);
            nb::object formatted = format.nested_at(match.path, match.value);
            set_nested(extract, match.path.data(), match.path.size(), formatted);
        }
    }
    return found;
}

// Copies the listed fields; returns the number found.
size_t copy_listed_fields(nb::handle extract, nb::handle fields, nb::handle names,
                          const SectionFormat &format) {
    size_t found = 0;
    for_each(names, [&](nb::handle name) {
        if (!contains(fields, name))
            return;
        ++found;
        // A name listed again would file the same value again.
        if (!format.is_removed(name) && !contains(extract, name))
            copy_field(extract, name, get(fields, name), format);
    });
    return found;
}

// A usable entry of "include_paths", or any entry of "include_fields".
bool selects_something(nb::handle include_paths, nb::handle include_fields) {
    if (PyList_Check(include_paths.ptr()))
        return iterate_until(include_paths, [](nb::handle path) { return is_usable_path(path); });
    return PyList_Check(include_fields.ptr()) && PyList_GET_SIZE(include_fields.ptr()) > 0;
}

// The usable entries of a section's "exclude_paths", split, and the names
// that those of one segment without a wildcard remove from the top level of
// the extract (so their values are never formatted); unset when none.
struct Exclusions {
    std::vector<nb::object> paths;  // tuples of segments
    nb::object removed;             // set of names, or unset
};

Exclusions read_exclusions(nb::handle paths) {
    Exclusions out;
    if (!PyList_Check(paths.ptr()))
        return out;
    for_each(paths, [&](nb::handle path) {
        if (!is_usable_path(path))
            return;
        nb::tuple segments = split_path(path);
        out.paths.push_back(segments);
        if (segments.size() != 1 || is_wildcard(segments[0].ptr()))
            return;
        if (!out.removed.is_valid())
            out.removed = steal_checked(PySet_New(nullptr));
        if (PySet_Add(out.removed.ptr(), segments[0].ptr()) < 0)
            raise_pending();
    });
    return out;
}

// A section's exclusions; every file read with one resource names the same,
// so they are kept for the process by the contents of the list.
std::shared_ptr<const Exclusions> exclusions_of(nb::handle cfg) {
    struct Kept {
        nb::object snapshot;
        std::shared_ptr<const Exclusions> exclusions;
    };
    constexpr size_t kKept = 64;
    static auto *kept = new std::vector<Kept>();
    nb::object paths = config_entry(cfg, "exclude_paths");
    if (!PyList_CheckExact(paths.ptr()))
        return std::make_shared<const Exclusions>(read_exclusions(paths));
    for (const Kept &entry : *kept)
        if (same_plain_data(paths, entry.snapshot))
            return entry.exclusions;
    auto exclusions = std::make_shared<const Exclusions>(read_exclusions(paths));
    nb::object snapshot = plain_snapshot(paths);
    if (snapshot.is_valid()) {
        if (kept->size() >= kKept)
            kept->erase(kept->begin());
        kept->push_back({snapshot, exclusions});
    }
    return exclusions;
}

// Fills the extract of a present section; tells whether a configured
// selection found nothing.
bool extract_section(nb::handle extract, nb::handle section, nb::handle cfg,
                     const SectionFormat &format) {
    nb::object fields = lifted_fields(section, cfg);
    nb::object include_fields = config_entry(cfg, "include_fields");
    nb::object include_paths = config_entry(cfg, "include_paths");
    size_t found;
    if (PyList_Check(include_paths.ptr())) {
        found = copy_paths(extract, fields, include_paths, format);
    } else if (PyList_Check(include_fields.ptr())) {
        found = copy_listed_fields(extract, fields, include_fields, format);
    } else {
        entries_until(fields, [&](nb::handle key, nb::handle value) {
            if (!format.is_removed(key))
                copy_field(extract, key, value, format);
            return false;
        });
        return false;
    }
    return found == 0 && selects_something(include_paths, include_fields);
}

void apply_exclusions(nb::handle extract, const Exclusions &exclusions) {
    for (const nb::object &segments : exclusions.paths) {
        // One plain segment over a plain dict: the entry of that name.
        if (PyTuple_GET_SIZE(segments.ptr()) == 1 && PyDict_CheckExact(extract.ptr()) &&
            !is_wildcard(PyTuple_GET_ITEM(segments.ptr(), 0))) {
            if (PyDict_Pop(extract.ptr(), PyTuple_GET_ITEM(segments.ptr(), 0), nullptr) < 0)
                raise_pending();
            continue;
        }
        remove_nested(extract, segments);
    }
}

bool is_empty_mapping(nb::handle section) {
    if (PyDict_CheckExact(section.ptr()))
        return PyDict_GET_SIZE(section.ptr()) == 0;
    return equals(section, nb::dict());
}

// The sample the document names at its top level: "sample" (older releases
// of the targeted caller) and "sampleId" (newer), as text.
nb::dict document_identifiers(nb::handle document) {
    nb::dict identifiers;
    if (!PyDict_Check(document.ptr()))
        return identifiers;
    for (const char *key : {"sample", "sampleId"}) {
        nb::object value = get(document, key);
        if (PyUnicode_Check(value.ptr()))
            identifiers[key] = value;
        else if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()))
            identifiers[key] = to_str(value);
    }
    return identifiers;
}

// One WARNING per number without a JSON spelling, naming the section and the
// field (its path below the section); the output holds null there.
void warn_non_finite(const NonFiniteNotes &notes, nb::handle file_path, nb::handle section) {
    for (const NonFiniteNotes::Note &note : notes.notes())
        log_warning(concat_str({file_path, interned(": section '"), section,
                                interned("' field '"), NonFiniteNotes::path_text(note),
                                interned("': "), nb::str(NonFiniteNotes::spelling(note.value)),
                                interned(" is not a JSON number; written as null")}));
}

struct SectionPlan {
    nb::object name, cfg, candidates, actual_key, section;
};

nb::object parse(nb::handle self) {
    // Looked up on the class at each call, as a replaced loader must be used.
    // Only the module's own loader hands over a document that nothing else
    // holds: that one is formatted in place and shared with the extracts.
    nb::handle module = host_module(package_entry::kJsonExtractReaderModule);
    nb::object loader = module.attr("JsonExtractReader").attr("_load_json");
    bool private_document = loader.is(module.attr("_load_json"));
    nb::object file_path = self.attr("file_path");
    nb::object data;
    if (private_document) {
        // The module's own loader, with the bytes kept for the run's manifest.
        nb::object raw = read_file_bytes(file_path);
        keep_source_bytes(self, file_path, raw);
        data = decode_json_bytes(file_path, raw);
    } else {
        data = loader(file_path);
    }
    if (const char *kind = non_object_kind(data))
        raise(PyExc_ValueError,
              concat_str({file_path, interned(": the JSON document is "), nb::str(kind),
                          interned(", not an object of sections")}));
    // The factory's check that a file taken for this kind by its name is one.
    nb::object document_check = nb::getattr(self, "document_check", nb::none());
    if (!document_check.is_none())
        document_check(data);
    nb::setattr(self, "sample_identifiers", document_identifiers(data));
    nb::object resource = self.attr("resource_name");
    nb::dict data_key_map = key_map(data);

    std::vector<SectionPlan> plans;
    std::unordered_map<PyObject *, int> uses;
    entries_until(self.attr("section_config"), [&](nb::handle name, nb::handle cfg) {
        SectionPlan plan{nb::borrow(name), nb::borrow(cfg), candidate_keys(name, cfg), {}, {}};
        for (nb::handle candidate : nb::borrow<nb::list>(plan.candidates)) {
            nb::object found = get(data_key_map, lower(candidate));
            if (truthy(found)) {
                plan.actual_key = std::move(found);
                plan.section = steal_checked(PyObject_GetItem(data.ptr(), plan.actual_key.ptr()));
                ++uses[plan.section.ptr()];
                break;
            }
        }
        plans.push_back(std::move(plan));
        return false;
    });

    nb::dict result;
    for (SectionPlan &plan : plans) {
        nb::dict extract;
        std::shared_ptr<const Exclusions> exclusions = exclusions_of(plan.cfg);
        if (!plan.actual_key.is_valid()) {
            log_warning(concat_str({nb::str("None of keys "), plan.candidates,
                                    nb::str(" from config matched input data. Skipping.")}));
        } else if (plan.section.is_none() || is_empty_mapping(plan.section)) {
            log_warning(concat_str({nb::str("Section '"), plan.actual_key,
                                    nb::str("' is empty in the input data.")}));
        } else if (const char *kind = non_object_kind(plan.section)) {
            raise(PyExc_ValueError,
                  concat_str({file_path, interned(": section '"), plan.actual_key,
                              interned("' is "), nb::str(kind),
                              interned(", not an object of fields")}));
        } else {
            ValueSettings settings = ValueSettings::read(plan.cfg, resource, plan.name);
            // A section that two configured sections read is left intact.
            bool in_place = private_document && PyDict_CheckExact(plan.section.ptr()) &&
                            uses[plan.section.ptr()] == 1;
            NonFiniteNotes notes;
            SectionFormat format{settings, in_place, exclusions->removed, &notes};
            if (extract_section(extract, plan.section, plan.cfg, format))
                log_warning(concat_str(
                    {nb::str("None of the fields or paths configured for section '"), plan.name,
                     nb::str("' were found in '"), plan.actual_key, nb::str("' of "), file_path,
                     nb::str("; its data is empty.")}));
            warn_non_finite(notes, file_path, plan.name);
        }
        apply_exclusions(extract, *exclusions);
        set_item(result, plan.name, extract);
    }
    return std::move(result);
}

// This reader's own settings: "lift".
void check_own_settings(nb::handle config, nb::handle resource, nb::handle section) {
    text_list_setting(config, "lift", resource, section, "\"lift\" must be a list of keys");
}

}  // namespace

NB_MODULE(JsonExtractReader, m) {
    nb::module_::import_("json");
    nb::handle base = package_entry::report_reader_base();
    package_entry::models();

    m.def("_expand_path_matches", &expand_path_matches, nb::arg("node").none(),
          nb::arg("parts").none(), nb::arg("prefix").none() = nb::none());
    m.def("_set_nested_value", &set_nested_value, nb::arg("target").none(),
          nb::arg("parts").none(), nb::arg("value").none());
    m.def("_remove_nested_value", &remove_nested_value, nb::arg("target").none(),
          nb::arg("parts").none());
    // The module's loader, also the class's static _load_json; parse tells by
    // identity whether the class still uses it.
    m.attr("_FAST_DECODER_MIN_SIZE") = nb::int_(kFastDecoderMinSize);
    m.def("_load_json", &load_json, nb::arg("path").none());

    ClassBuilder::plain(m, "JsonExtractReader", {base})
        .doc("Reader of a caller's JSON document (targeted caller, long-read phaser).\n\n"
             "Each configured section takes the document key named by \"json_key\", the\n"
             "keys of \"json_keys\" or the section name (tried in order, case ignored);\n"
             "\"include_paths\" (dotted paths, \"*\" wildcards, list indices) or\n"
             "\"include_fields\" (top-level fields) select what is kept, \"exclude_paths\"\n"
             "removes paths at the end; without include settings every field is kept.\n"
             "\"lift\" merges the mappings under the listed keys into the section first;\n"
             "\"text_fields\", \"decimals\", \"null_values\" and \"keep_as_written\" set how\n"
             "top-level fields are normalised. A NaN or infinity becomes null, with a\n"
             "WARNING naming the section and the field. After parse(), sample_identifiers\n"
             "holds the document's top-level \"sample\" and \"sampleId\" texts.")
        .attr("__init__",
              reader_init(&check_own_settings,
                          "As ReportReaderBase's, then checks this reader's own settings of\n"
                          "each section (\"lift\"), raising ValueError naming the resource and section."))
        .method("parse", &parse,
                nb::sig("def parse(self) -> CorvaneFileParser.Models.JsonDict"),
                "Reads the JSON document (UTF-8) and returns the selected, normalised\n"
                "fields of each configured section found in it, keyed by section name.\n"
                "Raises OSError when the file cannot be read, ValueError\n"
                "(json.JSONDecodeError) for invalid JSON, and ValueError naming the file\n"
                "for an empty file, a document that is not an object or a section that is\n"
                "not an object; RecursionError for nesting deeper than the recursion limit.")
        .attr("_load_json", host_attr("builtins", "staticmethod")(m.attr("_load_json")))
        // Called with the decoded document before any section is read (the
        // factory sets it when the file's name chose the reader).
        .attr("document_check", nb::none())
        .finish();
}
