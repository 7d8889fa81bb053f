"""The typed, documented API: stubs, signatures, docstrings, help() and package metadata."""

import ast
import importlib
import importlib.metadata
import pydoc
import re
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import CorvaneFileParser

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
PACKAGE_DIR = Path(CorvaneFileParser.__file__).parent
EXTENSION_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")

def extension_modules():
    return sorted(PACKAGE_DIR.rglob("*" + EXTENSION_SUFFIX))


def module_name(extension):
    relative = extension.relative_to(PACKAGE_DIR.parent)
    return ".".join((*relative.parent.parts, relative.name[: -len(EXTENSION_SUFFIX)]))


def public_classes():
    """Every public class an extension module defines, and the Python-layer enumeration."""
    found = {}
    for extension in extension_modules():
        module = importlib.import_module(module_name(extension))
        for name, value in vars(module).items():
            if isinstance(value, type) and value.__module__ == module.__name__ and not name.startswith("_"):
                found[f"{module.__name__}.{name}"] = value
    from CorvaneFileParser.Models.ConditionOperator import ConditionOperator
    found["CorvaneFileParser.Models.ConditionOperator.ConditionOperator"] = ConditionOperator
    return found


PUBLIC_CLASSES = public_classes()


def test_every_module_is_covered():
    built = re.findall(r"^corvane_module\(([\w/]+)\)", (ROOT / "CMakeLists.txt").read_text("utf-8"), re.M)
    assert sorted(module_name(e) for e in extension_modules()) == sorted(
        "CorvaneFileParser." + path.replace("/", ".") for path in built)
    names = {qualified.rsplit(".", 1)[1] for qualified in PUBLIC_CLASSES}
    assert {"ReportAssembler", "ReportReaderBase", "ReportReaderFactory", "PanelTsvReader",
            "WarningRegistry", "ValueRule", "LysosomalWarning"} <= names


def own_methods(cls):
    """Public callables the class itself defines (not inherited, not data)."""
    names = []
    for name, value in vars(cls).items():
        if name.startswith("_") and name not in ("__init__", "__str__"):
            continue
        if callable(value) or isinstance(value, (staticmethod, classmethod)):
            names.append(name)
    return names


def nanobind_function(value):
    """The nanobind function behind a method, static/class method or abstract method."""
    while not hasattr(value, "__nb_signature__") and hasattr(value, "__func__"):
        value = value.__func__
    return value if hasattr(value, "__nb_signature__") else None


def described(value):
    """The docstring without the signature line nanobind puts first."""
    doc = getattr(value, "__doc__", None) or ""
    if nanobind_function(value) is not None:
        doc = doc.partition("\n\n")[2]
    return doc.strip()


@pytest.mark.parametrize("qualified", sorted(PUBLIC_CLASSES))
def test_public_classes_and_methods_are_documented_and_typed(qualified):
    cls = PUBLIC_CLASSES[qualified]
    assert (cls.__doc__ or "").strip(), f"{cls.__name__} has no docstring"
    for name in own_methods(cls):
        member = getattr(cls, name)
        assert described(member), f"{cls.__name__}.{name} has no docstring"
        function = nanobind_function(member)
        if function is None:
            continue
        for signature, *_ in function.__nb_signature__:
            # An argument without a stated type renders as "object"; None is
            # written "| None" only where the API allows it.
            assert "object" not in signature, f"{cls.__name__}.{name}: {signature}"
            assert signature.startswith(f"def {name}("), signature


def test_public_module_functions_are_documented_and_typed():
    seen = []
    for extension in extension_modules():
        module = importlib.import_module(module_name(extension))
        for name, value in vars(module).items():
            function = nanobind_function(value)
            if name.startswith("_") or function is None or function.__module__ != module.__name__:
                continue
            seen.append(f"{module.__name__}.{name}")
            assert described(value), f"{module.__name__}.{name} has no docstring"
            for signature, *_ in function.__nb_signature__:
                assert "object" not in signature, signature
    assert "CorvaneFileParser.ReportAssembler.main" in seen


@pytest.mark.parametrize("qualified", sorted(PUBLIC_CLASSES))
def test_help_names_every_method(qualified):
    cls = PUBLIC_CLASSES[qualified]
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    methods = own_methods(cls)
    # An enumeration and an exception class define no methods of their own.
    assert methods or cls.__name__ == "ConditionOperator" or issubclass(cls, BaseException)
    for name in methods:
        assert f"{name}(" in text, f"help({cls.__name__}) does not show {name}"
    for line in (cls.__doc__ or "").strip().splitlines()[:1]:
        assert line.strip() in text


def stated_types(tree):
    """Every annotation and return type a stub states, as source text."""
    for node in ast.walk(tree):
        if isinstance(node, ast.arg) and node.annotation is not None:
            yield ast.unparse(node.annotation)
        elif isinstance(node, ast.FunctionDef) and node.returns is not None:
            yield ast.unparse(node.returns)
        elif isinstance(node, ast.AnnAssign):
            yield ast.unparse(node.annotation)


def class_attributes(cls):
    """The names a stub's class body declares or assigns, in order."""
    names = []
    for node in cls.body:
        targets = node.targets if isinstance(node, ast.Assign) else (
            [node.target] if isinstance(node, ast.AnnAssign) else [])
        names += [target.id for target in targets if isinstance(target, ast.Name)]
    return names


def test_every_extension_module_ships_a_stub_and_the_package_is_typed():
    assert (PACKAGE_DIR / "py.typed").is_file()
    modules = extension_modules()
    assert modules
    for module in modules:
        stub = module.with_name(module.name[: -len(EXTENSION_SUFFIX)] + ".pyi")
        assert stub.is_file(), f"no stub for {module.name}"
        text = stub.read_text("utf-8")
        tree = ast.parse(text)  # a stub mypy can read is valid Python syntax
        functions = [node for node in ast.walk(tree) if isinstance(node, ast.FunctionDef)]
        assert functions, f"{stub.name} declares no function"
        for function in functions:
            assert function.returns is not None, f"{stub.name}: {function.name} has no return type"
            arguments = function.args.posonlyargs + function.args.args + function.args.kwonlyargs
            for argument in arguments:
                if argument.arg not in ("self", "cls"):
                    assert argument.annotation is not None, f"{stub.name}: {function.name}"
            assert "*args, **kwargs" not in ast.unparse(function.args), f"{stub.name}: {function.name}"
        for cls in (node for node in ast.walk(tree) if isinstance(node, ast.ClassDef)):
            declared = class_attributes(cls)
            assert len(declared) == len(set(declared)), f"{stub.name}: {cls.name} {declared}"
        # A value without a stated type renders as "object"; docstrings may say the word.
        for stated in stated_types(tree):
            assert not re.search(r"(?<![\w.])object\b", stated), f"{stub.name}: {stated}"


def test_stubs_render_static_class_and_abstract_methods():
    read = lambda path: (PACKAGE_DIR / path).read_text("utf-8")
    assembler = read("ReportAssembler.pyi")
    assert "    @staticmethod\n    def parse_args() -> argparse.Namespace:" in assembler
    assert "    @classmethod\n    def from_cli(cls) -> None:" in assembler
    assert "def run(self, return_dict: bool = False) -> CorvaneFileParser.Models.JsonDict | None:" in assembler
    assert "    @abstractmethod\n    def parse(self)" in read("Parsers/ReportReaderBase.pyi")
    assert "    @abstractmethod\n    def format(self" in read("Warnings/WarningBase.pyi")
    assert "def check(self, value: Any) -> Any:" in read("Models/ValueRule.pyi")
    assert "_prepare_configs" not in read("Parsers/PanelTsvReader.pyi")


CLIENT = '''
from pathlib import Path

import CorvaneFileParser
from CorvaneFileParser.Models import JsonDict
from CorvaneFileParser.Parsers import ReportReaderFactory
from CorvaneFileParser.Parsers.ReportReaderBase import ReportReaderBase
from CorvaneFileParser.ReportAssembler import ReportAssembler
from CorvaneFileParser.Warnings import WarningBase, WarningRegistry


def unified(input_dir: Path) -> JsonDict:
    result = ReportAssembler({"input_dir": str(input_dir)}).run(return_dict=True)
    assert result is not None
    return result


def readers(paths: list[str]) -> list[ReportReaderBase]:
    built = [ReportReaderFactory.get_parser(path) for path in paths]
    for reader in built:
        entries: JsonDict = reader.build_result(reader.parse())
        assert all(key.isupper() for key in entries)
        assert reader.file_path in paths
    return built


def warning_text(data: JsonDict) -> str:
    settings = {"type": "condition", "conditions": []}
    formatter: WarningBase = WarningRegistry.get_formatter(settings)
    return formatter.format(settings, data)


version: str = CorvaneFileParser.__version__

if __name__ == "__main__":
    examples = Path(__import__("sys").argv[1])
    document = unified(examples)
    names = sorted(str(path) for path in examples.iterdir())
    print(len(document), len(readers(names)), repr(warning_text(document["TMB"]["data"])))
'''

MISUSE = '''
from CorvaneFileParser.Parsers import ReportReaderFactory
from CorvaneFileParser.ReportAssembler import ReportAssembler
from CorvaneFileParser.Warnings import WarningRegistry

written: str = ReportAssembler({}).run()
ReportAssembler({}).run(return_dict="yes")
ReportReaderFactory.get_parser(3)
WarningRegistry.get_formatter({}).format({}, {}).missing_method()
ReportAssembler(None)
ReportAssembler({}).input_files.append(3)
'''


def mypy(tmp_path, source):
    script = tmp_path / "client.py"
    script.write_text(textwrap.dedent(source), encoding="utf-8")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), str(script)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)


def test_package_stubs_and_modules_check_clean_under_mypy_strict(tmp_path):
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir",
         str(tmp_path / "cache"), "-p", "CorvaneFileParser"],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert checked.stdout.startswith("Success: no issues found")


def test_client_type_checks_under_mypy_strict_and_runs(tmp_path):
    checked = mypy(tmp_path, CLIENT)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert checked.stdout == ""
    ran = subprocess.run([sys.executable, str(tmp_path / "client.py"), str(EXAMPLES)],
                         capture_output=True, text=True, timeout=120)
    assert ran.returncode == 0, ran.stderr
    sections, readers, warning = ran.stdout.splitlines()[-1].split(" ", 2)
    assert int(sections) > 0 and warning == "''"
    assert int(readers) == len(list(EXAMPLES.iterdir()))


def test_mypy_reports_misuse_from_the_stubs(tmp_path):
    checked = mypy(tmp_path, MISUSE)
    assert checked.returncode == 1
    errors = [line.split(": error: ")[1] for line in checked.stdout.splitlines() if ": error: " in line]
    assert len(errors) == 6, checked.stdout
    assert 'Incompatible types in assignment (expression has type "dict[str, Any] | None"' in errors[0]
    assert 'Argument "return_dict" to "run" of "ReportAssembler" has incompatible type "str"' in errors[1]
    assert 'Argument 1 to "get_parser" of "ReportReaderFactory" has incompatible type "int"' in errors[2]
    assert '"str" has no attribute "missing_method"' in errors[3]
    assert 'Argument 1 to "ReportAssembler" has incompatible type "None"' in errors[4]
    assert 'Argument 1 to "append" of "list" has incompatible type "int"' in errors[5]


def test_one_version_everywhere():
    assert CorvaneFileParser.__version__ == "0.2.0"
    assert importlib.metadata.version("CorvaneFileParser") == CorvaneFileParser.__version__
    source = (ROOT / "src" / "CorvaneFileParser" / "__init__.py").read_text("utf-8")
    assert f'__version__ = "{CorvaneFileParser.__version__}"' in source
    assert "version =" not in (ROOT / "pyproject.toml").read_text("utf-8").split("[project]")[1].split("[")[0]
    changelog = (ROOT / "CHANGELOG.md").read_text("utf-8")
    assert f"## [{CorvaneFileParser.__version__}]" in changelog


def test_command_line_reports_the_version(tmp_path):
    # Run in a scratch directory: the command line logs to corvane.log there.
    result = subprocess.run([str(Path(sys.executable).parent / "corvane-parse"), "--version"],
                            capture_output=True, text=True, cwd=tmp_path, timeout=60)
    if result.returncode == 2 and "unrecognized arguments: --version" in result.stderr:
        pytest.skip("this build's command line has no --version option")
    assert result.returncode == 0, result.stderr
    assert CorvaneFileParser.__version__ in result.stdout


def test_package_metadata():
    metadata = importlib.metadata.metadata("CorvaneFileParser")
    assert metadata["License-Expression"] == "Apache-2.0"
    assert metadata["Author"] == "CorvaneFileParser developers"
    classifiers = metadata.get_all("Classifier")
    for classifier in ("Programming Language :: Python :: 3.13", "Programming Language :: C++",
                       "Topic :: Scientific/Engineering :: Bio-Informatics",
                       "Operating System :: POSIX :: Linux"):
        assert classifier in classifiers
    assert "genomics" in metadata["Keywords"]
    assert metadata.get_all("License-File") == ["LICENSE"]
    files = importlib.metadata.files("CorvaneFileParser")
    licence = next(f for f in files if f.name == "LICENSE")
    assert "Apache License" in licence.read_text()
    assert "Version 2.0, January 2004" in (ROOT / "LICENSE").read_text("utf-8")


def test_installed_metadata_links_its_pages_and_bounds_its_requirements():
    metadata = importlib.metadata.metadata("CorvaneFileParser")
    urls = dict(entry.split(", ", 1) for entry in metadata.get_all("Project-URL"))
    assert sorted(urls) == ["Changelog", "Documentation", "Issues", "Source"]
    assert urls["Documentation"].endswith("/docs") and urls["Changelog"].endswith("/CHANGELOG.md")
    # A runtime requirement is a range of compatible releases, never one exact version.
    runtime = [item for item in metadata.get_all("Requires-Dist") if "extra ==" not in item]
    assert runtime and all(">=" in item and "<" in item and "==" not in item for item in runtime)
