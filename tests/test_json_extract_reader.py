import json
import logging
import math
import os
import random
import subprocess
import sys

import pytest

from CorvaneFileParser.Parsers.JsonExtractReader import JsonExtractReader
from CorvaneFileParser.Parsers.ReportReaderBase import ReportReaderBase

DOC = {
    "smn": {"smn1CopyNumber": "2", "isCarrier": "false", "note": ""},
    "Variants": {
        "sample": "S1",
        "variants": [{"gene": "GBA", "af": "0.456", "dp": "30"}, "", None, {"gene": "SMN1", "af": "1"}],
        "flags": ["", None, "1.5"],
    },
}


@pytest.fixture
def parse(tmp_path):
    """Writes a document (an object, or raw bytes) and parses it with a configuration."""

    def run(config, document=DOC):
        path = tmp_path / "caller.json"
        if isinstance(document, bytes):
            path.write_bytes(document)
        else:
            path.write_text(json.dumps(document), encoding="utf-8")
        return JsonExtractReader(config, str(path)).parse()

    return run


def warnings_of(caplog):
    return [(r.levelname, r.name, r.getMessage()) for r in caplog.records]


def test_sections_fields_and_paths_into_unified_entries(parse, caplog, tmp_path):
    config = {
        "SMN": {"caller_name": "SMN caller"},
        "variants": {
            "caller_name": "Targeted",
            "include_paths": ["sample", "variants.*.af", "variants.3.gene"],
            "exclude_paths": ["variants.0"],
        },
        "gba": {"caller_name": "GBA"},
    }
    data = parse(config)
    assert data == {
        "SMN": {"smn1CopyNumber": 2, "isCarrier": False, "note": None},
        # Lists that a path passes through become mappings keyed by index
        # text, so an exclusion can name an index of the extract.
        "variants": {"sample": "S1", "variants": {"3": {"af": 1, "gene": "SMN1"}}},
        "gba": {},
    }
    assert list(data) == ["SMN", "variants", "gba"]
    # Top-level field names are interned for the warnings' lookups.
    assert all(sys.intern(key) is key for section in data.values() for key in section)
    assert warnings_of(caplog) == [
        ("WARNING", "root", "None of keys ['gba'] from config matched input data. Skipping.")
    ]
    result = JsonExtractReader(config, str(tmp_path / "caller.json")).build_result(data)
    assert result["VARIANTS"] == {"data": data["variants"], "caller_name": "Targeted",
                                  "status": "normal"}
    assert issubclass(JsonExtractReader, ReportReaderBase)


@pytest.mark.parametrize(
    "cfg, expected, candidates",
    [
        ({"json_key": "absent", "json_keys": ["nothing", "SMN"]}, {"v": 1}, None),
        ({"json_key": "variants", "json_keys": ["smn"]}, {"v": 2}, None),
        ({"json_key": "", "json_keys": [5, "", None, "smn"]}, {"v": 1}, None),
        ({"json_key": 5, "json_keys": ("smn",)}, {}, "['qc']"),
        ({"json_key": "x", "json_keys": "smn"}, {}, "['x', 'qc']"),
        ({"json_keys": ["y", 3, "z"]}, {}, "['y', 'z', 'qc']"),
        ("smn", {}, "['qc']"),
    ],
)
def test_candidate_order(parse, caplog, cfg, expected, candidates):
    assert parse({"qc": cfg}, {"smn": {"v": "1"}, "Variants": {"v": "2"}}) == {"qc": expected}
    if candidates:
        assert warnings_of(caplog) == [
            ("WARNING", "root",
             f"None of keys {candidates} from config matched input data. Skipping.")
        ]
    else:
        assert caplog.records == []


def test_unmatched_warning_lists_every_candidate_last_the_name(parse, caplog):
    parse({"qc": {"json_key": "a'b", "json_keys": ["x", "Ü"]}})
    assert warnings_of(caplog) == [
        ("WARNING", "root",
         "None of keys [\"a'b\", 'x', 'Ü', 'qc'] from config matched input data. Skipping.")
    ]


def test_later_of_two_keys_differing_in_case_wins(parse):
    doc = {"SMN": {"v": "1"}, "smn": {"v": "2"}, "Smn": {"v": "3"}}
    assert parse({"smn": {}, "SMN": {}}, doc) == {"smn": {"v": 3}, "SMN": {"v": 3}}


def test_empty_section_is_logged_and_yields_an_empty_extract(parse, caplog):
    assert parse({"QC": {"include_fields": ["a"]}}, {"qc": {}}) == {"QC": {}}
    assert warnings_of(caplog) == [("WARNING", "root", "Section 'qc' is empty in the input data.")]


@pytest.mark.parametrize(
    "cfg, expected",
    [
        ({"include_paths": [], "include_fields": ["sample"]}, {}),
        ({"include_paths": "sample", "include_fields": ["sample", "absent"]}, {"sample": "S1"}),
        ({"include_paths": ["..sample..", ".", "   ", "", 7, None]}, {"sample": "S1"}),
        # Blanks stay part of a segment: int() accepts them around an index,
        # a key must hold them itself.
        ({"include_paths": ["variants. 0 .gene"]}, {"variants": {" 0 ": {"gene": "GBA"}}}),
        ({"include_paths": ["variants.0. gene"]}, {}),
        ({"include_paths": ["variants.*.gene", "variants.1"]},
         {"variants": {"0": {"gene": "GBA"}, "3": {"gene": "SMN1"}, "1": None}}),
        ({"include_paths": ["flags", "flags.2"]}, {"flags": {"2": 1.5}}),
        ({"include_fields": ["flags", "variants"]},
         {"flags": [1.5], "variants": [{"gene": "GBA", "af": 0.46, "dp": 30}, None, None, {"gene": "SMN1", "af": 1}]}),
        ({"include_fields": "sample", "exclude_paths": ["variants", "flags"]}, {"sample": "S1"}),
        ({"exclude_paths": ["variants.*.af", "variants.*.gene", "nothing.here", "sample.x"]},
         {"sample": "S1", "variants": [{"dp": 30}, None, None, {}], "flags": [1.5]}),
        ({"include_fields": ["variants"], "exclude_paths": "variants"},
         {"variants": [{"gene": "GBA", "af": 0.46, "dp": 30}, None, None, {"gene": "SMN1", "af": 1}]}),
    ],
)
def test_selection_rules(parse, cfg, expected):
    assert parse({"Variants": cfg}) == {"Variants": expected}


@pytest.mark.parametrize(
    "value, variants, other",
    [
        (["", None, "1.5"], [None, None, 1.5], [1.5]),
        ([], [], None),
        # Only a list is kept item by item; anything else is formatted as a
        # whole, as under any other name (a mapping keeps its values, a text
        # is not split into characters, null stays null).
        ({"k": "v", "2": "1"}, {"k": "v", "2": 1}, {"k": "v", "2": 1}),
        ("ab", "ab", "ab"),
        ("", None, None),
        (None, None, None),
        (3, 3, 3),
    ],
)
def test_variants_field_keeps_every_item(parse, value, variants, other):
    doc = {"s": {"variants": value, "Variants": value}}
    assert parse({"s": {}}, doc) == {"s": {"variants": variants, "Variants": other}}
    assert parse({"s": {"include_fields": ["variants"]}}, doc) == {"s": {"variants": variants}}


@pytest.mark.parametrize(
    "document, what",
    [
        ([{"s": {}}], "the JSON document is an array, not an object of sections"),
        ("text", "the JSON document is a string, not an object of sections"),
        (5, "the JSON document is a number, not an object of sections"),
        (None, "the JSON document is null, not an object of sections"),
        (True, "the JSON document is a boolean, not an object of sections"),
        ({"S": [1, 2]}, "section 'S' is an array, not an object of fields"),
        ({"S": "text"}, "section 'S' is a string, not an object of fields"),
        ({"S": 5.5}, "section 'S' is a number, not an object of fields"),
        ({"S": False}, "section 'S' is a boolean, not an object of fields"),
    ],
)
@pytest.mark.parametrize("cfg", [{}, {"include_fields": ["t"]}, {"include_paths": ["*"]}])
def test_documents_and_sections_that_are_not_objects_name_the_file(parse, tmp_path, document, what, cfg):
    with pytest.raises(ValueError) as caught:
        parse({"s": cfg}, document)
    assert str(caught.value) == f"{tmp_path / 'caller.json'}: {what}"


def test_null_section_is_an_empty_section(parse, caplog):
    cfg = {"include_fields": ["a"], "exclude_paths": ["a"]}
    assert parse({"s": cfg, "t": {}}, {"s": None, "t": {"v": "1"}}) == {"s": {}, "t": {"v": 1}}
    assert warnings_of(caplog) == [("WARNING", "root", "Section 's' is empty in the input data.")]


def test_nulls_inside_sections_are_kept(parse):
    doc = {"s": {"variants": None, "recombinantHaplotypes": None, "tree": {"haplogroup": None},
                 "haplotypes": [None, {"a": None}]}}
    cfg = {"include_paths": ["variants", "variants.*", "tree.haplogroup.*", "haplotypes.*.a"],
           "exclude_paths": ["variants.*.x", "tree.haplogroup.x"]}
    assert parse({"s": {}}, doc) == {"s": {"variants": None, "recombinantHaplotypes": None,
                                           "tree": {"haplogroup": None}, "haplotypes": [{"a": None}]}}
    assert parse({"s": cfg}, doc) == {"s": {"variants": None, "haplotypes": {"1": {"a": None}}}}


def test_non_text_section_names(parse):
    doc = {"s": {"a": "1"}, "t": {"b": "2"}}
    assert parse({7: {"json_key": "t", "include_paths": ["*"]}}, doc) == {7: {"b": 2}}
    with pytest.raises(AttributeError):
        parse({7: {}}, doc)


def test_file_is_read_as_utf8_with_byte_order_mark(parse):
    raw = "\ufeff" + json.dumps({"s": {"name": "grün ≥ 2"}}, ensure_ascii=False)
    assert parse({"s": {}}, raw.encode("utf-8")) == {"s": {"name": "grün ≥ 2"}}


def test_utf8_whatever_the_platform_default(tmp_path):
    path = tmp_path / "x.json"
    path.write_bytes(json.dumps({"s": {"n": "grün"}}, ensure_ascii=False).encode("utf-8"))
    code = (
        "import locale, sys\n"
        "from CorvaneFileParser.Parsers.JsonExtractReader import JsonExtractReader\n"
        "assert locale.getencoding() != 'utf-8', locale.getencoding()\n"
        "print(ascii(JsonExtractReader._load_json(sys.argv[1])))\n"
    )
    env = dict(os.environ, LC_ALL="C", LANG="C", PYTHONUTF8="0", PYTHONCOERCECLOCALE="0")
    out = subprocess.run([sys.executable, "-c", code, str(path)], env=env, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == ascii({"s": {"n": "grün"}})


def test_host_json_rules(parse):
    data = parse({"s": {}}, b'{"s": {"c": 123456789012345678901234567890, "d": 1.005}}')["s"]
    assert data["c"] == 123456789012345678901234567890 and data["d"] == round(1.005, 2)
    for bad in (b'{"s": ', b"\x00", b'{"a": 1} x', b"\xef\xbb\xbf\xef\xbb\xbf{}"):
        with pytest.raises(json.JSONDecodeError):
            parse({"s": {}}, bad)
    with pytest.raises(UnicodeDecodeError):
        parse({"s": {}}, b'{"s": "\xff"}')


def test_file_is_closed_when_parsing_fails(tmp_path):
    path = tmp_path / "bad.json"
    path.write_text("{oops")
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(20):
        with pytest.raises(json.JSONDecodeError):
            JsonExtractReader._load_json(str(path))
    assert len(os.listdir("/proc/self/fd")) == before
    assert isinstance(JsonExtractReader.__dict__["_load_json"], staticmethod)


def test_document_is_neither_changed_nor_shared(monkeypatch, tmp_path):
    document = {"s": {"inner": {"af": "1", "dp": 2}, "variants": [{"af": "3"}], "list": [{"af": "4"}]}}
    snapshot = json.loads(json.dumps(document))
    monkeypatch.setattr(JsonExtractReader, "_load_json", staticmethod(lambda path: document))
    path = tmp_path / "x.json"
    path.write_text("{}")
    reader = JsonExtractReader({"s": {"exclude_paths": ["*.af", "variants.*.af"]}}, str(path))
    leaf = document["s"]["inner"]
    before = sys.getrefcount(leaf)
    for _ in range(50):
        data = reader.parse()
    assert data == {"s": {"inner": {"dp": 2}, "variants": [{}], "list": [{"af": 4}]}}
    assert document == snapshot
    assert data["s"]["inner"] is not leaf
    del data
    assert sys.getrefcount(leaf) == before


# ---------------------------------------------------------------------------
# Value settings, lift and the warning for a selection that found nothing
# ---------------------------------------------------------------------------

SETTINGS_DOC = {"s": {"id": " 0012345 ", "version": "2.10", "af": "0.0467", "dp": "31", "flag": "NA",
                      "gene": "NA", "nested": {"af": "0.0467", "id": "007", "x": "NA"}, "rows": ["NA", "0.0467"]}}


@pytest.mark.parametrize(
    "cfg, expected",
    [
        ({}, {"id": " 0012345 ", "version": 2.1, "af": 0.05, "dp": 31, "flag": "NA", "gene": "NA",
              "nested": {"af": 0.05, "id": "007", "x": "NA"}, "rows": ["NA", 0.05]}),
        # Top-level fields follow the settings; values below them keep the
        # default rules.
        ({"text_fields": ["id", "version", "nested"], "decimals": {"af": None}, "null_values": ["NA"]},
         {"id": "0012345", "version": "2.10", "af": 0.0467, "dp": 31, "flag": None, "gene": None,
          "nested": {"af": 0.05, "id": "007", "x": "NA"}, "rows": ["NA", 0.05]}),
        ({"text_fields": ["*"], "decimals": 3},
         {"id": "0012345", "version": "2.10", "af": "0.0467", "dp": "31", "flag": "NA", "gene": "NA",
          "nested": {"af": 0.05, "id": "007", "x": "NA"}, "rows": ["NA", 0.05]}),
        ({"decimals": None, "include_fields": ["af", "version"]}, {"af": 0.0467, "version": 2.1}),
        # A path whose match is one segment long is a top-level field.
        ({"text_fields": ["id"], "decimals": {"af": 3}, "null_values": ["NA"],
          "include_paths": ["id", "af", "flag", "nested.af", "nested.id", "*.x"]},
         {"id": "0012345", "af": 0.047, "flag": None, "nested": {"af": 0.05, "id": "007", "x": "NA"}}),
    ],
)
def test_value_settings_apply_to_top_level_fields(parse, cfg, expected):
    assert parse({"s": cfg}, SETTINGS_DOC) == {"s": expected}


def test_non_finite_numbers_become_null_with_a_warning_naming_section_and_field(parse, caplog):
    raw = (b'{"s": {"cn": NaN, "depth": {"median": Infinity}, "variants": [1, -Infinity], "x": ["", 1e400],'
           b' "kept": [NaN, []], "text": "nan", "read_details": NaN}}')
    cfg = {"keep_as_written": ["kept"], "exclude_paths": ["read_details"]}
    assert parse({"s": cfg}, raw) == {"s": {"cn": None, "depth": {"median": None}, "variants": [1, None],
                                            "x": [None], "kept": [None, []], "text": "nan"}}
    assert [r.getMessage().split(": ", 1)[1] for r in caplog.records] == [
        f"section 's' field '{field}': {token} is not a JSON number; written as null"
        for field, token in [("cn", "NaN"), ("depth.median", "Infinity"), ("variants.1", "-Infinity"),
                             ("x.1", "Infinity"), ("kept.0", "NaN")]]


def test_keep_as_written_keeps_the_whole_value_before_other_settings(parse):
    doc = {"s": {"haps": ["0221", "", None, "true"], "sv": [], "tree": {"id": "007", "l": []}, "cn": "2",
                 "variants": [], "na": "NA"}}
    cfg = {"keep_as_written": ["haps", "sv", "tree", "variants", "na"], "text_fields": ["haps"],
           "null_values": ["NA"]}
    assert parse({"s": cfg}, doc) == {"s": {**doc["s"], "cn": 2}}
    assert parse({"s": {"include_paths": ["tree.l", "sv"], "keep_as_written": ["sv"]}}, doc) == {
        "s": {"tree": {"l": None}, "sv": []}}


def test_wrong_settings_fail_when_the_reader_is_built(tmp_path):
    path = tmp_path / "x.json"
    path.write_text("{}")
    for cfg, what in [({"decimals": "two"}, '"decimals" must be'), ({"lift": "x"}, '"lift" must be a list'),
                      ({"lift": ["a", 1]}, '"lift" must be a list'),
                      ({"keep_as_written": "haps"}, '"keep_as_written" must be a list of field names')]:
        with pytest.raises(ValueError, match=f"^phaser.json: section 's': {what}"):
            JsonExtractReader({"s": cfg}, str(path), resource_name="phaser.json")


OLD_LAYOUT = {"smn1": {"smn1_cn": 2, "smn2_cn": "3", "smn1_read_number": 40, "read_details": ["r1"],
                       "final_haplotypes": {"h1": "smn1"}}}
NEW_LAYOUT = {"smn1": {"region_specific_info": {"smn1_cn": 2, "smn2_cn": "3", "smn1_read_number": 40},
                       "read_details": ["r1"], "final_haplotypes": {"h1": "smn1"}}}


@pytest.mark.parametrize(
    "cfg, expected",
    [
        ({"include_fields": ["smn1_cn", "smn2_cn", "final_haplotypes"]},
         {"smn1_cn": 2, "smn2_cn": 3, "final_haplotypes": {"h1": "smn1"}}),
        ({"include_paths": ["smn1_cn", "final_haplotypes.*"]}, {"smn1_cn": 2, "final_haplotypes": {"h1": "smn1"}}),
        ({"exclude_paths": ["read_details"]},
         {"smn1_cn": 2, "smn2_cn": 3, "smn1_read_number": 40, "final_haplotypes": {"h1": "smn1"}}),
    ],
)
def test_lift_reads_both_layouts_alike(parse, cfg, expected):
    cfg = dict(cfg, lift=["region_specific_info"])
    old, new = parse({"smn1": cfg}, OLD_LAYOUT), parse({"smn1": cfg}, NEW_LAYOUT)
    assert old == {"smn1": expected}
    assert new["smn1"] == expected  # the same fields; the lifted key itself is not kept
    if "include_fields" not in cfg and "include_paths" not in cfg:
        assert list(new["smn1"]) == ["smn1_cn", "smn2_cn", "smn1_read_number", "final_haplotypes"]


def test_lift_clashes_and_values_that_are_not_mappings(parse):
    doc = {"s": {"a": "own", "info": {"a": "lifted", "b": "first", "c": "1"}, "more": {"b": "second", "d": "2"},
                 "none": None, "info2": "text"}}
    cfg = {"lift": ["info", "more", "none", "info2", "absent"]}
    assert parse({"s": cfg}, doc) == {"s": {"a": "own", "b": "first", "c": 1, "d": 2, "none": None, "info2": "text"}}
    assert parse({"s": {"lift": []}}, {"s": {"info": {"a": "1"}}}) == {"s": {"info": {"a": 1}}}
    # Settings name the lifted fields as top-level fields.
    cfg = {"lift": ["info"], "text_fields": ["c"], "include_fields": ["c", "info"]}
    assert parse({"s": cfg}, doc) == {"s": {"c": "1"}}


def test_selection_that_finds_nothing_is_logged(parse, caplog, tmp_path):
    path = tmp_path / "caller.json"
    doc = {"smn1": {"region_specific_info": {"smn1_cn": 2}}, "e": {}}
    config = {"phaser_smn1": {"json_key": "smn1", "include_fields": ["smn1_cn", "absent"]},
              "p": {"json_key": "smn1", "include_paths": ["x.y", "*.absent"]},
              "q": {"json_key": "smn1", "include_paths": [], "include_fields": ["smn1_cn"]},
              "r": {"json_key": "e", "include_fields": ["smn1_cn"]},
              "found": {"json_key": "smn1", "include_fields": ["smn1_cn"], "lift": ["region_specific_info"]}}
    assert parse(config, doc) == {"phaser_smn1": {}, "p": {}, "q": {}, "r": {}, "found": {"smn1_cn": 2}}
    assert warnings_of(caplog) == [
        ("WARNING", "root", "None of the fields or paths configured for section 'phaser_smn1' were found "
                            f"in 'smn1' of {path}; its data is empty."),
        ("WARNING", "root", "None of the fields or paths configured for section 'p' were found "
                            f"in 'smn1' of {path}; its data is empty."),
        ("WARNING", "root", "Section 'e' is empty in the input data."),
    ]


# ---------------------------------------------------------------------------
# The private document is formatted in place: the results must equal those
# of a copied document, whatever the configuration
# ---------------------------------------------------------------------------

SCALARS = ["null", "none", "1.005", "2", "007", "true", "False", "none", "NA", "", None, " 3 ", "ACGT", "inf", "nan", "-0",
           "1e400", 4.005, 7, True, "é", "1_000", "2.10"]
KEYS = ["a", "b", "variants", "info", "id", "0", "1"]


def random_node(rng, depth):
    roll = rng.random()
    if depth < 4 and roll < 0.25:
        return [random_node(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    if depth < 4 and roll < 0.5:
        return {rng.choice(KEYS): random_node(rng, depth + 1) for _ in range(rng.randint(0, 4))}
    return rng.choice(SCALARS)


def random_path(rng):
    return ".".join(rng.choice(KEYS + ["*", "*", "01", " 1 ", "x"]) for _ in range(rng.randint(1, 3)))


def random_config(rng):
    config = {}
    for name in rng.sample(["s", "t", "S", "u"], rng.randint(1, 4)):
        cfg = {}
        if rng.random() < 0.3:
            cfg["json_key"] = rng.choice(["s", "t", "v"])
        roll = rng.random()
        if roll < 0.4:
            paths = [random_path(rng) for _ in range(rng.randint(0, 4))]
            # Paths reaching places inside one another's matches, or the same place twice.
            paths += [p.rsplit(".", 1)[0] for p in paths if rng.random() < 0.5]
            cfg["include_paths"] = rng.sample(paths, len(paths))
        elif roll < 0.7:
            cfg["include_fields"] = [rng.choice(KEYS) for _ in range(rng.randint(0, 4))]
        if rng.random() < 0.4:
            cfg["exclude_paths"] = [random_path(rng) for _ in range(rng.randint(1, 3))]
        if rng.random() < 0.3:
            cfg["lift"] = ["info"]
        if rng.random() < 0.3:
            cfg["text_fields"] = rng.sample(KEYS, 2)
        if rng.random() < 0.3:
            cfg["decimals"] = rng.choice([None, 0, 3, {"a": None, "b": 1}])
        if rng.random() < 0.3:
            cfg["null_values"] = ["NA", "none"]
        config[name] = cfg
    return config


_FreshDict, _FreshList = type("_FreshDict", (dict,), {}), type("_FreshList", (list,), {})


def refill(held, cfg):
    """held, changed in place (its lists too) to hold what cfg holds."""
    for key in [key for key in held if key not in cfg]:
        del held[key]
    for key, value in cfg.items():
        if isinstance(held.get(key), list) and isinstance(value, list):
            held[key][:] = value
        else:
            held[key] = value
    return held


def test_in_place_formatting_gives_the_results_of_a_copy(monkeypatch, tmp_path, caplog):
    # Also: section settings read before are remembered; the same lists and mappings changed
    # in place between reads must read as a mapping of a kind never remembered (a subclass).
    rng = random.Random(4242)
    path = tmp_path / "doc.json"
    kept = {}
    for case in range(600):
        document = {name: {rng.choice(KEYS): random_node(rng, 1) for _ in range(rng.randint(1, 5))}
                    for name in rng.sample(["s", "t", "v"], rng.randint(1, 3))}
        path.write_text(json.dumps(document), encoding="utf-8")
        config = random_config(rng)
        caplog.clear()
        got = JsonExtractReader(config, str(path)).parse()
        logged = caplog.messages
        held = {name: refill(kept.setdefault(name, {}), cfg) for name, cfg in config.items()}
        got_in_place = JsonExtractReader(held, str(path)).parse()
        fresh = {name: _FreshDict({key: _FreshList(value) if key == "exclude_paths" else value
                                   for key, value in cfg.items()}) for name, cfg in config.items()}
        with monkeypatch.context() as patched:
            patched.setattr(JsonExtractReader, "_load_json", staticmethod(lambda p: json.loads(path.read_text())))
            caplog.clear()
            expected = JsonExtractReader(fresh, str(path)).parse()
        assert repr(got) == repr(expected) == repr(got_in_place), (case, document, config)
        assert logged == caplog.messages


class Unreadable(str):
    def lower(self):
        raise RuntimeError("formatted")


def test_fields_an_exclusion_removes_are_not_formatted(monkeypatch, tmp_path):
    document = {"s": {"reads": Unreadable("x"), "ok": "1", "nested": {"reads": "2"}}}
    monkeypatch.setattr(JsonExtractReader, "_load_json", staticmethod(lambda path: document))
    path = tmp_path / "x.json"
    path.write_text("{}")
    for cfg in ({}, {"include_fields": ["ok", "reads", "nested"]}, {"include_paths": ["*", "reads.x"]}):
        cfg["exclude_paths"] = ["..reads", "nested.reads"]
        assert JsonExtractReader({"s": cfg}, str(path)).parse() == {"s": {"ok": 1, "nested": {}}}
    with pytest.raises(RuntimeError, match="formatted"):
        JsonExtractReader({"s": {"exclude_paths": ["*.reads"]}}, str(path)).parse()
