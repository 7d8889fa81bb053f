import math
import sys

import pytest

from CorvaneFileParser.Models import ConditionOperator as Op
from CorvaneFileParser.Models import ValueRule

table_module = sys.modules["CorvaneFileParser.Models.ValueRule"]


class ListChild(list):
    pass


class PosingAsInt:
    """Claims int through __class__, as isinstance honours."""

    __class__ = int

    def __gt__(self, other):
        return "compared"


def holds(op, checked, target):
    return ValueRule(operator=op, value=target, message="m").check(checked)


@pytest.mark.parametrize(
    "op, checked, target, expected",
    [
        (Op.GT, 5, 3, True),
        (Op.GT, "5", 3, False),  # no conversion and no error
        (Op.GT, None, 3, False),
        (Op.GT, 7, 5, True),  # checked value on the left
        (Op.LT, 7, 5, False),
        (Op.GE, True, 1, True),  # booleans are integers
        (Op.LE, False, 0, True),
        (Op.LT, math.nan, 1, False),
        (Op.GT, [9], 1, False),
        (Op.GT, PosingAsInt(), 1, "compared"),  # host's result, unchanged
        (Op.EQ, 2.0, 2, True),
        (Op.EQ, "1", 1, False),
        (Op.EQ, None, None, True),
        (Op.NE, "a", "A", True),
        (Op.CONTAINS, "deletion", "del", True),
        (Op.CONTAINS, ["del"], "del", True),
        (Op.CONTAINS, [1, 3], 3, True),
        (Op.CONTAINS, {3}, 3, True),
        (Op.CONTAINS, ListChild([3]), 3, True),
        (Op.CONTAINS, (3,), 3, False),
        (Op.CONTAINS, frozenset({3}), 3, False),
        (Op.CONTAINS, {3: 1}, 3, False),
        (Op.CONTAINS, 3, 3, False),
        (Op.CONTAINS, None, 3, False),
        (Op.CONTAINS, "", "x", False),
        (Op.CONTAINS, "abc", "", True),
    ],
)
def test_operator_table(op, checked, target, expected):
    result = holds(op, checked, target)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "op, checked, target, error, text",
    [
        (Op.GT, 5, "3", TypeError, "'>' not supported between instances of 'int' and 'str'"),
        (Op.LE, 1.5, None, TypeError, "'<=' not supported"),
        (Op.CONTAINS, "abc", 3, TypeError, "'in <string>' requires string as left operand"),
        (Op.CONTAINS, {1}, [1], TypeError, "unhashable type: 'list'"),
    ],
)
def test_host_errors_propagate(op, checked, target, error, text):
    with pytest.raises(error, match=text.replace("(", r"\(")):
        holds(op, checked, target)


def test_table_order_and_lookup_at_call_time(monkeypatch):
    assert list(table_module.OPERATOR_FUNCS) == list(Op)
    rule = ValueRule(operator=Op.EQ, value=1, message="m")
    monkeypatch.setitem(table_module.OPERATOR_FUNCS, Op.EQ, lambda a, b: ("called", a, b))
    assert rule.check(2) == ("called", 2, 1)
    with pytest.raises(KeyError) as caught:
        ValueRule(operator="EQ", value=1, message="m").check(1)
    assert caught.value.args == ("EQ",)


def test_rule_keeps_operator_value_message_only():
    rule = ValueRule(operator=Op.CONTAINS, value=[1], message="Seen", field="calls")
    assert vars(rule) == {"operator": Op.CONTAINS, "value": [1], "message": "Seen"}
    assert str(rule) == rule.__str__() == "Seen"
    assert ValueRule("bad", None, 7).__str__() == 7
    assert rule.check(value=[1, 2]) is False


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2, 3, 4, 5), {}), ((1, 2, 3), {"mesage": 1}),
                                          ((1, 2, 3, 4), {"operator": 1})])
def test_bad_arguments_are_type_errors(args, kwargs):
    with pytest.raises(TypeError):
        ValueRule(*args, **kwargs)
    with pytest.raises(TypeError):
        ValueRule(1, 2, 3).check(*args, **kwargs)
