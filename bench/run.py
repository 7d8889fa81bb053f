"""Benchmarks of the readers, the writer and the command line against their floors.

    python bench/run.py [--work-dir DIR] [--repeat N] [--cli-runs N]

Run it with the interpreter the package is installed in (e.g. .venv/bin/python).
It generates deterministic inputs (a 200k-row panel table of about 16 MiB, a
targeted-caller JSON of about 20 MiB, a batch of 500 small files), times each
piece of work in this process against what the host's own calls alone take
(best of N), times the command line on examples/ against a bare interpreter
(median) and prints one table. Nothing here is a test: no time is asserted.
"""

import argparse
import contextlib
import csv
import io
import json
import os
import platform
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import inputs  # noqa: E402

from CorvaneFileParser.Parsers import ReportReaderFactory  # noqa: E402
from CorvaneFileParser.ReportAssembler import ReportAssembler, _write_json  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
MIB = 1024 * 1024
GNU_TIME = "/usr/bin/time"


def best_of(repeat, fn):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def run_child(argv):
    """Wall time and CPU time (user + system, s) of one child process, its output discarded."""
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ,
                         file_actions=[(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)])
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{' '.join(argv)} failed with status {status}")
    return elapsed, usage.ru_utime + usage.ru_stime


def peak_rss(argv, runs=3):
    """Peak resident memory (MiB) of the command, through GNU time, or None.

    A child's own rusage would count this (large) process's memory at the
    fork; the small `time` process in between keeps the figure the child's.
    """
    if not os.path.exists(GNU_TIME):
        return None
    peaks = []
    with tempfile.NamedTemporaryFile("r") as report:
        for _ in range(runs):
            run_child([GNU_TIME, "-f", "%M", "-o", report.name] + argv)
            report.seek(0)
            peaks.append(int(report.read().split()[-1]) / 1024)
    return max(peaks)


def median_child(argv, runs):
    """Median wall time, median CPU time and peak memory of a command.

    On a busy machine the wall time includes waiting for a CPU; the CPU time
    does not.
    """
    runs = [run_child(argv) for _ in range(runs)]
    return (statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs),
            peak_rss(argv))


def mib(value):
    return "n/a" if value is None else f"{value:.1f} MiB"


# ---------------------------------------------------------------------------
# Floors: the host's calls alone
# ---------------------------------------------------------------------------


def csv_floor(path):
    with open(path, newline="", encoding="utf-8") as f:
        for _ in csv.reader(f, delimiter="\t"):
            pass


def json_floor(path):
    with open(path, encoding="utf-8") as f:
        json.load(f)


def read_file(path):
    # Warning sentences printed by the formatters are not part of the measure.
    with contextlib.redirect_stdout(io.StringIO()):
        reader = ReportReaderFactory.get_parser(str(path))
        return reader.build_result(reader.parse())


def host_write(document, path):
    with open(path, "wb") as f:
        f.write(json.dumps(document, indent=4).encode("utf-8"))


def fast_write(document, path):
    with open(path, "wb") as f:
        _write_json(document, f)


def sheet_rows(work, add, samples):
    """A sheet of `samples` samples of the example files: the sheet mode (as a command,
    all CPUs and one worker) and the driver's API called per sample in this process,
    each per sample against the floor: read and parse every input, json.dumps the same
    output and manifest, write them and the log, and sync the file system once, as the
    sheet mode does."""
    from CorvaneFileParser.AtomicFile import sync_file_system as sync_folder

    sheet, listed = inputs.write_sheet(work / "sheet-in", samples)
    cli = str(Path(sys.executable).with_name("corvane-parse"))
    os.sync()

    def sheet_run(name, *extra):
        folder = work / name
        folder.mkdir(exist_ok=True)
        elapsed, cpu = run_child([cli, "--sample-sheet", str(sheet), "--output-dir", str(folder),
                                  *extra])
        return folder, elapsed / samples, cpu / samples

    first, _, _ = sheet_run("sheet-warm")  # caches, and the floor's documents
    written = {}
    for sample, _ in listed:
        stem = first / sample / sample
        written[sample] = (json.loads(Path(f"{stem}.unified.json").read_bytes()),
                           json.loads(Path(f"{stem}.unified.manifest.json").read_bytes()),
                           Path(f"{stem}.log").read_bytes())
    rounds = iter(range(1000))

    def floor():
        # A fresh folder each time: the sheet mode, too, creates every file it writes.
        floor_dir = work / f"sheet-floor-{next(rounds)}"
        for sample, paths in listed:
            for path in paths:
                with open(path, "rb") as f:
                    raw = f.read()
                if path.endswith(".json"):
                    json.loads(raw)
                else:
                    for _ in csv.reader(io.StringIO(raw.decode("utf-8")), delimiter="\t"):
                        pass
            document, manifest, log = written[sample]
            folder = floor_dir / sample
            folder.mkdir(parents=True, exist_ok=True)
            for name, data in ((".unified.json", json.dumps(document, indent=4).encode()),
                               (".unified.manifest.json",
                                (json.dumps(manifest, indent=4) + "\n").encode()),
                               (".log", log)):
                with open(folder / (sample + name), "wb") as f:
                    f.write(data)
        sync_folder(str(floor_dir))

    def timed_floor():
        # (wall, CPU) per sample, the best of three.
        runs = []
        for _ in range(3):
            start, cpu = time.perf_counter(), time.process_time()
            floor()
            runs.append((time.perf_counter() - start, time.process_time() - cpu))
        return min(runs)

    floor_time, floor_cpu = timed_floor()
    _, all_cpus, all_cpu = sheet_run("sheet-all")
    _, one, one_cpu = sheet_run("sheet-one", "--jobs", "1")
    floor_again, floor_cpu_again = timed_floor()
    floor_time = min(floor_time, floor_again) / samples
    floor_cpu = min(floor_cpu, floor_cpu_again) / samples

    def cpu_note(cpu):
        return f"cpu {cpu * 1000:.2f} ms a sample = {cpu / floor_cpu:.2f}x the floor's {floor_cpu * 1000:.2f}"

    add(f"sheet of {samples}: --sample-sheet, per sample", all_cpus, floor_time,
        f"{os.process_cpu_count()} workers; " + cpu_note(all_cpu))
    add(f"sheet of {samples}: --sample-sheet --jobs 1", one, floor_time, cpu_note(one_cpu))

    def api(durable):
        folder = work / ("api-durable" if durable else "api")
        for sample, paths in listed:
            out = folder / sample
            out.mkdir(parents=True, exist_ok=True)
            request = {"input_files": paths, "output_dir": str(out),
                       "output_json": f"{sample}.unified.json", "sample": sample}
            if not durable:
                request["durable"] = False
            ReportAssembler(request).run()
        if not durable:
            sync_folder(str(folder))

    with contextlib.redirect_stdout(io.StringIO()):
        cpu = time.process_time()
        api_fast = best_of(2, lambda: api(False)) / samples
        api_cpu = (time.process_time() - cpu) / (2 * samples)
        api_durable = best_of(2, lambda: api(True)) / samples
    add(f"sheet of {samples}: API per sample", api_fast, floor_time,
        '"durable": false, one sync at the end; ' + cpu_note(api_cpu))
    add(f"sheet of {samples}: API per sample, durable", api_durable, floor_time,
        "two fsyncs a sample (the default)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work-dir", help="where inputs are generated (default: a temporary directory)")
    parser.add_argument("--repeat", type=int, default=5, help="timings per in-process measure (best is kept)")
    parser.add_argument("--cli-runs", type=int, default=20, help="command-line runs (median is kept)")
    parser.add_argument("--start-up-only", action="store_true",
                        help="only the command line on examples/ against a bare interpreter")
    parser.add_argument("--sheet-only", action="store_true",
                        help="only the sample sheet rows")
    parser.add_argument("--sheet-samples", type=int, default=500,
                        help="samples of the sheet rows (default 500)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        work = Path(args.work_dir or scratch)
        work.mkdir(parents=True, exist_ok=True)
        rows = []

        def add(name, seconds, floor, note=""):
            ratio = f"{seconds / floor:.2f}x" if floor else ""
            rows.append((name, f"{seconds * 1000:.1f}", f"{floor * 1000:.1f}" if floor else "", ratio, note))

        cli = str(Path(sys.executable).with_name("corvane-parse"))
        out_dir = work / "cli-out"
        out_dir.mkdir(exist_ok=True)
        bare, bare_cpu, bare_rss = median_child([sys.executable, "-c", "pass"], args.cli_runs)
        examples, examples_cpu, examples_rss = median_child(
            [cli, "--input-dir", str(ROOT / "examples"), "--output-dir", str(out_dir)], args.cli_runs)
        add("command line on examples/", examples, bare,
            f"median of {args.cli_runs}; cpu {examples_cpu * 1000:.0f} ms (bare {bare_cpu * 1000:.0f} ms); "
            f"peak {mib(examples_rss)} (bare {mib(bare_rss)})")
        if args.start_up_only:
            report(rows)
            return
        sheet_rows(work, add, args.sheet_samples)
        if args.sheet_only:
            report(rows)
            return

        paths = inputs.generate(work)
        # The generated files are written back to disk before anything is
        # timed, so that the writeback does not run beside the first timings.
        os.sync()

        panel, targeted, batch = paths["panel"], paths["targeted"], paths["batch"]
        panel_mib = panel.stat().st_size / MIB
        targeted_mib = targeted.stat().st_size / MIB

        add("panel table: parse + build", best_of(args.repeat, lambda: read_file(panel)),
            best_of(args.repeat, lambda: csv_floor(panel)), f"{panel_mib:.1f} MiB, floor csv.reader loop")
        add("targeted JSON: parse + build", best_of(args.repeat, lambda: read_file(targeted)),
            best_of(args.repeat, lambda: json_floor(targeted)), f"{targeted_mib:.1f} MiB, floor json.load")

        def batch_run():
            with contextlib.redirect_stdout(io.StringIO()):
                ReportAssembler({"input_files": [str(p) for p in batch]}).run(return_dict=True)

        def batch_floor():
            for p in batch:
                (json_floor if p.suffix == ".json" else csv_floor)(p)

        add("batch of 500 files: driver", best_of(args.repeat, batch_run),
            best_of(args.repeat, batch_floor), "floor json.load / csv.reader per file")

        document = read_file(panel)
        out_fast, out_host = work / "fast.json", work / "host.json"
        fast = best_of(args.repeat, lambda: fast_write(document, out_fast))
        host = best_of(args.repeat, lambda: host_write(document, out_host))
        same = out_fast.read_bytes() == out_host.read_bytes()
        add("writer: panel unified JSON", fast, host,
            f"{out_fast.stat().st_size / MIB:.0f} MiB, vs json.dumps+encode+write, bytes {'identical' if same else 'DIFFER'}")

        # The driver's run with the streamed writer, as a child process: read
        # the panel table, build its entries, stream them to a file.
        streamed = (
            "import sys; from CorvaneFileParser.Parsers import ReportReaderFactory as F; "
            "from CorvaneFileParser.ReportAssembler import _write_json; "
            "r = F.get_parser(sys.argv[1]); d = r.build_result(r.parse()); "
            "f = open(sys.argv[2], 'wb'); _write_json(d, f); f.close()"
        )
        streamed_argv = [sys.executable, "-c", streamed, str(panel), str(work / "streamed.json")]
        streamed_time, _, streamed_rss = median_child(streamed_argv, 3)
        add("panel table: read + streamed write", streamed_time, 0,
            f"child process, median of 3; peak {mib(streamed_rss)}"
            + (f" = {streamed_rss / panel_mib:.1f} MiB per MiB of input" if streamed_rss else ""))

        panel_dir = panel.parent
        panel_time, _, panel_rss = median_child(
            [cli, "--input-dir", str(panel_dir), "--output-dir", str(out_dir)], 3)
        add("command line on the panel table", panel_time, 0,
            f"median of 3; peak {mib(panel_rss)}"
            + (f" = {panel_rss / panel_mib:.1f} MiB per MiB of input" if panel_rss else ""))

    report(rows)


def report(rows):
    print(f"{platform.node()}: {platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, "
          f"Python {platform.python_version()}, {platform.platform()}")
    header = ("work", "ms", "floor ms", "ratio", "")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(4)]
    print("  ".join(h.ljust(w) for h, w in zip(header, widths)))
    for row in rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(row[:4], widths)) + "  " + row[4])


if __name__ == "__main__":
    main()
