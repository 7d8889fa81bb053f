import abc
import math
import os
import tracemalloc

import pytest

from CorvaneFileParser.Parsers.ReportReaderBase import ReportReaderBase
from CorvaneFileParser.Parsers.SingleRowTsvReader import SingleRowTsvReader

fmt = ReportReaderBase._format_value


class DictReader(ReportReaderBase):
    """A reader whose parse returns what it was given."""

    def __init__(self, section_config, file_path, parsed=None):
        super().__init__(section_config, file_path)
        self.parsed = parsed

    def parse(self):
        return self.parsed


@pytest.fixture
def tsv(write_file):
    return write_file("sample.tsv", "a\tb\n1\t2\n")


class TestClassShape:
    def test_is_abstract_base(self, tsv):
        assert issubclass(ReportReaderBase, abc.ABC)
        assert ReportReaderBase.__abstractmethods__ == frozenset({"parse"})
        with pytest.raises(TypeError, match="abstract"):
            ReportReaderBase({}, tsv)

    def test_python_subclasses(self, tsv):
        class Incomplete(ReportReaderBase):
            pass

        with pytest.raises(TypeError):
            Incomplete({}, tsv)

        class FromSingleRow(SingleRowTsvReader):
            def parse(self):
                return {"x": super().parse()}

        reader = FromSingleRow({"S": {}}, tsv)
        assert isinstance(reader, ReportReaderBase)
        assert reader.parse() == {"x": {"S": {"a": 1, "b": 2}}}

    def test_format_value_is_static(self):
        assert isinstance(ReportReaderBase.__dict__["_format_value"], staticmethod)
        assert SingleRowTsvReader._format_value("7") == 7

    def test_keyword_arguments(self, tsv):
        reader = SingleRowTsvReader(section_config={"S": {}}, file_path=tsv)
        assert reader.file_path == tsv
        assert reader.build_result(data={}) == {
            "S": {"data": {}, "caller_name": None, "status": "not_assessed"}}


class TestConstructor:
    @pytest.mark.parametrize(
        "path, error, message",
        [
            ("", ValueError, "Filename cannot be empty"),
            (None, ValueError, "Filename cannot be empty"),
            ([], ValueError, "Filename cannot be empty"),
            (5, TypeError, "Filename must be a string, got int"),
            (["a.tsv"], TypeError, "Filename must be a string, got list"),
            ("report.txt", ValueError, "Filename must be in lowercase"),
            ("report.tsv.bak", ValueError, "Filename must be in lowercase"),
        ],
    )
    def test_refusals_in_order(self, path, error, message):
        config = {"S": {}}
        with pytest.raises(error) as caught:
            DictReader(config, path)
        assert str(caught.value) == message

    def test_configuration_stored_before_checks(self):
        reader = DictReader.__new__(DictReader)
        config = {"S": {}}
        with pytest.raises(ValueError):
            ReportReaderBase.__init__(reader, config, "")
        assert reader.section_config is config

    def test_existing_path_kept_and_upper_case_suffix_accepted(self, write_file):
        path = write_file("OUT.JSON", "{}")
        reader = DictReader({}, path)
        assert reader.file_path == path

    def test_directory_counts_as_existing(self, tmp_path):
        folder = tmp_path / "run.tsv"
        folder.mkdir()
        assert DictReader({}, str(folder)).file_path == str(folder)

    def test_rerooted_at_package_directory(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        import CorvaneFileParser

        package_dir = os.path.dirname(os.path.realpath(CorvaneFileParser.__file__))
        reader = DictReader({}, "smn_tsv_config.json")
        assert reader.file_path == os.path.join(package_dir, "smn_tsv_config.json")

        with pytest.raises(FileNotFoundError) as caught:
            DictReader({}, "missing.tsv")
        assert str(caught.value) == "File not found: " + os.path.join(package_dir, "missing.tsv")


class TestBuildResult:
    def test_entries_in_configuration_order_with_title(self, tsv):
        data = {"smn": {"cn": 2}, "extra": {"x": 1}}
        config = {"smn": {"caller_name": "SMN caller"}, "gba": {}, "Mixed.Case": {"caller_name": 0}}
        result = DictReader(config, tsv).build_result(data)
        assert list(result) == ["SMN", "GBA", "MIXED.CASE"]
        assert result["SMN"] == {"data": {"cn": 2}, "caller_name": "SMN caller",
                                 "status": "normal"}
        assert result["SMN"]["data"] is data["smn"]
        assert list(result["SMN"]) == ["data", "caller_name", "status"]
        assert result["GBA"] == {"data": {}, "caller_name": None, "status": "not_assessed"}
        assert result["MIXED.CASE"]["caller_name"] == 0

    def test_entry_names_are_the_host_upper_case_of_random_names(self, tsv):
        rng = __import__("random").Random(41)
        alphabet = [chr(c) for c in range(1, 128)] + ["\u00df", "\u00e9", "\u0131", "\U0001d4b6"]
        names = ["".join(rng.choice(alphabet) for _ in range(rng.randrange(12))) for _ in range(400)]
        result = DictReader(dict.fromkeys(names, {}), tsv).build_result({})
        assert list(result) == list(dict.fromkeys(name.upper() for name in names))

    def test_section_names_differing_in_case_share_one_entry(self, tsv):
        config = {"smn": {"caller_name": "first"}, "other": {}, "SMN": {"caller_name": "second"}}
        result = DictReader(config, tsv).build_result({"smn": 1, "SMN": 2})
        assert list(result) == ["SMN", "OTHER"]
        assert result["SMN"] == {"data": 2, "caller_name": "second", "status": "normal"}

    @pytest.mark.parametrize("fields", [None, {"a": None}, ["a"], {}])
    def test_fields_entry_does_not_drop_the_section(self, tsv, fields):
        result = DictReader({"S": {"fields": fields}}, tsv).build_result({"S": {"a": 1}})
        assert result == {"S": {"data": {"a": 1}, "caller_name": None, "status": "normal"}}

    @pytest.mark.parametrize("warning_config", [None, {}, "", 0])
    def test_false_warning_settings_mean_no_warning(self, tsv, warning_config):
        result = DictReader({"S": {"warning": warning_config}}, tsv).build_result({})
        assert list(result["S"]) == ["data", "caller_name", "status"]

    def test_present_null_data_is_kept(self, tsv):
        assert DictReader({"S": {}}, tsv).build_result({"S": None})["S"]["data"] is None

    def test_inputs_not_changed(self, tsv):
        config = {"S": {"caller_name": "c"}}
        data = {"S": {"a": "1"}}
        DictReader(config, tsv).build_result(data)
        assert config == {"S": {"caller_name": "c"}} and data == {"S": {"a": "1"}}

    @pytest.mark.parametrize(
        "config, data",
        [({"S": None}, {}), ({"S": {}}, None), ({5: {}}, {})],
    )
    def test_malformed_input_raises_attribute_error(self, tsv, config, data):
        with pytest.raises(AttributeError):
            DictReader(config, tsv).build_result(data)


class TestFormatValue:
    @pytest.mark.parametrize(
        "raw, expected",
        [
            ("TRUE", True), ("false", False), ("Null", None), ("NONE", None), ("", None),
            (" 42 ", 42), ("007", "007"), ("-5", -5), ("+3", 3), ("1_000", 1000), ("-0", 0),
            ("\u0663", 3),  # int() accepts Unicode digits
            ("\u0660\u0663", "\u0660\u0663"), ("9" * 15, int("9" * 15)), ("9" * 16, "9" * 16),
            ("3.14159", 3.14), ("1e3", 1000.0), ("-2.675", -2.67), (" 1E-3 ", 0.0),
            ("0x10", "0x10"), ("True ", "True "), ("1__0", "1__0"), ("BRCA1", "BRCA1"),
            ("c.123A>G", "c.123A>G"), ("12 34", "12 34"), ("in", "in"), ("e", "e"),
            (2.0, 2.0), (2.675, 2.67), (7, 7), (True, True), (None, None), ((1, "2"), (1, "2")),
            (["", None, "5"], [5]), ([""], None), (["null"], [None]), ([], None),
            ([[""], ["1"]], [None, [1]]), ({"a": "false", "b": {"c": "2.5"}}, {"a": False, "b": {"c": 2.5}}),
            ({}, {}),
        ],
    )
    def test_table(self, raw, expected):
        result = fmt(raw)
        assert result == expected
        assert type(result) is type(expected)

    @pytest.mark.parametrize("raw", ["inf", "-Infinity", "nan", "NaN", " +iNF ", "1e999", "-1" + "0" * 400 + ".5"])
    def test_texts_of_non_finite_numbers_stay_text(self, raw):
        assert fmt(raw) == raw

    @pytest.mark.parametrize("raw", [math.nan, math.inf, -math.inf])
    def test_non_finite_floats_become_null(self, raw):
        assert fmt(raw) is None and fmt({"a": [1, raw]}) == {"a": [1, None]}

    def test_huge_digit_strings_stay_text(self):
        assert fmt("9" * 4000) == "9" * 4000 and fmt("9" * 5000) == "9" * 5000

    def test_containers_are_rebuilt_not_changed(self):
        inner = ["1", ""]
        raw = {"k": inner}
        out = fmt(raw)
        assert out == {"k": [1]} and out is not raw and raw == {"k": ["1", ""]}

    def test_subclasses(self):
        class Text(str):
            pass

        class Real(float):
            pass

        class Mapping(dict):
            pass

        assert fmt(Text("12")) == 12
        assert fmt(Real(1.234)) == 1.23
        assert type(fmt(Mapping(a="1"))) is dict

    def test_only_value_error_is_swallowed(self):
        class Loud(str):
            def __int__(self):
                raise KeyError("boom")

        with pytest.raises(KeyError):
            fmt(Loud("12"))

    def test_deep_nesting_raises_recursion_error(self):
        deep = "1"
        for _ in range(100_000):
            deep = [deep]
        with pytest.raises(RecursionError):
            fmt(deep)
