"""Safe runs: what the driver and the command line do with missing, doubled,
colliding or special files, bad run configuration files and failures.

Each behaviour is checked where a user meets it (the command line as a
separate process: exit status, the one error line, the log, the files left)
and where a caller meets it (the Python API: exception, message, note)."""

import json
import logging
import os
import random
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import CorvaneFileParser
from CorvaneFileParser import Provenance
from CorvaneFileParser.CorvaneConstants import CorvaneConstants as C
from CorvaneFileParser.ReportAssembler import ReportAssembler, RequestError
import stub_readers
from stub_readers import use_factory, write_doc

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SCRIPT = Path(sys.executable).parent / "corvane-parse"
LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (INFO|WARNING|ERROR): (.*)$")
NO_INPUT = "No input files found in configuration or input directory."


def cli(*args, cwd=None, module=False):
    command = [sys.executable, "-m", "CorvaneFileParser"] if module else [str(SCRIPT)]
    return subprocess.run(
        [*command, *map(str, args)], capture_output=True, text=True, encoding="utf-8",
        cwd=cwd, timeout=60,
    )


def error_of(result, status=1):
    """The message of the one error line the command line printed."""
    assert result.returncode == status, (result.stdout, result.stderr)
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("corvane-parse: error: ")
    return lines[0][len("corvane-parse: error: "):]


def log_of(path):
    """(level, message) of every line of a log file."""
    with open(path, encoding="utf-8") as f:
        return [LOG_LINE.match(line).groups() for line in f.read().splitlines()]


@pytest.fixture
def inputs(tmp_path):
    """A copy of the example files in tmp_path/in."""
    folder = tmp_path / "in"
    shutil.copytree(EXAMPLES, folder)
    return folder


@pytest.fixture
def out(tmp_path):
    folder = tmp_path / "out"
    folder.mkdir()
    return folder


class DocumentReader(stub_readers.DocumentReader):
    """Records the sample it was asked for when parsing."""

    seen = []

    def parse(self):
        DocumentReader.seen.append((self.file_path, self.sample if hasattr(self, "sample") else "unset"))
        return self.document


class ResourceReader(DocumentReader):
    resource_name = "smn_tsv_config.json"


class StubFactory:
    paths = []

    @staticmethod
    def get_parser(file_path):
        StubFactory.paths.append(file_path)
        if os.path.basename(file_path).startswith("res"):
            return ResourceReader(file_path)
        return DocumentReader(file_path)


@pytest.fixture
def stub_factory(monkeypatch):
    StubFactory.paths = []
    DocumentReader.seen = []
    return use_factory(monkeypatch, StubFactory)


def messages(caplog, level):
    return [r.getMessage() for r in caplog.records if r.levelno == level]


# --- a failure is one line naming the file -----------------------------------


def test_reader_failure_is_one_line_naming_the_file(inputs, out):
    broken = inputs / "broken.json"
    broken.write_text("{", encoding="utf-8")
    earlier = out / "corvane_output.json"
    earlier.write_text("earlier")
    result = cli("--input-dir", inputs, "--output-dir", out,
                 "--input-files", "sample1.smn.tsv", "broken.json", "sample1.gba.tsv")
    message = error_of(result)
    assert message == (str(broken) + ": Expecting property name enclosed in double quotes: "
                       "line 1 column 2 (char 1)")
    assert "Traceback" not in result.stderr
    # Logged at ERROR as the last line; nothing after the failing file was read.
    log = log_of(out / "corvane.log")
    assert log[-1] == ("ERROR", message)
    read = [m.split()[1] for _, m in log if m.startswith("Reading ")]
    assert read == [str(inputs / "sample1.smn.tsv"), str(broken)]
    assert earlier.read_text() == "earlier"
    assert sorted(os.listdir(out)) == ["corvane.log", "corvane_output.json"]


def test_debug_adds_the_traceback(inputs, out):
    (inputs / "broken.json").write_text("[", encoding="utf-8")
    result = cli("--input-dir", inputs, "--output-dir", out, "--input-files", "broken.json", "--debug")
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert lines[0] == "Traceback (most recent call last):"
    assert "json.decoder.JSONDecodeError" in result.stderr
    assert lines[-1].startswith("corvane-parse: error: %s: Expecting value" % (inputs / "broken.json"))


def test_api_error_keeps_type_and_message_and_notes_the_file(tmp_path, stub_factory):
    good = write_doc(tmp_path / "good.json", {"a": {}})
    broken = tmp_path / "broken.json"
    broken.write_text("{")
    with pytest.raises(json.JSONDecodeError) as info:
        ReportAssembler({"input_files": [good, str(broken)]}).run(return_dict=True)
    with pytest.raises(json.JSONDecodeError) as plain:
        json.loads("{")
    assert str(info.value) == str(plain.value)
    assert info.value.__notes__ == ["while reading " + str(broken)]


def test_api_unsupported_file_is_noted_once(tmp_path):
    bad = tmp_path / "notes.txt"
    bad.write_text("x")
    with pytest.raises(ValueError) as info:
        ReportAssembler({"input_files": [str(bad)]}).run(return_dict=True)
    assert str(info.value) == "Unsupported file type: " + str(bad)
    assert info.value.__notes__ == ["while reading " + str(bad)]


# --- missing listed files -----------------------------------------------------


def test_all_listed_files_missing_is_an_error(tmp_path, out, stub_factory, caplog):
    driver = ReportAssembler({C.OUTPUT_DIR: str(out), C.INPUT_DIR: str(tmp_path),
                              "input_files": ["a.json", "b.json"]})
    with pytest.raises(ValueError) as info:
        driver.run()
    assert str(info.value) == NO_INPUT
    assert messages(caplog, logging.WARNING) == [
        "File a.json not found. Skipping.", "File b.json not found. Skipping."
    ]
    assert os.listdir(out) == []

    result = cli("--input-dir", tmp_path, "--output-dir", out, "--input-files", "a.json", "b.json")
    assert error_of(result) == NO_INPUT
    assert os.listdir(out) == ["corvane.log"]
    assert log_of(out / "corvane.log")[-3:] == [
        ("WARNING", "File a.json not found. Skipping."),
        ("WARNING", "File b.json not found. Skipping."),
        ("ERROR", NO_INPUT),
    ]


def test_some_missing_warns_or_fails_when_strict(inputs, out):
    names = ["sample1.smn.tsv", "absent.tsv", "sample1.gba.tsv", "gone.json"]
    result = cli("--input-dir", inputs, "--output-dir", out, "--input-files", *names)
    assert result.returncode == 0, result.stderr
    output = json.loads((out / "corvane_output.json").read_bytes())
    assert list(output) == ["SMN", "GBA"]
    manifest = json.loads((out / "corvane_output.manifest.json").read_bytes())
    assert manifest["missing"] == ["absent.tsv", "gone.json"]
    assert manifest["warnings"][:2] == ["File absent.tsv not found. Skipping.",
                                        "File gone.json not found. Skipping."]

    earlier = (out / "corvane_output.json").read_bytes()
    earlier_manifest = (out / "corvane_output.manifest.json").read_bytes()
    strict = cli("--input-dir", inputs, "--output-dir", out, "--input-files", *names, "--strict")
    assert error_of(strict) == "Files absent.tsv, gone.json not found (strict run)."
    assert (out / "corvane_output.json").read_bytes() == earlier
    assert (out / "corvane_output.manifest.json").read_bytes() == earlier_manifest
    assert not any(m.startswith("Reading ") for _, m in log_of(out / "corvane.log")[-3:])


def test_strict_from_the_request_and_the_api(tmp_path, out, stub_factory):
    doc = write_doc(tmp_path / "a.json", {"a": {}})
    config = tmp_path / "run.json"
    config.write_text(json.dumps({"input_files": [doc, "missing.json"], "strict": True,
                                  "output_dir": str(out)}))
    assert error_of(cli("-c", config)) == "File missing.json not found (strict run)."

    with pytest.raises(FileNotFoundError) as info:
        ReportAssembler({C.STRICT: True, "input_files": [doc, "missing.json"]}).run(True)
    assert str(info.value) == "File missing.json not found (strict run)."
    assert stub_factory.paths == []


# --- a section replaced by a later file ---------------------------------------


def test_replaced_section_is_logged_or_refused(inputs, out):
    first, second = inputs / "sample1.smn.tsv", inputs / "sample2.smn.tsv"
    second.write_text(first.read_text().replace("Sample1", "Sample2"))
    result = cli("--input-dir", inputs, "--output-dir", out,
                 "--input-files", "sample1.smn.tsv", "sample2.smn.tsv")
    assert result.returncode == 0, result.stderr
    warning = "Section SMN from %s replaces the one from %s" % (second, first)
    assert ("WARNING", warning) in log_of(out / "corvane.log")
    output = json.loads((out / "corvane_output.json").read_bytes())
    assert output["SMN"]["data"]["Sample"] == "Sample2"
    manifest = json.loads((out / "corvane_output.manifest.json").read_bytes())
    assert [entry["replaced"] for entry in manifest["inputs"]] == [[], ["SMN"]]
    assert warning in manifest["warnings"]

    os.remove(out / "corvane_output.json")
    os.remove(out / "corvane_output.manifest.json")
    strict = cli("--input-dir", inputs, "--output-dir", out, "--strict",
                 "--input-files", "sample1.smn.tsv", "sample2.smn.tsv")
    assert error_of(strict) == (
        "Section SMN from %s would replace the one from %s (strict run)." % (second, first)
    )
    assert os.listdir(out) == ["corvane.log"]


def test_replaced_keys_per_file_through_the_api(tmp_path, stub_factory, caplog):
    one = write_doc(tmp_path / "1.json", {"a": {}, "b": {}})
    two = write_doc(tmp_path / "2.json", {"b": {"v": 2}, "c": {}})
    three = write_doc(tmp_path / "3.json", {"a": {}, "c": {}})
    result = ReportAssembler({"input_files": [one, two, three]}).run(return_dict=True)
    assert list(result) == ["A", "B", "C"]
    assert messages(caplog, logging.WARNING) == [
        "Section B from %s replaces the one from %s" % (two, one),
        "Section A from %s replaces the one from %s" % (three, one),
        "Section C from %s replaces the one from %s" % (three, two),
    ]
    with pytest.raises(ValueError) as info:
        ReportAssembler({"input_files": [one, two], C.STRICT: 1}).run(return_dict=True)
    assert str(info.value) == "Section B from %s would replace the one from %s (strict run)." % (two, one)
    assert info.value.__notes__ == ["while reading " + two]


# --- the run's own output and inputs ------------------------------------------


def test_output_in_the_input_folder_run_twice(inputs):
    first = cli("--input-dir", inputs, "--output-dir", inputs)
    assert first.returncode == 0, first.stderr
    output = (inputs / "corvane_output.json").read_bytes()
    manifest = json.loads((inputs / "corvane_output.manifest.json").read_bytes())

    second = cli("--input-dir", inputs, "--output-dir", inputs)
    assert second.returncode == 0, second.stderr
    assert (inputs / "corvane_output.json").read_bytes() == output
    again = json.loads((inputs / "corvane_output.manifest.json").read_bytes())
    read = sorted(os.path.basename(entry["path"]) for entry in again["inputs"])
    assert read == sorted(os.listdir(EXAMPLES))
    assert again["inputs"] == manifest["inputs"]
    assert "corvane_output" not in second.stdout.split("Wrote unified JSON")[0]


def test_earlier_outputs_under_other_names_are_not_read_as_caller_files(inputs, tmp_path):
    """Read as targeted-caller JSON, an earlier run's manifest gave empty
    TARGETED_* sections that replaced the real ones."""
    assert cli("--input-dir", inputs, "--output-dir", inputs, "--output-json", "S1.unified.json",
               "--sample", "Sample1").returncode == 0
    clean = tmp_path / "clean"
    clean.mkdir()
    assert cli("--input-dir", EXAMPLES, "--output-dir", clean).returncode == 0
    out = tmp_path / "out"
    out.mkdir()
    result = cli("--input-dir", inputs, "--output-dir", out)
    assert result.returncode == 0, result.stderr
    messages = log_of(out / "corvane.log")
    for name, kind in [("S1.unified.json", "unified output"), ("S1.unified.manifest.json", "manifest")]:
        assert ("INFO", f"Skipping {inputs / name}: the {kind} of an earlier run, not a caller file") in messages
    assert not any(level == "WARNING" and "replaces" in message for level, message in messages)
    read = json.loads((out / "corvane_output.json").read_bytes())
    assert {k: v for k, v in read.items() if k.startswith("TARGETED")} == {
        k: v for k, v in json.loads((clean / "corvane_output.json").read_bytes()).items()
        if k.startswith("TARGETED")}
    # Told by content, not name: a caller JSON that only begins like an output
    # is a caller file, and so is a renamed manifest that lost its keys.
    kind = Provenance.earlier_output_kind
    assert kind(str(inputs / "S1.unified.json")) == "unified output"
    lookalike = inputs / "lookalike.json"
    lookalike.write_text('{\n    "A": {\n        "data": 1\n    }\n}\n')
    assert kind(str(lookalike)) is None
    lookalike.write_text('{\n    "manifest_version": 1\n}\n')
    assert kind(str(lookalike)) is None
    assert kind(str(inputs / "sample1.targeted.json")) is None


@pytest.mark.parametrize(
    "output_json, listed, collision",
    [
        ("sample1.targeted.json", ["sample1.smn.tsv", "sample1.targeted.json"], "Output"),
        ("sample1.TARGETED.JSON", ["sample1.targeted.json"], None),
        ("raw.json", ["raw.manifest.json"], "Manifest"),
        # Discovery: a caller file lies where the output would go.
        ("sample1.targeted.json", None, "Output"),
        ("sample1.json", None, None),
    ],
)
def test_output_over_an_input_is_refused_before_reading(inputs, output_json, listed, collision):
    shutil.copy(inputs / "sample1.targeted.json", inputs / "raw.manifest.json")
    before = {name: (inputs / name).read_bytes() for name in os.listdir(inputs)}
    args = ["--input-dir", inputs, "--output-dir", inputs, "--output-json", output_json]
    if listed:
        args += ["--input-files", *listed]
    result = cli(*args)
    if collision is None:
        # Names differing in case are different files on this file system.
        assert result.returncode == 0, result.stderr
        return
    target = inputs / output_json if collision == "Output" else inputs / "raw.manifest.json"
    expected = "%s file %s would overwrite the input file %s" % (collision, target, target)
    assert error_of(result) == expected
    assert not any(m.startswith("Reading ") for _, m in log_of(inputs / "corvane.log"))
    after = {name: (inputs / name).read_bytes() for name in os.listdir(inputs) if name != "corvane.log"}
    assert after == before


@pytest.mark.parametrize("link", ["symbolic", "hard"])
def test_output_linked_to_an_input_is_refused(tmp_path, stub_factory, link):
    doc = write_doc(tmp_path / "a.json", {"a": {}})
    out = tmp_path / "out"
    out.mkdir()
    (out / "r.json").symlink_to(doc) if link == "symbolic" else os.link(doc, out / "r.json")
    with pytest.raises(ValueError) as info:
        ReportAssembler({C.OUTPUT_DIR: str(out), C.OUTPUT_JSON: "r.json", "input_files": [doc]}).run()
    assert str(info.value) == "Output file %s would overwrite the input file %s" % (out / "r.json", doc)
    assert stub_factory.paths == []
    assert json.loads(Path(doc).read_text()) == {"a": {}}


def test_own_output_is_skipped_by_discovery_through_the_api(tmp_path, stub_factory):
    doc = write_doc(tmp_path / "a.json", {"a": {}})
    driver = ReportAssembler({C.INPUT_DIR: str(tmp_path), C.OUTPUT_DIR: str(tmp_path)})
    driver.run()
    assert sorted(os.listdir(tmp_path)) == ["a.json", "corvane_output.json", "corvane_output.manifest.json"]
    stub_factory.paths.clear()
    again = ReportAssembler({C.INPUT_DIR: str(tmp_path), C.OUTPUT_DIR: str(tmp_path)})
    assert again.run(return_dict=True) == {
        "A": {"data": {}, "caller_name": "a.json", "status": "not_assessed"}}
    assert stub_factory.paths == [doc]
    # Without writing, a foreign file at the output path is just an input.
    write_doc(tmp_path / "corvane_output.json", {"b": {}})
    os.remove(tmp_path / "corvane_output.manifest.json")
    stub_factory.paths.clear()
    assert list(ReportAssembler({C.INPUT_DIR: str(tmp_path)}).run(return_dict=True)) in (["A", "B"], ["B", "A"])
    with pytest.raises(ValueError, match="would overwrite the input file"):
        ReportAssembler({C.INPUT_DIR: str(tmp_path), C.OUTPUT_DIR: str(tmp_path)}).run()


# --- directories and special files ---------------------------------------------


def test_missing_or_wrong_input_directory(tmp_path, stub_factory):
    absent = str(tmp_path / "absent")
    a_file = write_doc(tmp_path / "a.json", {"a": {}})
    for request in ({C.INPUT_DIR: absent}, {C.INPUT_DIR: absent, "input_files": ["x.json"]}):
        with pytest.raises(FileNotFoundError) as info:
            ReportAssembler(request).run(return_dict=True)
        assert str(info.value) == "Input directory not found: " + absent
    with pytest.raises(NotADirectoryError) as info:
        ReportAssembler({C.INPUT_DIR: a_file}).run(return_dict=True)
    assert str(info.value) == "Input directory is not a directory: " + a_file
    # A directory that is never searched does not matter.
    assert ReportAssembler({C.INPUT_DIR: absent, "input_files": [a_file]}).run(True) == {
        "A": {"data": {}, "caller_name": "a.json", "status": "not_assessed"}
    }

    result = cli("--input-dir", absent, "--output-dir", tmp_path)
    assert error_of(result) == "Input directory not found: " + absent


@pytest.mark.parametrize("kind", ["missing", "file"])
def test_missing_or_wrong_output_directory(tmp_path, stub_factory, kind):
    doc = write_doc(tmp_path / "a.json", {"a": {}})
    target = tmp_path / "target"
    if kind == "file":
        target.write_text("not a directory")
    expected_type = FileNotFoundError if kind == "missing" else NotADirectoryError
    expected = ("Output directory not found: " if kind == "missing"
                else "Output directory is not a directory: ") + str(target)
    with pytest.raises(expected_type) as info:
        ReportAssembler({C.OUTPUT_DIR: str(target), "input_files": [doc]}).run()
    assert str(info.value) == expected
    assert stub_factory.paths == []

    before = sorted(os.listdir(tmp_path))
    result = cli("--output-dir", target, "--input-files", doc)
    assert error_of(result) == expected
    assert result.stdout == ""
    assert sorted(os.listdir(tmp_path)) == before


def test_output_location_is_joined_and_split_as_os_path_does(tmp_path, monkeypatch):
    # Seeded: odd folders and names (empty, "/" runs, absolute names) name the
    # folder os.path.dirname(os.path.join(folder, name)) gives.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "d").mkdir()
    rng = random.Random(20261209)
    parts = ["", "d", "x", ".", "/", "//", "é", str(tmp_path), str(tmp_path) + "/x/"]
    for _ in range(300):
        folder = "".join(rng.choice(parts) for _ in range(rng.randrange(4)))
        name = "".join(rng.choice(parts + ["o.json"]) for _ in range(rng.randrange(4)))
        expected = os.path.dirname(os.path.join(folder, name)) or os.curdir
        with pytest.raises((OSError, ValueError)) as info:
            ReportAssembler({C.OUTPUT_DIR: folder, C.OUTPUT_JSON: name, "input_files": ["absent.smn.tsv"],
                             C.STRICT: True}).run()
        if not os.path.isdir(expected):
            assert str(info.value) == "Output directory not found: " + expected, (folder, name)


@pytest.mark.parametrize("kind", ["fifo", "directory", "device"])
def test_special_input_is_refused_without_blocking(tmp_path, out, kind):
    if kind == "fifo":
        path = tmp_path / "stuck.smn.tsv"
        os.mkfifo(path)
        what = "a FIFO"
    elif kind == "directory":
        path = tmp_path / "folder.json"
        path.mkdir()
        what = "a directory"
    else:
        path = Path(os.devnull)
        what = "a character device"
    result = cli("--output-dir", out, "--input-files", path)  # the timeout guards a hang
    assert error_of(result) == "Input %s is %s, not a regular file" % (path, what)
    assert os.listdir(out) == ["corvane.log"]

    with pytest.raises(ValueError) as info:
        ReportAssembler({"input_files": [str(path)]}).run(return_dict=True)
    assert str(info.value) == "Input %s is %s, not a regular file" % (path, what)


# --- the run configuration file -----------------------------------------------


@pytest.mark.parametrize(
    "document, message",
    [
        ({"input_file": ["a.smn.tsv"]}, 'unknown key "input_file" (did you mean "input_files"?)'),
        ({"MAP_FILES": {}}, 'unknown key "MAP_FILES" (did you mean "map_files"?)'),
        ({"sampel": "S1"}, 'unknown key "sampel" (did you mean "sample"?)'),
        ({"zzz": 1}, 'unknown key "zzz" (known keys: input_dir, output_dir, output_json, '
                     'input_files, map_files, strict, sample, sample_aliases, input_kinds, durable, '
                     'sample_sheet, jobs, summary_dir)'),
        ({"input_files": "a.smn.tsv"}, '"input_files" must be a list of strings, not a string'),
        ({"input_files": ["a.smn.tsv", 3]},
         '"input_files" must be a list of strings, not an array holding other values than strings'),
        ({"input_dir": 1}, '"input_dir" must be a string, not a number'),
        ({"output_dir": None}, '"output_dir" must be a string, not null'),
        ({"output_json": ["x.json"]}, '"output_json" must be a string, not an array'),
        ({"map_files": "x"}, '"map_files" must be an object, not a string'),
        ({"strict": "yes"}, '"strict" must be true or false, not a string'),
        ({"strict": 1}, '"strict" must be true or false, not a number'),
        ({"sample": 12}, '"sample" must be a string, not a number'),
        ({"sample": True}, '"sample" must be a string, not a boolean'),
    ],
)
def test_run_configuration_key_and_type_errors(tmp_path, out, document, message):
    config = tmp_path / "run.json"
    config.write_text(json.dumps(document))
    expected = "Run configuration file %s: %s" % (config, message)
    result = cli("-c", config, "--output-dir", out)
    assert error_of(result, status=2) == expected
    # The option named the log's place, so the log was open to take the error.
    assert os.listdir(out) == ["corvane.log"]
    assert log_of(out / "corvane.log")[-1] == ("ERROR", expected)

    with pytest.raises(RequestError) as info:
        _from_cli(["-c", str(config)])
    assert str(info.value) == expected


def _from_cli(argv):
    saved = sys.argv
    sys.argv = ["corvane-parse", *argv]
    try:
        ReportAssembler.from_cli()
    finally:
        sys.argv = saved


@pytest.mark.parametrize("content", [None, b"", b"{", b"[]", b'"text"'])
def test_unreadable_run_configuration_exits_2(tmp_path, content):
    config = tmp_path / "run.json"
    if content is not None:
        config.write_bytes(content)
    result = cli("-c", config, cwd=tmp_path)
    message = error_of(result, status=2)
    assert message.startswith(("Run configuration file %s" % config,
                               "Cannot read run configuration file %s" % config))
    # The log location depends on the file, so no log was opened.
    assert sorted(os.listdir(tmp_path)) == (["run.json"] if content is not None else [])


def test_special_run_configuration_file_does_not_block(tmp_path, out):
    fifo = tmp_path / "run.json"
    os.mkfifo(fifo)
    assert error_of(cli("-c", fifo, "--output-dir", out), status=2) == (
        "Run configuration file %s is a FIFO, not a regular file" % fifo
    )


def test_log_fifo_without_reader_does_not_block(tmp_path, out):
    fifo = tmp_path / "log.fifo"
    os.mkfifo(fifo)
    message = error_of(cli("--input-dir", EXAMPLES, "--output-dir", out, "--log-file", fifo))
    assert message == "Cannot open log file %s: No such device or address" % fifo
    assert os.listdir(out) == []


def test_log_goes_to_the_effective_output_directory(tmp_path, inputs, out):
    config = tmp_path / "run.json"
    config.write_text(json.dumps({"output_dir": str(out), "input_dir": str(inputs)}))
    result = cli("-c", config, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(out)) == ["corvane.log", "corvane_output.json", "corvane_output.manifest.json"]
    assert log_of(out / "corvane.log")[0] == ("INFO", "Logging to " + os.path.join(str(out), "corvane.log"))
    assert not (tmp_path / "corvane.log").exists()


def test_log_file_naming_an_input_is_refused_before_it_is_touched(tmp_path, inputs, out):
    listed = os.path.join(inputs, os.listdir(inputs)[0])
    before = Path(listed).read_bytes()
    configs = [{"input_files": [listed]}, {"input_dir": str(inputs)},
               {"input_dir": str(inputs), "input_files": [os.path.basename(listed)]},
               {"input_dir": str(inputs), "input_kinds": {listed: "panel"}}]
    for number, config in enumerate(configs):
        (tmp_path / f"run{number}.json").write_text(json.dumps(config))
    # Last, the file discovery would read, both named relative to the working folder.
    relative = os.path.join("in", os.path.basename(listed))
    for args, log in [*((args, listed) for args in (
            ["--input-files", listed], ["--input-dir", inputs, "--input-files", os.path.basename(listed)],
            *(["-c", tmp_path / f"run{number}.json"] for number in range(len(configs))))),
            (["--input-dir", "in"], relative)]:
        result = cli(*args, "--output-dir", out, "--log-file", log, cwd=tmp_path)
        assert error_of(result) == "Log file %s is one of the input files; choose another --log-file" % log
        assert Path(listed).read_bytes() == before
    assert os.listdir(out) == []


def test_own_log_file_per_run(tmp_path, inputs, out):
    for name in ("sample1", "sample2"):
        log = tmp_path / (name + ".log")
        result = cli("--input-dir", inputs, "--output-dir", out, "--output-json", name + ".json",
                     "--log-file", log)
        assert result.returncode == 0, result.stderr
        assert log_of(log)[0] == ("INFO", "Logging to " + str(log))
        assert log_of(log)[-1][1].endswith(name + ".manifest.json")
    assert sorted(os.listdir(out)) == ["sample1.json", "sample1.manifest.json",
                                       "sample2.json", "sample2.manifest.json"]

    bad = tmp_path / "absent" / "run.log"
    message = error_of(cli("--input-dir", inputs, "--output-dir", out, "--log-file", bad))
    assert message == "Cannot open log file %s: No such file or directory" % bad


# --- per-file log line and the requested sample -------------------------------


def test_each_file_read_logs_path_reader_and_resource(tmp_path, stub_factory, caplog):
    caplog.set_level(logging.INFO)
    plain = write_doc(tmp_path / "a.json", {"a": {}})
    with_resource = write_doc(tmp_path / "res.json", {"r": {}})
    ReportAssembler({"input_files": [plain, with_resource]}).run(return_dict=True)
    assert [m for m in messages(caplog, logging.INFO) if m.startswith("Reading ")] == [
        "Reading %s with DocumentReader" % plain,
        "Reading %s with ResourceReader (smn_tsv_config.json)" % with_resource,
    ]


def test_sample_is_set_on_every_reader_before_parse(tmp_path, stub_factory):
    one = write_doc(tmp_path / "a.json", {"a": {}})
    two = write_doc(tmp_path / "res.json", {"b": {}})
    ReportAssembler({"input_files": [one, two], C.SAMPLE: "S7"}).run(return_dict=True)
    assert DocumentReader.seen == [(one, "S7"), (two, "S7")]
    DocumentReader.seen = []
    ReportAssembler({"input_files": [one]}).run(return_dict=True)
    # Not given: the reader keeps its own default.
    assert DocumentReader.seen == [(one, getattr(DocumentReader, "sample", "unset"))]


# --- version and help -----------------------------------------------------------


def test_version(tmp_path):
    result = cli("--version", cwd=tmp_path)
    assert result.returncode == 0
    assert result.stdout == "corvane-parse %s\n" % CorvaneFileParser.__version__
    assert result.stderr == "" and os.listdir(tmp_path) == []


def test_help_names_file_kinds_defaults_and_exit_statuses(tmp_path):
    result = cli("--help", cwd=tmp_path, module=True)
    assert result.returncode == 0
    text = " ".join(result.stdout.split())
    assert "usage: corvane-parse " in text
    for expected in (
        "combinedvariantoutput.tsv", "smn.tsv", "gba.tsv", "paraphase", "dragen_targeted_config.json",
        "(default: corvane_output.json)", "(default: .)", "(default: corvane.log in the output",
        "Exit status: 0 done; 1 failed", "2 bad command line or run configuration file",
        "Example:", "--strict", "--sample ID", "--log-file FILE", "--debug", "--version",
    ):
        assert expected in text, expected


def test_help_despite_a_bad_run_configuration_file(tmp_path):
    config = tmp_path / "run.json"
    config.write_text('{"input_file": []}')
    result = cli("-c", config, "--help", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "usage: corvane-parse" in result.stdout


@pytest.mark.parametrize("argv", [["--output-dir"], ["--output", "x"], ["--input-files"], ["--bogus"]])
def test_bad_command_line_exits_2(tmp_path, argv):
    result = cli(*argv, cwd=tmp_path)
    assert result.returncode == 2
    assert "usage: corvane-parse" in result.stderr
    assert result.stderr.splitlines()[-1].startswith("corvane-parse: error: ")
