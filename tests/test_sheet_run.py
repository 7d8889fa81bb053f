"""corvane-parse --sample-sheet: a whole run in one call, and corvane-summarise --sample-sheet."""

import csv
import json
import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from CorvaneFileParser import summary
from CorvaneFileParser.ReportAssembler import ReportAssembler

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
BIN = Path(sys.executable).parent
FILES = {"panel_tsv": "Sample1.CombinedVariantOutput.tsv", "smn_tsv": "sample1.smn.tsv",
         "gba_tsv": "sample1.gba.tsv", "targeted_json": "sample1.targeted.json",
         "paraphase_json": "sample1.paraphase.json"}
COLUMNS = ["sample", *FILES, "aliases"]


def command(name, *args, cwd):
    return subprocess.run([str(BIN / name), *map(str, args)], capture_output=True, text=True,
                          encoding="utf-8", cwd=cwd, timeout=300)


def sheet_run(folder, *args):
    return command("corvane-parse", "--sample-sheet", "samples.tsv", "--output-dir", "out", *args, cwd=folder)


def api_sheet_run(assembler, folder, jobs):
    (folder / "out").mkdir()
    assembler({"sample_sheet": str(folder / "samples.tsv"), "output_dir": str(folder / "out"), "jobs": jobs}).run()


def write_sheet(folder, rows):
    """rows: sample -> {column: relative path or text}."""
    lines = ["\t".join(COLUMNS)]
    lines += ["\t".join([sample] + [row.get(column, "") for column in COLUMNS[1:]])
              for sample, row in rows.items()]
    (folder / "samples.tsv").write_text("\n".join(lines) + "\n", encoding="utf-8")


def summary_table(path):
    with open(path, encoding="utf-8", newline="") as stream:
        return {row["sample"]: row for row in csv.DictReader(stream, delimiter="\t")}


@pytest.fixture
def run_folder(tmp_path):
    """in/ holds the examples; Sample1 has them all, Broken a targeted file that is not
    JSON, Partial a missing file besides a good one, Gone only a missing file."""
    shutil.copytree(EXAMPLES, tmp_path / "in")
    (tmp_path / "in" / "broken.targeted.json").write_text("{not json", encoding="utf-8")
    (tmp_path / "out").mkdir()
    everything = {column: f"in/{name}" for column, name in FILES.items()}
    write_sheet(tmp_path, {
        "Sample1": {**everything, "aliases": "Other, S1"},
        "Broken": {"targeted_json": "in/broken.targeted.json",
                   "paraphase_json": "in/sample1.paraphase.json"},
        "Partial": {"targeted_json": "in/sample1.targeted.json", "gba_tsv": "in/absent.gba.tsv"},
        "Gone": {"paraphase_json": "in/absent.paraphase.json"},
    })
    return tmp_path


def test_sheet_run_outputs_failures_summary_and_exit_status(run_folder):
    result = sheet_run(run_folder, "--jobs", "2")
    assert result.returncode == 1
    assert result.stderr == ("corvane-parse: error: 2 of 4 samples failed (Broken, Gone); "
                             "see out/run_summary.tsv\n")
    out = run_folder / "out"
    # Each good sample is what a single run writes, byte for byte but the times.
    single = run_folder / "single"
    single.mkdir()
    alone = command("corvane-parse", "--input-files", *[f"in/{name}" for name in FILES.values()],
                    "--output-dir", single, "--output-json", "Sample1.unified.json",
                    "--sample", "Sample1", cwd=run_folder)
    assert alone.returncode == 0, alone.stderr
    assert ((out / "Sample1" / "Sample1.unified.json").read_bytes()
            == (single / "Sample1.unified.json").read_bytes())
    manifests = [json.loads(path.read_text()) for path in
                 (out / "Sample1" / "Sample1.unified.manifest.json",
                  single / "Sample1.unified.manifest.json")]
    for manifest in manifests:
        for key in ("started_at", "finished_at", "request", "output"):
            manifest.pop(key)
    assert manifests[0] == manifests[1]
    log = (out / "Sample1" / "Sample1.log").read_text(encoding="utf-8")
    assert "INFO: Logging to out/Sample1/Sample1.log" in log and "Wrote provenance manifest" in log

    broken = json.loads((out / "Broken" / "Broken.failed.json").read_text())
    assert set(broken) == {"reason", "files", "time"}
    assert broken["reason"].startswith("in/broken.targeted.json: ")
    assert broken["files"] == ["in/broken.targeted.json", "in/sample1.paraphase.json"]
    assert "ERROR: " + broken["reason"] in (out / "Broken" / "Broken.log").read_text()
    assert not (out / "Broken" / "Broken.unified.json").exists()

    table = summary_table(out / "run_summary.tsv")
    assert list(table) == ["Broken", "Gone", "Partial", "Sample1"]
    assert table["Broken"]["status"] == "failed: " + broken["reason"]
    assert table["Gone"]["status"].startswith("failed: No input files found")
    assert table["Partial"]["status"] == "ok"
    assert table["Partial"]["files_missing"] == "in/absent.gba.tsv"
    assert table["Sample1"]["SMN"].startswith("finding: Based on the SMN copy-number caller")
    page = (out / "run_summary.html").read_text(encoding="utf-8")
    assert 'href="Broken/Broken.failed.json"' in page
    assert 'href="Sample1/Sample1.unified.json"' in page

    # Mended, the sample succeeds and its failure record goes; a sample failing now
    # keeps its earlier output, as a single run does, but is listed as failed.
    (run_folder / "in" / "broken.targeted.json").write_text("{}", encoding="utf-8")
    (run_folder / "in" / "sample1.targeted.json").write_text("[]", encoding="utf-8")
    again = sheet_run(run_folder)
    assert again.returncode == 1
    assert not (out / "Broken" / "Broken.failed.json").exists()
    assert (out / "Partial" / "Partial.unified.json").exists()
    table = summary_table(out / "run_summary.tsv")
    assert table["Broken"]["status"] == "ok" and table["Partial"]["status"].startswith("failed:")
    # corvane-summarise on the folder agrees, and lists a sheet sample it finds nothing of.
    shutil.rmtree(out / "Gone")
    folder = command("corvane-summarise", "--sample-sheet", "samples.tsv", "--tsv", "s.tsv",
                     "--html", "s.html", "out", cwd=run_folder)
    assert folder.returncode == 0, folder.stderr
    rows = summary_table(run_folder / "s.tsv")
    assert rows["Gone"]["status"] == "failed: no output"
    assert {key: row["status"] for key, row in rows.items() if key != "Gone"} == {
        key: row["status"] for key, row in table.items() if key != "Gone"}


@pytest.mark.parametrize("sheet, args, message", [
    ("sample\tsmn\nS1\tx.smn.tsv\n", (), "unknown column(s) smn"),
    ("sample\tsmn_tsv\nS1\ta.smn.tsv\nS1\tb.smn.tsv\n", (), "sample S1 is listed twice"),
    ("sample\tsmn_tsv\n-S1\ta.smn.tsv\n", (), "sample ID '-S1' is not"),
    ("sample\tsmn_tsv\taliases\nS1\t\tX\n", (), "sample S1 names no file"),
    ("sample\tgba_tsv\nS1\tS1.smn.tsv\n", (), "column gba_tsv names S1.smn.tsv, a smn file"),
    ("sample\tpanel_tsv\nS1\tS1.json\n", (), "column panel_tsv names S1.json, not a .tsv file"),
    ("sample\tsmn_tsv\nS1\ta.smn.tsv\n", ("--jobs=-2",), "--jobs must be a whole number"),
    ("sample\tsmn_tsv\nS1\ta.smn.tsv\n", ("--input-files", "a.smn.tsv"), "input_files cannot"),
])
def test_bad_sheet_or_option_is_one_line_and_runs_nothing(tmp_path, sheet, args, message):
    (tmp_path / "samples.tsv").write_text(sheet, encoding="utf-8")
    result = command("corvane-parse", "--sample-sheet", "samples.tsv", "--output-dir", ".",
                     *args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith("corvane-parse: error: ") and message in result.stderr
    assert result.stderr.count("\n") == 1
    # A bad option value ends before the log is opened; a bad sheet is the run's.
    logged = [] if message.startswith("--jobs") else ["corvane.log"]
    assert sorted(path.name for path in tmp_path.iterdir()) == [*logged, "samples.tsv"]


class KillsOneWorker(ReportAssembler):
    """Keeps each sample's request beside its output; the sample Dies kills its worker."""

    def __init__(self, request):
        super().__init__(request)
        if "sample_sheet" not in request:
            Path(request["output_dir"], "request.json").write_text(json.dumps(request))

    def parse_files(self):
        if self.sample == "Dies":
            os.kill(os.getpid(), signal.SIGKILL)
        return super().parse_files()


def test_a_worker_that_dies_fails_its_sample_and_the_rest_go_on(tmp_path):
    names = ["A", "B", "Dies", "C", "D", "E"]
    write_sheet(tmp_path, {name: {"paraphase_json": str(EXAMPLES / FILES["paraphase_json"]),
                                  "aliases": "Sample1" if name == "A" else ""} for name in names})
    out = tmp_path / "out"
    with pytest.raises(RuntimeError, match=r"1 of 6 samples failed \(Dies\)"):
        api_sheet_run(KillsOneWorker, tmp_path, 2)
    table = summary_table(out / "run_summary.tsv")
    assert table.pop("Dies")["status"] == (
        "failed: worker process ended unexpectedly (killed by signal SIGKILL)")
    assert {row["status"] for row in table.values()} == {"ok"}
    assert json.loads((out / "Dies" / "Dies.failed.json").read_text())["files"] == [
        str(EXAMPLES / FILES["paraphase_json"])]
    # Each sample's file kinds and aliases come from its row.
    request = json.loads((out / "A" / "request.json").read_text())
    assert request["input_kinds"] == {str(EXAMPLES / FILES["paraphase_json"]): "paraphase"}
    assert request["sample_aliases"] == ["Sample1"] and request["durable"] is False


def test_no_summary_is_written_when_the_sync_before_it_fails(tmp_path, monkeypatch):
    """The summary is made while the file system syncs, but written only after the sync."""
    from CorvaneFileParser import SheetRun

    def failing_sync(folder):
        raise OSError(5, "Input/output error", folder)

    monkeypatch.setattr(SheetRun, "sync_file_system", failing_sync)
    write_sheet(tmp_path, {"A": {"paraphase_json": str(EXAMPLES / FILES["paraphase_json"])}})
    out = tmp_path / "out"
    with pytest.raises(OSError, match="Input/output error"):
        api_sheet_run(ReportAssembler, tmp_path, 1)
    assert (out / "A" / "A.unified.json").exists()
    assert not list(out.glob("run_summary.*")) and not list(out.glob(".run_summary*"))


def test_summary_flags_samples_made_with_other_versions(run_folder):
    out = run_folder / "out"
    with open(run_folder / "samples.tsv", "a", encoding="utf-8") as sheet:
        sheet.write("Twin\tin/Sample1.CombinedVariantOutput.tsv\t\t\tin/sample1.targeted.json\n")
    sheet_run(run_folder)
    manifest_path = out / "Partial" / "Partial.unified.manifest.json"
    manifest = json.loads(manifest_path.read_text())
    manifest["package"]["version"] = "0.0.1"
    manifest["inputs"][0]["resource_sha256"] = "ab" * 32
    manifest_path.write_text(json.dumps(manifest, indent=4) + "\n")
    rows = summary.write_summary([str(out)], str(run_folder / "s.tsv"),
                                 str(run_folder / "s.html"),
                                 sheet=["Sample1", "Twin", "Partial"])
    flagged = {row.sample: row.provenance for row in rows}
    assert flagged["Sample1"] == ""
    assert flagged["Partial"].startswith("package 0.0.1 (run: ")
    assert "dragen_targeted_config.json abababababab (run: " in flagged["Partial"]
    assert summary_table(run_folder / "s.tsv")["Partial"]["provenance"] == flagged["Partial"]
    page = (run_folder / "s.html").read_text(encoding="utf-8")
    assert 'id="run-provenance"' in page and "dragen_500_tsv_config.json" in page


def test_a_sample_log_is_never_written_through_a_link(run_folder):
    # A link planted at a sample's log (a shared results folder) leaves its target alone
    # and fails that sample alone, as a single run's log does.
    target = run_folder / "precious.txt"
    target.write_text("keep\n", encoding="utf-8")
    (run_folder / "out" / "Sample1").mkdir()
    (run_folder / "out" / "Sample1" / "Sample1.log").symlink_to(target)
    result = sheet_run(run_folder)
    assert result.returncode == 1
    assert target.read_text(encoding="utf-8") == "keep\n"
    table = summary_table(run_folder / "out" / "run_summary.tsv")
    assert "symbolic link" in table["Sample1"]["status"]
