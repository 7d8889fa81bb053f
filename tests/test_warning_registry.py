import pytest

from CorvaneFileParser.Parsers.ReportReaderBase import ReportReaderBase
from CorvaneFileParser.Parsers.SingleRowTsvReader import SingleRowTsvReader
from CorvaneFileParser.Warnings import WarningBase, WarningRegistry
from CorvaneFileParser.Warnings.AlleleWarning import AlleleWarning
from CorvaneFileParser.Warnings.HeterozygoteWarning import HeterozygoteWarning
from CorvaneFileParser.Warnings.LysosomalWarning import LysosomalWarning
from CorvaneFileParser.Warnings.MotorNeuronWarning import MotorNeuronWarning
from CorvaneFileParser.Warnings.RuleWarning import RuleWarning


@pytest.mark.parametrize(
    "wtype, cls",
    [("condition", RuleWarning), ("carrier_positive", HeterozygoteWarning),
     ("genotype", AlleleWarning), ("smn", MotorNeuronWarning), ("gba", LysosomalWarning)],
)
def test_each_type_gets_a_new_formatter(wtype, cls):
    warning_config = {"type": wtype, "other": 1}
    first = WarningRegistry.get_formatter(warning_config)
    assert type(first) is cls and isinstance(first, WarningBase)
    assert WarningRegistry.get_formatter(wtype=warning_config) is not first


@pytest.mark.parametrize(
    "wtype, error, message",
    [
        (None, ValueError, "Warning type cannot be None"),
        ("smn", TypeError, "Warning type must be a dict, got str"),
        ([], TypeError, "Warning type must be a dict, got list"),
        ({}, ValueError, "Warning type cannot be empty"),
        ({"type": None}, ValueError, "Warning type cannot be empty"),
        ({"type": ""}, ValueError, "Warning type cannot be empty"),
        ({"type": "SMN"}, ValueError, "Unknown warning type: SMN"),
        ({"type": " smn"}, ValueError, "Unknown warning type:  smn"),
        ({"type": 0}, ValueError, "Unknown warning type: 0"),
        ({"type": ["smn"]}, ValueError, "Unknown warning type: ['smn']"),
    ],
)
def test_registry_refusals(wtype, error, message):
    with pytest.raises(error) as caught:
        WarningRegistry.get_formatter(wtype)
    assert str(caught.value) == message


class FixedReader(ReportReaderBase):
    def __init__(self, config, path, data):
        super().__init__(config, path)
        self.data = data

    def parse(self):
        return self.data


SENTENCE = "Based on the Carrier caller, this sample is <b>Positive</b> for CF"


def reader_config():
    return {
        "rules": {"caller_name": "Rule caller", "warning": {"type": "condition", "conditions": [
            {"field": "cn", "operator": "LT", "value": 2, "message": "Low copy number"},
            {"field": "cn", "operator": "LT", "value": 1, "message": "No copies"},
        ]}},
        "carrier": {"caller_name": "Carrier caller", "warning": {
            "type": "carrier_positive", "name": "Carrier caller", "disease_name": "CF",
            "conditions": [{"field": "zygosity", "operator": "EQ", "value": "het"}]}},
        "quiet": {"caller_name": "Quiet", "warning": {"type": "condition", "conditions": []}},
        "plain": {"caller_name": "Plain", "warning": {}},
    }


def test_section_warnings_through_build_result(tmp_path, capsys):
    path = tmp_path / "calls.json"
    path.write_text("{}")
    data = {"rules": {"cn": 1}, "carrier": {"zygosity": "het"}}
    result = FixedReader(reader_config(), str(path), data).build_result(data)
    assert result == {
        "RULES": {"data": {"cn": 1}, "warning": "Low copy number", "caller_name": "Rule caller",
                  "status": "finding"},
        "CARRIER": {"data": {"zygosity": "het"}, "warning": SENTENCE,
                    "caller_name": "Carrier caller", "status": "finding"},
        "QUIET": {"data": {}, "warning": "", "caller_name": "Quiet", "status": "not_assessed"},
        "PLAIN": {"data": {}, "caller_name": "Plain", "status": "not_assessed"},
    }
    assert [list(entry) for entry in result.values()] == [
        ["data", "warning", "caller_name", "status"]] * 3 + [["data", "caller_name", "status"]]
    assert result["RULES"]["data"] is data["rules"]
    assert capsys.readouterr().out == "Warning triggered by condition: Low copy number\n"


def test_single_row_reader_section_warning(tmp_path):
    path = tmp_path / "smn.tsv"
    path.write_text("smn1CopyNumber\tzygosity\n1\thet\n")
    config = {"smn": {"caller_name": "SMN caller", "warning": {
        "type": "carrier_positive", "caller_name": "SMN caller", "disease_name": "SMA",
        "conditions": [{"field": "smn1CopyNumber", "operator": "LE", "value": 1}]}}}
    reader = SingleRowTsvReader(config, str(path))
    result = reader.build_result(reader.parse())
    assert result == {"SMN": {
        "data": {"smn1CopyNumber": 1, "zygosity": "het"},
        "warning": "Based on the SMN caller, this sample is <b>Positive</b> for SMA",
        "caller_name": "SMN caller", "status": "finding"}}


def test_unknown_type_fails_the_whole_build(tmp_path):
    path = tmp_path / "calls.json"
    path.write_text("{}")
    config = reader_config()
    config["later"] = {"warning": {"type": "smn_v2"}}
    reader = FixedReader(config, str(path), {})
    with pytest.raises(ValueError, match="^Unknown warning type: smn_v2$"):
        reader.build_result({})


def test_null_section_data_gives_empty_sentences_for_every_type(tmp_path):
    path = tmp_path / "calls.json"
    path.write_text("{}")
    config = {
        name: {"caller_name": name, "warning": {"type": name, "conditions": [
            {"field": "cn", "operator": "EQ", "value": None, "message": "m"}]}}
        for name in ("condition", "carrier_positive", "genotype", "smn", "gba", "alpha_globin")
    }
    data = dict.fromkeys(config)
    result = FixedReader(config, str(path), data).build_result(data)
    assert {key: entry["warning"] for key, entry in result.items()} == dict.fromkeys(
        ("CONDITION", "CARRIER_POSITIVE", "GENOTYPE", "SMN", "GBA", "ALPHA_GLOBIN"), "")
    assert {entry["status"] for entry in result.values()} == {"not_assessed"}
    assert all(entry["data"] is None for entry in result.values())
