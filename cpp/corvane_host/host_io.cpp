#include <corvane/host_io.hpp>
#include <corvane/c_api.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>

namespace corvane {

nb::object read_file_bytes(nb::handle path) {
    nb::object file = host_attr("builtins", "open")(path, "rb");
    nb::object content;
    try {
        content = file.attr("read")();
    } catch (...) {
        // The read's own error is the one to report.
        nb::object closed = nb::steal(PyObject_CallMethod(file.ptr(), "close", nullptr));
        if (!closed.is_valid())
            PyErr_Clear();
        throw;
    }
    file.attr("close")();
    return content;
}

void keep_source_bytes(nb::handle reader, nb::handle path, nb::handle content) {
    constexpr Py_ssize_t kLargestKept = 1 << 20;
    if (!PyBytes_CheckExact(content.ptr()) || PyBytes_GET_SIZE(content.ptr()) > kLargestKept)
        return;
    nb::setattr(reader, "_source_bytes", nb::make_tuple(path, content));
}

nb::object json_load_closing(nb::handle stream) {
    nb::object document;
    try {
        document = host_attr("json", "load")(stream);
    } catch (...) {
        stream.attr("close")();
        throw;
    }
    stream.attr("close")();
    return document;
}

}  // namespace corvane

namespace corvane::package_entry {

nb::object open_program_log() {
    PyObject *module = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(),
                          interned(kProgramLogModule).ptr(), &module) < 0)
        raise_pending();
    if (!module)
        return {};
    nb::object active = nb::steal(module).attr("active");
    return active.is_none() ? nb::object() : active;
}

}  // namespace corvane::package_entry

namespace corvane {

namespace {

void log_at(int level, const char *logging_function, nb::handle message) {
    if (nb::object direct = package_entry::open_program_log(); direct.is_valid())
        direct.attr("log")(level, message);
    else
        host_attr("logging", logging_function)(message);
}

}  // namespace

void log_info(nb::handle message) { log_at(20, "info", message); }

void log_warning(nb::handle message) { log_at(30, "warning", message); }

void log_error(nb::handle message) { log_at(40, "error", message); }

}  // namespace corvane
