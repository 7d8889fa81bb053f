import argparse
import errno
import json
import logging
import math
import os
import stat
import sys

import pytest

import CorvaneFileParser.ReportAssembler as assembler_module
from CorvaneFileParser.CorvaneConstants import CorvaneConstants
from CorvaneFileParser.Parsers.SingleRowTsvReader import SingleRowTsvReader
from CorvaneFileParser.ReportAssembler import ReportAssembler
from stub_readers import DocumentReader, use_factory, write_doc

C = CorvaneConstants
threshold = ReportAssembler._threshold_warning


class StubFactory:
    """Stands in for the reader factory: .json files through DocumentReader,
    .tsv files through the single-row reader, and a record of every path."""

    paths = []

    @staticmethod
    def get_parser(file_path):
        StubFactory.paths.append(file_path)
        if file_path.lower().endswith(".json"):
            return DocumentReader(file_path)
        return SingleRowTsvReader({"ROW": {"caller_name": "row caller"}}, file_path)


@pytest.fixture
def stub_factory(monkeypatch):
    StubFactory.paths = []
    return use_factory(monkeypatch, StubFactory)


def infos(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.INFO]


def warnings(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]


# --- construction ----------------------------------------------------------


def test_defaults_for_absent_keys():
    first, second = ReportAssembler({}), ReportAssembler(json_request={})
    assert vars(first) == {
        "output_dir": ".",
        "output_json": "corvane_output.json",
        "input_dir": ".",
        "input_files": [],
        "strict": False,
        "sample": None,
        "sample_aliases": [],
        "input_kinds": {},
        "durable": True,
    }
    assert list(vars(first)) == [
        "output_dir", "output_json", "input_dir", "input_files", "strict", "sample",
        "sample_aliases", "input_kinds", "durable",
    ]
    assert first.input_files is not second.input_files
    assert first.input_kinds is not second.input_kinds


def test_request_values_taken_as_they_are():
    files = ["a.json"]
    request = {
        C.OUTPUT_DIR: None,
        C.OUTPUT_JSON: "",
        C.INPUT_DIR: 7,
        "input_files": files,
        C.MAP_FILES: {"a.json": {"x": 1}},
        C.STRICT: "yes",
        C.SAMPLE: 5,
        "other": 1,
    }
    driver = ReportAssembler(request)
    assert vars(driver) == {
        "output_dir": None,
        "output_json": "",
        "input_dir": 7,
        "input_files": files,
        "strict": "yes",
        "sample": 5,
        "sample_aliases": [],
        "input_kinds": {},
        "durable": True,
    }
    assert driver.input_files is files


def test_request_must_be_a_mapping():
    with pytest.raises(AttributeError):
        ReportAssembler(["input_files"])


# --- discovery and resolution ----------------------------------------------


def test_discovery_by_suffix_in_listing_order(tmp_path, stub_factory):
    write_doc(tmp_path / "A.JSON", {"a": {"x": "1"}})
    (tmp_path / "b.TsV").write_text("h\n2\n")
    (tmp_path / "c.txt").write_text("ignored")
    (tmp_path / "d.json").mkdir()
    (tmp_path / "e.json.bak").write_text("ignored")
    driver = ReportAssembler({C.INPUT_DIR: str(tmp_path)})

    result = driver.run(return_dict=True)

    kept = [n for n in os.listdir(tmp_path) if n in ("A.JSON", "b.TsV")]
    expected = [os.path.join(str(tmp_path), n) for n in kept]
    assert stub_factory.paths == expected
    assert driver.input_files == expected
    assert result["A"]["data"] == {"x": "1"}
    assert result["ROW"]["data"] == {"h": 2}

    # A second run reads the same files again without listing the directory.
    write_doc(tmp_path / "late.json", {"late": {}})
    stub_factory.paths.clear()
    assert driver.run(return_dict=True) == result
    assert stub_factory.paths == expected


@pytest.mark.parametrize("kind", ["empty", "blank", "only_other_files"])
def test_no_input_files(tmp_path, stub_factory, kind, caplog):
    caplog.set_level(logging.INFO)
    input_dir = {"blank": ""}.get(kind, str(tmp_path))
    if kind == "only_other_files":
        (tmp_path / "readme.txt").write_text("x")
        (tmp_path / "sub.tsv").mkdir()
    driver = ReportAssembler({C.INPUT_DIR: input_dir, C.OUTPUT_DIR: str(tmp_path)})
    with pytest.raises(ValueError) as info:
        driver.run()
    assert str(info.value) == "No input files found in configuration or input directory."
    assert infos(caplog) == ["Started parsing Corvane files"]
    assert not (tmp_path / "corvane_output.json").exists()


def test_resolution_and_missing_files(tmp_path, stub_factory, caplog, monkeypatch):
    caplog.set_level(logging.INFO)
    inputs = tmp_path / "in"
    inputs.mkdir()
    write_doc(inputs / "under.json", {"u": {}})
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    write_doc(cwd / "here.json", {"h": {}})
    # The same name in both places: the one as given (current directory) wins.
    write_doc(cwd / "both.json", {"from_cwd": {}})
    write_doc(inputs / "both.json", {"from_input_dir": {}})
    monkeypatch.chdir(cwd)

    driver = ReportAssembler(
        {C.INPUT_DIR: str(inputs), "input_files": ["under.json", "nowhere.json", "here.json", "both.json"]}
    )
    result = driver.run(return_dict=True)

    assert stub_factory.paths == [os.path.join(str(inputs), "under.json"), "here.json", "both.json"]
    assert list(result) == ["U", "H", "FROM_CWD"]
    assert warnings(caplog) == ["File nowhere.json not found. Skipping."]


# --- merge and run -----------------------------------------------------------


def test_merge_later_value_first_position(tmp_path, stub_factory):
    first = write_doc(tmp_path / "1.json", {"a": {"v": 1}, "b": {"v": 2}})
    second = write_doc(tmp_path / "2.json", {"c": {"v": 3}, "B": {"v": 4}})
    result = ReportAssembler({"input_files": [first, second]}).run(return_dict=True)
    assert list(result) == ["A", "B", "C"]
    assert result["B"] == {"data": {"v": 4}, "caller_name": "2.json", "status": "normal"}


def test_subclass_overrides_are_used(tmp_path, stub_factory):
    doc = write_doc(tmp_path / "1.json", {"a": {}})

    class Tagging(ReportAssembler):
        def parse_by_config(self, parser):
            result = super().parse_by_config(parser)
            return {key.lower(): value for key, value in result.items()}

    class Fixed(ReportAssembler):
        def parse_files(self):
            return {"fixed": True}

    assert list(Tagging({"input_files": [doc]}).run(True)) == ["a"]
    assert Fixed({}).run(return_dict=1) == {"fixed": True}


def test_reader_errors_stop_the_run(tmp_path, stub_factory):
    out = tmp_path / "corvane_output.json"
    out.write_text("earlier")
    good = write_doc(tmp_path / "ok.json", {"a": {}})
    broken = tmp_path / "broken.json"
    broken.write_text("{")
    later = write_doc(tmp_path / "later.json", {"b": {}})
    driver = ReportAssembler(
        {C.OUTPUT_DIR: str(tmp_path), "input_files": [good, str(broken), later]}
    )
    with pytest.raises(json.JSONDecodeError):
        driver.run()
    assert stub_factory.paths == [good, str(broken)]
    assert out.read_text() == "earlier"


def test_unsupported_file_stops_the_run(tmp_path):
    out = tmp_path / "corvane_output.json"
    out.write_text("earlier")
    bad = tmp_path / "notes.txt"
    bad.write_text("x")
    driver = ReportAssembler({C.OUTPUT_DIR: str(tmp_path), "input_files": [str(bad)]})
    with pytest.raises(ValueError) as info:
        driver.run()
    assert str(info.value) == "Unsupported file type: " + str(bad)
    assert out.read_text() == "earlier"


@pytest.mark.parametrize("flag", [True, 1, "yes"])
def test_return_dict_writes_nothing(tmp_path, stub_factory, caplog, flag):
    caplog.set_level(logging.INFO)
    doc = write_doc(tmp_path / "in.json", {"a": {"x": "2.5"}})
    out = tmp_path / "out"
    out.mkdir()
    driver = ReportAssembler({C.OUTPUT_DIR: str(out), "input_files": [doc]})
    assert driver.run(flag) == {"A": {"data": {"x": "2.5"}, "caller_name": "in.json",
                                      "status": "normal"}}
    assert os.listdir(out) == []
    assert not any(m.startswith("Wrote unified JSON to") for m in infos(caplog))


# --- the output file -------------------------------------------------------


def special_result():
    return {
        "T": {"data": {"s": "\u2265 caf\u00e9 \U0001f600", "n": 1e300, "i": -0.0, "e": {}, "l": []}},
        "U": {"data": [1, 2.0, None, True]},
    }


class FixedResult(ReportAssembler):
    result = {}

    def parse_files(self):
        return self.result


def test_written_bytes_and_log(tmp_path, caplog):
    caplog.set_level(logging.INFO)
    out = tmp_path / "result.json"
    out.write_text("an older, longer output that must be replaced entirely " * 10)
    driver = FixedResult({C.OUTPUT_DIR: str(tmp_path), C.OUTPUT_JSON: "result.json"})
    driver.result = special_result()

    assert driver.run() is None

    data = out.read_bytes()
    assert data == json.dumps(driver.result, indent=4).encode("ascii")
    assert b"\\u2265 caf\\u00e9 \\ud83d\\ude00" in data and b"1e+300" in data
    assert not data.endswith(b"\n")
    assert sorted(os.listdir(tmp_path)) == ["result.json", "result.manifest.json"]
    assert infos(caplog)[-2:] == [
        "Wrote unified JSON to " + os.path.join(str(tmp_path), "result.json"),
        "Wrote provenance manifest to " + os.path.join(str(tmp_path), "result.manifest.json"),
    ]


def test_empty_result_written_as_braces(tmp_path):
    FixedResult({C.OUTPUT_DIR: str(tmp_path)}).run()
    assert (tmp_path / "corvane_output.json").read_bytes() == b"{}"


def test_new_file_gets_default_permissions_and_old_file_keeps_its_own(tmp_path):
    umask = os.umask(0o022)
    os.umask(umask)
    FixedResult({C.OUTPUT_DIR: str(tmp_path), C.OUTPUT_JSON: "new.json"}).run()
    assert stat.S_IMODE(os.stat(tmp_path / "new.json").st_mode) == 0o666 & ~umask

    old = tmp_path / "old.json"
    old.write_text("x")
    os.chmod(old, 0o640)
    FixedResult({C.OUTPUT_DIR: str(tmp_path), C.OUTPUT_JSON: "old.json"}).run()
    assert stat.S_IMODE(os.stat(old).st_mode) == 0o640
    assert old.read_text() == "{}"


def test_symbolic_link_at_the_output_is_replaced_not_followed(tmp_path):
    real = tmp_path / "store" / "final.json"
    real.parent.mkdir()
    real.write_text("old")
    link = tmp_path / "corvane_output.json"
    link.symlink_to(real)
    FixedResult({C.OUTPUT_DIR: str(tmp_path)}).run()
    assert not link.is_symlink() and link.read_text() == "{}"
    assert real.read_text() == "old"


def failing(name):
    def fail(*args, **kwargs):
        raise OSError(errno.ENOSPC, "No space left on device")

    return fail


@pytest.mark.parametrize(
    "breakage",
    [
        pytest.param(lambda mp: mp.setattr(os, "replace", failing("replace")), id="replace"),
        pytest.param(lambda mp: mp.setattr(os, "fsync", failing("fsync")), id="fsync"),
        pytest.param(lambda mp: mp.setattr(os, "chmod", failing("chmod")), id="chmod"),
        pytest.param(None, id="unserialisable"),
    ],
)
def test_failed_write_leaves_earlier_output(tmp_path, monkeypatch, caplog, breakage):
    caplog.set_level(logging.INFO)
    out = tmp_path / "corvane_output.json"
    out.write_bytes(b'{"earlier": 1}')
    driver = FixedResult({C.OUTPUT_DIR: str(tmp_path)})
    if breakage is None:
        driver.result = {"A": {"data": {1, 2}}}
        expected = TypeError
    else:
        driver.result = special_result()
        breakage(monkeypatch)
        expected = OSError
    with pytest.raises(expected) as info:
        driver.run()
    monkeypatch.undo()
    assert info.value.__notes__ == ["while writing " + str(out)]
    assert out.read_bytes() == b'{"earlier": 1}'
    assert os.listdir(tmp_path) == ["corvane_output.json"]
    assert not any(m.startswith("Wrote") for m in infos(caplog))


def test_output_path_is_a_directory(tmp_path):
    (tmp_path / "corvane_output.json").mkdir()
    (tmp_path / "corvane_output.json" / "keep").write_text("k")
    with pytest.raises(IsADirectoryError):
        FixedResult({C.OUTPUT_DIR: str(tmp_path)}).run()
    assert sorted(os.listdir(tmp_path)) == ["corvane_output.json"]
    assert os.listdir(tmp_path / "corvane_output.json") == ["keep"]


def test_missing_output_directory(tmp_path, caplog):
    caplog.set_level(logging.INFO)
    with pytest.raises(FileNotFoundError):
        FixedResult({C.OUTPUT_DIR: str(tmp_path / "absent")}).run()
    assert not (tmp_path / "absent").exists()
    assert not any(m.startswith("Wrote") for m in infos(caplog))


def test_output_name_without_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    FixedResult({C.OUTPUT_DIR: "", C.OUTPUT_JSON: "plain.json"}).run()
    assert sorted(os.listdir(tmp_path)) == ["plain.json", "plain.manifest.json"]


# --- threshold sentence ----------------------------------------------------

W = {"caller_name": "TMB caller", "field": "Total TMB", "limit": 10}


@pytest.mark.parametrize(
    "w, parsed, label, expected",
    [
        (W, {"Total TMB": 10}, "S1", "Based on TMB caller, sample S1 10 \u2265 10"),
        (W, {"Total TMB": 12.5}, "S1", "Based on TMB caller, sample S1 12.5 \u2265 10"),
        (W, {"Total TMB": 9}, "S1", ""),
        (W, {"Total TMB": "12"}, "S1", ""),
        (W, {"Total TMB": None}, "S1", ""),
        (W, {"Total TMB": math.nan}, "S1", ""),
        (W, {}, "S1", ""),
        ({**W, "limit": 9.5}, {"Total TMB": 10}, "S1", "Based on TMB caller, sample S1 10 \u2265 9.5"),
        ({**W, "limit": 10}, {"Total TMB": 10.0}, "S1", "Based on TMB caller, sample S1 10.0 \u2265 10"),
        ({**W, "limit": 1}, {"Total TMB": True}, "S1", "Based on TMB caller, sample S1 True \u2265 1"),
        ({**W, "limit": False}, {"Total TMB": 0}, 7, "Based on TMB caller, sample 7 0 \u2265 False"),
        ({"field": "Total TMB", "limit": 1}, {"Total TMB": 3}, "S1", "Based on None, sample S1 3 \u2265 1"),
        ({**W, "limit": None}, {"Total TMB": 30}, "S1", ""),
        ({"caller_name": "C", "limit": 1}, {"Total TMB": 30}, "S1", ""),
        # A missing or false field name reads the entry under "".
        ({"caller_name": "C", "limit": 1}, {"": 2}, "S1", "Based on C, sample S1 2 \u2265 1"),
        ({"caller_name": "C", "field": 0, "limit": 1}, {"": 2}, "S1", "Based on C, sample S1 2 \u2265 1"),
        # Only the value must be a number; a string threshold is never compared then.
        ({**W, "limit": "10"}, {"Total TMB": "12"}, "S1", ""),
    ],
)
def test_threshold_sentence(w, parsed, label, expected):
    assert threshold(w, parsed, "field", "limit", label) == expected


def test_threshold_by_keyword_and_errors():
    assert threshold(
        w=W, parsed={"Total TMB": 11}, value_key="field", threshold_key="limit", label="S2"
    ) == "Based on TMB caller, sample S2 11 \u2265 10"
    assert isinstance(ReportAssembler.__dict__["_threshold_warning"], staticmethod)
    with pytest.raises(TypeError):
        threshold({**W, "limit": "10"}, {"Total TMB": 12}, "field", "limit", "S1")
    with pytest.raises(AttributeError):
        threshold(W, [("Total TMB", 12)], "field", "limit", "S1")


# --- command line ----------------------------------------------------------


class Captured(ReportAssembler):
    """Records the request from_cli builds and does not run."""

    requests = []

    def __init__(self, json_request):
        Captured.requests.append(json_request)
        super().__init__(json_request)

    def run(self, return_dict=False):
        Captured.ran = return_dict


def cli(monkeypatch, *argv):
    Captured.requests = []
    monkeypatch.setattr(sys, "argv", ["corvane-parse", *argv])
    assert Captured.from_cli() is None
    assert Captured.ran is False
    (request,) = Captured.requests
    return request


def config_file(tmp_path, document, bom=False):
    path = tmp_path / "run.json"
    data = json.dumps(document, ensure_ascii=False).encode("utf-8")
    path.write_bytes(b"\xef\xbb\xbf" + data if bom else data)
    return str(path)


def test_no_options_gives_empty_request(monkeypatch):
    assert cli(monkeypatch) == {}


def test_options_override_config_file(tmp_path, monkeypatch):
    path = config_file(
        tmp_path,
        {"output_dir": "from_file", "input_dir": "in_file", "output_json": "f.json",
         "input_files": ["x.tsv"], "strict": False, "sample": "S2"},
    )
    request = cli(monkeypatch, "--config", path, "--output-dir", "given", "--input-dir", "")
    assert request == {
        "output_dir": "given", "input_dir": "in_file", "output_json": "f.json",
        "input_files": ["x.tsv"], "strict": False, "sample": "S2",
    }
    assert C.MAP_FILES not in request

    request = cli(monkeypatch, "-c", path, "--output-json", "o.json", "--input-dir", "in")
    assert request[C.OUTPUT_JSON] == "o.json" and request[C.INPUT_DIR] == "in"

    request = cli(monkeypatch, "-c", path, "--strict", "--sample", "S9")
    assert request[C.STRICT] is True and request[C.SAMPLE] == "S9"
    # --strict cannot be switched off from the command line; an empty
    # --sample leaves the file's value, like the other options.
    assert cli(monkeypatch, "-c", path, "--sample", "")[C.SAMPLE] == "S2"


def test_input_files_build_per_file_configurations(tmp_path, monkeypatch):
    path = config_file(
        tmp_path,
        {"input_files": ["old.json"], "map_files": {"a.json": {"sample": "S1"}, "old.json": {}}},
    )
    request = cli(monkeypatch, "-c", path, "--input-files", "a.json", "b.tsv", "a.json")
    assert request["input_files"] == ["a.json", "b.tsv", "a.json"]
    assert request[C.MAP_FILES] == {"a.json": {"sample": "S1"}, "b.tsv": {}}
    assert list(request[C.MAP_FILES]) == ["a.json", "b.tsv"]

    request = cli(monkeypatch, "--input-files", "z.json")
    assert request == {C.MAP_FILES: {"z.json": {}}, "input_files": ["z.json"]}


def test_config_file_is_utf8_with_or_without_bom(tmp_path, monkeypatch):
    for bom in (False, True):
        path = config_file(tmp_path, {"output_json": "r\u00e9sum\u00e9 \u2265.json"}, bom=bom)
        assert cli(monkeypatch, "-c", path) == {"output_json": "r\u00e9sum\u00e9 \u2265.json"}


@pytest.mark.parametrize(
    "content, argv, message",
    [
        (None, ["-c", "MISSING"],
         "Cannot read run configuration file MISSING: No such file or directory"),
        (b"{not json", ["-c", "PATH"], "Run configuration file PATH is not valid JSON: "
         "Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
        (b"\xff{}", ["-c", "PATH"], "Run configuration file PATH is not valid JSON: "
         "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"),
        (b"[1, 2]", ["-c", "PATH", "--input-dir", "x"],
         "Run configuration file PATH must hold a JSON object, not an array"),
        (b'{"map_files": []}', ["-c", "PATH", "--input-files", "a"],
         'Run configuration file PATH: "map_files" must be an object, not an array'),
    ],
)
def test_bad_config_file(tmp_path, monkeypatch, content, argv, message):
    path = tmp_path / "run.json"
    if content is not None:
        path.write_bytes(content)
    argv = [str(path) if a in ("PATH", "MISSING") else a for a in argv]
    monkeypatch.setattr(sys, "argv", ["corvane-parse", *argv])
    Captured.requests = []
    with pytest.raises(assembler_module.RequestError) as info:
        Captured.from_cli()
    assert str(info.value) == message.replace("PATH", str(path)).replace("MISSING", str(path))
    assert isinstance(info.value, ValueError)
    # The reading or parsing error stays reachable as the cause.
    if content is None or content.startswith((b"{not", b"\xff")):
        assert info.value.__cause__ is not None
    assert Captured.requests == []


# A plainly written command line is read without argparse, but never past a
# subclass's own parse_args.
@pytest.mark.parametrize("argv", [["--bogus"], ["--input-dir", "cli"]])
def test_from_cli_uses_the_class_parse_args(monkeypatch, argv):
    class OwnOptions(Captured):
        @staticmethod
        def parse_args():
            return argparse.Namespace(
                config=None, input_dir="own", output_dir=None, input_files=None, output_json=None
            )

    monkeypatch.setattr(sys, "argv", ["corvane-parse", *argv])
    Captured.requests = []
    OwnOptions.from_cli()
    assert Captured.requests == [{C.INPUT_DIR: "own"}]


@pytest.mark.parametrize(
    "argv",
    [["--bogus"], ["--input-files"], ["-c"], ["--output-dir"], ["stray"]],
)
def test_command_line_errors_exit_2(monkeypatch, capsys, argv):
    monkeypatch.setattr(sys, "argv", ["corvane-parse", *argv])
    with pytest.raises(SystemExit) as info:
        ReportAssembler.from_cli()
    assert info.value.code == 2
    assert "usage:" in capsys.readouterr().err


# Paths of a request may be os.PathLike or bytes, as the command line's would
# be: the run is the one the str paths give. A lone name is refused plainly.
@pytest.mark.parametrize("as_path", [__import__("pathlib").Path, os.fsencode])
def test_request_paths_may_be_path_like_or_bytes(tmp_path, as_path):
    examples = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
    smn, runs = os.path.join(examples, "sample1.smn.tsv"), []
    for number, path in enumerate((str, as_path)):
        request = {"input_dir": path(examples), "output_dir": path(str(tmp_path)), "output_json": path(f"S{number}.json"),
                   "input_files": [path(smn), path("sample1.gba.tsv")], "input_kinds": {path(smn): "smn"}}
        driver = ReportAssembler(request)
        driver.run()
        runs.append((vars(driver).pop("output_json"), vars(driver), (tmp_path / f"S{number}.json").read_bytes()))
    assert runs[0][1:] == runs[1][1:]
    with pytest.raises(TypeError, match="input_files must be a list of paths, not str"):
        ReportAssembler({"input_dir": examples, "input_files": "sample1.smn.tsv"}).run(return_dict=True)
