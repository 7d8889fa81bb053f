// The files of one driver run: discovery, resolution and the refusals made
// before anything is read or written (see corvane/run_inputs.hpp).
#include <corvane/run_inputs.hpp>
#include <corvane/c_api.hpp>
#include <corvane/host_io.hpp>
#include <corvane/host_lookup.hpp>
#include <corvane/package_entry_points.hpp>

#include <sys/stat.h>

#include <optional>
#include <utility>

namespace corvane {

using driver_entry::entry;
using namespace driver_entry;

namespace {

bool path_exists(nb::handle path) { return truthy(host_attr("os.path", "exists")(path)); }

int system_mode(nb::handle path, bool follow, mode_t &mode);

// os.path.isdir: one stat asked of the system for a str or bytes path.
bool is_directory(nb::handle path) {
    mode_t mode = 0;
    int found = system_mode(path, true, mode);
    if (found >= 0)
        return found == 1 && S_ISDIR(mode);
    return truthy(host_attr("os.path", "isdir")(path));
}

nb::object real_path(nb::handle path) { return host_attr("os.path", "realpath")(path); }

// The mode of what `path` names (symbolic links followed when `follow`),
// asked of the system directly for a str or bytes path: 1 with `mode` set, 0
// when the call fails (where os.path.exists says False), -1 when only the
// host's own calls can tell.
int system_mode(nb::handle path, bool follow, mode_t &mode) {
    nb::object encoded = system_path(path);
    if (!encoded.is_valid())
        return -1;
    struct stat status;
    const char *name = PyBytes_AS_STRING(encoded.ptr());
    if ((follow ? ::stat(name, &status) : ::lstat(name, &status)) != 0)
        return 0;
    mode = status.st_mode;
    return 1;
}

const char *irregular_kind_of_mode(mode_t mode) {
    if (S_ISREG(mode))
        return nullptr;
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a special file";
}

}  // namespace

// What kind of file system entry `path` is when it is not a regular file
// ("a FIFO", "a directory", ...); nullptr for a regular file. Follows
// symbolic links.
const char *irregular_kind(nb::handle path) {
    mode_t known = 0;
    if (system_mode(path, true, known) == 1)
        return irregular_kind_of_mode(known);
    // The host's stat, for its error (or a path only it takes).
    nb::object mode = host_attr("os", "stat")(path).attr("st_mode");
    auto is = [&](const char *test) { return truthy(host_attr("stat", test)(mode)); };
    if (is("S_ISREG"))
        return nullptr;
    if (is("S_ISDIR"))
        return "a directory";
    if (is("S_ISFIFO"))
        return "a FIFO";
    if (is("S_ISCHR"))
        return "a character device";
    if (is("S_ISBLK"))
        return "a block device";
    if (is("S_ISSOCK"))
        return "a socket";
    return "a special file";
}

nb::object output_path(nb::handle self) {
    return join_path(self.attr("output_dir"), self.attr("output_json"));
}

// The real paths of the run's own output and manifest, which discovery
// leaves out; none when the output location is not made of strings (a
// request may hold anything until the output is written).
static nb::list own_output_paths(nb::handle self) {
    nb::list paths;
    nb::object directory = self.attr("output_dir"), name = self.attr("output_json");
    if (!is_text(directory) || !is_text(name))
        return paths;
    nb::object out_path = join_path(directory, name);
    paths.append(real_path(out_path));
    paths.append(real_path(entry(kManifestPath)(out_path)));
    return paths;
}

// A directory the run reads from (`role` "Input") or writes into ("Output")
// must exist as a directory; nothing creates it.
void require_directory(nb::handle directory, const char *role) {
    if (is_directory(directory))
        return;
    nb::str lead(role);
    if (path_exists(directory))
        raise(PyExc_NotADirectoryError,
              concat_str({lead, interned(" directory is not a directory: "), directory}));
    raise(PyExc_FileNotFoundError,
          concat_str({lead, interned(" directory not found: "), directory}));
}

// The output and manifest paths themselves: a symbolic link there is
// replaced, whatever it points to; a directory stops the run.
static bool is_directory_entry(nb::handle path) {
    mode_t mode = 0;
    int found = system_mode(path, false, mode);
    if (found >= 0)
        return found == 1 && S_ISDIR(mode);
    try {
        return truthy(host_attr("stat", "S_ISDIR")(host_attr("os", "lstat")(path).attr("st_mode")));
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_OSError))
            throw;
        return false;
    }
}

void require_output_location(nb::handle out_path, nb::handle manifest_path) {
    nb::object directory = directory_of(out_path);
    require_directory(truthy(directory) ? directory : nb::borrow(host_attr("os", "curdir")),
                      "Output");
    for (nb::handle path : {out_path, manifest_path})
        if (is_directory_entry(path))
            raise(PyExc_IsADirectoryError,
                  concat_str({interned("Output path is a directory: "), path}));
}

// Whether a file discovery met at the run's own output path (`index` 0) or
// manifest path (1) was written by an earlier run and is left out. When
// anything else lies there, a writing run stops: the output would replace
// an input.
static bool skip_own_file(nb::handle path, size_t index, bool writing) {
    bool own = truthy(entry(index == 0 ? kIsUnifiedOutput : kIsManifest)(path));
    if (own || !writing)
        return own;
    raise(PyExc_ValueError,
          concat_str({nb::str(index == 0 ? "Output file " : "Manifest file "), path,
                      interned(" would overwrite the input file "), path}));
}

// Appends to `input_files` the regular files of `input_dir` whose names end
// in .json or .tsv (any case), in listing order, leaving out the run's own
// output and manifest, and the unified outputs and manifests earlier runs
// wrote there under other names: read as caller JSON, their sections would
// replace the real ones.
void discover_files(nb::handle self, bool writing) {
    nb::object input_dir = self.attr("input_dir");
    if (!truthy(input_dir))
        return;
    require_directory(input_dir, "Input");
    nb::list own = own_output_paths(self);
    nb::object names = host_attr("os", "listdir")(input_dir);
    nb::object input_files = self.attr("input_files");
    nb::object suffixes = nb::make_tuple(".json", ".tsv");
    for_each(names, [&](nb::handle name) {
        nb::object path = join_path(input_dir, name);
        if (!truthy(host_attr("os.path", "isfile")(path)) ||
            !truthy(lower(name).attr("endswith")(suffixes)))
            return;
        nb::object real = real_path(path);
        for (size_t index = 0; index < nb::len(own); ++index)
            if (equals(own[index], real) && skip_own_file(path, index, writing))
                return;
        if (truthy(lower(name).attr("endswith")(".json"))) {
            nb::object kind = entry(kEarlierOutputKind)(path);
            if (!kind.is_none()) {
                log_info(concat_str({interned("Skipping "), path, interned(": the "), kind,
                                     interned(" of an earlier run, not a caller file")}));
                return;
            }
        }
        input_files.attr("append")(path);
    });
}


// Resolves every listed name (as given, else under input_dir) and checks
// what it names before any file is read. Names found nowhere go to
// `missing`.
std::vector<ResolvedInput> resolve_inputs(nb::handle self, nb::list &missing) {
    std::vector<ResolvedInput> inputs;
    nb::object input_dir = self.attr("input_dir");
    bool directory_checked = false;
    for_each(self.attr("input_files"), [&](nb::handle name) {
        nb::object path;
        // One stat of a name as given tells both that it exists and what it is.
        mode_t mode = 0;
        int stated = system_mode(name, true, mode);
        bool mode_known = stated == 1;
        if (mode_known || (stated < 0 && path_exists(name))) {
            path = nb::borrow(name);
        } else {
            if (truthy(input_dir) && !directory_checked) {
                require_directory(input_dir, "Input");
                directory_checked = true;
            }
            nb::object joined = join_path(input_dir, name);
            if (!path_exists(joined)) {
                missing.append(name);
                return;
            }
            path = std::move(joined);
        }
        // Opening a FIFO or a device could block for ever.
        if (const char *kind = mode_known ? irregular_kind_of_mode(mode) : irregular_kind(path))
            raise(PyExc_ValueError, concat_str({interned("Input "), path, interned(" is "),
                                                nb::str(kind),
                                                interned(", not a regular file")}));
        inputs.push_back({nb::borrow(name), std::move(path)});
    });
    return inputs;
}

// The device and inode of the file at `path` (symbolic links followed), or
// nothing when there is none.
static std::optional<std::pair<dev_t, ino_t>> file_id(nb::handle path) {
    nb::object encoded = system_path(path);
    if (!encoded.is_valid())
        encoded = host_attr("os", "fsencode")(path);
    struct stat status;
    if (::stat(PyBytes_AS_STRING(encoded.ptr()), &status) != 0)
        return std::nullopt;
    return std::make_pair(status.st_dev, status.st_ino);
}

// Neither the output nor its manifest may be written over an input: the same
// path, or another name of the same file (a symbolic or hard link). Told by
// device and inode, which the files' real paths would tell alike: a path
// with nothing there yet names no input.
void refuse_output_over_inputs(nb::handle self, const std::vector<ResolvedInput> &inputs) {
    struct OwnFile {
        const char *role;
        nb::object path;
        std::optional<std::pair<dev_t, ino_t>> id;
    };
    nb::object out_path = output_path(self);
    nb::object manifest = entry(kManifestPath)(out_path);
    OwnFile own[] = {{"Output file ", out_path, file_id(out_path)},
                     {"Manifest file ", manifest, file_id(manifest)}};
    if (!own[0].id && !own[1].id)
        return;
    for (const ResolvedInput &input : inputs) {
        auto id = file_id(input.path);
        for (const OwnFile &file : own)
            if (id && file.id == id)
                raise(PyExc_ValueError,
                      concat_str({nb::str(file.role), file.path,
                                  interned(" would overwrite the input file "), input.path}));
    }
}

// Missing names: an error in a strict run, else a WARNING each (recorded).
void report_missing(nb::list &missing, nb::handle record, bool strict) {
    if (nb::len(missing) == 0)
        return;
    if (strict) {
        nb::str names = nb::borrow<nb::str>(steal_checked(
            PyUnicode_Join(nb::str(", ").ptr(), nb::list(missing).ptr())));
        const char *lead = nb::len(missing) == 1 ? "File " : "Files ";
        raise(PyExc_FileNotFoundError,
              concat_str({nb::str(lead), names, interned(" not found (strict run).")}));
    }
    for (nb::handle name : missing) {
        log_warning(concat_str({interned("File "), name, interned(" not found. Skipping.")}));
        if (!record.is_none())
            record.attr("add_missing")(name);
    }
}

}  // namespace corvane
