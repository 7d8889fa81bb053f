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
PHASER = "Long-read paralog phaser"
PHASER_COMMON = {"genome_depth": 32.0, "sample_sex": "female"}


def panel(data, warning=None, status="normal"):
    entry = {"data": data}
    if warning is not None:
        entry["warning"] = warning
    entry["caller_name"] = PANEL
    entry["status"] = status
    return entry


EXPECTED = {
    # IDs and versions as written; NA placeholders are no value and no row.
    "ANALYSIS DETAILS": panel({
        "Pair ID": "0001", "DNA Sample ID": "Sample1_DNA", "RNA Sample ID": "Sample1_RNA",
        "Output Date": "2025-03-14", "Output Time": "09:30:00", "Module Version": "2.6.0",
        "Pipeline Version": "2.10",
    }),
    "SEQUENCING RUN DETAILS": panel({
        "Run Name": "250312_RUN0089_FLOWCELL7", "Run Date": "2025-03-12", "DNA Sample Index ID": "UP01",
        "RNA Sample Index ID": "UP02", "Instrument ID": "A00089", "Instrument Type": "Sequencer",
    }),
    "TMB": panel(
        {"Total TMB": 12.71, "Coding Region Size in Megabases": 1.21, "Number of Passing Eligible Variants": 15},
        "High tumour mutational burden: 10 or more mutations per megabase", "finding"),
    "MSI": panel({"Usable MSI Sites": 118, "Total MSI Sites Unstable": 4, "Percent Unstable MSI Sites": 3.39}, ""),
    "GIS": panel({"Genomic Instability Score": 18, "Tumor Fraction": 0.41, "Ploidy": 2.1}),
    "GENE AMPLIFICATIONS": panel([{"Gene": "ERBB2", "Fold Change": 4.864}, {"Gene": "MYC", "Fold Change": 2.31}]),
    "COPY NUMBER VARIANTS": panel([]),
    "SPLICE VARIANTS": panel([{
        "Gene": "MET", "Affected Exon": "14", "Breakpoint 1": "chr7:116771500", "Breakpoint 2": "chr7:116774900",
        "Splice Supporting Reads": 91, "Reference Reads Transcript": 2,
    }]),
    "FUSIONS": panel([{
        "Gene Pair": "EML4-ALK", "Breakpoint 1": "chr2:42299852", "Breakpoint 2": "chr2:29223528",
        "Fusion Supporting Reads": 27, "Gene 1 Reference Reads": 310, "Gene 2 Reference Reads": 4,
    }]),
    "EXON-LEVEL CNVS": panel([]),
    "LARGE REARRANGEMENTS": panel([], status="not_assessed"),  # a lone NA row
    "SMALL VARIANTS": panel([
        {"Gene": "TP53", "Chromosome": "chr17", "Genomic Position": 7674220, "Reference Call": "C",
         "Alternative Call": "T", "Allele Frequency": 0.412, "Depth": 845, "P-Dot Notation": "p.(Arg248Gln)",
         "C-Dot Notation": "c.743G>A", "Consequence(s)": "missense_variant", "Affected Exon(s)": "7/11"},
        {"Gene": "KRAS", "Chromosome": "chr12", "Genomic Position": 25245350, "Reference Call": "C",
         "Alternative Call": "A", "Allele Frequency": 0.186, "Depth": 1023, "P-Dot Notation": "p.(Gly12Val)",
         "C-Dot Notation": "c.35G>T", "Consequence(s)": "missense_variant", "Affected Exon(s)": "2/6"},
        # Below the 5 % cut-off, unrounded.
        {"Gene": "PIK3CA", "Chromosome": "chr3", "Genomic Position": 179234297, "Reference Call": "A",
         "Alternative Call": "G", "Allele Frequency": 0.0467, "Depth": 688, "P-Dot Notation": "p.(His1047Arg)",
         "C-Dot Notation": "c.3140A>G", "Consequence(s)": "missense_variant", "Affected Exon(s)": "21/21"},
    ]),
    "SMN": {
        "data": {
            "Sample": "Sample1", "isSMA": False, "isCarrier": True, "SMN1_CN": 1, "SMN2_CN": 3,
            "SMN2delta7-8_CN": 0, "Total_CN_raw": 4.0213, "Full_length_CN_raw": 3.9702, "g.27134T>G_CN": 0,
            "SMN1_CN_raw": 1.0381,
        },
        "warning": "Based on the SMN copy-number caller, " + SMN_CARRIER,
        "caller_name": "SMN copy-number caller",
        "status": "finding",
    },
    "GBA": {
        "data": {
            "Sample": "Sample1", "is_biallelic(GBAP1-like_variant_exon9-11)": False,
            "is_carrier(GBAP1-like_variant_exon9-11)": True, "CN(GBA+GBAP1)": 4, "deletion_breakpoint_in_GBA": None,
            "GBAP1-like_variant_exon9-11": "L483P/", "other_unphased_variants": None,
        },
        "warning": "Based on the GBA caller, " + GBA_CARRIER + ": a GBAP1-like variant in exons 9-11 on one allele",
        "caller_name": "GBA caller",
        "status": "finding",
    },
    "TARGETED_SMN": {
        "data": {
            "smn1CopyNumber": 1, "smn2CopyNumber": 3, "smn2Delta78CopyNumber": 0, "totalCopyNumber": 4,
            "fullLengthCopyNumber": 4, "smn1CopyNumberRaw": 1.04, "variants": [],
            "qc": {"medianDepth": 36.5, "status": "PASS"},
        },
        "warning": "Based on the targeted caller, " + SMN_CARRIER,
        "caller_name": "Targeted caller (SMN1/SMN2)",
        "status": "finding",
    },
    "TARGETED_GBA": {
        "data": {
            "totalCopyNumber": 4, "deletionBreakpointInGene": False, "recombinantHaplotypes": [],
            "variants": [{"hgvs": "NM_000157.4:c.1226A>G", "name": "p.Asn409Ser", "alleleCopyNumber": 1, "depth": 41}],
            "qc": {"medianDepth": 38.0, "status": "PASS", "perExonDepth": [35, 39, 40, 37, 41, 38, 36, 42, 39, 40, 38]},
        },
        "warning": "Based on the targeted caller, " + GBA_CARRIER,
        "caller_name": "Targeted caller (GBA)",
        "status": "finding",
    },
    "TARGETED_CYP2D6": {
        "data": {
            "genotype": "*4/*1", "copyNumber": {"total": 2, "exon9Hybrid": 0, "duplications": 0},
            "haplotypeSupport": [{"allele": "*1", "reads": 18}, {"allele": "*4", "reads": 21}], "filter": "PASS",
        },
        "warning": "Based on targeted caller, this sample is defined as <b>Intermediate Metabolizer</b>",
        "caller_name": "Targeted caller (CYP2D6)",
        "status": "finding",
    },
    "TARGETED_CYP2B6": {
        "data": {"genotype": "*6/*1", "filter": "PASS", "variants": ["rs3745274", "rs2279343"], "rawCalls": "516G>T;785A>G"},
        "warning": "Based on targeted caller, this sample is defined as <b>Intermediate Metabolizer</b>",
        "caller_name": "Targeted caller (CYP2B6)",
        "status": "finding",
    },
    "TARGETED_HBA": {
        "data": {"genotype": "-a3.7/aa", "totalCopyNumber": 3, "hba1CopyNumber": 2, "hba2CopyNumber": 1, "deletions": ["-a3.7"]},
        "warning": "Based on the targeted caller, three alpha-globin (HBA1/HBA2) copies were found (genotype "
                   "-a3.7/aa): consistent with alpha-thalassaemia silent carrier status (one gene deleted)",
        "caller_name": "Targeted caller (HBA1/HBA2)",
        "status": "finding",
    },
    "TARGETED_CYP21A2": {
        "data": {"totalCopyNumber": 4, "cyp21a2CopyNumber": 2, "variants": []},
        "caller_name": "Targeted caller (CYP21A2)",
        "status": "normal",
    },
    # The read evidence is left out.
    "TARGETED_LPA": {"data": {"kiv2CopyNumber": 36.27}, "caller_name": "Targeted caller (LPA)",
                     "status": "normal"},
    "TARGETED_RH": {
        "data": {"rhdCopyNumber": 2, "rhceGenotype": "RHCE*01/RHCE*02"}, "caller_name": "Targeted caller (RHD/RHCE)",
        "status": "normal",
    },
    "PHASER_SMN1": {
        "data": {
            "smn1_cn": 1, "smn2_cn": 3, "smn_del78_cn": 0, "smn1_read_number": 33, "smn2_read_number": 87,
            "smn_del78_read_number": 0, "highest_total_cn": 4, "smn1_haplotypes": {"1122": "smn1_smn1hap1"},
            "smn2_haplotypes": {"2211": "smn1_smn2hap1", "2212": "smn1_smn2hap2", "2221": "smn1_smn2hap3"},
            "two_copy_haplotypes": [], **PHASER_COMMON,
        },
        "warning": "Based on the long-read paralog phaser, " + SMN_CARRIER,
        "caller_name": PHASER + " (SMN1/SMN2)",
        "status": "finding",
    },
    "PHASER_GBA": {
        "data": {
            "total_cn": 4, "gene_cn": 2, "final_haplotypes": {"1111": "gba_hap1", "1112": "gba_hap2", "2222": "gba_hap3"},
            "two_copy_haplotypes": ["gba_hap3"], "fusions_called": None, **PHASER_COMMON,
        },
        "warning": "",
        "caller_name": PHASER + " (GBA)",
        "status": "normal",
    },
    "PHASER_CYP21A2": {
        "data": {
            "total_cn": 4, "gene_cn": 2, "starting_hap": "rccx_hap1", "ending_hap": "rccx_hap2", "deletion_hap": None,
            "phasing_success": True, "annotated_alleles": ["rccx_hap1: WT", "rccx_hap2: WT"], **PHASER_COMMON,
        },
        "warning": "",
        "caller_name": PHASER + " (CYP21A2)",
        "status": "normal",
    },
    "PHASER_HBA": {
        "data": {
            "total_cn": 3, "final_haplotypes": {"111": "hba_hap1", "333": "hba_3p7delhap1"}, "genotype": "-a3.7/aa",
            "sv_called": {"hba_3p7delhap1": "3p7del,chr16:172000-176000"}, **PHASER_COMMON,
        },
        "warning": "Based on the long-read paralog phaser, three alpha-globin (HBA1/HBA2) copies were found "
                   "(genotype -a3.7/aa): consistent with alpha-thalassaemia silent carrier status (one gene "
                   "deleted)",
        "caller_name": PHASER + " (HBA1/HBA2)",
        "status": "finding",
    },
    "PHASER_STRC": {
        "data": {"total_cn": 4, "gene_cn": 2, "intergenic_depth": 30.5, **PHASER_COMMON},
        "warning": "",
        "caller_name": PHASER + " (STRC)",
        "status": "normal",
    },
    "PHASER_CYP2D6": {
        "data": {"total_cn": 2, "gene_cn": 2, "genotype": "*1/*4", **PHASER_COMMON},
        "caller_name": PHASER + " (CYP2D6)",
        "status": "normal",
    },
    "PHASER_IKBKG": {
        "data": {"total_cn": 4, "gene_cn": 2, "deletion_haplotypes": [], "del_read_number": 0, **PHASER_COMMON},
        "caller_name": PHASER + " (IKBKG)",
        "status": "normal",
    },
}
# Output keys per kind of file, in the order each configuration lists them.
KEY_ORDER = {
    "Sample1.CombinedVariantOutput.tsv": [
        "ANALYSIS DETAILS", "SEQUENCING RUN DETAILS", "TMB", "MSI", "GIS", "GENE AMPLIFICATIONS",
        "COPY NUMBER VARIANTS", "SPLICE VARIANTS", "FUSIONS", "EXON-LEVEL CNVS", "LARGE REARRANGEMENTS",
        "SMALL VARIANTS",
    ],
    "sample1.smn.tsv": ["SMN"],
    "sample1.gba.tsv": ["GBA"],
    "sample1.targeted.json": [
        "TARGETED_SMN", "TARGETED_GBA", "TARGETED_CYP2D6", "TARGETED_CYP2B6", "TARGETED_HBA",
        "TARGETED_CYP21A2", "TARGETED_LPA", "TARGETED_RH",
    ],
    "sample1.paraphase.json": [
        "PHASER_SMN1", "PHASER_GBA", "PHASER_CYP21A2", "PHASER_HBA", "PHASER_STRC", "PHASER_CYP2D6",
        "PHASER_IKBKG",
    ],
}
# Sections whose sentences are printed as they are found (the "condition" warnings).
PRINTING = ("TMB", "MSI", "GBA", "PHASER_GBA", "PHASER_CYP21A2", "PHASER_STRC")


def check_unified(output):
    assert set(output) == {key for keys in KEY_ORDER.values() for key in keys}
    for key, expected in EXPECTED.items():
        assert output[key] == expected, key
        assert list(output[key]) == list(expected), key


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
    # The title lines before the first section stay out.
    assert b"Combined Variant Output" not in raw

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
        PRINTED + output[key]["warning"] for key in PRINTING if output[key]["warning"]
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


# Help, version and a bad command line or run configuration file end before the
# log is opened: the folder stays empty, from the script as from main(argv).
@pytest.mark.parametrize("argv, status, shown", [
    (["--help"], 0, "usage: corvane-parse"),
    (["--version"], 0, "corvane-parse "),
    (["--bogus"], 2, "unrecognized arguments: --bogus"),
    (["--input-files"], 2, "expected at least one argument"),
    (["--output-dir"], 2, "expected one argument"),
    (["--jobs", "0", "--sample-sheet", "s.tsv"], 2, "--jobs must be a whole number"),
    (["--input", "vcf", "a.vcf"], 2, "Unknown input kind 'vcf'"),
    (["-c", "absent.json"], 2, "Cannot read run configuration file absent.json"),
])
def test_help_version_and_errors_touch_no_file(tmp_path, monkeypatch, capsys, argv, status, shown):
    from CorvaneFileParser.ReportAssembler import main

    result = run(*argv, cwd=tmp_path)
    assert result.returncode == status
    assert shown in result.stdout + result.stderr
    assert os.listdir(tmp_path) == []
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "argv", ["corvane-parse", "--input-dir", "elsewhere"])
    try:
        in_process = main(argv)
    except SystemExit as stop:
        in_process = stop.code
    assert in_process == status
    assert shown in "".join(capsys.readouterr())
    assert os.listdir(tmp_path) == []


def test_both_programs_print_their_version_alike(tmp_path):
    shown = [subprocess.run([str(SCRIPT.with_name(name)), "--version"], capture_output=True, text=True,
                            cwd=tmp_path, timeout=120).stdout.split() for name in ("corvane-parse", "corvane-summarise")]
    assert [words[0] for words in shown] == ["corvane-parse", "corvane-summarise"]
    assert shown[0][1:] == shown[1][1:] and len(shown[0]) == 2
    assert os.listdir(tmp_path) == []


@needs_readers
def test_main_runs_its_own_argument_list(tmp_path, monkeypatch):
    from CorvaneFileParser.ReportAssembler import main

    monkeypatch.setattr(sys, "argv", ["corvane-parse", "--bogus"])
    assert main(["--input-dir", EXAMPLES, "--output-dir", tmp_path, "--input-files", "sample1.smn.tsv"]) == 0
    assert sorted(os.listdir(tmp_path)) == ["corvane.log", "corvane_output.json", "corvane_output.manifest.json"]
    with pytest.raises(TypeError, match="list of arguments"):
        main("--help")


# Reports, after every other exit handler, whether the collector's objects
# were frozen for the interpreter's shutdown.
FREEZE_PROBE = """
import atexit, gc, sys
atexit.register(lambda: print("frozen" if gc.get_freeze_count() else "not frozen"))
from CorvaneFileParser.CommandLine import run_program
from CorvaneFileParser.ReportAssembler import main
sys.argv = ["corvane-parse", "--version"]
{call}
"""


@pytest.mark.parametrize("call, expected", [
    ("run_program()", "frozen"),  # the program entry the corvane-parse script calls
    ("main()", "not frozen"),  # a library call, even at the top level
])
def test_objects_are_frozen_at_exit_only_for_program_runs(tmp_path, call, expected):
    result = subprocess.run([sys.executable, "-c", FREEZE_PROBE.format(call=call)], capture_output=True,
                            text=True, cwd=tmp_path, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == expected
    assert result.stderr == ""


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
