"""The shipped JSON Schemas: every output the command line writes validates against them."""

import copy
import json
import subprocess
import sys
from importlib import resources
from pathlib import Path

import pytest
from jsonschema import Draft202012Validator, FormatChecker

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
REAL_FORMATS = ROOT.parent / "shared" / "real-formats"
SCRIPT = Path(sys.executable).parent / "corvane-parse"
RESOURCES = ["dragen_500_tsv_config.json", "smn_tsv_config.json", "gba_tsv_config.json",
             "dragen_targeted_config.json", "pacbio_paraphase_config.json"]


def load_schema(name):
    text = resources.files("CorvaneFileParser").joinpath("schemas", name).read_text("utf-8")
    schema = json.loads(text)
    Draft202012Validator.check_schema(schema)
    return Draft202012Validator(schema, format_checker=FormatChecker())


UNIFIED = load_schema("unified_output.schema.json")
MANIFEST = load_schema("manifest.schema.json")


def problems(validator, document):
    return sorted(error.message for error in validator.iter_errors(document))


def run_cli(tmp_path, *args):
    out = tmp_path / "out"
    out.mkdir(exist_ok=True)
    result = subprocess.run(
        [str(SCRIPT), "--output-dir", str(out), "--output-json", "unified.json", *map(str, args)],
        capture_output=True, text=True, encoding="utf-8", timeout=120)
    return result, out / "unified.json"


def validated_output(tmp_path, *args):
    result, output = run_cli(tmp_path, *args)
    assert result.returncode == 0, result.stderr
    document = json.loads(output.read_text("utf-8"))
    assert problems(UNIFIED, document) == []
    return document


# --- unified output -------------------------------------------------------

def test_examples_output_validates(tmp_path):
    document = validated_output(tmp_path, "--input-dir", EXAMPLES)
    # The examples cover every reader: key-value, table, one-row and JSON sections.
    assert {"TMB", "SMALL VARIANTS", "SMN", "GBA", "TARGETED_CYP2D6", "PHASER_HBA"} <= set(document)
    assert isinstance(document["SMALL VARIANTS"]["data"], list)


PANEL = (
    "[Header]\t\t\n"
    "Output Date\t2026-01-05\t\n"
    "[Analysis Details]\t\t\n"
    "Pair ID\t007\t\n"
    "DNA Sample ID\tS-1\t\n"
    "[TMB]\t\t\n"
    "Total TMB\t12.345\t\n"
    "Coding Region Size in Megabases\tNA\t\n"
    "[MSI]\t\t\n"
    "Usable MSI Sites\t35\t\n"
    "Percent Unstable MSI Sites\t\t\n"
    "[Gene Amplifications]\t\t\n"
    "Gene\tFold Change\t\n"
    "[Fusions]\t\t\n"
    "Gene Pair\tBreakpoint\tSupporting Reads\n"
    "NA\t\t\n"
    "[Small Variants]\t\t\n"
    "Gene\tAllele Frequency\tDepth\n"
    "KRAS\t0.0467\t812\n"
    "TP53\ttrue\tnull\n"
)
FIXTURES = {
    "Case7.CombinedVariantOutput.tsv": PANEL,
    "case7.smn.tsv": "Sample\tisSMA\tisCarrier\tSMN1_CN\tSMN2_CN\nCase7\tFalse\tFalse\tNone\t2\n",
    "case7.gba.tsv": "Sample\tis_carrier\tCN(GBA+GBAP1)\tother_unphased_variants\nCase7\tTRUE\t4\tN/A\n",
    "case7.targeted.json": json.dumps({
        "sample": "Case7",
        "smn": {"smn1CopyNumber": 0, "smn2CopyNumber": 3, "variants": []},
        "gba": {"variants": [{"hgvs": "c.1226A>G", "alleleCopyNumber": "1"}]},
        "cyp2d6": {"genotype": "*4/*1", "copyNumber": "2"},
        "hba": {"hba1CopyNumber": 1, "hba2CopyNumber": 2},
    }),
    "case7.paraphase.json": json.dumps({
        "smn1": {"region_specific_info": {"smn1_cn": None, "smn2_cn": 2}},
        "GBA": {"total_cn": 4, "fusions_called": None},
        "hba": {"genotype": "-a3.7/aa", "sv_called": {"hap1": "3p7del,chr16:1-2"}},
        "strc": {"gene_cn": 1, "total_cn": 3},
    }),
}


def test_hand_made_fixtures_validate(tmp_path):
    """Edge shapes of every reader: empty tables, placeholders, no-calls, nulls, lists."""
    inputs = tmp_path / "inputs"
    inputs.mkdir()
    for name, text in FIXTURES.items():
        (inputs / name).write_text(text, encoding="utf-8", newline="")
    document = validated_output(tmp_path, "--input-dir", inputs)
    assert {"TMB", "SMN", "GBA", "TARGETED_SMN", "PHASER_STRC"} <= set(document)
    # Each file read alone validates as well (sections absent from a file stay empty entries).
    for name in FIXTURES:
        validated_output(tmp_path, "--input-files", inputs / name)


def real_files():
    if not REAL_FORMATS.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(
            reason=f"real caller files not available ({REAL_FORMATS} absent)"))]
    files = sorted(p for p in REAL_FORMATS.rglob("*") if p.suffix.lower() in (".tsv", ".json"))
    return [pytest.param(p, id=p.name) for p in files]


@pytest.mark.parametrize("path", real_files())
def test_real_caller_files_validate(tmp_path, path):
    result, output = run_cli(tmp_path, "--input-files", path)
    if result.returncode != 0:
        # A refused file leaves no output, only the one-line error.
        assert result.returncode == 1, result.stderr
        assert result.stderr.strip().splitlines()[-1].startswith("corvane-parse: error:")
        assert not output.exists()
        return
    document = json.loads(output.read_text("utf-8"))
    assert document, "a real caller file produced no section"
    assert problems(UNIFIED, document) == []


def test_in_process_result_validates():
    from CorvaneFileParser.ReportAssembler import ReportAssembler

    document = ReportAssembler({"input_dir": str(EXAMPLES)}).run(return_dict=True)
    assert problems(UNIFIED, document) == []


def test_schema_sections_follow_the_shipped_resources():
    """The schema names exactly the shipped sections, requires a warning where one is set and
    a list of records for a table section."""
    expected = {}
    for resource in RESOURCES:
        config = json.loads(resources.files("CorvaneFileParser").joinpath(resource).read_text("utf-8"))
        for name, settings in config.items():
            assert not (settings.get("warning") and settings.get("table")), name
            if settings.get("warning"):
                kind = "sectionWithWarning"
            else:
                kind = "tableSection" if settings.get("table") else "section"
            expected[name.upper()] = "#/$defs/" + kind
    declared = {key: value["$ref"] for key, value in UNIFIED.schema["properties"].items()}
    assert declared == expected


def entry(**changes):
    """A table entry with the given keys changed; a key given as ... is left out."""
    base = {"data": [], "caller_name": "Panel", "status": "normal", **changes}
    return {key: value for key, value in base.items() if value is not ...}


GOOD_ENTRY = entry(data={"Total TMB": 12.35}, warning="")


@pytest.mark.parametrize("document, fault", [
    ({"tmb": GOOD_ENTRY}, "lower-case key"),
    ({"TMB": entry(data={})}, "warning missing where settings exist"),
    ({"TMB": entry(data={}, warning=None)}, "warning not a text"),
    ({"TMB": {**GOOD_ENTRY, "status": "unknown"}}, "status not one of the six"),
    ({"TMB": entry(data={}, warning="", status=...)}, "status missing"),
    ({"FUSIONS": entry(status="finding")}, "a section without warning settings has a finding"),
    ({"FUSIONS": entry(caller_name=...)}, "caller_name missing"),
    ({"FUSIONS": entry(data=...)}, "data missing"),
    ({"FUSIONS": entry(caller_name=None)}, "caller_name not a text"),
    ({"FUSIONS": entry(notes=1)}, "extra entry key"),
    ({"GENE AMPLIFICATIONS": entry(data={"Gene": "Fold Change"})}, "table section read as key-value pairs"),
    ({"FUSIONS": entry(data=[["KRAS", 3]])}, "table row not a record"),
    ({"FUSIONS": entry(data="KRAS")}, "data neither mapping nor table"),
    ({"EXTRA SECTION": entry(data={}, caller_name="X", warning=3)}, "added section's warning"),
    ([GOOD_ENTRY], "not a mapping"),
])
def test_unified_schema_rejects(document, fault):
    assert problems(UNIFIED, document), fault


def test_unified_schema_accepts_added_sections_without_warning():
    document = {"TMB": GOOD_ENTRY, "MY SECTION 2": entry(caller_name="Lab", status="not_assessed"),
                "GENE AMPLIFICATIONS": entry(data=[{"Gene": "ERBB2", "Fold Change": 2.5}])}
    assert problems(UNIFIED, document) == []


# --- manifest ---------------------------------------------------------------

DIGEST = "0123456789abcdef" * 4
MANIFEST_EXAMPLE = {
    "manifest_version": 1,
    "package": {"name": "CorvaneFileParser", "version": "0.2.0"},
    "python": {"implementation": "CPython", "version": "3.13.0"},
    "platform": "Linux-6.1.0-x86_64-with-glibc2.36",
    "request": {
        "input_dir": "examples", "output_dir": "out", "output_json": "S1.unified.json",
        "output_path": "out/S1.unified.json", "input_files": [], "strict": False, "sample": None,
        "sample_aliases": [], "input_kinds": {"S1.longread.json": "paraphase"},
    },
    "started_at": "2026-12-07T11:40:00.123456Z",
    "finished_at": "2026-12-07T11:40:00.456789Z",
    "inputs": [{
        "path": "examples/sample1.smn.tsv", "opened": "examples/sample1.smn.tsv", "size": 1234,
        "sha256": DIGEST, "reader": "SingleRowTsvReader", "resource": "smn_tsv_config.json",
        "resource_sha256": DIGEST, "keys": ["SMN"], "replaced": [], "identifiers": {"Sample": "S1"},
    }],
    "missing": ["absent.gba.tsv"],
    "warnings": ["File absent.gba.tsv not found. Skipping."],
    "output": {"path": "out/S1.unified.json", "size": 5678, "sha256": DIGEST},
}


def test_hand_made_manifest_validates():
    assert problems(MANIFEST, MANIFEST_EXAMPLE) == []
    listed = copy.deepcopy(MANIFEST_EXAMPLE)
    listed["request"].update(input_dir=None, input_files=["S1.smn.tsv"], strict=True, sample="S1")
    assert problems(MANIFEST, listed) == []


def mutated(path, value):
    document = copy.deepcopy(MANIFEST_EXAMPLE)
    *parents, last = path
    target = document
    for key in parents:
        target = target[key]
    if value is KeyError:
        del target[last]
    else:
        target[last] = value
    return document


@pytest.mark.parametrize("path, value", [
    (["manifest_version"], 2),
    (["package", "name"], "other"),
    (["started_at"], "2026-12-07T11:40:00+01:00"),
    (["finished_at"], "2026-12-07 11:40:00Z"),
    (["finished_at"], "2026-13-07T11:40:00Z"),
    (["inputs", 0, "sha256"], DIGEST.upper()),
    (["inputs", 0, "resource_sha256"], DIGEST[:-1]),
    (["inputs", 0, "size"], -1),
    (["inputs", 0, "size"], 12.5),
    (["inputs", 0, "keys"], ["smn"]),
    (["inputs", 0, "reader"], KeyError),
    (["output", "sha256"], KeyError),
    (["request", "strict"], "no"),
    (["request", "sample"], KeyError),
    (["request", "extra"], 1),
    (["warnings"], [None]),
    (["missing"], KeyError),
    (["note"], "extra"),
])
def test_manifest_schema_rejects(path, value):
    assert problems(MANIFEST, mutated(path, value))


def test_manifest_written_by_the_command_line_validates(tmp_path):
    result, output = run_cli(tmp_path, "--input-dir", EXAMPLES)
    assert result.returncode == 0, result.stderr
    manifest = output.with_name("unified.manifest.json")
    if not manifest.exists():
        pytest.skip("this build writes no provenance manifest")
    text = manifest.read_text("utf-8")
    document = json.loads(text)
    assert problems(MANIFEST, document) == []
    assert list(document) == list(MANIFEST_EXAMPLE)
    assert text == json.dumps(document, indent=4) + "\n"
    import hashlib
    assert document["output"]["sha256"] == hashlib.sha256(output.read_bytes()).hexdigest()
