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
GBA_NONE = "no GBA copies were found: consistent with Gaucher disease (both alleles affected)"
GBA_TSV_NONE = "no GBA or GBAP1 copies were found: consistent with Gaucher disease (both alleles"
GBA_TSV_BOTH = "two or fewer GBA and GBAP1 copies were found: GBA may be deleted on both alleles"
HBA_BARTS = "no alpha-globin (HBA1/HBA2) copies were found"
HBA_HBH = "one alpha-globin (HBA1/HBA2) copy was found"
HBA_TRAIT = "two alpha-globin (HBA1/HBA2) copies were found"
HBA_SILENT = "three alpha-globin (HBA1/HBA2) copies were found"
HBA_TRIPLICATION = "more than four alpha-globin (HBA1/HBA2) copies were found"
HBA_ALPHA_ZERO = "includes an alpha-zero allele"
HBA_ALPHA_PLUS = "includes an alpha-plus deletion allele"
HBA_EXTRA_ALLELE = "includes an alpha-globin triplication allele"
STRC_LOSS = "fewer than two STRC copies were found"
STRC_NONE = "no STRC copies were found: consistent with STRC-related hearing loss (DFNB16) (both"
CYP21A2_LOSS = "fewer than two CYP21A2 copies were found"
CYP21A2_NONE = "no CYP21A2 copies were found: consistent with 21-hydroxylase deficient"
ALL_SENTENCES = [TMB_HIGH, MSI_HIGH, MSI_FEW_SITES, SMN_POSITIVE, SMN_CARRIER, SMN_SILENT,
                 SMN_NO_CALL, GBA_POSITIVE, GBA_CARRIER, GBA_DELETION, GBA_NO_CALL,
                 GBA_COPY_LOSS, GBA_NONE, GBA_TSV_NONE, GBA_TSV_BOTH, HBA_BARTS, HBA_HBH,
                 HBA_TRAIT, HBA_SILENT, HBA_TRIPLICATION, HBA_ALPHA_ZERO, HBA_ALPHA_PLUS,
                 HBA_EXTRA_ALLELE, STRC_LOSS, STRC_NONE, CYP21A2_LOSS, CYP21A2_NONE]


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
    assert fired(output["PHASER_HBA"]) == [HBA_SILENT]
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
                                    "caller_name": "Long-read paralog phaser (GBA)",
                                    "status": "not_assessed"}


def assess(name, section, data):
    from CorvaneFileParser.Warnings.WarningRegistry import WarningRegistry
    config = resource(name)[section]["warning"]
    text, status = WarningRegistry.get_formatter(config).assess(config, data)
    return fired({"warning": text}), status


# The genes left on the two chromosomes decide, never a deletion seen on one of them only.
@pytest.mark.parametrize("genotype, sentences, status", [
    ("aa/aa", [], "normal"),
    ("-a3.7/aa", [HBA_SILENT], "finding"),
    ("-a/aa", [HBA_SILENT], "finding"),
    ("--SEA/aa", [HBA_TRAIT, HBA_ALPHA_ZERO], "finding"),
    ("-a3.7/-a4.2", [HBA_TRAIT], "finding"),
    ("-a3.7/-a3.7", [HBA_TRAIT], "finding"),
    ("--SEA/-a3.7", [HBA_HBH], "finding"),
    ("--SEA/--SEA", [HBA_BARTS], "finding"),
    (" --MED / --FIL ", [HBA_BARTS], "finding"),
    ("aa/aaa", [HBA_TRIPLICATION], "finding"),
    ("aaa3.7/aaa", [HBA_TRIPLICATION], "finding"),
    ("-a3.7/aaa", [HBA_ALPHA_PLUS, HBA_EXTRA_ALLELE], "finding"),
    ("--SEA/aaa", [HBA_SILENT, HBA_ALPHA_ZERO, HBA_EXTRA_ALLELE], "finding"),
    ("aCSa/aa", [], "not_interpreted"),
    ("-(a)20.5/aa", [], "not_interpreted"),
    ("aa", [], "not_interpreted"),
    (None, [], "no_call"),
    (3, [], "no_call"),
])
def test_phaser_hba_by_genotype(genotype, sentences, status):
    got = assess("pacbio_paraphase_config.json", "phaser_hba", {"genotype": genotype, "total_cn": 4})
    assert got == (sentences, status)


@pytest.mark.parametrize("data, sentences, status", [
    ({"totalCopyNumber": 4}, [], "normal"),
    ({"totalCopyNumber": 3}, [HBA_SILENT], "finding"),
    ({"totalCopyNumber": 2.0}, [HBA_TRAIT], "finding"),
    ({"totalCopyNumber": 1}, [HBA_HBH], "finding"),
    ({"totalCopyNumber": 0}, [HBA_BARTS], "finding"),
    ({"totalCopyNumber": 6}, [HBA_TRIPLICATION], "finding"),
    ({"totalCopyNumber": None}, [], "no_call"),
    ({"totalCopyNumber": 2.5}, [], "no_call"),
    ({"totalCopyNumber": "inf"}, [], "no_call"),
    # The genotype is read first; a genotype in another notation leaves the count to decide.
    ({"genotype": "--SEA/aa", "totalCopyNumber": 4}, [HBA_TRAIT, HBA_ALPHA_ZERO], "finding"),
    ({"genotype": "a-/aa", "totalCopyNumber": 3}, [HBA_SILENT], "finding"),
    ({"genotype": "a-/aa", "totalCopyNumber": 4}, [], "not_interpreted"),
    ({"hba1CopyNumber": 1}, [], "not_assessed"),
])
def test_targeted_hba_by_copy_number(data, sentences, status):
    assert assess("dragen_targeted_config.json", "targeted_hba", data) == (sentences, status)


# Zero copies is a loss on both alleles: never the carrier sentence of one copy.
@pytest.mark.parametrize("name, section, field, by_copies", [
    ("smn_tsv_config.json", "SMN", "SMN1_CN", [[SMN_POSITIVE], [SMN_CARRIER], []]),
    ("dragen_targeted_config.json", "targeted_smn", "smn1CopyNumber",
     [[SMN_POSITIVE], [SMN_CARRIER], []]),
    ("pacbio_paraphase_config.json", "phaser_smn1", "smn1_cn", [[SMN_POSITIVE], [SMN_CARRIER], []]),
    ("pacbio_paraphase_config.json", "phaser_gba", "gene_cn", [[GBA_NONE], [GBA_COPY_LOSS], []]),
    ("pacbio_paraphase_config.json", "phaser_gba", "total_cn",
     [[GBA_NONE, GBA_DELETION], [GBA_DELETION], [GBA_DELETION], [GBA_DELETION], []]),
    ("pacbio_paraphase_config.json", "phaser_cyp21a2", "gene_cn",
     [[CYP21A2_NONE], [CYP21A2_LOSS], []]),
    ("pacbio_paraphase_config.json", "phaser_strc", "gene_cn", [[STRC_NONE], [STRC_LOSS], []]),
    ("gba_tsv_config.json", "GBA", "CN(GBA+GBAP1)",
     [[GBA_TSV_NONE, GBA_TSV_BOTH, GBA_DELETION], [GBA_TSV_BOTH, GBA_DELETION],
      [GBA_TSV_BOTH, GBA_DELETION], [GBA_DELETION], []]),
])
def test_copy_number_rules_from_zero_copies(name, section, field, by_copies):
    extra = {"is_biallelic(GBAP1-like_variant_exon9-11)": False,
             "is_carrier(GBAP1-like_variant_exon9-11)": False} if section == "GBA" else {}
    for copies, sentences in enumerate(by_copies):
        got = assess(name, section, {field: copies, **extra})
        assert got == (sentences, "finding" if sentences else "normal"), copies
    for unusable in (None, "2", True):
        assert assess(name, section, {field: unusable, **extra})[1] == "no_call", unusable


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
    assert fired(output["TARGETED_HBA"]) == [HBA_SILENT]
    # Kept whole: every field but the read evidence.
    assert output["TARGETED_LPA"]["data"] == {"kivCopyNumber": 38.4, "genotype": "38/41"}
    assert output["TARGETED_RH"]["data"] == {
        "rhdCopyNumber": 0, "genotype": "RHD*01N.01/RHD*01N.01"}
    assert output["TARGETED_CYP21A2"]["data"]["totalCopyNumber"] == 4
    assert output["TARGETED_CYP2D6"]["data"]["copyNumber"] == {"total": 2}
