"""The value formatter against the host's own rules, on seeded random texts.

The formatter reads ordinary integers and decimals itself; every result must
equal what int(), float() and round() give, but for two exceptions that keep
values of record: digit texts with a leading zero or more than 15 digits, and
texts of non-finite numbers, stay text. CORVANE_FUZZ_CASES raises the number
of cases per test for a longer run.
"""

import math
import os
import random
import unicodedata

import pytest

from CorvaneFileParser.Parsers.ReportReaderBase import ReportReaderBase
from CorvaneFileParser.Parsers.SingleRowTsvReader import SingleRowTsvReader

fmt = ReportReaderBase._format_value
CASES = int(os.environ.get("CORVANE_FUZZ_CASES", "3000"))


def host_rule(text, places=2):
    """The formatter's rule for one text, written with the host's functions."""
    low = text.lower()
    if low == "true":
        return True
    if low == "false":
        return False
    if low in ("", "none", "null"):
        return None
    try:
        integer = int(text)
    except ValueError:
        pass
    else:
        digits = [c for c in text if c.isdecimal()]
        if "_" not in text and (len(digits) > 15 or (len(digits) > 1 and unicodedata.decimal(digits[0]) == 0)):
            return text
        return integer
    try:
        number = float(text)
    except ValueError:
        return text
    if not math.isfinite(number):
        return text
    return number if places is None else round(number, places)


def same(result, expected):
    if type(result) is not type(expected):
        return False
    if isinstance(expected, float):
        return repr(result) == repr(expected)  # also tells -0.0 from 0.0 and nan apart
    return result == expected


def digits(rng, low, high):
    return "".join(rng.choice("0123456789") for _ in range(rng.randint(low, high)))


def number_text(rng):
    """A text near the forms callers write, with the odd malformed one."""
    kind = rng.randrange(13)
    sign = rng.choice(["", "", "-", "+"])
    if kind == 0:
        return sign + digits(rng, 1, 22)  # ints around the 15- and 18-digit boundaries
    if kind == 1:
        return sign + "0" * rng.randint(1, 6) + digits(rng, 1, 16)  # leading zeros
    if kind == 2:
        return sign + digits(rng, 0, 8) + "." + digits(rng, 0, 12)
    if kind == 3:
        # Decimals one digit past the kept places, close to or on a midpoint.
        tail = rng.choice(["5", "50", "5000001", "4999999", "49", "51", "500000000000000000001"])
        return sign + digits(rng, 1, 6) + "." + digits(rng, 0, 4) + tail
    if kind == 4:
        mantissa = digits(rng, 1, 6) + rng.choice(["", "."]) + digits(rng, 0, 6)
        exponent = rng.choice("eE") + rng.choice(["", "+", "-"]) + digits(rng, 0, 4)
        return sign + mantissa + exponent
    if kind == 5:
        x = rng.uniform(-1e6, 1e6) * 10 ** rng.randint(-12, 12)
        return rng.choice([repr(x), f"{x:.{rng.randint(0, 20)}f}", f"{x:.17g}", f"{x:.3e}"])
    if kind == 6:
        body = digits(rng, 1, 10) + rng.choice([".", ""]) + digits(rng, 0, 5)
        cut = rng.randrange(len(body) + 1)
        return sign + body[:cut] + rng.choice(["_", "__"]) + body[cut:]
    if kind == 7:
        word = rng.choice(["inf", "infinity", "nan", "true", "false", "none", "null", "in", "na"])
        return sign + "".join(c.upper() if rng.random() < 0.5 else c for c in word)
    if kind == 8:
        tail = rng.choice(["\u0663", "\uff11", "\u0966", "\u00b2", "\u00e9", "\u0660" * 15])
        return sign + rng.choice(["", "\u0660", "0"]) + digits(rng, 1, 3) + tail
    if kind == 9:
        return rng.choice([".", "-", "+", "..5", "1..2", "1.2.3", "e5", ".e5", "1e", "1e+", "0x1f",
                           "1 2", "--1", "+-1", "1-", "1e5.5", "5e-324", "1e-400", "1e309", "-0"])
    if kind == 10:
        return sign + "0." + "0" * rng.randint(0, 30) + digits(rng, 1, 25)
    if kind == 11:
        return sign + digits(rng, 15, 30) + "." + digits(rng, 1, 30)
    # Short texts over the characters numbers are made of, and a few others.
    return "".join(rng.choice("0123456789.+-eEiInNfFtTyY_ xa\u0661") for _ in range(rng.randint(1, 7)))


def blanks(rng):
    return "".join(rng.choice(" \t\n\r\x0b\x0c\x1c\x1f\u00a0\u3000") for _ in range(rng.randint(0, 2)))


def test_texts_match_the_host_rule():
    rng = random.Random(20261207)
    failures = []
    for _ in range(CASES):
        text = number_text(rng)
        if rng.random() < 0.3:
            text = blanks(rng) + text + blanks(rng)
        result, expected = fmt(text), host_rule(text)
        if not same(result, expected):
            failures.append((text, result, expected))
    assert failures == []


def test_every_double_written_back_is_read_exactly():
    rng = random.Random(5)
    failures = []
    for _ in range(CASES):
        x = struct_double(rng)
        for text in (repr(x), f"{x:.{rng.randint(0, 25)}f}", f"{x:.{rng.randint(1, 17)}g}"):
            result, expected = fmt(text), host_rule(text)
            if not same(result, expected):
                failures.append((text, result, expected))
    assert failures == []


def struct_double(rng):
    """A double with random bits, finite, from every binade."""
    import struct

    while True:
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(x):
            return x


def test_float_values_round_as_the_host_does():
    rng = random.Random(17)
    values = [struct_double(rng) for _ in range(CASES)]
    values += [rng.uniform(-10, 10) for _ in range(CASES)]
    values += [0.0, -0.0, 5e-324, 1.7976931348623157e308]
    failures = [(x, fmt(x)) for x in values if not same(fmt(x), round(x, 2))]
    assert failures == []
    assert [fmt(x) for x in (math.inf, -math.inf, math.nan)] == [None] * 3


@pytest.mark.parametrize("text", ["9" * 15, "-" + "9" * 15, "+" + "9" * 15, "9" * 16, "-" + "1" + "0" * 15,
                                  "9" * 18, "9" * 19, "0" * 30 + "7", "+" + "0" * 20, "18446744073709551616",
                                  "0", "-0", "00", "+01", " 015\t", "1_000", "0_1", "1" * 4400])
def test_integer_width_boundaries(text):
    assert same(fmt(text), host_rule(text))


def test_str_subclasses_keep_the_host_rules():
    class Text(str):
        pass

    class Counted(str):
        def __int__(self):
            return 41

        def __float__(self):
            return 0.5

    rng = random.Random(9)
    for _ in range(200):
        text = number_text(rng)
        assert same(fmt(Text(text)), host_rule(Text(text)))
    # int() and float() of a str subclass call its __int__ and __float__.
    assert fmt(Counted("12")) == 41 and fmt(Counted("1.239")) == 41


PLACES = [None, 0, 1, 2, 3, 4, 6, 10, 15, 17, 18, 20, -1, -3]


@pytest.mark.parametrize("places", PLACES)
def test_rounding_places_through_section_settings(write_file, places):
    """"decimals" of a section rounds as round(float(text), places) does."""
    rng = random.Random(1000 + (places if places is not None else 99))
    texts = []
    while len(texts) < max(CASES // 6, 50):
        text = number_text(rng).strip()
        if text and "\t" not in text and "\n" not in text and text == text.strip():
            texts.append(text)
    header = "\t".join(f"c{i}" for i in range(len(texts)))
    path = write_file("smn.tsv", header + "\n" + "\t".join(texts) + "\n")
    row = SingleRowTsvReader({"SMN": {"decimals": places}}, path).parse()["SMN"]
    failures = [
        (text, row[f"c{i}"], host_rule(text, places))
        for i, text in enumerate(texts)
        if not same(row[f"c{i}"], host_rule(text, places))
    ]
    assert failures == []


@pytest.mark.parametrize("places", PLACES)
def test_panel_table_cells_follow_the_host_rules(write_file, places):
    """The panel reader reads number cells from the file's bytes without
    making a str of them; each, repeated or not, must format as its text does."""
    from CorvaneFileParser.Parsers.PanelTsvReader import PanelTsvReader

    rng = random.Random(2000 + (places if places is not None else 99))
    texts = []
    while len(texts) < max(CASES // 6, 50):
        text = number_text(rng).strip()
        if text and not set(text) & set('\t\n\r"#[') and text == text.strip():
            texts.append(text)
    # Repeats go through the column's memory of short texts.
    texts += rng.choices(texts, k=len(texts))
    path = write_file("x.tsv", "[T]\nc\tn\n" + "".join(f"{t}\t{i}\n" for i, t in enumerate(texts)))
    config = {"T": {"table": True, "include_all_fields": True, "decimals": places}}
    rows = PanelTsvReader(config, path).parse()["T"]
    failures = [(t, r["c"], host_rule(t, places)) for t, r in zip(texts, rows)
                if not same(r["c"], host_rule(t, places))]
    assert len(rows) == len(texts) and failures == []
