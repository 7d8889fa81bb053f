#include <corvane/section_status.hpp>
#include <corvane/c_api.hpp>
#include <corvane/host_lookup.hpp>

#include <cmath>

namespace corvane {

nb::handle status_text(SectionStatus status) {
    switch (status) {
    case SectionStatus::Finding:
        return interned("finding");
    case SectionStatus::NoCall:
        return interned("no_call");
    case SectionStatus::Normal:
        return interned("normal");
    case SectionStatus::NotInterpreted:
        return interned("not_interpreted");
    case SectionStatus::NotAssessed:
        return interned("not_assessed");
    case SectionStatus::QcFailed:
        return interned("qc_failed");
    }
    return interned("not_assessed");
}

SectionStatus RulesOutcome::settle() const {
    if (finding_)
        return SectionStatus::Finding;
    if (no_call_ || unusable_)
        return SectionStatus::NoCall;
    if (uninterpreted_)
        return SectionStatus::NotInterpreted;
    return present_ ? SectionStatus::Normal : SectionStatus::NotAssessed;
}

nb::object assessment(nb::handle text, SectionStatus status) {
    return nb::make_tuple(text, status_text(status));
}

bool is_measure(nb::handle value) {
    PyObject *p = value.ptr();
    if (PyBool_Check(p))
        return false;
    if (PyLong_Check(p))
        return true;
    return PyFloat_Check(p) && std::isfinite(PyFloat_AS_DOUBLE(p));
}

namespace {

bool is_whole(nb::handle value) {
    PyObject *p = value.ptr();
    if (PyLong_Check(p))
        return true;
    double number = PyFloat_AS_DOUBLE(p);
    return std::isfinite(number) && std::floor(number) == number;
}

bool operator_is(nb::handle name, const char *wanted) {
    return PyUnicode_Check(name.ptr()) &&
           PyUnicode_CompareWithASCIIString(name.ptr(), wanted) == 0;
}

}  // namespace

bool is_whole_count(nb::handle value) {
    if (!is_measure(value) || !is_whole(value))
        return false;
    int negative = PyObject_RichCompareBool(value.ptr(), nb::int_(0).ptr(), Py_LT);
    if (negative < 0)
        raise_pending();
    return !negative;
}

bool suits_condition(nb::handle operator_name, nb::handle target, nb::handle value) {
    PyObject *v = value.ptr(), *t = target.ptr();
    if (operator_is(operator_name, "GT") || operator_is(operator_name, "LT") ||
        operator_is(operator_name, "GE") || operator_is(operator_name, "LE"))
        return is_measure(value);
    if (operator_is(operator_name, "CONTAINS"))
        return PyUnicode_Check(v) || PyList_Check(v) || PyAnySet_Check(v);
    if (operator_is(operator_name, "EQ") || operator_is(operator_name, "NE")) {
        if (t == Py_None)
            return true;
        if (v == Py_None)
            return false;
        if (PyBool_Check(t))
            return PyBool_Check(v);
        if (PyLong_Check(t) || PyFloat_Check(t)) {
            if (!is_measure(value))
                return false;
            // Compared with a count (a whole number, 0 or more), a value must be
            // one too: a fraction or a negative number is no number of copies.
            if (is_whole_count(target))
                return is_whole_count(value);
            return !is_whole(target) || is_whole(value);
        }
        if (PyUnicode_Check(t))
            return PyUnicode_Check(v);
        return true;
    }
    // An operator of the lab's own: any value but None.
    return v != Py_None;
}

}  // namespace corvane
