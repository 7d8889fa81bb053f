"""SMN, genotype and GBA warning formatters: the sentences and the decisions."""

import subprocess
import sys

import pytest
from sanitizer import small_stack

from CorvaneFileParser.Warnings.AlleleWarning import AlleleWarning
from CorvaneFileParser.Warnings.LysosomalWarning import LysosomalWarning
from CorvaneFileParser.Warnings.MotorNeuronWarning import (
    MotorNeuronWarning,
    _get_path,
    _iter_haplogroups,
)
from CorvaneFileParser.Warnings.WarningBase import WarningBase

SMN = "SMN Caller"
SMA = "Spinal Muscular Atrophy"


def smn_positive(caller=SMN, disease=SMA):
    return f"Based on the {caller}, this sample is positive for {disease}"


def smn_carrier(caller=SMN, disease=SMA):
    return f"Based on the {caller}, this sample is carrier for {disease}"


def smn_no_call(caller=SMN, disease=SMA):
    return (f"Based on the {caller}, the SMN1 copy number could not be determined (no call) "
            f"for {disease}")


def smn_silent(caller=SMN, disease=SMA):
    return (f"Based on the {caller}, this sample has increased risk of being a "
            f"silent carrier (2+0) for {disease}")


GBA_POSITIVE = "Based on the GBA Caller, this sample is positive for Gaucher disease"
GBA_CARRIER = "Based on the GBA Caller, this sample is carrier for Gaucher disease"
GBA_PHASE = ("Multiple GBA variants detected; phase is unknown (could be in cis or in trans). "
             "Interpret cautiously.")


@pytest.mark.parametrize("cls", [MotorNeuronWarning, AlleleWarning, LysosomalWarning])
def test_formatters_are_stateless_warning_bases(cls):
    formatter = cls()
    assert isinstance(formatter, WarningBase)
    assert formatter.format({}, {}) == ""


# --- SMN ---------------------------------------------------------------------

@pytest.mark.parametrize("config, data, expected", [
    ({}, {"smn1_cn": 0}, smn_positive()),
    ({}, {"smn1CopyNumber": 0.0}, smn_positive()),
    # A flag is no copy number (the host would read False as 0 and True as 1).
    ({}, {"smn1_cn": False}, ""),
    ({}, {"smn1_cn": 1}, smn_carrier()),
    ({}, {"smn1_cn": True}, ""),
    ({"caller_name": "X", "disease": "Y"}, {"smn1_cn": 1}, smn_carrier("X", "Y")),
    ({"caller_name": "", "name": "Z", "disease_name": 0}, {"smn1_cn": 1}, smn_carrier("Z")),
    ({"name": 7}, {"smn1_cn": 0}, smn_positive("7")),
    ({}, {"smn1_cn": "0"}, ""),
    ({}, {"smn1_cn": 3}, ""),
    ({}, {"smn1_cn": 0.5}, ""),
    ({}, {}, ""),
    ({}, {"SMN1_CN": 0}, ""),
    # The first key present decides; holding None, it is a no-call.
    ({}, {"smn1_cn": 1, "smn1CopyNumber": 0}, smn_positive()),
    ({}, {"smn1CopyNumber": None, "smn1_cn": 0}, smn_no_call()),
    ({}, {"smn1_cn": None}, smn_no_call()),
    ({"caller_name": "X", "disease_name": "Y", "silent_carrier_marker_keys": ["m"]},
     {"smn1_cn": None, "m": 2}, smn_no_call("X", "Y")),
    ({"smn1_copy_number_keys": ["cn", "smn1_cn"]}, {"smn1_cn": 1}, smn_carrier()),
    ({"smn1_copy_number_keys": ["SMN1_CN"]}, {"SMN1_CN": None, "smn1_cn": 0}, smn_no_call()),
    ({"smn1_copy_number_keys": []}, {"smn1_cn": 0}, ""),
    ({"smn1_copy_number_keys": []}, {"smn1_cn": None}, ""),
    # A null key list is the default list.
    ({"smn1_copy_number_keys": None}, {"smn1_cn": 1}, smn_carrier()),
])
def test_smn_copy_number(config, data, expected):
    assert MotorNeuronWarning().format(config, data) == expected


HAPLO = {"haplogroup_path": "a.b", "silent_carrier_required_haplogroups": ["H1", "H2"]}
TREE = {"a": {"b": [{"haplogroup": "H1"}, {"sub": [[{"haplogroup": "H2", "x": 1}]]}]}}


@pytest.mark.parametrize("config, data, expected", [
    (HAPLO, {"smn1_cn": 2, **TREE}, smn_silent()),
    (HAPLO, {"smn1_cn": 2.0, "a": {"b": {"haplogroup": "H2", "c": {"haplogroup": "H1"}}}},
     smn_silent()),
    # Only H1 found: the variant rule decides, unless the rule is strict.
    (HAPLO, {"smn1_cn": 2, "a": {"b": {"haplogroup": "H1"}}}, ""),
    (HAPLO, {"smn1_cn": 2, "a": {"b": {"haplogroup": "H1"}}, "variants": ["rs1"]}, smn_silent()),
    ({**HAPLO, "strict_silent_carrier_haplogroup_rule": True},
     {"smn1_cn": 2, "a": {"b": {"haplogroup": "H1"}}, "variants": ["rs1"]}, ""),
    ({**HAPLO, "strict_silent_carrier_haplogroup_rule": True}, {"smn1_cn": 2, **TREE},
     smn_silent()),
    # The tree must sit at the configured path; tuples and non-string names are not walked.
    (HAPLO, {"smn1_cn": 2, "b": TREE["a"]["b"]}, ""),
    (HAPLO, {"smn1_cn": 2, "a": {"b": ({"haplogroup": "H1"}, {"haplogroup": "H2"})}}, ""),
    (HAPLO, {"smn1_cn": 2, "a": {"b": {"haplogroup": 1, "x": {"haplogroup": "H2"}}}}, ""),
    ({"haplogroup_path": "a.b"}, {"smn1_cn": 2, **TREE}, ""),
    ({**HAPLO, "haplogroup_path": ""}, {"smn1_cn": 2, **TREE}, ""),
    # Copy numbers other than 2 never give the silent-carrier sentence.
    (HAPLO, {"smn1_cn": 3, **TREE, "variants": ["rs1"]}, ""),
])
def test_smn_haplogroup_rule(config, data, expected):
    assert MotorNeuronWarning().format(config, data) == expected


@pytest.mark.parametrize("variants, expected", [
    (["rs123"], smn_silent()),
    ([{"hgvs": "c.1A>G", "alleleCopyNumber": 0, "altCopyNumber": 1}], smn_silent()),
    ([{"alleleId": "", "id": "v1", "allele_copy_number": 1.0}], smn_silent()),
    ([{"variantName": 5, "alleleCopyNumber": True}], smn_silent()),
    ([{"name": "v1"}], ""),
    ([{"name": "v1", "alleleCopyNumber": "1"}], ""),
    ([{"alleleCopyNumber": 1}], ""),
    ([{"id": "v1", "altCopyNumber": 0.5}], ""),
    ([None, 3, ["rs1"], ""], ""),
    ([None, {"id": "v"}, "rs9"], smn_silent()),
    ([], ""),
    (None, ""),
])
def test_smn_variant_rule(variants, expected):
    data = {"smn1_cn": 2, "variants": variants}
    assert MotorNeuronWarning().format({}, data) == expected
    strict = {"strict_silent_carrier_haplogroup_rule": 1}
    assert MotorNeuronWarning().format(strict, data) == ""


MARKER = {"silent_carrier_marker_keys": ["g.27134T>G_CN", "marker_cn"]}


@pytest.mark.parametrize("config, data, expected", [
    (MARKER, {"smn1_cn": 2, "g.27134T>G_CN": 1}, smn_silent()),
    (MARKER, {"smn1_cn": 2.0, "g.27134T>G_CN": 0, "marker_cn": 2.5}, smn_silent()),
    (MARKER, {"smn1_cn": 2, "g.27134T>G_CN": 0}, ""),
    (MARKER, {"smn1_cn": 2, "g.27134T>G_CN": None}, ""),
    (MARKER, {"smn1_cn": 2, "g.27134T>G_CN": "1"}, ""),
    (MARKER, {"smn1_cn": 2, "g.27134T>G_CN": 0.5}, ""),
    (MARKER, {"smn1_cn": 2}, ""),
    # Only two SMN1 copies make the marker count.
    (MARKER, {"smn1_cn": 3, "g.27134T>G_CN": 2}, ""),
    (MARKER, {"smn1_cn": 1, "g.27134T>G_CN": 1}, smn_carrier()),
    # Without the setting the marker column is not read.
    ({}, {"smn1_cn": 2, "g.27134T>G_CN": 1}, ""),
    ({"silent_carrier_marker_keys": None}, {"smn1_cn": 2, "g.27134T>G_CN": 1}, ""),
    # The strict flag lets only the haplogroups decide.
    ({**MARKER, "strict_silent_carrier_haplogroup_rule": True},
     {"smn1_cn": 2, "g.27134T>G_CN": 1}, ""),
    ({**MARKER, **HAPLO, "strict_silent_carrier_haplogroup_rule": True},
     {"smn1_cn": 2, "g.27134T>G_CN": 0, **TREE}, smn_silent()),
    # With a marker, the variants are not needed, and do not spoil it.
    (MARKER, {"smn1_cn": 2, "g.27134T>G_CN": 1, "variants": [None]}, smn_silent()),
    (MARKER, {"smn1_cn": 2, "g.27134T>G_CN": 0, "variants": ["rs1"]}, smn_silent()),
])
def test_smn_silent_carrier_marker(config, data, expected):
    assert MotorNeuronWarning().format(config, data) == expected


@pytest.mark.parametrize("config, data, error", [
    ({}, ["smn1_cn"], AttributeError),
    ({"silent_carrier_marker_keys": 5}, {"smn1_cn": 2}, TypeError),
    ({**HAPLO, "silent_carrier_required_haplogroups": 5}, {"smn1_cn": 2}, TypeError),
    ({}, {"smn1_cn": 2, "variants": 5}, TypeError),
])
def test_smn_bad_input_raises_host_errors(config, data, error):
    with pytest.raises(error):
        MotorNeuronWarning().format(config, data)


@pytest.mark.parametrize("data, path, expected", [
    ({"a": {"b": 1}}, "a.b", 1),
    ({"a": {"b": None}}, "a.b", None),
    ({"a": {"b": {"c": 2}}}, "a.b", {"c": 2}),
    ({"a": [{"b": 1}]}, "a.0", None),
    ({"a": {"": {"b": 3}}}, "a..b", 3),
    ({"a": 1}, "a.b", None),
    ({"a": 1}, "", None),
    ({"a": 1}, None, None),
    ([{"a": 1}], "a", None),
])
def test_get_path(data, path, expected):
    assert _get_path(data, path) == expected


def test_iter_haplogroups_depth_first_order():
    tree = {"haplogroup": "A", "kids": [{"haplogroup": "B", "kids": [{"haplogroup": "C"}]},
                                        {"haplogroup": "D"}], "x": {"haplogroup": "E"}}
    names = _iter_haplogroups(tree)
    assert iter(names) is names
    assert list(names) == ["A", "B", "C", "D", "E"]
    assert list(_iter_haplogroups("haplogroup")) == []


@pytest.mark.parametrize("wrap", [lambda n: [n], lambda n: {"x": n}])
def test_deep_haplogroup_tree_raises_recursion_error(wrap):
    node = {"haplogroup": "H1"}
    for _ in range(100000):
        node = wrap(node)
    with pytest.raises(RecursionError):
        list(_iter_haplogroups(node))
    config = {"haplogroup_path": "a", "silent_carrier_required_haplogroups": ["H1"]}
    with pytest.raises(RecursionError):
        MotorNeuronWarning().format(config, {"smn1_cn": 2, "a": node})
    # A moderately deep tree is still walked.
    node = {"haplogroup": "H1"}
    for _ in range(500):
        node = wrap(node)
    assert list(_iter_haplogroups(node)) == ["H1"]


SMALL_STACK_WALK = """
import sys, threading
from CorvaneFileParser.Warnings.MotorNeuronWarning import MotorNeuronWarning, _iter_haplogroups
node = {"haplogroup": "H1"}
for _ in range(100000):
    node = [node] if sys.argv[1] == "list" else {"x": node}
config = {"haplogroup_path": "a", "silent_carrier_required_haplogroups": ["H1"]}
outcome = []
def walk():
    for run in (lambda: list(_iter_haplogroups(node)),
                lambda: MotorNeuronWarning().format(config, {"smn1_cn": 2, "a": node})):
        try:
            run()
            outcome.append("finished")
        except RecursionError:
            outcome.append("RecursionError")
threading.stack_size(256 * 1024)
thread = threading.Thread(target=walk)
thread.start()
thread.join()
print(" ".join(outcome))
"""


@small_stack
@pytest.mark.parametrize("kind", ["list", "dict"])
def test_deep_haplogroup_tree_in_a_small_thread_stack(kind):
    # In a subprocess, so that an overflow fails this test instead of the run.
    result = subprocess.run([sys.executable, "-c", SMALL_STACK_WALK, kind],
                            capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout) == (0, "RecursionError RecursionError\n")


# --- Genotype ----------------------------------------------------------------

@pytest.mark.parametrize("value, expected", [
    ("T/C", "C/T"),
    ("  *2 / *1 ", "*1/*2"),
    ("*2/*10", "*10/*2"),
    ("a/B", "B/a"),
    (" *1/*2/*3 ", "*1/*2/*3"),
    ("0|1", "0|1"),
    ("\u3000T\xa0/\tC\n", "C/T"),
    (type("Text", (str,), {})(" T / C "), "C/T"),
    ("", ""),
    (5, ""),
    (None, ""),
])
def test_normalize_genotype(value, expected):
    assert AlleleWarning._normalize_genotype(value) == expected


def defined_as(phenotype, name="Caller"):
    return f"Based on {name}, this sample is defined as <b>{phenotype}</b>"


@pytest.mark.parametrize("table, genotype, expected", [
    # Genotype table: exact key first, then the first key that normalises alike.
    ({"C/T": "poor"}, "T/C", defined_as("poor")),
    ({"T/C": "rapid", "C/T": "poor"}, "C/T", defined_as("poor")),
    ({"T / C": "rapid", "C/T": "poor"}, "T/C", defined_as("rapid")),
    ({"C/T": "normal"}, "T/C", ""),
    ({"C/T": "Normal"}, "C/T", defined_as("Normal")),
    ({"C/T": "poor"}, None, ""),
    ({"C/T": "poor"}, 5, ""),
    # Phenotype lists: the first entry that lists the genotype wins.
    ({"poor": ["T/C"], "intermediate": ["C/T"]}, "C/T", defined_as("poor")),
    ({"normal": ["C/T"], "poor": ["T/C"]}, "T/C", ""),
    ({"poor": [1, "x"], "rapid": [5]}, 5, defined_as("rapid")),
    ({"poor": ["A/G"]}, "C/T", ""),
    # Mixed or other value kinds match nothing.
    ({"C/T": "poor", "rapid": ["C/T"]}, "C/T", ""),
    ({"C/T": 1}, "C/T", ""),
    ({}, "C/T", ""),
])
def test_genotype_tables(table, genotype, expected):
    config = {"caller_name": "Caller", "phenotype_genotype_mapping": table}
    assert AlleleWarning().format(config, {"genotype": genotype}) == expected


@pytest.mark.parametrize("config, data, expected", [
    ({"phenotype_genotype_mapping": {"C/T": "poor"}}, {"genotype": "C/T"},
     defined_as("poor", "None")),
    ({"caller_name": "", "name": 0, "phenotype_genotype_mapping": {"C/T": "poor"}},
     {"genotype": "C/T"}, defined_as("poor", "0")),
    ({"name": "N", "phenotypeGenotypeMapping": {"C/T": "poor"},
      "phenotype_genotype_mapping": {"C/T": "rapid"}}, {"genotype": "C/T"}, defined_as("poor", "N")),
    ({"name": "N", "phenotypeGenotypeMapping": {}, "phenotype_genotype_mapping": {"C/T": "rapid"}},
     {"genotype": "C/T"}, defined_as("rapid", "N")),
    ({"name": "N", "genotype_data_key": "gt", "phenotype_genotype_mapping": {"C/T": "poor"}},
     {"gt": "T/C", "genotype": "A/A"}, defined_as("poor", "N")),
    ({"name": "N", "message_template": "{phenotype} by {name}",
      "phenotype_genotype_mapping": {"poor": ["C/T"]}}, {"genotype": "C/T"}, "poor by N"),
    ({"name": "N", "message_template": "", "phenotype_genotype_mapping": {"poor": ["C/T"]}},
     {"genotype": "C/T"}, defined_as("poor", "N")),
])
def test_genotype_config_choices(config, data, expected):
    assert AlleleWarning().format(config, data) == expected


@pytest.mark.parametrize("config, data, error", [
    ({"phenotype_genotype_mapping": {"C/T": "poor"}}, {"genotype": ["C/T"]}, TypeError),
    ({"phenotype_genotype_mapping": {"poor": ["C/T", ["x"]]}}, {"genotype": "C/T"}, TypeError),
    ({"phenotype_genotype_mapping": {"poor": ["C/T"]}, "message_template": "{x}"},
     {"genotype": "C/T"}, KeyError),
    ({"phenotype_genotype_mapping": {"poor": ["C/T"]}, "message_template": "{"},
     {"genotype": "C/T"}, ValueError),
])
def test_genotype_bad_input_raises_host_errors(config, data, error):
    with pytest.raises(error):
        AlleleWarning().format(config, data)


# --- GBA ---------------------------------------------------------------------

@pytest.mark.parametrize("data, expected", [
    ({}, ""),
    ({"recombinantHaplotypes": None, "variants": None}, ""),
    ({"variants": ["c.1226A>G"]}, GBA_CARRIER),
    ({"variants": [{"alleleCopyNumber": 2}]}, GBA_POSITIVE),
    ({"variants": [{"alleleCopyNumber": 0, "altCopyNumber": 2.0}]}, GBA_POSITIVE),
    ({"variants": [{"alleleCopyNumber": "1"}]}, ""),
    ({"variants": [{"allele_copy_number": 1.0}]}, GBA_CARRIER),
    ({"variants": [{"alleleCopyNumber": True}]}, GBA_CARRIER),
    ({"variants": [{"alleleCopyNumber": 1.5}, {"alleleCopyNumber": -1}]}, ""),
    ({"variants": ["a", "b"]}, GBA_PHASE),
    ({"variants": ["a", {"altCopyNumber": 1}, 3, ["b"]]}, GBA_PHASE),
    ({"variants": [3, ["b"], None]}, ""),
    ({"recombinantHaplotypes": ["rec1"]}, GBA_CARRIER),
    ({"recombinantHaplotypes": ["rec1", "", None, 0]}, GBA_CARRIER),
    ({"recombinantHaplotypes": ["rec1"], "variants": ["a"]}, GBA_PHASE),
    ({"recombinantHaplotypes": ["rec1"], "variants": [{"alleleCopyNumber": 3}]}, GBA_POSITIVE),
    ({"recombinantHaplotypes": ["r1", {"x": 1}]}, GBA_POSITIVE),
    ({"recombinantHaplotypes": ["r1", "r2"], "variants": ["a"]}, GBA_POSITIVE),
    # A single text, as a one-row table gives it, is one finding, not one
    # finding per character.
    ({"variants": "c.1226A>G"}, GBA_CARRIER),
    ({"recombinantHaplotypes": "RecNciI"}, GBA_CARRIER),
    ({"recombinantHaplotypes": "RecNciI", "variants": "c.1226A>G"}, GBA_PHASE),
    ({"recombinantHaplotypes": "", "variants": ""}, ""),
])
def test_gba_decision_table(data, expected):
    assert LysosomalWarning().format({}, data) == expected


@pytest.mark.parametrize("config, expected", [
    ({"caller_name": "", "name": "X"}, "Based on the X, this sample is carrier for Gaucher disease"),
    ({"caller_name": "C", "name": "X", "disease_name": None, "disease": "D"},
     "Based on the C, this sample is carrier for D"),
    ({"name": 0, "disease": 5}, "Based on the GBA Caller, this sample is carrier for 5"),
])
def test_gba_names(config, expected):
    assert LysosomalWarning().format(config, {"variants": ["v"]}) == expected


@pytest.mark.parametrize("data, error", [
    ({"variants": 5}, TypeError),
    ({"recombinantHaplotypes": 5}, TypeError),
])
def test_gba_bad_input_raises_host_errors(data, error):
    with pytest.raises(error):
        LysosomalWarning().format({}, data)


# --- Null where a list or mapping is expected ----------------------------------

SMN_HAPLO = {"haplogroup_path": "haplotypes", "silent_carrier_required_haplogroups": ["H1"]}
GENOTYPES = {"phenotype_genotype_mapping": {"poor": ["*4/*4"]}}


@pytest.mark.parametrize("formatter, config", [
    (MotorNeuronWarning, {}),
    (MotorNeuronWarning, {**SMN_HAPLO, **MARKER}),
    (AlleleWarning, GENOTYPES),
    (LysosomalWarning, {}),
])
@pytest.mark.parametrize("data", [
    None,
    {"variants": None},
    {"recombinantHaplotypes": None, "variants": None},
    {"smn1_cn": 2, "variants": None, "haplotypes": None},
    {"smn1_cn": 2, "haplotypes": {"h1": None, "h2": {"haplogroup": None}}},
    {"smn1_cn": 2, "haplotypes": [None, {"haplogroup": None}]},
    {"genotype": None},
])
def test_null_data_is_nothing_there(formatter, config, data):
    assert formatter().format(config, data) == ""
    assert formatter().format(None, data) == ""


def test_null_settings_are_defaults():
    assert MotorNeuronWarning().format(None, {"smn1_cn": 1}) == smn_carrier()
    assert LysosomalWarning().format(None, {"variants": ["L483P"]}) == GBA_CARRIER
    config = {"smn1_cn": 2, "silent_carrier_required_haplogroups": None, "haplogroup_path": "a"}
    assert MotorNeuronWarning().format(config, {"smn1_cn": 2, "a": {"haplogroup": "H"}}) == ""
    assert AlleleWarning().format({"phenotypeGenotypeMapping": None}, {"genotype": "*4/*4"}) == ""
    assert _get_path({"a": None}, "a.b") is None
    assert list(_iter_haplogroups(None)) == []
