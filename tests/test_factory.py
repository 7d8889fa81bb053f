import importlib.resources
import json
import sys

import pytest

import CorvaneFileParser
from CorvaneFileParser.CorvaneConstants import CorvaneConstants
from CorvaneFileParser.Models import ConditionOperator
from CorvaneFileParser.Parsers import ReportReaderFactory
from CorvaneFileParser.Parsers.JsonExtractReader import JsonExtractReader
from CorvaneFileParser.Parsers.PanelTsvReader import PanelTsvReader
from CorvaneFileParser.Parsers.SingleRowTsvReader import SingleRowTsvReader

RESOURCES = [
    "dragen_500_tsv_config.json",
    "smn_tsv_config.json",
    "gba_tsv_config.json",
    "dragen_targeted_config.json",
    "pacbio_paraphase_config.json",
]


def resource(name):
    with importlib.resources.files("CorvaneFileParser").joinpath(name).open(encoding="utf-8") as f:
        return json.load(f)


@pytest.fixture
def package(monkeypatch, tmp_path):
    """A package directory the resources are read from (that of the package's __file__)."""
    folder = tmp_path / "package"
    folder.mkdir()
    monkeypatch.setattr(CorvaneFileParser, "__file__", str(folder / "__init__.py"))
    return folder


@pytest.mark.parametrize(
    "name, reader, config",
    [
        ("S1.CombinedVariantOutput.tsv", PanelTsvReader, "dragen_500_tsv_config.json"),
        ("combinedvariantoutput.tsv", PanelTsvReader, "dragen_500_tsv_config.json"),
        ("S1.SMN.TSV", SingleRowTsvReader, "smn_tsv_config.json"),
        ("S1_smn.tsv", SingleRowTsvReader, "smn_tsv_config.json"),
        # A plain suffix test: the sample name runs straight into "gba".
        ("S1gba.tsv", SingleRowTsvReader, "gba_tsv_config.json"),
        ("paraphase_run/S1.gba.tsv", SingleRowTsvReader, "gba_tsv_config.json"),
        ("S1.paraphase.json", JsonExtractReader, "pacbio_paraphase_config.json"),
        ("S1.PARAPHASE.JSON", JsonExtractReader, "pacbio_paraphase_config.json"),
        # The directory part counts for "paraphase".
        ("Paraphase_out/S1.json", JsonExtractReader, "pacbio_paraphase_config.json"),
        ("S1.targeted.json", JsonExtractReader, "dragen_targeted_config.json"),
        ("S1.Json", JsonExtractReader, "dragen_targeted_config.json"),
    ],
)
def test_dispatch(tmp_path, name, reader, config):
    path = tmp_path / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("x\n")
    parser = ReportReaderFactory.get_parser(str(path))
    assert type(parser) is reader
    assert parser.file_path == str(path)  # as received, capitals kept
    assert parser.section_config == resource(config)
    assert parser.resource_name == config


@pytest.mark.parametrize(
    "name", ["notes.tsv", "S1.vcf", "S1.json.bak", "S1.smn.tsv.gz", "smn.txt", ""]
)
def test_unsupported(name):
    # The file need not exist: only its name is looked at.
    with pytest.raises(ValueError) as info:
        ReportReaderFactory.get_parser(name)
    assert str(info.value) == "Unsupported file type: " + name
    assert info.value.__cause__ is None


@pytest.mark.parametrize("path", [5, None, ["a.tsv"]])
def test_non_str_path_fails_unconverted(path):
    with pytest.raises(AttributeError):
        ReportReaderFactory.get_parser(path)


def test_constructor_error_is_converted(tmp_path):
    path = str(tmp_path / "missing" / "S1.smn.tsv")
    with pytest.raises(RuntimeError) as info:
        ReportReaderFactory.get_parser(path)
    cause = info.value.__cause__
    assert isinstance(cause, FileNotFoundError)
    assert info.value.__context__ is cause
    assert str(info.value) == "Failed to load config for " + path + ": " + str(cause)
    assert str(cause) == "File not found: " + path


@pytest.mark.parametrize(
    "texts, cause",
    [
        ({}, FileNotFoundError),
        ({"smn_tsv_config.json": "{not json"}, json.JSONDecodeError),
        ({"smn_tsv_config.json": b"{\"\xff\": 1}"}, UnicodeDecodeError),
        # An empty configuration passes the loader; the reader is still built.
        ({"smn_tsv_config.json": "{}"}, None),
    ],
)
def test_resource_failures(package, tmp_path, texts, cause):
    for name, text in texts.items():
        if isinstance(text, bytes):
            (package / name).write_bytes(text)
        else:
            (package / name).write_text(text, encoding="utf-8")
    path = tmp_path / "S1.smn.tsv"
    path.write_text("a\n")
    if cause is None:
        reader = ReportReaderFactory.get_parser(str(path))
        assert reader.section_config == {}
        assert reader.resource_name == "smn_tsv_config.json"
    else:
        with pytest.raises(RuntimeError) as info:
            ReportReaderFactory.get_parser(str(path))
        assert isinstance(info.value.__cause__, cause)
        assert str(info.value) == (
            f"Failed to load config for {path}: {info.value.__cause__}"
        )
        if cause is FileNotFoundError:
            assert info.value.__cause__.filename == str(package / "smn_tsv_config.json")


class Interrupting:
    def __fspath__(self):
        raise KeyboardInterrupt


def test_interrupt_is_not_converted(monkeypatch, tmp_path):
    monkeypatch.setattr(CorvaneFileParser, "__file__", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        ReportReaderFactory.get_parser(str(tmp_path / "S1.json"))


def test_configuration_is_loaded_afresh(tmp_path):
    path = tmp_path / "S1.gba.tsv"
    path.write_text("a\n")
    first = ReportReaderFactory.get_parser(str(path))
    first.section_config["GBA"]["caller_name"] = "changed"
    second = ReportReaderFactory.get_parser(str(path))
    assert second.section_config == resource("gba_tsv_config.json")
    assert second is not first


@pytest.mark.parametrize("constructor_owner", ["SingleRowTsvReader", "ReportReaderBase"])
def test_every_version_and_every_changed_copy_of_the_settings_is_checked(
        monkeypatch, package, tmp_path, constructor_owner):
    # Readers built on copies of one cached resource pass the checks their
    # first copy passed; a new version of the file (even of the same size), or
    # settings changed before the checks run, are checked again.
    path = tmp_path / "S1.gba.tsv"
    path.write_text("a\n")
    bad = "gba_tsv_config.json: section 'GBA': \"table\" must be true or false"
    for table in ("true", '"yes"', '"yes"', "false", '"no"', "false"):
        (package / "gba_tsv_config.json").write_text('{"GBA": {"table": %s}}' % table)
        for _ in range(2):
            if table in ("true", "false"):
                reader = ReportReaderFactory.get_parser(str(path))
                assert reader.section_config == {"GBA": {"table": json.loads(table)}}
            else:
                with pytest.raises(RuntimeError, match=bad):
                    ReportReaderFactory.get_parser(str(path))
    owner = getattr(sys.modules["CorvaneFileParser.Parsers." + constructor_owner], constructor_owner)
    shipped = owner.__init__

    def spoiling(self, section_config, file_path, **keywords):
        section_config["GBA"]["table"] = "yes"
        shipped(self, section_config, file_path, **keywords)

    monkeypatch.setattr(owner, "__init__", spoiling)
    with pytest.raises(RuntimeError, match=bad):
        ReportReaderFactory.get_parser(str(path))


# The shipped configurations: a mistake here breaks every run on that kind of
# file, or silently drops a section from the unified output.


def test_section_names_do_not_collide_across_resources():
    seen = {}
    for name in RESOURCES:
        for section in resource(name):
            key = section.upper()
            assert key not in seen, f"{section} of {name} collides with {seen[key]}"
            seen[key] = name


def test_tsv_sections_match_their_file_stems():
    assert [s.lower() for s in resource("smn_tsv_config.json")] == ["smn"]
    assert [s.lower() for s in resource("gba_tsv_config.json")] == ["gba"]


CONDITION_KEYS = {"operator", "value", "message", "field", "no_call"}


def check_warning(warning):
    kind = warning["type"]
    assert kind in {"condition", "carrier_positive", "genotype", "smn", "gba", "alpha_globin"}
    if kind == "condition":
        assert warning["conditions"]
        for condition in warning["conditions"]:
            assert {"operator", "value", "message"} <= set(condition) <= CONDITION_KEYS
            ConditionOperator[condition["operator"]]
    elif kind == "carrier_positive":
        assert warning["conditions"]
        for condition in warning["conditions"]:
            ConditionOperator[condition["operator"]]
    elif kind == "genotype":
        table = warning["phenotypeGenotypeMapping"]
        kinds = {type(v) for v in table.values()}
        assert kinds in ({str}, {list})
        if kinds == {list}:
            # A genotype listed under two phenotypes would be reported as the first.
            listed = ["/".join(sorted(g.split("/"))) for gs in table.values() for g in gs]
            assert len(listed) == len(set(listed))
    elif kind == "smn":
        assert isinstance(warning["smn1_copy_number_keys"], list)
    elif kind == "alpha_globin":
        assert warning.get("genotype_key") or warning.get("copy_number_keys")


@pytest.mark.parametrize("name", RESOURCES)
def test_resource_shape(name):
    config = resource(name)
    assert config
    for section, settings in config.items():
        assert isinstance(settings.get("caller_name"), str) and settings["caller_name"]
        warning = settings.get(CorvaneConstants.WARNING_KEY)
        if warning:
            check_warning(warning)
        for key in ("json_keys", "include_paths", "include_fields", "exclude_paths"):
            if key in settings:
                assert isinstance(settings[key], list)
                assert all(isinstance(item, str) and item for item in settings[key])
        if "fields" in settings:
            assert isinstance(settings["fields"], dict) and settings["fields"]


def test_resources_are_ascii_text():
    # Warning messages reach standard output and reports; plain ASCII prints
    # on any console encoding.
    for name in RESOURCES:
        importlib.resources.files("CorvaneFileParser").joinpath(name).read_bytes().decode("ascii")


# A replacement reader class gets only the factory's keywords its constructor
# takes: the reader contract's two-argument constructor is built as before.
SMN = {"resource_name": "smn_tsv_config.json"}


@pytest.mark.parametrize("init, by_name, by_kind", [
    (lambda self, section_config, file_path: setattr(self, "given", {}), {}, {}),
    (lambda self, section_config, file_path, resource_name=None: setattr(
        self, "given", {"resource_name": resource_name}), SMN, SMN),
    (lambda self, section_config, file_path, **given: setattr(self, "given", given),
     SMN, {**SMN, "kind_given": True}),
])
def test_replacement_reader_gets_the_keywords_it_takes(monkeypatch, init, by_name, by_kind):
    replacement = type("Replacement", (SingleRowTsvReader,), {"__init__": init})
    monkeypatch.setattr(sys.modules[ReportReaderFactory.__module__], "SingleRowTsvReader", replacement)
    for kind, expected in ((None, by_name), ("smn", by_kind)):
        reader = ReportReaderFactory.get_parser("S1.smn.tsv", kind)
        assert type(reader) is replacement and reader.given == expected
