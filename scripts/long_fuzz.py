"""Long differential run of the package's fast paths against the host's own rules.

    python scripts/long_fuzz.py [--seconds N] [--seed S] [--only NAME ...]

Each check draws seeded random cases for its share of the time budget and
compares the package's public API with a reference built from the host's
functions alone:

  writer     ReportAssembler._write_json(obj, file) against json.dumps(obj, indent=4, allow_nan=False)
  formatter  ReportReaderBase._format_value(v) against int()/float()/round(x, 2) rules in Python
             (with the digit-text and non-finite exceptions of the tests' host_rule)
  panel      PanelTsvReader(...).parse() against a csv.reader-based reading of the same bytes
  json       JsonExtractReader._load_json(path) against json.load, in this process and, when
             msgspec is installed, again in a child process where msgspec cannot be imported;
             and the whole reader (parse + build_result on the shipped resources) in this
             process against a child process where msgspec cannot be imported

A result must be the same in value, type and order; an error must be the same
type with the same message. Prints one line per check and a total; exits 1
on any mismatch (the first few are shown with their seed and case number).
"""

import argparse
import contextlib
import csv
import importlib.util
import io
import json
import logging
import math
import os
import pickle
import random
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from panel_reference import reference_panel  # noqa: E402
from test_formatter_differential import host_rule  # noqa: E402
from test_json_writer import random_document, random_float, random_int  # noqa: E402

import CorvaneFileParser.Parsers.JsonExtractReader as json_reader_module  # noqa: E402
from CorvaneFileParser.Parsers.JsonExtractReader import JsonExtractReader  # noqa: E402

# The fast JSON decoder is kept for large files; the fuzz sends it every size.
json_reader_module._FAST_DECODER_MIN_SIZE = 0
from CorvaneFileParser.Parsers.PanelTsvReader import PanelTsvReader  # noqa: E402
from CorvaneFileParser.Parsers.ReportReaderBase import ReportReaderBase  # noqa: E402
from CorvaneFileParser.ReportAssembler import _write_json  # noqa: E402

MAX_SHOWN = 5


# ---------------------------------------------------------------------------
# Comparison
# ---------------------------------------------------------------------------


def same(a, b):
    """Equal in value, type, key order and float sign (NaN equals NaN)."""
    pending = [(a, b)]  # walked without recursion: documents may nest deeply
    while pending:
        a, b = pending.pop()
        if type(a) is not type(b):
            return False
        if isinstance(a, float):
            if math.isnan(a):
                if not math.isnan(b):
                    return False
            elif not (a == b and math.copysign(1, a) == math.copysign(1, b)):
                return False
        elif isinstance(a, dict):
            if list(a) != list(b):
                return False
            pending.extend((a[k], b[k]) for k in a)
        elif isinstance(a, list):
            if len(a) != len(b):
                return False
            pending.extend(zip(a, b))
        elif a != b:
            return False
    return True


def outcome(fn, *args):
    """("ok", result) or ("error", type, message)."""
    try:
        return ("ok", fn(*args))
    except Exception as error:  # the error itself is what is compared
        return ("error", f"{type(error).__module__}.{type(error).__qualname__}", str(error))


def same_outcome(ours, reference):
    if ours[0] != reference[0]:
        return False
    if ours[0] == "ok":
        return same(ours[1], reference[1])
    return ours[1:] == reference[1:]


class Check:
    def __init__(self, name):
        self.name = name
        self.cases = 0
        self.failures = 0

    def record(self, ok, describe):
        self.cases += 1
        if not ok:
            self.failures += 1
            if self.failures <= MAX_SHOWN:
                print(f"  MISMATCH {self.name}: {describe()}", flush=True)


# ---------------------------------------------------------------------------
# Writer
# ---------------------------------------------------------------------------


class Sink:
    def __init__(self):
        self.chunks = []

    def write(self, data):
        self.chunks.append(bytes(data))
        return len(data)


def check_writer(rng, check, deadline, seed):
    case = 0
    while time.monotonic() < deadline:
        case += 1
        pick = rng.random()
        if pick < 0.7:
            doc = random_document(rng)
        elif pick < 0.85:
            # Many floats at once: every bit pattern class, C speed on both sides.
            doc = [random_float(rng) for _ in range(5000)]
        else:
            doc = {str(i): random_int(rng) for i in range(500)}
        sink = Sink()
        ours = outcome(lambda: (_write_json(doc, sink), b"".join(sink.chunks))[1])
        reference = outcome(lambda: json.dumps(doc, indent=4, allow_nan=False).encode())
        check.record(same_outcome(ours, reference), lambda: f"seed {seed} case {case}: {doc!r:.300}")


# ---------------------------------------------------------------------------
# Formatter
# ---------------------------------------------------------------------------


def reference_format(value):
    """The readers' value rules, written with the host's conversions only."""
    if isinstance(value, dict):
        return {key: reference_format(item) for key, item in value.items()}
    if isinstance(value, list):
        items = [reference_format(item) for item in value if not (item == "" or item == None)]  # noqa: E711
        return items or None
    if isinstance(value, str):
        return host_rule(value)
    if isinstance(value, float):
        return round(value, 2) if math.isfinite(value) else None
    return value


SPACES = [" ", "\t", "\n", "\r", "\x0b", "\x0c", "\x1c", "\x85", "\xa0", "\u2003", "\u3000"]
DIGITS = "0123456789"
UNICODE_DIGITS = ["\u0660", "\u0669", "\u06f5", "\u0966", "\uff11", "\U0001d7ce"]
WORDS = ["true", "TRUE", "False", "none", "NULL", "Null", "nan", "NaN", "-nan", "inf", "-Infinity",
         "+inf", "infinity", "iNfInItY", "1e", "e5", ".", "-", "+", "_", "0x10", "1_000", "1__0",
         "_1", "1_", "1.5_0", "0_0.1", "١٢٣", "1e1_0", "PASS", "p.(Arg248Gln)", "7/11", "chr17"]


def random_number_text(rng):
    pick = rng.random()
    if pick < 0.25:
        digits = "".join(rng.choice(DIGITS) for _ in range(rng.choice([1, 2, 3, 9, 17, 18, 19, 20, 25])))
        text = rng.choice(["", "-", "+"]) + digits
    elif pick < 0.55:
        whole = "".join(rng.choice(DIGITS) for _ in range(rng.randint(0, 12)))
        frac = "".join(rng.choice(DIGITS) for _ in range(rng.randint(0, 20)))
        text = rng.choice(["", "-", "+"]) + whole + rng.choice([".", ""]) + frac
        if rng.random() < 0.3:
            text += rng.choice("eE") + rng.choice(["", "-", "+"]) + str(rng.randint(0, 400))
    elif pick < 0.65:
        text = repr(random_float(rng))
    elif pick < 0.72:
        # Values that round at the half: x.xx5 and neighbours.
        text = f"{rng.randint(0, 10**6)}.{rng.randint(0, 99):02d}5{rng.choice(['', '0', '1', '0000001'])}"
    elif pick < 0.8:
        text = rng.choice(WORDS)
    elif pick < 0.9:
        text = "".join(rng.choice(DIGITS + "._-+eE" + "".join(UNICODE_DIGITS)) for _ in range(rng.randint(1, 8)))
    else:
        text = str(random_int(rng))
    if rng.random() < 0.2:
        text = rng.choice(SPACES) + text
    if rng.random() < 0.2:
        text = text + rng.choice(SPACES)
    if rng.random() < 0.05:
        text = "1" * rng.choice([4299, 4300, 4301, 5000])
    return text


def random_value(rng, depth=0):
    pick = rng.random()
    if depth < 3 and pick < 0.1:
        return [random_value(rng, depth + 1) for _ in range(rng.randint(0, 4))] + rng.choice([[], [""], [None]])
    if depth < 3 and pick < 0.2:
        return {random_number_text(rng): random_value(rng, depth + 1) for _ in range(rng.randint(0, 4))}
    if pick < 0.3:
        return rng.choice([None, True, False, 0, 7, -3, 2**70, random_float(rng)])
    return random_number_text(rng)


def check_formatter(rng, check, deadline, seed):
    case = 0
    while time.monotonic() < deadline:
        case += 1
        value = random_value(rng)
        ours = outcome(ReportReaderBase._format_value, value)
        reference = outcome(reference_format, value)
        check.record(same_outcome(ours, reference), lambda: f"seed {seed} case {case}: {value!r:.300}")


# ---------------------------------------------------------------------------
# Panel reader
# ---------------------------------------------------------------------------


PANEL_SECTIONS = ["TMB", "MSI", "Small Variants", "Fusions", "Header", "Gene Amplifications"]
PANEL_CELLS = ["Gene", "Total TMB", "Depth", "KRAS", "0.412", "12", "-3.5e2", "NA", "true", "None",
               "", " ", "  x  ", "\u00a0", "#x", "[x]", "a\"b", "\"q\"", "\"a\tb\"", "\"a\nb\"",
               "\"a\"\"b\"", "\"unterminated", "x\"", "\u00e9\U0001f600", "\x00", "1_0", "1e400",
               "p.(Arg248Gln)", "[TMB]", "Allele Frequency"]
NEWLINES = ["\n", "\r\n", "\r"]
# Texts a long table repeats down its columns, so that the reader's memory of
# repeated texts fills, is consulted and, for columns that seldom repeat,
# given up: short and long texts, some differing only in middle bytes,
# numbers and texts past the lengths it remembers.
MEMO_CELLS = (["chr1", "A", "frameshift_variant", "frameshift_varianT", "0.143", "64", "12.50", "NA",
               "missense_variant&splice_region_variant", "é" * 20, "1" * 24, "-0", "9/40"]
              + [f"ABCDEFGH{c * 9}{n}STUVWXYZ" for c in "pq" for n in range(3)]
              + ["x" * n for n in (15, 16, 17, 63, 64, 65)])


def damaged(rng, data, most, alphabet):
    """data with 1 to `most` of its bytes replaced by bytes of alphabet."""
    data = bytearray(data)
    for _ in range(rng.randint(1, most)):
        data[rng.randrange(len(data))] = rng.choice(alphabet)
    return bytes(data)


def random_panel_bytes(rng):
    lines = []
    for _ in range(rng.randint(0, 40)):
        pick = rng.random()
        if pick < 0.15:
            name = rng.choice(PANEL_SECTIONS + ["Other", " TMB ", "[MSI]"])
            lines.append(rng.choice(["", " ", "\t"]) + f"[{name}]" + rng.choice(["", "\t", " ", "]"]))
        elif pick < 0.2:
            lines.append(rng.choice(["", "#", "#comment\tx", "\t", " \t "]))
        else:
            cells = [rng.choice(PANEL_CELLS) for _ in range(rng.choice([1, 2, 2, 3, 5, 11]))]
            if rng.random() < 0.05:
                cells.append("x" * rng.randint(1000, 200_000))
            lines.append("\t".join(cells))
    if rng.random() < 0.1:
        # A long table: enough rows for the column memory to matter.
        width = rng.randint(3, 8)
        lines.append(f"[{rng.choice(PANEL_SECTIONS)}]")
        lines.append("\t".join(f"col{i}" for i in range(width)))
        unique = rng.random() < 0.3  # some columns that seldom repeat
        for row in range(rng.randint(100, 3000)):
            cells = [rng.choice(MEMO_CELLS) for _ in range(width)]
            if unique:
                cells[0] = f"{row}.{rng.randrange(1000)}"
            lines.append("\t".join(cells))
    text = "".join(line + rng.choice(NEWLINES) for line in lines)
    if rng.random() < 0.2:
        text = text.rstrip("\r\n")
    data = text.encode("utf-8", "surrogatepass")
    if rng.random() < 0.15:
        data = b"\xef\xbb\xbf" + data
    if data and rng.random() < 0.15:
        # Invalid UTF-8, stray quotes and line ends.
        data = damaged(rng, data, 5, b"\"\t\r\n\x00\xff\xc3\x80 ")
    return data


def random_panel_config(rng):
    config = {}
    for name in rng.sample(PANEL_SECTIONS, rng.randint(1, len(PANEL_SECTIONS))):
        section = {"caller_name": "c"}
        pick = rng.random()
        if pick < 0.4:
            section["include_all_fields"] = True
        elif pick < 0.8:
            section["fields"] = {cell: None for cell in rng.sample(PANEL_CELLS, rng.randint(1, 6))}
        config[name] = section
    return config


def check_panel(rng, check, deadline, seed, work):
    path = work / "fuzz.combinedvariantoutput.tsv"
    case = 0
    while time.monotonic() < deadline:
        case += 1
        data = random_panel_bytes(rng)
        config = random_panel_config(rng)
        path.write_bytes(data)
        ours = outcome(lambda: PanelTsvReader(config, str(path)).parse())
        reference = outcome(reference_panel, str(path), config, reference_format)
        check.record(same_outcome(ours, reference),
                     lambda: f"seed {seed} case {case}: config {config!r:.200} bytes {data!r:.300}")


# ---------------------------------------------------------------------------
# JSON loader
# ---------------------------------------------------------------------------


def nesting_depth(data):
    """The deepest nesting of brackets and braces outside JSON strings."""
    depth = deepest = 0
    in_string = escaped = False
    for byte in data:
        if in_string:
            if escaped:
                escaped = False
            elif byte == 0x5C:  # backslash
                escaped = True
            elif byte == 0x22:
                in_string = False
        elif byte == 0x22:
            in_string = True
        elif byte in (0x5B, 0x7B):
            depth += 1
            deepest = max(deepest, depth)
        elif byte in (0x5D, 0x7D):
            depth -= 1
    return deepest


def reference_load(path):
    """json.load of the file read as UTF-8 text (a byte-order mark dropped),
    after the loader's own checks: a file of nothing but white space is a
    ValueError, nesting deeper than the recursion limit a RecursionError."""
    data = Path(path).read_bytes()
    body = data[3:] if data.startswith(b"\xef\xbb\xbf") else data
    if not body or body.isspace():
        raise ValueError(f"{path}: the file is empty: it holds no JSON document")
    limit = sys.getrecursionlimit()
    if nesting_depth(body) > limit:
        raise RecursionError(f"maximum recursion depth exceeded while decoding {path}: "
                             f"JSON nested more than {limit} levels deep")
    with open(path, "r", encoding="utf-8-sig") as f:
        return json.load(f)


JSON_EXTRAS = ["NaN", "Infinity", "-Infinity", "1e400", "-1e400", "123456789012345678901234567890",
               "-0", "0.0", "1E5", "1e-7", "\"\\ud800\"", "\"\\udc00\\ud800\"", "\"\\u0000\"",
               "\"\\/\"", "{\"a\": 1, \"a\": 2}", "[" * 5000 + "]" * 5000, "01", "1.", ".5",
               "[1,]", "{\"a\":1,}", "\"\t\"", "tru", "nul", "\"\\x\"", "1" * 5000, "-", "[]", "{}"]


def random_json_bytes(rng):
    pick = rng.random()
    if pick < 0.5:
        doc = random_document(rng)
        text = json.dumps(doc, indent=rng.choice([None, 1, 4]), ensure_ascii=rng.random() < 0.5)
    elif pick < 0.75:
        text = "{" + ", ".join(f"\"k{i}\": {rng.choice(JSON_EXTRAS)}" for i in range(rng.randint(1, 4))) + "}"
    else:
        text = rng.choice(JSON_EXTRAS)
    data = text.encode("utf-8", "surrogatepass")
    if rng.random() < 0.1:
        data = b"\xef\xbb\xbf" + data
    if rng.random() < 0.05:
        data = rng.choice([b"\xef\xbb\xbf\xef\xbb\xbf", b" ", b"\n"]) + data + rng.choice([b"", b" x", b"\n\n"])
    if data and rng.random() < 0.2:
        data = damaged(rng, data, 3, b"\"{}[],:\\ \x00\xff\xc3eE.-0")
    return data


SECTION_KEYS = ["smn", "SMN", "smn1", "smn1_smn2", "gba", "GBA1", "cyp2d6", "cyp2b6", "hba",
                "hba1_hba2", "cyp21a2", "strc", "sampleId", "other"]
SECTION_FIELDS = ["smn1CopyNumber", "smn2CopyNumber", "totalCopyNumber", "fullLengthCopyNumber",
                  "variants", "qc", "genotype", "copyNumber", "filter", "deletions", "readEvidence",
                  "hba1CopyNumber", "hba2CopyNumber", "recombinantHaplotypes", "smn1_cn", "total_cn",
                  "phasing_success", "haplotypes", "read_support", "has_fusion", "extra"]
NESTED_FIELDS = ["total", "exon9Hybrid", "duplications", "perExonDepth", "status", "medianDepth",
                 "hgvs", "alleleCopyNumber", "depth", "name"]


def random_section_value(rng, depth=0):
    pick = rng.random()
    if depth < 2 and pick < 0.2:
        return [random_section_value(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    if depth < 2 and pick < 0.4:
        return {rng.choice(NESTED_FIELDS): random_section_value(rng, depth + 1)
                for _ in range(rng.randint(0, 4))}
    return random_value(rng, 2)


def random_caller_document(rng):
    """A caller document around the sections the shipped resources select."""
    doc = {}
    for key in rng.sample(SECTION_KEYS, rng.randint(1, len(SECTION_KEYS))):
        if rng.random() < 0.95:
            doc[key] = {field: random_section_value(rng)
                        for field in rng.sample(SECTION_FIELDS, rng.randint(0, 8))}
        else:
            doc[key] = random_value(rng)
    return json.dumps(doc, indent=rng.choice([None, 4])).encode("utf-8", "surrogatepass")


RESOURCES = ["dragen_targeted_config.json", "pacbio_paraphase_config.json"]


def read_with_resource(path, resource):
    """JsonExtractReader on a shipped resource: parse and build, as the driver does."""
    import CorvaneFileParser

    with open(os.path.join(os.path.dirname(CorvaneFileParser.__file__), resource), encoding="utf-8") as f:
        config = json.load(f)
    with contextlib.redirect_stdout(io.StringIO()):
        reader = JsonExtractReader(config, str(path))
        return reader.build_result(reader.parse())


MAX_SAVED_CASES = 5000


def check_json(rng, check, deadline, seed, work):
    path = work / "fuzz.targeted.json"
    saved_dir = work / "json-cases"
    saved_dir.mkdir(exist_ok=True)
    saved = []
    case = 0
    while time.monotonic() < deadline:
        case += 1
        data = random_json_bytes(rng) if rng.random() < 0.6 else random_caller_document(rng)
        path.write_bytes(data)
        ours = outcome(JsonExtractReader._load_json, str(path))
        reference = outcome(reference_load, str(path))
        check.record(same_outcome(ours, reference), lambda: f"seed {seed} case {case}: bytes {data!r:.300}")
        if len(saved) < MAX_SAVED_CASES:
            # Kept for the whole reader's run without msgspec.
            name = f"case{case:05d}.json"
            (saved_dir / name).write_bytes(data)
            resource = rng.choice(RESOURCES)
            saved.append((name, resource, outcome(read_with_resource, saved_dir / name, resource)))
    return saved


def replay_reader_cases(directory):
    """The child's side of check_reader_without_msgspec."""
    with open(directory / "cases.pickle", "rb") as f:
        cases = pickle.load(f)
    results = [outcome(read_with_resource, directory / name, resource) for name, resource, _ in cases]
    with open(directory / "child.pickle", "wb") as f:
        pickle.dump(results, f)


def check_reader_without_msgspec(saved, directory, seed):
    """The JSON reader's parse and build on the saved cases, again in a child
    process where msgspec cannot be imported: same results, same errors."""
    check = Check("json reader (without msgspec)")
    with open(directory / "cases.pickle", "wb") as f:
        pickle.dump(saved, f)
    argv = [__file__, "--replay", str(directory)]
    code = (
        "import runpy, sys; sys.modules['msgspec'] = None; "
        f"sys.argv = {argv!r}; runpy.run_path({__file__!r}, run_name='__main__')"
    )
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    sys.stderr.write(child.stderr)
    if child.returncode != 0:
        check.record(False, lambda: f"seed {seed}: the child process failed ({child.returncode})")
        return check
    with open(directory / "child.pickle", "rb") as f:
        results = pickle.load(f)
    for (name, resource, ours), theirs in zip(saved, results):
        data = (directory / name).read_bytes()
        check.record(same_outcome(theirs, ours),
                     lambda: f"seed {seed} {name} with {resource}: bytes {data!r:.300}")
    return check


def check_json_without_msgspec(seconds, seed):
    """The JSON check in a child process where msgspec cannot be imported."""
    argv = [__file__, "--only", "json", "--seconds", str(seconds), "--seed", str(seed), "--child"]
    code = (
        "import runpy, sys; sys.modules['msgspec'] = None; "
        f"sys.argv = {argv!r}; runpy.run_path({__file__!r}, run_name='__main__')"
    )
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    sys.stdout.write(child.stdout.replace("json ", "json (without msgspec) ", 1))
    sys.stderr.write(child.stderr)
    cases = failures = 0
    for line in child.stdout.splitlines():
        if line.startswith("total:"):
            parts = line.split()
            cases, failures = int(parts[1]), int(parts[3])
    if child.returncode not in (0, 1) or not child.stdout:
        failures += 1
    return cases, failures


# ---------------------------------------------------------------------------


CHECKS = ["writer", "formatter", "panel", "json"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0, help="total time budget")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--only", nargs="+", choices=CHECKS, default=CHECKS)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--replay", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    # Readers log warnings; the run's output is its counts.
    logging.getLogger().addHandler(logging.NullHandler())
    if args.replay:
        replay_reader_cases(args.replay)
        return 0

    has_msgspec = not args.child and importlib.util.find_spec("msgspec") is not None
    shares = len(args.only) + (1 if has_msgspec and "json" in args.only else 0)
    budget = args.seconds / shares
    total_cases = total_failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        work = Path(scratch)
        for name in args.only:
            rng = random.Random(f"{args.seed}:{name}")
            check = Check(name)
            deadline = time.monotonic() + budget
            checks = [check]
            if name == "writer":
                check_writer(rng, check, deadline, args.seed)
            elif name == "formatter":
                check_formatter(rng, check, deadline, args.seed)
            elif name == "panel":
                check_panel(rng, check, deadline, args.seed, work)
            else:
                saved = check_json(rng, check, deadline, args.seed, work)
                if not args.child:
                    checks.append(check_reader_without_msgspec(saved, work / "json-cases", args.seed))
            for done in checks:
                print(f"{done.name}: {done.cases} cases, {done.failures} mismatches", flush=True)
                total_cases += done.cases
                total_failures += done.failures
        if has_msgspec and "json" in args.only:
            cases, failures = check_json_without_msgspec(budget, args.seed)
            total_cases += cases
            total_failures += failures
    print(f"total: {total_cases} cases, {total_failures} mismatches (seed {args.seed}, {args.seconds:g} s)")
    return 1 if total_failures else 0


if __name__ == "__main__":
    sys.exit(main())
