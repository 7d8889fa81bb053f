"""The panel reader against the plain reference built on csv.reader
(panel_reference.py): seeded random files in the panel's shape must give the
same result, in the same order."""

import csv
import logging
import os
import random
from pathlib import Path

import pytest

from CorvaneFileParser.Models import SectionConfig
from CorvaneFileParser.Parsers.PanelTsvReader import PanelTsvReader
from CorvaneFileParser.Parsers.ReportReaderBase import ReportReaderBase
from panel_reference import reference_sections

CASES = int(os.environ.get("CORVANE_FUZZ_CASES", "3000")) // 5


def reference(path, sections):
    return reference_sections(path, sections, ReportReaderBase._format_value)


CELLS = ["", " ", "\t", "NA", "N/A", "na", "null", "None", "7", "0.0467", "2.10", "0012345", "1e3",
         "TRUE", "Gene", "Fold Change", "Start", "EGFR", "k1", "k2", "c2", "#x", " #y", "[A]",
         '"q\tr"', '"a""b"', '"x\ny"', "\u3000z\xa0", "é", "-3", "+4.5", ".5", "1_000", "2.675",
         "\u0663", "12345678901234567890"]
TITLES = ["[A]", "[B]", "[C]", "[D]", "[ A ]", "[[B]]", " [C] ", "[E]", "#[A]"]


def random_file(rnd):
    rows = []
    for _ in range(rnd.randrange(0, 40)):
        if rnd.random() < 0.15:
            rows.append(rnd.choice(TITLES) + "\t" * rnd.randrange(0, 3))
        else:
            width = rnd.choice([0, 1, 2, 2, 3, 5])
            rows.append("\t".join(rnd.choice(CELLS) for _ in range(width)))
    return rnd.choice(["\n", "\r\n"]).join(rows) + rnd.choice(["", "\n"])


def random_config(rnd):
    config = {}
    for name in ["A", "B", "C", "D", " A "]:
        if rnd.random() < 0.25:
            continue
        if rnd.random() < 0.15:
            config[name] = SectionConfig(fields=rnd.choice([None, ["k1", "Gene", "Start"]]),
                                         include_all_fields=rnd.random() < 0.5)
            continue
        section = {}
        if rnd.random() < 0.5:
            section["include_all_fields"] = True
        if rnd.random() < 0.5:
            section["fields"] = dict.fromkeys(rnd.sample(["k1", "k2", "Gene", "c2", "Start", "NA"], 3))
        for key, choices in [("table", [True, False]), ("null_values", [["NA", "N/A"], []]),
                             ("required_columns", [["Start"], ["Start", "Fold Change"], ["X"]]),
                             ("text_fields", [["*"], ["Gene", "k1"]])]:
            if rnd.random() < 0.35:
                section[key] = rnd.choice(choices)
        config[name] = section
    return config


def test_random_files_match_the_reference(tmp_path):
    logging.disable(logging.WARNING)
    try:
        rnd = random.Random(4242)
        path = tmp_path / "x.combinedvariantoutput.tsv"
        checked = 0
        for case in range(CASES):
            content = random_file(rnd)
            if not content.strip():
                continue
            path.write_text(content, encoding="utf-8", newline="")
            config = random_config(rnd)
            try:
                expected = reference(path, config)
            except csv.Error:
                continue
            got = PanelTsvReader(config, str(path)).parse()
            assert got == expected, (case, content, config)
            assert repr(got) == repr(expected), (case, content, config)
            checked += 1
        assert checked > CASES * 0.8
    finally:
        logging.disable(logging.NOTSET)


def test_unclosed_quote_is_where_the_reference_swallows_the_rest(tmp_path):
    path = tmp_path / "x.combinedvariantoutput.tsv"
    path.write_text('[A]\nk1\t"7\nk2\t8\n', encoding="utf-8")
    assert reference(path, {"A": {"include_all_fields": True}}) == {"A": {"k1": "7\nk2\t8"}}
    with pytest.raises(ValueError, match="line 2"):
        PanelTsvReader({"A": {}}, str(path)).parse()


REAL_FORMATS = Path(__file__).resolve().parent.parent.parent / "shared" / "real-formats" / "panel"
REAL_FILES = sorted(REAL_FORMATS.glob("*.tsv")) if REAL_FORMATS.is_dir() else []

TEXT = {"include_all_fields": True, "text_fields": ["*"], "null_values": ["NA"]}
MEASURES = {"include_all_fields": True, "decimals": None, "null_values": ["NA"]}
TABLE = {**MEASURES, "table": True,
         "text_fields": ["Gene", "Chromosome", "Affected Exon", "Affected Exon(s)"]}
# The sections the pipeline's releases write, read as the shipped resource means to.
REAL_CONFIG = {
    "Analysis Details": TEXT, "Sequencing Run Details": TEXT,
    "TMB": MEASURES, "MSI": MEASURES, "GIS": MEASURES,
    "Gene Amplifications": TABLE, "Copy Number Variants": TABLE, "Splice Variants": TABLE,
    "Fusions": TABLE, "Small Variants": TABLE, "Large Rearrangements": TABLE,
    "Exon-Level CNVs": {**TABLE, "required_columns": ["Start", "Stop", "Fold Change"]},
}


@pytest.mark.skipif(not REAL_FILES, reason=f"no real caller files at {REAL_FORMATS}")
@pytest.mark.parametrize("path", REAL_FILES, ids=lambda p: p.name)
def test_real_panel_files(path):
    logging.disable(logging.WARNING)
    try:
        data = PanelTsvReader(REAL_CONFIG, str(path)).parse()
    finally:
        logging.disable(logging.NOTSET)
    assert data == reference(path, REAL_CONFIG)

    tables = [name for name, cfg in REAL_CONFIG.items() if cfg.get("table") and name in data]
    assert "Small Variants" in tables
    for name in tables:
        assert isinstance(data[name], list), name
        for record in data[name]:
            assert "NA" not in record.values() and any(v is not None for v in record.values())
    for name in ["Analysis Details", "Sequencing Run Details"]:
        assert all(v is None or isinstance(v, str) for v in data.get(name, {}).values()), name
    assert "NA" not in data.get("Sequencing Run Details", {})

    # Measured values are kept as written, never rounded.
    with open(path, encoding="utf-8-sig", newline="") as f:
        rows = [[cell.strip() for cell in row] for row in csv.reader(f, delimiter="\t")]
    start = rows.index(next(row for row in rows if row and row[0] == "[Small Variants]"))
    column = rows[start + 1].index("Allele Frequency")
    written = []
    for row in rows[start + 2:]:
        if row and row[0].startswith("["):
            break
        if len(row) > column and row[column]:
            written.append(row[column])
    kept = [record["Allele Frequency"] for record in data["Small Variants"]]
    assert kept == [float(text) for text in written if text != "NA"]
