"""A run's summary: one row per sample, read from the unified outputs and their manifests.

    corvane-summarise [--tsv FILE] [--html FILE] [--title TEXT] [--sample-sheet SHEET] PATH [PATH ...]

Each PATH is a unified output (``<sample>.unified.json``), its manifest
(``<sample>.unified.manifest.json``) or a folder searched recursively for both.
With the run's sample sheet every sample it lists gets a row, also one that left
only a failure record (``<sample>.failed.json``) or nothing at all.
The summary is written twice: as a tab-separated table and as one self-contained
HTML page. A sample whose output or manifest cannot be used is listed as failed
with the reason; it never stops the summary.
"""

import functools
import hashlib
import html
import io
import json
import os
import re
import stat
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence

from CorvaneFileParser.AtomicFile import write_file
from CorvaneFileParser.ProgramLog import printable
# Where the driver writes the manifest of an output (".json", any case, replaced).
from CorvaneFileParser.Provenance import manifest_path as manifest_path_for

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

OUTPUT_SUFFIX = ".unified.json"
MANIFEST_SUFFIX = ".manifest.json"
MANIFEST_VERSION = 1
ABSENT = "NA"  # TSV cell of a section the sample's output does not have

FIXED_LEADING = ("sample", "status", "files_read", "files_missing")
FIXED_TRAILING = ("sentences", "manifest_warnings")
# The trailing column shown when any sample was made with other versions than the run's.
PROVENANCE = "provenance"
LIST_SEPARATOR = "; "

# A section's status as the unified output writes it, and its label on the page, in the
# order the totals list them. An output without a status (or with another word) is "unknown".
STATUS_LABELS = {"finding": "finding", "qc_failed": "QC failed", "no_call": "no call",
                 "not_interpreted": "not interpreted", "not_assessed": "not assessed",
                 "normal": "normal", "unknown": "status unknown"}
# Statuses that need a look besides findings: never hidden by the page's filter.
ATTENTION = ("qc_failed", "no_call", "not_interpreted", "unknown")


class SummaryError(Exception):
    """A request the summary cannot carry out (nothing to summarise, unwritable output)."""


class _Unusable(Exception):
    """The reason one sample's files cannot be used."""


class SampleSummary:
    """One sample's row. Made like a dataclass of these fields (construction, repr,
    equality), without loading dataclasses and inspect, which cost a sheet run's
    start more than its summary takes."""

    sample: str
    output_path: str
    manifest_path: str
    failure: str | None
    files_read: list[str]
    files_missing: list[str]
    manifest_warnings: int | None
    # section name -> warning sentence, in the output's order; only sections with a warning
    sentences: dict[str, str]
    # section name -> its status (a key of STATUS_LABELS) and its caller's name
    statuses: dict[str, str]
    callers: dict[str, str]
    # From the manifest: the package version and each configuration resource's SHA-256.
    package_version: str | None
    resources: dict[str, str | None]
    # How the sample's versions differ from the run's; empty when they do not.
    provenance: str
    finished_at: str | None

    __match_args__ = ("sample", "output_path", "manifest_path", "failure", "files_read",
                      "files_missing", "manifest_warnings", "sentences", "statuses", "callers",
                      "package_version", "resources", "provenance", "finished_at")

    def __init__(self, sample: str, output_path: str, manifest_path: str,
                 failure: str | None = None, files_read: list[str] | None = None,
                 files_missing: list[str] | None = None, manifest_warnings: int | None = None,
                 sentences: dict[str, str] | None = None, statuses: dict[str, str] | None = None,
                 callers: dict[str, str] | None = None, package_version: str | None = None,
                 resources: dict[str, str | None] | None = None, provenance: str = "",
                 finished_at: str | None = None) -> None:
        self.sample = sample
        self.output_path = output_path
        self.manifest_path = manifest_path
        self.failure = failure
        self.files_read = [] if files_read is None else files_read
        self.files_missing = [] if files_missing is None else files_missing
        self.manifest_warnings = manifest_warnings
        self.sentences = {} if sentences is None else sentences
        self.statuses = {} if statuses is None else statuses
        self.callers = {} if callers is None else callers
        self.package_version = package_version
        self.resources = {} if resources is None else resources
        self.provenance = provenance
        self.finished_at = finished_at

    def _fields(self) -> tuple[object, ...]:
        return tuple(getattr(self, name) for name in self.__match_args__)

    def __repr__(self) -> str:
        shown = ", ".join(f"{name}={getattr(self, name)!r}" for name in self.__match_args__)
        return f"{type(self).__qualname__}({shown})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, SampleSummary) or other.__class__ is not self.__class__:
            return NotImplemented
        return self._fields() == other._fields()

    __hash__ = None  # type: ignore[assignment]

    @property
    def ok(self) -> bool:
        return self.failure is None

    @property
    def status(self) -> str:
        return "ok" if self.failure is None else "failed: " + self.failure

    @property
    def finding_count(self) -> int:
        return sum(1 for text in self.sentences.values() if text.strip())

    def has_status(self, *statuses: str) -> bool:
        return any(status in statuses for status in self.statuses.values())


def sample_id(output_path: str) -> str:
    """The sample ID is the output's file name without ".unified.json" (else without ".json"),
    in any case, as the driver's outputs may be named."""
    name = os.path.basename(output_path)
    for suffix in (OUTPUT_SUFFIX, ".json"):
        if name.lower().endswith(suffix) and len(name) > len(suffix):
            return name[: -len(suffix)]
    return name


def output_path_for(manifest_path: str) -> str:
    return manifest_path[: -len(MANIFEST_SUFFIX)] + ".json"


# ---------------------------------------------------------------------------
# Finding and reading the samples
# ---------------------------------------------------------------------------

def collect_outputs(paths: Iterable[str], require: bool = True) -> list[str]:
    """The unified output paths named by PATHs, in the order met, without repeats.

    A folder is searched recursively (hidden entries skipped) for "*.unified.json" and
    for manifests "*.unified.manifest.json" whose output is missing (a sample that failed),
    the suffixes in any case; an output's manifest is the one manifest_path names.
    A named file that does not exist is kept: it is reported as a failed sample.
    """
    found: list[str] = []
    seen: set[str] = set()

    def add(output_path: str) -> None:
        key = os.path.normcase(os.path.abspath(output_path))
        if key not in seen:
            seen.add(key)
            found.append(output_path)

    for path in paths:
        if os.path.isdir(path):
            before = len(found)
            for folder, subfolders, files in os.walk(path):
                # Hidden entries are the engine's or an editor's, never a sample's output.
                subfolders[:] = sorted(name for name in subfolders if not name.startswith("."))
                with_output = {manifest_path_for(name) for name in files
                               if name.lower().endswith(OUTPUT_SUFFIX)}
                for name in sorted(name for name in files if not name.startswith(".")):
                    lowered = name.lower()
                    if lowered.endswith(OUTPUT_SUFFIX):
                        add(os.path.join(folder, name))
                    elif lowered.endswith(".unified" + MANIFEST_SUFFIX):
                        if name not in with_output:
                            add(os.path.join(folder, output_path_for(name)))
            if len(found) == before and require:
                raise SummaryError(f"no unified outputs ({OUTPUT_SUFFIX}) found under "
                                   f"{printable(path)}")
        elif path.endswith(MANIFEST_SUFFIX):
            add(output_path_for(path))
        else:
            add(path)
    return found


def _read_json(path: str, what: str) -> tuple[bytes, object]:
    try:
        # Opened without waiting, so a FIFO or device of that name cannot block the summary.
        handle = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
        with open(handle, "rb") as stream:
            if not stat.S_ISREG(os.fstat(handle).st_mode):
                raise _Unusable(f"{what} {path} is not a regular file")
            raw = stream.read()
    except FileNotFoundError:
        raise _Unusable(f"{what} not found: {path}") from None
    except OSError as error:
        raise _Unusable(f"cannot read {what} {path}: {error.strerror or error}") from None
    try:
        return raw, json.loads(raw.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise _Unusable(f"{what} {path} is not UTF-8 text (byte {error.start})") from None
    except json.JSONDecodeError as error:
        raise _Unusable(f"{what} {path} is not valid JSON ({error.msg}: line {error.lineno} "
                        f"column {error.colno})") from None
    except RecursionError:
        raise _Unusable(f"{what} {path} is nested too deeply to read") from None
    except ValueError as error:  # an integer of more digits than int() takes, say
        raise _Unusable(f"{what} {path} cannot be read ({error})") from None


def _text_list(value: object, name: str) -> list[str]:
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise _Unusable(f"manifest has no list of texts under {name!r}")
    return value


def _shown_name(name: str) -> str:
    """A file name as the summary shows it: bytes that were not UTF-8 (the
    surrogate escapes os.fsdecode makes of them) as \\xff, control characters
    escaped. Any other lone surrogate is no file name and no text."""
    try:
        os.fsencode(name)
    except UnicodeError:
        raise _Unusable(f"manifest path {printable(name)} is not text "
                        "(it holds a lone surrogate)") from None
    return printable(name)


def _require_text(text: str, what: str) -> str:
    """text, which must be Unicode text (no lone surrogate) to be shown."""
    if text.isascii():
        return text
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        raise _Unusable(f"{what} is not text (it holds the lone surrogate "
                        f"{printable(text[error.start])})") from None
    return text


def _read_manifest(summary: SampleSummary,
                   written: dict[str, object] | None = None) -> dict[str, object]:
    if written is None:
        _, manifest = _read_json(summary.manifest_path, "manifest")
    else:
        manifest = written
    if not isinstance(manifest, dict):
        raise _Unusable("manifest is not a JSON object")
    version = manifest.get("manifest_version")
    if version != MANIFEST_VERSION or isinstance(version, bool):
        raise _Unusable(f"manifest version {version!r} is not {MANIFEST_VERSION}")
    inputs = manifest.get("inputs")
    if not isinstance(inputs, list) or not all(
        isinstance(item, dict) and isinstance(item.get("path"), str) for item in inputs
    ):
        raise _Unusable("manifest has no list of inputs with a path each under 'inputs'")
    summary.files_read = [_shown_name(item["path"]) for item in inputs]
    package = manifest.get("package")
    version = package.get("version") if isinstance(package, dict) else None
    summary.package_version = version if isinstance(version, str) else None
    for item in inputs:
        if isinstance(item.get("resource"), str):
            digest = item.get("resource_sha256")
            summary.resources[item["resource"]] = digest if isinstance(digest, str) else None
    finished = manifest.get("finished_at")
    summary.finished_at = finished if isinstance(finished, str) else None
    summary.files_missing = [_shown_name(name)
                             for name in _text_list(manifest.get("missing"), "missing")]
    summary.manifest_warnings = len(_text_list(manifest.get("warnings"), "warnings"))
    return manifest


def _check_output_matches(manifest: dict[str, object], raw: bytes) -> None:
    """The manifest must describe these very bytes, or its provenance is not this output's."""
    recorded = manifest.get("output")
    if not isinstance(recorded, dict) or not isinstance(recorded.get("sha256"), str):
        raise _Unusable("manifest records no output checksum under 'output'")
    if recorded["sha256"].lower() != hashlib.sha256(raw).hexdigest():
        raise _Unusable("output differs from the one its manifest records (sha256 mismatch)")


def _sentence_text(value: object) -> str:
    if value is None:
        return ""
    if isinstance(value, str):
        return value
    # Not a text: shown as its JSON form rather than dropped.
    return json.dumps(value, ensure_ascii=False)


def read_sample(output_path: str, written: dict[str, object] | None = None,
                written_manifest: dict[str, object] | None = None) -> SampleSummary:
    """One sample's row; failures become the row's reason instead of an exception.
    written: the document the caller has just written to output_path, which is then
    not read back; written_manifest likewise the manifest written beside it."""
    summary = SampleSummary(printable(sample_id(output_path)), output_path,
                            manifest_path_for(output_path))
    output_problem = None
    raw = b""
    unified: dict[str, object] = {} if written is None else written
    try:
        if written is None:
            raw, document = _read_json(output_path, "output")
            if not isinstance(document, dict):
                raise _Unusable(f"output {output_path} is not a JSON object")
            unified = document
    except _Unusable as reason:
        output_problem = printable(str(reason))
    try:
        # Read even when the output is unusable: the files read still help to find out why.
        manifest = _read_manifest(summary, written_manifest if written is not None else None)
    except _Unusable as reason:
        summary.failure = output_problem or printable(str(reason))
        return summary
    if output_problem:
        summary.failure = output_problem
        return summary
    try:
        if written is None:
            _check_output_matches(manifest, raw)
    except _Unusable as reason:
        summary.failure = str(reason)
        return summary
    try:
        for section, entry in unified.items():
            if isinstance(entry, dict) and "warning" in entry:
                name = _require_text(section, f"section name {printable(section)}")
                summary.sentences[name] = _require_text(
                    _sentence_text(entry["warning"]), f"the warning of section {name}")
                status = entry.get("status")
                summary.statuses[name] = (
                    status if isinstance(status, str) and status in STATUS_LABELS else "unknown")
                caller = entry.get("caller_name")
                if isinstance(caller, str):
                    summary.callers[name] = _require_text(
                        caller, f"the caller name of section {name}")
    except _Unusable as reason:
        summary.sentences.clear()
        summary.statuses.clear()
        summary.callers.clear()
        summary.failure = str(reason)
    return summary


def _failed(output_path: str, reason: str) -> SampleSummary:
    return SampleSummary(printable(sample_id(output_path)), output_path,
                         manifest_path_for(output_path), failure=printable(reason))


def read_sample_or_fail(output_path: str, written: dict[str, object] | None = None,
                        written_manifest: dict[str, object] | None = None) -> SampleSummary:
    """read_sample, with any other error it meets a failed row too: one sample
    never stops the summary."""
    try:
        return read_sample(output_path, written, written_manifest)
    except Exception as error:
        return _failed(output_path, f"cannot be read: {type(error).__name__}: {error}")


_DIGITS = re.compile(r"([0-9]+)")


def natural_key(text: str) -> list[int | str]:
    """Sorts "S2" before "S10": digit runs compare as numbers, the rest ignoring case."""
    parts = _DIGITS.split(text)
    return [int(part) if index % 2 else part.casefold() for index, part in enumerate(parts)]


def sort_rows(rows: list[SampleSummary]) -> list[SampleSummary]:
    rows.sort(key=lambda row: (natural_key(row.sample), row.sample, row.output_path))
    return rows


def summarise(paths: Iterable[str]) -> list[SampleSummary]:
    """The rows for PATHs, sorted by sample ID (numbers in IDs compared as numbers)."""
    return sort_rows([read_sample_or_fail(path) for path in collect_outputs(paths)])


# ---------------------------------------------------------------------------
# A run's sample sheet: failure records and samples without any output
# ---------------------------------------------------------------------------

FAILURE_SUFFIX = ".failed.json"
NO_OUTPUT = "no output"


def failed_row(sample: str, path: str, reason: str) -> SampleSummary:
    """The row of a sample that has no usable output; the page links path when it exists."""
    return SampleSummary(sample, path, manifest_path_for(path), failure=reason)


def read_failure_record(path: str) -> tuple[str, str]:
    """(reason, time) of a failure record <s>.failed.json; an unreadable record is a
    failure all the same, its reason saying why it cannot be read."""
    try:
        _, record = _read_json(path, "failure record")
    except _Unusable as problem:
        return str(problem), ""
    if not isinstance(record, dict) or not isinstance(record.get("reason"), str):
        return f"failure record {path} holds no reason", ""
    time = record.get("time")
    return record["reason"], time if isinstance(time, str) else ""


def _failure_records(paths: Iterable[str]) -> dict[str, str]:
    """Sample ID -> its failure record, from the folders among PATHs (searched as
    collect_outputs searches them)."""
    found: dict[str, str] = {}
    for path in paths:
        if not os.path.isdir(path):
            continue
        for folder, subfolders, files in os.walk(path):
            subfolders[:] = sorted(name for name in subfolders if not name.startswith("."))
            for name in sorted(files):
                if name.endswith(FAILURE_SUFFIX) and not name.startswith("."):
                    found.setdefault(name[: -len(FAILURE_SUFFIX)], os.path.join(folder, name))
    return found


def summarise_sheet(samples: Sequence[str], paths: Sequence[str]) -> list[SampleSummary]:
    """A row for every sample of a sheet, and for any other output under PATHs. A sample
    with a failure record newer than its output is failed with the record's reason; one
    with neither output nor record is failed with the reason "no output"."""
    outputs: dict[str, str] = {}
    for path in collect_outputs(paths, require=False):
        outputs.setdefault(sample_id(path), path)
    records = _failure_records(paths)
    rows = []
    for sample in samples:
        output = outputs.pop(sample, None)
        row = read_sample_or_fail(output) if output else None
        record = records.get(sample)
        if record:
            reason, when = read_failure_record(record)
            if row is None or not row.ok or not row.finished_at or when >= row.finished_at:
                row = failed_row(sample, record, reason)
        elif row is None:
            folder = paths[0] if paths else "."
            row = failed_row(sample, os.path.join(folder, sample, sample + OUTPUT_SUFFIX),
                             NO_OUTPUT)
        rows.append(row)
    rows += [read_sample_or_fail(path) for path in outputs.values()]
    return sort_rows(rows)


def run_provenance(rows: Sequence[SampleSummary]) -> tuple[str | None, dict[str, str | None]]:
    """The run's package version and resource checksums: for each, the value most samples
    were made with (the first met among equals)."""
    def most_common(values: list[str | None]) -> str | None:
        counts: dict[str | None, int] = {}
        for value in values:
            counts[value] = counts.get(value, 0) + 1
        return max(counts, key=counts.__getitem__) if counts else None

    made = [row for row in rows if row.ok]
    version = most_common([row.package_version for row in made if row.package_version])
    names: dict[str, None] = {}
    for row in made:
        names.update(dict.fromkeys(row.resources))
    resources = {name: most_common([row.resources[name] for row in made if name in row.resources])
                 for name in names}
    return version, resources


def flag_provenance(rows: Sequence[SampleSummary]) -> None:
    """Sets each row's provenance to how its versions differ from the run's."""
    version, resources = run_provenance(rows)
    for row in rows:
        differences = []
        if row.ok and row.package_version and row.package_version != version:
            differences.append(f"package {row.package_version} (run: {version})")
        for name, digest in row.resources.items():
            if row.ok and name in resources and digest != resources[name]:
                differences.append(f"{name} {(digest or 'none')[:12]} "
                                   f"(run: {(resources[name] or 'none')[:12]})")
        row.provenance = LIST_SEPARATOR.join(differences)


def section_columns(rows: Sequence[SampleSummary]) -> list[str]:
    """Every section with a warning across the run, each once. The sample with the most
    such sections (the first by sample ID among equals) gives the order; sections it
    lacks follow in order of first appearance in the others, taken in that same order
    and each output's sections in its own order."""
    ranked = sorted(range(len(rows)), key=lambda index: (-len(rows[index].sentences), index))
    columns: dict[str, None] = {}
    for index in ranked:
        for section in rows[index].sentences:
            columns.setdefault(section, None)
    return list(columns)


# ---------------------------------------------------------------------------
# The table
# ---------------------------------------------------------------------------

def _count(value: int | None) -> str:
    return "" if value is None else str(value)


def section_cell(row: SampleSummary, section: str) -> str:
    """A section's TSV cell: its status, then ": " and the sentence when there is one."""
    if section not in row.sentences:
        return ABSENT
    text = row.sentences[section]
    status = row.statuses.get(section, "unknown")
    return f"{status}: {text}" if text.strip() else status


def table_rows(rows: Iterable[SampleSummary], sections: Sequence[str]) -> Iterator[list[str]]:
    """The header and one list of cell texts per sample, as the TSV holds them."""
    rows = list(rows)
    flagged = any(row.provenance for row in rows)
    yield [*FIXED_LEADING, *sections, *FIXED_TRAILING] + ([PROVENANCE] if flagged else [])
    for row in rows:
        cells = [row.sample, row.status, LIST_SEPARATOR.join(row.files_read),
                 LIST_SEPARATOR.join(row.files_missing)]
        if row.ok:
            cells += [section_cell(row, section) for section in sections]
            cells += [str(row.finding_count), _count(row.manifest_warnings)]
        else:
            cells += [""] * len(sections)
            cells += ["", _count(row.manifest_warnings)]
        if flagged:
            cells.append(row.provenance)
        yield cells


_QUOTE_OR_BREAK = re.compile('["\n\r]')


def _tsv_cell(text: str) -> str:
    if "\t" in text or _QUOTE_OR_BREAK.search(text):
        return '"' + text.replace('"', '""') + '"'
    return text


def tsv_line(cells: Sequence[str]) -> str:
    """The line csv.writer(delimiter="\t", lineterminator="\n") writes for a row of at
    least two texts: a cell holding a tab, a line break or a double quote is quoted
    (inner quotes doubled). Each cell is looked at only when the joined line needs it."""
    line = "\t".join(cells)
    if line.count("\t") != len(cells) - 1 or _QUOTE_OR_BREAK.search(line):
        line = "\t".join([_tsv_cell(cell) for cell in cells])
    return line + "\n"


def render_tsv(rows: Sequence[SampleSummary]) -> str:
    """Tab-separated, one line per sample. A cell holding a tab, a line break or a double
    quote is quoted the usual way (double quotes, inner quotes doubled)."""
    return "".join([tsv_line(cells) for cells in table_rows(rows, section_columns(rows))])


# ---------------------------------------------------------------------------
# The page
# ---------------------------------------------------------------------------

def esc(text: object) -> str:
    return html.escape(str(text), quote=True)


_BOLD = re.compile(r"&lt;(/?)b&gt;")


def sentence_html(text: str) -> str:
    """The sentence escaped; its plain <b>...</b> emphasis (part of the configured
    messages) is kept as bold when the tags pair up, anything else stays text."""
    escaped = esc(text)
    if "&lt;" not in escaped:
        return escaped
    depth = 0
    for match in _BOLD.finditer(escaped):
        depth += -1 if match.group(1) else 1
        if depth < 0 or depth > 1:
            return escaped
    if depth:
        return escaped
    return _BOLD.sub(lambda match: f"<{match.group(1)}b>", escaped)


def relative_link(target: str, page_path: str) -> str:
    """A relative URL from the page's folder to TARGET, every special character quoted."""
    return _RelativeLinks(page_path)(target)


class _RelativeLinks:
    """relative_link for one page: its folder found once, and a target inside it
    (a run's outputs) made relative by cutting the folder off, as relpath would."""

    def __init__(self, page_path: str) -> None:
        self.base = os.path.dirname(os.path.abspath(page_path))
        self.prefix = self.base.rstrip(os.sep) + os.sep

    def __call__(self, target: str) -> str:
        absolute = os.path.abspath(target)
        if absolute.startswith(self.prefix) and not os.path.altsep:
            relative = absolute[len(self.prefix):]
        else:
            try:
                relative = os.path.relpath(absolute, self.base)
            except ValueError:  # another drive: no relative path exists
                relative = absolute
        # As bytes: a name that is not UTF-8 is linked by its own bytes.
        return quote_path(os.fsencode(relative.replace(os.sep, "/")))


_URL_PLAIN = re.compile(rb"[A-Za-z0-9_.~/-]*")


def quote_path(path: bytes) -> str:
    """urllib.parse.quote(path, safe="/"), without loading urllib for a page: letters,
    digits, "_.-~" and "/" as they are, every other byte as %XX."""
    if _URL_PLAIN.fullmatch(path):
        return path.decode("ascii")
    plain = _URL_PLAIN.fullmatch
    return "".join(chr(byte) if plain(bytes((byte,))) else "%%%02X" % byte for byte in path)


_STYLE = """
:root { --line: #d0d4da; --finding: #fff4d6; --finding-mark: #d98c00; --failed: #fde2e1;
        --failed-mark: #c62828; --head: #eef1f5; --qc: #f3e5f5; --nocall: #e8eaf6;
        --uninterpreted: #e0f2f1; --attention-mark: #5c6bc0; }
* { box-sizing: border-box; }
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.2em; color: #1b1f24; }
h1 { font-size: 1.4em; margin: 0 0 .6em; }
.totals { display: flex; flex-wrap: wrap; gap: 1.5em; align-items: flex-start; margin-bottom: 1em; }
.totals dl { display: grid; grid-template-columns: auto auto; gap: .2em 1em; margin: 0; }
.totals dt { color: #555; } .totals dd { margin: 0; font-weight: 600; text-align: right; }
.totals table { border-collapse: collapse; }
.totals th, .totals td { border: 1px solid var(--line); padding: .15em .5em; text-align: left; }
.totals td.n { text-align: right; }
.controls { display: flex; gap: 1em; align-items: center; margin: .5em 0; }
.controls input[type=search] { font: inherit; padding: .25em .5em; width: 22em; }
.scroll { overflow: auto; max-height: 78vh; border: 1px solid var(--line); }
table.samples { border-collapse: separate; border-spacing: 0; }
table.samples th, table.samples td { border-right: 1px solid var(--line);
  border-bottom: 1px solid var(--line); padding: .25em .5em; vertical-align: top; text-align: left; }
table.samples thead th { position: sticky; top: 0; background: var(--head); z-index: 2; }
table.samples th:first-child, table.samples td:first-child { position: sticky; left: 0;
  background: #fff; z-index: 1; }
table.samples thead th:first-child { z-index: 3; background: var(--head); }
table.samples th button { all: unset; cursor: pointer; font-weight: 600; white-space: nowrap; }
table.samples th button:focus-visible { outline: 2px solid #3b73d9; }
th[aria-sort=ascending] button::after { content: " \\25B2"; }
th[aria-sort=descending] button::after { content: " \\25BC"; }
td.sentence { min-width: 14em; max-width: 30em; }
td.absent { color: #999; }
td.n { text-align: right; }
td.files { font-size: .9em; color: #333; white-space: nowrap; }
td.files summary { cursor: pointer; }
td.hit { background: var(--finding); }
tr.finding td:first-child { box-shadow: inset 4px 0 var(--finding-mark); background: var(--finding); }
tr.attention:not(.finding) td:first-child { box-shadow: inset 4px 0 var(--attention-mark); }
tr.failed td { background: var(--failed); }
tr.failed td:first-child { box-shadow: inset 4px 0 var(--failed-mark); background: var(--failed); }
.state { display: inline-block; font-size: .8em; font-weight: 600; padding: 0 .35em;
  border-radius: 3px; margin-right: .35em; white-space: nowrap; }
td.st-finding .state { background: var(--finding-mark); color: #fff; }
td.st-qc_failed { background: var(--qc); } td.st-qc_failed .state { background: #8e24aa; color: #fff; }
td.st-no_call { background: var(--nocall); } td.st-no_call .state { background: #5c6bc0; color: #fff; }
td.st-not_interpreted { background: var(--uninterpreted); }
td.st-not_interpreted .state { background: #00838f; color: #fff; }
td.st-unknown .state { background: #555; color: #fff; }
td.st-not_assessed { color: #666; background: repeating-linear-gradient(135deg, #fff 0 6px,
  #f1f1f1 6px 12px); } td.st-not_assessed .state { border: 1px dashed #888; color: #555; }
td.st-normal .state { color: #2e7d32; font-weight: 400; }
th .caller { display: block; font-weight: 400; font-size: .8em; color: #555; }
.legend span { padding: 0 .4em; }
.legend .finding { background: var(--finding); border-left: 4px solid var(--finding-mark); }
.legend .absent { color: #999; }
.legend .failed { background: var(--failed); border-left: 4px solid var(--failed-mark); }
.legend .qc_failed { background: var(--qc); } .legend .no_call { background: var(--nocall); }
.legend .not_interpreted { background: var(--uninterpreted); }
.legend .not_assessed { border: 1px dashed #888; color: #555; }
"""

# Static: sorts by a header click (numbers as numbers, empty cells last), filters rows
# by the text typed, optionally to samples with findings or failures (a failed sample, a
# failed QC, a no-call, a value not interpreted). No data lives here.
_SCRIPT = """
(function () {
  "use strict";
  var table = document.getElementById("samples");
  var body = table.tBodies[0];
  var rows = Array.prototype.slice.call(body.rows);
  var texts = rows.map(function (row) { return row.textContent.toLowerCase(); });
  var headers = Array.prototype.slice.call(table.tHead.rows[0].cells);
  var collator = new Intl.Collator(undefined, {numeric: true, sensitivity: "base"});
  var number = /^[-+]?(\\d+\\.?\\d*|\\.\\d+)([eE][-+]?\\d+)?$/;
  var sorted = {column: -1, direction: 1};

  function key(row, column) {
    var cell = row.cells[column];
    return cell.hasAttribute("data-sort") ? cell.getAttribute("data-sort") : cell.textContent.trim();
  }
  function compare(a, b) {
    if (a === b) return 0;
    if (a === "") return 1;
    if (b === "") return -1;
    if (number.test(a) && number.test(b)) return Number(a) - Number(b);
    return collator.compare(a, b);
  }
  function sortBy(column) {
    var direction = sorted.column === column ? -sorted.direction : 1;
    var keyed = rows.map(function (row, index) { return [key(row, column), index, row]; });
    keyed.sort(function (a, b) {
      if (a[0] === "" || b[0] === "") {
        var empty = compare(a[0], b[0]);
        if (empty) return empty;
      } else {
        var order = compare(a[0], b[0]) * direction;
        if (order) return order;
      }
      return a[1] - b[1];
    });
    var fragment = document.createDocumentFragment();
    keyed.forEach(function (item) { fragment.appendChild(item[2]); });
    body.appendChild(fragment);
    headers.forEach(function (th, index) {
      if (index === column) th.setAttribute("aria-sort", direction > 0 ? "ascending" : "descending");
      else th.removeAttribute("aria-sort");
    });
    sorted = {column: column, direction: direction};
  }
  headers.forEach(function (th, index) {
    th.querySelector("button").addEventListener("click", function () { sortBy(index); });
  });

  var filter = document.getElementById("filter");
  var findingsOnly = document.getElementById("findings-only");
  var shown = document.getElementById("shown");
  function applyFilter() {
    var query = filter.value.trim().toLowerCase();
    var onlyFindings = findingsOnly.checked;
    var count = 0;
    rows.forEach(function (row, index) {
      var flagged = row.classList.contains("finding") || row.classList.contains("failed") ||
                    row.classList.contains("attention");
      var visible = (!query || texts[index].indexOf(query) !== -1) && (!onlyFindings || flagged);
      row.hidden = !visible;
      if (visible) count++;
    });
    shown.textContent = count + " of " + rows.length + " samples shown";
  }
  filter.addEventListener("input", applyFilter);
  findingsOnly.addEventListener("change", applyFilter);
  applyFilter();
})();
"""


def _files_html(names: Sequence[str]) -> str:
    """One file as it is; several folded under their count, so rows stay short."""
    if len(names) < 2:
        return "".join(esc(name) for name in names)
    listed = "<br>".join(esc(name) for name in names)
    return f"<details><summary>{len(names)} files</summary>{listed}</details>"


def section_descriptions() -> dict[str, str]:
    """One line per shipped section (by output key) from the package's configuration
    resources, for the column headers; a resource that cannot be read adds nothing."""
    folder = os.path.dirname(os.path.abspath(__file__))
    found: dict[str, str] = {}
    try:
        names = sorted(name for name in os.listdir(folder) if name.endswith("_config.json"))
    except OSError:
        return found
    for name in names:
        try:
            with open(os.path.join(folder, name), encoding="utf-8") as stream:
                config = json.load(stream)
        except (OSError, ValueError):
            continue
        for section, settings in (config.items() if isinstance(config, dict) else ()):
            text = settings.get("description") if isinstance(settings, dict) else None
            if isinstance(text, str):
                found.setdefault(section.upper(), text)
    return found


def _section_header(section: str, caller: str | None, description: str | None) -> str:
    hover = ": ".join(part for part in (caller, description) if part) or section
    label = f"<span class=\"caller\">{esc(caller)}</span>" if caller else ""
    return f"<span title=\"{esc(hover)}\">{esc(section)}{label}</span>"


def _section_cell(row: SampleSummary, section: str) -> str:
    """A section's cell: its status labelled (a finding highlighted as well) and the
    sentence; a section the output lacks reads n/a."""
    if section not in row.sentences:
        return ("<td class=\"absent\" data-sort=\"\" "
                "title=\"section not in this sample's output\">n/a</td>")
    return _sentence_cell(row.statuses.get(section, "unknown"), row.sentences[section])


@functools.lru_cache(maxsize=4096)
def _sentence_cell(status: str, text: str) -> str:
    # Kept: the same sentence with the same status recurs across a run's samples.
    classes = f"sentence st-{status}" + (" hit" if status == "finding" else "")
    return (f"<td class=\"{classes}\"><span class=\"state\">{esc(STATUS_LABELS[status])}</span>"
            f"{sentence_html(text)}</td>")
def _provenance_html(rows: Sequence[SampleSummary]) -> str:
    """The package version and resource checksums the run was made with, once."""
    version, resources = run_provenance(rows)
    if not version and not resources:
        return ""
    out = ["<table id=\"run-provenance\"><thead><tr><th>Made with</th><th>version or SHA-256"
           "</th></tr></thead><tbody>\n"]
    if version:
        out.append(f"<tr><td>CorvaneFileParser</td><td>{esc(version)}</td></tr>\n")
    for name, digest in resources.items():
        out.append(f"<tr><td>{esc(name)}</td><td><code>{esc(digest or 'none')}</code></td></tr>\n")
    flagged = sum(1 for row in rows if row.provenance)
    if flagged:
        out.append(f"<tr><td>samples made otherwise</td><td id=\"total-other-versions\">"
                   f"{flagged} (see column {PROVENANCE})</td></tr>\n")
    out.append("</tbody></table>\n")
    return "".join(out)


def render_html(rows: Sequence[SampleSummary], page_path: str, title: str = "Run summary") -> str:
    sections = section_columns(rows)
    ok_rows = [row for row in rows if row.ok]
    failed = len(rows) - len(ok_rows)
    callers: dict[str, str] = {}
    for row in ok_rows:
        for section, caller in row.callers.items():
            callers.setdefault(section, caller)
    descriptions = section_descriptions()

    out = ["<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n",
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n",
           f"<title>{esc(title)}</title>\n<style>{_STYLE}</style>\n</head>\n<body>\n",
           f"<h1>{esc(title)}</h1>\n<div class=\"totals\">\n<dl>\n"]
    # The statuses each sample's sections have, and how many samples have each.
    states = [set(row.statuses.values()) if row.ok else set() for row in rows]
    having: dict[str, int] = {}
    for held in states:
        for status in held:
            having[status] = having.get(status, 0) + 1
    totals = [("Samples", len(rows)),
              ("Samples with findings", having.get("finding", 0)),
              ("Samples with a failed QC", having.get("qc_failed", 0)),
              ("Samples with no-calls", having.get("no_call", 0)),
              ("Samples with values not interpreted", having.get("not_interpreted", 0)),
              ("Failed samples", failed)]
    unknown = having.get("unknown", 0)
    if unknown:
        totals.insert(-1, ("Samples with a section of unknown status", unknown))
    for label, value in totals:
        out.append(f"<dt>{label}</dt><dd id=\"total-{esc(label.lower().replace(' ', '-'))}\">"
                   f"{value}</dd>\n")
    out.append("</dl>\n")
    out.append(_provenance_html(rows))
    if sections:
        present: dict[str, int] = {}
        for row in ok_rows:
            for section in row.sentences:
                present[section] = present.get(section, 0) + 1
        shown = [status for status in STATUS_LABELS if status != "unknown" or unknown]
        counted: dict[tuple[str, str], int] = {}
        for row in ok_rows:
            for section, status in row.statuses.items():
                counted[section, status] = counted.get((section, status), 0) + 1
        out.append("<table id=\"section-totals\"><thead><tr><th>Section</th>"
                   + "".join(f"<th>{esc(STATUS_LABELS[status])}</th>" for status in shown)
                   + "<th>not in the output</th></tr></thead><tbody>\n")
        for section in sections:
            counts = [counted.get((section, status), 0) for status in shown]
            absent = len(ok_rows) - present.get(section, 0)
            out.append(f"<tr><td>{esc(section)}</td>"
                       + "".join(f"<td class=\"n\">{count}</td>" for count in counts)
                       + f"<td class=\"n\">{absent}</td></tr>\n")
        out.append("</tbody></table>\n")
    legend = "".join(f"<span class=\"{status}\">{esc(STATUS_LABELS[status])}</span> "
                     for status in ("finding", "qc_failed", "no_call", "not_interpreted",
                                    "not_assessed"))
    out.append("</div>\n<div class=\"controls\">\n"
               "<input type=\"search\" id=\"filter\" placeholder=\"Filter rows\" "
               "aria-label=\"Filter rows\">\n"
               "<label title=\"samples with a finding, a failed QC, a no-call or a value not "
               "interpreted, and failed samples\"><input type=\"checkbox\" id=\"findings-only\">"
               " findings and failures only</label>\n<span id=\"shown\"></span>\n"
               f"<span class=\"legend\">{legend}<span class=\"failed\">failed sample</span> "
               "<span class=\"absent\">n/a: section not in the output</span>"
               "</span>\n</div>\n<div class=\"scroll\">\n<table class=\"samples\" id=\"samples\">\n"
               "<thead><tr>")
    flagged = any(row.provenance for row in rows)
    headers = [esc(name) for name in ("sample", "status", "files read", "files missing")]
    headers += [_section_header(section, callers.get(section), descriptions.get(section))
                for section in sections]
    headers += [esc(name) for name in ("sentences", "manifest warnings")]
    headers += [esc(PROVENANCE)] if flagged else []
    for index, header in enumerate(headers):
        out.append(f"<th scope=\"col\" data-column=\"{index}\"><button type=\"button\">"
                   f"{header}</button></th>")
    out.append("</tr></thead>\n<tbody>\n")
    link_to = _RelativeLinks(page_path)
    for row, held in zip(rows, states):
        if not row.ok:
            classes = "failed"
        else:
            classes = " ".join(name for name, flagged in (
                ("finding", "finding" in held),
                ("attention", not held.isdisjoint(ATTENTION))) if flagged)
        out.append(f"<tr class=\"{classes}\">" if classes else "<tr>")
        if os.path.exists(row.output_path):
            link = esc(link_to(row.output_path))
            out.append(f"<td><a href=\"{link}\">{esc(row.sample)}</a></td>")
        else:
            out.append(f"<td>{esc(row.sample)}</td>")
        out.append(f"<td>{esc(row.status)}</td>")
        out.append(f"<td class=\"files\">{_files_html(row.files_read)}</td>"
                   f"<td class=\"files\">{'<br>'.join(esc(name) for name in row.files_missing)}</td>")
        for section in sections:
            out.append(_section_cell(row, section) if row.ok else "<td></td>")
        findings = str(row.finding_count) if row.ok else ""
        out.append(f"<td class=\"n\">{findings}</td>"
                   f"<td class=\"n\">{_count(row.manifest_warnings)}</td>"
                   + (f"<td>{esc(row.provenance)}</td>" if flagged else "") + "</tr>\n")
    out.append(f"</tbody>\n</table>\n</div>\n<script>{_SCRIPT}</script>\n</body>\n</html>\n")
    return "".join(out)


# ---------------------------------------------------------------------------
# Writing and the command line
# ---------------------------------------------------------------------------

def _render(rows: Sequence[SampleSummary], tsv_path: str | None, html_path: str | None,
            title: str) -> tuple[bytes, bytes]:
    """The TSV and the page as the UTF-8 bytes to write (a text that cannot be
    written as UTF-8 fails here)."""
    tsv = render_tsv(rows) if tsv_path else ""
    page = render_html(rows, html_path, title) if html_path else ""
    return tsv.encode("utf-8"), page.encode("utf-8")


def _render_failing_samples_apart(rows: list[SampleSummary], tsv_path: str | None,
                                  html_path: str | None, title: str) -> tuple[bytes, bytes]:
    """The rendered summary. Should a sample's row fail to render, each row is
    tried alone and those that fail become failed rows with the reason."""
    try:
        return _render(rows, tsv_path, html_path, title)
    except Exception:
        pass
    for index, row in enumerate(rows):
        try:
            _render([row], tsv_path, html_path, title)
        except Exception as error:
            rows[index] = _failed(row.output_path,
                                  f"cannot be shown: {type(error).__name__}: {error}")
    try:
        return _render(rows, tsv_path, html_path, title)
    except Exception as error:
        raise SummaryError(f"cannot render the summary: {type(error).__name__}: "
                           f"{printable(str(error))}") from None


def write_summary(paths: Iterable[str], tsv_path: str | None, html_path: str | None,
                  title: str = "Run summary",
                  sheet: Sequence[str] | None = None) -> list[SampleSummary]:
    """Summarises the outputs under PATHs; with sheet (its sample IDs), every sample of
    the sheet is listed, found or not (see summarise_sheet)."""
    rows = summarise(paths) if sheet is None else summarise_sheet(sheet, list(paths))
    return write_rows(rows, tsv_path, html_path, title)


def write_rows(rows: list[SampleSummary], tsv_path: str | None, html_path: str | None,
               title: str = "Run summary",
               before_writing: Callable[[], None] | None = None) -> list[SampleSummary]:
    """Renders the rows and writes the TSV and the page; before_writing, when given, is
    called between the two (a sheet run waits there for its sync)."""
    if not rows:
        raise SummaryError("no samples to summarise")
    flag_provenance(rows)
    tsv, page = _render_failing_samples_apart(rows, tsv_path, html_path, printable(title))
    if before_writing is not None:
        before_writing()
    try:
        # Each written whole or not at all (see AtomicFile).
        if tsv_path:
            write_file(tsv_path, tsv)
        if html_path:
            write_file(html_path, page)
    except OSError as error:
        name = error.filename if isinstance(error.filename, str) else "the summary"
        raise SummaryError(f"cannot write {printable(name)}: "
                           f"{error.strerror or error}") from None
    return rows


def parse_args(argv: Sequence[str] | None = None) -> "argparse.Namespace":
    import argparse

    parser = argparse.ArgumentParser(
        prog="corvane-summarise",
        description="Summarise a run's unified outputs and manifests as a TSV table and an "
                    "HTML page.")
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="unified output, its manifest, or a folder searched recursively "
                             "for *.unified.json")
    parser.add_argument("--tsv", default="run_summary.tsv",
                        help="TSV file to write (default: run_summary.tsv)")
    parser.add_argument("--html", default="run_summary.html",
                        help="HTML page to write (default: run_summary.html)")
    parser.add_argument("--title", default="Run summary", help="heading of the page")
    parser.add_argument("--sample-sheet", metavar="SHEET",
                        help="the run's sample sheet: every sample it lists is summarised, "
                             "one with neither output nor failure record as failed "
                             "(\"no output\")")
    from CorvaneFileParser import __version__

    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    return parser.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    sheet = None
    if args.sample_sheet:
        from CorvaneFileParser.SampleSheet import SampleSheetError, read_sheet

        try:
            sheet = [sample.name for sample in read_sheet(args.sample_sheet)]
        except SampleSheetError as error:
            print(f"corvane-summarise: error: {error}", file=sys.stderr)
            return 2
    try:
        rows = write_summary(args.paths, args.tsv, args.html, args.title, sheet)
    except SummaryError as error:
        print(f"corvane-summarise: error: {printable(str(error))}", file=sys.stderr)
        return 1
    failed = sum(1 for row in rows if not row.ok)
    print(printable(f"{len(rows)} samples summarised ({failed} failed) into {args.tsv} and "
                    f"{args.html}"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
