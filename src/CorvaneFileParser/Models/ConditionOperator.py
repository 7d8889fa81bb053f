"""Comparison operators of a field condition, looked up by member name."""

from enum import Enum


class ConditionOperator(Enum):
    EQ = "EQ"
    NE = "NE"
    GT = "GT"
    LT = "LT"
    GE = "GE"
    LE = "LE"
    CONTAINS = "CONTAINS"
