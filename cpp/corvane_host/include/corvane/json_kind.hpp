// How messages call the kind of a parsed JSON value.
#pragma once

#include <corvane/c_api.hpp>

namespace corvane {

// "null", "a boolean", "a number", "a string", "an array" (a list or
// tuple) or "an object"; nullptr for anything json.load does not make.
inline const char *json_kind(nb::handle value) {
    PyObject *p = value.ptr();
    if (p == Py_None)
        return "null";
    if (PyBool_Check(p))
        return "a boolean";
    if (PyLong_Check(p) || PyFloat_Check(p))
        return "a number";
    if (PyUnicode_Check(p))
        return "a string";
    if (PyList_Check(p) || PyTuple_Check(p))
        return "an array";
    if (PyDict_Check(p))
        return "an object";
    return nullptr;
}

}  // namespace corvane
