import json
import os
import stat

import pytest


@pytest.fixture
def write_file(tmp_path):
    """Writes text (or bytes) to a file under tmp_path and returns its path as str."""

    def write(name, content, encoding="utf-8"):
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content, encoding=encoding, newline="")
        return str(path)

    return write


def strict_json(data):
    """json.loads that refuses NaN, Infinity and -Infinity, which RFC 8259 JSON cannot hold."""

    def refuse(token):
        raise ValueError(f"{token} is not JSON")

    return json.loads(data, parse_constant=refuse)


def written_outputs(base):
    """The unified outputs and manifests under base, told by their content, with the outputs
    the manifests name; regular files only (a FIFO would block)."""
    from CorvaneFileParser import Provenance

    found = set()
    for folder, _, names in os.walk(base):
        for name in names:
            path = os.path.join(folder, name)
            if not name.lower().endswith(".json") or not stat.S_ISREG(os.lstat(path).st_mode):
                continue
            kind = Provenance.earlier_output_kind(path)
            if kind == "manifest":
                with open(path, "rb") as stream:
                    output = json.load(stream).get("output") or {}
                if isinstance(output.get("path"), str) and os.path.isfile(output["path"]):
                    found.add(os.path.realpath(output["path"]))
            if kind:
                found.add(os.path.realpath(path))
    return sorted(found)


@pytest.fixture(scope="session", autouse=True)
def every_output_is_strict_json(tmp_path_factory):
    """After the session, every output and manifest the suite wrote must parse as strict JSON
    (files a test broke on purpose, which no JSON parser reads, aside)."""
    yield
    failures = []
    for path in written_outputs(tmp_path_factory.getbasetemp()):
        with open(path, "rb") as stream:
            data = stream.read()
        try:
            json.loads(data)
        except ValueError:
            continue
        try:
            strict_json(data)
        except ValueError as error:
            failures.append(f"{path}: {error}")
    assert failures == []
