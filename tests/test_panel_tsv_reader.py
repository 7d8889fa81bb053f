import gc
import random
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

from CorvaneFileParser.Models import SectionConfig
from CorvaneFileParser.Parsers.PanelTsvReader import PanelTsvReader
from CorvaneFileParser.Parsers.ReportReaderBase import ReportReaderBase


@pytest.fixture
def tsv(tmp_path):
    """Writes text (or bytes) as combinedvariantoutput.tsv and returns its path."""

    def write(content, name="combinedvariantoutput.tsv"):
        path = tmp_path / name
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content, encoding="utf-8", newline="")
        return str(path)

    return write


def parse(path, config):
    return PanelTsvReader(config, path).parse()


def lines(*rows):
    return "".join("\t".join(row) + "\n" for row in rows)


SMALL_VARIANT_COLUMNS = (
    "Gene", "Chromosome", "Genomic Position", "Reference Call", "Alternative Call",
    "Allele Frequency", "Depth", "P-Dot Notation", "C-Dot Notation", "Consequence(s)",
    "Affected Exon(s)",
)

COMBINED_OUTPUT = lines(
    ("[Analysis Details]",),
    ("Pair ID", "PT-0417-T"),
    ("DNA Sample ID", "PT-0417-DNA"),
    ("RNA Sample ID", "PT-0417-RNA"),
    ("Output Date", "2024-03-12"),
    ("Output Time", "14:22:31"),
    ("Module Version", "2.2.0.12"),
    ("Pipeline Version", "2.2.0"),
    ("Kit Version", ""),
    ("",),
    ("[Sequencing Run Details]",),
    ("DNA Run Name", "240310_A01234_0123_BHKTXYDSX7"),
    ("DNA Run ID", "240310_A01234_0123_BHKTXYDSX7"),
    ("RNA Run Name", "240310_A01234_0124_AHKTYZDSX7"),
    ("DNA ExperimentName", "PanelRun_0310"),
    ("RNA ExperimentName", ""),
    ("",),
    ("[TMB]",),
    ("Total TMB", "7.874"),
    ("Nonsynonymous TMB", "6.3"),
    ("Coding Region Size in Megabases", "1.27"),
    ("Number of Passing Eligible Variants", "10"),
    ("Number of Passing Eligible Nonsynonymous Variants", "8"),
    ("",),
    ("[MSI]",),
    ("Usable MSI Sites", "99"),
    ("Total Microsatellite Sites Unstable", "3"),
    ("Percent Unstable Sites", "3.03"),
    ("SampleMSIStatus", "MSI-Stable"),
    ("",),
    ("[Gene Amplifications]",),
    ("Gene", "Fold Change"),
    ("EGFR", "4.52"),
    ("MYC", "2.3"),
    ("",),
    ("[Splice Variants]",),
    ("Gene", "Exon Numbers", "Supporting Reads"),
    ("",),
    ("[Fusions]",),
    ("Gene Pair", "Breakpoint 1", "Breakpoint 2", "Fusion Supporting Reads",
     "Split Reads", "Pair Reads", "Fusion Directionality Known", "In Frame"),
    ("EML4-ALK", "chr2:42295516", "chr2:29223528", "87", "54", "33", "Yes", "Yes"),
    ("TMPRSS2-ERG", "chr21:41508081", "chr21:38445621", "12", "7", "5", "Yes", "NA"),
    ("",),
    ("[Small Variants]",),
    SMALL_VARIANT_COLUMNS,
    ("EGFR", "chr7", "55191822", "T", "G", "0.3512", "812", "p.(Leu858Arg)",
     "c.2573T>G", "missense_variant", "21/28"),
    ("TP53", "chr17", "7674220", "C", "T", "0.61", "640", "p.(Arg248Gln)",
     "c.743G>A", "missense_variant", "7/11"),
    ("TERT", "chr5", "1295113", "G", "A", "0.22", "95", "", "c.-124C>T",
     "upstream_gene_variant", ""),
)

PANEL_CONFIG = {
    "Analysis Details": {"fields": {"Pair ID": {}, "DNA Sample ID": {}, "Kit Version": {}}},
    "Sequencing Run Details": {"include_all_fields": True},
    "TMB": {"fields": {"Total TMB": {}, "Coding Region Size in Megabases": {}}},
    "MSI": SectionConfig(fields=["Percent Unstable Sites", "SampleMSIStatus"]),
    "Gene Amplifications": {"include_all_fields": True},
    "Splice Variants": {"include_all_fields": True},
    "Fusions": {"fields": {"In Frame": {}, "Gene Pair": {}, "Fusion Supporting Reads": {}}},
    "Small Variants": SectionConfig(fields={"Gene", "Allele Frequency", "P-Dot Notation"}),
    "Copy Number Variants": {"include_all_fields": True},
}


def test_combined_variant_output(tsv):
    data = parse(tsv(COMBINED_OUTPUT), PANEL_CONFIG)
    assert data == {
        "Analysis Details": {"Pair ID": "PT-0417-T", "DNA Sample ID": "PT-0417-DNA",
                             "Kit Version": None},
        "Sequencing Run Details": {
            "DNA Run Name": "240310_A01234_0123_BHKTXYDSX7",
            "DNA Run ID": "240310_A01234_0123_BHKTXYDSX7",
            "RNA Run Name": "240310_A01234_0124_AHKTYZDSX7",
            "DNA ExperimentName": "PanelRun_0310",
            "RNA ExperimentName": None,
        },
        "TMB": {"Total TMB": 7.87, "Coding Region Size in Megabases": 1.27},
        "MSI": {"Percent Unstable Sites": 3.03, "SampleMSIStatus": "MSI-Stable"},
        # Two columns read as key-value rows: the header pair is one of them.
        "Gene Amplifications": {"Gene": "Fold Change", "EGFR": 4.52, "MYC": 2.3},
        "Splice Variants": [],
        "Fusions": [
            {"Gene Pair": "EML4-ALK", "Fusion Supporting Reads": 87, "In Frame": "Yes"},
            {"Gene Pair": "TMPRSS2-ERG", "Fusion Supporting Reads": 12, "In Frame": "NA"},
        ],
        "Small Variants": [
            {"Gene": "EGFR", "Allele Frequency": 0.35, "P-Dot Notation": "p.(Leu858Arg)"},
            {"Gene": "TP53", "Allele Frequency": 0.61, "P-Dot Notation": "p.(Arg248Gln)"},
            {"Gene": "TERT", "Allele Frequency": 0.22, "P-Dot Notation": None},
        ],
    }
    # File order of sections and header order of columns, whatever the
    # configuration's order.
    assert list(data) == [s for s in PANEL_CONFIG if s != "Copy Number Variants"]
    assert list(data["Fusions"][0]) == ["Gene Pair", "Fusion Supporting Reads", "In Frame"]
    assert list(data["Analysis Details"]) == ["Pair ID", "DNA Sample ID", "Kit Version"]

    config = {"Small Variants": {"caller_name": "Panel"}, "Copy Number Variants": {}}
    result = PanelTsvReader(config, tsv(COMBINED_OUTPUT)).build_result(data)
    assert result["SMALL VARIANTS"] == {"data": data["Small Variants"], "caller_name": "Panel",
                                        "status": "normal"}
    assert result["COPY NUMBER VARIANTS"]["data"] == {}


def test_class_shape():
    assert issubclass(PanelTsvReader, ReportReaderBase)
    assert PanelTsvReader.__doc__ == (
        "Parser for CombinedVariantOutput TSV.\n"
        "Reads only configured sections and fields, streaming parse inside loader.")


@pytest.mark.parametrize("as_section_config", [False, True])
def test_configuration_forms_agree(tsv, as_section_config):
    fields = ["Total TMB", "Usable MSI Sites"]
    if as_section_config:
        config = {"TMB": SectionConfig(fields=fields), "MSI": SectionConfig(fields=fields)}
    else:
        mapping = {"fields": dict.fromkeys(fields, {"label": "ignored"})}
        config = {"TMB": mapping, "MSI": mapping}
    assert parse(tsv(COMBINED_OUTPUT), config) == {
        "TMB": {"Total TMB": 7.87}, "MSI": {"Usable MSI Sites": 99}}


def test_extract_fields_and_prepare_configs(tsv):
    reader = PanelTsvReader({}, tsv(""))
    fields, include_all = reader._extract_fields({"fields": {"a": 1, "b": 2}})
    assert (fields, include_all) == ({"a": None, "b": None}, False)
    assert reader._extract_fields(SectionConfig(fields=None, include_all_fields=1)) == ({}, 1)
    kept = ["x"]
    assert reader._extract_fields(SectionConfig(fields=kept))[0] is kept
    cfg = {"fields": {}}
    prepared = reader._prepare_configs({"S": cfg})
    assert prepared == {"S": cfg} and prepared["S"] is cfg


@pytest.mark.parametrize(
    "config, error",
    [
        (None, AttributeError),
        ({"TMB": {"fields": ["Total TMB"]}}, AttributeError),
        ({"TMB": ["Total TMB"]}, AttributeError),
    ],
)
def test_bad_configuration_fails_with_host_error(tsv, config, error):
    with pytest.raises(error):
        parse(tsv(COMBINED_OUTPUT), config)


def test_overridden_helpers_are_used(tsv):
    class Narrow(PanelTsvReader):
        def _prepare_configs(self, config):
            return {"TMB": {}}

        def _extract_fields(self, cfg):
            return {"Total TMB": None}, False

    assert Narrow({"MSI": {}}, tsv(COMBINED_OUTPUT)).parse() == {"TMB": {"Total TMB": 7.87}}


# Rows of one [S] section configured with every field kept; each case lists
# raw rows after the section header and the expected entry.
@pytest.mark.parametrize(
    "rows, expected",
    [
        # A key with an empty value cell is still a key-value row, and the
        # section stays in key-value mode.
        ([("Kit Version", ""), ("Total TMB", "5")], {"Kit Version": None, "Total TMB": 5}),
        ([("K", "", " "), ("L", "1")], {"K": None, "L": 1}),
        ([("K", "", "v")], {"K": "v"}),
        ([(" K ", "  7.456 ")], {"K": 7.46}),
        # A lone cell, a blank first cell or three cells make a header row.
        ([("Gene",), ("EGFR",)], [{"Gene": "EGFR"}]),
        ([("", "Gene"), ("x", "EGFR")], [{"Gene": "EGFR"}]),
        ([("A", "B", "C"), ("1", "2", "3")], [{"A": 1, "B": 2, "C": 3}]),
        # Once a header row is seen, two-cell rows are data rows.
        ([("A", "B", "C"), ("k", "v")], [{"A": "k", "B": "v", "C": None}]),
        # A first cell starting with a blank and a hash is not a comment.
        ([(" #Note", "x")], {"#Note": "x"}),
        ([("#Note", "x"), ("#", ""), ("K", "v")], {"K": "v"}),
        # A repeated key keeps its first position and its last value.
        ([("A", "1"), ("B", "2"), ("A", "3")], {"A": 3, "B": 2}),
        ([('"Fold\tChange"', "2")], {"Fold\tChange": 2}),
        ([], {}),
    ],
)
def test_section_rows(tsv, rows, expected):
    data = parse(tsv(lines(("[S]",), *rows)), {"S": {"include_all_fields": True}})
    assert data == {"S": expected}
    assert list(data["S"]) == list(expected)


@pytest.mark.parametrize(
    "rows, expected",
    [
        # Cells pair with columns by raw position: a blank cell is None and
        # does not shift the cells after it.
        ([("Gene", "Chromosome", "Depth"), ("KRAS", "", "812")],
         [{"Gene": "KRAS", "Chromosome": None, "Depth": 812}]),
        ([("Gene", "Chromosome", "Depth"), ("", "chr12", " ")],
         [{"Gene": None, "Chromosome": "chr12", "Depth": None}]),
        # Short rows give None, cells beyond the header are dropped.
        ([("A", "B", "C"), ("1",), ("1", "2", "3", "4")],
         [{"A": 1, "B": None, "C": None}, {"A": 1, "B": 2, "C": 3}]),
        # An empty header cell names no column.
        ([("A", "", "C", "D"), ("1", "2", "3", "4")], [{"A": 1, "C": 3, "D": 4}]),
        # Duplicate names: one key at the first place, the later cell's value.
        ([("A", "B", "A"), ("1", "2", "3")], [{"A": 3, "B": 2}]),
        # Key-value pairs before the header keep the mapping; records go under "rows".
        ([("Total", "2"), ("A", "B", "C"), ("1", "2", "3")],
         {"Total": 2, "rows": [{"A": 1, "B": 2, "C": 3}]}),
        ([("Total", "2"), ("A", "B", "C")], {"Total": 2, "rows": []}),
        # Only pairs actually kept count.
        ([("Other", "2"), ("A", "B", "C")], []),
        # Rows blank after stripping and comment rows are no records.
        ([("A", "B", "C"), (" ", "\t"), ("# 1", "2", "3")], []),
    ],
)
def test_table_sections(tsv, rows, expected):
    fields = dict.fromkeys(["Total", "A", "B", "C", "D", "Gene", "Chromosome", "Depth"])
    data = parse(tsv(lines(("[S]",), *rows)), {"S": {"fields": fields}})
    assert data == {"S": expected}


def test_table_fields_keep_header_order(tsv):
    content = lines(("[Small Variants]",), SMALL_VARIANT_COLUMNS,
                    ("BRAF", "chr7", "140753336", "A", "T", "0.41", "1020", "p.(Val600Glu)",
                     "c.1799T>A", "missense_variant", "15/18"))
    fields = {"Depth": None, "Gene": None, "Not A Column": None}
    data = parse(tsv(content), {"Small Variants": {"fields": fields}})
    assert data == {"Small Variants": [{"Gene": "BRAF", "Depth": 1020}]}
    assert list(data["Small Variants"][0]) == ["Gene", "Depth"]

    nothing_kept = parse(tsv(content), {"Small Variants": {"fields": {"Nope": 1}}})
    assert nothing_kept == {"Small Variants": []}


def test_no_fields_keeps_no_keys_but_every_column(tsv):
    content = lines(("[TMB]",), ("Total TMB", "7.2"), ("[Splice Variants]",),
                    ("Gene", "Exon Numbers", "Supporting Reads"), ("MET", "13-15", "113"))
    data = parse(tsv(content), {"TMB": {}, "Splice Variants": SectionConfig()})
    assert data == {"TMB": {}, "Splice Variants": [
        {"Gene": "MET", "Exon Numbers": "13-15", "Supporting Reads": 113}]}


@pytest.mark.parametrize(
    "header, config_name",
    [("[ TMB ]", " TMB "), ("[[TMB]]", "TMB"), ("  [TMB]  ", "TMB"), ("[TMB]\textra", "TMB"),
     ("\t[TMB]", "TMB"), ("[]", "")],
)
def test_section_names(tsv, header, config_name):
    content = header + "\nTotal TMB\t7\n"
    assert parse(tsv(content), {config_name: {"include_all_fields": True}}) == {
        config_name: {"Total TMB": 7}}


@pytest.mark.parametrize(
    "content",
    ["Total TMB\t7\n", "[tmb]\nTotal TMB\t7\n", "[TMB\nTotal TMB\t7\n",
     "#[TMB]\nTotal TMB\t7\n"],
)
def test_rows_outside_a_configured_section_are_skipped(tsv, content):
    assert parse(tsv(content), {"TMB": {"include_all_fields": True}}) == {}


def test_sections_switch_and_repeat(tsv):
    content = lines(
        ("[TMB]",), ("Total TMB", "7"), ("Old", "x"),
        ("[MSI]",), ("Total TMB", "99"),
        ("[Fusions]",), ("Gene Pair", "Breakpoint 1", "Breakpoint 2"), ("A-B", "1", "2"),
        ("[TMB]",), ("Total TMB", "8"),
        ("[Fusions]",), ("Gene Pair", "Breakpoint 1", "Breakpoint 2"),
    )
    data = parse(tsv(content), {"TMB": {"include_all_fields": True}, "Fusions": {}})
    assert data == {"TMB": {"Total TMB": 8}, "Fusions": []}
    assert list(data) == ["TMB", "Fusions"]


def test_byte_order_mark_is_ignored(tsv):
    content = "\ufeff[TMB]\nTotal TMB\t7.87\n"
    assert parse(tsv(content), {"TMB": {"include_all_fields": True}}) == {
        "TMB": {"Total TMB": 7.87}}
    # Only a leading mark is dropped; one inside a cell is kept.
    content = "[TMB]\n\ufeffTotal TMB\t7.87\n"
    assert parse(tsv(content), {"TMB": {"include_all_fields": True}}) == {
        "TMB": {"\ufeffTotal TMB": 7.87}}


WHITESPACE = [chr(c) for c in range(sys.maxunicode + 1) if chr(c).isspace()]


def test_cell_stripping_matches_str_strip(tsv):
    # Every code point str.strip() removes is removed, and only those:
    # zero-width space and no-break joiners are not white space to the host.
    kept = "\u200b\u2060\ufeff"
    rows = [(ws + f"K{i}" + kept + ws, ws + "1" + ws) for i, ws in enumerate(WHITESPACE)
            if ws not in "\t\n\r"]
    rows.append((f"{kept}K", "v"))
    content = lines(("[S]",), *rows)
    data = parse(tsv(content), {"S": {"include_all_fields": True}})
    assert data == {"S": {row[0].strip(): 1 if row[1].strip() == "1" else row[1]
                          for row in rows}}
    assert "\u2028" in WHITESPACE and "\u3000" in WHITESPACE


def test_data_values_use_the_shared_formatter(tsv):
    cells = ["TRUE", "Null", " 42 ", "007", "3.14159", "1e3", "0x10", "NaN", "1_000", "-0.005"]
    content = lines(("[S]",), tuple(f"c{i}" for i in range(len(cells))), cells)
    record = parse(tsv(content), {"S": {}})["S"][0]
    expected = [ReportReaderBase._format_value(c.strip()) for c in cells]
    got = list(record.values())
    assert repr(got) == repr(expected)


# Bad input ends in a Python exception or a result, never in a crash, and the
# file is closed either way.
@pytest.mark.parametrize(
    "content, error",
    [
        (b"[TMB]\nTotal TMB\t7\xff\n", UnicodeDecodeError),
        (b"[TMB]\nTotal\x00TMB\t7\n", ValueError),
        (b'[TMB]\n"Total TMB\t7\nMore\t8\n', ValueError),
        (b'[TMB]\nTotal TMB\t"7\n' + b"x\ty\n" * 40000, Exception),
        (b'[TMB]\nTotal TMB\t7"x"\n"a"b\tc\n', None),
        (b"[S]\n" + b"\t".join(b"col%d" % i for i in range(20000)) + b"\n"
         + b"\t".join(b"%d" % i for i in range(20000)) + b"\n", None),
        (b"\r\r\n\n[TMB]\r\nTotal TMB\t7\r", None),
    ],
)
def test_bad_input(tsv, content, error):
    config = {"TMB": {"include_all_fields": True}, "S": {"fields": {"col19999": 1}}}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        if error is None:
            assert isinstance(parse(tsv(content), config), dict)
        else:
            with pytest.raises(error):
                parse(tsv(content), config)
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]


def test_wide_header_row_pairs_far_columns(tsv):
    width = 5000
    content = lines(("[S]",), tuple(f"col{i}" for i in range(width)),
                    tuple(str(i) if i % 2 else "" for i in range(width)))
    record = parse(tsv(content), {"S": {"fields": {"col4999": 1, "col4998": 1}}})["S"][0]
    assert record == {"col4998": None, "col4999": 4999}


def test_records_are_plain_compact_dicts(tsv):
    # A repeated header name keeps its first place and its last value, as
    # setting the cells one by one would; short rows fill with None. Records
    # of atomic values are not tracked by the garbage collector, and take no
    # more room than a dict grown by setting the same str keys.
    header = ("Gene", "Depth", "Gene", "VAF", "Note", "Depth", "A", "B", "C", "D", "E", "F")
    rows = [("EGFR", "12", "KRAS", "0.25", "", "13", "x", "1", "2", "3", "4", "5"),
            ("BRAF", " 7 ", "NRAS")]
    data = parse(tsv(lines(("[S]",), header, *rows)), {"S": {"include_all_fields": True}})["S"]
    expected = []
    for row in rows:
        grown = {}
        for i, name in enumerate(header):
            cell = row[i].strip() if i < len(row) else ""
            grown[name] = ReportReaderBase._format_value(cell) if cell else None
        expected.append(grown)
    assert repr(data) == repr(expected)
    assert list(data[0]) == ["Gene", "Depth", "VAF", "Note", "A", "B", "C", "D", "E", "F"]
    assert data[0]["Gene"] == "KRAS" and data[0]["Depth"] == 13 and data[1]["Depth"] is None
    for record in data:
        assert type(record) is dict and not gc.is_tracked(record)

    distinct = SMALL_VARIANT_COLUMNS + ("Extra",)
    row = ("BRAF", "chr7", "140753336", "A", "T", "0.41", "1020", "p.(Val600Glu)", "c.1799T>A",
           "missense_variant", "15/18", "")
    record = parse(tsv(lines(("[S]",), distinct, row)), {"S": {"include_all_fields": True}})["S"][0]
    grown = {}
    for name, value in record.items():
        grown[name] = value
    assert repr(record) == repr(grown) and not gc.is_tracked(record)
    assert sys.getsizeof(record) <= sys.getsizeof(grown)


def test_repeated_reads_keep_memory_flat(tsv):
    import tracemalloc

    rnd = random.Random(11)
    header = ("a", "b", "a", "c", "d")
    body = [tuple(rnd.choice(["chr1", "1.5", "", "NA", str(rnd.random()), "x" * 40])
                  for _ in range(rnd.randrange(2, 6))) for _ in range(300)]
    path = tsv(lines(("[S]",), header, *body))
    config = {"S": {"include_all_fields": True, "null_values": ["NA"], "required_columns": ["c"]}}
    for _ in range(3):
        parse(path, config)
    gc.collect()
    tracemalloc.start()
    try:
        parse(path, config)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(30):
            parse(path, config)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 64 * 1024



# ---------------------------------------------------------------------------
# Empty files and unclosed quotes
# ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "content", [b"", b"\xef\xbb\xbf", b" \t\r\n\n\t\t\t\n", "\u3000\n\u2028\t\x85".encode()])
def test_empty_file_is_an_error_naming_it(tsv, content):
    path = tsv(content)
    with pytest.raises(ValueError) as raised:
        parse(path, {"TMB": {}})
    assert str(raised.value) == f"{path}: the file is empty (nothing but white space)"


def test_unclosed_quote_names_the_file_and_the_line(tsv):
    # The quote would otherwise swallow the variant's later cells and the
    # whole MSI section.
    path = tsv(lines(("[Small Variants]",), ("Gene", "P-Dot Notation", "Depth"),
                     ("BRAF", '"p.(Val600Glu)', "1020"),
                     ("[MSI]",), ("Usable MSI Sites", "99")))
    with pytest.raises(ValueError) as raised:
        parse(path, {"Small Variants": {}, "MSI": {"include_all_fields": True}})
    assert str(raised.value) == (
        f"{path}, line 3: a quoted cell starts here and its closing quote is missing")
    # The collector, paused while records are built, runs again after a
    # failed read; one the caller had turned off stays off.
    assert gc.isenabled()
    gc.disable()
    try:
        with pytest.raises(ValueError):
            parse(path, {"Small Variants": {}})
        assert not gc.isenabled()
    finally:
        gc.enable()


# ---------------------------------------------------------------------------
# Section settings
# ---------------------------------------------------------------------------

PAD = ("",) * 4


def padded(*rows):
    """Rows padded with empty cells to one width, as the pipeline writes them."""
    return lines(*[row + PAD[: 5 - len(row)] for row in rows])


def test_table_setting_reads_a_two_column_section_as_records(tsv):
    content = padded(("[Gene Amplifications]",), ("Gene", "Fold Change"),
                     ("MET", "2.173"), ("MYCN", "4.464"), ("",),
                     ("[Splice Variants]",), ("Gene", "Affected Exon"), ("",),
                     ("[Fusions]",), ("Gene Pair",), ("EML4-ALK",))
    table = {"include_all_fields": True, "table": True, "decimals": None}
    config = {"Gene Amplifications": table, "Splice Variants": table, "Fusions": table}
    assert parse(tsv(content), config) == {
        "Gene Amplifications": [{"Gene": "MET", "Fold Change": 2.173},
                                {"Gene": "MYCN", "Fold Change": 4.464}],
        "Splice Variants": [],
        "Fusions": [{"Gene Pair": "EML4-ALK"}],
    }
    # Without the setting the two columns stay key-value pairs, as before.
    config["Gene Amplifications"] = {"include_all_fields": True, "table": False}
    assert parse(tsv(content), config)["Gene Amplifications"] == {
        "Gene": "Fold Change", "MET": 2.17, "MYCN": 4.46}


def test_table_section_with_nothing_under_its_title(tsv):
    content = lines(("[Gene Amplifications]",), ("[TMB]",), ("Total TMB", "7"))
    config = {"Gene Amplifications": {"table": True}, "TMB": {"include_all_fields": True}}
    assert parse(tsv(content), config) == {"Gene Amplifications": [], "TMB": {"Total TMB": 7}}


def test_null_values_drop_placeholder_rows(tsv):
    content = padded(
        ("[Sequencing Run Details]",), ("NA",),
        ("[TMB]",), ("Total TMB", "NA"), ("NA", "n/a"), ("Coding Region Size in Megabases", "1.27"),
        ("[Fusions]",), ("Gene Pair", "Breakpoint 1", "In Frame"), ("NA",), ("NA", "null", " N/A "),
        ("NA", "chr2:42522654", "na"), ("EML4-ALK", "chr2:42522654", "NA"),
    )
    nulls = ["NA", "N/A"]
    config = {"Sequencing Run Details": {"include_all_fields": True, "null_values": nulls},
              "TMB": {"include_all_fields": True, "null_values": nulls + ["n/a"]},
              "Fusions": {"include_all_fields": True, "null_values": nulls}}
    assert parse(tsv(content), config) == {
        "Sequencing Run Details": {},
        "TMB": {"Total TMB": None, "Coding Region Size in Megabases": 1.27},
        # Matching is exact: "na" is a value.
        "Fusions": [{"Gene Pair": None, "Breakpoint 1": "chr2:42522654", "In Frame": "na"},
                    {"Gene Pair": "EML4-ALK", "Breakpoint 1": "chr2:42522654", "In Frame": None}],
    }
    # Without null_values the placeholders are data, as before.
    for section in config.values():
        del section["null_values"]
    data = parse(tsv(content), config)
    assert data["Sequencing Run Details"] == {"NA": None}
    assert data["Fusions"][0] == {"Gene Pair": "NA", "Breakpoint 1": None, "In Frame": None}
    assert len(data["Fusions"]) == 4


EXON_CNVS = padded(
    ("[Exon-Level CNVs]",),
    ("Gene", "Chromosome", "Start", "Stop", "Fold Change"),
    ("BRCA1", "NA"),
    ("BRCA2", "NA", "", "", "NA"),
    ("EGFR", "chr7", "55019017", "55211628", "2.5"),
    ("ATM", "chr11", "", "", "0.41"),
)


def test_required_columns_drop_rows_without_a_value_in_any_of_them(tsv):
    config = {"Exon-Level CNVs": {"fields": {"Gene": None, "Chromosome": None},
                                  "required_columns": ["Start", "Fold Change"],
                                  "null_values": ["NA"]}}
    # The required columns need not be among the kept ones.
    assert parse(tsv(EXON_CNVS), config) == {"Exon-Level CNVs": [
        {"Gene": "EGFR", "Chromosome": "chr7"}, {"Gene": "ATM", "Chromosome": "chr11"}]}


def test_required_columns_absent_from_the_header(tsv, caplog):
    path = tsv(EXON_CNVS)
    config = {"Exon-Level CNVs": {"include_all_fields": True,
                                  "required_columns": ["Fold Change", "Copy Number"]}}
    # Without null_values, "NA" is a value.
    assert [row["Gene"] for row in parse(path, config)["Exon-Level CNVs"]] == ["BRCA2", "EGFR", "ATM"]
    assert [r.getMessage() for r in caplog.records if r.levelname == "WARNING"] == [
        f"Section 'Exon-Level CNVs' in {path}: required column 'Copy Number' is not in the header row"]

    # When none of them is in the header, no row is dropped.
    config["Exon-Level CNVs"]["required_columns"] = ["Copy Number"]
    assert len(parse(path, config)["Exon-Level CNVs"]) == 4


def test_value_settings_apply_to_fields_and_columns(tsv):
    content = padded(
        ("[Analysis Details]",), ("Pair ID", "0012345"), ("Pipeline Version", "2.10"),
        ("Output Date", "null"), ("Count", "7"),
        ("[Small Variants]",), ("Gene", "Allele Frequency", "Depth", "Genomic Position"),
        ("MTOR", "0.0467", "899.5", "011174511"),
    )
    config = {
        "Analysis Details": {"include_all_fields": True,
                             "text_fields": ["Pair ID", "Pipeline Version", "Output Date"]},
        "Small Variants": {"include_all_fields": True, "text_fields": ["Genomic Position"],
                           "decimals": {"Allele Frequency": None, "Depth": 0}},
    }
    assert parse(tsv(content), config) == {
        "Analysis Details": {"Pair ID": "0012345", "Pipeline Version": "2.10",
                             "Output Date": None, "Count": 7},
        "Small Variants": [{"Gene": "MTOR", "Allele Frequency": 0.0467, "Depth": 900.0,
                            "Genomic Position": "011174511"}],
    }


def test_missing_sections_are_logged_once_after_the_read(tsv, caplog):
    path = tsv(lines(("[TMB]",), ("Total TMB", "7"), ("[GIS]",), ("[TMB]",)))
    config = {"GIS": {}, "Copy Number Variants": {"table": True}, "TMB": {},
              "MSI": SectionConfig()}
    assert parse(path, config) == {"GIS": {}, "TMB": {}}
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("WARNING", f"Section 'Copy Number Variants' is configured but not found in {path}"),
        ("WARNING", f"Section 'MSI' is configured but not found in {path}"),
    ]


@pytest.mark.parametrize("value", ["Gene", ["Gene", 1], {"Gene": 1}])
def test_bad_required_columns_fail_when_the_reader_is_built(tsv, value):
    with pytest.raises(ValueError) as raised:
        PanelTsvReader({"Exon-Level CNVs": {"required_columns": value}}, tsv(EXON_CNVS),
                       resource_name="panel.json")
    assert str(raised.value) == (
        "panel.json: section 'Exon-Level CNVs': \"required_columns\" must be a list of column names")


def test_long_tables_format_every_cell_as_the_formatter_does(tsv):
    # Texts repeated down a column are formatted once and shared; a column of
    # mostly distinct texts is formatted cell by cell. Either way each value
    # is the formatter's, with its exact type.
    rnd = random.Random(5)
    repeated = ["chr1", "A", " G ", "007", "-0.00", "1.005", "2.675", "TRUE", "null", "NA", "1e3",
                "nan", "inf", "1_000", "0x10", "é", "\u3000", "9" * 15, "0.0467"]
    rows = []
    for i in range(12000):
        rows.append((rnd.choice(repeated), str(rnd.randrange(10 ** 6)),
                     f"{rnd.random():.{rnd.randrange(1, 6)}f}", rnd.choice(repeated[:3]) + str(i % 50)))
    content = lines(("[S]",), ("a", "b", "c", "d"), *rows)
    for config in [{}, {"decimals": None, "text_fields": ["d"], "null_values": ["NA"]}]:
        data = parse(tsv(content), {"S": {"include_all_fields": True, **config}})["S"]
        expected = [
            {name: format_like_settings(name, cell, config)
             for name, cell in zip("abcd", row)} for row in rows
            if not ("null_values" in config and all(c.strip() in ("NA", "null") for c in row))]
        assert repr(data) == repr(expected)
        assert {"nan", "inf", "007"} <= {record["a"] for record in data}


def format_like_settings(name, cell, config):
    text = cell.strip()
    if not text:
        return None
    if text in config.get("null_values", ()):
        return None
    if name in config.get("text_fields", ()):
        return None if text.lower() in ("none", "null") else text
    if "decimals" in config and config["decimals"] is None:
        value = ReportReaderBase._format_value(text)
        if isinstance(value, float):
            return float(text)
        return value
    return ReportReaderBase._format_value(text)


@pytest.mark.parametrize(
    "content, message",
    [(b" \n\t\n", "{path}: the file is empty"),
     (b'[TMB]\nTotal TMB\t"7\n[MSI]\nUsable MSI Sites\t99\n',
      "{path}, line 2: a quoted cell starts here and its closing quote is missing")])
def test_command_line_stops_on_a_bad_panel_file(tmp_path, content, message):
    path = tmp_path / "s1.combinedvariantoutput.tsv"
    path.write_bytes(content)
    script = Path(sys.executable).parent / "corvane-parse"
    result = subprocess.run(
        [str(script), "--input-dir", str(tmp_path), "--output-dir", str(tmp_path),
         "--input-files", path.name], capture_output=True, text=True, timeout=120)
    assert result.returncode == 1
    assert message.format(path=path) in result.stderr
    assert not (tmp_path / "corvane_output.json").exists()


@pytest.mark.parametrize("settings", [{}, {"text_fields": ["*"]}])
def test_repeated_texts_of_every_length_keep_their_own_values(tsv, settings):
    """A column remembers the values of the texts it repeats, long ones by a
    hash of their bytes: texts that differ in one middle byte, share their
    first and last words, straddle the lengths kept whole, or are numbers too
    long for the C++ rules must each keep their own value."""
    rnd = random.Random(31)
    middle = "x" * 30
    pool = [f"{i:02d}{middle}{i % 7}{middle}{i:02d}"[:n] for i in range(12) for n in (15, 16, 17, 63, 64, 65)]
    pool += [f"ABCDEFGH{c * 9}{n}STUVWXYZ" for c in "pq" for n in range(3)]
    pool += ["frameshift_variant", "frameshift_varianT", "splice_region_variant", "é" * 20, "é" * 21,
             "1" * 24, "1" * 23 + "2", "0.123456789012345678901", "missense_variant&splice_region_variant"]
    texts = [rnd.choice(pool) for _ in range(6000)]
    path = tsv(lines(("[T]",), ("Text", "Row"), *((t, str(i)) for i, t in enumerate(texts))))
    rows = parse(path, {"T": {"table": True, "include_all_fields": True, **settings}})["T"]
    expected = texts if settings else [ReportReaderBase._format_value(t) for t in texts]
    assert [row["Text"] for row in rows] == expected
    assert [row["Row"] for row in rows] == [str(i) if settings else i for i in range(len(texts))]


def test_column_memory_tells_long_texts_apart_by_their_bytes(tsv):
    # Two 24-byte texts with equal memory keys (hash and length): after two
    # words the hash states differ by d, so third words differing by d meet.
    alphabet, rng = [c for c in range(0x21, 0x7F) if c != 0x22], random.Random(5)

    def state(text, h=0x9E3779B97F4A7C15 ^ 24):
        for i in (0, 8):
            h = ((h ^ int.from_bytes(text[i:i + 8], "little")) * 0xBF58476D1CE4E5B9) % 2**64
            h ^= h >> 32
        return h

    pairs = [[]]
    while not all(pairs):
        a, b = (bytes(rng.choice(alphabet) for _ in range(16)) for _ in range(2))
        d = (state(a) ^ state(b)).to_bytes(8, "little")
        pairs = [[x for x in alphabet if x ^ byte in alphabet] for byte in d]
    last = bytes(rng.choice(pair) for pair in pairs)
    a, b = (a + last).decode(), (b + bytes(x ^ y for x, y in zip(last, d))).decode()
    assert PanelTsvReader._column_memo_key(a.encode()) == PanelTsvReader._column_memo_key(b.encode())
    # Past the warm-up the column remembers the first, then meets the second.
    cells = ["x"] * 100 + [a, b, b, a]
    content = lines(("[S]",), ("n", "c"), *((str(i), cell) for i, cell in enumerate(cells)))
    assert [row["c"] for row in parse(tsv(content), {"S": {"table": True}})["S"]] == cells
