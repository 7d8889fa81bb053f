"""The log of a command-line run: standard output and the log file.

Each record is one line, "%(asctime)s %(levelname)s: %(message)s", the
format logging.basicConfig(format=...) gives, written to sys.stdout and
appended to the log file. Importing logging (with threading, traceback,
string and weakref) costs about 10 ms, a fifth of a short run, so a program
run in which nothing has imported logging yet writes those lines itself
(DirectLog); runs in which logging is already loaded, and callers of main()
from their own code, set logging up with one handler writing the same lines
(see _configure_logging).

Either way the lines go through one LineSink, which never fails the run:
 - the log file is opened without following a symbolic link at its path;
 - what could forge or hide a line (line breaks, tabs, ESC and other control
   characters, bytes of a name that are not UTF-8) is escaped (printable());
 - a standard output that cannot be written (a closed pipe, a full disk) or a
   log file that cannot be written (disk full, an I/O error) is given up at
   its first failure, with one line on standard error; the run goes on.

The package's modules log to the open DirectLog when there is one, else
through logging's root logger.
"""

from __future__ import annotations

import os
import sys
import time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, TextIO

PROGRAM = "corvane-parse"
LOG_FORMAT = "%(asctime)s %(levelname)s: %(message)s"
INFO, WARNING, ERROR = 20, 30, 40
_LEVEL_NAMES = {INFO: "INFO", WARNING: "WARNING", ERROR: "ERROR"}

# The DirectLog of this process while one is open.
active: DirectLog | None = None


def printable(text: str) -> str:
    """text as a log line shows it: control characters (line breaks, tabs,
    ESC, ...) and the line and paragraph separators escaped as repr() does
    (\\n, \\t, \\x1b, \\u2028); bytes a file name held that are not UTF-8
    (decoded as surrogate escapes, as os.fsdecode does) as \\xff; any other
    lone surrogate as \\ud800. Everything else is kept."""
    if text.isprintable():
        return text
    shown = []
    for char in text:
        code = ord(char)
        if code < 0x20 or 0x7F <= code < 0xA0 or code == 0x2028 or code == 0x2029:
            shown.append(char.encode("unicode_escape").decode("ascii"))
        elif 0xDC80 <= code <= 0xDCFF:
            shown.append("\\x%02x" % (code - 0xDC00))
        elif 0xD800 <= code <= 0xDFFF:
            shown.append("\\u%04x" % code)
        else:
            shown.append(char)
    return "".join(shown)


def notice(text: str) -> None:
    """One line on standard error, "corvane-parse: warning: <text>"; a
    standard error that cannot take it is left alone."""
    try:
        stream = sys.stderr
        stream.write("%s: warning: %s\n" % (PROGRAM, printable(text)))
        stream.flush()
    except Exception:
        pass


def _reason(error: BaseException) -> str:
    strerror = getattr(error, "strerror", None)
    if isinstance(strerror, str) and strerror:
        return strerror
    return str(error) or type(error).__name__


class GuardedStdout:
    """Standard output that gives up at its first failing write or flush
    (a closed pipe, a full disk): one notice on standard error, and every
    later line dropped, so that neither the log nor a printed line fails the
    run. Text the stream's encoding cannot take is written with backslash
    escapes. A program run installs it as sys.stdout; on failure it also
    points the descriptor at the null device, so that the interpreter's last
    flush at exit finds nothing to complain about."""

    def __init__(self, stream: TextIO, program: bool) -> None:
        self._stream = stream
        self._program = program
        self.failed = False

    def write(self, text: str) -> int:
        if not self.failed:
            try:
                try:
                    self._stream.write(text)
                except UnicodeEncodeError:
                    encoding = getattr(self._stream, "encoding", None) or "ascii"
                    self._stream.write(text.encode(encoding, "backslashreplace").decode(encoding))
            except (OSError, ValueError) as error:
                self._give_up(error)
        return len(text)

    def flush(self) -> None:
        if not self.failed:
            try:
                self._stream.flush()
            except (OSError, ValueError) as error:
                self._give_up(error)

    def _give_up(self, error: BaseException) -> None:
        self.failed = True
        notice("cannot write to standard output (%s); its lines are dropped" % _reason(error))
        if self._program:
            try:
                null = os.open(os.devnull, os.O_WRONLY)
                try:
                    os.dup2(null, self._stream.fileno())
                finally:
                    os.close(null)
            except Exception:
                pass

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def _open_log_file(path: str, replace: bool = False) -> int:
    """A descriptor appending to the log at path (replace: emptying it first),
    created with the usual permissions when absent. A symbolic link there is
    never followed: on a shared folder it could point anywhere."""
    flags = (os.O_WRONLY | (os.O_TRUNC if replace else os.O_APPEND) | os.O_CREAT
             | getattr(os, "O_CLOEXEC", 0))
    nofollow = getattr(os, "O_NOFOLLOW", 0)
    try:
        return os.open(path, flags | nofollow, 0o666)
    except OSError as error:
        if nofollow and os.path.islink(path):
            raise OSError(error.errno, "it is a symbolic link, which the log never follows",
                          path) from None
        raise


class LineSink:
    """Where the log's lines go: standard output (when there is one) and
    the log file, each given up at its first failure with one notice."""

    def __init__(self, path: str, stdout: TextIO | None, program: bool) -> None:
        self.path = path
        self._descriptor: int | None = _open_log_file(path)
        self._stdout: GuardedStdout | TextIO | None = stdout
        if stdout is not None and not isinstance(stdout, GuardedStdout):
            self._stdout = GuardedStdout(stdout, program)

    def write(self, line: str) -> None:
        """Writes one line (printable(), then a line break)."""
        text = printable(line) + "\n"
        if self._stdout is not None:
            self._stdout.write(text)
            self._stdout.flush()
        if self._descriptor is not None:
            try:
                data = memoryview(text.encode("utf-8", "backslashreplace"))
                while data:
                    data = data[os.write(self._descriptor, data):]
            except OSError as error:
                self.close()
                notice("cannot write log file %s (%s); its lines are dropped"
                       % (self.path, _reason(error)))

    def close(self) -> None:
        descriptor, self._descriptor = self._descriptor, None
        if descriptor is not None:
            try:
                os.close(descriptor)
            except OSError:
                pass


class Record:
    """What a filter sees of a record written directly: the attributes of a
    logging.LogRecord that the package's filters read."""

    __slots__ = ("levelno", "levelname", "msg")

    def __init__(self, levelno: int, msg: object) -> None:
        self.levelno = levelno
        self.levelname = _LEVEL_NAMES[levelno]
        self.msg = msg

    def getMessage(self) -> str:
        return str(self.msg)


# The local time text of the last whole second formatted: (second, text).
_second_text: tuple[int, str] = (-1, "")


def _asctime() -> str:
    # logging.LogRecord's creation time and Formatter.formatTime's text.
    global _second_text
    ct = time.time_ns()
    created = ct / 1e9
    msecs = (ct % 1_000_000_000) // 1_000_000
    if msecs == 999 and int(created) != ct // 1_000_000_000:
        msecs = 0
    # localtime() takes the whole second below `created`.
    second = int(created)
    if _second_text[0] != second or second < 0:
        _second_text = (second, time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(created)))
    return "%s,%03d" % (_second_text[1], msecs)


def _configure_logging(sink: LineSink) -> None:
    """logging.basicConfig(level=INFO, format=LOG_FORMAT) with one handler
    writing the formatted records to the sink. A root logger that has
    handlers already is left as it is (as basicConfig leaves it)."""
    import logging

    class SinkHandler(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            try:
                line = self.format(record)
            except RecursionError:
                raise
            except Exception as error:
                notice("a log record could not be formatted (%s: %s); it is dropped"
                       % (type(error).__name__, error))
                return
            sink.write(line)

    handler = SinkHandler()
    logging.basicConfig(level=logging.INFO, format=LOG_FORMAT, handlers=[handler])
    if handler not in logging.getLogger().handlers:
        sink.close()


class DirectLog:
    """The command line's log written without the logging package."""

    def __init__(self, sink: LineSink) -> None:
        self.path = sink.path
        self._sink = sink
        self._filters: list[Callable[[Any], object]] = []

    def addFilter(self, keep: Callable[[Any], object]) -> None:
        """A callable run on each record before it is written, as a filter
        of the root logger is; a false result drops the record."""
        if keep not in self._filters:
            self._filters.append(keep)

    def removeFilter(self, keep: Callable[[Any], object]) -> None:
        if keep in self._filters:
            self._filters.remove(keep)

    def log(self, levelno: int, message: object) -> None:
        record = Record(levelno, message)
        for keep in self._filters:
            if not keep(record):
                return
        self._sink.write("%s %s: %s" % (_asctime(), record.levelname, record.getMessage()))


def open_program_log(path: str, program: bool) -> None:
    """Opens the command line's log at path (never through a symbolic link:
    one there is an OSError). In a program run (program true: the process
    ends with the run) standard output is guarded for the whole process, and
    the lines are written by a DirectLog when logging is not loaded and
    nothing else has opened one; otherwise logging is set up."""
    global active
    stdout = sys.stdout
    if program and stdout is not None and not isinstance(stdout, GuardedStdout):
        stdout = sys.stdout = GuardedStdout(stdout, program=True)
    sink = LineSink(os.path.abspath(os.fspath(path)), stdout, program)
    if program and active is None and "logging" not in sys.modules:
        active = DirectLog(sink)
    else:
        _configure_logging(sink)


def log(levelno: int, message: object) -> None:
    """A line of the command line's log at levelno (INFO 20, WARNING 30,
    ERROR 40): through the open DirectLog, else logging's root logger."""
    if active is not None:
        active.log(levelno, message)
        return
    import logging

    {20: logging.info, 30: logging.warning, 40: logging.error}[levelno](message)


def warning_source() -> Any:
    """Where records of WARNING and above can be watched with addFilter: the
    open DirectLog, else logging's root logger."""
    if active is not None:
        return active
    import logging

    return logging.getLogger()
