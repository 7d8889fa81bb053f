"""The panel reader's tokenizer against the host's csv.reader.

The reader splits the file's bytes itself; these tests hold it to what
csv.reader(open(path, encoding="utf-8-sig", newline=""), delimiter="\\t")
gives, on seeded random input. CORVANE_FUZZ_CASES sets the number of random
cases (default 3000) for a longer run.
"""

import csv
import io
import os
import random

import pytest

from CorvaneFileParser.Parsers.PanelTsvReader import PanelTsvReader

CASES = int(os.environ.get("CORVANE_FUZZ_CASES", "3000"))

PIECES = ["\t", '"', '""', "\r", "\n", "\r\n", "\0", "\ufeff", " ", "a", "b", "#", "[", "]",
          "é", "€", "\U0001d11e", "\u2028", "\x85", "\xa0", "\x0b", "\x1c"]
INVALID = [b"\xff", b"\xc3", b"\xed\xa0\x80", b"\xc0\x80", b"\xe0\x80\x80", b"\xf4\x90\x80\x80",
           b"\x80", b"\xf0\x9f\x98"]


def random_text(rnd):
    parts = []
    for _ in range(rnd.randrange(0, 40)):
        if rnd.random() < 0.03:
            parts.append(rnd.choice("ab\"\t") * rnd.randrange(20, 300))
        else:
            parts.append(rnd.choice(PIECES))
    return "".join(parts)


def csv_records(text):
    return list(csv.reader(io.StringIO(text, newline=""), delimiter="\t"))


def ends_in_open_quote(text):
    # Inside an open quote the appended line break and marker join the last
    # field; outside, the marker is a record of its own.
    return csv_records(text + "\n\x01")[-1] != ["\x01"]


def outcome(call):
    try:
        return "ok", call()
    except (csv.Error, UnicodeDecodeError) as error:
        return type(error), str(error) if isinstance(error, csv.Error) else None


@pytest.fixture
def field_limit():
    saved = csv.field_size_limit()
    yield csv.field_size_limit
    csv.field_size_limit(saved)


def test_random_text_matches_csv_reader(field_limit):
    rnd = random.Random(20261207)
    open_quotes = 0
    for case in range(CASES):
        text = random_text(rnd)
        field_limit(131072)
        open_quote = ends_in_open_quote(text)
        field_limit(rnd.choice([131072, 131072, 64, 1, 0]))
        if open_quote:
            open_quotes += 1
            with pytest.raises((ValueError, csv.Error)) as raised:
                PanelTsvReader._tokenize(text)
            expected = outcome(lambda: csv_records(text))
            if raised.type is csv.Error:
                assert expected == (csv.Error, str(raised.value)), (case, text)
            else:
                assert expected[0] == "ok", (case, text)
                assert "closing quote is missing" in str(raised.value)
            continue
        got = outcome(lambda: PanelTsvReader._tokenize(text))
        assert got == outcome(lambda: csv_records(text)), (case, text)
    assert open_quotes > CASES // 20


def test_random_bytes_match_a_decoded_file(field_limit):
    # Bytes are read as the file is: a leading byte-order mark dropped, then
    # UTF-8 checked as strictly as the host's codec does.
    rnd = random.Random(7)
    for case in range(CASES):
        data = random_text(rnd).encode("utf-8")
        if rnd.random() < 0.3:
            data = b"\xef\xbb\xbf" + data
        if rnd.random() < 0.2:
            at = rnd.randrange(len(data) + 1)
            data = data[:at] + rnd.choice(INVALID) + data[at:]
        try:
            text = data.decode("utf-8-sig")
        except UnicodeDecodeError:
            with pytest.raises(UnicodeDecodeError):
                PanelTsvReader._tokenize(data)
            continue
        if ends_in_open_quote(text):
            with pytest.raises((ValueError, csv.Error)):
                PanelTsvReader._tokenize(data)
            continue
        assert outcome(lambda: PanelTsvReader._tokenize(data)) == outcome(
            lambda: csv_records(text)), (case, data)


def test_files_read_through_the_io_stack(tmp_path):
    # Line breaks falling on the text layer's chunk boundaries, long quoted
    # fields holding every kind of line break, NUL and non-ASCII text.
    rnd = random.Random(11)
    path = tmp_path / "x.tsv"
    for _ in range(20):
        rows = []
        for _ in range(rnd.randrange(200, 800)):
            cells = ["".join(rnd.choice("ab é\0\u2028") for _ in range(rnd.randrange(0, 30)))
                     for _ in range(rnd.randrange(1, 6))]
            if rnd.random() < 0.2:
                cells.append('"' + "x\r\n\ry\n\"\"\t" * rnd.randrange(1, 50) + '"')
            rows.append("\t".join(cells) + rnd.choice(["\r\n", "\r", "\n"]))
        data = b"\xef\xbb\xbf" + "".join(rows).encode()
        path.write_bytes(data)
        with open(path, encoding="utf-8-sig", newline="") as f:
            expected = list(csv.reader(f, delimiter="\t"))
        assert PanelTsvReader._tokenize(data) == expected


@pytest.mark.parametrize(
    "text, records",
    [
        ("", []),
        ("\n", [[]]),
        ("\r\r\n\n", [[], [], []]),
        ("a\tb", [["a", "b"]]),
        ("a\t\n\t", [["a", ""], ["", ""]]),
        ('"a\tb"\tc\r\n', [["a\tb", "c"]]),
        ('"a""b"\t""', [['a"b', ""]]),
        ('"a\r\nb\rc\nd"\n', [["a\r\nb\rc\nd"]]),
        ('"ab"cd"e\tf', [['abcd"e', "f"]]),
        ('a"b"c\t "q"', [['a"b"c', ' "q"']]),
        ("a\0b\t\0", [["a\0b", "\0"]]),
        ("\ufeffa", [["\ufeffa"]]),
        ('""""\t"""x"', [['"', '"x']]),
    ],
)
def test_csv_rules(text, records):
    assert csv_records(text) == records
    assert PanelTsvReader._tokenize(text) == records


@pytest.mark.parametrize(
    "data, line",
    [
        (b'"open', 1),
        (b'a\tb\r\nc\t"d\te\n', 2),
        (b'x\n"closed"\n"""\n', 3),
        (b'"a\nb"\n\r"c\r\nd\re"f\n"g\n', 7),
        (b'\xef\xbb\xbf[TMB]\rTotal TMB\t"7\rMSI\t8\r', 2),
    ],
)
def test_unclosed_quote_names_its_line(data, line):
    with pytest.raises(ValueError) as raised:
        PanelTsvReader._tokenize(data, "panel.tsv")
    assert str(raised.value) == (
        f"panel.tsv, line {line}: a quoted cell starts here and its closing quote is missing")


def test_field_size_limit(field_limit):
    limit = csv.field_size_limit()
    exact = "é" * limit
    assert PanelTsvReader._tokenize(f'a\t"{exact}"\n') == [["a", exact]]
    for text in [f"a\t{exact}x\n", f'"{exact}"""\n', f'"{exact}x', f'"x"{exact}']:
        with pytest.raises(csv.Error, match=rf"^field larger than field limit \({limit}\)$"):
            PanelTsvReader._tokenize(text)
    field_limit(3)
    assert PanelTsvReader._tokenize('abc\t"""x"\t\n') == [["abc", '"x', ""]]
    with pytest.raises(csv.Error, match=r"\(3\)"):
        PanelTsvReader._tokenize("abcd")



def test_utf8_is_checked_as_strictly_as_the_host_codec():
    # Every lead byte with continuation bytes at the edges of the ranges the
    # codec allows (overlong forms, surrogates, beyond U+10FFFF, truncation).
    edges = [0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF]
    for lead in range(0x80, 0x100):
        for second in edges:
            for third in edges:
                for fourth in (0x7F, 0x80, 0xBF):
                    data = bytes([lead, second, third, fourth])
                    try:
                        expected = [[data.decode("utf-8")]]
                    except UnicodeDecodeError:
                        with pytest.raises(UnicodeDecodeError):
                            PanelTsvReader._tokenize(data)
                        continue
                    assert PanelTsvReader._tokenize(data) == expected, data
