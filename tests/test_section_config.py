"""SectionConfig behaves as the dataclass it replaces, without importing dataclasses."""

import subprocess
import sys
from dataclasses import dataclass, field
from typing import Collection, Optional

import pytest

from CorvaneFileParser.Models import SectionConfig


@dataclass
class SectionConfig_:  # the former definition, as the reference
    fields: Optional[Collection[str]] = field(default_factory=dict)
    include_all_fields: bool = False


SectionConfig_.__qualname__ = "SectionConfig"

ARGUMENTS = [
    ((), {}),
    (({"Gene": None},), {}),
    ((["a", "b"], True), {}),
    ((), {"fields": None, "include_all_fields": 1}),
    ((), {"include_all_fields": True}),
    (({"x"},), {"include_all_fields": False}),
    (("text",), {}),
]


@pytest.mark.parametrize("args, kwargs", ARGUMENTS)
def test_construction_and_repr_match_the_dataclass(args, kwargs):
    ours, reference = SectionConfig(*args, **kwargs), SectionConfig_(*args, **kwargs)
    assert repr(ours) == repr(reference)
    assert (ours.fields, ours.include_all_fields) == (reference.fields, reference.include_all_fields)
    assert ours.fields is (args[0] if args else kwargs.get("fields", ours.fields))


def test_equality_matches_the_dataclass():
    for a_args, a_kwargs in ARGUMENTS:
        for b_args, b_kwargs in ARGUMENTS:
            ours = SectionConfig(*a_args, **a_kwargs) == SectionConfig(*b_args, **b_kwargs)
            reference = SectionConfig_(*a_args, **a_kwargs) == SectionConfig_(*b_args, **b_kwargs)
            assert ours == reference
    config = SectionConfig()
    assert config.__eq__({"fields": {}}) is NotImplemented
    assert config != SectionConfig_()
    assert (config == config) and not (config != config)
    with pytest.raises(TypeError):
        hash(config)


def test_each_instance_gets_its_own_default_fields():
    first, second = SectionConfig(), SectionConfig()
    first.fields["Gene"] = None
    assert second.fields == {}
    assert SectionConfig.include_all_fields is False


def test_too_many_or_unknown_arguments_fail():
    with pytest.raises(TypeError):
        SectionConfig({}, False, 3)
    with pytest.raises(TypeError):
        SectionConfig(field=[])


def test_recursive_repr_and_match_args():
    config = SectionConfig()
    config.fields = [config]
    assert repr(config) == "SectionConfig(fields=[...], include_all_fields=False)"
    match SectionConfig(["a"], True):
        case SectionConfig(fields, include_all):
            assert (fields, include_all) == (["a"], True)


def test_package_import_does_not_load_dataclasses():
    code = "import sys, CorvaneFileParser.ReportAssembler; print('dataclasses' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_json_dict_alias_is_the_typing_one():
    import typing

    from CorvaneFileParser import Models
    from CorvaneFileParser.Models import JsonDict

    assert JsonDict == typing.Dict[str, typing.Any]
    assert Models.JsonDict is JsonDict
    with pytest.raises(AttributeError):
        Models.NoSuchName
