import contextlib
import random
import io

import pytest

from CorvaneFileParser.Models import ConditionOperator as Op
from CorvaneFileParser.Warnings.HeterozygoteWarning import HeterozygoteWarning
from CorvaneFileParser.Warnings.RuleWarning import RuleWarning


def cond(operator, value, message, **extra):
    return {"operator": operator, "value": value, "message": message, **extra}


def test_messages_joined_and_printed_in_order(capsys):
    warning_config = {"type": "condition", "conditions": [
        cond("GE", 2, "A", field="cn"),
        cond("EQ", "x", "skipped", field="cn"),
        cond("CONTAINS", "del", "B", field="calls"),
    ]}
    text = RuleWarning().format(warning_config, {"cn": 2, "calls": ["del", "dup"]})
    assert text == "A. B"
    assert capsys.readouterr().out == (
        "Warning triggered by condition: A\nWarning triggered by condition: B\n")
    assert [c["operator"] for c in warning_config["conditions"]] == [Op.GE, Op.EQ, Op.CONTAINS]
    # Converted entries are formatted again with the same outcome.
    assert RuleWarning().format(warning_config, {"cn": 2, "calls": ["del"]}) == "A. B"


def test_output_follows_a_redirected_stdout():
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        RuleWarning().format({"conditions": [cond("EQ", 1, "One")]}, 1)
    assert buffer.getvalue() == "Warning triggered by condition: One\n"


def test_repeated_message_is_neither_evaluated_nor_repeated(capsys):
    # The second rule would raise (int > str) if it were checked.
    conditions = [cond("GT", 1, "Same", field="n"), cond("GT", "text", "Same", field="n")]
    assert RuleWarning().format({"conditions": conditions}, {"n": 5}) == "Same"
    assert capsys.readouterr().out.count("\n") == 1


@pytest.mark.parametrize(
    "field, data, expected",
    [
        ("n", {"n": [3]}, "hit"),       # the field's own value
        ("m", {"n": [3]}, ""),          # key absent: the whole mapping is tested
        (None, {"n": [3]}, ""),
        ("n", [3], "hit"),              # non-mapping data is tested whole
        ("n", (3,), ""),
    ],
)
def test_field_choice(field, data, expected):
    warning_config = {"conditions": [cond("CONTAINS", 3, "hit", field=field)]}
    assert RuleWarning().format(warning_config, data) == expected


def test_whole_mapping_tested_when_field_missing():
    warning_config = {"conditions": [cond("EQ", {"n": 3}, "whole")]}
    assert RuleWarning().format(warning_config, {"n": 3}) == "whole"
    assert RuleWarning().format({}, {"n": 3}) == ""


@pytest.mark.parametrize(
    "conditions, error, text",
    [
        ([["EQ"]], TypeError, "list indices must be integers"),
        ([{"value": 1, "message": "m"}], KeyError, "'operator'"),
        ([cond("eq", 1, "m")], KeyError, "'eq'"),
        ([{"operator": "EQ", "value": 1}], TypeError, r"__init__\(\)"),
        ([cond("EQ", 1, "m", note="x")], TypeError, r"__init__\(\)"),
        ([cond("GT", "a", "m")], TypeError, "'>' not supported"),
    ],
)
def test_malformed_rule_specs_raise_host_errors(conditions, error, text, capsys):
    with pytest.raises(error, match=text):
        RuleWarning().format({"conditions": conditions}, 1)
    assert capsys.readouterr().out == ""


SENTENCE = "Based on the X, this sample is <b>Positive</b> for Y"


def carrier(conditions, **names):
    return {"type": "carrier_positive", "conditions": conditions, **names}


@pytest.mark.parametrize(
    "conditions, data, expected",
    [
        ([{"field": "status", "operator": "EQ", "value": "carrier"}],
         {"status": "carrier"}, SENTENCE),
        ([{"field": "copies", "operator": "LT", "value": 2}], {"copies": 2}, ""),
        ([{"field": "copies", "operator": "LT", "value": 2, "note": "ignored"}],
         {"copies": 1}, SENTENCE),
        ([{"field": "gone", "operator": "EQ", "value": {"a": 1}}], {"a": 1}, SENTENCE),
        ([{"operator": "EQ"}], {"a": None}, ""),
        ([{"field": "a", "operator": "EQ"}], {"a": None}, SENTENCE),  # value defaults to None
        ([], {"copies": 1}, ""),
    ],
)
def test_carrier_positive_checks_the_field_value(conditions, data, expected):
    warning_config = carrier(conditions, caller_name="X", disease_name="Y")
    assert HeterozygoteWarning().format(warning_config, data) == expected


def test_carrier_positive_first_holding_condition_decides():
    first = {"field": "n", "operator": "GT", "value": 5}
    second = {"field": "n", "operator": "GE", "value": 1}
    third = {"field": "n", "operator": "GE", "value": 1}
    warning_config = carrier([first, second, third], name="X", disease="Y", caller_name="")
    assert HeterozygoteWarning().format(warning_config, {"n": 2}) == SENTENCE
    assert (first["operator"], second["operator"], third["operator"]) == (Op.GT, Op.GE, "GE")
    assert HeterozygoteWarning().format(warning_config, {"n": 2}) == SENTENCE


def test_carrier_positive_names_and_absent_conditions():
    assert HeterozygoteWarning().format({"type": "carrier_positive"}, {}) == ""
    warning_config = carrier([{"operator": "NE", "value": 1}])
    assert HeterozygoteWarning().format(warning_config, 2) == (
        "Based on the None, this sample is <b>Positive</b> for None")


@pytest.mark.parametrize(
    "conditions, error",
    [(5, TypeError), ({"a": 1}, TypeError), ([{"value": 1}], KeyError),
     ([{"operator": "Eq"}], KeyError)],
)
def test_malformed_carrier_specs_raise(conditions, error):
    with pytest.raises(error):
        HeterozygoteWarning().format(carrier(conditions), {})


@pytest.mark.parametrize("formatter", [RuleWarning, HeterozygoteWarning])
@pytest.mark.parametrize("config, data", [
    ({"conditions": None}, {"n": 1}),
    ({}, {"n": 1}),
    (None, {"n": 1}),
    # No data is nothing there, whatever the conditions ask.
    ({"conditions": [cond("EQ", None, "m", field="n")]}, None),
    ({"conditions": [cond("GE", 1, "m", field="variants")]}, {"variants": None}),
    ({"conditions": [cond("CONTAINS", "del", "m", field="calls")]}, {"calls": None}),
])
def test_null_conditions_or_data_give_no_sentence(formatter, config, data, capsys):
    assert formatter().format(config, data) == ""
    assert capsys.readouterr().out == ""


def test_conditions_read_without_a_rule_object_match_the_rule_objects(monkeypatch):
    # Seeded conditions and data: assess() and what it prints are the same
    # whether the loaded ValueRule is used directly or through a replaced method.
    from CorvaneFileParser.Models import ValueRule

    rng = random.Random(9090)
    values = [None, True, False, 0, 1, 2, 2.0, 2.5, -1, "", "x", "del", "PASS", [1, "x"], {"n": 2}]
    keys = ["field", "operator", "value", "message", "no_call"]

    def condition():
        entry = {"field": rng.choice(["n", "m", "calls"]), "operator": rng.choice(list(Op.__members__)),
                 "value": rng.choice(values), "message": rng.choice(["A", "B", "C", 7])}
        if rng.random() < 0.2:
            entry["no_call"] = rng.choice([True, False, 1])
        if rng.random() < 0.1:
            del entry[rng.choice(keys[:4])]
        if rng.random() < 0.1:
            entry["unit"] = "x"
        return entry

    def run(config, data):
        buffer = io.StringIO()
        with contextlib.redirect_stdout(buffer):
            try:
                outcome = RuleWarning().assess(config, data)
            except Exception as error:  # the same error either way
                outcome = (type(error), str(error))
        return outcome, buffer.getvalue()

    original = ValueRule.check
    for _ in range(400):
        conditions = [condition() for _ in range(rng.randint(1, 5))]
        data = {k: rng.choice(values) for k in rng.sample(["n", "m", "calls"], rng.randint(0, 3))}
        if rng.random() < 0.2:
            data = rng.choice(values)
        direct = run({"conditions": [dict(c) for c in conditions]}, data)
        with monkeypatch.context() as patched:
            patched.setattr(ValueRule, "check", lambda self, value: original(self, value))
            through_rules = run({"conditions": [dict(c) for c in conditions]}, data)
        assert direct == through_rules, (conditions, data)
