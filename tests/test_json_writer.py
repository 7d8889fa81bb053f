"""The streamed writer against the host's json.dumps(indent=4, allow_nan=False).encode()."""

import enum
import io
import json
import math
import random
import struct
import sys
from collections import OrderedDict

import pytest

from CorvaneFileParser.ReportAssembler import _write_json


class ChunkFile:
    """A binary sink that records every write() call."""

    def __init__(self):
        self.chunks = []

    def write(self, data):
        assert type(data) is bytes
        self.chunks.append(data)
        return len(data)

    @property
    def data(self):
        return b"".join(self.chunks)


def written(obj):
    sink = ChunkFile()
    fast = _write_json(obj, sink)
    return fast, sink


def expected(obj):
    return json.dumps(obj, indent=4, allow_nan=False).encode()


# ---------------------------------------------------------------------------
# Random documents
# ---------------------------------------------------------------------------

SPECIAL_FLOATS = [
    0.0, -0.0, 1.0, -1.5, 0.1, 0.2 + 0.1, 1e16, 1e15, 9007199254740993.0, 1e-4, 1e-5,
    123456789012345680.0, 5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,
    sys.float_info.max, -sys.float_info.max, sys.float_info.epsilon, 1e22, 1e23,
    0.30000000000000004, 100.0, 12.35,
]

TEXT_POOL = (
    [chr(c) for c in range(0x00, 0x80)]
    + ["\u00e9", "\u00ff", "\u0100", "\u07ff", "\u2028", "\ufeff", "\uffff", "\ud800", "\udbff",
       "\udc00", "\udfff", "\U00010000", "\U0001f600", "\U0010ffff", "Gene", "p.V600E", "  "]
)


def random_float(rng):
    pick = rng.random()
    if pick < 0.3:
        return rng.choice(SPECIAL_FLOATS)
    if pick < 0.6:
        # Any finite bit pattern: subnormals, huge and tiny exponents.
        while not math.isfinite(x := struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]):
            pass
        return x
    if pick < 0.8:
        return round(rng.uniform(-1e6, 1e6), rng.randint(0, 6))
    return rng.uniform(-1, 1) * 10 ** rng.randint(-320, 308)


def random_int(rng):
    pick = rng.random()
    if pick < 0.5:
        return rng.randint(-1000, 1000)
    if pick < 0.8:
        bits = rng.choice([31, 32, 62, 63, 64, 65])
        return rng.choice([-1, 1]) * (rng.getrandbits(bits) + rng.choice([0, 1]))
    return rng.choice([-1, 1]) * rng.getrandbits(rng.randint(64, 3000))


def random_text(rng):
    size = rng.choice([0, 1, 2, 5, 20, 60])
    if rng.random() < 0.3:
        return "".join(chr(rng.randint(0x20, 0x7E)) for _ in range(size))
    if rng.random() < 0.2:
        return "".join(chr(rng.randint(0, 0x10FFFF)) for _ in range(size))
    return "".join(rng.choice(TEXT_POOL) for _ in range(size))


def random_scalar(rng):
    kind = rng.randrange(7)
    if kind == 0:
        return rng.choice([None, True, False])
    if kind in (1, 2):
        return random_int(rng)
    if kind in (3, 4):
        return random_float(rng)
    return random_text(rng)


def random_key(rng):
    pick = rng.random()
    if pick < 0.75:
        return random_text(rng)
    if pick < 0.85:
        return random_int(rng)
    if pick < 0.95:
        return random_float(rng)
    return rng.choice([None, True, False])


def random_document(rng, depth=0):
    if depth >= 6 or rng.random() < 0.35:
        return random_scalar(rng)
    size = rng.choice([0, 1, 2, 3, 5, 8])
    kind = rng.randrange(5)
    if kind < 2:
        return {random_key(rng): random_document(rng, depth + 1) for _ in range(size)}
    items = [random_document(rng, depth + 1) for _ in range(size)]
    return tuple(items) if kind == 4 else items


@pytest.mark.parametrize("seed", range(20))
def test_random_documents_match_the_host(seed):
    rng = random.Random(seed)
    for _ in range(150):
        doc = random_document(rng)
        fast, sink = written(doc)
        assert fast, doc
        assert sink.data == expected(doc), doc


@pytest.mark.parametrize("seed", range(4))
def test_random_scalars_match_the_host(seed):
    # Scalars alone and as keys, where the host quotes them.
    rng = random.Random(1000 + seed)
    for _ in range(500):
        value = random_scalar(rng)
        key = random_key(rng)
        for doc in (value, [value], {key: value}):
            fast, sink = written(doc)
            assert fast
            assert sink.data == expected(doc), doc


def test_repeated_floats_match_the_host():
    # More distinct values than the writer remembers, each seen many times.
    rng = random.Random(99)
    pool = [random_float(rng) for _ in range(3000)] + [0.0, -0.0]
    doc = [rng.choice(pool) for _ in range(30000)]
    doc += [{str(x): x, x: [x, -x]} for x in pool[:500] if x == x]
    fast, sink = written(doc)
    assert fast
    assert sink.data == expected(doc)


def test_every_code_point_is_escaped_as_the_host_does():
    text = "".join(chr(c) for c in range(0x110000))
    fast, sink = written([text[i : i + 5000] for i in range(0, len(text), 5000)])
    assert fast
    assert sink.data == expected([text[i : i + 5000] for i in range(0, len(text), 5000)])


def test_layout_of_nested_and_empty_containers():
    doc = {"a": {}, "b": [], "c": [{}, [], [[]], {"d": ()}], "e": {"f": {"g": [1]}}}
    fast, sink = written(doc)
    assert fast
    assert sink.data == expected(doc)
    assert sink.data.startswith(b'{\n    "a": {},\n    "b": [],\n    "c": [\n        {},')


# ---------------------------------------------------------------------------
# Chunks and the file object
# ---------------------------------------------------------------------------


def test_large_document_is_written_in_bounded_chunks():
    rng = random.Random(7)
    doc = [{random_text(rng): random_scalar(rng) for _ in range(10)} for _ in range(8000)]
    doc.append("\U0001f600" * 300_000)  # one string longer than a chunk
    fast, sink = written(doc)
    assert fast
    assert len(sink.chunks) > 3
    assert all(0 < len(c) <= 256 * 1024 for c in sink.chunks)
    assert sink.data == expected(doc)


def test_short_writes_are_completed():
    class Trickle(ChunkFile):
        def write(self, data):
            taken = bytes(data[:1000])
            self.chunks.append(taken)
            return len(taken)

    doc = {"k": ["x" * 5000, list(range(3000))]}
    sink = Trickle()
    assert _write_json(doc, sink)
    assert sink.data == expected(doc)


def test_write_that_writes_another_document_keeps_both_exact():
    # The inner document is written while the outer writer is at work on the same thread.
    rng = random.Random(5)
    outer = [{random_text(rng): random_float(rng)} for _ in range(20000)]
    inner = [random_float(rng) for _ in range(500)]

    class Nesting(ChunkFile):
        def __init__(self):
            super().__init__()
            self.inner = []

        def write(self, data):
            nested = ChunkFile()
            assert _write_json(inner, nested)
            self.inner.append(nested.data)
            return super().write(data)

    sink = Nesting()
    assert _write_json(outer, sink)
    assert sink.data == expected(outer)
    assert len(sink.inner) > 1 and set(sink.inner) == {expected(inner)}


def test_writer_that_accepts_nothing_fails():
    class Stuck:
        def write(self, data):
            return 0

    with pytest.raises(OSError):
        _write_json({"a": 1}, Stuck())


def test_real_binary_file(tmp_path):
    doc = {"S": {"data": {"x": 1.5, "y": "\u00b5"}, "warning": "", "caller_name": "c"}}
    path = tmp_path / "out.json"
    with open(path, "xb") as f:
        assert _write_json(doc, f)
    assert path.read_bytes() == expected(doc)


def test_write_error_propagates():
    class Broken:
        def write(self, data):
            raise OSError(28, "No space left on device")

    with pytest.raises(OSError, match="No space"):
        _write_json(list(range(100)), Broken())


def test_file_without_write_fails_before_anything():
    with pytest.raises(AttributeError):
        _write_json({"a": 1}, object())


def test_document_changed_by_write_is_refused_without_crashing():
    doc = {"rows": [{"v": "x" * 1000} for _ in range(1000)], "tail": {"a": 1}}

    class Meddling(ChunkFile):
        def write(self, data):
            doc["rows"].clear()
            doc["tail"]["b"] = object()
            return super().write(data)

    # Whatever is written after the change, it stays a Python error.
    try:
        _write_json(doc, Meddling())
    except RuntimeError:
        pass


# ---------------------------------------------------------------------------
# Handed to the host: the same bytes or the same error, nothing written first
# ---------------------------------------------------------------------------


class Colour(enum.IntEnum):
    RED = 1


class Ratio(float):
    def __repr__(self):
        return "ratio"


class Label(str):
    pass


class Rows(list):
    def __iter__(self):
        return iter([])


class Settings(dict):
    def items(self):
        return [("overridden", 1)]


@pytest.mark.parametrize(
    "doc",
    [
        {"a": Colour.RED},
        {Colour.RED: "a"},
        [Ratio(1.5)],
        {Ratio(2.5): 1},
        {"a": Label("x\u00e9")},
        {Label("k"): 1},
        Rows([1, 2]),
        {"a": Settings(b=2)},
        OrderedDict(a=1),
    ],
    ids=lambda d: type(d).__name__,
)
def test_subclasses_are_written_by_the_host(doc):
    fast, sink = written(doc)
    assert not fast
    assert sink.data == expected(doc)


def nested(depth):
    doc = leaf = []
    for _ in range(depth - 1):
        leaf.append([])
        leaf = leaf[0]
    return doc


@pytest.mark.parametrize("depth", [199, 200, 201, 202, 1000])
def test_nesting_around_the_fast_path_limit(depth):
    doc = {"d": nested(depth)}
    fast, sink = written(doc)
    assert sink.data == expected(doc)
    assert fast == (depth <= 199)


def assert_same_error(doc):
    with pytest.raises(Exception) as host:
        json.dumps(doc, indent=4, allow_nan=False)
    sink = ChunkFile()
    with pytest.raises(type(host.value)) as ours:
        _write_json(doc, sink)
    assert str(ours.value) == str(host.value)
    assert sink.chunks == []


@pytest.mark.parametrize(
    "doc",
    [
        {"a": {1, 2}},
        [b"bytes"],
        {(1, 2): "tuple key"},
        {"a": [1, 2, object()]},
        {"x": 1j},
    ],
    ids=["set", "bytes", "tuple-key", "object", "complex"],
)
def test_non_json_values_raise_the_host_error(doc):
    assert_same_error(doc)


def test_cycles_raise_the_host_error():
    loop = [1]
    loop.append(loop)
    assert_same_error({"a": loop})
    mapping = {}
    mapping["self"] = [mapping]
    assert_same_error(mapping)


def test_excessive_depth_raises_the_host_error():
    assert_same_error(nested(50_000))


def test_integer_digit_limit_is_the_host_s():
    limit = sys.get_int_max_str_digits()
    try:
        sys.set_int_max_str_digits(640)
        allowed = 10**639
        assert written([allowed, {allowed: -allowed}])[1].data == expected(
            [allowed, {allowed: -allowed}]
        )
        assert_same_error([1, 10**640])
        assert_same_error({10**700: 1})
        sys.set_int_max_str_digits(0)
        huge = 7**20000
        fast, sink = written({"n": huge})
        assert fast and sink.data == expected({"n": huge})
    finally:
        sys.set_int_max_str_digits(limit)


@pytest.mark.parametrize(
    "doc",
    [math.nan, [1.5, -math.inf], {"a": {"b": [math.inf]}}, {math.nan: 1}, [Ratio(math.nan)], {"s": [1j, math.nan]}],
    ids=["nan", "in-list", "nested", "key", "subclass", "after-other-error"],
)
def test_non_finite_floats_are_refused_before_anything_is_written(doc):
    assert_same_error(doc)


@pytest.mark.parametrize("doc", [None, True, False, 0, -1, 2**64, 1.5, "", "\ud83d", [], {}])
def test_top_level_scalars_and_empty_containers(doc):
    fast, sink = written(doc)
    assert fast
    assert sink.data == expected(doc)
