"""A whole run in one call: every sample of a sample sheet, spread over worker processes.

    corvane-parse --sample-sheet SHEET --output-dir DIR [--jobs N] [--summary-dir DIR]

Each sample is one run of the driver, as `corvane-parse --input-files ...
--output-dir DIR/<s> --output-json <s>.unified.json --sample <s>` would make it,
writing DIR/<s>/<s>.unified.json, its manifest and DIR/<s>/<s>.log. A sample
that fails writes DIR/<s>/<s>.failed.json instead (its earlier output, if any,
is kept, as a single run keeps it) and the others go on. When every sample is
done, the output folder's file system is synced once, then run_summary.tsv and
run_summary.html are written, listing every sample of the sheet.

Durability. The samples' outputs and manifests are written through a temporary
file renamed into place, without a sync each; the one sync before the summary
makes all of them durable at once. What a crash can leave:
- the process killed (or a worker): every sample finished before it complete,
  the sample in progress as a failed single run leaves it (its earlier output,
  or a new output without its manifest, or a temporary ".*.tmp" file), and no
  run summary (the earlier run's is removed when the run starts);
- the machine losing power before the sync: for samples written since the
  previous sync, outputs or manifests may be empty or their earlier versions;
  the summary of a later run flags an output its manifest does not describe.
  A run summary on disk always describes samples synced before it was written.

Workers are forked from the calling process, so the configuration resources
the parent has loaded are shared by all of them; a worker that dies (a signal,
memory exhausted) fails the sample it was running, and a fresh worker goes on.
"""

from __future__ import annotations

import gc
import os
import pickle
import selectors
import signal
import struct
import sys
import time
from collections import deque

from CorvaneFileParser.AtomicFile import sync_file_system, write_file
from CorvaneFileParser import ProgramLog, summary
from CorvaneFileParser.Provenance import utc_timestamp
from CorvaneFileParser.SampleSheet import Sample, SampleSheetError, read_sheet
from CorvaneFileParser.summary import SampleSummary

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

OUTPUT_SUFFIX = ".unified.json"
FAILURE_SUFFIX = ".failed.json"
SUMMARY_NAMES = ("run_summary.tsv", "run_summary.html")
# Samples handed to a worker ahead of the one it is running, so it never waits.
_AHEAD = 2
_HEADER = struct.Struct("<I")
# A sample's end: (None, its summary row) when done, (the reason, None) when failed.
Outcome = tuple[str | None, "SampleSummary | None"]


class SampleFailures(RuntimeError):
    """Raised after a sheet run that wrote everything it could when any sample failed."""


def _request_error(message: str) -> Exception:
    from CorvaneFileParser.ReportAssembler import RequestError

    return RequestError(message)


def jobs_option(value: object) -> int:
    """The number of worker processes from an option or request value: a whole number of
    at least 1 (a text of digits from the command line); anything else a RequestError."""
    number = None
    if isinstance(value, int) and not isinstance(value, bool):
        number = value
    elif isinstance(value, str) and value.strip().lstrip("+-").isdigit():
        number = int(value)
    if number is None or number < 1:
        raise _request_error(f"--jobs must be a whole number of at least 1, not {value!r}")
    return number


def available_cpus() -> int:
    """The CPUs this process may run on."""
    count = getattr(os, "process_cpu_count", None)
    if count is not None:
        return count() or 1
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


class _SampleLines:
    """The lines of a sample's log, kept in memory until the sample is done."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.lines: list[str] = []

    def write(self, line: str) -> None:
        self.lines.append(ProgramLog.printable(line) + "\n")


class SampleLog(ProgramLog.DirectLog):
    """One sample's log: the lines a command-line run would write, kept in memory and
    written to the sample's log file once the sample is done (replacing an earlier
    run's). Stands in for ProgramLog's direct log while the sample runs."""

    def __init__(self, path: str) -> None:
        self._lines = _SampleLines(path)
        super().__init__(self._lines)  # type: ignore[arg-type]

    def save(self) -> None:
        # The bytes a text file opened with "w" (UTF-8, backslashreplace) would hold,
        # written through a descriptor opened as the program's log is (never through
        # a symbolic link).
        data = memoryview("".join(self._lines.lines).encode("utf-8", "backslashreplace"))
        descriptor = ProgramLog._open_log_file(self.path, replace=True)
        try:
            while data:
                data = data[os.write(descriptor, data):]
        finally:
            os.close(descriptor)


def _write_record(path: str, record: dict[str, object]) -> None:
    import json

    # Synced with the rest of the run, before the summary.
    write_file(path, (json.dumps(record, indent=4) + "\n").encode("utf-8"), durable=False)


def failure_record_path(folder: str, sample: str) -> str:
    return os.path.join(folder, sample, sample + FAILURE_SUFFIX)


def write_failure(folder: str, sample: Sample, reason: str) -> None:
    """<folder>/<s>/<s>.failed.json: the one-line reason, the files, the time (UTC)."""
    _write_record(failure_record_path(folder, sample.name),
                  {"reason": reason, "files": list(sample.files), "time": utc_timestamp()})


def _one_line(error: BaseException) -> str:
    """The line the command line prints for the error (after "corvane-parse: error: ")."""
    from CorvaneFileParser import ReportAssembler

    try:
        return str(getattr(ReportAssembler, "_failure_message")(error))
    except Exception:
        return f"{type(error).__name__}: {error}"


class _SampleRunner:
    """Runs samples in the current process; what each worker does."""

    def __init__(self, driver_class: type, folder: str, strict: bool) -> None:
        # The driver's class, keeping the document its run writes and the run's
        # provenance record (which keeps the manifest) for the summary row.
        class Keeping(driver_class):  # type: ignore[misc]
            def parse_files(self) -> Any:
                self.run_record = getattr(self, "_provenance", None)
                self.document = super().parse_files()
                return self.document

        self.driver_class = Keeping
        self.folder = folder
        self.strict = strict

    def run(self, sample: Sample) -> Outcome:
        """(None, the summary row) for a sample done, (the reason, None) for one failed."""
        name = sample.name
        folder = os.path.join(self.folder, name)
        log = SampleLog(os.path.join(folder, name + ".log"))
        previous = ProgramLog.active
        ProgramLog.active = log
        reason = None
        try:
            try:
                try:
                    os.mkdir(folder)
                except OSError:  # there already, or anything else: makedirs' answer
                    os.makedirs(folder, exist_ok=True)
                log.log(ProgramLog.INFO, "Logging to " + log.path)
                self._refuse_log_over_inputs(sample, log.path)
                driver = self.driver_class({
                    "input_files": list(sample.files),
                    "MAP_FILES": {path: {} for path in sample.files},
                    "input_kinds": sample.input_kinds(),
                    "output_dir": folder,
                    "output_json": name + OUTPUT_SUFFIX,
                    "sample": name,
                    "sample_aliases": list(sample.aliases),
                    "strict": self.strict,
                    "durable": False,
                })
                driver.run()
            except Exception as error:
                reason = _one_line(error)
                log.log(ProgramLog.ERROR, reason)
        finally:
            ProgramLog.active = previous
        try:
            log.save()
            if reason is not None:
                write_failure(self.folder, sample, reason)
                return reason, None
            try:
                os.unlink(failure_record_path(self.folder, name))
            except FileNotFoundError:
                pass
        except OSError as error:
            # The sample's folder cannot be written: the reason reaches the summary.
            return reason or _one_line(error), None
        return None, summary.read_sample_or_fail(
            os.path.join(folder, name + OUTPUT_SUFFIX), getattr(driver, "document", None),
            getattr(getattr(driver, "run_record", None), "manifest", None))

    @staticmethod
    def _refuse_log_over_inputs(sample: Sample, log_path: str) -> None:
        # The log is written over: it must not be one of the sample's files.
        try:
            log_stat = os.stat(log_path)
        except OSError:
            return
        for path in sample.files:
            try:
                if os.path.samestat(os.stat(path), log_stat):
                    raise ValueError(f"Log file {log_path} is one of the input files")
            except OSError:
                pass


# ---------------------------------------------------------------------------
# Worker processes
# ---------------------------------------------------------------------------

def _send(fd: int, message: object) -> None:
    data = pickle.dumps(message, protocol=pickle.HIGHEST_PROTOCOL)
    view = memoryview(_HEADER.pack(len(data)) + data)
    while view:
        view = view[os.write(fd, view):]


def _worker_main(runner: _SampleRunner, samples: list[Sample], tasks: int, results: int) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # The run's log and standard output are the parent's; a sample logs to its own file.
    ProgramLog.active = None
    sys.stdout = open(os.devnull, "w")
    with os.fdopen(tasks, "rb") as stream:
        for line in stream:
            index = int(line)
            try:
                reason, row = runner.run(samples[index])
            except Exception as error:  # the summary row itself could not be made
                reason, row = _one_line(error), None
            _send(results, (index, reason, row))


class _Worker:
    __slots__ = ("pid", "tasks", "results", "pending", "buffer")

    def __init__(self, pid: int, tasks: int, results: int) -> None:
        self.pid = pid
        self.tasks = tasks
        self.results = results
        self.pending: deque[int] = deque()  # sample indices handed over, in order
        self.buffer = bytearray()


def _start_worker(runner: _SampleRunner, samples: list[Sample], keep: list[int]) -> _Worker:
    task_read, task_write = os.pipe()
    result_read, result_write = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 0
        try:
            for fd in (task_write, result_read, *keep):
                os.close(fd)
            _worker_main(runner, samples, task_read, result_write)
        except BaseException:
            status = 70
        finally:
            os._exit(status)
    os.close(task_read)
    os.close(result_write)
    return _Worker(pid, task_write, result_read)


def _ended(pid: int) -> str:
    try:
        _, status = os.waitpid(pid, 0)
    except ChildProcessError:
        return "worker process ended unexpectedly"
    if os.WIFSIGNALED(status):
        number = os.WTERMSIG(status)
        try:
            name = signal.Signals(number).name
        except ValueError:
            name = str(number)
        return f"worker process ended unexpectedly (killed by signal {name})"
    return f"worker process ended unexpectedly (exit status {os.waitstatus_to_exitcode(status)})"


def run_samples(runner: _SampleRunner, samples: list[Sample], jobs: int,
                done: Any = None) -> list[Outcome]:
    """Every sample's (reason, row), in the sheet's order, run by up to `jobs` workers.
    done(sample, reason) is called as each sample ends."""
    outcome: list[Outcome] = [("not run", None)] * len(samples)
    queue = deque(range(len(samples)))
    workers: dict[int, _Worker] = {}  # by result descriptor
    selector = selectors.DefaultSelector()

    def finish(index: int, reason: str | None, row: SampleSummary | None) -> None:
        outcome[index] = (reason, row)
        if done is not None:
            done(samples[index], reason)

    def hand_out(worker: _Worker) -> None:
        while queue and len(worker.pending) < _AHEAD:
            index = queue.popleft()
            try:
                os.write(worker.tasks, b"%d\n" % index)
            except BrokenPipeError:
                # The worker has just ended: its end of file tells the rest.
                queue.appendleft(index)
                break
            worker.pending.append(index)
        if not queue or len(worker.pending) < _AHEAD:
            os.close(worker.tasks)
            worker.tasks = -1

    def start() -> None:
        # Objects that exist before the fork are left alone by the workers' collector,
        # so their pages stay shared.
        gc.freeze()
        try:
            worker = _start_worker(runner, samples, [w.results for w in workers.values()]
                                   + [w.tasks for w in workers.values() if w.tasks >= 0])
        finally:
            gc.unfreeze()
        workers[worker.results] = worker
        selector.register(worker.results, selectors.EVENT_READ, worker)
        hand_out(worker)

    try:
        for _ in range(min(jobs, len(samples))):
            start()
        while workers:
            for key, _ in selector.select():
                worker: _Worker = key.data
                data = os.read(worker.results, 1 << 16)
                if data:
                    worker.buffer += data
                    while len(worker.buffer) >= _HEADER.size:
                        (size,) = _HEADER.unpack_from(worker.buffer)
                        if len(worker.buffer) < _HEADER.size + size:
                            break
                        index, reason, row = pickle.loads(
                            worker.buffer[_HEADER.size:_HEADER.size + size])
                        del worker.buffer[:_HEADER.size + size]
                        worker.pending.remove(index)
                        finish(index, reason, row)
                        if worker.tasks >= 0:
                            hand_out(worker)
                    continue
                # The worker is gone: it ended normally once its work ran out, else the
                # sample it was running fails and the ones queued behind it go back.
                selector.unregister(worker.results)
                os.close(worker.results)
                if worker.tasks >= 0:
                    os.close(worker.tasks)
                del workers[worker.results]
                reason = _ended(worker.pid)
                if worker.pending:
                    index = worker.pending.popleft()
                    try:
                        write_failure(runner.folder, samples[index], reason)
                    except OSError:
                        pass
                    finish(index, reason, None)
                    queue.extendleft(reversed(worker.pending))
                if queue:
                    start()
    except BaseException:
        for worker in workers.values():
            try:
                os.kill(worker.pid, signal.SIGTERM)
            except OSError:
                pass
        for worker in workers.values():
            try:
                os.waitpid(worker.pid, 0)
            except OSError:
                pass
        raise
    finally:
        selector.close()
    return outcome


# ---------------------------------------------------------------------------
# The run
# ---------------------------------------------------------------------------

def _sync_in_background(folder: str) -> Any:
    """Starts syncing the file system of folder in a thread; the call returned waits
    for the sync to end and raises its error (once; later calls return at once)."""
    import _thread

    started, ended = _thread.allocate_lock(), _thread.allocate_lock()
    started.acquire()
    ended.acquire()
    failure: list[BaseException] = []

    def sync() -> None:
        try:
            started.release()
            sync_file_system(folder)  # without the interpreter lock while it syncs
        except BaseException as error:
            failure.append(error)
        finally:
            ended.release()

    _thread.start_new_thread(sync, ())
    # Waiting lets the thread in at once, rather than at the next switch of threads.
    with started:
        pass

    def wait() -> None:
        with ended:
            pass
        if failure:
            raise failure.pop()

    return wait


def run_sheet(driver: Any, return_dict: object = False) -> None:
    """ReportAssembler.run() for a request with "sample_sheet"."""
    if return_dict:
        raise ValueError("run(return_dict=True) reads one sample; a sample sheet is run "
                         "with run()")
    for key, default in (("input_files", []), ("sample", None),
                         ("output_json", "corvane_output.json")):
        if getattr(driver, key, default) not in (default, None, []):
            raise _request_error(f"a sample sheet names each sample's files, sample and "
                                 f"output: {key} cannot be given with it")
    sheet = os.fspath(driver.sample_sheet)
    jobs = getattr(driver, "jobs", None)
    jobs = available_cpus() if jobs is None else jobs_option(jobs)
    try:
        samples = read_sheet(sheet)
    except SampleSheetError as error:
        raise _request_error(str(error)) from None
    folder = os.fspath(driver.output_dir)
    summary_folder = os.fspath(getattr(driver, "summary_dir", None) or folder)
    from CorvaneFileParser import ReportAssembler

    require_directory = getattr(ReportAssembler, "_require_directory")
    require_directory(folder, "Output")
    require_directory(summary_folder, "Summary")

    # A run summary on disk always describes a finished run.
    summary_paths = [os.path.join(summary_folder, name) for name in SUMMARY_NAMES]
    for path in summary_paths:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
    workers = min(jobs, len(samples))
    ProgramLog.log(ProgramLog.INFO, f"Sample sheet {sheet}: {len(samples)} samples, "
                          f"{workers} worker process{'es' if workers > 1 else ''}")
    # Loaded here, before the workers start, so that they share them.
    from CorvaneFileParser.Parsers.ReportReaderFactory import ReportReaderFactory

    preload = getattr(ReportReaderFactory, "load_resources", None)
    if preload is not None:
        preload()

    def done(sample: Sample, reason: str | None) -> None:
        if reason is not None:
            ProgramLog.log(ProgramLog.ERROR, f"Sample {sample.name} failed: {reason}")

    runner = _SampleRunner(type(driver), folder, bool(getattr(driver, "strict", False)))
    outcome = run_samples(runner, samples, jobs, done)
    # The summary is made while the file system syncs, and written once it has.
    synced = _sync_in_background(folder)

    rows: list[SampleSummary] = []
    for sample, (reason, row) in zip(samples, outcome):
        if row is None:
            rows.append(summary.failed_row(sample.name, failure_record_path(folder, sample.name),
                                           reason or "failed"))
        else:
            rows.append(row)
    tsv, page = summary_paths
    try:
        summary.write_rows(summary.sort_rows(rows), tsv, page, title="Run summary",
                           before_writing=synced)
    finally:
        synced()
    ProgramLog.log(ProgramLog.INFO, f"Wrote run summary to {tsv} and {page}")
    failed = [sample.name for sample, (reason, _) in zip(samples, outcome) if reason is not None]
    if failed:
        shown = ", ".join(failed[:10]) + (", ..." if len(failed) > 10 else "")
        raise SampleFailures(f"{len(failed)} of {len(samples)} samples failed ({shown}); "
                             f"see {tsv}")
