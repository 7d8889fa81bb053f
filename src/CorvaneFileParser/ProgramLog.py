"""The log of a command-line run: standard output and the log file.

Each record is one line, "%(asctime)s %(levelname)s: %(message)s", written
to sys.stdout and appended to the log file, as logging.basicConfig(level=INFO)
with a StreamHandler(sys.stdout) and a FileHandler(path, "a",
encoding="utf-8") writes it. Importing logging (with threading, traceback,
string and weakref) costs about 10 ms, a fifth of a short run, so a program
run in which nothing has imported logging yet writes those same lines
itself (DirectLog). A record it cannot write as the handlers would (text a
stream cannot encode, a failing write) hands the log over to logging, set up
as above, for that record and every later one; so do runs in which logging
is already loaded, and callers of main() from their own code.

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

LOG_FORMAT = "%(asctime)s %(levelname)s: %(message)s"
INFO, WARNING, ERROR = 20, 30, 40
_LEVEL_NAMES = {INFO: "INFO", WARNING: "WARNING", ERROR: "ERROR"}

# The DirectLog of this process while one is open.
active: DirectLog | None = None


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


def _asctime() -> str:
    # logging.LogRecord's creation time and Formatter.formatTime's text.
    ct = time.time_ns()
    created = ct / 1e9
    msecs = (ct % 1_000_000_000) // 1_000_000
    if msecs == 999 and int(created) != ct // 1_000_000_000:
        msecs = 0
    return "%s,%03d" % (time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(created)), msecs)


def _configure_logging(stdout: TextIO, path: str) -> list[Any]:
    """logging.basicConfig as the command line sets it up; returns its two
    handlers (standard output, then the log file)."""
    import logging

    handlers: list[Any] = [
        logging.StreamHandler(stdout),
        logging.FileHandler(path, mode="a", encoding="utf-8"),
    ]
    logging.basicConfig(level=logging.INFO, format=LOG_FORMAT, handlers=handlers)
    return handlers


class DirectLog:
    """The command line's log written without the logging package."""

    def __init__(self, path: str) -> None:
        self.path = os.path.abspath(os.fspath(path))
        self._stdout = sys.stdout
        self._file = open(self.path, "a", encoding="utf-8")
        self._filters: list[Callable[[Any], object]] = []
        self._handlers: list[Any] | None = None  # logging's, once handed over

    def addFilter(self, keep: Callable[[Any], object]) -> None:
        """A callable run on each record before it is written, as a filter
        of the root logger is; a false result drops the record."""
        if self._handlers is not None:
            self._root().addFilter(keep)
        elif keep not in self._filters:
            self._filters.append(keep)

    def removeFilter(self, keep: Callable[[Any], object]) -> None:
        if keep in self._filters:
            self._filters.remove(keep)
        if self._handlers is not None:
            self._root().removeFilter(keep)

    @staticmethod
    def _root() -> Any:
        import logging

        return logging.getLogger()

    def log(self, levelno: int, message: object) -> None:
        if self._handlers is not None:
            self._root().log(levelno, message)
            return
        record = Record(levelno, message)
        for keep in self._filters:
            if not keep(record):
                return
        line = "%s %s: %s\n" % (_asctime(), record.levelname, record.getMessage())
        failed = None
        for index, stream in enumerate((self._stdout, self._file)):
            try:
                stream.write(line)
                stream.flush()
            except RecursionError:
                raise
            except Exception:
                failed = index
                break
        if failed is not None:
            # logging reports the fault on standard error and goes on; let
            # it, from the failed stream on.
            self._hand_over(record, failed)

    def _hand_over(self, record: Record, failed: int) -> None:
        try:
            self._file.close()
        except Exception:
            pass
        self._handlers = _configure_logging(self._stdout, self.path)
        root = self._root()
        for keep in self._filters:
            root.addFilter(keep)
        self._filters.clear()
        log_record = root.makeRecord(root.name, record.levelno, "(unknown file)", 0,
                                     record.msg, (), None)
        for handler in self._handlers[failed:]:
            handler.handle(log_record)


def open_program_log(path: str, direct: bool) -> None:
    """Opens the command line's log at path. With direct (a program run,
    whose process ends with it) the lines are written by a DirectLog when
    logging is not loaded and nothing else has opened one; otherwise logging
    is set up."""
    global active
    stdout = sys.stdout
    if direct and active is None and "logging" not in sys.modules and stdout is not None:
        active = DirectLog(path)
    else:
        _configure_logging(stdout, path)


def warning_source() -> Any:
    """Where records of WARNING and above can be watched with addFilter: the
    open DirectLog, else logging's root logger."""
    if active is not None:
        return active
    import logging

    return logging.getLogger()


