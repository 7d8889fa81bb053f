"""The command line on the real caller outputs kept beside the repository.

The files in ../shared/real-formats/ (relative to the repository root) are not part of
the project; without that folder every test here is skipped. Each file is run through the
installed command line and the clinically decisive facts of its result are checked.
"""

import json
import subprocess
import sys
from pathlib import Path

import pytest
from document_walk import keys_deep, texts_deep

REAL = Path(__file__).resolve().parent.parent.parent / "shared" / "real-formats"
SCRIPT = Path(sys.executable).parent / "corvane-parse"
READ_EVIDENCE = {"read_details", "unique_supporting_reads", "nonunique_supporting_reads"}

pytestmark = pytest.mark.skipif(
    not REAL.is_dir(), reason=f"real caller outputs not present at {REAL} (a clone outside "
                              "the shared workspace)")

FILES = sorted(p.relative_to(REAL).as_posix() for p in REAL.rglob("*")
               if p.is_file() and p.suffix in (".tsv", ".json")) if REAL.is_dir() else []

SMN_POSITIVE = "this sample is positive for Spinal Muscular Atrophy"
SMN_CARRIER = "this sample is carrier for Spinal Muscular Atrophy"
SMN_SILENT = "silent carrier (2+0) for Spinal Muscular Atrophy"
SMN_NO_CALL = "SMN1 copy number could not be determined (no call)"
GBA_CARRIER = "this sample is carrier for Gaucher disease"
HBA_SILENT = "three alpha-globin (HBA1/HBA2) copies were found (genotype -a/aa)"

# Every section's status, by file: those listed here, all others "normal". A region the run
# did not configure, a table holding only a lone NA row and a section the file lacks were
# not assessed.
PHASER_UNRUN = ("PHASER_SMN1", "PHASER_GBA", "PHASER_CYP21A2", "PHASER_HBA", "PHASER_STRC",
                "PHASER_CYP2D6")
PANEL_UNASSESSED = ("SEQUENCING RUN DETAILS", "COPY NUMBER VARIANTS", "LARGE REARRANGEMENTS")
STATUSES = {
    "gba/doc-demo.gba.tsv": {"GBA": "finding"},
    "gba/example.gba.tsv": {"GBA": "finding"},
    "panel/localapp-2.2-sample-12345.CombinedVariantOutput.tsv": {
        "TMB": "finding", "MSI": "finding", **dict.fromkeys(
            PANEL_UNASSESSED + ("GIS", "SPLICE VARIANTS", "FUSIONS", "EXON-LEVEL CNVS"), "not_assessed")},
    "panel/pipeline-2.1.1-sample-2600000001.CombinedVariantOutput.tsv":
        dict.fromkeys(PANEL_UNASSESSED, "not_assessed"),
    "phaser/HG004-3.1.paraphase.json": dict.fromkeys(PHASER_UNRUN, "not_assessed"),
    "phaser/HG004-3.2.1.paraphase.json": dict.fromkeys(PHASER_UNRUN, "not_assessed"),
    "phaser/doc-HG00281-hba-3p7del.paraphase.json": {
        "PHASER_SMN1": "finding", "PHASER_HBA": "finding", **dict.fromkeys(
            ("PHASER_CYP21A2", "PHASER_STRC", "PHASER_CYP2D6", "PHASER_IKBKG"), "not_assessed")},
    "phaser/doc-v3-smn1.paraphase.json": dict.fromkeys(
        PHASER_UNRUN[1:] + ("PHASER_IKBKG",), "not_assessed"),
    "smn/cohort-2504-samples.smn.tsv": {},
    "smn/row-HG02445.smn.tsv": {"SMN": "no_call"},
    "smn/row-HG03583.smn.tsv": {"SMN": "finding"},
    "smn/row-NA18924.smn.tsv": {"SMN": "finding"},
    "smn/row-NA20126.smn.tsv": {"SMN": "no_call"},
}


def run_cli(tmp_path, name, *extra):
    out = tmp_path / "out"
    out.mkdir(exist_ok=True)
    result = subprocess.run(
        [str(SCRIPT), "--input-files", str(REAL / name), "--output-dir", str(out),
         "--output-json", "unified.json", *extra],
        capture_output=True, text=True, encoding="utf-8", timeout=120)
    assert result.returncode == 0, result.stderr
    return json.loads((out / "unified.json").read_text(encoding="utf-8"))


def real(name):
    if not (REAL / name).is_file():
        pytest.skip(f"{name} not present in {REAL}")
    return name


def sentences(output):
    """Every non-empty warning text, by output key."""
    return {key: entry["warning"] for key, entry in output.items() if entry.get("warning")}


@pytest.mark.parametrize("name", FILES)
def test_every_real_file_runs(tmp_path, name):
    output = run_cli(tmp_path, name)
    assert output
    for key, entry in output.items():
        assert entry["caller_name"], key
        assert not READ_EVIDENCE & set(keys_deep(entry["data"])), key
        # No "NA" placeholder survives as a value, a key or a row.
        assert "NA" not in set(texts_deep(entry["data"])), key
    if name in STATUSES:
        statuses = {key: entry["status"] for key, entry in output.items()}
        assert statuses == {key: STATUSES[name].get(key, "normal") for key in output}
    assert_kept_values_are_the_files_own(name, output)


NULL_WORDS = {"", "na", "n/a", "none", "null"}


def from_text(value, text):
    """value is what the cell text says: the text itself, its number (decimals to two places at
    most; an integer written without a leading zero), its truth value, or null for a null word."""
    if isinstance(value, str):
        return value == text
    if value is None or isinstance(value, bool):
        return text.lower() == ("null" if value is None else str(value).lower()) or (
            value is None and text.lower() in NULL_WORDS)
    if isinstance(value, int):
        return text == str(value)
    try:
        return value in (float(text), round(float(text), 2))
    except ValueError:
        return False


def as_written(value, source):
    """value is the JSON file's own value: texts as texts, numbers as numbers (decimals to two
    places at most), lists of the same length and mappings item by item."""
    if isinstance(source, dict):
        return isinstance(value, dict) and all(k in source and as_written(v, source[k]) for k, v in value.items())
    if isinstance(source, list):
        return isinstance(value, list) and len(value) == len(source) and all(map(as_written, value, source))
    if isinstance(source, float) and isinstance(value, float):
        return value in (source, round(source, 2))
    return type(value) is type(source) and value == source


def assert_kept_values_are_the_files_own(name, output):
    text = (REAL / name).read_text(encoding="utf-8-sig")
    if name.endswith(".json"):
        regions = [{**region, **region.get("region_specific_info", {})}
                   for region in json.loads(text).values() if isinstance(region, dict)]
        for key, entry in output.items():
            assert any(as_written(entry["data"], region) for region in regions), key
        return
    rows = [[cell.strip() for cell in line.split("\t")] for line in text.splitlines()]
    if name.endswith("CombinedVariantOutput.tsv"):
        # A value of a sectioned table must be what some cell of the file says.
        cells = {cell for row in rows for cell in row}
        for key, entry in output.items():
            for record in entry["data"] if isinstance(entry["data"], list) else [entry["data"]]:
                for column, value in record.items():
                    assert any(from_text(value, cell) for cell in cells), (key, column, value)
        return
    (entry,) = output.values()
    row = next(row for row in rows[1:] if row[0] == entry["data"]["Sample"])
    assert all(from_text(value, row[rows[0].index(column)]) for column, value in entry["data"].items())


# --- Tumour panel ------------------------------------------------------------------

def test_panel_local_app_dna(tmp_path):
    output = run_cli(tmp_path, real("panel/localapp-2.2-sample-12345.CombinedVariantOutput.tsv"))
    assert set(sentences(output)) == {"TMB", "MSI"}
    assert "High tumour mutational burden" in output["TMB"]["warning"]
    # 64.8 % unstable sites is MSI-high.
    assert output["MSI"]["data"]["Percent Unstable MSI Sites"] == 64.8
    assert output["MSI"]["warning"].startswith("Microsatellite instability high")
    assert output["TMB"]["data"]["Total TMB"] == 275.6
    details = output["ANALYSIS DETAILS"]["data"]
    assert (details["Pair ID"], details["Pipeline Version"], details["RNA Sample ID"]) == (
        "12345", "1", None)
    tables = {key: len(output[key]["data"]) for key in (
        "GENE AMPLIFICATIONS", "SPLICE VARIANTS", "FUSIONS", "SMALL VARIANTS",
        "COPY NUMBER VARIANTS", "EXON-LEVEL CNVS", "LARGE REARRANGEMENTS")}
    assert tables == {"GENE AMPLIFICATIONS": 3, "SPLICE VARIANTS": 0, "FUSIONS": 0,
                      "SMALL VARIANTS": 35, "COPY NUMBER VARIANTS": 0, "EXON-LEVEL CNVS": 0,
                      "LARGE REARRANGEMENTS": 0}
    assert all(isinstance(output[key]["data"], list) for key in tables)
    assert output["GENE AMPLIFICATIONS"]["data"][1] == {"Gene": "MET", "Fold Change": 2.173}
    mtor = [v for v in output["SMALL VARIANTS"]["data"] if v["Genomic Position"] == 11174511]
    assert [v["Allele Frequency"] for v in mtor] == [0.0467]
    assert "NA" not in output["SEQUENCING RUN DETAILS"]["data"]


def test_panel_pipeline_dna_rna(tmp_path):
    output = run_cli(tmp_path, real("panel/pipeline-2.1.1-sample-2600000001.CombinedVariantOutput.tsv"))
    assert sentences(output) == {}
    assert output["MSI"]["data"]["Percent Unstable MSI Sites"] == 2.48
    assert output["GIS"]["data"] == {
        "Genomic Instability Score": 31, "Tumor Fraction": 0.62, "Ploidy": 2.1}
    details = output["ANALYSIS DETAILS"]["data"]
    assert (details["Module Version"], details["Pair ID"]) == ("2.1.1", "C0000001")
    tables = {key: len(output[key]["data"]) for key in (
        "GENE AMPLIFICATIONS", "SPLICE VARIANTS", "FUSIONS", "EXON-LEVEL CNVS", "SMALL VARIANTS")}
    assert tables == {"GENE AMPLIFICATIONS": 6, "SPLICE VARIANTS": 3, "FUSIONS": 17,
                      "EXON-LEVEL CNVS": 0, "SMALL VARIANTS": 1}
    splice = {(v["Gene"], v["Affected Exon"]) for v in output["SPLICE VARIANTS"]["data"]}
    # MET exon 14 skipping and the EGFR exon 2-7 deletion transcript are kept.
    assert {("MET", "14"), ("EGFR", "2-7"), ("AR", None)} == splice
    fusions = [v["Gene Pair"] for v in output["FUSIONS"]["data"]]
    assert "EML4-ALK" in fusions and "SLC34A2-ROS1;GOPC" in fusions
    assert output["SMALL VARIANTS"]["data"][0]["Allele Frequency"] == 1.0


# --- SMN caller --------------------------------------------------------------------

@pytest.mark.parametrize("name, sentence", [
    ("smn/row-HG03583.smn.tsv", SMN_CARRIER),
    ("smn/row-NA18924.smn.tsv", SMN_SILENT),
    ("smn/row-HG02445.smn.tsv", SMN_NO_CALL),
    ("smn/row-NA20126.smn.tsv", SMN_NO_CALL),
])
def test_smn_rows(tmp_path, name, sentence):
    entry = run_cli(tmp_path, real(name))["SMN"]
    assert sentence in entry["warning"]
    assert entry["data"]["Sample"] == Path(name).name.split(".")[0][4:]
    assert "g.27134T>G_CN" in entry["data"] and "SMN*_CN" in entry["data"]


def sample_option_supported(tmp_path):
    # Run where its log file may go.
    result = subprocess.run([str(SCRIPT), "--help"], capture_output=True, text=True, timeout=60,
                            cwd=tmp_path)
    return "--sample" in result.stdout


@pytest.mark.parametrize("sample, sentence, smn1", [
    ("HG03583", SMN_CARRIER, 1),
    ("NA18924", SMN_SILENT, 2),
    ("HG02445", SMN_NO_CALL, None),
    ("HG00321", "", 2),
])
def test_smn_cohort_by_sample(tmp_path, sample, sentence, smn1):
    name = real("smn/cohort-2504-samples.smn.tsv")
    if not sample_option_supported(tmp_path):
        pytest.skip("corvane-parse --help does not list --sample yet")
    entry = run_cli(tmp_path, name, "--sample", sample)["SMN"]
    assert entry["data"]["Sample"] == sample and entry["data"]["SMN1_CN"] == smn1
    if sentence:
        assert sentence in entry["warning"]
    else:
        assert entry["warning"] == ""


# --- GBA caller --------------------------------------------------------------------

@pytest.mark.parametrize("name", ["gba/doc-demo.gba.tsv", "gba/example.gba.tsv"])
def test_gba_carrier_l483p(tmp_path, name):
    entry = run_cli(tmp_path, real(name))["GBA"]
    # The carrier sentence and nothing else.
    assert GBA_CARRIER in entry["warning"] and ". " not in entry["warning"]
    data = entry["data"]
    assert data["GBAP1-like_variant_exon9-11"] == "L483P/"
    assert data["is_carrier(GBAP1-like_variant_exon9-11)"] is True
    assert data["is_biallelic(GBAP1-like_variant_exon9-11)"] is False
    assert data["CN(GBA+GBAP1)"] == 4
    assert data["deletion_breakpoint_in_GBA"] is None


# --- Phaser ------------------------------------------------------------------------

def test_phaser_smn1_and_hba_deletion(tmp_path):
    output = run_cli(tmp_path, real("phaser/doc-HG00281-hba-3p7del.paraphase.json"))
    assert set(sentences(output)) == {"PHASER_SMN1", "PHASER_HBA"}
    assert SMN_CARRIER in output["PHASER_SMN1"]["warning"]
    assert HBA_SILENT in output["PHASER_HBA"]["warning"]
    assert output["PHASER_HBA"]["data"]["genotype"] == "-a/aa"
    assert output["PHASER_HBA"]["data"]["sv_called"] == {
        "hba_3p7delhap1": "3p7del,chr16:172240-176044"}
    assert output["PHASER_SMN1"]["data"]["smn1_read_number"] == 82
    assert output["PHASER_GBA"]["data"]["total_cn"] == 4


def test_phaser_smn1_newer_del78_spelling(tmp_path):
    output = run_cli(tmp_path, real("phaser/doc-v3-smn1.paraphase.json"))
    smn = output["PHASER_SMN1"]
    assert smn["warning"] == ""
    assert (smn["data"]["smn1_cn"], smn["data"]["smn_del78_cn"]) == (2, 1)
    assert smn["data"]["smn_del78_read_number"] == 22
    assert set(smn["data"]["smn_del78_haplotypes"].values()) == {"smn1_smndel78hap1"}


@pytest.mark.parametrize("name", ["phaser/HG004-3.1.paraphase.json",
                                  "phaser/HG004-3.2.1.paraphase.json"])
def test_phaser_other_regions(tmp_path, name):
    output = run_cli(tmp_path, real(name))
    assert sentences(output) == {}
    ikbkg = output["PHASER_IKBKG"]["data"]
    assert (ikbkg["total_cn"], ikbkg["gene_cn"]) == (4, 2)
    assert ikbkg["deletion_haplotypes"] == ["ikbkg_pseudo_hap1"]
    for key in ("PHASER_SMN1", "PHASER_GBA", "PHASER_HBA", "PHASER_STRC", "PHASER_CYP21A2"):
        assert output[key]["data"] == {}, key
