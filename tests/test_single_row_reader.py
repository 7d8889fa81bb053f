import gc
import pathlib
import random
import re
import tracemalloc

import pytest

from CorvaneFileParser.Parsers.ReportReaderBase import ReportReaderBase
from CorvaneFileParser.Parsers.SingleRowTsvReader import SingleRowTsvReader

SMN_CONFIG = {"SMN": {"caller_name": "SMN Caller"}, "GBA": {"caller_name": "GBA Caller"}}


def parse(write_file, content, name="smn.tsv", config=SMN_CONFIG):
    return SingleRowTsvReader(config, write_file(name, content)).parse()


def test_smn_caller_row_to_unified_entry(write_file):
    content = (
        "Sample\tisSMAAffected\tisCarrier\tSMN1_CN\tSMN2_CN\tSMN2delta7-8_CN\tTotal_CN_raw\n"
        "NA12878\tFalse\tfalse\t2\t2\tNone\t4.0182\n"
    )
    reader = SingleRowTsvReader(SMN_CONFIG, write_file("smn.tsv", content))
    data = reader.parse()
    assert data == {
        "SMN": {
            "Sample": "NA12878", "isSMAAffected": False, "isCarrier": False, "SMN1_CN": 2,
            "SMN2_CN": 2, "SMN2delta7-8_CN": None, "Total_CN_raw": 4.02,
        }
    }
    result = reader.build_result(data)
    assert list(result) == ["SMN", "GBA"]
    assert result["SMN"] == {"data": data["SMN"], "caller_name": "SMN Caller", "status": "normal"}
    assert result["GBA"] == {"data": {}, "caller_name": "GBA Caller", "status": "not_assessed"}
    assert SingleRowTsvReader.is_tsv_parser is True


@pytest.mark.parametrize(
    "content, expected",
    [
        ("A\tB\tC\n", {"A": None}),
        ("A\tB\tC\n1\t2\n", {"A": 1, "B": 2}),
        ("A\tB\n1\t2\t3\n", {"A": 1, "B": 2}),
        ("A\tB\r\n1\tx\r\n", {"A": 1, "B": "x"}),
        ("A\tB\r1\tx\r", {"A": 1, "B": "x"}),
        ("A\tB\n1\t2\n3\t4\n", {"A": 1, "B": 2}),
        ("A\tA\tB\n1\t2\t3\n", {"A": 2, "B": 3}),
        (" A \t B\n 1 \tyes \n", {"A": 1, "B": "yes"}),
    ],
)
def test_pairing(write_file, content, expected):
    assert parse(write_file, content) == {"SMN": expected}


@pytest.mark.parametrize(
    "content, expected",
    [
        # An empty first or last column keeps its place: no value shifts
        # onto the wrong header.
        ("Sample\tA\tB\n\t1\t2\n", {"Sample": None, "A": 1, "B": 2}),
        ("A\tB\tC\n1\t2\t\n", {"A": 1, "B": 2, "C": None}),
        ("A\tB\tC\n1\t\t\n", {"A": 1, "B": None, "C": None}),
        ("\tA\tB\n0\t1\t2\n", {"": 0, "A": 1, "B": 2}),
    ],
)
def test_empty_edge_columns_do_not_shift(write_file, content, expected):
    assert parse(write_file, content) == {"SMN": expected}


def test_utf8_with_byte_order_mark(write_file):
    content = "\ufeffSample\tNote\nS1\tgrün ≥ 2\n".encode("utf-8")
    assert parse(write_file, content) == {"SMN": {"Sample": "S1", "Note": "grün ≥ 2"}}


def test_invalid_utf8_raises_decoding_error(write_file):
    with pytest.raises(UnicodeDecodeError):
        parse(write_file, b"A\tB\n\xff\xfe\t1\n")


def test_lines_read_from_bytes_match_the_text_file_s(write_file):
    # Seeded files whose lines end in "\n" and the same with "\r\n" (read
    # by the text file itself) give the same rows, samples and errors; the
    # characters str.splitlines would also split at stay inside their field.
    rng = random.Random(31337)
    pieces = ["S1", "S2", "S1.final", " x ", "", "1.50", "None", "gr\u00fcn", "\u2028", "\x0b", "\x1c",
              "\x85", "\t", " ", "\x00", "\ufeff"]
    for case in range(300):
        lines = ["\t".join(rng.choice(pieces) for _ in range(rng.randint(1, 4)))
                 for _ in range(rng.randint(0, 5))]
        text = "\n".join(lines) + rng.choice(["", "\n", "\n\n"])
        prefix = rng.choice([b"", b"\xef\xbb\xbf"])
        suffix = rng.choice([b""] * 5 + [b"\xff"])
        sample = rng.choice([None, "S1", "S2"])
        outcomes = []
        for ending in ("\n", "\r\n"):
            body = prefix + text.replace("\n", ending).encode("utf-8") + suffix
            reader = SingleRowTsvReader(SMN_CONFIG, write_file("smn.tsv", body))
            reader.sample = sample
            try:
                outcomes.append(repr(reader.parse()))
            except Exception as error:
                # A decoding error's position counts the longer line ends.
                outcomes.append((type(error), re.sub(r"position \d+", "", str(error))))
        assert outcomes[0] == outcomes[1], (case, text, sample)


@pytest.mark.parametrize(
    "name, config, expected",
    [
        ("SMN.TSV", {"gba": {}, "Smn": {}}, "Smn"),
        ("sample_output.tsv", {"SMN": {}, "GBA": {}}, "SMN"),
        ("data/smn/out.tsv", {"smn": {}, "out": {}}, "out"),
        ("a.b.tsv", {"x": {}, "A.B": {}}, "A.B"),
        ("gba.tsv", {"Gba": {}, "GBA": {}}, "Gba"),
        ("gba.tsv", {"first": {}, "": {}}, "first"),
    ],
)
def test_caller_name_choice(write_file, name, config, expected):
    assert list(parse(write_file, "A\n1\n", name, config)) == [expected]


def test_configuration_problems_after_reading(write_file):
    with pytest.raises(StopIteration):
        parse(write_file, "A\n1\n", config={})
    path = write_file("smn.tsv", "A\n1\n")
    reader = SingleRowTsvReader({"S": {}}, path)
    reader.section_config = None
    with pytest.raises(AttributeError):
        reader.parse()
    reader.file_path = path + ".gone"
    with pytest.raises(FileNotFoundError):
        reader.parse()


def test_repeated_parsing_keeps_memory_flat(write_file):
    path = write_file("smn.tsv", "Sample\tSMN1\tSMN2\tratio\tnote\nS1\t1\t3\t0.3333\tnull\n")
    reader = SingleRowTsvReader(SMN_CONFIG, path)

    def run(times):
        for _ in range(times):
            reader.build_result(reader.parse())
            ReportReaderBase._format_value({"a": ["1", "", {"b": "2.5"}], "c": "text"})

    run(200)
    gc.collect()
    tracemalloc.start()
    try:
        run(200)
        before = tracemalloc.get_traced_memory()[0]
        run(5000)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 64 * 1024


class TestEmptyFiles:
    @pytest.mark.parametrize("content", [b"", b"\n", b"  \r\n\t\n", b"\xef\xbb\xbf", b"\xef\xbb\xbf \n\n"])
    def test_empty_file_is_an_error_naming_it(self, write_file, content):
        path = write_file("smn.tsv", content)
        with pytest.raises(ValueError) as caught:
            SingleRowTsvReader(SMN_CONFIG, path).parse()
        assert str(caught.value) == f"Input file is empty: {path}"

    def test_the_empty_file_fails_before_the_configuration_is_used(self, write_file):
        with pytest.raises(ValueError, match="Input file is empty"):
            parse(write_file, "", config={})


BATCH = "Sample\tSMN1_CN\tSMN2_CN\nS1\t2\t2\n S2 \t1\t3\nS3\t0\t2\n"


class TestRows:
    @pytest.mark.parametrize(
        "content, expected",
        [
            ("A\n1\n\n  \n\r\n", {"A": 1}),  # blank trailing lines are no rows
            ("A\n\n1\n", {"A": 1}),  # nor are blank lines before the row
            ("\n \nA\tB\n1\t2\n", {"A": 1, "B": 2}),  # nor before the header
            ("A\tB\n\t\n", {"A": None, "B": None}),  # a row of empty fields is a row
        ],
    )
    def test_blank_lines(self, write_file, content, expected, caplog):
        assert parse(write_file, content) == {"SMN": expected}
        assert caplog.records == []

    def test_several_rows_warn_and_read_the_first(self, write_file, caplog):
        path = write_file("smn.tsv", BATCH + "\n\n")
        with caplog.at_level("WARNING"):
            data = SingleRowTsvReader(SMN_CONFIG, path).parse()
        assert data == {"SMN": {"Sample": "S1", "SMN1_CN": 2, "SMN2_CN": 2}}
        [record] = caplog.records
        assert record.levelname == "WARNING"
        assert path in record.getMessage() and "3 data rows" in record.getMessage()

    def test_sample_picks_its_row(self, write_file, caplog):
        path = write_file("smn.tsv", BATCH)
        reader = SingleRowTsvReader(SMN_CONFIG, path)
        assert SingleRowTsvReader.sample is None and reader.sample is None
        reader.sample = "S2"
        with caplog.at_level("WARNING"):
            assert reader.parse() == {"SMN": {"Sample": "S2", "SMN1_CN": 1, "SMN2_CN": 3}}
        assert caplog.records == []
        assert SingleRowTsvReader.sample is None

    def test_sample_of_a_one_row_file(self, write_file):
        reader = SingleRowTsvReader(SMN_CONFIG, write_file("smn.tsv", "Sample\tA\nS9\t1\n"))
        reader.sample = "S9"
        assert reader.parse() == {"SMN": {"Sample": "S9", "A": 1}}

    @pytest.mark.parametrize("content", [BATCH, "Sample\tA\n", "Sample\tA\ns1\t1\nS1x\t2\n"])
    def test_missing_sample_is_an_error_naming_sample_and_file(self, write_file, content):
        path = write_file("smn.tsv", content)
        reader = SingleRowTsvReader(SMN_CONFIG, path)
        reader.sample = "S1" if content != BATCH else "S4"
        with pytest.raises(ValueError) as caught:
            reader.parse()
        message = str(caught.value)
        assert message.startswith(f"Sample '{reader.sample}' not found in {path}")

    def test_not_found_message_lists_the_first_ids(self, write_file):
        rows = "".join(f"P{i}\t{i}\n" for i in range(25))
        reader = SingleRowTsvReader(SMN_CONFIG, write_file("smn.tsv", "Sample\tA\n" + rows))
        reader.sample = "X"
        with pytest.raises(ValueError) as caught:
            reader.parse()
        assert str(caught.value).endswith("(first column of its 25 data rows: P0, P1, P2, P3, P4, "
                                          "P5, P6, P7, P8, P9, ...)")

    def test_repeated_sample_warns_and_reads_its_first_row(self, write_file, caplog):
        path = write_file("smn.tsv", BATCH + "S2\t9\t9\n")
        reader = SingleRowTsvReader(SMN_CONFIG, path)
        reader.sample = "S2"
        with caplog.at_level("WARNING"):
            assert reader.parse()["SMN"]["SMN1_CN"] == 1
        [record] = caplog.records
        assert path in record.getMessage() and "2 rows for sample 'S2'" in record.getMessage()

    def test_sample_must_be_text(self, write_file):
        reader = SingleRowTsvReader(SMN_CONFIG, write_file("smn.tsv", BATCH))
        reader.sample = 2
        with pytest.raises(TypeError, match="sample must be a str, got int"):
            reader.parse()

    def test_only_the_chosen_row_is_kept_in_memory(self, write_file):
        row = "\t".join(["S"] + ["1.5"] * 50) + "\n"
        path = write_file("smn.tsv", "\t".join(f"c{i}" for i in range(51)) + "\n" + row * 20000)
        reader = SingleRowTsvReader(SMN_CONFIG, path)
        tracemalloc.start()
        try:
            reader.parse()
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak < 512 * 1024  # the file is about 3 MiB


REAL_SMN = pathlib.Path(__file__).resolve().parents[1] / ".." / "shared" / "real-formats" / "smn"


@pytest.mark.skipif(not REAL_SMN.is_dir(), reason="real caller files (../shared/real-formats) not present")
def test_real_batch_file_gives_each_sample_s_own_row(caplog):
    batch = next(REAL_SMN.glob("*samples*.smn.tsv"))
    singles = sorted(REAL_SMN.glob("row-*.smn.tsv"))
    assert singles
    for single in singles:
        row = SingleRowTsvReader({"SMN": {}}, str(single)).parse()["SMN"]
        reader = SingleRowTsvReader({"SMN": {}}, str(batch))
        reader.sample = row["Sample"]
        assert reader.parse()["SMN"] == row
    with caplog.at_level("WARNING"):
        SingleRowTsvReader({"SMN": {}}, str(batch)).parse()
    assert [r.levelname for r in caplog.records] == ["WARNING"]
