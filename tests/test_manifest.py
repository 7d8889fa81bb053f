"""The provenance manifest written beside every output of run() and of the
command line: its content, its place, when it is (not) written, and what a
failure to write it leaves."""

import datetime
import errno
import hashlib
import json
import logging
import os
import platform
import random
import subprocess
import sys
import time
from pathlib import Path

import pytest

import CorvaneFileParser
import CorvaneFileParser.ReportAssembler as assembler_module
from CorvaneFileParser import Provenance
from CorvaneFileParser.CorvaneConstants import CorvaneConstants as C
from CorvaneFileParser.ReportAssembler import ReportAssembler
import stub_readers
from stub_readers import use_factory, write_doc

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
SCRIPT = Path(sys.executable).parent / "corvane-parse"
TOP_KEYS = ["manifest_version", "package", "python", "platform", "request", "started_at",
            "finished_at", "inputs", "missing", "warnings", "output"]
REQUEST_KEYS = ["input_dir", "output_dir", "output_json", "output_path", "input_files", "strict", "sample",
                "sample_aliases", "input_kinds"]
INPUT_KEYS = ["path", "opened", "size", "sha256", "reader", "resource", "resource_sha256", "keys", "replaced",
              "identifiers"]
# The sample identifiers each example file carries.
IDENTIFIERS = {
    "Sample1.CombinedVariantOutput.tsv": {"Pair ID": "0001", "DNA Sample ID": "Sample1_DNA",
                                          "RNA Sample ID": "Sample1_RNA"},
    "sample1.smn.tsv": {"Sample": "Sample1"}, "sample1.gba.tsv": {"Sample": "Sample1"},
    "sample1.targeted.json": {"sample": "Sample1"}, "sample1.paraphase.json": {},
}
RESOURCES = {
    "Sample1.CombinedVariantOutput.tsv": ("PanelTsvReader", "dragen_500_tsv_config.json"),
    "sample1.smn.tsv": ("SingleRowTsvReader", "smn_tsv_config.json"),
    "sample1.gba.tsv": ("SingleRowTsvReader", "gba_tsv_config.json"),
    "sample1.targeted.json": ("JsonExtractReader", "dragen_targeted_config.json"),
    "sample1.paraphase.json": ("JsonExtractReader", "pacbio_paraphase_config.json"),
}


def cli(*args, cwd=None):
    return subprocess.run([str(SCRIPT), *map(str, args)], capture_output=True, text=True,
                          encoding="utf-8", cwd=cwd, timeout=60)


def sha256_of(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def load(path):
    raw = Path(path).read_bytes()
    manifest = json.loads(raw)
    # json.dumps(indent=4) with a final line break.
    assert raw == (json.dumps(manifest, indent=4) + "\n").encode("ascii")
    return manifest


def parse_time(text):
    assert text.endswith("Z")
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ")


def without_times(manifest):
    return {key: value for key, value in manifest.items() if key not in ("started_at", "finished_at")}


class DocumentReader(stub_readers.DocumentReader):
    caller_name = "doc"

    def parse(self):
        if "warn" in self.document:
            logging.warning("reader says %s", self.document["warn"])
        return self.document


class StubFactory:
    resource = None

    @staticmethod
    def get_parser(file_path):
        reader = DocumentReader(file_path)
        if StubFactory.resource:
            reader.resource_name = StubFactory.resource
        return reader


@pytest.fixture
def stub_factory(monkeypatch):
    StubFactory.resource = None
    return use_factory(monkeypatch, StubFactory)


# --- content -----------------------------------------------------------------


def test_manifest_of_the_examples(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    result = cli("--input-dir", EXAMPLES, "--output-dir", out, "--output-json", "S1.unified.json",
                 "--sample", "Sample1")
    assert result.returncode == 0, result.stderr
    output_path = out / "S1.unified.json"
    manifest = load(out / "S1.unified.manifest.json")

    assert list(manifest) == TOP_KEYS
    assert manifest["manifest_version"] == 1
    assert manifest["package"] == {"name": "CorvaneFileParser", "version": CorvaneFileParser.__version__}
    assert manifest["python"] == {"implementation": platform.python_implementation(),
                                  "version": platform.python_version()}
    assert manifest["platform"] == Provenance.platform_name()
    assert list(manifest["request"]) == REQUEST_KEYS
    assert manifest["request"] == {
        "input_dir": str(EXAMPLES), "output_dir": str(out), "output_json": "S1.unified.json",
        "output_path": str(output_path), "input_files": [], "strict": False, "sample": "Sample1",
        "sample_aliases": [], "input_kinds": {},
    }
    assert parse_time(manifest["started_at"]) <= parse_time(manifest["finished_at"])
    assert abs(parse_time(manifest["finished_at"]) - datetime.datetime.now(datetime.UTC).replace(tzinfo=None)) \
        < datetime.timedelta(minutes=5)

    output = json.loads(output_path.read_bytes())
    inputs = manifest["inputs"]
    # Reading order is the directory's listing order, as the log shows it.
    read_in_log = [line.split(" Reading ")[1].split()[0] for line in result.stdout.splitlines() if " Reading " in line]
    assert [entry["opened"] for entry in inputs] == read_in_log
    assert sorted(os.path.basename(entry["path"]) for entry in inputs) == sorted(RESOURCES)
    keys = []
    for entry in inputs:
        assert list(entry) == INPUT_KEYS
        name = os.path.basename(entry["path"])
        assert entry["path"] == entry["opened"] == os.path.join(str(EXAMPLES), name)
        assert entry["size"] == os.path.getsize(entry["opened"])
        assert entry["sha256"] == sha256_of(entry["opened"])
        reader, resource = RESOURCES[name]
        assert entry["reader"] == reader
        # The factory names the resource once it passes resource_name.
        assert entry["resource"] in (None, resource)
        if entry["resource"] is not None:
            package = os.path.dirname(CorvaneFileParser.__file__)
            assert entry["resource_sha256"] == sha256_of(os.path.join(package, resource))
        else:
            assert entry["resource_sha256"] is None
        assert entry["replaced"] == []
        assert entry["identifiers"] == IDENTIFIERS[name]
        keys += entry["keys"]
    assert keys == list(output)
    assert manifest["missing"] == []
    assert manifest["output"] == {"path": str(output_path), "size": output_path.stat().st_size,
                                  "sha256": sha256_of(output_path)}


def test_two_runs_differ_only_in_times(tmp_path):
    manifests = []
    for _ in range(2):
        result = cli("--input-dir", EXAMPLES, "--output-dir", tmp_path,
                     "--input-files", "sample1.smn.tsv", "missing.tsv", "sample1.targeted.json")
        assert result.returncode == 0, result.stderr
        manifests.append(load(tmp_path / "corvane_output.manifest.json"))
    first, second = manifests
    assert without_times(first) == without_times(second)
    assert first["request"]["input_files"] == ["sample1.smn.tsv", "missing.tsv", "sample1.targeted.json"]
    # The path as listed, and the path the reader opened.
    assert [(entry["path"], entry["opened"]) for entry in first["inputs"]] == [
        ("sample1.smn.tsv", os.path.join(str(EXAMPLES), "sample1.smn.tsv")),
        ("sample1.targeted.json", os.path.join(str(EXAMPLES), "sample1.targeted.json")),
    ]
    assert first["missing"] == ["missing.tsv"]
    assert first["warnings"] == ["File missing.tsv not found. Skipping."]


def test_inputs_resources_and_warnings_through_the_api(tmp_path, stub_factory, caplog):
    one = write_doc(tmp_path / "1.json", {"a": {"v": "1"}, "b": {}})
    two = write_doc(tmp_path / "2.json", {"B": {}, "warn": {"x": 1}})
    out = tmp_path / "out"
    out.mkdir()
    stub_factory.resource = "gba_tsv_config.json"
    driver = ReportAssembler({C.OUTPUT_DIR: str(out), "input_files": [one, "nowhere.json", two]})
    assert driver.run() is None

    manifest = load(out / "corvane_output.manifest.json")
    package = os.path.dirname(CorvaneFileParser.__file__)
    resource_digest = sha256_of(os.path.join(package, "gba_tsv_config.json"))
    assert [(e["path"], e["reader"], e["resource"], e["resource_sha256"], e["keys"], e["replaced"])
            for e in manifest["inputs"]] == [
        (one, "DocumentReader", "gba_tsv_config.json", resource_digest, ["A", "B"], []),
        (two, "DocumentReader", "gba_tsv_config.json", resource_digest, ["B", "WARN"], ["B"]),
    ]
    assert manifest["missing"] == ["nowhere.json"]
    # Every WARNING of the run, in order, whatever logged it.
    assert manifest["warnings"] == [
        "File nowhere.json not found. Skipping.",
        "reader says {'x': 1}",
        "Section B from %s replaces the one from %s" % (two, one),
    ]
    assert manifest["request"]["input_files"] == [one, "nowhere.json", two]
    # The record is gone and logging is as it was.
    assert vars(driver).keys() == ReportAssembler({}).__dict__.keys()
    assert logging.getLogger().filters == []


def test_output_digest_from_bytes_or_from_the_written_file(tmp_path):
    out = tmp_path / "o.json"
    out.write_bytes(b'{"A": 1}')
    record = Provenance.RunRecord(ReportAssembler({}), str(out))
    try:
        from_bytes = json.loads(record.finish(str(out), b'{"A": 1}'))
        from_file = json.loads(record.finish(str(out)))
    finally:
        record.close()
    assert from_bytes["output"] == from_file["output"] == {
        "path": str(out), "size": 8, "sha256": hashlib.sha256(b'{"A": 1}').hexdigest()
    }


class ShortWrites:
    """A binary file taking at most `limit` bytes a call, as a pipe may."""

    def __init__(self, limit):
        self.limit, self.data = limit, bytearray()

    def write(self, chunk):
        taken = bytes(chunk[: self.limit])
        self.data += taken
        return len(taken)


@pytest.mark.parametrize("size", [0, 10, 300_000, 3_000_000])
@pytest.mark.parametrize("limit", [None, 100_000])
def test_streamed_output_is_counted_and_hashed_as_written(size, limit):
    # Small documents hash with the interpreter's own SHA-256, large ones
    # through hashlib; short writes are counted as taken.
    document = {"S": {"data": {"seq": "ACGT" * (size // 4)}, "caller_name": "x"}}
    expected = json.dumps(document, indent=4).encode()
    file = ShortWrites(limit or len(expected) + 1)
    sink = Provenance.DigestingWriter(file)
    assert assembler_module._write_json(document, sink) is True
    assert bytes(file.data) == expected
    assert sink.result() == (len(expected), hashlib.sha256(expected).hexdigest())


def write_panel_table(path, rows, seed=3):
    """A panel table whose "[Small Variants]" section has `rows` records."""
    rnd = random.Random(seed)
    lines = ["[TMB]", "Total TMB\t4.2", "", "[Small Variants]",
             "\t".join(["Gene", "Chromosome", "Genomic Position", "Reference Call",
                        "Alternative Call", "Allele Frequency", "Depth", "P-Dot Notation",
                        "C-Dot Notation", "Consequence(s)", "Affected Exon(s)"])]
    for i in range(rows):
        position = rnd.randrange(10**5, 10**8)
        lines.append("\t".join([
            rnd.choice(["TP53", "KRAS", "EGFR", "BRAF", "PIK3CA"]), "chr%d" % rnd.randrange(1, 23),
            str(position), rnd.choice("ACGT"), rnd.choice("ACGT"), "%.3f" % rnd.random(),
            str(rnd.randrange(10, 3000)), "p.(Arg%dGln)" % (i % 900), "c.%dG>A" % (i % 2700),
            rnd.choice(["missense_variant", "stop_gained", "NA"]), "%d/11" % rnd.randrange(1, 12)]))
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")


def test_large_output_is_counted_and_hashed_as_written(tmp_path):
    # An output of a few MiB, written in many chunks.
    inputs = tmp_path / "in"
    inputs.mkdir()
    write_panel_table(inputs / "S1.CombinedVariantOutput.tsv", 15_000)
    ReportAssembler({C.INPUT_DIR: str(inputs), C.OUTPUT_DIR: str(tmp_path)}).run()
    output = (tmp_path / "corvane_output.json").read_bytes()
    assert len(output) > 4 << 20
    assert load(tmp_path / "corvane_output.manifest.json")["output"] == {
        "path": str(tmp_path / "corvane_output.json"), "size": len(output),
        "sha256": hashlib.sha256(output).hexdigest()}
    assert len(json.loads(output)["SMALL VARIANTS"]["data"]) == 15_000


class FillsUp:
    """A binary file taking `room` bytes in all, then failing as a full disk does."""

    def __init__(self, file, room):
        self.file, self.room = file, room

    def write(self, data):
        if len(data) > self.room:
            self.file.write(memoryview(data)[: self.room])
            self.room = 0
            raise OSError(errno.ENOSPC, "No space left on device")
        self.room -= len(data)
        return self.file.write(data)

    def __getattr__(self, name):
        return getattr(self.file, name)


@pytest.mark.parametrize("room", [0, 100_000, 1_500_000])
def test_disk_full_while_streaming_keeps_the_earlier_output(tmp_path, monkeypatch, room):
    import builtins
    import threading

    inputs = tmp_path / "in"
    inputs.mkdir()
    write_panel_table(inputs / "S1.CombinedVariantOutput.tsv", 6_000)
    out = tmp_path / "out"
    out.mkdir()
    (out / "corvane_output.json").write_bytes(b'{"earlier": 1}')
    real_open = builtins.open

    def open_filling_up(path, mode="r", *args, **kwargs):
        file = real_open(path, mode, *args, **kwargs)
        return FillsUp(file, room) if str(path).endswith(".tmp") else file

    monkeypatch.setattr(builtins, "open", open_filling_up)
    threads = threading.active_count()
    with pytest.raises(OSError) as info:
        ReportAssembler({C.INPUT_DIR: str(inputs), C.OUTPUT_DIR: str(out)}).run()
    monkeypatch.undo()
    assert info.value.errno == errno.ENOSPC
    assert info.value.__notes__ == ["while writing " + str(out / "corvane_output.json")]
    assert os.listdir(out) == ["corvane_output.json"]
    assert (out / "corvane_output.json").read_bytes() == b'{"earlier": 1}'
    assert threading.active_count() == threads


def test_unknown_resource_has_no_digest(tmp_path, stub_factory):
    doc = write_doc(tmp_path / "a.json", {"a": {}})
    stub_factory.resource = "not_shipped.json"
    ReportAssembler({C.OUTPUT_DIR: str(tmp_path), "input_files": [doc]}).run()
    entry = load(tmp_path / "corvane_output.manifest.json")["inputs"][0]
    assert (entry["resource"], entry["resource_sha256"]) == ("not_shipped.json", None)


class FixedResult(ReportAssembler):
    def parse_files(self):
        return {"X": {"data": {}, "caller_name": "c"}}


def test_written_by_run_not_by_return_dict(tmp_path, stub_factory):
    doc = write_doc(tmp_path / "a.json", {"a": {}})
    out = tmp_path / "out"
    out.mkdir()
    ReportAssembler({C.OUTPUT_DIR: str(out), "input_files": [doc]}).run(return_dict=True)
    assert os.listdir(out) == []
    # A subclass with its own parse_files still gets a manifest of what it wrote.
    FixedResult({C.OUTPUT_DIR: str(out)}).run()
    manifest = load(out / "corvane_output.manifest.json")
    assert manifest["inputs"] == [] and manifest["output"]["sha256"] == sha256_of(out / "corvane_output.json")


@pytest.mark.parametrize(
    "output_json, manifest_name",
    [
        ("S1.unified.json", "S1.unified.manifest.json"),
        ("S1.JSON", "S1.manifest.json"),
        ("report.txt", "report.txt.manifest.json"),
        ("json", "json.manifest.json"),
    ],
)
def test_manifest_name(tmp_path, output_json, manifest_name):
    FixedResult({C.OUTPUT_DIR: str(tmp_path), C.OUTPUT_JSON: output_json}).run()
    assert sorted(os.listdir(tmp_path)) == sorted([output_json, manifest_name])
    assert Provenance.manifest_path(os.path.join("d", output_json)) == os.path.join("d", manifest_name)


# --- failures -------------------------------------------------------------------


def test_failed_run_writes_no_manifest(tmp_path, stub_factory):
    broken = tmp_path / "broken.json"
    broken.write_text("{")
    with pytest.raises(json.JSONDecodeError):
        ReportAssembler({C.OUTPUT_DIR: str(tmp_path), "input_files": [str(broken)]}).run()
    assert os.listdir(tmp_path) == ["broken.json"]
    assert logging.getLogger().filters == []


def test_manifest_write_failure_keeps_output_and_leaves_no_partial_manifest(tmp_path, monkeypatch):
    real_replace = os.replace

    def refuse_manifest(source, target):
        if str(target).endswith(".manifest.json"):
            raise OSError(errno.ENOSPC, "No space left on device")
        return real_replace(source, target)

    monkeypatch.setattr(os, "replace", refuse_manifest)
    manifest_path = os.path.join(str(tmp_path), "corvane_output.manifest.json")
    with pytest.raises(OSError) as info:
        FixedResult({C.OUTPUT_DIR: str(tmp_path)}).run()
    assert info.value.errno == errno.ENOSPC
    assert info.value.__notes__ == ["while writing " + manifest_path]
    assert os.listdir(tmp_path) == ["corvane_output.json"]
    assert json.loads((tmp_path / "corvane_output.json").read_bytes()) == {"X": {"data": {}, "caller_name": "c"}}


def test_manifest_write_failure_on_the_command_line(tmp_path):
    # A directory where the manifest's temporary goes: found only when writing.
    (tmp_path / ".corvane_output.manifest.json.tmp").mkdir()
    (tmp_path / "corvane_output.json").write_bytes(b'{"earlier": 1}')
    result = cli("--input-dir", EXAMPLES, "--output-dir", tmp_path, "--input-files", "sample1.smn.tsv")
    assert result.returncode == 1
    (line,) = result.stderr.splitlines()
    assert line.startswith("corvane-parse: error: %s: [Errno 21] Is a directory"
                           % (tmp_path / "corvane_output.manifest.json"))
    # Nothing was replaced: the output is renamed into place only with its manifest.
    assert (tmp_path / "corvane_output.json").read_bytes() == b'{"earlier": 1}'
    assert sorted(os.listdir(tmp_path)) == [".corvane_output.manifest.json.tmp", "corvane.log",
                                            "corvane_output.json"]


def test_directory_at_the_manifest_path_fails_before_reading(tmp_path, stub_factory):
    doc = write_doc(tmp_path / "a.json", {"a": {}})
    (tmp_path / "out.manifest.json").mkdir()
    with pytest.raises(IsADirectoryError) as info:
        ReportAssembler({C.OUTPUT_DIR: str(tmp_path), C.OUTPUT_JSON: "out.json", "input_files": [doc]}).run()
    assert str(info.value) == "Output path is a directory: " + str(tmp_path / "out.manifest.json")
    assert not (tmp_path / "out.json").exists()


# --- the pieces -------------------------------------------------------------------


def test_platform_and_python_match_the_platform_module():
    if platform.system() == "Linux" and platform.processor() not in ("", "unknown", platform.machine()):
        pytest.skip("platform.platform() names a processor here")
    assert Provenance.platform_name() == platform.platform()
    assert Provenance.python_identity() == {"implementation": platform.python_implementation(),
                                            "version": platform.python_version()}


def test_platform_text_cleans_like_the_platform_module():
    rng = random.Random(7)
    alphabet = ["a", "Z", "0", ".", " ", "-", "/", "\\", ":", ";", '"', "(", ")", "_", "unknown", "\t"]
    for _ in range(3000):
        parts = ["".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 6))) for _ in range(rng.randrange(1, 6))]
        assert Provenance._platform_text(*parts) == platform._platform(*parts), parts


def test_utc_timestamp_is_iso_8601_utc():
    before = datetime.datetime.now(datetime.UTC).replace(tzinfo=None)
    stamp = parse_time(Provenance.utc_timestamp())
    after = datetime.datetime.now(datetime.UTC).replace(tzinfo=None)
    assert before - datetime.timedelta(microseconds=1) <= stamp <= after


def test_text_mapping_copies_texts_as_it_converts_other_values():
    class Text(str):
        pass

    def general(value):
        return {str(Provenance._text(key)): Provenance._text(item) for key, item in value.items()}

    for value in ({}, {"a": "b", "c": "d"}, {"a": None}, {1: "x"}, {Text("k"): Text("v")}, {"p": Path("/x")},
                  {Path("/k"): "v"}, {"a": "b", "c": 2.5}):
        recorded = Provenance._text_mapping(value)
        assert [(type(k), k, type(v), v) for k, v in recorded.items()] == \
            [(type(k), k, type(v), v) for k, v in general(value).items()]
        assert recorded is not value


def test_utc_timestamp_matches_a_fresh_format_across_seconds(monkeypatch):
    # The formatted second is reused while the second lasts: clocks within one
    # second, across a boundary and going back all give a freshly formatted stamp.
    rng = random.Random(20261209)
    base = 1_765_000_000 * 10**9
    for _ in range(400):
        now = base + rng.choice([rng.randrange(3 * 10**9), rng.randrange(10**9) - 1, 10**9 * rng.randrange(-2, 3)])
        monkeypatch.setattr(Provenance.time, "time_ns", lambda: now)
        seconds, rest = divmod(now, 10**9)
        expected = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + ".%06dZ" % (rest // 1000)
        assert Provenance.utc_timestamp() == expected


def test_digests_match_hashlib(tmp_path):
    rng = random.Random(20261207)
    for size in (0, 1, 4095, (1 << 20) - 1, 1 << 20, (1 << 20) + 17, 3 * (1 << 20) + 5):
        data = rng.randbytes(size)
        path = tmp_path / ("f%d" % size)
        path.write_bytes(data)
        assert Provenance.file_digest(str(path)) == (size, hashlib.sha256(data).hexdigest())
        assert Provenance.bytes_digest(data) == hashlib.sha256(data).hexdigest()


@pytest.mark.parametrize(
    "content, output, manifest",
    [
        (b'{"A": {"data": {}, "caller_name": "c"}}', True, False),
        (b'{"A": {"data": {}, "warning": "", "caller_name": "c"}, "B": {"data": [], "caller_name": null}}', True, False),
        (b"{}", True, False),
        (b'{"smn": {"smn1CopyNumber": 2}}', False, False),
        (b'{"A": {"data": {}}}', False, False),
        (b"[]", False, False),
        (b"{", False, False),
        (b"\xff", False, False),
        (b"[" * 100000, False, False),
        (b'{"manifest_version": 1, "package": {}, "inputs": [], "output": {}}', False, True),
        (b'{"manifest_version": 1}', False, False),
    ],
)
def test_recognising_own_files(tmp_path, content, output, manifest):
    path = tmp_path / "f.json"
    path.write_bytes(content)
    assert Provenance.is_unified_output(str(path)) is output
    assert Provenance.is_manifest(str(path)) is manifest


def test_input_digest_of_a_large_file_read_again(tmp_path):
    # Small inputs are hashed from the bytes the reader read (the examples above), large ones
    # read again: both give the file's own size and SHA-256.
    document = json.loads((EXAMPLES / "sample1.targeted.json").read_text())
    targeted = tmp_path / "s.targeted.json"
    targeted.write_text(json.dumps({**document, "padding": "x" * (1 << 20)}))
    ReportAssembler({"input_files": [str(targeted)], "output_dir": str(tmp_path), "output_json": "s.json"}).run()
    (entry,) = load(tmp_path / "s.manifest.json")["inputs"]
    assert (entry["size"], entry["sha256"]) == (os.path.getsize(targeted), sha256_of(targeted))


def test_resource_digest_is_of_the_bytes_the_reader_was_built_on(monkeypatch, tmp_path):
    # The resource is replaced after the reader was built, before the manifest
    # is written: the manifest names the version that was parsed.
    from CorvaneFileParser.Parsers.ReportReaderFactory import ReportReaderFactory
    from CorvaneFileParser.Parsers.SingleRowTsvReader import SingleRowTsvReader

    resource = tmp_path / "smn_tsv_config.json"
    parsed = (Path(CorvaneFileParser.__file__).parent / resource.name).read_bytes()
    resource.write_bytes(parsed)
    monkeypatch.setattr(CorvaneFileParser, "__file__", str(tmp_path / "__init__.py"))
    replacing = type("Replacing", (SingleRowTsvReader,), {
        "parse": lambda self: (resource.write_bytes(parsed + b"\n"), SingleRowTsvReader.parse(self))[1]})
    monkeypatch.setattr(sys.modules[ReportReaderFactory.__module__], "SingleRowTsvReader", replacing)
    ReportAssembler({C.INPUT_DIR: str(EXAMPLES), C.OUTPUT_DIR: str(tmp_path), "input_files": ["sample1.smn.tsv"]}).run()
    entry, = load(tmp_path / "corvane_output.manifest.json")["inputs"]
    assert entry["resource_sha256"] == hashlib.sha256(parsed).hexdigest()
    assert ReportReaderFactory.resource_digest(resource.name) == hashlib.sha256(parsed + b"\n").hexdigest()
