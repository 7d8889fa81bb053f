"""The Snakemake workflow, run by snakemake on a run folder made from the bundled examples."""

import csv
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SNAKEFILE = ROOT / "workflow" / "Snakefile"
EXAMPLES = ROOT / "examples"
BIN = Path(sys.executable).parent
SNAKEMAKE = shutil.which("snakemake", path=str(BIN)) or shutil.which("snakemake")

pytestmark = [
    pytest.mark.skipif(SNAKEMAKE is None,
                       reason="snakemake is not installed (pip install '.[test]')"),
    pytest.mark.skipif(not SNAKEFILE.exists(), reason="no workflow/ in this tree"),
]

COLUMNS = ("panel_tsv", "smn_tsv", "gba_tsv", "targeted_json", "paraphase_json")
EXAMPLE_FILES = {
    "panel_tsv": "Sample1.CombinedVariantOutput.tsv",
    "smn_tsv": "sample1.smn.tsv",
    "gba_tsv": "sample1.gba.tsv",
    "targeted_json": "sample1.targeted.json",
    "paraphase_json": "sample1.paraphase.json",
}


def copy_example(kind, sample, folder):
    """The example file of KIND as SAMPLE's file, naming the sample where it names one."""
    source = EXAMPLES / EXAMPLE_FILES[kind]
    name = EXAMPLE_FILES[kind].replace("Sample1", sample).replace("sample1", sample)
    target = folder / name
    text = source.read_text(encoding="utf-8")
    if kind in ("smn_tsv", "gba_tsv"):
        header, row, *rest = text.split("\n")
        assert row.startswith("Sample1\t")
        text = "\n".join([header, sample + row[len("Sample1"):], *rest])
    elif kind in ("panel_tsv", "targeted_json"):
        text = text.replace("Sample1", sample)
    target.write_text(text, encoding="utf-8", newline="")
    return target


def make_run(tmp_path, sheet, *, strict=False, chunk_size=50):
    """A run folder: config/config.yaml, config/samples.tsv and data/<sample>/ files.
    SHEET maps a sample to {kind: True (copy the example) or a file name (left absent)}."""
    run = tmp_path / "run"
    (run / "config").mkdir(parents=True)
    lines = ["sample\t" + "\t".join(COLUMNS)]
    for sample, kinds in sheet.items():
        folder = run / "data" / sample
        folder.mkdir(parents=True)
        cells = []
        for kind in COLUMNS:
            wanted = kinds.get(kind)
            if wanted is True:
                cells.append(str(copy_example(kind, sample, folder).relative_to(run)))
            elif wanted:
                cells.append(f"data/{sample}/{wanted}")
            else:
                cells.append("")
        lines.append(sample + "\t" + "\t".join(cells))
    (run / "config" / "samples.tsv").write_text("\n".join(lines) + "\n", encoding="utf-8")
    (run / "config" / "config.yaml").write_text(
        "samples: config/samples.tsv\nresults: results\n"
        f"strict: {'true' if strict else 'false'}\ntitle: Test run\nchunk_size: {chunk_size}\n",
        encoding="utf-8")
    return run


@pytest.fixture(scope="module")
def driver_ready(tmp_path_factory):
    """Skips while corvane-parse lacks what the workflow calls on (the per-sample options
    and the manifest); any other outcome lets the tests run and show what is wrong."""
    folder = tmp_path_factory.mktemp("probe")
    probe = subprocess.run(
        [str(BIN / "corvane-parse"), "--input-files", str(EXAMPLES / "sample1.smn.tsv"),
         "--output-dir", str(folder), "--output-json", "P.unified.json", "--sample", "Sample1",
         "--log-file", str(folder / "P.log"), "--strict"],
        capture_output=True, text=True, encoding="utf-8", timeout=120)
    if probe.returncode == 2 and "unrecognized arguments" in probe.stderr:
        pytest.skip("corvane-parse has no --sample/--log-file/--strict yet: "
                    + probe.stderr.strip().splitlines()[-1])
    if probe.returncode == 0 and not (folder / "P.unified.manifest.json").exists():
        pytest.skip("corvane-parse writes no manifest yet")


def snakemake(run, *args):
    environment = dict(os.environ, PATH=f"{BIN}{os.pathsep}{os.environ.get('PATH', '')}")
    # From another folder than the run's: every path must resolve against --directory.
    return subprocess.run(
        [SNAKEMAKE, "--cores", "2", "--snakefile", str(SNAKEFILE), "--directory", str(run),
         *args],
        capture_output=True, text=True, encoding="utf-8", cwd=run.parent, env=environment,
        timeout=600)


THREE = {
    "S1": dict.fromkeys(COLUMNS, True),
    "S2": {"panel_tsv": True, "smn_tsv": True, "gba_tsv": True},
    "S3": {"targeted_json": True, "paraphase_json": True},
}


def test_three_samples_end_to_end_and_nothing_rerun(tmp_path, driver_ready):
    run = make_run(tmp_path, THREE)
    first = snakemake(run)
    assert first.returncode == 0, first.stderr[-4000:]
    produced = []
    for sample in THREE:
        for name in (f"{sample}.unified.json", f"{sample}.unified.manifest.json",
                     f"{sample}.log"):
            path = run / "results" / sample / name
            assert path.is_file() and path.stat().st_size > 0, path
            produced.append(path)
    produced += [run / "results" / "run_summary.tsv", run / "results" / "run_summary.html"]
    with open(run / "results" / "run_summary.tsv", encoding="utf-8", newline="") as stream:
        table = list(csv.DictReader(stream, delimiter="\t"))
    assert [row["sample"] for row in table] == ["S1", "S2", "S3"]
    assert [row["status"] for row in table] == ["ok", "ok", "ok"]
    assert table[1]["files_read"] == ("data/S2/S2.CombinedVariantOutput.tsv; "
                                      "data/S2/S2.smn.tsv; data/S2/S2.gba.tsv")
    assert table[1]["SMN"].startswith("finding: Based on the SMN copy-number caller")
    assert table[2]["SMN"] == "NA" and table[1]["TARGETED_SMN"] == "NA"
    page = (run / "results" / "run_summary.html").read_text(encoding="utf-8")
    assert "<title>Test run</title>" in page and 'href="S3/S3.unified.json"' in page

    stamps = [path.stat().st_mtime_ns for path in produced]
    second = snakemake(run)
    assert second.returncode == 0, second.stderr[-4000:]
    assert "Nothing to be done" in second.stdout + second.stderr
    assert [path.stat().st_mtime_ns for path in produced] == stamps


def test_failing_samples_are_summarised_then_fail_the_run(tmp_path, driver_ready):
    sheet = {
        "S1": {"smn_tsv": True, "targeted_json": True},
        "S2": {"smn_tsv": True, "gba_tsv": "S2.gba.tsv"},  # named, never made
        "S3": {"smn_tsv": True},
        "S4": {"smn_tsv": True},
    }
    run = make_run(tmp_path, sheet, strict=True, chunk_size=2)
    # S3's table names another sample: the requested sample is unknown to it.
    table = run / "data" / "S3" / "S3.smn.tsv"
    table.write_text(table.read_text(encoding="utf-8").replace("S3\t", "S9\t"), encoding="utf-8")
    result = snakemake(run)
    assert result.returncode != 0
    assert "2 sample(s) failed" in result.stderr, result.stderr[-4000:]
    assert (run / "results" / "S1" / "S1.unified.json").is_file()
    assert (run / "results" / "S4" / "S4.unified.json").is_file()
    with open(run / "results" / "run_summary.tsv", encoding="utf-8", newline="") as stream:
        status = {row["sample"]: row["status"] for row in csv.DictReader(stream, delimiter="\t")}
    assert status["S1"] == status["S4"] == "ok"
    assert "S2.gba.tsv" in status["S2"] and "S3.smn.tsv" in status["S3"]
    for sample in ("S2", "S3"):
        record = json.loads((run / "results" / sample / f"{sample}.failed.json").read_text())
        assert status[sample] == "failed: " + record["reason"]
    # Fixed, the run goes through: only the failed chunk runs again.
    (run / "data" / "S2" / "S2.gba.tsv").write_text(
        (EXAMPLES / "sample1.gba.tsv").read_text(encoding="utf-8").replace("Sample1", "S2"))
    table.write_text(table.read_text(encoding="utf-8").replace("S9\t", "S3\t"), encoding="utf-8")
    second = snakemake(run)
    assert second.returncode == 0, second.stderr[-4000:]
    assert not list((run / "results").glob("*/*.failed.json"))


def test_cluster_style_run_with_jobs_submitted_in_the_background(tmp_path, driver_ready):
    run = make_run(tmp_path, THREE, chunk_size=2)
    submit = tmp_path / "submit.sh"
    # A scheduler's submit command: queue the job script, print a job ID, return at once.
    submit.write_text('#!/bin/sh\nnohup sh "$@" > "$1.out" 2>&1 &\necho $!\n')
    submit.chmod(0o755)
    result = snakemake(run, "--executor", "cluster-generic", "--cluster-generic-submit-cmd",
                       str(submit), "--jobs", "2", "--seconds-between-status-checks", "1",
                       "--latency-wait", "5")
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stderr.count("Submitted job") >= 2  # the two chunk jobs
    with open(run / "results" / "run_summary.tsv", encoding="utf-8", newline="") as stream:
        assert [row["status"] for row in csv.DictReader(stream, delimiter="\t")] == ["ok"] * 3


def test_a_missing_file_without_strict_is_listed_as_missing(tmp_path, driver_ready):
    run = make_run(tmp_path, {"S1": {"smn_tsv": True, "gba_tsv": "S1.gba.tsv"}})
    result = snakemake(run)
    assert result.returncode == 0, result.stderr[-4000:]
    with open(run / "results" / "run_summary.tsv", encoding="utf-8", newline="") as stream:
        (row,) = csv.DictReader(stream, delimiter="\t")
    assert row["status"] == "ok"
    assert row["files_missing"] == "data/S1/S1.gba.tsv"
    assert int(row["manifest_warnings"]) >= 1


@pytest.mark.parametrize("sheet, message", [
    ("sample\tsmn_tsv\nS1\tx.tsv\nS1\ty.tsv\n", "sample S1 is listed twice"),
    ("sample\tsmn\nS1\tx.tsv\n", "unknown column(s) smn"),
    ("sample\tsmn_tsv\n../S1\tx.tsv\n", "sample ID '../S1'"),
    ("sample\tsmn_tsv\nS1\t\n", "sample S1 names no file"),
    ("smn_tsv\nx.tsv\n", "no 'sample' column"),
])
def test_a_bad_sheet_stops_before_any_job(tmp_path, sheet, message):
    run = make_run(tmp_path, {})
    (run / "config" / "samples.tsv").write_text(sheet, encoding="utf-8")
    result = snakemake(run, "--dry-run")
    assert result.returncode == 2
    assert f"corvane-parse: error: sample sheet config/samples.tsv: " in result.stderr
    assert message in result.stderr
    assert not (run / "results").exists()


def test_the_shipped_example_run_plans_every_sample(tmp_path):
    run = tmp_path / "run"
    shutil.copytree(ROOT / "config", run / "config")
    shutil.copytree(EXAMPLES, run / "examples")
    result = snakemake(run, "--dry-run")
    assert result.returncode == 0, result.stderr[-4000:]
    with open(ROOT / "config" / "samples.tsv", encoding="utf-8", newline="") as stream:
        samples = [row["sample"] for row in csv.DictReader(stream, delimiter="\t")]
    assert len(samples) <= 50 and "results/.chunks/chunk0001/run_summary.tsv" in result.stdout


def test_commands_from_a_named_folder(tmp_path, driver_ready):
    """With bin_dir the commands need not be on PATH."""
    run = make_run(tmp_path, {"S1": dict.fromkeys(COLUMNS, True)})
    folders = [p for p in os.environ.get("PATH", "").split(os.pathsep)
               if p and not (Path(p) / "corvane-parse").exists()]
    environment = dict(os.environ, PATH=os.pathsep.join(folders))
    result = subprocess.run(
        [SNAKEMAKE, "--cores", "1", "--snakefile", str(SNAKEFILE), "--directory", str(run),
         "--config", f"bin_dir={BIN}"],
        capture_output=True, text=True, encoding="utf-8", cwd=run.parent, env=environment,
        timeout=600)
    assert result.returncode == 0, result.stderr[-4000:]
    assert (run / "results" / "S1" / "S1.unified.json").is_file()
    assert (run / "results" / "run_summary.tsv").is_file()
