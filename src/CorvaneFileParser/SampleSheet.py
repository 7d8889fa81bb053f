"""The sample sheet of a run: one row per sample, naming its caller files by kind.

A tab-separated file with a header line. Column ``sample`` holds the sample ID;
one column per kind of caller file (``panel_tsv``, ``smn_tsv``, ``gba_tsv``,
``targeted_json``, ``paraphase_json``) holds that file's path (relative paths
are relative to the working directory; an empty cell means no such file);
the optional ``aliases`` column holds other names of the sample in the caller
files, separated by commas. Blank lines and lines starting with ``#`` are skipped.

Every check runs before any sample is processed; a sheet that fails one is a
SampleSheetError naming the sheet and the row. The workflow and
``corvane-parse --sample-sheet`` share this module, so it needs nothing but the
standard library.
"""

from __future__ import annotations

import os
import re

SAMPLE_ID = r"[A-Za-z0-9][A-Za-z0-9._-]*"
# Column -> the kind of caller file it names; the files are read in this order.
FILE_COLUMNS = {
    "panel_tsv": "panel",
    "smn_tsv": "smn",
    "gba_tsv": "gba",
    "targeted_json": "targeted",
    "paraphase_json": "paraphase",
}
ALIASES_COLUMN = "aliases"
KNOWN_COLUMNS = ("sample", *FILE_COLUMNS, ALIASES_COLUMN)

_SAMPLE_ID = re.compile(SAMPLE_ID)


class SampleSheetError(ValueError):
    """A sample sheet that cannot be read or fails a check."""


class Sample:
    """One row: the sample ID, its files in reading order with their kinds, its aliases."""

    __slots__ = ("name", "files", "kinds", "aliases")

    def __init__(self, name: str, files: list[str], kinds: list[str], aliases: list[str]):
        self.name = name
        self.files = files
        self.kinds = kinds
        self.aliases = aliases

    def input_kinds(self) -> dict[str, str]:
        """{path: kind} for the request."""
        return dict(zip(self.files, self.kinds))

    def __repr__(self) -> str:
        return f"Sample({self.name!r}, {self.files!r}, aliases={self.aliases!r})"


def kind_by_name(path: str) -> str | None:
    """The kind a file's name alone shows (case ignored), or None when the name
    shows none. Only the file name counts, not the folders above it."""
    name = os.path.basename(path).lower()
    if name.endswith("combinedvariantoutput.tsv"):
        return "panel"
    if name.endswith("smn.tsv"):
        return "smn"
    if name.endswith("gba.tsv"):
        return "gba"
    if name.endswith(".json") and "paraphase" in name:
        return "paraphase"
    return None


def _check_kind(where: str, sample: str, column: str, path: str) -> None:
    suffix = ".tsv" if column.endswith("_tsv") else ".json"
    shown = kind_by_name(path)
    if not path.lower().endswith(suffix) or (shown is not None and shown != FILE_COLUMNS[column]):
        what = f"a {shown} file" if shown else f"not a {suffix} file"
        raise SampleSheetError(f"{where}: sample {sample}: column {column} names {path}, "
                               f"{what} by its name")


def _cells(line: str) -> list[str]:
    return [cell.strip() for cell in line.rstrip("\r\n").split("\t")]


def read_sheet(path: str) -> list[Sample]:
    """The samples of the sheet at path, in the sheet's order, every check passed."""
    where = f"sample sheet {path}"
    try:
        with open(path, encoding="utf-8-sig", newline="") as stream:
            text = stream.read()
    except OSError as error:
        raise SampleSheetError(f"{where}: {error.strerror or error}") from None
    except UnicodeDecodeError as error:
        raise SampleSheetError(f"{where}: not UTF-8 text (byte {error.start})") from None
    # Numbered lines without the blank and comment lines.
    lines = [(number, line) for number, line in enumerate(text.splitlines(), 1)
             if line.strip() and not line.startswith("#")]
    if not lines:
        raise SampleSheetError(f"{where}: no header line")
    header = _cells(lines[0][1])
    if "sample" not in header:
        raise SampleSheetError(f"{where}: no 'sample' column")
    unknown = [name for name in header if name not in KNOWN_COLUMNS]
    if unknown:
        raise SampleSheetError(f"{where}: unknown column(s) {', '.join(unknown)}; "
                               f"known: {', '.join(KNOWN_COLUMNS)}")
    repeated = sorted({name for name in header if header.count(name) > 1})
    if repeated:
        raise SampleSheetError(f"{where}: column(s) {', '.join(repeated)} given twice")
    samples: list[Sample] = []
    seen: set[str] = set()
    for number, line in lines[1:]:
        cells = _cells(line)
        if len(cells) > len(header):
            raise SampleSheetError(f"{where}: line {number} has {len(cells)} cells for "
                                   f"{len(header)} columns")
        row = dict(zip(header, cells))
        name = row.get("sample", "")
        if not _SAMPLE_ID.fullmatch(name):
            raise SampleSheetError(f"{where}: line {number}: sample ID {name!r} is not letters, "
                                   f"digits, '.', '_' or '-' starting with a letter or digit")
        if name in seen:
            raise SampleSheetError(f"{where}: sample {name} is listed twice")
        seen.add(name)
        files, kinds = [], []
        for column, kind in FILE_COLUMNS.items():
            cell = row.get(column, "")
            if cell:
                _check_kind(where, name, column, cell)
                files.append(cell)
                kinds.append(kind)
        if not files:
            raise SampleSheetError(f"{where}: sample {name} names no file")
        aliases = [alias.strip() for alias in row.get(ALIASES_COLUMN, "").split(",")]
        samples.append(Sample(name, files, kinds, [alias for alias in aliases if alias]))
    if not samples:
        raise SampleSheetError(f"{where}: no samples")
    return samples
