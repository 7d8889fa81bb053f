"""The option table: every run configuration file key it lists is checked by
its kind, and the manifest a run writes is where the summary looks for it."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from CorvaneFileParser import CommandLine, summary
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
    with pytest.raises(SystemExit):
        ReportAssembler.parse_args()
    help_text = capsys.readouterr().out
    for option in CommandLine.OPTIONS:
        for flag in option.flags:
            assert flag in help_text
        if option.dest:
            args = {CommandLine.FLAG: [], CommandLine.PAIRS: ["smn", "b"]}.get(option.takes, ["v"])
            assert CommandLine.parse_plain_command_line([option.flags[-1], *args]) is not None


@pytest.mark.parametrize("name", ["S1.unified.JSON", "S1.unified.json", "S1.out"])
def test_the_summary_finds_the_manifest_of_any_output_name(tmp_path, name):
    examples = Path(__file__).resolve().parent.parent / "examples"
    inputs = [str(path) for path in sorted(examples.glob("sample1.*.tsv"))]
    ReportAssembler({"input_files": inputs, "output_dir": str(tmp_path), "output_json": name}).run()
    row = summary.read_sample(str(tmp_path / name))
    assert row.failure is None and row.manifest_warnings is not None


def test_a_log_file_discovery_would_read_is_refused(tmp_path):
    # Appending the log to a caller file of the input directory changed the
    # input before the run read it.
    (tmp_path / "in").mkdir()
    table = tmp_path / "in" / "s1.smn.tsv"
    table.write_bytes((Path(__file__).resolve().parent.parent / "examples" / "sample1.smn.tsv").read_bytes())
    before = table.read_bytes()
    result = subprocess.run([str(Path(sys.executable).with_name("corvane-parse")), "--input-dir", "in",
                             "--output-dir", ".", "--log-file", "in/s1.smn.tsv"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 1
    assert result.stderr == ("corvane-parse: error: Log file in/s1.smn.tsv is one of the input files; "
                             "choose another --log-file\n")
    assert table.read_bytes() == before
