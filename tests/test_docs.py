"""The documentation: the generated section reference is current, its rules are the code's, links hold."""

import copy
import json
import math
import random
import re
import runpy
import types
from importlib import resources
from pathlib import Path

import pytest

from CorvaneFileParser.Parsers.JsonExtractReader import JsonExtractReader

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "scripts" / "write-output-reference.py"
needs_source = pytest.mark.skipif(not SCRIPT.is_file(), reason="needs the source tree beside the tests")


@needs_source
def test_output_reference_is_what_the_script_writes():
    script = types.SimpleNamespace(**runpy.run_path(str(SCRIPT), run_name="write_output_reference"))
    assert script.PAGE.read_text("utf-8") == script.expected_page(), (
        "docs/output.md is out of date: run scripts/write-output-reference.py")


def anchors(path):
    return {re.sub(r"[^a-z0-9 _-]", "", line.lstrip("#").strip().lower()).replace(" ", "-")
            for line in path.read_text("utf-8").splitlines() if line.startswith("#")}


@needs_source
def test_relative_links_reach_a_file_and_heading():
    pages = [ROOT / "README.md", ROOT / "ARCHITECTURE.md", *sorted((ROOT / "docs").glob("*.md"))]
    broken = []
    for page in pages:
        for target in re.findall(r"\]\(([^)\s]+)\)", page.read_text("utf-8")):
            if re.match(r"[a-z]+:", target):
                continue
            name, _, fragment = target.partition("#")
            linked = (page.parent / name).resolve() if name else page
            if not linked.exists() or (fragment and fragment not in anchors(linked)):
                broken.append(f"{page.name}: {target}")
    assert broken == []


# What the reference promises for a "condition" warning: every condition that holds on a
# value of its kind adds its message once, in order; finding beats no_call, which a no-call
# message or a present value of the wrong kind gives; no field read present is not_assessed.
def suits(cond, value):
    target = cond.get("value")
    if target is None and cond["operator"] == "EQ":
        return True
    if isinstance(target, bool):
        return isinstance(value, bool)
    measure = isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)
    # Equality with a whole number counts copies: a fraction is no count, nor is a
    # negative number when the count compared with is 0 or more.
    if cond["operator"] == "EQ" and float(target).is_integer():
        return measure and float(value).is_integer() and (target < 0 or value >= 0)
    return measure


def holds(cond, value):
    target, op = cond.get("value"), cond["operator"]
    if target is None:
        return value is None
    if not suits(cond, value):
        return False
    return {"EQ": value == target, "LT": value < target, "GE": value >= target,
            "GT": value > target, "LE": value <= target}[op]


def promised(conds, data):
    messages, finding, no_call = [], False, False
    for cond in conds:
        if cond["field"] not in data:
            continue
        value = data[cond["field"]]
        no_call |= not suits(cond, value)
        if holds(cond, value) and cond["message"] not in messages:
            messages.append(cond["message"])
            if cond.get("no_call") or cond.get("value") is None:
                no_call = True
            else:
                finding = True
    status = ("finding" if finding else "no_call" if no_call
              else "normal" if data else "not_assessed")
    return ". ".join(messages), status


def condition_sections():
    package = resources.files("CorvaneFileParser")
    for resource in sorted(package.iterdir(), key=lambda item: item.name):
        if not resource.name.endswith("_config.json"):
            continue
        for name, config in json.loads(resource.read_text("utf-8")).items():
            if config.get("warning", {}).get("type") == "condition":
                yield resource.name, name, config


def test_condition_sentences_and_statuses_are_the_documented_rule(tmp_path):
    scratch = tmp_path / "section.json"
    scratch.write_text("{}")
    rng = random.Random(2217)
    sections = list(condition_sections())
    assert {name for _, name, _ in sections} >= {"TMB", "MSI", "GBA", "phaser_gba"}
    checked = 0
    for resource, name, config in sections:
        conds = config["warning"]["conditions"]
        fields = list(dict.fromkeys(c["field"] for c in conds))
        thresholds = [c["value"] for c in conds if isinstance(c.get("value"), (int, float))]
        pool = [None, True, False, "x", math.inf, -1, 0.5]
        pool += [t + d for t in thresholds if not isinstance(t, bool) for d in (-1, -0.01, 0, 0.01, 1)]
        # The reader turns the operator names into members in place: give it its own copy.
        reader = JsonExtractReader(copy.deepcopy({name: config}), str(scratch))
        for _ in range(150):
            data = {f: rng.choice(pool) for f in fields if rng.random() < 0.7}
            entry = reader.build_result({name: dict(data)})[name.upper()]
            assert (entry["warning"], entry["status"]) == promised(conds, data), (resource, data)
            checked += 1
    assert checked >= 600
