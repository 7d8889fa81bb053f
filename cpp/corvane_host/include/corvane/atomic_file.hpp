// Files replaced whole or not at all, also in folders other users can write
// to. A file is written to a temporary beside it (".NAME.tmp", created
// exclusively), flushed to disk and renamed over the target: a symbolic link
// at the target is replaced, never followed. Writers of one name take turns
// under an advisory lock (".NAME.lock" beside it, removed by its holder on
// release), and the holder removes the temporaries a killed writer left.
// The file operations go through the host's os module, looked up on each
// call, so a test's stand-in for os.replace or os.fsync is the one called.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>

namespace corvane {

namespace nb = nanobind;

// Prefix of the note added to an error raised while a file was written; the
// file's path follows it.
constexpr const char *kWritingNote = "while writing ";

// Raises OSError unless the folder of `path` takes its name and the names
// made from it: the temporary and, when `locked`, the lock. Checked before
// anything is written, so a name too long keeps the earlier file.
void require_name_room(nb::handle path, bool locked);

// Replaces the file at `path` by what `fill(file)` writes into a binary file
// object. With `durable`, the content and the folder entry are on disk when
// it returns; without, they are left to the system (a caller writing many
// files syncs the file system once). An existing regular file of this user
// keeps its permission bits; a new file gets 0666 less the umask. On any
// failure the earlier file stays, the temporary is removed and the error
// carries the note "while writing <path>".
void write_file(nb::handle path, bool durable, const std::function<void(nb::handle)> &fill);

// Replaces `first` and its companion `second` (in the same folder; e.g. an
// output and its manifest) so that the two on disk always come from one
// writer: under the lock of `first`, both temporaries are written in full,
// then the old `second` is removed and the two are renamed into place. A
// writer stopped at any point leaves the earlier pair, the earlier `first`
// alone, or the new `first` alone, never a mixed pair. `second_content()`
// gives the bytes of `second` once `first` is written.
void write_file_pair(nb::handle first, nb::handle second, bool durable,
                     const std::function<void(nb::handle)> &fill_first,
                     const std::function<nb::object()> &second_content);

// Flushes to disk everything written to the file system that holds `path`
// (syncfs; sync where the system has no syncfs): what a caller writing with
// `durable` false does once for a batch. The interpreter runs on meanwhile.
void sync_file_system(nb::handle path);

}  // namespace corvane
