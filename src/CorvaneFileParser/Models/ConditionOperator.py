"""Comparison operators of a field condition, looked up by member name."""

from enum import Enum


class ConditionOperator(Enum):
    """The operator of a warning condition; settings name it ("GE", "CONTAINS", ...).

    EQ, NE, GT, LT, GE and LE compare the field's value with the condition's
    value (the ordering ones hold only when the field's value is a number);
    CONTAINS holds when the field's value (a text, list or set) contains the
    condition's value.
    """

    EQ = "EQ"
    NE = "NE"
    GT = "GT"
    LT = "LT"
    GE = "GE"
    LE = "LE"
    CONTAINS = "CONTAINS"
