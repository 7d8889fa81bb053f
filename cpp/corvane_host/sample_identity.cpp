#include <corvane/c_api.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/sample_identity.hpp>

namespace corvane {

namespace {

nb::object stripped(nb::handle text) {
    return steal_checked(PyObject_CallMethodNoArgs(text.ptr(), interned("strip").ptr()));
}

// `identifier` is `name`, or `name` followed by a separator and more.
SampleMatch match_name(nb::handle identifier, nb::handle name, SampleMatch equal) {
    if (!PyUnicode_Check(name.ptr()))
        return SampleMatch::kNone;
    Py_ssize_t size = PyUnicode_GET_LENGTH(name.ptr());
    Py_ssize_t length = PyUnicode_GET_LENGTH(identifier.ptr());
    if (size == 0 || length < size)
        return SampleMatch::kNone;
    Py_ssize_t starts = PyUnicode_Tailmatch(identifier.ptr(), name.ptr(), 0, size, -1);
    if (starts < 0)
        raise_pending();
    if (!starts)
        return SampleMatch::kNone;
    if (length == size)
        return equal;
    Py_UCS4 next = PyUnicode_READ_CHAR(identifier.ptr(), size);
    return next == '_' || next == '-' || next == '.' ? SampleMatch::kPrefix : SampleMatch::kNone;
}

}  // namespace

SampleMatch match_sample(nb::handle identifier, nb::handle sample, nb::handle aliases) {
    if (!PyUnicode_Check(identifier.ptr()))
        return SampleMatch::kNone;
    nb::object text = stripped(identifier);
    SampleMatch best = match_name(text, sample, SampleMatch::kExact);
    if (best == SampleMatch::kExact || aliases.is_none())
        return best;
    iterate_until(aliases, [&](nb::handle alias) {
        SampleMatch found = match_name(text, alias, SampleMatch::kAlias);
        if (found > best)
            best = found;
        return best == SampleMatch::kAlias;
    });
    return best;
}

bool is_blank_identifier(nb::handle identifier) {
    if (!PyUnicode_Check(identifier.ptr()))
        return true;
    nb::str word = lower(stripped(identifier));
    for (const char *blank : {"", "na", "n/a", "none", "null"})
        if (PyUnicode_CompareWithASCIIString(word.ptr(), blank) == 0)
            return true;
    return false;
}

}  // namespace corvane
