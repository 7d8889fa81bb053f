#include <corvane/checked_settings.hpp>
#include <corvane/c_api.hpp>
#include <corvane/package_entry_points.hpp>

#include <cstring>
#include <utility>
#include <vector>

namespace corvane {

namespace {

// Configurations nested deeper than this are always checked.
constexpr int kMaxDepth = 32;
// Configurations remembered per check; the oldest goes first.
constexpr Py_ssize_t kMaxRemembered = 32;

bool is_plain_scalar(PyObject *p) {
    return p == Py_None || PyBool_Check(p) || PyUnicode_CheckExact(p) || PyLong_CheckExact(p) ||
           PyFloat_CheckExact(p);
}

// A private copy of `value` (its dicts and lists copied, its scalars shared:
// they cannot change); unset when it holds anything else or nests too deep.
nb::object snapshot(nb::handle value, int depth) {
    PyObject *p = value.ptr();
    if (is_plain_scalar(p))
        return nb::borrow(value);
    if (depth >= kMaxDepth)
        return nb::object();
    if (PyDict_CheckExact(p)) {
        nb::object copy = steal_checked(PyDict_New());
        Py_ssize_t position = 0;
        PyObject *key, *item;
        while (PyDict_Next(p, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key))
                return nb::object();
            nb::object kept = snapshot(item, depth + 1);
            if (!kept.is_valid())
                return kept;
            if (PyDict_SetItem(copy.ptr(), key, kept.ptr()) < 0)
                raise_pending();
        }
        return copy;
    }
    if (PyList_CheckExact(p)) {
        Py_ssize_t size = PyList_GET_SIZE(p);
        nb::object copy = steal_checked(PyList_New(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            nb::object kept = snapshot(PyList_GET_ITEM(p, i), depth + 1);
            if (!kept.is_valid())
                return kept;
            PyList_SET_ITEM(copy.ptr(), i, kept.release().ptr());
        }
        return copy;
    }
    return nb::object();
}

bool same_text(PyObject *a, PyObject *b) {
    return a == b || (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) &&
                      PyUnicode_Compare(a, b) == 0);
}

// `value` holds what `kept` (a snapshot) holds: the same kinds, the same
// values, the same keys in the same order.
bool same_as(PyObject *value, PyObject *kept) {
    if (value == kept)
        return is_plain_scalar(value);
    if (Py_TYPE(value) != Py_TYPE(kept))
        return false;
    if (PyUnicode_CheckExact(kept))
        return PyUnicode_Compare(value, kept) == 0;
    if (PyLong_CheckExact(kept)) {
        int equal = PyObject_RichCompareBool(value, kept, Py_EQ);
        if (equal < 0)
            raise_pending();
        return equal == 1;
    }
    if (PyFloat_CheckExact(kept)) {
        double a = PyFloat_AS_DOUBLE(value), b = PyFloat_AS_DOUBLE(kept);
        return std::memcmp(&a, &b, sizeof a) == 0;
    }
    if (PyDict_CheckExact(kept)) {
        if (PyDict_GET_SIZE(value) != PyDict_GET_SIZE(kept))
            return false;
        Py_ssize_t at_value = 0, at_kept = 0;
        PyObject *key, *item, *kept_key, *kept_item;
        while (PyDict_Next(kept, &at_kept, &kept_key, &kept_item)) {
            if (!PyDict_Next(value, &at_value, &key, &item))
                return false;
            // Borrowed: comparing plain data runs no code that could change them.
            if (!same_text(key, kept_key) || !same_as(item, kept_item))
                return false;
        }
        return true;
    }
    if (PyList_CheckExact(kept)) {
        Py_ssize_t size = PyList_GET_SIZE(kept);
        if (PyList_GET_SIZE(value) != size)
            return false;
        for (Py_ssize_t i = 0; i < size; ++i)
            if (!same_as(PyList_GET_ITEM(value, i), PyList_GET_ITEM(kept, i)))
                return false;
        return true;
    }
    return false;
}

// The configuration a constructor about to run is given as a faithful copy
// of a document, and that document; both unset when none is announced.
// An announcement holds for the thread that made it only: another thread's
// constructor may run in between (a check calls back into Python), and its
// own announcement must never outlive it or apply to this thread's objects.
struct Announcement {
    PyObject *config = nullptr;
    PyObject *origin = nullptr;
    unsigned long thread = 0;
};

constexpr const char *kAnnouncementCapsule = "CorvaneFileParser.announced_copy";

// The process's one announcement (each extension module has its own copy of
// this library, so it is found through the readers' base module, which holds
// it); null while that module is not loaded.
Announcement *shared_announcement() {
    static Announcement *shared = nullptr;
    if (shared)
        return shared;
    nb::object name = steal_checked(PyUnicode_FromString(package_entry::kReportReaderBaseModule));
    PyObject *module = PyImport_GetModule(name.ptr());
    if (!module) {
        if (PyErr_Occurred())
            raise_pending();
        return nullptr;
    }
    nb::object owner = nb::steal(module);
    PyObject *capsule = PyObject_GetAttrString(owner.ptr(), "_announced_copy");
    if (!capsule) {
        PyErr_Clear();
        return nullptr;
    }
    shared = static_cast<Announcement *>(PyCapsule_GetPointer(capsule, kAnnouncementCapsule));
    Py_DECREF(capsule);  // the module keeps it
    if (!shared)
        PyErr_Clear();
    return shared;
}

// The document `config` was announced as a copy of; null when it was not.
PyObject *announced_origin(PyObject *config) {
    Announcement *announcement = shared_announcement();
    return announcement && announcement->config == config &&
                   announcement->thread == PyThread_get_thread_ident()
               ? announcement->origin
               : nullptr;
}

}  // namespace

nb::object announced_copy_capsule() {
    static Announcement announcement;
    return steal_checked(PyCapsule_New(&announcement, kAnnouncementCapsule, nullptr));
}

AnnouncedCopy::AnnouncedCopy(nb::handle config, nb::handle origin) : config_(config.ptr()) {
    Announcement *announcement = shared_announcement();
    if (!announcement)
        raise(PyExc_RuntimeError, "the readers' base module is not loaded");
    previous_config_ = announcement->config;
    previous_origin_ = announcement->origin;
    previous_thread_ = announcement->thread;
    *announcement = {config.ptr(), origin.ptr(), PyThread_get_thread_ident()};
}

AnnouncedCopy::~AnnouncedCopy() {
    Announcement *announcement = shared_announcement();
    unsigned long thread = PyThread_get_thread_ident();
    // Left alone when another thread has announced since (its own end clears
    // it); the one before is restored only when it is this thread's, whose
    // constructor is still running, never another thread's, which may be over.
    if (announcement->config != config_ || announcement->thread != thread)
        return;
    if (previous_thread_ == thread)
        *announcement = {previous_config_, previous_origin_, previous_thread_};
    else
        *announcement = {};
}

nb::object plain_snapshot(nb::handle value) { return snapshot(value, 0); }

bool same_plain_data(nb::handle value, nb::handle kept) { return same_as(value.ptr(), kept.ptr()); }

bool CheckedSettings::passed(nb::handle config) {
    PyObject *origin = announced_origin(config.ptr());
    if (origin)
        for (nb::handle passed_origin : origins_)
            if (passed_origin.ptr() == origin)
                return true;
    for (nb::handle kept : snapshots_)
        if (same_as(config.ptr(), kept.ptr())) {
            if (origin)
                remember_origin(origin);
            return true;
        }
    return false;
}

void CheckedSettings::remember_origin(PyObject *origin) {
    if (PyList_GET_SIZE(origins_.ptr()) >= kMaxRemembered &&
        PyList_SetSlice(origins_.ptr(), 0, 1, nullptr) < 0)
        raise_pending();
    origins_.append(nb::handle(origin));
}

void CheckedSettings::remember(nb::handle config) {
    if (!remembers_)
        return;
    nb::object kept = snapshot(config, 0);
    if (!kept.is_valid())
        return;
    if (PyList_GET_SIZE(snapshots_.ptr()) >= kMaxRemembered &&
        PyList_SetSlice(snapshots_.ptr(), 0, 1, nullptr) < 0)
        raise_pending();
    snapshots_.append(kept);
    if (PyObject *origin = announced_origin(config.ptr()))
        remember_origin(origin);
}

CheckedSettings &checked_settings(const void *check, nb::handle variant) {
    struct Memory {
        const void *check;
        nb::object variant;  // a snapshot, or unset
        CheckedSettings *settings;
    };
    static auto *memories = new std::vector<Memory>();
    for (Memory &memory : *memories)
        if (memory.check == check &&
            (variant.is_valid() ? memory.variant.is_valid() && same_as(variant.ptr(), memory.variant.ptr())
                                : !memory.variant.is_valid()))
            return *memory.settings;
    nb::object kept;
    if (variant.is_valid()) {
        kept = snapshot(variant, 0);
        // Data that cannot be remembered gets a memory of its own that
        // nothing else finds, and nothing is remembered in it.
        if (!kept.is_valid()) {
            static auto *unremembered = new CheckedSettings(false);
            return *unremembered;
        }
    }
    memories->push_back({check, kept, new CheckedSettings()});
    return *memories->back().settings;
}

}  // namespace corvane
