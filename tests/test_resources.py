"""The shipped configuration resources on hand-written files of each real caller shape.

The fixtures under tests/fixtures/real_shapes are written by hand after the documented
layouts of each caller version (padding, placeholders, spellings, both phaser layouts);
they carry made-up values.
"""

import importlib.resources
import json
import logging
from pathlib import Path

import pytest
from document_walk import keys_deep, texts_deep

from CorvaneFileParser.Parsers import ReportReaderFactory
from CorvaneFileParser.ReportAssembler import ReportAssembler

SHAPES = Path(__file__).resolve().parent / "fixtures" / "real_shapes"
RESOURCES = ["dragen_500_tsv_config.json", "smn_tsv_config.json", "gba_tsv_config.json",
             "dragen_targeted_config.json", "pacbio_paraphase_config.json"]
READ_EVIDENCE = {"read_details", "unique_supporting_reads", "nonunique_supporting_reads",
                 "readEvidence"}

# Distinctive pieces of each sentence the resources can give.
TMB_HIGH = "High tumour mutational burden"
MSI_HIGH = "Microsatellite instability high"
MSI_FEW_SITES = "Fewer than 40 usable microsatellite sites"
SMN_POSITIVE = "this sample is positive for Spinal Muscular Atrophy"
SMN_CARRIER = "this sample is carrier for Spinal Muscular Atrophy"
SMN_SILENT = "silent carrier (2+0) for Spinal Muscular Atrophy"
SMN_NO_CALL = "SMN1 copy number could not be determined (no call)"
GBA_POSITIVE = "this sample is positive for Gaucher disease"
GBA_CARRIER = "this sample is carrier for Gaucher disease"
GBA_DELETION = "fewer than four GBA and GBAP1 copies were found"
GBA_NO_CALL = "the GBA result could not be determined (no call)"
GBA_COPY_LOSS = "fewer than two GBA copies were found"
HBA_DELETION = "alpha-globin (HBA1/HBA2) deletion allele"
HBA_TRIPLICATION = "alpha-globin (HBA1/HBA2) triplication allele"
HBA_BOTH = "deletion alleles were found on both chromosomes"
STRC_LOSS = "fewer than two STRC copies were found"
CYP21A2_LOSS = "fewer than two CYP21A2 copies were found"
ALL_SENTENCES = [TMB_HIGH, MSI_HIGH, MSI_FEW_SITES, SMN_POSITIVE, SMN_CARRIER, SMN_SILENT,
                 SMN_NO_CALL, GBA_POSITIVE, GBA_CARRIER, GBA_DELETION, GBA_NO_CALL,
                 GBA_COPY_LOSS, HBA_DELETION, HBA_BOTH, HBA_TRIPLICATION, STRC_LOSS, CYP21A2_LOSS]


def resource(name):
    path = importlib.resources.files("CorvaneFileParser").joinpath(name)
    with path.open(encoding="utf-8") as f:
        return json.load(f)


def unified(name):
    return ReportAssembler({"input_files": [str(SHAPES / name)]}).run(return_dict=True)


def fired(entry):
    """Which of the known sentences the entry's warning holds, each checked to be whole."""
    text = entry.get("warning", "")
    found = sorted((piece for piece in ALL_SENTENCES if piece in text), key=text.index)
    if text:
        # Nothing else than known sentences, joined by ". ".
        assert len(text.split(". ")) == len(found), text
    return found


# --- The resources themselves ----------------------------------------------------

def test_section_names_are_unique_across_resources():
    seen = {}
    for name in RESOURCES:
        for section in resource(name):
            assert section.upper() not in seen, (section, name, seen.get(section.upper()))
            seen[section.upper()] = name


@pytest.mark.parametrize("name", sorted(p.name for p in SHAPES.iterdir()))
def test_every_fixture_gets_a_reader_whose_settings_check(name):
    # Building the reader checks every section's settings.
    reader = ReportReaderFactory.get_parser(str(SHAPES / name))
    assert reader.resource_name in RESOURCES


def test_every_warning_type_is_a_known_formatter():
    from CorvaneFileParser.Warnings.WarningRegistry import WarningRegistry
    for name in RESOURCES:
        for section, config in resource(name).items():
            if "warning" in config:
                WarningRegistry.get_formatter(dict(config["warning"]))


# --- Tumour panel ----------------------------------------------------------------

PANEL_TABLES = ["GENE AMPLIFICATIONS", "COPY NUMBER VARIANTS", "SPLICE VARIANTS", "FUSIONS",
                "EXON-LEVEL CNVS", "LARGE REARRANGEMENTS", "SMALL VARIANTS"]


def assert_panel_shape(output, rows):
    assert set(output) == {"ANALYSIS DETAILS", "SEQUENCING RUN DETAILS", "TMB", "MSI", "GIS",
                           *PANEL_TABLES}
    for key, count in rows.items():
        assert isinstance(output[key]["data"], list), key
        assert len(output[key]["data"]) == count, key
    for entry in output.values():
        # No placeholder survives as a key, a value or a row.
        assert "NA" not in set(texts_deep(entry["data"]))


def test_panel_dna_local_app_shape():
    output = unified("dna-localapp.CombinedVariantOutput.tsv")
    assert_panel_shape(output, {"GENE AMPLIFICATIONS": 2, "COPY NUMBER VARIANTS": 0,
                                "SPLICE VARIANTS": 0, "FUSIONS": 0, "EXON-LEVEL CNVS": 0,
                                "LARGE REARRANGEMENTS": 0, "SMALL VARIANTS": 4})
    # IDs and versions stay text; "NA" is no value.
    assert output["ANALYSIS DETAILS"]["data"] == {
        "Pair ID": "0012345", "DNA Sample ID": "0012345", "RNA Sample ID": None,
        "Output Date": "2031-02-03", "Output Time": "07:08:09", "Module Version": None,
        "Pipeline Version": "2.10",
    }
    assert fired(output["TMB"]) == [TMB_HIGH]
    assert fired(output["MSI"]) == [MSI_HIGH]
    assert output["MSI"]["data"]["Percent Unstable MSI Sites"] == 30.93
    assert output["GENE AMPLIFICATIONS"]["data"] == [
        {"Gene": "ERBB2", "Fold Change": 3.127}, {"Gene": "CCND1", "Fold Change": 2.05}]
    variants = output["SMALL VARIANTS"]["data"]
    # Below the 5 % cut-off stays below it.
    assert variants[0]["Allele Frequency"] == 0.0467
    assert variants[0]["Affected Exon(s)"] == "2/6"
    assert variants[0]["Genomic Position"] == 25245350
    # A real variant with a blank gene is kept.
    assert variants[2]["Gene"] is None and variants[2]["Chromosome"] == "chr9"


def test_panel_dna_rna_pipeline_shape():
    output = unified("dna-rna-pipeline.CombinedVariantOutput.tsv")
    assert_panel_shape(output, {"GENE AMPLIFICATIONS": 0, "COPY NUMBER VARIANTS": 2,
                                "SPLICE VARIANTS": 2, "FUSIONS": 1, "EXON-LEVEL CNVS": 1,
                                "LARGE REARRANGEMENTS": 0, "SMALL VARIANTS": 0})
    assert output["ANALYSIS DETAILS"]["data"]["Library Prep Kit"] == "Panel Kit v2"
    assert output["ANALYSIS DETAILS"]["data"]["Module Version"] == "2.6.0"
    assert output["SEQUENCING RUN DETAILS"]["data"]["Reagent Lot"] == "0123"
    assert output["SEQUENCING RUN DETAILS"]["data"]["Analysis Software Version"] == "1.1"
    assert fired(output["TMB"]) == [] and fired(output["MSI"]) == []
    assert output["GIS"]["data"] == {
        "Genomic Instability Score": 47, "Tumor Fraction": 0.55, "Ploidy": 2.1}
    assert output["COPY NUMBER VARIANTS"]["data"][0] == {
        "Gene": "EGFR", "Fold Change": 2.6, "Copy Number Variant": "<DUP>",
        "Absolute Copy Number": 5}
    met = output["SPLICE VARIANTS"]["data"][0]
    assert (met["Gene"], met["Affected Exon"], met["Splice Supporting Reads"]) == ("MET", "14", 88)
    assert output["SPLICE VARIANTS"]["data"][1]["Affected Exon"] is None
    # The "BRCA1  NA" placeholder row goes; the real exon-level event stays.
    assert output["EXON-LEVEL CNVS"]["data"] == [{
        "Gene": "BRCA2", "Chromosome": "chr13", "Start": 32330000, "Stop": 32340000,
        "Affected Exon(s)": "11-12", "Fold Change": 0.52, "CNV Type": "DEL"}]


def test_panel_missing_sections_are_logged(caplog):
    with caplog.at_level(logging.WARNING):
        output = unified("rna-only.CombinedVariantOutput.tsv")
    assert_panel_shape(output, {"GENE AMPLIFICATIONS": 0, "COPY NUMBER VARIANTS": 0,
                                "SPLICE VARIANTS": 1, "FUSIONS": 1, "EXON-LEVEL CNVS": 0,
                                "LARGE REARRANGEMENTS": 0, "SMALL VARIANTS": 0})
    warned = "\n".join(r.getMessage() for r in caplog.records if r.levelno == logging.WARNING)
    for section in ["Sequencing Run Details", "GIS", "Gene Amplifications", "Small Variants"]:
        assert section in warned
    # An RNA-only sample has no TMB or MSI: no value, no sentence.
    assert set(output["TMB"]["data"].values()) == {None}
    assert fired(output["TMB"]) == [] and fired(output["MSI"]) == []
    assert output["SPLICE VARIANTS"]["data"][0]["Affected Exon"] == "2-7"
    assert output["ANALYSIS DETAILS"]["data"]["Pipeline Version"] == "1"


# --- SMN caller TSV --------------------------------------------------------------

@pytest.mark.parametrize("name, sentences, sample, deletion_key", [
    ("carrier-new.smn.tsv", [SMN_CARRIER], "S-0001", "SMN2delta7-8_CN"),
    ("silent-old.smn.tsv", [SMN_SILENT], "0004711", "SMN*_CN"),
    ("nocall-new.smn.tsv", [SMN_NO_CALL], "S-0003", "SMN2delta7-8_CN"),
    ("affected-old.smn.tsv", [SMN_POSITIVE], "S-0004", "SMN*_CN"),
    ("normal-old.smn.tsv", [], "S-0005", "SMN*_CN"),
])
def test_smn_tsv(name, sentences, sample, deletion_key):
    entry = unified(name)["SMN"]
    assert fired(entry) == sentences
    data = entry["data"]
    assert data["Sample"] == sample
    assert deletion_key in data and "g.27134T>G_CN" in data


def test_smn_tsv_measured_values_unrounded_and_no_call_kept():
    data = unified("carrier-new.smn.tsv")["SMN"]["data"]
    assert (data["Total_CN_raw"], data["SMN1_CN_raw"]) == (3.0412, 0.9873)
    data = unified("nocall-new.smn.tsv")["SMN"]["data"]
    assert data["SMN1_CN"] is None and data["isCarrier"] is None
    assert data["Total_CN_raw"] == 3.611


# --- GBA caller TSV --------------------------------------------------------------

@pytest.mark.parametrize("name, sentences", [
    ("carrier.gba.tsv", [GBA_CARRIER]),
    ("biallelic.gba.tsv", [GBA_POSITIVE]),
    ("deletion.gba.tsv", [GBA_DELETION]),
    ("nocall.gba.tsv", [GBA_NO_CALL]),
    ("normal.gba.tsv", []),
])
def test_gba_tsv_sentences(name, sentences):
    assert fired(unified(name)["GBA"]) == sentences


def test_gba_tsv_values():
    data = unified("carrier.gba.tsv")["GBA"]["data"]
    assert data["is_carrier(GBAP1-like_variant_exon9-11)"] is True
    assert data["GBAP1-like_variant_exon9-11"] == "L483P/"
    assert data["deletion_breakpoint_in_GBA"] is None
    assert data["other_unphased_variants"] is None
    data = unified("deletion.gba.tsv")["GBA"]["data"]
    assert data["Sample"] == "0000003" and data["CN(GBA+GBAP1)"] == 3
    assert data["deletion_breakpoint_in_GBA"] == "exon9-intron11"
    assert unified("normal.gba.tsv")["GBA"]["data"]["other_unphased_variants"] == "D448H"


# --- Long-read paralog phaser ----------------------------------------------------

def assert_no_read_evidence(output):
    for entry in output.values():
        assert not READ_EVIDENCE & set(keys_deep(entry["data"]))


def test_phaser_flat_layout():
    output = unified("flat-layout.paraphase.json")
    assert_no_read_evidence(output)
    assert fired(output["PHASER_SMN1"]) == []
    smn = output["PHASER_SMN1"]["data"]
    assert (smn["smn1_cn"], smn["smn2_cn"], smn["smn2_del78_cn"], smn["smn1_read_number"]) == (
        2, 2, 0, 40)
    assert smn["haplotype_details"]["smn1_smn1hap1"]["haplogroup"] == "SMN1-h1"
    assert fired(output["PHASER_GBA"]) == [GBA_COPY_LOSS, GBA_DELETION]
    assert output["PHASER_GBA"]["data"]["fusions_called"]["gba_hap2"]["type"] == "deletion"
    assert fired(output["PHASER_CYP21A2"]) == []
    assert output["PHASER_CYP21A2"]["data"]["annotated_alleles"] == [
        "rccx_hap1: WT", "rccx_hap2: WT"]
    assert fired(output["PHASER_HBA"]) == [HBA_DELETION]
    assert output["PHASER_HBA"]["data"]["sv_called"] == {
        "hba_3p7delhap1": "3p7del,chr16:170000-174000"}
    assert fired(output["PHASER_STRC"]) == [STRC_LOSS]
    assert output["PHASER_IKBKG"]["data"]["deletion_haplotypes"] == ["ikbkg_pseudo_hap1"]
    assert output["PHASER_CYP2D6"]["data"] == {}


def test_phaser_nested_layout_reads_like_the_flat_one():
    output = unified("nested-layout.paraphase.json")
    assert_no_read_evidence(output)
    smn = output["PHASER_SMN1"]["data"]
    assert smn["smn1_cn"] is None and smn["smn_del78_cn"] == 1
    assert smn["smn_del78_read_number"] == 20
    assert fired(output["PHASER_SMN1"]) == [SMN_NO_CALL]
    assert output["PHASER_HBA"]["data"]["genotype"] == "aa/aaa"
    assert fired(output["PHASER_HBA"]) == [HBA_TRIPLICATION]
    assert output["PHASER_STRC"]["data"]["gene_cn"] == 2
    assert fired(output["PHASER_STRC"]) == []
    assert output["PHASER_CYP2D6"]["data"]["genotype"] == "*1/*4"
    # Sections the file lacks say nothing.
    assert output["PHASER_GBA"] == {"data": {}, "warning": "",
                                    "caller_name": "Long-read paralog phaser (GBA)"}


@pytest.mark.parametrize("genotype, sentences", [
    ("aa/aa", []),
    ("-a3.7/aa", [HBA_DELETION]),
    ("-a/aa", [HBA_DELETION]),
    ("--SEA/aa", [HBA_DELETION]),
    ("-a3.7/-a4.2", [HBA_DELETION, HBA_BOTH]),
    ("--SEA/-a3.7", [HBA_DELETION, HBA_BOTH]),
    ("aa/aaa", [HBA_TRIPLICATION]),
    ("aaa/aaa", [HBA_TRIPLICATION]),
    ("-a3.7/aaa", [HBA_DELETION, HBA_TRIPLICATION]),
    (None, []),
])
def test_phaser_hba_sentences_by_genotype(genotype, sentences):
    from CorvaneFileParser.Warnings.RuleWarning import RuleWarning
    config = resource("pacbio_paraphase_config.json")["phaser_hba"]["warning"]
    entry = {"warning": RuleWarning().format(config, {"genotype": genotype, "total_cn": 4})}
    assert fired(entry) == sentences


@pytest.mark.parametrize("copies, pieces", [
    (4, []),
    (3, ["Fewer than four"]),
    (2, ["Fewer than four", "Two or fewer"]),
    (0, ["Fewer than four", "Two or fewer"]),
    (5, ["More than four"]),
    (None, []),
])
def test_targeted_hba_sentences_by_copy_number(copies, pieces):
    from CorvaneFileParser.Warnings.RuleWarning import RuleWarning
    config = resource("dragen_targeted_config.json")["targeted_hba"]["warning"]
    text = RuleWarning().format(config, {"totalCopyNumber": copies})
    parts = text.split(". ") if text else []
    assert [part.split(" HBA1/HBA2 copies detected")[0] for part in parts] == pieces


# --- Targeted caller JSON --------------------------------------------------------

def test_targeted_all_documented_targets():
    output = unified("all-targets.targeted.json")
    assert list(output) == ["TARGETED_SMN", "TARGETED_GBA", "TARGETED_CYP2D6", "TARGETED_CYP2B6",
                            "TARGETED_HBA", "TARGETED_CYP21A2", "TARGETED_LPA", "TARGETED_RH"]
    assert_no_read_evidence(output)
    assert fired(output["TARGETED_SMN"]) == [SMN_POSITIVE]
    assert fired(output["TARGETED_GBA"]) == [GBA_CARRIER]
    assert "Poor Metabolizer" in output["TARGETED_CYP2D6"]["warning"]
    assert "Intermediate Metabolizer" in output["TARGETED_CYP2B6"]["warning"]
    assert "Fewer than four HBA1/HBA2 copies" in output["TARGETED_HBA"]["warning"]
    # Kept whole: every field but the read evidence.
    assert output["TARGETED_LPA"]["data"] == {"kivCopyNumber": 38.4, "genotype": "38/41"}
    assert output["TARGETED_RH"]["data"] == {
        "rhdCopyNumber": 0, "genotype": "RHD*01N.01/RHD*01N.01"}
    assert output["TARGETED_CYP21A2"]["data"]["totalCopyNumber"] == 4
    assert output["TARGETED_CYP2D6"]["data"]["copyNumber"] == {"total": 2}
