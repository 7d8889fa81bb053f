"""The JSON reader's loader against the host's: the same document, or the same error.

`JsonExtractReader._load_json(path)` must give what `json.load` gives for the
file opened as UTF-8 text with an optional byte-order mark, whether msgspec
decodes it or the host's json module does. The only differences are
deliberate: a file holding nothing but white space, and nesting deeper than
the recursion limit, are refused before decoding.
"""

import json
import math
import os
import random
import subprocess
import sys
import textwrap

import pytest
from sanitizer import small_stack

import CorvaneFileParser.Parsers.JsonExtractReader as reader_module
from CorvaneFileParser.Parsers.JsonExtractReader import JsonExtractReader


@pytest.fixture(autouse=True)
def fast_decoder_for_every_size(monkeypatch):
    # The fast decoder is kept for large files; here it reads every document.
    monkeypatch.setattr(reader_module, "_FAST_DECODER_MIN_SIZE", 0)


def test_small_documents_do_not_load_the_fast_decoder(tmp_path):
    path = tmp_path / "small.json"
    path.write_text('{"smn": {"smn1_cn": 2}}', encoding="utf-8")
    code = ("import sys\n"
            "from CorvaneFileParser.Parsers.JsonExtractReader import JsonExtractReader\n"
            "assert JsonExtractReader._load_json(sys.argv[1]) == {'smn': {'smn1_cn': 2}}\n"
            "print('msgspec' in sys.modules)\n")
    result = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True,
                            text=True, timeout=60)
    assert result.stdout.strip() == "False", result.stderr


def host_load(path):
    with open(path, encoding="utf-8-sig") as f:
        return json.load(f)


def outcome(load, path):
    try:
        return ("ok", load(path))
    except Exception as error:  # the type and the message are compared
        return ("error", type(error), str(error))


def same(a, b):
    """Equal values of equal types, NaN equal to NaN, -0.0 unequal to 0.0, dict order included."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a):
            return math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def same_outcome(a, b):
    if a[0] != b[0]:
        return False
    return a[1:] == b[1:] if a[0] == "error" else same(a[1], b[1])


# ---------------------------------------------------------------------------
# Seeded random documents, written as text with the forms the host accepts
# and some it does not
# ---------------------------------------------------------------------------

ESCAPES = ['\\n', '\\"', '\\\\', '\\/', '\\b', '\\f', '\\r', '\\t', '\\u0000', '\\u00e9',
           '\\uD83D\\uDE00', '\\ud800', '\\udc00', '\\uDBFF', '\\u001f', '\\uFFFF']
TEXT = ["a", "GBA", "1.5", "true", "é", "≥", "😀", "\u0301", "\x7f", "\u2028", " ", "NA", "\ufeff"]
NUMBERS = ["0", "-0", "1", "-7", "3.25", "-0.0", "1e5", "1E+5", "2.5e-3", "1e-400", "-1e-400",
           "1e400", "-1e309", "123456789012345678901234567890", "-9223372036854775809",
           "18446744073709551616", "0.1000000000000000055511151231257827",
           "1.7976931348623157e308", "4.9e-324", "2.2250738585072011e-308", "1" * 4301,
           "NaN", "Infinity", "-Infinity"]
SPACE = ["", " ", "\n", "\t", "\r\n", "  ", "\r"]


def random_number(rng):
    if rng.random() < 0.5:
        return rng.choice(NUMBERS)
    digits = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 25))).lstrip("0") or "0"
    text = rng.choice(["", "-"]) + digits
    if rng.random() < 0.6:
        text += "." + "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 25)))
    if rng.random() < 0.4:
        text += rng.choice("eE") + rng.choice(["", "+", "-"]) + str(rng.randint(0, 330))
    return text


def random_string(rng):
    parts = [rng.choice(ESCAPES) if rng.random() < 0.3 else rng.choice(TEXT) for _ in range(rng.randint(0, 6))]
    return '"' + "".join(parts) + '"'


def random_value(rng, depth=0):
    kind = rng.random()
    if depth < 5 and kind < 0.2:
        items = [random_value(rng, depth + 1) for _ in range(rng.randint(0, 4))]
        return "[" + ",".join(rng.choice(SPACE) + item + rng.choice(SPACE) for item in items) + "]"
    if depth < 5 and kind < 0.45:
        keys = [random_string(rng) for _ in range(rng.randint(0, 4))]
        if keys and rng.random() < 0.3:
            keys.append(rng.choice(keys))  # a duplicate key: the last value wins
        entries = [f"{k}{rng.choice(SPACE)}:{rng.choice(SPACE)}{random_value(rng, depth + 1)}" for k in keys]
        return "{" + ",".join(entries) + "}"
    if kind < 0.7:
        return random_string(rng)
    if kind < 0.95:
        return random_number(rng)
    return rng.choice(["true", "false", "null"])


def random_document(rng):
    text = rng.choice(SPACE) + "{" + ",".join(
        f'"s{i}":{random_value(rng, 1)}' for i in range(rng.randint(0, 4))) + "}" + rng.choice(SPACE)
    data = text.encode("utf-8", "surrogatepass" if rng.random() < 0.1 else "strict") \
        if rng.random() < 0.1 else text.encode("utf-8", "replace")
    if rng.random() < 0.2:
        data = b"\xef\xbb\xbf" + data
    if rng.random() < 0.3:  # damage it
        position = rng.randint(0, len(data))
        damage = rng.choice([
            lambda: data[:position],
            lambda: data[:position] + bytes([rng.randint(0, 255)]) + data[position:],
            lambda: data[:position] + data[position + 1:],
            lambda: data[:position] + rng.choice([b"\xff", b"\xed\xa0\x80", b"\xc0\x80", b"\x00",
                                                  b",", b"]", b"}", b'"', b"\\", b"\xef\xbb\xbf"])
            + data[position:],
            lambda: data + rng.choice([b" x", b",", b"{}", b"\x0b"]),
        ])
        data = damage()
    return data


def compare_loaders(tmp_path, seed, count):
    rng = random.Random(seed)
    path = tmp_path / "doc.json"
    kinds = {"ok": 0, "error": 0}
    for case in range(count):
        data = random_document(rng)
        path.write_bytes(data)
        body = data[3:] if data.startswith(b"\xef\xbb\xbf") else data
        if body.isspace() or not body:  # refused before decoding
            expected = ("error", ValueError, f"{path}: the file is empty: it holds no JSON document")
        else:
            expected = outcome(host_load, str(path))
        got = outcome(JsonExtractReader._load_json, str(path))
        assert same_outcome(got, expected), (seed, case, data[:300], got[:3], expected[:3])
        kinds[expected[0]] += 1
    return kinds


def test_random_documents_load_as_the_host_loads_them(tmp_path):
    kinds = compare_loaders(tmp_path, seed=20261207, count=2000)
    # Both outcomes are exercised in numbers.
    assert kinds["ok"] > 700 and kinds["error"] > 300, kinds
    assert "msgspec" in sys.modules


def test_without_msgspec_the_host_decodes_every_document(tmp_path):
    """The loader gives the same outcomes when msgspec cannot be imported."""
    code = textwrap.dedent(f"""
        import sys
        sys.modules["msgspec"] = None  # the import fails
        import pathlib
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import test_json_loading as t
        print(t.compare_loaders(pathlib.Path(sys.argv[1]), seed=99, count=600))
        assert sys.modules["msgspec"] is None
    """)
    run = subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-3000:]
    assert "'ok'" in run.stdout


@pytest.mark.parametrize(
    "data",
    [
        b'{"a": NaN, "b": [Infinity, -Infinity], "c": 1e400}',
        b'{"big": 123456789012345678901234567890, "neg": -0, "z": -0.0}',
        b'{"s": "\\ud800 lone", "t": "\\udc00\\ud800", "u": "\\ud83d\\ude00"}',
        b'{"k": 1, "k": 2, "j": 0, "k": 3}',
        b"\xef\xbb\xbf{\"bom\": 1}",
        b"\xef\xbb\xbf\xef\xbb\xbf{}",
        b'{"n": ' + b"1" * 4301 + b"}",
        b'{"x": "\xff"}',
        b'\xef\xbb\xbf{"x": "\xed\xa0\x80"}',
        b'{"a":\r\n [1,\r\n 2,]}',
        b'{"a": "\t"}',
        b'{"a": 1}\r\n\r\nx',
    ],
)
def test_documents_the_fast_decoder_refuses_or_treats_otherwise(tmp_path, data):
    path = tmp_path / "doc.json"
    path.write_bytes(data)
    expected, got = outcome(host_load, str(path)), outcome(JsonExtractReader._load_json, str(path))
    assert same_outcome(got, expected), (got, expected)


def test_integer_digit_limit_follows_the_host_setting(tmp_path):
    path = tmp_path / "doc.json"
    path.write_bytes(b'{"n": ' + b"7" * 700 + b"}")
    before = sys.get_int_max_str_digits()
    try:
        for limit in (640, 0, 4300):
            sys.set_int_max_str_digits(limit)
            assert same_outcome(outcome(JsonExtractReader._load_json, str(path)),
                                outcome(host_load, str(path)))
    finally:
        sys.set_int_max_str_digits(before)


@pytest.mark.parametrize("data", [b"", b"   ", b"\n\r\n\t \x0b\x0c", b"\xef\xbb\xbf", b"\xef\xbb\xbf \n"])
def test_empty_file_is_an_error_naming_it(tmp_path, data):
    path = tmp_path / "empty.json"
    path.write_bytes(data)
    with pytest.raises(ValueError) as caught:
        JsonExtractReader._load_json(str(path))
    assert str(caught.value) == f"{path}: the file is empty: it holds no JSON document"
    with pytest.raises(ValueError, match="empty.json: the file is empty"):
        JsonExtractReader({"s": {}}, str(path)).parse()


def test_missing_file_and_directory_give_the_host_errors(tmp_path):
    for path in (tmp_path / "absent.json", tmp_path):
        expected = outcome(host_load, str(path))
        assert outcome(JsonExtractReader._load_json, str(path)) == expected
        assert issubclass(expected[1], OSError)


# ---------------------------------------------------------------------------
# Depth: nesting beyond the recursion limit is refused before decoding
# ---------------------------------------------------------------------------

def nested(depth, inner="1"):
    return '{"s": {"deep": ' + "[" * depth + inner + "]" * depth + "}}"


def test_nesting_is_measured_outside_strings(tmp_path):
    path = tmp_path / "doc.json"
    limit = sys.getrecursionlimit()
    brackets = "[{" * limit
    path.write_text('{"text": "' + brackets + '\\" ' + brackets + '", "n": [[1]]}', encoding="utf-8")
    assert JsonExtractReader._load_json(str(path)) == {"text": brackets + '" ' + brackets, "n": [[1]]}


def test_nesting_deeper_than_the_recursion_limit_is_a_recursion_error(tmp_path):
    path = tmp_path / "doc.json"
    before = sys.getrecursionlimit()
    try:
        sys.setrecursionlimit(300)
        path.write_text(nested(299), encoding="utf-8")  # 301 levels with the two objects
        with pytest.raises(RecursionError) as caught:
            JsonExtractReader._load_json(str(path))
        assert str(caught.value) == (f"maximum recursion depth exceeded while decoding {path}: "
                                     "JSON nested more than 300 levels deep")
        # Deeper than the fast decoder takes, within the limit: the host decodes it.
        path.write_text(nested(200), encoding="utf-8")
        assert JsonExtractReader._load_json(str(path)) == json.loads(nested(200))
    finally:
        sys.setrecursionlimit(before)


def test_nesting_measure_over_random_documents(tmp_path):
    """Brackets, quotes and backslash runs at every offset: refused exactly when too deep."""
    rng = random.Random(20261209)
    path = tmp_path / "doc.json"
    values = ['"[{"', '"]}"', '"\\\\"', '"\\""', '"a\\\\\\"["', "1", "null"]
    spaces = ["", " " * 17, "\n\t"]
    before = sys.getrecursionlimit()
    try:
        sys.setrecursionlimit(200)
        for _ in range(300):
            depth = rng.choice([1, 2, 132, 133, 134])  # up to 201 levels
            text = "1"
            for level in range(depth):
                padding = "".join(rng.choice(spaces) + rng.choice(values) + rng.choice(spaces) + ","
                                  for _ in range(rng.randrange(3)))
                text = "[" + padding + text + "]" if level % 2 else '{"k": [' + padding + text + "]}"
            nesting = depth + (depth + 1) // 2
            text = " " * rng.randrange(20) + text
            path.write_text(text, encoding="utf-8")
            if nesting > 200:
                with pytest.raises(RecursionError, match="JSON nested more than 200 levels deep"):
                    JsonExtractReader._load_json(str(path))
            else:
                assert JsonExtractReader._load_json(str(path)) == json.loads(text)
    finally:
        sys.setrecursionlimit(before)


DEPTH_IN_SMALL_STACK = """
import json, sys, threading
from CorvaneFileParser.Parsers.JsonExtractReader import JsonExtractReader
path, depth = sys.argv[1], int(sys.argv[2])
with open(path, "w") as f:
    f.write('{"s": {"deep": ' + "[" * depth + '"1.5"' + "]" * depth + ', "m": ' + '{"a": ' * depth + '"2"' + "}" * depth + "}}")
outcome = []
def run():
    try:
        data = JsonExtractReader({"s": {}}, path).parse()
        outcome.append("parsed")
    except RecursionError:
        outcome.append("RecursionError")
threading.stack_size(256 * 1024)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(outcome[0])
"""


@small_stack
@pytest.mark.parametrize("depth, expected", [(100_000, {"RecursionError"}),
                                             (sys.getrecursionlimit() + 1, {"RecursionError"}),
                                             (sys.getrecursionlimit() - 60, {"parsed", "RecursionError"}),
                                             (150, {"parsed"}), (100, {"parsed"})])
def test_deep_nesting_in_a_thread_with_a_small_stack_never_crashes(tmp_path, depth, expected):
    run = subprocess.run([sys.executable, "-c", DEPTH_IN_SMALL_STACK, str(tmp_path / "deep.json"), str(depth)],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, (run.returncode, run.stderr[-2000:])
    assert run.stdout.strip() in expected


def test_numbers_decode_to_the_host_values(tmp_path):
    """Many number spellings in one document: every value equals the host's, type and sign included."""
    rng = random.Random(7)
    texts = [random_number(rng) for _ in range(20000)]
    texts = [t for t in texts if t not in ("1e400", "-1e309", "NaN", "Infinity", "-Infinity") and len(t) < 4000]
    texts += ["9007199254740993", "9007199254740993.0", "1.00000000000000011102230246251565404236316680908203125",
              "2.2250738585072012e-308", "2.4703282292062327e-324", "2.4703282292062328e-324",
              "1.7976931348623158e308", "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497791.9999999999",
              "0.30000000000000004", "5e-324", "-5e-324", "1e22", "1e23", "123456789e-15"]
    path = tmp_path / "numbers.json"
    path.write_text("[" + ",".join(texts) + "]", encoding="utf-8")
    got, expected = JsonExtractReader._load_json(str(path)), host_load(str(path))
    mismatches = [(t, g, e) for t, g, e in zip(texts, got, expected) if not same(g, e)]
    assert not mismatches and len(got) == len(expected) == len(texts)
