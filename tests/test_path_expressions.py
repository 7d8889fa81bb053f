import copy
import sys

import pytest

from CorvaneFileParser.Parsers.JsonExtractReader import (
    _expand_path_matches,
    _remove_nested_value,
    _set_nested_value,
)

ROWS = {"a": [{"c": 1}, {"d": 2}, {"c": 3}]}
PAIR = {"a": [10, 20]}


@pytest.mark.parametrize(
    "node, parts, expected",
    [
        (ROWS, ["a", "*", "c"], [(["a", "0", "c"], 1), (["a", "2", "c"], 3)]),
        ({"a": {"x": 1, "y": 2}}, ["a", "*"], [(["a", "x"], 1), (["a", "y"], 2)]),
        (PAIR, ["a", "1"], [(["a", "1"], 20)]),
        # Indices follow int(): the segment stays as written in the path.
        (PAIR, ["a", "01"], [(["a", "01"], 20)]),
        (PAIR, ["a", " +1 "], [(["a", " +1 "], 20)]),
        (PAIR, ["a", "-0"], [(["a", "-0"], 10)]),
        ({"a": list(range(12))}, ["a", "1_1"], [(["a", "1_1"], 11)]),
        (PAIR, ["a", 1], [(["a", 1], 20)]),
        (PAIR, ["a", "2"], []),
        (PAIR, ["a", "-1"], []),
        (PAIR, ["a", "x"], []),
        (PAIR, ["a", "1.0"], []),
        (PAIR, ["a", "9" * 40], []),
        (PAIR, ["a", None], []),
        ({"a": 5}, ["a", "b"], []),
        ({"a": "text"}, ["a", "0"], []),
        ({"a": None}, ["a", "*"], []),
        (7, ["*"], []),
        ({"A": 1}, ["a"], []),
        # A key spelled "*" cannot be addressed: the wildcard reading wins.
        ({"*": 1, "b": 2}, ["*"], [(["*"], 1), (["b"], 2)]),
        ({1: "x", None: "y"}, ["*"], [(["1"], "x"), (["None"], "y")]),
        ({1: "x"}, [1], [([1], "x")]),
        ([[1, 2], [3]], ["*", "*"], [(["0", "0"], 1), (["0", "1"], 2), (["1", "0"], 3)]),
        (ROWS, [], [([], ROWS)]),
        (ROWS, None, [([], ROWS)]),
    ],
)
def test_expansion(node, parts, expected):
    assert _expand_path_matches(node, parts) == expected


def test_expansion_builds_new_paths_and_keeps_its_arguments():
    prefix, parts = ["root"], ["a", "*"]
    node = {"a": {"x": {"deep": 1}, "y": 2}}
    matches = _expand_path_matches(node, parts, prefix)
    assert matches == [(["root", "a", "x"], {"deep": 1}), (["root", "a", "y"], 2)]
    assert all(type(m) is tuple and type(m[0]) is list for m in matches)
    assert matches[0][0] is not matches[1][0]
    assert matches[0][1] is node["a"]["x"]  # the document is not copied
    assert prefix == ["root"] and parts == ["a", "*"]
    only = _expand_path_matches(node, [], prefix)
    assert only == [(["root"], node)] and only[0][0] is not prefix


def test_expansion_errors_are_python_exceptions():
    with pytest.raises(TypeError, match="unhashable"):
        _expand_path_matches({"a": 1}, [["a"]])
    # Far deeper than the host allows: a RecursionError, not a crash.
    deep = node = {}
    for _ in range(100_000):
        node["k"] = node = {}
    with pytest.raises(RecursionError):
        _expand_path_matches(deep, ["k"] * 100_000)
    assert _expand_path_matches({"a": 1}, ["a"] * 1_000_000) == []


def test_expansion_notices_a_mapping_changed_under_it():
    class Key:
        def __init__(self, owner):
            self.owner = owner

        def __str__(self):
            self.owner["added"] = 1
            return "key"

    node = {}
    node[Key(node)] = 1
    with pytest.raises(RuntimeError, match="changed size"):
        _expand_path_matches(node, ["*"])


@pytest.mark.parametrize(
    "target, parts, expected",
    [
        ({}, ["a", "0", "c"], {"a": {"0": {"c": 5}}}),
        ({"a": 3}, ["a", "b"], {"a": {"b": 5}}),
        ({"a": [1, 2]}, ["a", "1"], {"a": {"1": 5}}),
        ({"a": {"b": 1, "c": 2}}, ["a", "b"], {"a": {"b": 5, "c": 2}}),
        ({"a": 1}, ("a",), {"a": 5}),
    ],
)
def test_set(target, parts, expected):
    assert _set_nested_value(target, parts, 5) is None
    assert target == expected


@pytest.mark.parametrize(
    "target, parts, error",
    [
        ({}, [], IndexError),
        ([], ["a"], TypeError),
        (None, ["a", "b"], TypeError),
        ({}, None, TypeError),
    ],
)
def test_set_failures(target, parts, error):
    with pytest.raises(error):
        _set_nested_value(target, parts, 1)


@pytest.mark.parametrize(
    "parts, expected",
    [
        (["variants", "*", "af"], {"variants": [{"dp": 1}, {}, "x"], "n": {"af": 3}}),
        (["variants", "0"], None),  # list items are never removed
        (["n", "af"], {"variants": [{"af": 1, "dp": 1}, {"af": 2}, "x"], "n": {}}),
        (["*", "*", "af"], {"variants": [{"dp": 1}, {}, "x"], "n": {"af": 3}}),
        (["variants"], {"n": {"af": 3}}),
        (["missing", "*"], None),
        (["n", "af", "deeper"], None),
        ([], None),
    ],
)
def test_remove(parts, expected):
    original = {"variants": [{"af": 1, "dp": 1}, {"af": 2}, "x"], "n": {"af": 3}}
    target = copy.deepcopy(original)
    assert _remove_nested_value(target, parts) is None
    assert target == (original if expected is None else expected)


def test_calls_leave_no_references_behind():
    leaf = "a-leaf-value"
    node = {"a": [{"b": leaf}, {"b": leaf}], "c": {"b": leaf}}
    before = sys.getrefcount(leaf)
    for _ in range(100):
        _expand_path_matches(node, ["*", "*", "b"])
        _expand_path_matches(node, ["a", "x"])
        target = {}
        _set_nested_value(target, ["x", "y"], leaf)
        _remove_nested_value(copy.deepcopy(target), ["*", "y"])
        del target
    assert sys.getrefcount(leaf) == before
