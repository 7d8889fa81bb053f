"""Runs in folders other users can write to, runs side by side, and runs stopped
half-way: no link is followed, the output and its manifest on disk always come from
one run, and what a stopped run leaves is cleaned up by the next one."""

import fcntl
import hashlib
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from CorvaneFileParser import AtomicFile
from CorvaneFileParser.CorvaneConstants import CorvaneConstants as C
from CorvaneFileParser.ReportAssembler import ReportAssembler
from test_manifest import write_panel_table
from test_safe_runs import EXAMPLES, SCRIPT, cli, error_of

root_only = pytest.mark.skipif(os.geteuid() != 0, reason="needs root (files of another user)")
NOBODY = 65534


def pair_from_one_run(folder, name="corvane_output"):
    """The output's bytes, after checking that its manifest describes exactly them."""
    output = (folder / f"{name}.json").read_bytes()
    manifest = json.loads((folder / f"{name}.manifest.json").read_bytes())
    assert manifest["output"]["sha256"] == hashlib.sha256(output).hexdigest()
    if manifest["inputs"]:
        assert sorted(json.loads(output)) == sorted(key for i in manifest["inputs"] for key in i["keys"])
    return output


def test_links_at_every_written_name_are_replaced_and_lead_nowhere(tmp_path):
    secret = tmp_path / "secret"
    secret.mkdir(mode=0o700)
    (secret / "file").write_text("keep")
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    for name, target in [("corvane_output.json", "file"), ("corvane_output.manifest.json", "new"),
                         (".corvane_output.json.tmp", "tmp"), (".corvane_output.manifest.json.tmp", "mtmp"),
                         (".corvane_output.json.lock", "lock")]:
        (shared / name).symlink_to(secret / target)
    result = cli("--input-dir", EXAMPLES, "--input-files", "sample1.smn.tsv", "--output-dir", shared)
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(secret)) == ["file"] and (secret / "file").read_text() == "keep"
    assert sorted(os.listdir(shared)) == ["corvane.log", "corvane_output.json", "corvane_output.manifest.json"]
    assert not any((shared / name).is_symlink() for name in os.listdir(shared))
    pair_from_one_run(shared)


@root_only
def test_what_another_user_plants_in_a_sticky_folder(tmp_path, monkeypatch):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    target, lock = shared / "x.json", shared / ".x.json.lock"
    # An earlier file of theirs, open to all, does not pass its mode on.
    target.write_bytes(b"theirs")
    os.chown(target, NOBODY, NOBODY)
    target.chmod(0o4777)
    kept = tmp_path / "kept"
    kept.write_text("root's")
    plants = [lambda: (lock.write_text(""), os.chown(lock, NOBODY, NOBODY)), lambda: os.mkfifo(lock),
              lambda: os.link(kept, lock)]
    for number, plant in enumerate(plants):
        plant()
        AtomicFile.write_file(str(target), b"%d" % number)
        assert target.read_bytes() == b"%d" % number and os.stat(target).st_mode & 0o7777 == 0o666 & ~umask()
        assert os.listdir(shared) == ["x.json"] and kept.read_text() == "root's"
    lock.mkdir()
    with pytest.raises(IsADirectoryError, match="is a directory"):
        AtomicFile.write_file(str(target), b"no")
    lock.rmdir()
    # A lock someone holds for ever is an error once the wait is over, not a hang.
    holder = os.open(lock, os.O_RDWR | os.O_CREAT)
    fcntl.flock(holder, fcntl.LOCK_EX)
    monkeypatch.setattr(AtomicFile, "LOCK_WAIT_SECONDS", 0.2)
    with pytest.raises(TimeoutError, match="held the lock file .* for 0.2 s"):
        AtomicFile.write_file(str(target), b"no")
    os.close(holder)
    assert target.read_bytes() == b"2"


def umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def test_concurrent_writers_of_one_name_leave_pairs_from_one_run(tmp_path):
    runs = [[str(SCRIPT), "--input-dir", str(EXAMPLES), "--output-dir", str(tmp_path),
             "--log-file", str(tmp_path / f"{name}.log"), "--input-files", name]
            for name in ("sample1.smn.tsv", "sample1.gba.tsv")]
    seen = set()
    for _ in range(50):
        pair = [subprocess.Popen(run, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) for run in runs]
        assert [process.wait(60) for process in pair] == [0, 0], [p.stderr.read() for p in pair]
        seen.add(pair_from_one_run(tmp_path))
    assert len(seen) <= 2 and len(os.listdir(tmp_path)) == 4


@pytest.fixture(scope="module")
def big_input(tmp_path_factory):
    folder = tmp_path_factory.mktemp("big")
    write_panel_table(folder / "S1.CombinedVariantOutput.tsv", 40_000)
    return folder


@pytest.mark.parametrize("stop, status", [(signal.SIGTERM, 143), (signal.SIGINT, 130), (signal.SIGKILL, -9)])
def test_a_run_stopped_while_writing_and_the_run_after_it(tmp_path, big_input, stop, status):
    cli("--input-dir", EXAMPLES, "--input-files", "sample1.smn.tsv", "--output-dir", tmp_path)
    earlier = pair_from_one_run(tmp_path)
    run = subprocess.Popen([str(SCRIPT), "--input-dir", str(big_input), "--output-dir", str(tmp_path)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not (tmp_path / ".corvane_output.json.tmp").exists():
        assert run.poll() is None and time.monotonic() < deadline, "the run ended before writing"
    run.send_signal(stop)
    assert run.wait(60) == status
    if stop != signal.SIGKILL:
        assert run.stderr.read().splitlines() == ["corvane-parse: error: stopped by " + stop.name]
        assert sorted(os.listdir(tmp_path)) == ["corvane.log", "corvane_output.json",
                                                "corvane_output.manifest.json"]
        assert pair_from_one_run(tmp_path) in (earlier, (tmp_path / "corvane_output.json").read_bytes())
    result = cli("--input-dir", EXAMPLES, "--input-files", "sample1.gba.tsv", "--output-dir", tmp_path)
    assert result.returncode == 0
    assert sorted(os.listdir(tmp_path)) == ["corvane.log", "corvane_output.json", "corvane_output.manifest.json"]
    assert b"GBA" in pair_from_one_run(tmp_path)


# Killed between renaming the output and renaming its manifest into place.
KILLED_BETWEEN_RENAMES = """
import os, signal, sys
replace = os.replace
def replace_or_die(source, target):
    if target.endswith(".manifest.json"):
        os.kill(os.getpid(), signal.SIGKILL)
    replace(source, target)
os.replace = replace_or_die
from CorvaneFileParser.ReportAssembler import main
raise SystemExit(main())
"""


def test_a_kill_between_the_renames_leaves_no_manifest_rather_than_a_wrong_one(tmp_path):
    cli("--input-dir", EXAMPLES, "--input-files", "sample1.smn.tsv", "--output-dir", tmp_path)
    killed = subprocess.run([sys.executable, "-c", KILLED_BETWEEN_RENAMES, "--input-dir", EXAMPLES,
                             "--input-files", "sample1.gba.tsv", "--output-dir", tmp_path])
    assert killed.returncode == -9
    assert b"GBA" in (tmp_path / "corvane_output.json").read_bytes()
    assert not (tmp_path / "corvane_output.manifest.json").exists()
    cli("--input-dir", EXAMPLES, "--input-files", "sample1.smn.tsv", "--output-dir", tmp_path)
    assert b"SMN" in pair_from_one_run(tmp_path)
    assert sorted(os.listdir(tmp_path)) == ["corvane.log", "corvane_output.json", "corvane_output.manifest.json"]


class FixedResult(ReportAssembler):
    def parse_files(self):
        return {"X": {"data": {}, "caller_name": "c"}}


# On a folder taking names of 255 bytes, the longest name made from "<stem>.json" is the
# manifest's temporary ".<stem>.manifest.json.tmp" (stem + 19 bytes).
@pytest.mark.parametrize("stem_length, too_long", [(236, None), (237, ".manifest.json.tmp"),
                                                   (242, ".manifest.json"), (245, ".json.lock")])
def test_output_names_too_long_for_the_folder(tmp_path, stem_length, too_long):
    if os.pathconf(tmp_path, "PC_NAME_MAX") != 255:
        pytest.skip("the folder's name limit is not 255 bytes")
    name = "S" * stem_length + ".json"
    (tmp_path / name).write_bytes(b"earlier")
    driver = FixedResult({C.OUTPUT_DIR: str(tmp_path), C.OUTPUT_JSON: name})
    if too_long is None:
        driver.run()
        pair_from_one_run(tmp_path, "S" * stem_length)
        return
    with pytest.raises(OSError, match=r"^Cannot write .*%s it needs is 25\d bytes long, and its folder takes "
                                      r"names of up to 255 bytes$" % too_long.replace(".", r"\.")):
        driver.run()
    assert os.listdir(tmp_path) == [name]
    if too_long == ".manifest.json":
        result = cli("--input-dir", EXAMPLES, "--output-dir", tmp_path, "--output-json", name)
        assert error_of(result).startswith("Cannot write ")
        assert (tmp_path / name).read_bytes() == b"earlier"


def test_durable_false_skips_the_syncs(tmp_path, monkeypatch):
    def no_sync(descriptor):
        raise OSError(5, "sync refused")

    monkeypatch.setattr(os, "fsync", no_sync)
    with pytest.raises(OSError, match="sync refused"):
        FixedResult({C.OUTPUT_DIR: str(tmp_path)}).run()
    FixedResult({C.OUTPUT_DIR: str(tmp_path), C.DURABLE: False}).run()
    pair_from_one_run(tmp_path)
    AtomicFile.sync_file_system(tmp_path)  # what such a caller does once for many runs
