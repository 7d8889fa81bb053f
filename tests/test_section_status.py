"""Every section says what was assessed: each state, per caller, through the command line."""

import json
import subprocess
import sys
from importlib import resources
from pathlib import Path

import pytest
from jsonschema import Draft202012Validator

SCRIPT = Path(sys.executable).parent / "corvane-parse"
SCHEMA = Draft202012Validator(json.loads(resources.files("CorvaneFileParser").joinpath(
    "schemas/unified_output.schema.json").read_text("utf-8")))

SMN_HEADER = "Sample\tisSMA\tisCarrier\tSMN1_CN\tSMN2_CN\tg.27134T>G_CN\n"
GBA_HEADER = ("Sample\tis_biallelic(GBAP1-like_variant_exon9-11)\t"
              "is_carrier(GBAP1-like_variant_exon9-11)\tCN(GBA+GBAP1)\tdeletion_breakpoint_in_GBA\n")
EXON_HEADER = "Gene\tChromosome\tStart\tStop\tAffected Exon(s)\tFold Change\tCNV Type\n"

# (file name, content, {output key: (status, a piece of the sentence; "" none; None no warning)})
CASES = [
    ("a.CombinedVariantOutput.tsv",
     "[TMB]\nTotal TMB\t12.5\n[MSI]\nUsable MSI Sites\t12\nPercent Unstable MSI Sites\t3\n"
     "[GIS]\nGenomic Instability Score\tNA\n[Splice Variants]\nGene\tAffected Exon\n"
     "[Fusions]\nGene Pair\tBreakpoint 1\nNA\n[Exon-Level CNVs]\n" + EXON_HEADER + "BRCA1\tNA\n",
     {"TMB": ("finding", "High tumour mutational burden"),
      "MSI": ("no_call", "Fewer than 40 usable microsatellite sites"),
      "GIS": ("not_assessed", None), "SPLICE VARIANTS": ("normal", None),
      "FUSIONS": ("not_assessed", None), "EXON-LEVEL CNVS": ("normal", None),
      "GENE AMPLIFICATIONS": ("not_assessed", None)}),
    ("b.CombinedVariantOutput.tsv",
     "[TMB]\nTotal TMB\tNA\n[MSI]\nUsable MSI Sites\t120\nPercent Unstable MSI Sites\t25\n",
     {"TMB": ("no_call", ""), "MSI": ("finding", "Microsatellite instability high")}),
    ("c.CombinedVariantOutput.tsv",
     "[TMB]\nTotal TMB\tinf\n[MSI]\nUsable MSI Sites\t120\nPercent Unstable MSI Sites\t2\n",
     {"TMB": ("no_call", ""), "MSI": ("normal", "")}),
    ("a.smn.tsv", SMN_HEADER + "S1\tFalse\tTrue\t1\t2\t0\n", {"SMN": ("finding", "carrier for")}),
    ("b.smn.tsv", SMN_HEADER + "S1\tNone\tNone\tNone\tNone\tNone\n",
     {"SMN": ("no_call", "could not be determined (no call)")}),
    ("c.smn.tsv", SMN_HEADER + "S1\tFalse\tFalse\t2\t2\t0\n", {"SMN": ("normal", "")}),
    ("d.smn.tsv", SMN_HEADER + "S1\tFalse\tFalse\t2\t2\tNone\n", {"SMN": ("no_call", "")}),
    ("e.smn.tsv", SMN_HEADER, {"SMN": ("not_assessed", "")}),
    ("a.gba.tsv", GBA_HEADER + "S1\tFalse\tTrue\t4\tN/A\n", {"GBA": ("finding", "carrier for")}),
    ("b.gba.tsv", GBA_HEADER + "S1\tNone\tNone\tNone\tNone\n",
     {"GBA": ("no_call", "could not be determined (no call)")}),
    ("c.gba.tsv", GBA_HEADER + "S1\tFalse\tFalse\t4\tN/A\n", {"GBA": ("normal", "")}),
    ("d.gba.tsv", GBA_HEADER, {"GBA": ("not_assessed", "")}),
    ("a.targeted.json", json.dumps({
        "cyp2d6": {"genotype": "*1/*4"}, "cyp2b6": {"genotype": "*1/*99"},
        "hba": {"genotype": "aCSa/aa"}, "smn": {"smn1CopyNumber": 0},
        "gba": {"variants": [{"hgvs": "c.1226A>G", "alleleCopyNumber": None}]}}),
     {"TARGETED_CYP2D6": ("finding", "Intermediate Metabolizer"),
      "TARGETED_CYP2B6": ("not_interpreted", ""), "TARGETED_HBA": ("not_interpreted", ""),
      "TARGETED_SMN": ("finding", "positive for"), "TARGETED_GBA": ("no_call", ""),
      "TARGETED_LPA": ("not_assessed", None)}),
    ("b.targeted.json", json.dumps({
        "cyp2d6": {"genotype": "*1/*1"}, "cyp2b6": {"genotype": None}, "hba": {"copies": 4},
        "smn": {"smn1CopyNumber": 3}, "lpa": {"kiv2CopyNumber": 30}}),
     {"TARGETED_CYP2D6": ("normal", ""), "TARGETED_CYP2B6": ("no_call", ""),
      "TARGETED_HBA": ("not_assessed", ""), "TARGETED_SMN": ("normal", ""),
      "TARGETED_GBA": ("not_assessed", ""), "TARGETED_LPA": ("normal", None)}),
    ("a.paraphase.json", json.dumps({
        "gba": {"gene_cn": 0, "total_cn": 2}, "strc": {"gene_cn": None, "total_cn": 4},
        "rccx": {"gene_cn": 1, "phasing_success": False}, "hba": {"genotype": "aa/aa"},
        "smn1": {"region_specific_info": {"smn1_cn": 2}}}),
     {"PHASER_GBA": ("finding", "no GBA copies were found"), "PHASER_STRC": ("no_call", ""),
      "PHASER_CYP21A2": ("qc_failed", "did not pass the caller's quality control "
                                      "(phasing_success = false); it is not interpreted"),
      "PHASER_HBA": ("normal", ""), "PHASER_SMN1": ("normal", ""),
      "PHASER_CYP2D6": ("not_assessed", None)}),
    ("b.paraphase.json", json.dumps({
        "rccx": {"gene_cn": 1, "phasing_success": True}, "hba": {"genotype": "a?/aa"},
        "strc": {"gene_cn": "two"}, "ikbkg": {"gene_cn": 2}}),
     {"PHASER_CYP21A2": ("finding", "fewer than two CYP21A2 copies"),
      "PHASER_HBA": ("not_interpreted", ""), "PHASER_STRC": ("no_call", ""),
      "PHASER_GBA": ("not_assessed", ""), "PHASER_IKBKG": ("normal", None)}),
]


@pytest.mark.parametrize("name, content, expected", CASES, ids=[case[0] for case in CASES])
def test_each_state_through_the_command_line(tmp_path, name, content, expected):
    (tmp_path / name).write_text(content, encoding="utf-8")
    result = subprocess.run([str(SCRIPT), "--input-files", str(tmp_path / name),
                             "--output-dir", str(tmp_path)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    output = json.loads((tmp_path / "corvane_output.json").read_text("utf-8"))
    assert not list(SCHEMA.iter_errors(output))
    for key, (status, piece) in expected.items():
        entry = output[key]
        assert entry["status"] == status, key
        if piece is None:
            assert "warning" not in entry, key
        else:  # "" asks for no sentence at all
            assert piece in entry["warning"] and (piece or entry["warning"] == ""), key

