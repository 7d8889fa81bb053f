"""Runs under faults and with hostile names: a standard output that cannot be
written, a symbolic link at the log path, names that are not UTF-8 or hold
line breaks, caller tables holding NUL bytes, runs in several threads."""

import json
import os
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

from CorvaneFileParser.Parsers import ReportReaderFactory
from CorvaneFileParser.ReportAssembler import ReportAssembler
from test_program_log import EXAMPLES, PROGRAM


def program(out_dir, *args, preload="", stdout=subprocess.PIPE):
    return subprocess.run([sys.executable, "-c", PROGRAM, preload, "--output-dir", out_dir,
                           "--input-dir", EXAMPLES, *args],
                          stdout=stdout, stderr=subprocess.PIPE, timeout=120)


@pytest.mark.parametrize("preload", ["", "logging"])
@pytest.mark.parametrize("target", ["closed pipe", "/dev/full"])
def test_a_failing_standard_output_never_fails_the_run(tmp_path, preload, target):
    if target == "closed pipe":  # as `| head -c 1` leaves it, without the race
        reader, stdout = os.pipe()
        os.close(reader)
    elif os.path.exists(target):
        stdout = os.open(target, os.O_WRONLY)
    else:
        pytest.skip("needs /dev/full (a device whose writes fail)")
    result = program(tmp_path, preload=preload, stdout=stdout)
    os.close(stdout)
    assert result.returncode == 0, result.stderr
    warning, loaded = result.stderr.splitlines()
    assert warning.startswith(b"corvane-parse: warning: cannot write to standard output (")
    assert json.loads((tmp_path / "corvane_output.manifest.json").read_bytes())["inputs"]
    assert b"INFO: Wrote provenance manifest" in (tmp_path / "corvane.log").read_bytes()


def test_the_log_never_follows_a_symbolic_link(tmp_path):
    secret = tmp_path / "secret"
    secret.write_bytes(b"root only\n")
    (tmp_path / "corvane.log").symlink_to(secret)
    (tmp_path / "dangling.log").symlink_to(tmp_path / "created")
    for log in (tmp_path / "corvane.log", tmp_path / "dangling.log"):
        result = program(tmp_path, "--log-file", log)
        assert result.returncode == 1
        assert result.stderr.splitlines()[0] == b"corvane-parse: error: Cannot open log file %s: " \
            b"it is a symbolic link, which the log never follows" % bytes(log)
    assert secret.read_bytes() == b"root only\n" and not (tmp_path / "created").exists()


def test_any_name_works_and_no_log_line_can_be_forged(tmp_path):
    names = ["a\udcff.smn.tsv", "b\n2026-01-01 00:00:00,000 ERROR: forged\x1b[2J.gba.tsv"]
    for name, source in zip(names, ["sample1.smn.tsv", "sample1.gba.tsv"]):
        shutil.copy(EXAMPLES / source, tmp_path / name)
    log = tmp_path / "l\udcfb.log"
    result = program(tmp_path, "--input-files", *(tmp_path / name for name in names),
                     "--output-json", "S\udcfe.unified.json", "--log-file", log)
    assert result.returncode == 0 and result.stderr.count(b"\n") == 1, result.stderr
    text = log.read_text("utf-8")
    assert all(re.match(r"\d{4}-\d\d-\d\d [\d:,]{12} INFO: ", line) for line in text.splitlines())
    assert "Reading %s/a\\xff.smn.tsv" % tmp_path in text
    assert "b\\n2026-01-01 00:00:00,000 ERROR: forged\\x1b[2J.gba.tsv with" in text
    assert b"/S\\xfe.unified.manifest.json\n" in result.stdout
    summarised = subprocess.run([sys.executable, "-m", "CorvaneFileParser.summary", tmp_path,
                                 "--tsv", tmp_path / "s.tsv", "--html", tmp_path / "s.html"],
                                capture_output=True, timeout=120)
    assert summarised.returncode == 0, summarised.stderr
    row = (tmp_path / "s.tsv").read_text("utf-8").splitlines()[1].split("\t")
    assert row[:2] == ["S\\xfe", "ok"] and "a\\xff.smn.tsv" in row[2]


def test_runs_in_threads_collect_only_their_own_warnings(tmp_path):
    def runs(thread):
        (tmp_path / str(thread)).mkdir()
        for turn in range(6):
            absent = f"absent-{thread}-{turn}.tsv"
            ReportAssembler({"input_files": [str(EXAMPLES / "sample1.smn.tsv"), absent],
                             "output_dir": str(tmp_path / str(thread))}).run()
            manifest = json.loads((tmp_path / str(thread) / "corvane_output.manifest.json")
                                  .read_text())
            yield manifest["warnings"] == [f"File {absent} not found. Skipping."]

    with ThreadPoolExecutor(8) as pool:
        assert sum(pool.map(lambda thread: list(runs(thread)), range(8)), []) == [True] * 48


@pytest.mark.parametrize("name, content, line", [
    ("t.smn.tsv", b"\0" * 300, 1), ("t.smn.tsv", b"Sample\tSMN1_CN\r\nS1\t2\0\n", 2),
    ("t.CombinedVariantOutput.tsv", b"\0" * 300, 1),
    ("t.CombinedVariantOutput.tsv", b"[TMB]\r\rTotal TMB\t7\0\n", 3),
])
def test_a_caller_table_holding_nul_bytes_is_refused(tmp_path, name, content, line):
    (tmp_path / name).write_bytes(content)
    with pytest.raises(ValueError, match=re.escape(f"{tmp_path / name}, line {line}: a NUL byte")):
        ReportReaderFactory.get_parser(str(tmp_path / name)).parse()
