#include <corvane/atomic_file.hpp>
#include <corvane/c_api.hpp>
#include <corvane/host_io.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

namespace {

// os.<name>, looked up on each call (see the header).
nb::object os_function(const char *name) { return host_module("os").attr(name); }

nb::object os_flags(std::initializer_list<const char *> names) {
    nb::handle os = host_module("os");
    long flags = 0;
    for (const char *name : names)
        flags |= nb::cast<long>(os.attr(name));
    return nb::int_(flags);
}

bool has_errno(nb::python_error &error, std::initializer_list<int> codes) {
    nb::object number = nb::getattr(error.value(), "errno", nb::none());
    if (!PyLong_Check(number.ptr()))
        return false;
    long value = PyLong_AsLong(number.ptr());
    for (int code : codes)
        if (value == code)
            return true;
    return false;
}

// Keeps a pending Python error aside while a destructor calls the host.
class ErrorStash {
public:
    ErrorStash() : saved_(PyErr_GetRaisedException()) {}
    ~ErrorStash() {
        PyErr_Clear();
        PyErr_SetRaisedException(saved_);
    }
    ErrorStash(const ErrorStash &) = delete;
    ErrorStash &operator=(const ErrorStash &) = delete;

private:
    PyObject *saved_;
};

// Runs `cleanup`, ignoring what it raises: the error that led here matters.
template <typename F> void quietly(F &&cleanup) noexcept {
    ErrorStash stash;
    try {
        cleanup();
    } catch (...) {
    }
}

struct FolderEntry {
    nb::object folder;  // "." for a bare name
    nb::object name;
};

// A path names its folder and file by str or, alike, by bytes.
FolderEntry split_path(nb::handle path) {
    nb::object parts = host_attr("os.path", "split")(path);
    nb::object folder = parts[0];
    if (!truthy(folder))
        folder = PyBytes_Check(folder.ptr()) ? nb::object(nb::bytes(".")) : nb::object(nb::str("."));
    return {folder, parts[1]};
}

// ".NAME<suffix>" beside the file.
nb::object sibling(const FolderEntry &entry, const char *suffix) {
    nb::object name;
    if (PyUnicode_CheckExact(entry.name.ptr())) {
        name = concat_str({interned("."), entry.name, interned(suffix)});
    } else {
        name = concat_str(
            {interned("."), host_attr("os", "fsdecode")(entry.name), interned(suffix)});
        if (PyBytes_Check(entry.name.ptr()))
            name = host_attr("os", "fsencode")(name);
    }
    return join_path(entry.folder, name);
}

nb::object temporary_path(const FolderEntry &entry) { return sibling(entry, ".tmp"); }
nb::object lock_path(const FolderEntry &entry) { return sibling(entry, ".lock"); }

bool mode_is(nb::handle status, const char *test) {
    return truthy(host_attr("stat", test)(status.attr("st_mode")));
}

// Whether nothing is at `path` (a symbolic link counts as an entry), asked
// of the system directly: the usual answer for a lock, a temporary or a first
// output, without the host's exception for it. False when unsure.
bool surely_absent(nb::handle path) {
    nb::object encoded = system_path(path);
    if (!encoded.is_valid())
        return false;
    struct stat status;
    return ::lstat(PyBytes_AS_STRING(encoded.ptr()), &status) != 0 && errno == ENOENT;
}

// os.lstat(path), or None when nothing is there.
nb::object entry_status(nb::handle path) {
    if (surely_absent(path))
        return nb::none();
    try {
        return os_function("lstat")(path);
    } catch (nb::python_error &error) {
        if (error.matches(PyExc_FileNotFoundError))
            return nb::none();
        throw;
    }
}

bool same_file(nb::handle a, nb::handle b) {
    return equals(a.attr("st_dev"), b.attr("st_dev")) && equals(a.attr("st_ino"), b.attr("st_ino"));
}

// Removes the entry at `path` (never what a link there points to); gone
// already is fine.
void remove_entry(nb::handle path) {
    nb::object encoded = system_path(path);
    if (encoded.is_valid()) {
        if (::unlink(PyBytes_AS_STRING(encoded.ptr())) == 0 || errno == ENOENT)
            return;
    }
    // The host's call, for its error (or a path only it takes).
    try {
        os_function("unlink")(path);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_FileNotFoundError))
            throw;
    }
}

// An open file descriptor, closed when the owner goes.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(nb::object fd) : fd_(std::move(fd)) {}
    Descriptor(Descriptor &&other) noexcept : fd_(std::move(other.fd_)) {}
    Descriptor &operator=(Descriptor &&other) noexcept {
        close();
        fd_ = std::move(other.fd_);
        return *this;
    }
    ~Descriptor() { close(); }
    nb::handle get() const { return fd_; }
    void close() noexcept {
        if (fd_.is_valid())
            quietly([&] { os_function("close")(fd_); });
        fd_ = nb::object();
    }

private:
    nb::object fd_;
};

// ---------------------------------------------------------------------------
// The lock of a name
// ---------------------------------------------------------------------------

double lock_wait_seconds() {
    return nb::cast<double>(package_entry::lock_wait_seconds());
}

double monotonic() { return nb::cast<double>(host_attr("time", "monotonic")()); }

// How long a writer may wait for the lock of a name: a lock held for ever
// is an error, not a hang.
struct LockWait {
    double seconds = lock_wait_seconds();
    double deadline = monotonic() + seconds;

    // Raises once the wait is over; otherwise how long is left.
    double left(nb::handle path) const {
        double left = deadline - monotonic();
        if (left <= 0)
            raise(PyExc_TimeoutError,
                  concat_str({interned("Another writer held the lock file "), path,
                              interned(" for "), nb::str("{:g}").format(seconds),
                              interned(" s; the file was not written")}));
        return left;
    }
};

// Whether a lock file's status can be trusted: a regular file without other
// names, and, in a folder where only owners may remove entries (the sticky
// bit, as in a shared 1777 folder), one that nobody but this user, the
// folder's owner or root can remove or replace while it is held.
bool trusted_lock(nb::handle status, nb::handle folder_status) {
    if (!mode_is(status, "S_ISREG") || !equals(status.attr("st_nlink"), nb::int_(1)))
        return false;
    long sticky = nb::cast<long>(host_attr("stat", "S_ISVTX"));
    if (!(nb::cast<long>(folder_status.attr("st_mode")) & sticky))
        return true;
    nb::object owner = status.attr("st_uid");
    return equals(owner, os_function("geteuid")()) || equals(owner, nb::int_(0)) ||
           equals(owner, folder_status.attr("st_uid"));
}

// Removes an entry found at the lock path that no writer may lock: a
// symbolic link, a FIFO or another file someone planted there.
void remove_planted(nb::handle path, nb::handle status, const char *what) {
    try {
        remove_entry(path);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_PermissionError))
            throw;
        raise(PyExc_PermissionError,
              concat_str({interned("Cannot replace the lock file "), path, interned(" ("),
                          nb::str(what), interned(" of user "), status.attr("st_uid"),
                          interned(")")}));
    }
}

// Waits for the exclusive lock of an open lock file, sleeping between tries
// (a signal handler can end the wait).
void wait_for_lock(nb::handle fd, nb::handle path, const LockWait &wait) {
    nb::handle fcntl = host_module("fcntl");
    nb::object operation = fcntl.attr("LOCK_EX") | fcntl.attr("LOCK_NB");
    double pause = 0.001;
    for (;;) {
        try {
            fcntl.attr("flock")(fd, operation);
            return;
        } catch (nb::python_error &error) {
            if (!has_errno(error, {EWOULDBLOCK, EAGAIN, EACCES}))
                throw;
        }
        host_module("time").attr("sleep")(std::min(pause, wait.left(path)));
        pause = std::min(pause * 2, 0.1);
    }
}

// The lock of a name taken in the usual case, asked of the system directly:
// nothing or a trustworthy lock file at the path, locked at the first try
// and still at the path once locked. Anything else (a planted entry, a
// holder, a path only the host takes) is left to NameLock's full loop, as
// if this had not been tried: the descriptor is closed, nothing removed.
struct QuickLock {
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
};

std::optional<QuickLock> quick_lock(nb::handle path, nb::handle folder) {
    nb::object encoded = system_path(path), folder_encoded = system_path(folder);
    if (!encoded.is_valid() || !folder_encoded.is_valid())
        return std::nullopt;
    const char *name = PyBytes_AS_STRING(encoded.ptr());
    struct stat folder_status, found, status, now;
    if (::stat(PyBytes_AS_STRING(folder_encoded.ptr()), &folder_status) != 0)
        return std::nullopt;
    if (::lstat(name, &found) == 0 ? !S_ISREG(found.st_mode) : errno != ENOENT)
        return std::nullopt;
    int fd = ::open(name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return std::nullopt;
    bool held = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::lstat(name, &now) == 0 &&
                now.st_dev == status.st_dev && now.st_ino == status.st_ino &&
                // trusted_lock's rule
                status.st_nlink == 1 &&
                (!(folder_status.st_mode & S_ISVTX) || status.st_uid == ::geteuid() ||
                 status.st_uid == 0 || status.st_uid == folder_status.st_uid);
    if (!held) {
        ::close(fd);
        return std::nullopt;
    }
    return QuickLock{fd, status.st_dev, status.st_ino};
}

// The advisory lock of one file name, held for the object's life. The lock
// file is opened without following links; anything at its path that is not
// a trustworthy lock file is replaced, or refused when this user may not
// remove it. The holder removes the lock file as it releases it; a waiter
// that then gets the lock of a file no longer at the path starts over.
class NameLock {
public:
    explicit NameLock(const FolderEntry &entry) : path_(lock_path(entry)) {
        if ((quick_ = quick_lock(path_, entry.folder)))
            return;
        nb::object folder_status = os_function("stat")(entry.folder);
        // Read-write, as a lock over NFS needs; not blocking on a FIFO.
        nb::object flags =
            os_flags({"O_RDWR", "O_CREAT", "O_NOFOLLOW", "O_NONBLOCK", "O_CLOEXEC"});
        nb::object read_only_flags =
            os_flags({"O_RDONLY", "O_NOFOLLOW", "O_NONBLOCK", "O_CLOEXEC"});
        LockWait wait;
        // Each pass ends holding the lock or starts over: after a holder
        // released it, or after a planted entry was removed.
        for (;;) {
            wait.left(path_);
            nb::object found = entry_status(path_);
            if (!found.is_none() && !mode_is(found, "S_ISREG")) {
                if (mode_is(found, "S_ISDIR"))
                    raise(PyExc_IsADirectoryError,
                          concat_str({interned("Lock file "), path_, interned(" is a directory")}));
                remove_planted(path_, found, "not a regular file");
                continue;
            }
            Descriptor fd;
            try {
                fd = Descriptor(os_function("open")(path_, flags, 0666));
            } catch (nb::python_error &error) {
                if (has_errno(error, {ELOOP}))  // made a link since the look
                    continue;
                // Another user's lock file can be locked through a
                // read-only descriptor (on local file systems).
                if (!has_errno(error, {EACCES}))
                    throw;
                try {
                    fd = Descriptor(os_function("open")(path_, read_only_flags));
                } catch (nb::python_error &again) {
                    if (has_errno(again, {ELOOP, ENOENT}))  // changed since
                        continue;
                    throw;
                }
            }
            nb::object status = os_function("fstat")(fd.get());
            if (!mode_is(status, "S_ISREG"))
                continue;
            wait_for_lock(fd.get(), path_, wait);
            nb::object now = entry_status(path_);
            if (now.is_none() || !same_file(now, status))
                continue;
            if (!trusted_lock(status, folder_status)) {
                // Removed while held: a writer waiting on it starts over.
                remove_planted(path_, status, "a file");
                continue;
            }
            fd_ = std::move(fd);
            status_ = std::move(status);
            return;
        }
    }

    ~NameLock() {
        if (quick_) {
            // Removed only while it is still the file locked.
            nb::object encoded = system_path(path_);
            struct stat now;
            if (encoded.is_valid() && ::lstat(PyBytes_AS_STRING(encoded.ptr()), &now) == 0 &&
                now.st_dev == quick_->device && now.st_ino == quick_->inode)
                ::unlink(PyBytes_AS_STRING(encoded.ptr()));
            ::close(quick_->fd);
            return;
        }
        quietly([&] {
            nb::object now = entry_status(path_);
            if (!now.is_none() && same_file(now, status_))
                remove_entry(path_);
        });
        fd_.close();
    }

    NameLock(const NameLock &) = delete;
    NameLock &operator=(const NameLock &) = delete;

private:
    nb::object path_;
    std::optional<QuickLock> quick_;
    Descriptor fd_;
    nb::object status_;
};

// ---------------------------------------------------------------------------
// The temporary of a file
// ---------------------------------------------------------------------------

// The temporary beside a target, removed unless renamed into place. Only the
// holder of the target's lock creates it, so one found there was left by a
// killed writer and is removed first.
class PendingFile {
public:
    PendingFile(nb::handle target, const FolderEntry &entry)
        : target_(nb::borrow(target)), path_(temporary_path(entry)) {
        for (int attempt = 0;; ++attempt) {
            try {
                // Exclusive creation never follows a symbolic link.
                file_ = host_module("builtins").attr("open")(path_, "xb");
                return;
            } catch (nb::python_error &error) {
                if (attempt >= 2 || !error.matches(PyExc_FileExistsError))
                    throw;
            }
            remove_entry(path_);
        }
    }

    ~PendingFile() {
        close_quietly();
        if (!renamed_)
            quietly([&] { remove_entry(path_); });
    }

    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;

    nb::handle file() const { return file_; }

    // Flushes the content, gives the file its permissions, syncs it when
    // durable and closes it.
    void finish(bool durable) {
        try {
            file_.attr("flush")();
            nb::object fd = file_.attr("fileno")();
            nb::object earlier = entry_status(target_);
            // Only this user's own earlier file passes on its permission bits
            // (never set-ID bits): a file someone else left at the name must
            // not make the new one writable to them.
            if (!earlier.is_none() && mode_is(earlier, "S_ISREG") &&
                equals(earlier.attr("st_uid"), os_function("geteuid")()))
                os_function("chmod")(fd, host_attr("stat", "S_IMODE")(earlier.attr("st_mode")) &
                                             nb::int_(0777));
            if (durable)
                os_function("fsync")(fd);
        } catch (...) {
            close_quietly();
            throw;
        }
        nb::object file = std::move(file_);
        file.attr("close")();
    }

    // Renames the temporary over the target: a link there is replaced.
    void rename_into_place() {
        os_function("replace")(path_, target_);
        renamed_ = true;
    }

private:
    void close_quietly() noexcept {
        if (file_.is_valid())
            quietly([&] { file_.attr("close")(); });
        file_ = nb::object();
    }

    nb::object target_, path_, file_;
    bool renamed_ = false;
};

// Makes the renames in `folder` durable. A file system that cannot sync a
// folder says so with EINVAL; its renames are as durable as it makes them.
void sync_folder(nb::handle folder) {
    Descriptor fd(os_function("open")(folder, os_flags({"O_RDONLY", "O_DIRECTORY", "O_CLOEXEC"})));
    try {
        os_function("fsync")(fd.get());
    } catch (nb::python_error &error) {
        if (!has_errno(error, {EINVAL, ENOTSUP}))
            throw;
    }
}

// Runs `step`, noting on a failure the path it was writing.
template <typename F> void while_writing(nb::handle path, F &&step) {
    try {
        step();
    } catch (nb::python_error &error) {
        add_note(error, concat_str({interned(kWritingNote), path}));
        throw;
    }
}

}  // namespace

void require_name_room(nb::handle path, bool locked) {
    FolderEntry entry = split_path(path);
    // The usual case asked of the system directly: a str or bytes path whose
    // folder tells its limit, and a name whose ".NAME.lock" fits in it (the
    // temporary's name is shorter).
    nb::object folder_encoded = system_path(entry.folder), name_encoded = system_path(entry.name);
    if (folder_encoded.is_valid() && name_encoded.is_valid()) {
        errno = 0;
        long limit = ::pathconf(PyBytes_AS_STRING(folder_encoded.ptr()), _PC_NAME_MAX);
        if (limit > 0 && PyBytes_GET_SIZE(name_encoded.ptr()) + 6 <= limit)
            return;
    }
    long limit;
    try {
        limit = nb::cast<long>(os_function("pathconf")(entry.folder, "PC_NAME_MAX"));
    } catch (nb::python_error &error) {
        // No such folder, or no limit known: the writing itself will say.
        if (!error.matches(PyExc_OSError) && !error.matches(PyExc_ValueError))
            throw;
        return;
    }
    if (limit <= 0)
        return;
    nb::list names;
    names.append(entry.name);
    names.append(host_attr("os.path", "basename")(temporary_path(entry)));
    if (locked)
        names.append(host_attr("os.path", "basename")(lock_path(entry)));
    for (nb::handle name : names) {
        size_t length = nb::len(host_attr("os", "fsencode")(name));
        if ((long) length > limit)
            raise(PyExc_OSError,
                  concat_str({interned("Cannot write "), path, interned(": the name "), name,
                              interned(" it needs is "), nb::int_(length),
                              interned(" bytes long, and its folder takes names of up to "),
                              nb::int_(limit), interned(" bytes")}));
    }
}

void write_file(nb::handle path, bool durable, const std::function<void(nb::handle)> &fill) {
    while_writing(path, [&] {
        require_name_room(path, true);
        FolderEntry entry = split_path(path);
        NameLock lock(entry);
        PendingFile pending(path, entry);
        fill(pending.file());
        pending.finish(durable);
        pending.rename_into_place();
        if (durable)
            sync_folder(entry.folder);
    });
}

void write_file_pair(nb::handle first, nb::handle second, bool durable,
                     const std::function<void(nb::handle)> &fill_first,
                     const std::function<nb::object()> &second_content) {
    FolderEntry first_entry = split_path(first), second_entry = split_path(second);
    std::optional<NameLock> lock;
    std::optional<PendingFile> pending_first, pending_second;
    while_writing(first, [&] {
        require_name_room(first, true);
        lock.emplace(first_entry);
    });
    // A killed writer's temporary goes even when this writer fails before
    // it makes its own.
    while_writing(second, [&] { remove_entry(temporary_path(second_entry)); });
    while_writing(first, [&] {
        pending_first.emplace(first, first_entry);
        fill_first(pending_first->file());
        pending_first->finish(durable);
    });
    while_writing(second, [&] {
        require_name_room(second, false);
        nb::object content = second_content();
        pending_second.emplace(second, second_entry);
        pending_second->file().attr("write")(content);
        pending_second->finish(durable);
        // From here on a stop leaves no companion rather than a wrong one.
        remove_entry(second);
    });
    while_writing(first, [&] { pending_first->rename_into_place(); });
    while_writing(second, [&] { pending_second->rename_into_place(); });
    if (durable) {
        while_writing(first, [&] { sync_folder(first_entry.folder); });
        if (!equals(first_entry.folder, second_entry.folder))
            while_writing(second, [&] { sync_folder(second_entry.folder); });
    }
}

void sync_file_system(nb::handle path) {
    Descriptor fd(os_function("open")(path, os_flags({"O_RDONLY", "O_NONBLOCK", "O_CLOEXEC"})));
    int descriptor = nb::cast<int>(fd.get());
    int result = 0;
    {
        nb::gil_scoped_release unlocked;
#ifdef __linux__
        result = syncfs(descriptor);
#else
        (void) descriptor;
        sync();
#endif
    }
    if (result != 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        raise_pending();
    }
}

}  // namespace corvane
