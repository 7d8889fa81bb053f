"""The installed command line, run as a separate process on the bundled examples."""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SCRIPT = Path(sys.executable).parent / "corvane-parse"
LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (INFO|WARNING|ERROR): (.*)$")
READING = re.compile(r"^Reading (.*) with (\w+)(?: \((.*)\))?$")
PRINTED = "Warning triggered by condition: "


def readers_missing():
    """Names the pieces the examples need that are not built in this tree."""
    from CorvaneFileParser.Parsers.JsonExtractReader import JsonExtractReader
    from CorvaneFileParser.Parsers.PanelTsvReader import PanelTsvReader
    from CorvaneFileParser.Warnings.WarningRegistry import WarningRegistry

    probes = {
        "JsonExtractReader": lambda: JsonExtractReader({}, str(EXAMPLES / "sample1.targeted.json")).parse(),
        "PanelTsvReader": lambda: PanelTsvReader({}, str(EXAMPLES / "Sample1.CombinedVariantOutput.tsv")).parse(),
        "WarningRegistry": lambda: WarningRegistry.get_formatter({"type": "smn"}).format({}, {}),
    }
    missing = []
    for name, probe in probes.items():
        try:
            probe()
        except NotImplementedError:
            missing.append(name)
    return missing


MISSING = readers_missing()
needs_readers = pytest.mark.skipif(
    bool(MISSING), reason="not built in this tree yet: " + ", ".join(MISSING)
)


def run(*args, cwd=None, module=False):
    command = [sys.executable, "-m", "CorvaneFileParser"] if module else [str(SCRIPT)]
    return subprocess.run(
        [*command, *map(str, args)], capture_output=True, text=True, encoding="utf-8",
        cwd=cwd, timeout=120,
    )


def log_messages(text):
    """(level, message) of every log line; other lines (printed warnings) are left out."""
    found = []
    for line in text.splitlines():
        match = LINE.match(line)
        if match:
            found.append(match.groups())
    return found


PANEL = "500-gene tumour panel pipeline"
SMN_CARRIER = "this sample is carrier for Spinal Muscular Atrophy"
GBA_CARRIER = "this sample is carrier for Gaucher disease"
EXPECTED = {
    "ANALYSIS DETAILS": {
        "data": {
            "Sample ID": "Sample1", "Pair ID": "Sample1", "Pipeline Version": "3.4.2",
            "Analysis Date": "2025-03-14", "Reference Genome": "GRCh38",
            "Panel": "500-gene solid tumour panel v2",
        },
        "caller_name": PANEL,
    },
    "TMB": {
        "data": {
            "Total TMB": 12.71, "Nonsynonymous TMB": 9.84, "Coding Region Size in Megabases": 1.21,
            "Number of Passing Eligible Variants": 15,
            "Number of Passing Eligible Nonsynonymous Variants": 12,
        },
        "warning": "High tumour mutational burden: 10 or more mutations per megabase",
        "caller_name": PANEL,
    },
    "MSI": {
        "data": {"Usable MSI Sites": 118, "Total Microsatellite Sites Unstable": 4, "Percent Unstable Sites": 3.39},
        "warning": "",
        "caller_name": PANEL,
    },
    "SMN": {
        "data": {
            "Sample": "Sample1", "SMN1_CN": 1, "SMN2_CN": 3, "SMN2_delta78_CN": 0, "Total_CN_raw": 4.02,
            "Full_length_CN_raw": 3.97, "SMA_affected": False, "SMA_carrier": True,
        },
        "warning": "Based on the SMN copy-number caller, " + SMN_CARRIER,
        "caller_name": "SMN copy-number caller",
    },
    "GBA": {
        "data": {
            "Sample": "Sample1", "GBA_CN": 2, "GBAP1_CN": 2, "Recombinant_haplotype_count": 0,
            "Other_variant_calls": "NM_000157.4:c.1226A>G", "Deletion_detected": False,
            "Biallelic": False, "Carrier": True,
        },
        # The one-row TSV carries no variant lists for the GBA formatter.
        "warning": "",
        "caller_name": "GBA caller",
    },
    "TARGETED_SMN": {
        "data": {
            "smn1CopyNumber": 1, "smn2CopyNumber": 3, "smn2Delta78CopyNumber": 0,
            "totalCopyNumber": 4, "fullLengthCopyNumber": 4, "variants": [],
        },
        "warning": "Based on the targeted caller, " + SMN_CARRIER,
        "caller_name": "Targeted caller (SMN1/SMN2)",
    },
    "TARGETED_GBA": {
        "data": {
            "totalCopyNumber": 4, "deletionBreakpointInGene": False, "recombinantHaplotypes": None,
            "variants": [{"hgvs": "NM_000157.4:c.1226A>G", "name": "p.Asn409Ser", "alleleCopyNumber": 1, "depth": 41}],
            "qc": {"medianDepth": 38.0, "status": "PASS"},
        },
        "warning": "Based on the targeted caller, " + GBA_CARRIER,
        "caller_name": "Targeted caller (GBA)",
    },
    "TARGETED_CYP2D6": {
        "data": {"genotype": "*4/*1", "copyNumber": {"total": 2, "exon9Hybrid": 0, "duplications": 0}},
        "warning": "Based on targeted caller, this sample is defined as <b>Intermediate Metabolizer</b>",
        "caller_name": "Targeted caller (CYP2D6)",
    },
    "TARGETED_CYP2B6": {
        "data": {"genotype": "*6/*1", "filter": "PASS", "variants": ["rs3745274", "rs2279343"]},
        "warning": "Based on targeted caller, this sample is defined as <b>Intermediate Metabolizer</b>",
        "caller_name": "Targeted caller (CYP2B6)",
    },
    "TARGETED_HBA": {
        "data": {"genotype": "-a3.7/aa", "totalCopyNumber": 3, "hba1CopyNumber": 2, "hba2CopyNumber": 1, "deletions": ["-a3.7"]},
        "warning": "Fewer than four HBA1/HBA2 copies detected: consistent with alpha-thalassaemia silent carrier status or trait",
        "caller_name": "Targeted caller (HBA1/HBA2)",
    },
    "PHASER_SMN1": {
        "data": {
            "smn1_cn": 1, "smn2_cn": 3, "smn2_del78_cn": 0, "total_cn": 4, "phasing_success": True,
            "haplotypes": {"smn1_hap1": "1x2x3", "smn2_hap1": "4x5x6", "smn2_hap2": "4x5x7", "smn2_hap3": "4x8x6"},
            "variants": [],
        },
        "warning": "Based on the long-read paralog phaser, " + SMN_CARRIER,
        "caller_name": "Long-read paralog phaser (SMN1/SMN2)",
    },
    "PHASER_GBA": {
        "data": {
            "total_cn": 4, "gba_cn": 2, "gbap1_cn": 2, "phasing_success": True, "recombinantHaplotypes": None,
            "variants": [{"hgvs": "NM_000157.4:c.1226A>G", "name": "p.Asn409Ser", "alleleCopyNumber": 1}],
            "haplotypes": {"gba_hap1": {"variants": ["c.1226A>G"]}, "gba_hap2": {"variants": None}},
        },
        "warning": "Based on the long-read paralog phaser, " + GBA_CARRIER,
        "caller_name": "Long-read paralog phaser (GBA)",
    },
    "PHASER_CYP21A2": {
        "data": {
            "total_cn": 4, "cyp21a2_cn": 2, "cyp21a1p_cn": 2, "has_fusion": False, "fusions_called": None,
            "phasing_success": True, "variants": [],
        },
        "warning": "",
        "caller_name": "Long-read paralog phaser (CYP21A2)",
    },
    "PHASER_STRC": {
        "data": {"total_cn": 4, "strc_cn": 2, "strcp1_cn": 2, "phasing_success": True, "variants": []},
        "warning": "",
        "caller_name": "Long-read paralog phaser (STRC)",
    },
}
TABLES = {
    "GENE AMPLIFICATIONS": ["ERBB2", "chr17", "4.86", "MYC", "chr8"],
    "FUSIONS": ["EML4-ALK", "chr2:42299852", "27"],
    "SMALL VARIANTS": ["TP53", "p.(Arg248Gln)", "KRAS", "p.(Gly12Val)", "PIK3CA", "c.3140A>G"],
}
# Output keys per kind of file, in the order each configuration lists them.
KEY_ORDER = {
    "Sample1.CombinedVariantOutput.tsv": ["ANALYSIS DETAILS", "TMB", "MSI", "GENE AMPLIFICATIONS", "FUSIONS", "SMALL VARIANTS"],
    "sample1.smn.tsv": ["SMN"],
    "sample1.gba.tsv": ["GBA"],
    "sample1.targeted.json": ["TARGETED_SMN", "TARGETED_GBA", "TARGETED_CYP2D6", "TARGETED_CYP2B6", "TARGETED_HBA"],
    "sample1.paraphase.json": ["PHASER_SMN1", "PHASER_GBA", "PHASER_CYP21A2", "PHASER_HBA", "PHASER_STRC"],
}


def check_unified(output):
    assert set(output) == {key for keys in KEY_ORDER.values() for key in keys}
    for key, expected in EXPECTED.items():
        assert output[key] == expected, key
        assert list(output[key]) == list(expected), key
    for key, values in TABLES.items():
        entry = output[key]
        assert list(entry) == ["data", "caller_name"] and entry["caller_name"] == PANEL
        text = json.dumps(entry["data"])
        for value in values:
            assert value in text, (key, value)
    hba = output["PHASER_HBA"]
    assert hba["data"] == {
        "total_cn": 3, "hba1_cn": 2, "hba2_cn": 1, "genotype": "-a3.7/aa",
        "deletions": ["-a3.7"], "phasing_success": True,
    }
    assert hba["warning"] in (
        "",
        "Based on the long-read paralog phaser, this sample is <b>Positive</b> for "
        "HBA1/HBA2 copy loss (alpha-thalassaemia carrier or trait)",
    )


@needs_readers
def test_examples_by_input_directory(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    result = run("--input-dir", EXAMPLES, "--output-dir", out)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""

    output_path = out / "corvane_output.json"
    raw = output_path.read_bytes()
    output = json.loads(raw)
    assert raw == json.dumps(output, indent=4).encode("ascii")
    check_unified(output)
    # Each file's sections stay together, in configuration order.
    keys = list(output)
    for group in KEY_ORDER.values():
        start = keys.index(group[0])
        assert keys[start:start + len(group)] == group
    # Sections nobody configured stay out.
    assert b"FLOWCELL7" not in raw and b"Splice" not in raw

    log_path = os.path.join(str(out), "corvane.log")
    messages = log_messages(result.stdout)
    reading = [m for _, m in messages if m.startswith("Reading ")]
    expected_log = [
        ("INFO", "Logging to " + log_path),
        ("INFO", "Started parsing Corvane files"),
        *[("INFO", m) for m in reading],
        ("INFO", "Wrote unified JSON to " + os.path.join(str(out), "corvane_output.json")),
        ("INFO", "Wrote provenance manifest to " + os.path.join(str(out), "corvane_output.manifest.json")),
    ]
    assert messages == expected_log
    # One line per file read, naming the path opened, the reader and (once
    # the factory passes it) the resource, in reading order.
    opened = [READING.match(m).group(1) for m in reading]
    assert sorted(opened) == sorted(os.path.join(str(EXAMPLES), name) for name in KEY_ORDER)
    readers = {os.path.basename(p): READING.match(m).group(2) for p, m in zip(opened, reading)}
    assert readers == {
        "Sample1.CombinedVariantOutput.tsv": "PanelTsvReader", "sample1.smn.tsv": "SingleRowTsvReader",
        "sample1.gba.tsv": "SingleRowTsvReader", "sample1.targeted.json": "JsonExtractReader",
        "sample1.paraphase.json": "JsonExtractReader",
    }
    with open(log_path, encoding="utf-8") as f:
        log_text = f.read()
    assert LINE.match(log_text.splitlines()[0]).group(2) == "Logging to " + log_path
    assert log_messages(log_text) == expected_log
    assert len(log_text.splitlines()) == len(expected_log)

    printed = [line for line in result.stdout.splitlines() if line.startswith(PRINTED)]
    assert sorted(printed) == sorted(
        PRINTED + output[key]["warning"] for key in ("TMB", "TARGETED_HBA")
    )

    # A second run appends to the log and replaces the output with the same bytes.
    again = run("--input-dir", EXAMPLES, "--output-dir", out)
    assert again.returncode == 0, again.stderr
    assert output_path.read_bytes() == raw
    with open(log_path, encoding="utf-8") as f:
        assert [m for _, m in log_messages(f.read())].count("Logging to " + log_path) == 2
    assert sorted(os.listdir(out)) == ["corvane.log", "corvane_output.json", "corvane_output.manifest.json"]


@needs_readers
def test_listed_files_config_file_and_module_entry(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    order = ["sample1.paraphase.json", "sample1.gba.tsv", "Sample1.CombinedVariantOutput.tsv",
             "sample1.smn.tsv", "sample1.targeted.json"]
    config = tmp_path / "run.json"
    config.write_bytes(
        b"\xef\xbb\xbf" + json.dumps({
            "output_dir": "ignored because the option is given",
            "output_json": "unified.json",
            "input_files": ["not used"],
            "map_files": {"sample1.smn.tsv": {"note": "caf\u00e9"}},
        }, ensure_ascii=False).encode("utf-8")
    )
    result = run(
        "-c", config, "--input-dir", EXAMPLES, "--output-dir", out,
        "--input-files", *order[:2], "absent.tsv", *order[2:], module=True, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    output = json.loads((out / "unified.json").read_bytes())
    assert list(output) == [key for name in order for key in KEY_ORDER[name]]
    check_unified(output)
    messages = log_messages(result.stdout)
    assert ("WARNING", "File absent.tsv not found. Skipping.") in messages
    assert messages[-2:] == [
        ("INFO", "Wrote unified JSON to " + os.path.join(str(out), "unified.json")),
        ("INFO", "Wrote provenance manifest to " + os.path.join(str(out), "unified.manifest.json")),
    ]


def test_help_logs_first(tmp_path):
    result = run("--output-dir", tmp_path, "--help")
    assert result.returncode == 0
    lines = result.stdout.splitlines()
    log_path = os.path.join(str(tmp_path), "corvane.log")
    assert LINE.match(lines[0]).groups() == ("INFO", "Logging to " + log_path)
    assert lines[1].startswith("usage: corvane-parse")
    assert "Parse special callers outputs into unified JSON" in result.stdout
    with open(log_path, encoding="utf-8") as f:
        assert [m for _, m in log_messages(f.read())] == ["Logging to " + log_path]


@pytest.mark.parametrize("argv", [["--bogus"], ["--input-files"]])
def test_command_line_error(tmp_path, argv):
    result = run("--output-dir", tmp_path, *argv)
    assert result.returncode == 2
    assert "usage: corvane-parse" in result.stderr
    assert os.listdir(tmp_path) == ["corvane.log"]


def test_log_goes_to_current_directory_by_default(tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    result = run("--input-dir", empty, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == "corvane-parse: error: No input files found in configuration or input directory.\n"
    assert sorted(os.listdir(tmp_path)) == ["corvane.log", "empty"]
    assert log_messages(result.stdout) == [
        ("INFO", "Logging to " + os.path.join(".", "corvane.log")), ("INFO", "Started parsing Corvane files"),
        ("ERROR", "No input files found in configuration or input directory."),
    ]


def test_missing_output_directory_fails_before_anything(tmp_path):
    result = run("--input-dir", EXAMPLES, "--output-dir", tmp_path / "absent")
    assert result.returncode == 1
    assert result.stderr == "corvane-parse: error: Output directory not found: %s\n" % (tmp_path / "absent")
    assert result.stdout == ""
    assert os.listdir(tmp_path) == []


def test_failed_run_keeps_earlier_output(tmp_path):
    inputs = tmp_path / "in"
    inputs.mkdir()
    shutil.copy(EXAMPLES / "sample1.smn.tsv", inputs)
    (inputs / "notes.tsv").write_text("x\n")
    (tmp_path / "corvane_output.json").write_text("earlier")
    result = run("--input-dir", inputs, "--output-dir", tmp_path,
                 "--input-files", "notes.tsv", "sample1.smn.tsv")
    assert result.returncode == 1
    assert result.stderr == "corvane-parse: error: Unsupported file type: %s\n" % os.path.join(str(inputs), "notes.tsv")
    assert (tmp_path / "corvane_output.json").read_text() == "earlier"
    assert sorted(os.listdir(tmp_path)) == ["corvane.log", "corvane_output.json", "in"]
