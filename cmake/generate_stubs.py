"""Writes a typing stub (.pyi) beside every installed extension module.

Run by `cmake --install`: the package's Python sources and the extension
modules just installed under the prefix are put together in a temporary
directory, imported, and nanobind's stub generator renders each module from
its runtime signatures and docstrings.

The package builds its classes with `type`/`abc.ABCMeta` from C++ functions,
so a few members are not the nanobind objects the generator expects; the
subclass below renders them:
- static and class methods wrapping a nanobind function,
- abstract methods (a carrier whose `__func__` is the nanobind method),
- host functions with a `__text_signature__` (fast-call methods), whose
  parameters are typed `Any` (a text signature cannot carry annotations),
- a class's `__annotations__`, declared as its instance attributes (with
  the class's own value as the default when it also sets one, so each is
  declared once), and a module's, giving the type of a module global.
"""

import argparse
import importlib
import inspect
import shutil
import sys
import sysconfig
import tempfile
import types
from pathlib import Path

from nanobind.stubgen import StubGen

# Return types of protocol methods, for host functions that cannot state them.
PROTOCOL_RETURNS = {"__init__": "None", "__str__": "str", "__repr__": "str"}


def is_nb_function(value):
    return type(value).__module__ == "nanobind" and type(value).__name__ in ("nb_func", "nb_method")


def is_abstract_carrier(value):
    return (type(value).__module__ == "abc" and type(value).__name__ == "abstractmethod"
            and is_nb_function(getattr(value, "__func__", None)))


def is_plain_value(value):
    """A class-level data value (None, a number, a text...), not a function,
    class or descriptor."""
    return not (callable(value) or isinstance(value, type) or hasattr(type(value), "__get__"))


def text_signature_function(value):
    """The host function behind `value` when it has a text signature, else None."""
    if type(value).__name__ == "instancemethod":
        value = value.__func__
    if isinstance(value, (types.MethodDescriptorType, types.BuiltinFunctionType)):
        if getattr(value, "__text_signature__", None):
            return value
    return None


class PackageStubGen(StubGen):
    def put(self, value, name=None, parent=None):
        if name == "__abstractmethods__":
            return
        if name == "__annotations__":
            if isinstance(parent, type):
                self.put_attribute_annotations(value, parent)
            return
        if (isinstance(parent, type) and name in vars(parent).get("__annotations__", {})
                and is_plain_value(value)):
            # Declared with its annotation, this value as the default.
            return
        # (read from the namespace: reading a module's __annotations__ creates it)
        module_annotations = (vars(parent).get("__annotations__", {})
                              if isinstance(parent, types.ModuleType) else {})
        if name in module_annotations:
            # A module global with a stated type.
            annotation = self.annotation_str(module_annotations[name])
            self.write_ln(f"{name}: {annotation} = ...\n")
            return
        special = (
            (isinstance(value, (staticmethod, classmethod)) and is_nb_function(value.__func__))
            or is_abstract_carrier(value)
            or text_signature_function(value) is not None
        )
        if not special:
            return super().put(value, name, parent)
        if name and name.startswith("_") and not (name.startswith("__") and name.endswith("__")):
            return
        if isinstance(value, staticmethod):
            # put_nb_overload marks a nanobind function inside a class static.
            self.put_nb_func(value.__func__, name)
        elif isinstance(value, classmethod):
            start = len(self.output)
            self.put_nb_func(value.__func__, name)
            indent = "    " * self.depth
            rendered = self.output[start:].replace(indent + "@staticmethod\n",
                                                   indent + "@classmethod\n", 1)
            self.output = self.output[:start] + rendered
        elif is_abstract_carrier(value):
            self.write_ln("@" + self.import_object("abc", "abstractmethod"))
            self.put_nb_func(value.__func__, name)
        else:
            self.put_text_signature(text_signature_function(value), name)

    def type_str(self, tp):
        # A class of another module of the package is imported by name: a
        # package may re-export a class under its module's name, which hides
        # the module from a dotted reference.
        if (isinstance(tp, type) and tp.__module__ != self.module.__name__
                and tp.__module__.split(".")[0] == self.module.__name__.split(".")[0]):
            return self.import_object(tp.__module__, tp.__name__)
        return super().type_str(tp)

    def annotation_str(self, annotation):
        """An annotation given as a text or as a type, rendered for the stub."""
        if isinstance(annotation, str):
            return self.simplify_types(annotation)
        return self.type_str(annotation)

    def put_attribute_annotations(self, annotations, cls):
        """Declares the instance attributes a class annotates; one the class
        also sets to a plain value gets that value as its default."""
        namespace = vars(cls)
        for attribute, annotation in annotations.items():
            line = f"{attribute}: {self.annotation_str(annotation)}"
            if attribute in namespace and is_plain_value(namespace[attribute]):
                line += f" = {self.expr_str(namespace[attribute], True) or '...'}"
            self.write_ln(line)
        if annotations:
            self.write("\n")

    def put_text_signature(self, function, name):
        any_type = self.import_object("typing", "Any")
        signature = inspect.signature(function)
        pieces, keyword_only_marked = [], False
        for index, parameter in enumerate(signature.parameters.values()):
            if index == 0 and parameter.name == "self":
                pieces.append("self")
                continue
            if parameter.kind is parameter.KEYWORD_ONLY and not keyword_only_marked:
                pieces.append("*")
                keyword_only_marked = True
            prefix = {parameter.VAR_POSITIONAL: "*", parameter.VAR_KEYWORD: "**"}.get(
                parameter.kind, "")
            piece = f"{prefix}{parameter.name}: {any_type}"
            if parameter.default is not parameter.empty:
                piece += f" = {parameter.default!r}"
            pieces.append(piece)
        returns = PROTOCOL_RETURNS.get(name, any_type)
        self.write_ln(f"def {name}({', '.join(pieces)}) -> {returns}:"
                      if function.__doc__ else
                      f"def {name}({', '.join(pieces)}) -> {returns}: ...")
        if function.__doc__:
            self.depth += 1
            self.put_docstr(function.__doc__)
            self.depth -= 1
        self.write("\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True, type=Path,
                        help="the package's source directory (src/<package>)")
    parser.add_argument("--installed", required=True, type=Path,
                        help="the package directory under the install prefix")
    args = parser.parse_args()

    package = args.source.name
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    extensions = sorted(args.installed.rglob("*" + suffix))
    if not extensions:
        sys.exit(f"generate_stubs: no extension module under {args.installed}")

    with tempfile.TemporaryDirectory() as scratch:
        assembled = Path(scratch) / package
        shutil.copytree(args.source, assembled,
                        ignore=shutil.ignore_patterns("__pycache__", "*.pyi"))
        names = []
        for extension in extensions:
            relative = extension.relative_to(args.installed)
            shutil.copy2(extension, assembled / relative)
            stem = relative.name[: -len(suffix)]
            names.append(".".join((package, *relative.parent.parts, stem)))
        sys.path.insert(0, scratch)

        for name, extension in zip(names, extensions):
            module = importlib.import_module(name)
            if not module.__file__.startswith(scratch):
                sys.exit(f"generate_stubs: {name} was imported from {module.__file__}")
            stub = extension.with_name(extension.name[: -len(suffix)] + ".pyi")
            generator = PackageStubGen(module, include_docstrings=True,
                                       include_private=False, output_file=stub)
            generator.put(module)
            stub.write_text(generator.get(), encoding="utf-8")


if __name__ == "__main__":
    main()
