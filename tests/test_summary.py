"""The run summary (corvane-summarise) on hand-made unified outputs and manifests."""

import csv
import hashlib
import html
import json
import os
import shutil
import subprocess
import sys
from html.parser import HTMLParser
from pathlib import Path

import pytest

from CorvaneFileParser import summary

SCRIPT = Path(sys.executable).parent / "corvane-summarise"


def write_sample(folder, sample, sections, *, inputs=(), missing=(), warnings=(),
                 manifest=True, request_sample=None):
    """Writes <sample>.unified.json (sections: name -> warning, None for a section without
    one, or (status, warning); a sentence is a finding, no sentence normal) and, unless
    manifest is False, a manifest describing it; returns the output path."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    unified = {}
    for name, warning in sections.items():
        entry = {"data": {"value": 1}}
        status, warning = warning if isinstance(warning, tuple) else (
            "finding" if warning and warning.strip() else "normal", warning)
        if warning is not None:
            entry["warning"] = warning
        entry["caller_name"] = f"{name.lower()} caller"
        entry["status"] = status
        unified[name] = entry
    output = folder / f"{sample}.unified.json"
    raw = (json.dumps(unified, indent=4) + "\n").encode("utf-8")
    output.write_bytes(raw)
    if manifest:
        document = {
            "manifest_version": 1,
            "package": {"name": "CorvaneFileParser", "version": "0.2.0"},
            "python": {"implementation": "CPython", "version": "3.13.0"},
            "platform": "Linux",
            "request": {"input_dir": None, "output_dir": str(folder), "output_json": output.name,
                        "output_path": str(output), "input_files": list(inputs) + list(missing),
                        "strict": False, "sample": request_sample},
            "started_at": "2026-12-07T11:40:00.123456Z",
            "finished_at": "2026-12-07T11:40:00.456789Z",
            "inputs": [{"path": name, "opened": name, "size": 1, "sha256": "0" * 64,
                        "reader": "R", "resource": "r.json", "resource_sha256": "0" * 64,
                        "keys": [], "replaced": []} for name in inputs],
            "missing": list(missing),
            "warnings": list(warnings),
            "output": {"path": str(output), "size": len(raw),
                       "sha256": hashlib.sha256(raw).hexdigest()},
        }
        (folder / f"{sample}.unified.manifest.json").write_text(
            json.dumps(document, indent=4) + "\n", encoding="utf-8")
    return output


def read_tsv(path):
    with open(path, encoding="utf-8", newline="") as stream:
        return list(csv.reader(stream, delimiter="\t"))


def run_cli(*args, module=False, cwd=None):
    command = [sys.executable, "-m", "CorvaneFileParser.summary"] if module else [str(SCRIPT)]
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True,
                          encoding="utf-8", cwd=cwd, timeout=120)


class Page(HTMLParser):
    """The parts of the page the tests look at: totals, table header and cells, links."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.scripts = 0
        self.external = []
        self.totals = {}
        self.section_totals = []
        self.header = []
        self.rows = []  # (tr class, [cell texts], [cell classes], href of the first cell)
        self.bold = []
        self._in = None
        self._table = None
        self._text = []
        self._dd = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "script":
            self.scripts += 1
            if "src" in attrs:
                self.external.append(attrs["src"])
        if tag == "link" or (tag == "img" and "src" in attrs):
            self.external.append(attrs.get("href") or attrs.get("src"))
        if tag == "table":
            self._table = attrs.get("id")
        if tag == "dd":
            self._dd, self._text = attrs["id"], []
        if tag == "tr" and self._table == "samples":
            self._row = [attrs.get("class") or "", [], [], None]
        if tag in ("td", "th"):
            self._in, self._text = attrs.get("class") or "", []
        if tag == "a" and self._table == "samples":
            self._row[3] = attrs["href"]
        if tag == "b":
            self.bold.append(len(self._text))
        if tag == "br" and self._in is not None:
            self._text.append("\n")

    def handle_endtag(self, tag):
        text = "".join(self._text)
        if tag == "dd":
            self.totals[self._dd] = text
            self._dd = None
        if tag in ("td", "th") and self._in is not None:
            if self._table == "samples" and tag == "th":
                self.header.append(text)
            elif self._table == "samples":
                self._row[1].append(text)
                self._row[2].append(self._in)
            elif self._table == "section-totals" and tag == "td":
                self.section_totals.append(text)
            self._in = None
        if tag == "tr" and self._table == "samples" and self._row[1]:
            self.rows.append(tuple(self._row))
        if tag == "table":
            self._table = None

    def handle_data(self, data):
        self._text.append(data)


def parse_page(path):
    page = Page()
    page.feed(Path(path).read_text(encoding="utf-8"))
    page.close()
    return page


# ---------------------------------------------------------------------------


@pytest.fixture
def run_folder(tmp_path):
    """Three good samples: IDs sorted as numbers, a section missing from one, a section
    without warning settings, and a manifest naming another sample than the file name."""
    results = tmp_path / "results"
    write_sample(results / "S10", "S10", {"ANALYSIS DETAILS": None, "TMB": "", "MSI": "",
                                          "PHASER_HBA": "copy loss"},
                 inputs=["in/S10.CombinedVariantOutput.tsv", "in/S10.paraphase.json"])
    write_sample(results / "S2", "S2", {"TMB": "High TMB", "MSI": "", "SMN": "",
                                        "GBA": "carrier for Gaucher"},
                 inputs=["in/S2.CombinedVariantOutput.tsv", "in/S2.smn.tsv", "in/S2.gba.tsv"],
                 missing=["in/S2.targeted.json"],
                 warnings=["Input file not found: in/S2.targeted.json", "second"],
                 request_sample="OTHER")
    write_sample(results / "S1", "S1", {"SMN": "  ", "TMB": ""},
                 inputs=["in/S1.smn.tsv", "in/S1.CombinedVariantOutput.tsv"])
    return results


def test_table_values_column_order_and_sample_ids(run_folder, tmp_path):
    rows = summary.write_summary([str(run_folder)], str(tmp_path / "s.tsv"), None)
    assert [row.sample for row in rows] == ["S1", "S2", "S10"]  # digits compared as numbers
    table = read_tsv(tmp_path / "s.tsv")
    # S2 has the most sections with a warning and gives the order; S10 adds PHASER_HBA.
    # ANALYSIS DETAILS has no warning and is no column.
    assert table[0] == ["sample", "status", "files_read", "files_missing",
                        "TMB", "MSI", "SMN", "GBA", "PHASER_HBA",
                        "sentences", "manifest_warnings"]
    assert table[1:] == [
        ["S1", "ok", "in/S1.smn.tsv; in/S1.CombinedVariantOutput.tsv", "",
         "normal", "NA", "normal", "NA", "NA", "0", "0"],
        ["S2", "ok", "in/S2.CombinedVariantOutput.tsv; in/S2.smn.tsv; in/S2.gba.tsv",
         "in/S2.targeted.json", "finding: High TMB", "normal", "normal",
         "finding: carrier for Gaucher", "NA", "2", "2"],
        ["S10", "ok", "in/S10.CombinedVariantOutput.tsv; in/S10.paraphase.json", "",
         "normal", "normal", "NA", "NA", "finding: copy loss", "1", "0"],
    ]
    # Written whole with the usual permissions, no temporary file left beside it.
    umask = os.umask(0o022)
    os.umask(umask)
    assert os.stat(tmp_path / "s.tsv").st_mode & 0o777 == 0o666 & ~umask
    assert sorted(path.name for path in tmp_path.iterdir()) == ["results", "s.tsv"]
    assert summary.sample_id("x/Run.1.unified.json") == "Run.1"
    assert summary.sample_id("x/Plain.json") == "Plain"


def test_unusable_samples_are_failed_rows_with_the_reason(tmp_path):
    results = tmp_path / "results"
    write_sample(results, "good", {"SMN": "carrier"}, inputs=["good.smn.tsv"])
    write_sample(results, "broken", {}, inputs=["broken.smn.tsv"])
    (results / "broken.unified.json").write_text("{\"SMN\": ", encoding="utf-8")
    write_sample(results, "nomanifest", {"SMN": "carrier"}, manifest=False)
    write_sample(results, "edited", {"SMN": ""}, inputs=["edited.smn.tsv"])
    (results / "edited.unified.json").write_text('{"SMN": {"warning": "carrier"}}',
                                                 encoding="utf-8")
    write_sample(results, "gone", {"SMN": ""}, inputs=["gone.smn.tsv"], warnings=["w"])
    (results / "gone.unified.json").unlink()  # the manifest alone is left
    write_sample(results, "listish", {}, inputs=[])
    (results / "listish.unified.manifest.json").write_text(
        json.dumps({"manifest_version": 2}), encoding="utf-8")
    write_sample(results, "binary", {}, manifest=True)
    (results / "binary.unified.json").write_bytes(b"\xff\xfe{}")
    write_sample(results / ".snakemake" / "shadow", "copy", {"SMN": ""})  # not a sample
    (results / ".partial.unified.json").write_text("{", encoding="utf-8")
    os.mkfifo(results / "fifo.unified.json")  # must not wait for a writer
    named_missing = tmp_path / "elsewhere" / "never.unified.json"

    result = run_cli("--tsv", tmp_path / "s.tsv", "--html", tmp_path / "s.html",
                     results, named_missing)
    assert result.returncode == 0, result.stderr
    assert "9 samples summarised (8 failed)" in result.stdout
    table = {row[0]: row for row in read_tsv(tmp_path / "s.tsv")[1:]}
    status = {sample: row[1] for sample, row in table.items()}
    assert status["good"] == "ok"
    assert status["broken"].startswith("failed: output ")
    assert "is not valid JSON (Expecting value: line 1 column 9)" in status["broken"]
    assert status["nomanifest"] == (
        f"failed: manifest not found: {results / 'nomanifest.unified.manifest.json'}")
    assert status["edited"] == (
        "failed: output differs from the one its manifest records (sha256 mismatch)")
    assert status["gone"] == f"failed: output not found: {results / 'gone.unified.json'}"
    assert status["listish"] == "failed: manifest version 2 is not 1"
    assert "is not UTF-8 text" in status["binary"]
    assert status["never"] == f"failed: output not found: {named_missing}"
    assert status["fifo"] == f"failed: output {results / 'fifo.unified.json'} is not a regular file"
    # A failed row keeps what its manifest tells (files read, warnings) and no sentences.
    assert table["broken"][2] == "broken.smn.tsv"
    assert table["gone"][2:] == ["gone.smn.tsv", "", "", "", "1"]
    assert table["good"][2:] == ["good.smn.tsv", "", "finding: carrier", "1", "0"]
    page = parse_page(tmp_path / "s.html")
    assert page.totals["total-samples-with-findings"] == "1"
    assert page.totals["total-failed-samples"] == "8"
    classes = {cells[0]: cls for cls, cells, _, _ in page.rows}
    assert classes["good"] == "finding"
    assert {cls for sample, cls in classes.items() if sample != "good"} == {"failed"}


def test_a_sample_that_cannot_be_read_or_shown_fails_alone(tmp_path, monkeypatch):
    results = tmp_path / "r"
    for sample, sections, inputs in [
            ("good", {"SMN": "carrier"}, ["a\udcff\n.tsv"]), ("S\udcff", {"SMN": ""}, []),
            ("warning", {"SMN": "bad \ud800"}, []), ("section", {"S\ud800": "x"}, []),
            ("path", {"SMN": ""}, ["a\ud800.tsv"]), ("digits", {}, []),
            ("boom", {"S": "boom"}, [])]:
        write_sample(results, sample, sections, inputs=inputs)
    (results / "digits.unified.json").write_bytes(b'{"S": {"data": {"v": %s}}}' % (b"1" * 5000))
    real = summary.sentence_html
    monkeypatch.setattr(summary, "sentence_html",
                        lambda text: 1 / 0 if text == "boom" else real(text))
    assert summary.main(["--tsv", str(tmp_path / "s.tsv"), "--html", str(tmp_path / "s.html"),
                         str(results)]) == 0
    table = {row[0]: row for row in read_tsv(tmp_path / "s.tsv")[1:]}
    assert table["good"][1:3] == ["ok", "a\\xff\\n.tsv"] and table["S\\xff"][1] == "ok"
    assert "cannot be read (Exceeds the limit (4300 digits)" in table["digits"][1]
    lone = "is not text (it holds the lone surrogate \\ud800)"
    assert {sample: table[sample][1] for sample in ("warning", "section", "path", "boom")} == {
        "warning": f"failed: the warning of section SMN {lone}",
        "section": f"failed: section name S\\ud800 {lone}",
        "path": "failed: manifest path a\\ud800.tsv is not text (it holds a lone surrogate)",
        "boom": "failed: cannot be shown: ZeroDivisionError: division by zero",
    }
    assert 'href="r/S%FF.unified.json"' in (tmp_path / "s.html").read_text("utf-8")


def test_command_line_errors(tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    (empty / "notes.json").write_text("{}", encoding="utf-8")
    result = run_cli("--tsv", tmp_path / "s.tsv", "--html", tmp_path / "s.html", empty,
                     module=True)
    assert result.returncode == 1
    assert result.stderr == f"corvane-summarise: error: no unified outputs (.unified.json) found under {empty}\n"
    assert not (tmp_path / "s.tsv").exists()

    write_sample(tmp_path / "r", "S1", {"SMN": ""})
    result = run_cli("--tsv", tmp_path / "no" / "s.tsv", tmp_path / "r")
    assert result.returncode == 1
    assert result.stderr.startswith("corvane-summarise: error: cannot write ")
    assert result.stderr.count("\n") == 1
    assert run_cli().returncode == 2


def test_page_content_links_and_totals(run_folder, tmp_path):
    page_path = tmp_path / "report" / "run.html"
    page_path.parent.mkdir()
    summary.write_summary([str(run_folder)], None, str(page_path), title="Run 42")
    text = page_path.read_text(encoding="utf-8")
    page = parse_page(page_path)
    assert page.scripts == 1 and page.external == []
    assert "http:" not in text and "https:" not in text and "@import" not in text
    # Section headers: the section, its caller, and caller and description on hover.
    assert page.header == ["sample", "status", "files read", "files missing", "TMBtmb caller",
                           "MSImsi caller", "SMNsmn caller", "GBAgba caller",
                           "PHASER_HBAphaser_hba caller", "sentences", "manifest warnings"]
    assert ('title="tmb caller: Tumour mutational burden: high at 10 or more mutations per '
            'megabase"') in text
    assert page.totals == {"total-samples": "3", "total-samples-with-findings": "2",
                           "total-samples-with-a-failed-qc": "0", "total-samples-with-no-calls": "0",
                           "total-samples-with-values-not-interpreted": "0",
                           "total-failed-samples": "0"}
    # Per section and status (finding, QC failed, no call, not interpreted, not assessed,
    # normal), then the samples whose output lacks the section.
    assert page.section_totals == [
        "TMB", "1", "0", "0", "0", "0", "2", "0", "MSI", "0", "0", "0", "0", "0", "2", "1",
        "SMN", "0", "0", "0", "0", "0", "2", "1", "GBA", "1", "0", "0", "0", "0", "0", "2",
        "PHASER_HBA", "1", "0", "0", "0", "0", "0", "2"]
    s1, s2, s10 = page.rows
    assert s1[0] == "" and s2[0] == "finding" and s10[0] == "finding"
    assert s2[1] == ["S2", "ok", "3 filesin/S2.CombinedVariantOutput.tsv\nin/S2.smn.tsv\nin/S2.gba.tsv",
                     "in/S2.targeted.json", "findingHigh TMB", "normal", "normal",
                     "findingcarrier for Gaucher", "n/a", "2", "2"]
    assert s2[2][4:9] == ["sentence st-finding hit", "sentence st-normal", "sentence st-normal",
                          "sentence st-finding hit", "absent"]
    for row in page.rows:
        sample, href = row[1][0], row[3]
        assert href == f"../results/{sample}/{sample}.unified.json"
        assert (page_path.parent / href).resolve() == (run_folder / sample / f"{sample}.unified.json")


def test_input_text_is_escaped_in_the_page_and_kept_in_the_table(tmp_path):
    hostile = "<script>alert(1)"
    write_sample(tmp_path / "r", hostile, {
        "SMN": 'a <b>Positive</b> for <script>alert("x")</script>',
        "GBA": "<b>unclosed & <i>",
        "MSI": "tab\there\nline \"quoted\"",
    }, inputs=['x"><img src=x onerror=alert(1)>.smn.tsv'], missing=["a'b&c.tsv"])
    rows = summary.write_summary([str(tmp_path / "r")], str(tmp_path / "s.tsv"),
                                 str(tmp_path / "s.html"), title="<i>run</i>")
    assert rows[0].sample == hostile
    text = (tmp_path / "s.html").read_text(encoding="utf-8")
    page = parse_page(tmp_path / "s.html")
    assert page.scripts == 1 and page.external == []
    assert text.count("<script") == 1 and "<img" not in text and "<i>" not in text
    (cls, cells, classes, href) = page.rows[0]
    assert cells[0] == hostile
    assert href == "r/%3Cscript%3Ealert%281%29.unified.json"
    assert cells[2] == 'x"><img src=x onerror=alert(1)>.smn.tsv'
    assert cells[3] == "a'b&c.tsv"
    assert cells[4:7] == ['findinga Positive for <script>alert("x")</script>',
                          "finding<b>unclosed & <i>", "findingtab\there\nline \"quoted\""]
    assert len(page.bold) == 1  # only the paired <b> of a sentence stays markup
    # The TSV keeps every text exactly, quoting a cell with a tab or line break.
    table = read_tsv(tmp_path / "s.tsv")
    assert table[1][0] == hostile
    assert table[1][4:7] == ['finding: a <b>Positive</b> for <script>alert("x")</script>',
                             "finding: <b>unclosed & <i>", "finding: tab\there\nline \"quoted\""]
    assert len(table) == 2


def test_page_cells_and_totals_per_state(tmp_path):
    states = ["finding", "qc_failed", "no_call", "not_interpreted", "not_assessed", "normal"]
    for index, state in enumerate(states):
        write_sample(tmp_path / "r", f"S{index}", {"SMN": (state, "said" if index < 3 else "")})
    write_sample(tmp_path / "r", "S6", {"SMN": ("maybe", "")})  # a status no output may hold
    write_sample(tmp_path / "r", "S7", {"SMN": ""}, manifest=False)
    summary.write_summary([str(tmp_path / "r")], str(tmp_path / "s.tsv"), str(tmp_path / "s.html"))
    page = parse_page(tmp_path / "s.html")
    cells = [(cls, texts[4], classes[4]) for cls, texts, classes, _ in page.rows]
    assert cells == [
        ("finding", "findingsaid", "sentence st-finding hit"),
        ("attention", "QC failedsaid", "sentence st-qc_failed"),
        ("attention", "no callsaid", "sentence st-no_call"),
        ("attention", "not interpreted", "sentence st-not_interpreted"),
        ("", "not assessed", "sentence st-not_assessed"),
        ("", "normal", "sentence st-normal"),
        ("attention", "status unknown", "sentence st-unknown"),
        ("failed", "", ""),
    ]
    assert page.section_totals == ["SMN", "1", "1", "1", "1", "1", "1", "1", "0"]
    assert page.totals["total-samples-with-a-section-of-unknown-status"] == "1"
    assert [row[4] for row in read_tsv(tmp_path / "s.tsv")[1:]] == [
        "finding: said", "qc_failed: said", "no_call: said", "not_interpreted", "not_assessed",
        "normal", "unknown", ""]


# ---------------------------------------------------------------------------
# In a real browser


def chromium_binary():
    for name in ("chromium", "chromium-browser"):
        found = shutil.which(name)
        if found:
            return found
    return None


PROBE = """
<script>
(function () {
  function order() {
    return Array.prototype.map.call(document.querySelectorAll("#samples tbody tr"),
      function (row) { return row.cells[0].textContent; });
  }
  function click(column) {
    document.querySelector('#samples th[data-column="' + column + '"] button').click();
  }
  var seen = {start: order()};
  click(0); click(0); seen.sampleDescending = order();
  click(COUNT); seen.countAscending = order();
  var filter = document.getElementById("filter");
  filter.value = "s1";
  filter.dispatchEvent(new Event("input"));
  seen.shown = document.getElementById("shown").textContent;
  click(COUNT);
  filter.value = "";
  var only = document.getElementById("findings-only");
  only.checked = true;
  only.dispatchEvent(new Event("change"));
  seen.flagged = Array.prototype.filter.call(document.querySelectorAll("#samples tbody tr"),
    function (row) { return !row.hidden; }).map(function (row) { return row.cells[0].textContent; });
  var probe = document.createElement("pre");
  probe.id = "probe";
  probe.textContent = JSON.stringify(seen);
  document.body.appendChild(probe);
})();
</script>
"""


@pytest.mark.skipif(chromium_binary() is None,
                    reason="no chromium binary (Debian package 'chromium') to open the page in")
def test_page_sorts_and_filters_in_headless_chromium(tmp_path):
    results = tmp_path / "results"
    write_sample(results, "S1", {"TMB": "high", "MSI": "high"})
    write_sample(results, "S2", {"TMB": "", "MSI": ""})
    write_sample(results, "S10", {"TMB": "high", "MSI": ""})
    write_sample(results, "S3", {"TMB": ("not_assessed", ""), "MSI": ("no_call", "")})
    write_sample(results, "S4", {"TMB": ("not_assessed", ""), "MSI": ""})
    write_sample(results, "S9", {"TMB": ""}, manifest=False)  # failed: no count
    page_path = tmp_path / "page.html"
    summary.write_summary([str(results)], None, str(page_path))
    count_column = parse_page(page_path).header.index("sentences")
    text = page_path.read_text(encoding="utf-8")
    probe_path = tmp_path / "probe.html"
    probe_path.write_text(text.replace("</body>", PROBE.replace("COUNT", str(count_column))
                                       + "</body>"), encoding="utf-8")
    result = subprocess.run(
        [chromium_binary(), "--headless", "--no-sandbox", "--disable-gpu",
         "--no-first-run", f"--user-data-dir={tmp_path / 'profile'}",
         "--dump-dom", probe_path.as_uri()],
        capture_output=True, text=True, encoding="utf-8", timeout=90,
        # The browser is not ours: a sanitizer run's preloaded runtime stays out of it.
        env={key: value for key, value in os.environ.items()
             if key not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")})
    assert result.returncode == 0, result.stderr[-2000:]
    dumped = Page()
    dumped.feed(result.stdout)
    start = result.stdout.index('<pre id="probe">') + len('<pre id="probe">')
    seen = json.loads(html.unescape(
        result.stdout[start:result.stdout.index("</pre>", start)]))
    assert seen["start"] == ["S1", "S2", "S3", "S4", "S9", "S10"]
    # Numbers inside IDs sort as numbers: S10 after S9.
    assert seen["sampleDescending"] == ["S10", "S9", "S4", "S3", "S2", "S1"]
    # Counts ascending; the failed sample's empty cell stays last either way.
    assert seen["countAscending"] == ["S2", "S3", "S4", "S10", "S1", "S9"]
    assert seen["shown"] == "2 of 6 samples shown"  # "s1" matches S1 and S10
    # Findings and failures only: the failed sample and the no-call stay, normal and
    # not-assessed rows go.
    assert seen["flagged"] == ["S1", "S10", "S3", "S9"]
    # The dumped document itself holds the last order: counts descending.
    assert [cells[0] for _, cells, _, _ in dumped.rows] == ["S1", "S10", "S2", "S3", "S4", "S9"]


def test_sample_summary_behaves_as_the_dataclass_it_replaces():
    import dataclasses

    from CorvaneFileParser.summary import SampleSummary

    reference = dataclasses.make_dataclass("SampleSummary", [
        ("sample", str), ("output_path", str), ("manifest_path", str),
        ("failure", object, None), ("files_read", list, dataclasses.field(default_factory=list)),
        ("files_missing", list, dataclasses.field(default_factory=list)),
        ("manifest_warnings", object, None),
        *[(name, dict, dataclasses.field(default_factory=dict))
          for name in ("sentences", "statuses", "callers")],
        ("package_version", object, None), ("resources", dict, dataclasses.field(default_factory=dict)),
        ("provenance", str, ""), ("finished_at", object, None)])
    cases = [(("S1", "o", "m"), {}), (("S1", "o", "m", "broken"), {"manifest_warnings": 2}),
             (("S2", "o", "m"), {"sentences": {"A": "x"}, "resources": {"r": None}})]
    for args, kwargs in cases:
        ours, theirs = SampleSummary(*args, **kwargs), reference(*args, **kwargs)
        assert repr(ours) == repr(theirs)
        for other_args, other_kwargs in cases:
            assert (ours == SampleSummary(*other_args, **other_kwargs)) == (
                theirs == reference(*other_args, **other_kwargs))
    first, second = SampleSummary("a", "o", "m"), SampleSummary("a", "o", "m")
    first.sentences["A"] = "x"
    assert second.sentences == {} and first != second and first.__eq__(1) is NotImplemented
    with pytest.raises(TypeError):
        hash(first)
    code = "import sys, CorvaneFileParser.SheetRun; print('dataclasses' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True).stdout.strip() == "False"


def test_outputs_and_manifests_are_found_whatever_the_output_name(tmp_path):
    from CorvaneFileParser.ReportAssembler import ReportAssembler
    results = tmp_path / "results"
    for output in ("S1.unified.JSON", "S2.UNIFIED.json", "S4.out"):
        (results / output.split(".")[0]).mkdir(parents=True)
        ReportAssembler({"input_dir": str(Path(__file__).resolve().parent.parent / "examples"),
                         "output_dir": str(results / output.split(".")[0]), "output_json": output}).run()
    write_sample(results, "S3", {"SMN": None})
    (results / "S3.unified.json").unlink()  # failed: its manifest only
    rows = summary.summarise([str(results)])
    assert [(row.sample, row.status[:6], Path(row.output_path).name) for row in rows] == [
        ("S1", "ok", "S1.unified.JSON"), ("S2", "ok", "S2.UNIFIED.json"), ("S3", "failed", "S3.unified.json")]
    # A name without the usual suffix, given alone, still finds its manifest.
    row = summary.read_sample(str(results / "S4" / "S4.out"))
    assert row.failure is None and row.manifest_warnings is not None


def test_table_lines_and_links_are_those_of_csv_and_relpath():
    """The TSV's own line writer against csv.writer, and the page's links against
    relpath, on seeded rows of awkward texts."""
    import io
    import random
    import urllib.parse

    rng = random.Random(4711)
    alphabet = ["a", "Z", " ", "\t", "\n", "\r", '"', "'", ",", "\x00", "é", "\u2028", "\\"]
    for _ in range(3000):
        cells = ["".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 6)))
                 for _ in range(rng.randrange(2, 6))]
        buffer = io.StringIO()
        csv.writer(buffer, delimiter="\t", lineterminator="\n").writerow(cells)
        assert summary.tsv_line(cells) == buffer.getvalue(), cells
    page = "/runs/r1/run_summary.html"
    for target in ["/runs/r1/S1/S1.unified.json", "/runs/r1", "/runs/r10/S1.json",
                   "/runs/r1/../r2/a b#?.json", "/other/S1.json", "relative/S2.json",
                   "/runs/r1/S%20/x.json", "/runs/r1/\u00e9\udcff~_.-/\x01!*'()"]:
        base = os.path.dirname(os.path.abspath(page))
        expected = urllib.parse.quote(os.fsencode(os.path.relpath(os.path.abspath(target), base)),
                                      safe="/")
        assert summary.relative_link(target, page) == expected, target
