"""The provenance manifest of a run: which files were read, by which reader
and configuration resource, what each contributed, and what was written.

The driver creates a RunRecord when run() is about to write, reports every
input and every missing name to it, and writes the bytes of finish() beside
the output once the output is in place. It also recognises an earlier
run's output and manifest, which directory discovery leaves out. Modules
needed only here (JSON, the platform name) are imported on first use, so
loading the command line stays quick.
"""

from __future__ import annotations

import os
import sys
import time
from _contextvars import ContextVar  # contextvars re-exports it, at a cost
from _thread import allocate_lock

import CorvaneFileParser
from CorvaneFileParser import ProgramLog

# The type checkers' view (this name is theirs; at run time it stays false and
# `typing` is not imported).
TYPE_CHECKING = False

MANIFEST_VERSION = 1
PACKAGE_NAME = "CorvaneFileParser"
_CHUNK_SIZE = 1 << 20

if TYPE_CHECKING:
    # Types for the checker only: creating them at run time would slow every start-up.
    from contextvars import Token
    from logging import LogRecord
    from typing import Any, BinaryIO, Protocol, TypedDict

    class _RequestRecord(TypedDict):
        """The manifest's "request": the run's settings as given."""

        input_dir: str | None
        output_dir: str | None
        output_json: str | None
        output_path: str | None
        input_files: list[str | None]
        strict: bool
        sample: str | None
        sample_aliases: list[str | None]
        input_kinds: dict[str, str | None]

    class _InputRecord(TypedDict):
        """One entry of the manifest's "inputs": a file read and what it gave."""

        path: str | None
        opened: str | None
        size: int
        sha256: str
        reader: str
        resource: str | None
        resource_sha256: str | None
        keys: list[str]
        replaced: list[str]
        identifiers: dict[str, str | None]

    class _Digest(Protocol):
        """What the manifest needs of a SHA-256 object."""

        def update(self, data: bytes | memoryview, /) -> None: ...

        def hexdigest(self) -> str: ...


def manifest_path(output_path: str) -> str:
    """The manifest's path for an output path: ".json" (any case) replaced
    by ".manifest.json", or ".manifest.json" appended to any other name."""
    base = output_path[:-5] if output_path.lower().endswith(".json") else output_path
    return base + ".manifest.json"


def _load_json_object(path: str) -> dict[str, object] | None:
    import json

    try:
        with open(path, "rb") as stream:
            document = json.load(stream)
    except (OSError, ValueError, RecursionError):
        return None
    return document if isinstance(document, dict) else None


def is_unified_output(path: str) -> bool:
    """Whether the file at path reads as a unified output of this package: a
    JSON object whose every value is an entry with "data" and "caller_name"."""
    document = _load_json_object(path)
    return document is not None and all(
        isinstance(entry, dict) and "data" in entry and "caller_name" in entry
        for entry in document.values()
    )


def is_manifest(path: str) -> bool:
    """Whether the file at path reads as a manifest of this package."""
    document = _load_json_object(path)
    return document is not None and all(
        key in document for key in ("manifest_version", "package", "inputs", "output")
    )


_MANIFEST_START = b'{\n    "manifest_version": '
# The start of a unified output as this package writes it: the first
# section's entry, opened with its "data".
_UNIFIED_START = rb'\{\n    "(?:[^"\\\n]|\\.)*": \{\n        "data": '


def earlier_output_kind(path: str) -> str | None:
    """What a run of this package wrote at path, told by the content: "unified
    output", "manifest", or None for anything else (a caller file). Only a
    file that begins the way this package writes them is read whole."""
    try:
        with open(path, "rb") as stream:
            head = stream.read(4096)
    except OSError:
        return None
    if head.startswith(_MANIFEST_START):
        return "manifest" if is_manifest(path) else None
    import re

    if re.match(_UNIFIED_START, head):
        return "unified output" if is_unified_output(path) else None
    return None


# From this size on, hashing is faster through hashlib (OpenSSL), whose
# import costs more than hashing a small file with the interpreter's own
# SHA-256. A process that has hashed this much in small pieces (runs called
# one after another) has paid for the import already and switches too.
_LARGE = 1 << 20
_small_hashed = 0
# hashlib's constructor once taken: from then on every digest uses it.
_hashlib_sha256: Any = None


def _sha256(large: bool = False, size: int = 0) -> _Digest:
    # Once hashlib is loaded (a long run, a sheet run) its SHA-256 is the faster one
    # whatever the size.
    global _small_hashed, _hashlib_sha256
    if _hashlib_sha256 is not None:
        digest: _Digest = _hashlib_sha256()
        return digest
    _small_hashed += size
    if not large and _small_hashed < _LARGE and "hashlib" not in sys.modules:
        try:
            # (The type checkers' standard library has no stub for _sha2.)
            from _sha2 import sha256 as small  # type: ignore[import-not-found]
        except ImportError:
            pass
        else:
            digest = small()
            return digest
    from hashlib import sha256

    _hashlib_sha256 = sha256
    return sha256()


def bytes_digest(content: bytes) -> str:
    """Hexadecimal SHA-256 of a bytes object."""
    digest = _sha256(len(content) >= _LARGE, len(content))
    digest.update(content)
    return digest.hexdigest()


def file_digest(path: str) -> tuple[int, str]:
    """(size in bytes, hexadecimal SHA-256) of the file at path."""
    size = 0
    # Read through the descriptor: a buffered file object costs more than a small file.
    descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        expected = os.fstat(descriptor).st_size
        digest = _sha256(expected >= _LARGE, expected)
        while chunk := os.read(descriptor, _CHUNK_SIZE):
            size += len(chunk)
            digest.update(chunk)
    finally:
        os.close(descriptor)
    return size, digest.hexdigest()


class DigestingWriter:
    """A binary file's write() that also counts and hashes what it writes,
    so the output's checksum needs no second read."""

    def __init__(self, file: BinaryIO) -> None:
        self._file = file
        self._digest: _Digest | None = None
        self._size = 0

    def write(self, data: bytes) -> int:
        if self._digest is None:
            # The writer fills chunks of at least _LARGE / 4 bytes before it
            # writes, so a large first chunk means a large output.
            self._digest = _sha256(len(data) >= _LARGE // 4, len(data))
        written = self._file.write(data)
        # A short write is retried by the caller with the rest.
        count = len(data) if written is None else written
        self._digest.update(memoryview(data)[:count])
        self._size += count
        return count

    def result(self) -> tuple[int, str]:
        """(size in bytes, hexadecimal SHA-256) of everything written."""
        digest = self._digest if self._digest is not None else _sha256()
        return self._size, digest.hexdigest()


def _indented_json(document: object) -> bytes:
    """json.dumps(document, indent=4).encode(), through the driver's writer when it is
    loaded (the same bytes, made faster)."""
    driver = sys.modules.get("CorvaneFileParser.ReportAssembler")
    write = getattr(driver, "_write_json", None)
    if write is None:
        import json

        return json.dumps(document, indent=4).encode("utf-8")
    import io

    buffer = io.BytesIO()
    write(document, buffer)
    return buffer.getvalue()


# The last whole second formatted, with its text: the runs of a sheet start
# and finish many times a second. One tuple, so a thread sees a matching pair.
_last_second: tuple[int, str] = (-1, "")


def utc_timestamp() -> str:
    """The current time in UTC as ISO 8601 with microseconds and a "Z"."""
    global _last_second
    seconds, rest = divmod(time.time_ns(), 1_000_000_000)
    second, stamp = _last_second
    if second != seconds:
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds))
        _last_second = (seconds, stamp)
    return "%s.%06dZ" % (stamp, rest // 1000)


def _platform_text(*parts: str) -> str:
    """The parts joined the way platform.platform() joins and cleans them."""
    text = "-".join(part.strip() for part in parts if part)
    for obstacle in " /\\:;\"()":
        text = text.replace(obstacle, "_" if obstacle == " " else "-")
    text = text.replace("unknown", "")
    while "--" in text:
        text = text.replace("--", "-")
    return text.rstrip("-")


_platform_name: str | None = None


def platform_name() -> str:
    """platform.platform() of the host. On Linux it is built from uname and
    the C library's own version string, the values platform.platform() reads,
    without the subprocess platform.platform() starts to ask for the processor
    (left out there when it equals the machine or is unknown). Made once per
    process: none of it changes while the process runs."""
    global _platform_name
    if _platform_name is None:
        _platform_name = _find_platform_name()
    return _platform_name


def _find_platform_name() -> str:
    uname = os.uname()
    if uname.sysname == "Linux":
        try:
            libc = os.confstr("CS_GNU_LIBC_VERSION")
        except (ValueError, OSError):
            libc = None
        parts = (libc or "").split(maxsplit=1)
        if len(parts) == 2:
            return _platform_text(uname.sysname, uname.release, uname.machine, "with", "".join(parts))
    import platform

    return platform.platform()


_python_identity: tuple[str, str] | None = None


def python_identity() -> dict[str, str]:
    """{"implementation": "CPython", "version": "3.13.0"} for the running
    interpreter, as platform.python_implementation() and python_version() give them
    (a new dict on each call; the values are found once per process)."""
    global _python_identity
    if _python_identity is None:
        _python_identity = _find_python_identity()
    implementation, version = _python_identity
    return {"implementation": implementation, "version": version}


def _find_python_identity() -> tuple[str, str]:
    names = {"cpython": "CPython", "pypy": "PyPy", "ironpython": "IronPython", "jython": "Jython"}
    name = sys.implementation.name
    return names.get(name, name), sys.version.split()[0]


def _text(value: object) -> str | None:
    """A request value as the manifest records it: None and strings as they
    are, path-like objects as their path, anything else as str()."""
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, os.PathLike):
        return os.fsdecode(value)
    return str(value)


def _listed(value: object) -> list[object] | tuple[object, ...]:
    """A list or tuple as it is; anything else (an iterator belongs to the run) as ()."""
    return value if isinstance(value, (list, tuple)) else ()


def _text_mapping(value: object) -> dict[str, str | None]:
    """A mapping of texts as the manifest records it (keys and values as _text
    gives them); {} for anything that is not a dict."""
    if not isinstance(value, dict):
        return {}
    if type(value) is dict:
        # Texts only (the usual case): a plain copy records the same.
        for key, item in value.items():
            if type(key) is not str or type(item) is not str:
                break
        else:
            return dict(value)
    return {str(_text(key)): _text(item) for key, item in value.items()}
def resource_digest(resource: str) -> str | None:
    """Hexadecimal SHA-256 of the named configuration resource as the reader
    factory parsed it: one read gives both, so the digest is of the bytes
    the readers were built on. None when it is not a regular file."""
    from CorvaneFileParser.Parsers.ReportReaderFactory import ReportReaderFactory

    digest: str | None = ReportReaderFactory.resource_digest(resource)
    return digest


# The RunRecord collecting the warnings of the run going on in this thread
# (or task). One filter on the log, shared by every open record, hands each
# WARNING to the record of the run that logged it, so runs in several threads
# each collect only their own; it stays on the log while any record is open.
_current_record: ContextVar[RunRecord | None] = ContextVar("corvane_run_record", default=None)
_filter_lock = allocate_lock()
_filter_users: dict[int, int] = {}  # id() of a warning source -> records open on it


def _collect_warning(record: LogRecord | ProgramLog.Record) -> bool:
    run = _current_record.get()
    if run is not None and record.levelno >= ProgramLog.WARNING:
        try:
            message = record.getMessage()
        except Exception:
            message = str(record.msg)
        run.warnings.append(message)
    return True


def _watch(source: Any) -> None:
    with _filter_lock:
        users = _filter_users.get(id(source), 0)
        if users == 0:
            source.addFilter(_collect_warning)
        _filter_users[id(source)] = users + 1


def _unwatch(source: Any) -> None:
    with _filter_lock:
        users = _filter_users.get(id(source), 0) - 1
        if users > 0:
            _filter_users[id(source)] = users
            return
        _filter_users.pop(id(source), None)
        source.removeFilter(_collect_warning)


class RunRecord:
    """What one writing run read and wrote.

    While the record is open, every record of WARNING or above that the
    run logs on the root logger (or the command line's direct log) is kept
    in order: those logged in the thread (the context) that created the
    record, not other runs'. It is seen through a filter, so logging's own
    set-up is not touched; close() stops that."""

    __slots__ = ("request", "started_at", "inputs", "missing", "warnings",
                 "_resource_digests", "_root", "_token", "manifest")

    def __init__(self, driver: object, output_path: str) -> None:
        self.started_at = utc_timestamp()
        listed = getattr(driver, "input_files", None)
        # Only a list or tuple is copied: an iterator belongs to the run.
        if not isinstance(listed, (list, tuple)):
            listed = ()
        self.request: _RequestRecord = {
            "input_dir": _text(getattr(driver, "input_dir", None)),
            "output_dir": _text(getattr(driver, "output_dir", None)),
            "output_json": _text(getattr(driver, "output_json", None)),
            "output_path": _text(output_path),
            "input_files": [name if type(name) is str else _text(name) for name in listed],
            "strict": bool(getattr(driver, "strict", False)),
            "sample": _text(getattr(driver, "sample", None)),
            "sample_aliases": [_text(name) for name in _listed(getattr(driver, "sample_aliases", None))],
            "input_kinds": _text_mapping(getattr(driver, "input_kinds", None)),
        }
        self.inputs: list[_InputRecord] = []
        self.missing: list[str | None] = []
        self.warnings: list[str] = []
        self._resource_digests: dict[str, str | None] = {}
        # logging's root logger, or the command line's direct log.
        self._root: Any = ProgramLog.warning_source()
        self._token: Token[RunRecord | None] | None = _current_record.set(self)
        # What finish() made: the manifest's content as written.
        self.manifest: dict[str, object] | None = None
        _watch(self._root)

    def close(self) -> None:
        """Stops collecting warnings."""
        token, self._token = self._token, None
        if token is None:
            return
        try:
            _current_record.reset(token)
        except ValueError:  # closed in another context than its own
            pass
        _unwatch(self._root)

    def add_missing(self, name: str) -> None:
        """A listed name that was found nowhere."""
        self.missing.append(_text(name))

    def _resource_digest(self, resource: str | None, reader: object) -> str | None:
        """The SHA-256 of the resource the reader was built on: kept on it by
        the factory, else the factory's (once per run)."""
        if resource is None:
            return None
        kept = getattr(reader, "resource_sha256", None)
        if type(kept) is str and len(kept) == 64:
            return kept
        if resource not in self._resource_digests:
            self._resource_digests[resource] = resource_digest(resource)
        return self._resource_digests[resource]

    def add_input(self, given: str, opened: str, reader: object, keys: list[str],
                  replaced: list[str]) -> None:
        """One file read: the name as listed or discovered, the path the
        reader opened, the reader, the output keys the file produced and
        those among them that replaced an earlier file's entry. The sample
        identifiers the reader found in the file are recorded with them."""
        # The bytes the reader parsed, when it kept them (a small file), else the file
        # read again.
        source = getattr(reader, "_source_bytes", None)
        if (type(source) is tuple and len(source) == 2 and type(source[1]) is bytes
                and source[0] == opened):
            size, digest = len(source[1]), bytes_digest(source[1])
        else:
            size, digest = file_digest(opened)
        # (A str is recorded as it is: _text is called only for other values.)
        resource = getattr(reader, "resource_name", None)
        if resource is not None and type(resource) is not str:
            resource = _text(resource)
        # The factory's digest kept on the reader, checked as _resource_digest checks it.
        kept = getattr(reader, "resource_sha256", None) if resource is not None else None
        self.inputs.append({
            "path": given if type(given) is str else _text(given),
            "opened": opened if type(opened) is str else _text(opened),
            "size": size,
            "sha256": digest,
            "reader": type(reader).__name__,
            "resource": resource,
            "resource_sha256": kept if type(kept) is str and len(kept) == 64
            else self._resource_digest(resource, reader),
            "keys": list(keys),
            "replaced": list(replaced),
            "identifiers": _text_mapping(getattr(reader, "sample_identifiers", None)),
        })

    def finish(self, output_path: str, content: bytes | None = None,
               written: tuple[int, str] | None = None) -> bytes:
        """The manifest's bytes for the output just written: indented JSON
        with a final line break. content is the output's bytes when the
        caller holds them, written the (size, SHA-256) a DigestingWriter
        took of them; without either the written file is read back."""
        if written is not None:
            size, digest = written
        elif content is None:
            size, digest = file_digest(output_path)
        else:
            size, digest = len(content), bytes_digest(content)
        manifest = {
            "manifest_version": MANIFEST_VERSION,
            "package": {"name": PACKAGE_NAME, "version": CorvaneFileParser.__version__},
            "python": python_identity(),
            "platform": platform_name(),
            "request": self.request,
            "started_at": self.started_at,
            "finished_at": utc_timestamp(),
            "inputs": self.inputs,
            "missing": self.missing,
            "warnings": list(self.warnings),
            "output": {"path": _text(output_path), "size": size, "sha256": digest},
        }
        self.manifest = manifest
        return _indented_json(manifest) + b"\n"
