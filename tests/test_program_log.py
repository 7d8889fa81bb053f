"""The command line's own log and its plain command-line parser, against what
logging and argparse give in their place."""

import json
import logging
import os
import random
import subprocess
import sys
import time
from pathlib import Path

import pytest

from CorvaneFileParser import ProgramLog
from CorvaneFileParser.CommandLine import parse_plain_command_line as _parse_plain_command_line
from CorvaneFileParser.ReportAssembler import ReportAssembler

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
STAMP = len("2026-01-01 00:00:00,000 ")

# Runs the command line as the program, after importing what `preload` names.
PROGRAM = (
    "import sys\n"
    "for name in sys.argv[1].split(','):\n"
    "    name and __import__(name)\n"
    "del sys.argv[1]\n"
    "from CorvaneFileParser.CommandLine import run_program\n"
    "status = run_program()\n"
    "print('LOADED', 'logging' in sys.modules, 'argparse' in sys.modules, file=sys.stderr)\n"
    "sys.exit(status)\n"
)


def run_program(out_dir, *args, preload="", env=None):
    result = subprocess.run(
        [sys.executable, "-c", PROGRAM, preload, "--output-dir", str(out_dir), *map(str, args)],
        capture_output=True, timeout=120, env={**os.environ, **(env or {})},
    )
    log = (out_dir / "corvane.log").read_bytes() if (out_dir / "corvane.log").exists() else b""
    return result, log


def without_times(text):
    """The lines with their leading "date time,ms " cut off (checked first)."""
    lines = []
    for line in text.decode("utf-8", "replace").splitlines():
        if line[:4].isdigit():
            time.strptime(line[:STAMP - 5], "%Y-%m-%d %H:%M:%S")
            assert line[STAMP - 5] == "," and line[STAMP - 4:STAMP - 1].isdigit()
            line = line[STAMP:]
        lines.append(line)
    return lines


def manifest_warnings(out_dir):
    return json.loads((out_dir / "corvane_output.manifest.json").read_text())["warnings"]


@pytest.mark.parametrize("args", [
    ["--input-dir", EXAMPLES],
    # a missing listed file: a WARNING, collected by the manifest
    ["--input-files", EXAMPLES / "sample1.smn.tsv", "absent.tsv", "--sample=S1"],
    # a failure: logged at ERROR, then the one-line error
    ["--input-files", "absent.tsv"],
], ids=["examples", "warning", "failure"])
def test_direct_log_writes_what_logging_writes(tmp_path, args):
    direct_dir, logging_dir = tmp_path / "direct", tmp_path / "logging"
    direct_dir.mkdir()
    logging_dir.mkdir()
    direct, direct_log = run_program(direct_dir, *args)
    host, host_log = run_program(logging_dir, *args, preload="logging")

    assert direct.stderr.endswith(b"LOADED False False\n")
    assert host.stderr.endswith(b"LOADED True False\n")
    assert direct.returncode == host.returncode
    replace = [(str(d).encode(), b"OUT") for d in (direct_dir, logging_dir)]

    def same(data):
        for old, new in replace:
            data = data.replace(old, new)
        return without_times(data)

    assert same(direct.stdout) == same(host.stdout)
    assert same(direct_log) == same(host_log)
    assert same(direct.stderr) == same(host.stderr.replace(b"LOADED True", b"LOADED False"))
    if direct.returncode == 0:
        assert manifest_warnings(direct_dir) == [
            w.replace(str(logging_dir), str(direct_dir)) for w in manifest_warnings(logging_dir)]
    if "absent.tsv" in map(str, args) and direct.returncode == 0:
        assert any("absent.tsv" in w for w in manifest_warnings(direct_dir))


def test_a_line_standard_output_cannot_encode_is_written_escaped(tmp_path):
    # An ASCII-only standard output cannot take the listed name "é.tsv": the
    # line shows it escaped, no fault is reported, the log file keeps it.
    outputs = []
    for preload in ("", "logging"):
        out_dir = tmp_path / (preload or "direct")
        out_dir.mkdir()
        result, log = run_program(out_dir, "--input-files", EXAMPLES / "sample1.gba.tsv", "é.tsv",
                                  preload=preload, env={"PYTHONIOENCODING": "ascii:strict"})
        assert result.returncode == 0, result.stderr
        assert result.stderr.endswith(b"LOADED %s False\n" % str(bool(preload)).encode())
        assert result.stderr.count(b"\n") == 1
        assert b"File \\xe9.tsv not found" in result.stdout
        text = log.decode("utf-8")
        assert "é.tsv" in text and "Wrote provenance manifest" in text
        assert any("é.tsv" in w for w in manifest_warnings(out_dir))
        outputs.append((without_times(result.stdout.replace(str(out_dir).encode(), b"OUT")),
                        without_times(log.replace(str(out_dir).encode(), b"OUT"))))
    assert outputs[0] == outputs[1]


def test_time_stamp_is_the_formatters(monkeypatch):
    rng = random.Random(7)
    base = 1_765_000_000 * 10**9
    # Every millisecond edge, where the float seconds round up to the next second.
    cases = [base + rng.randrange(10**9) for _ in range(300)]
    cases += [base + k * 10**9 - d for k in range(1, 20) for d in (1, 50, 100, 999_999, 1_000_000)]
    formatter = logging.Formatter()
    for ct in cases:
        monkeypatch.setattr(time, "time_ns", lambda ct=ct: ct)
        record = logging.LogRecord("root", logging.INFO, "", 0, "m", (), None)
        assert ProgramLog._asctime() == formatter.formatTime(record), ct


def test_library_runs_keep_logging(tmp_path, caplog):
    """Outside a program run nothing is written directly: the records go to
    logging's root logger, where callers' handlers see them."""
    with caplog.at_level(logging.INFO):
        ReportAssembler({"input_files": [str(EXAMPLES / "sample1.gba.tsv"), "absent.tsv"],
                         "output_dir": str(tmp_path)}).run()
    assert ProgramLog.active is None
    assert any("absent.tsv" in r.getMessage() for r in caplog.records if r.levelno == logging.WARNING)


# -- the plain command-line parser against argparse ------------------------------------------

OPTIONS = ["-c", "--config", "--input-dir", "--output-dir", "--input-files", "--output-json",
           "--strict", "--sample", "--log-file", "--debug", "--input", "--alias", "--sample-sheet",
           "--jobs", "--summary-dir", "--version", "-h",
           "--help", "--inp", "--out", "--str", "--input-dir=", "--input-files=", "--strict=",
           "--sample=", "--debug=x", "-cx", "--", "-", "--unknown"]
FULL = len(OPTIONS[:OPTIONS.index("--version")])
VALUES = ["a", "b.tsv", "dir/x", "-5", "-x", "", " ", "a b", "=", "x=y", "é", "--input-dir"]


def argparse_result(monkeypatch, args):
    """vars() of ReportAssembler.parse_args() for args, or None when it exits."""
    monkeypatch.setattr(sys, "argv", ["corvane-parse", *args])
    try:
        return vars(ReportAssembler.parse_args())
    except SystemExit:
        return None


def test_plain_command_lines_parse_as_argparse_parses_them(monkeypatch, capsys):
    rng = random.Random(11)
    accepted = 0
    for _ in range(3000):
        args = []
        for _ in range(rng.randrange(0, 7)):
            kind = rng.random()
            if kind < 0.55:
                args.append(rng.choice(OPTIONS[:FULL]) if rng.random() < 0.8 else rng.choice(OPTIONS))
            elif kind < 0.65:
                args.append(rng.choice(OPTIONS[:FULL]) + "=" + rng.choice(VALUES))
            else:
                args.append(rng.choice(VALUES))
        plain = _parse_plain_command_line(args)
        if plain is None:
            continue
        accepted += 1
        assert vars(plain) == argparse_result(monkeypatch, args), args
    capsys.readouterr()
    assert accepted > 300


@pytest.mark.parametrize("args", [
    [],
    ["--input-dir", "in", "--output-dir", "out", "--output-json", "S1.json"],
    ["-c", "run.json", "--strict", "--debug", "--log-file", "x.log"],
    ["--input-files", "a.tsv", "b.json", "--sample", "S1", "--input-dir=in"],
    ["--input", "panel", "a.tsv", "--input", "targeted", "b.json", "--alias", "S1.final", "--alias=S1b"],
])
def test_usual_command_lines_take_the_plain_path(monkeypatch, args):
    plain = _parse_plain_command_line(args)
    assert plain is not None
    assert vars(plain) == argparse_result(monkeypatch, args)


@pytest.mark.parametrize("args", [
    ["--help"], ["--version"], ["--input", "x"], ["--strict", "--strict"], ["stray"],
    ["--input-dir", "-x"], ["--input-files"], ["--input-files", "a", ""], ["--sample="],
    ["--input-dir"], ["--debug=1"], ["--"], [1],
])
def test_anything_else_is_left_to_argparse(args):
    assert _parse_plain_command_line(args) is None


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full (a device whose writes fail)")
def test_a_log_file_that_cannot_be_written_is_one_line(tmp_path):
    """Every write to the log fails (ENOSPC): one line on standard error, no
    traceback, and the run goes on; standard output is the same either way."""
    outputs = []
    for preload in ("", "logging"):
        out_dir = tmp_path / (preload or "direct")
        out_dir.mkdir()
        result, _ = run_program(out_dir, "--input-dir", EXAMPLES, "--log-file", "/dev/full",
                                preload=preload)
        assert result.returncode == 0, result.stderr
        assert result.stderr.splitlines()[:-1] == [
            b"corvane-parse: warning: cannot write log file /dev/full (No space left on device); "
            b"its lines are dropped"]
        assert (out_dir / "corvane_output.manifest.json").exists()
        outputs.append(without_times(result.stdout.replace(str(out_dir).encode(), b"OUT")))
    assert outputs[0] == outputs[1]
