"""The option table: every run configuration file key it lists is checked by
its kind, and the manifest a run writes is where the summary looks for it."""

import json
import sys

import pytest

from CorvaneFileParser import CommandLine
from CorvaneFileParser.ReportAssembler import ReportAssembler, RequestError

from test_driver import Captured

# A value that fits and one that does not, with how the message names it,
# for each kind of file key.
KINDS = {
    "text": ("x", 3, "a number"),
    "text list": (["a"], ["a", 1], "an array holding other values than strings"),
    "object": ({}, [], "an array"),
    "text map": ({"a.tsv": "smn"}, {"a": 1}, "an object holding other values than strings"),
    "boolean": (True, "yes", "a string"),
    "count": (2, 0, "another number"),
}
FILE_KEYS = [option for option in CommandLine.OPTIONS if option.file_kind]


@pytest.mark.parametrize("option", FILE_KEYS, ids=lambda option: option.request_key)
def test_every_file_key_is_checked_by_its_kind(tmp_path, monkeypatch, option):
    good, bad, found = KINDS[option.file_kind]
    path = tmp_path / "run.json"
    monkeypatch.setattr(sys, "argv", ["corvane-parse", "-c", str(path)])
    path.write_text(json.dumps({option.request_key: good}))
    Captured.requests = []
    Captured.from_cli()
    assert Captured.requests[0][option.request_key] == good
    path.write_text(json.dumps({option.request_key: bad}))
    with pytest.raises(RequestError) as info:
        Captured.from_cli()
    assert str(info.value) == (f'Run configuration file {path}: "{option.request_key}" must be '
                               f"{CommandLine.EXPECTED[option.file_kind]}, not {found}")


def test_unknown_keys_are_named_with_the_table_keys_in_their_order(tmp_path):
    path = tmp_path / "run.json"
    path.write_text('{"zzzz": 1}')
    with pytest.raises(RequestError) as info:
        CommandLine.load_request_file(str(path))
    ranked = sorted(FILE_KEYS, key=lambda option: option.file_rank)
    assert str(info.value).endswith(
        "(known keys: " + ", ".join(option.request_key for option in ranked) + ")")
    assert [option.file_rank for option in ranked] == list(range(len(ranked)))


def test_every_option_is_in_the_help_and_on_the_plain_path(monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", ["corvane-parse", "--help"])
    with pytest.raises(SystemExit) as info:
        ReportAssembler.parse_args()
    help_text = capsys.readouterr().out
    assert info.value.code == 0 and "Parse special callers outputs into unified JSON" in help_text
    for text in ("-c, --config FILE", "Path to config JSON file", "Input file(s)", "--input-files F [F ...]",
                 "Output JSON filename", "--input-dir DIR", "--output-json NAME", "--sample ID", "--log-file FILE",
                 "--output-dir DIR", "--strict", "--debug", "--version"):
        assert text in help_text
    for option in CommandLine.OPTIONS:
        for flag in option.flags:
            assert flag in help_text
        if option.dest:
            args = {CommandLine.FLAG: [], CommandLine.PAIRS: ["smn", "b"]}.get(option.takes, ["v"])
            assert CommandLine.parse_plain_command_line([option.flags[-1], *args]) is not None
