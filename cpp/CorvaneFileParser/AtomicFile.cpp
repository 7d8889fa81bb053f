// Files written whole or not at all, for the package's Python code (the run
// summary); the driver uses the same implementation (corvane/atomic_file.hpp).
#include <corvane/atomic_file.hpp>

namespace nb = nanobind;
using namespace corvane;

namespace {

void write_bytes(nb::handle path, nb::bytes data, bool durable) {
    write_file(path, durable, [&](nb::handle file) { file.attr("write")(data); });
}

}  // namespace

NB_MODULE(AtomicFile, m) {
    // How long a writer waits for another to release the lock of a name
    // before it gives up (a lock held for ever must not hang a run).
    m.attr("LOCK_WAIT_SECONDS") = 600.0;
    m.attr("__annotations__") = nb::dict();
    m.attr("__annotations__")["LOCK_WAIT_SECONDS"] = nb::str("float");
    m.def("write_file", &write_bytes, nb::arg("path"), nb::arg("data"),
          nb::arg("durable") = true,
          nb::sig("def write_file(path: str | os.PathLike[str], data: bytes,"
                  " durable: bool = True) -> None"),
          "Replaces the file at path by data, whole or not at all: written to \".NAME.tmp\"\n"
          "beside it (created exclusively), flushed to disk (unless durable is false) and\n"
          "renamed over it, so a symbolic link at path is replaced, never followed. Writers\n"
          "of one name take turns under the lock file \".NAME.lock\", whose holder removes\n"
          "a temporary a killed writer left. An existing regular file of this user keeps\n"
          "its permission bits; a new file gets 0666 less the umask. Raises OSError (the\n"
          "earlier file kept, no temporary left) when the file cannot be written, also\n"
          "when the folder does not take the names it needs.");
    m.def("sync_file_system", &sync_file_system, nb::arg("path"),
          nb::sig("def sync_file_system(path: str | os.PathLike[str]) -> None"),
          "Flushes to disk everything written to the file system that holds path (a file\n"
          "or folder): syncfs(2). For a caller that writes many files with durable false\n"
          "and makes them durable once. Raises OSError when path cannot be opened.");
}
