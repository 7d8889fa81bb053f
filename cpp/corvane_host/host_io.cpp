#include <corvane/host_io.hpp>
#include <corvane/c_api.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>

#include <fcntl.h>

namespace corvane {

namespace {

// The content of the regular file `name`, read by the system directly: no
// file object, and one read for a file whose size is known. An invalid
// object when it cannot be opened, is no regular file or a read fails: the
// host's open() then reads it, or raises its own error.
nb::object read_regular_file(const char *name, Py_ssize_t largest = PY_SSIZE_T_MAX / 2 - 1) {
    int fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nb::object();
    struct Closing {
        int fd;
        ~Closing() { ::close(fd); }
    } closing{fd};
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size > largest)
        return nb::object();
    // One byte more than the size, so that the end is seen in the same read.
    Py_ssize_t capacity = (Py_ssize_t) status.st_size + 1, size = 0;
    PyObject *content = PyBytes_FromStringAndSize(nullptr, capacity);
    if (!content)
        raise_pending();
    for (;;) {
        if (size == capacity) {  // grown since its size was taken
            capacity *= 2;
            if (_PyBytes_Resize(&content, capacity) < 0)
                raise_pending();
        }
        ssize_t count;
        char *into = PyBytes_AS_STRING(content) + size;
        Py_BEGIN_ALLOW_THREADS
        count = ::read(fd, into, (size_t) (capacity - size));
        Py_END_ALLOW_THREADS
        if (count > 0) {
            size += count;
            continue;
        }
        if (count == 0)
            break;
        if (errno == EINTR && PyErr_CheckSignals() == 0)
            continue;
        Py_DECREF(content);
        if (PyErr_Occurred())  // a signal handler raised
            raise_pending();
        return nb::object();
    }
    if (_PyBytes_Resize(&content, size) < 0)
        raise_pending();
    return nb::steal(content);
}

}  // namespace

// Whether a str is made only of "/" (the root, however written).
static bool only_slashes(PyObject *text, Py_ssize_t length) {
    for (Py_ssize_t i = 0; i < length; ++i)
        if (PyUnicode_READ_CHAR(text, i) != (Py_UCS4) '/')
            return false;
    return true;
}

// os.path.join of two paths; two plain str joined here as it joins them.
nb::object join_path(nb::handle directory, nb::handle name) {
    if (!PyUnicode_CheckExact(directory.ptr()) || !PyUnicode_CheckExact(name.ptr()))
        return host_attr("os.path", "join")(directory, name);
    Py_ssize_t length = PyUnicode_GET_LENGTH(directory.ptr());
    if (PyUnicode_GET_LENGTH(name.ptr()) > 0 && PyUnicode_READ_CHAR(name.ptr(), 0) == (Py_UCS4) '/')
        return nb::borrow(name);
    if (length == 0 || PyUnicode_READ_CHAR(directory.ptr(), length - 1) == (Py_UCS4) '/')
        return concat_str({directory, name});
    return concat_str({directory, interned("/"), name});
}

// os.path.dirname of a path; a plain str's worked out here as it works it out.
nb::object directory_of(nb::handle path) {
    if (!PyUnicode_CheckExact(path.ptr()))
        return host_attr("os.path", "dirname")(path);
    Py_ssize_t length = PyUnicode_GET_LENGTH(path.ptr());
    Py_ssize_t slash = length == 0 ? -1 : PyUnicode_FindChar(path.ptr(), '/', 0, length, -1);
    if (slash == -2)
        raise_pending();
    Py_ssize_t end = slash + 1;  // the head keeps its trailing "/"s ...
    if (end > 0 && !only_slashes(path.ptr(), end))  // ... but for the root's
        while (PyUnicode_READ_CHAR(path.ptr(), end - 1) == (Py_UCS4) '/')
            --end;
    return steal_checked(PyUnicode_Substring(path.ptr(), 0, end));
}

nb::object read_file_bytes(nb::handle path) {
    nb::object encoded = system_path(path);
    if (encoded.is_valid()) {
        nb::object content = read_regular_file(PyBytes_AS_STRING(encoded.ptr()));
        if (content.is_valid())
            return content;
    }
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
    if (!PyBytes_CheckExact(content.ptr()) || PyBytes_GET_SIZE(content.ptr()) > kLargestKeptSource)
        return;
    nb::setattr(reader, "_source_bytes", nb::make_tuple(path, content));
}

nb::object read_small_file_bytes(nb::handle path, Py_ssize_t largest) {
    nb::object encoded = system_path(path);
    return encoded.is_valid() ? read_regular_file(PyBytes_AS_STRING(encoded.ptr()), largest)
                              : nb::object();
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
