// Reader of JSON caller outputs: configured sections, fields and dotted paths.
//
// The path functions work on the document in place: expansion walks the
// parsed values without copying them, and only the extract (formatted values
// filed under their concrete paths) is built.
#include <corvane/host.hpp>

#include <charconv>
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

// A configured path text split at every "." with empty segments dropped;
// blanks around a segment stay part of it.
nb::tuple split_path(nb::handle text) {
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
    nb::object stripped = steal_checked(PyObject_CallMethod(value.ptr(), "strip", nullptr));
    return truthy(stripped);
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
        sink_(static_cast<const Segments &>(path_), node);
    }

    void expand(nb::handle node, Py_ssize_t index) {
        if (index == count_) {
            emit(node);
            return;
        }
        RecursionGuard guard(" while expanding a path");
        PyObject *head = PyTuple_GET_ITEM(parts_.ptr(), index);
        PyObject *raw = node.ptr();

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
                [&](const Segments &path, nb::handle) { found.push_back(path); });

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
    expand_path(node, segments, std::move(start), [&](const Segments &path, nb::handle value) {
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
// The reader
// ---------------------------------------------------------------------------

nb::object load_json(nb::handle path) {
    // Caller outputs are UTF-8 whatever the platform's default; a leading
    // byte-order mark is dropped.
    nb::object file = host_attr("builtins", "open")(path, "r", nb::arg("encoding") = "utf-8-sig");
    return json_load_closing(file);
}

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

// The field rule: "variants" keeps every item (formatted) in a new list,
// any other field is formatted as a whole.
void copy_field(nb::handle extract, nb::handle name, nb::handle value) {
    if (equals(name, interned("variants"))) {
        nb::list items;
        if (PyList_CheckExact(value.ptr())) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value.ptr()); ++i) {
                nb::object item = steal_checked(PyList_GetItemRef(value.ptr(), i));
                items.append(format_value(item));
            }
        } else {
            for_each(value, [&](nb::handle item) { items.append(format_value(item)); });
        }
        set_item(extract, name, items);
        return;
    }
    set_item(extract, name, format_value(value));
}

void copy_all_fields(nb::handle extract, nb::handle section) {
    entries_until(section, [&](nb::handle key, nb::handle value) {
        copy_field(extract, key, value);
        return false;
    });
}

void copy_paths(nb::handle extract, nb::handle section, nb::handle paths) {
    for_each(paths, [&](nb::handle path) {
        if (!is_usable_path(path))
            return;
        nb::tuple segments = split_path(path);
        expand_path(section, segments, Segments(), [&](const Segments &at, nb::handle value) {
            if (at.empty())
                return;
            nb::object formatted = format_value(value);
            set_nested(extract, at.data(), at.size(), formatted);
        });
    });
}

void extract_section(nb::handle extract, nb::handle section, nb::handle cfg) {
    nb::object include_fields = config_entry(cfg, "include_fields");
    nb::object include_paths = config_entry(cfg, "include_paths");
    if (PyList_Check(include_paths.ptr())) {
        copy_paths(extract, section, include_paths);
        return;
    }
    if (PyList_Check(include_fields.ptr())) {
        for_each(include_fields, [&](nb::handle field) {
            if (contains(section, field))
                copy_field(extract, field, get(section, field));
        });
        return;
    }
    copy_all_fields(extract, section);
}

void apply_exclusions(nb::handle extract, nb::handle cfg) {
    nb::object paths = config_entry(cfg, "exclude_paths");
    if (!PyList_Check(paths.ptr()))
        return;
    for_each(paths, [&](nb::handle path) {
        if (is_usable_path(path))
            remove_nested(extract, split_path(path));
    });
}

bool is_empty_mapping(nb::handle section) {
    if (PyDict_CheckExact(section.ptr()))
        return PyDict_GET_SIZE(section.ptr()) == 0;
    return equals(section, nb::dict());
}

nb::object parse(nb::handle self) {
    // Looked up on the class at each call, as a replaced loader must be used.
    nb::object loader = host_module("CorvaneFileParser.Parsers.JsonExtractReader")
                            .attr("JsonExtractReader")
                            .attr("_load_json");
    nb::object data = loader(self.attr("file_path"));
    nb::dict result;
    nb::dict data_key_map = key_map(data);

    nb::object sections = self.attr("section_config").attr("items")();
    for_each(sections, [&](nb::handle pair) {
        nb::object name = pair[0], cfg = pair[1];
        nb::dict extract;
        nb::list candidates = candidate_keys(name, cfg);

        nb::object actual_key;
        for (nb::handle candidate : candidates) {
            nb::object found = get(data_key_map, lower(candidate));
            if (truthy(found)) {
                actual_key = std::move(found);
                break;
            }
        }

        if (actual_key.is_valid()) {
            nb::object section = steal_checked(PyObject_GetItem(data.ptr(), actual_key.ptr()));
            if (is_empty_mapping(section))
                log_warning(concat_str(
                    {nb::str("Section '"), actual_key, nb::str("' is empty in the input data.")}));
            extract_section(extract, section, cfg);
        } else {
            log_warning(concat_str({nb::str("None of keys "), candidates,
                                    nb::str(" from config matched input data. Skipping.")}));
        }
        apply_exclusions(extract, cfg);
        set_item(result, name, extract);
    });
    return std::move(result);
}

}  // namespace

NB_MODULE(JsonExtractReader, m) {
    nb::module_::import_("json");
    nb::object base = import_attr("CorvaneFileParser.Parsers.ReportReaderBase", "ReportReaderBase");
    nb::module_::import_("CorvaneFileParser.Models");

    m.def("_expand_path_matches", &expand_path_matches, nb::arg("node").none(),
          nb::arg("parts").none(), nb::arg("prefix").none() = nb::none());
    m.def("_set_nested_value", &set_nested_value, nb::arg("target").none(),
          nb::arg("parts").none(), nb::arg("value").none());
    m.def("_remove_nested_value", &remove_nested_value, nb::arg("target").none(),
          nb::arg("parts").none());

    ClassBuilder::plain(m, "JsonExtractReader", {base})
        .doc("Reader of a caller's JSON document (targeted caller, long-read phaser).\n\n"
             "Each configured section takes the document key named by \"json_key\", the\n"
             "keys of \"json_keys\" or the section name (tried in order, case ignored);\n"
             "\"include_paths\" (dotted paths, \"*\" wildcards, list indices) or\n"
             "\"include_fields\" (top-level fields) select what is kept, \"exclude_paths\"\n"
             "removes paths at the end; without include settings every field is kept.")
        .method("parse", &parse,
                nb::sig("def parse(self) -> CorvaneFileParser.Models.JsonDict"),
                "Reads the JSON document (UTF-8) and returns the selected, normalised\n"
                "fields of each configured section found in it, keyed by section name.\n"
                "Raises OSError when the file cannot be read and ValueError\n"
                "(json.JSONDecodeError) for invalid JSON.")
        .static_method("_load_json", &load_json, nb::arg("path").none())
        .finish();
}
