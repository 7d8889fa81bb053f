"""Section value settings ("text_fields", "decimals", "null_values"), read
through the one-row reader, checked when a reader is built, and the table
setting of build_result."""

import random

import pytest

from CorvaneFileParser import Parsers
from CorvaneFileParser.Parsers.ReportReaderBase import ReportReaderBase
from CorvaneFileParser.Parsers.SingleRowTsvReader import SingleRowTsvReader

fmt = ReportReaderBase._format_value


def read_row(write_file, settings, header, row, name="smn.tsv", section="SMN", **extra):
    config = {section: {"caller_name": "caller", **settings}, **extra}
    path = write_file(name, "\t".join(header) + "\n" + "\t".join(row) + "\n")
    return SingleRowTsvReader(config, path, resource_name="smn_tsv_config.json").parse()[section]


class TestTextFields:
    def test_listed_fields_stay_stripped_text(self, write_file):
        header = ["Sample", "Version", "Flag", "Count", "Other"]
        row = ["0012345", " 2.10 ", "True", "007", "2.10"]
        data = read_row(write_file, {"text_fields": ["Sample", "Version", "Flag", "Count"]}, header, row)
        assert data == {"Sample": "0012345", "Version": "2.10", "Flag": "True", "Count": "007", "Other": 2.1}

    @pytest.mark.parametrize("raw", ["", "None", "null", "NULL", "nOnE"])
    def test_empty_text_and_null_words_still_become_none(self, write_file, raw):
        data = read_row(write_file, {"text_fields": ["Sample"]}, ["Sample", "X"], [raw, "1"])
        assert data == {"Sample": None, "X": 1}

    def test_star_keeps_every_field_as_text(self, write_file):
        data = read_row(write_file, {"text_fields": ["*"]}, ["A", "B", "C"], ["1.239", "false", "none"])
        assert data == {"A": "1.239", "B": "false", "C": None}

    def test_text_fields_only_of_their_own_section(self, write_file):
        data = read_row(write_file, {}, ["A"], ["12.50"], GBA={"text_fields": ["A"]})
        assert data == {"A": 12.5}


class TestDecimals:
    HEADER = ["AF", "Ratio", "Depth", "Big"]
    ROW = ["0.0467", "2.675", "845", "1234.5"]

    @pytest.mark.parametrize(
        "decimals, expected",
        [
            (2, {"AF": 0.05, "Ratio": 2.67, "Depth": 845, "Big": 1234.5}),
            (3, {"AF": 0.047, "Ratio": 2.675, "Depth": 845, "Big": 1234.5}),
            (0, {"AF": 0.0, "Ratio": 3.0, "Depth": 845, "Big": 1234.0}),
            (None, {"AF": 0.0467, "Ratio": 2.675, "Depth": 845, "Big": 1234.5}),
            (-1, {"AF": 0.0, "Ratio": 0.0, "Depth": 845, "Big": 1230.0}),
            ({"AF": None, "Ratio": 1}, {"AF": 0.0467, "Ratio": 2.7, "Depth": 845, "Big": 1234.5}),
            ({}, {"AF": 0.05, "Ratio": 2.67, "Depth": 845, "Big": 1234.5}),
        ],
    )
    def test_places(self, write_file, decimals, expected):
        data = read_row(write_file, {"decimals": decimals}, self.HEADER, self.ROW)
        assert data == expected
        assert [type(v) for v in data.values()] == [type(v) for v in expected.values()]


class TestNullValues:
    def test_listed_texts_become_none_exactly(self, write_file):
        header = ["A", "B", "C", "D", "E"]
        data = read_row(write_file, {"null_values": ["NA", "N/A", "-"]}, header, [" NA ", "N/A", "na", "-", "N.A"])
        assert data == {"A": None, "B": None, "C": "na", "D": None, "E": "N.A"}

    def test_null_values_in_text_fields(self, write_file):
        settings = {"null_values": ["NA"], "text_fields": ["A", "B"]}
        assert read_row(write_file, settings, ["A", "B"], ["NA", "007"]) == {"A": None, "B": "007"}

    def test_numbers_can_be_null_values(self, write_file):
        assert read_row(write_file, {"null_values": ["-1"]}, ["A", "B"], ["-1", "-1.0"]) == {"A": None, "B": -1.0}


def test_without_settings_every_value_is_the_formatter_s(write_file):
    rng = random.Random(11)
    words = ["", "None", "null", "TRUE", "false", "007", "2.10", "0.0467", "1e-3", "NA", "BRCA1",
             "c.743G>A", "1_000", "inf", "\u0663", "-0", "12345678901234567890", "2.675"]
    texts = [rng.choice(words) for _ in range(200)]
    header = [f"c{i}" for i in range(len(texts))]
    for settings in ({}, {"text_fields": None, "null_values": None}, {"decimals": 2}, {"text_fields": []}):
        data = read_row(write_file, settings, header, texts)
        assert [data[h] for h in header] == [fmt(t) for t in texts]


def test_the_section_the_row_is_filed_under_decides(write_file):
    config = {"SMN": {"decimals": 0}, "GBA": {"decimals": None, "text_fields": ["Sample"]}}
    path = write_file("sample.gba.tsv", "Sample\tRatio\n7\t0.0467\n")
    # The file name without its extension, "sample.gba", matches no section:
    # the row is filed under the first section.
    assert SingleRowTsvReader(config, path).parse() == {"SMN": {"Sample": 7, "Ratio": 0.0}}
    path = write_file("gba.tsv", "Sample\tRatio\n007\t0.0467\n")
    assert SingleRowTsvReader(config, path).parse() == {"GBA": {"Sample": "007", "Ratio": 0.0467}}


_Settings = type("_Settings", (dict,), {})  # not a plain dict: read afresh every time


def test_settings_read_again_match_a_fresh_reading(write_file):
    # One reader per round, its section settings drawn from a small pool so
    # that equal, near-equal (1 / 1.0 / True) and changed settings follow each
    # other; a plain dict and a subclass of it read the same values.
    rng = random.Random(20261209)
    header, row = ["A", "B", "C"], ["1.2345", " NA ", "007"]
    path = write_file("smn.tsv", "\t".join(header) + "\n" + "\t".join(row) + "\n")
    pool = {
        "text_fields": [None, [], ["A"], ["B", "C"], ["*"]],
        "null_values": [None, [], ["NA"], ["007", "NA"]],
        "keep_as_written": [None, ["A"], ["C"]],
        "decimals": [0, 1, 3, None, {"A": 1}, {"A": None, "C": 0}],
    }
    for _ in range(150):
        settings = {key: rng.choice(values) for key, values in pool.items() if rng.random() < 0.6}
        plain = SingleRowTsvReader({"SMN": settings}, path).parse()["SMN"]
        fresh = SingleRowTsvReader({"SMN": _Settings(settings)}, path).parse()["SMN"]
        assert [(k, type(v), v) for k, v in plain.items()] == [(k, type(v), v) for k, v in fresh.items()]


class TestBadSettings:
    @pytest.mark.parametrize(
        "settings, what",
        [
            ({"decimals": "two"}, '"decimals" must be an int, null, or a mapping'),
            ({"decimals": True}, '"decimals" must be an int, null, or a mapping'),
            ({"decimals": 2.0}, '"decimals" must be an int, null, or a mapping'),
            ({"decimals": {"AF": False}}, '"decimals" must be an int, null, or a mapping'),
            ({"decimals": {"AF": "3"}}, '"decimals" must be an int, null, or a mapping'),
            ({"decimals": 10**30}, '"decimals" must be between -400 and 400'),
            ({"decimals": {"AF": 401}}, '"decimals" must be between -400 and 400'),
            ({"table": "yes"}, '"table" must be true or false'),
            ({"table": 1}, '"table" must be true or false'),
            ({"warning": {"type": "condition", "conditions": [
                {"field": "A", "operator": "EQ", "value": 1, "message": "m"},
                {"field": "A", "operator": "EQ", "valeu": 1, "message": "m"}]}},
             'condition 2 of the warning: unknown key "valeu" (did you mean "value"?)'),
            ({"warning": {"type": "carrier_positive", "conditions": [{"feild": "A"}]}},
             'condition 1 of the warning: unknown key "feild" (did you mean "field"?)'),
            ({"warning": {"type": "condition", "conditions": [{"unit": "x"}]}},
             'condition 1 of the warning: unknown key "unit"'),
            ({"text_fields": "Sample"}, '"text_fields" must be a list of field names'),
            ({"text_fields": [1]}, '"text_fields" must be a list of field names'),
            ({"null_values": "NA"}, '"null_values" must be a list of texts'),
            ({"null_values": [None]}, '"null_values" must be a list of texts'),
            *[({"qc_pass": qc_pass}, '"qc_pass" must be a mapping from field name to a list')
              for qc_pass in ["phasing_success", ["phasing_success"], {"a": True}, {"a": "true"}, {1: [True]}]],
        ],
    )
    def test_wrong_types_fail_when_the_reader_is_built(self, write_file, settings, what):
        path = write_file("smn.tsv", "A\n1\n")
        config = {"SMN": {"caller_name": "c"}, "Second Section": settings}
        with pytest.raises(ValueError) as caught:
            SingleRowTsvReader(config, path, resource_name="smn_tsv_config.json")
        assert str(caught.value).startswith("smn_tsv_config.json: section 'Second Section': " + what)

    @pytest.mark.parametrize("reader, name, key, good, bad, what", [
        ("SingleRowTsvReader", "smn.tsv", "table", True, 1, "must be true or false"),
        ("SingleRowTsvReader", "smn.tsv", "decimals", 2, 2.0, "must be an int"),
        ("SingleRowTsvReader", "smn.tsv", "decimals", {"A": 1}, {"A": True}, "must be an int"),
        ("SingleRowTsvReader", "smn.tsv", "text_fields", ["A", "B"], ["A", 1], "must be a list of field names"),
        ("JsonExtractReader", "x.json", "lift", ["a"], ["a", 1], "must be a list of keys"),
        ("PanelTsvReader", "x.tsv", "required_columns", ["Gene"], [["Gene"]], "must be a list of column names"),
        ("PanelTsvReader", "x.tsv", "required_columns", ["Gene"], "Gene", "must be a list of column names"),
    ])
    def test_a_changed_setting_is_checked_again(self, write_file, reader, name, key, good, bad, what):
        # A configuration equal to one already accepted, save one setting of another kind,
        # fails: in a new mapping and changed in place alike. Each reader checks its own
        # settings; the one-row reader leaves the others' alone.
        path = write_file(name, "{}")
        cls = getattr(getattr(Parsers, reader), reader)
        config = {"S": {"caller_name": "c", key: good}, "T": {}}
        for _ in range(2):
            cls(config, path, resource_name="r.json")
        changed = {"S": {"caller_name": "c", key: bad}, "T": {}}
        config["S"][key] = bad
        for again in (changed, config, changed):
            with pytest.raises(ValueError, match=f"^r.json: section 'S': \"{key}\" {what}"):
                cls(again, path, resource_name="r.json")
        config["S"][key] = good
        cls(config, path, resource_name="r.json")
        if reader != "SingleRowTsvReader":
            SingleRowTsvReader(changed, write_file("smn.tsv", "A\n1\n"))

    def test_without_resource_name(self, write_file):
        path = write_file("smn.tsv", "A\n1\n")
        with pytest.raises(ValueError, match="^reader configuration: section 'SMN': \"table\""):
            SingleRowTsvReader({"SMN": {"table": "no"}}, path)

    @pytest.mark.parametrize(
        "settings",
        [{"decimals": None}, {"decimals": -400}, {"decimals": {"A": None, "B": 0}}, {"table": False},
         {"lift": []}, {"text_fields": None}, {"null_values": []}, {"table": None, "lift": None}],
    )
    def test_accepted_settings(self, write_file, settings):
        SingleRowTsvReader({"SMN": settings}, write_file("smn.tsv", "A\n1\n"))


class TestBuildResultTables:
    def test_absent_table_section_gives_an_empty_list(self, write_file):
        path = write_file("smn.tsv", "A\n1\n")
        config = {"Fusions": {"caller_name": "c", "table": True}, "TMB": {"table": False}, "MSI": {}}
        result = SingleRowTsvReader(config, path).build_result({})
        assert result == {
            "FUSIONS": {"data": [], "caller_name": "c", "status": "not_assessed"},
            "TMB": {"data": {}, "caller_name": None, "status": "not_assessed"},
            "MSI": {"data": {}, "caller_name": None, "status": "not_assessed"},
        }

    def test_present_table_data_is_kept(self, write_file):
        path = write_file("smn.tsv", "A\n1\n")
        reader = SingleRowTsvReader({"Fusions": {"table": True}}, path)
        rows = [{"Gene": "EML4-ALK"}]
        assert reader.build_result({"Fusions": rows})["FUSIONS"]["data"] is rows
        assert reader.build_result({"Fusions": {}})["FUSIONS"]["data"] == {}
