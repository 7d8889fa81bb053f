"""The panel reader's rules spelt out over the host's csv.reader: a reference
the tests and scripts/long_fuzz.py compare PanelTsvReader with.

Row by row over csv.reader's records: how the reader cleans rows, finds
sections and reads key-value rows and tables, with the section settings; the
file-level refusals (an empty file, a NUL byte, a quoted cell never closed).
"""

import csv

from CorvaneFileParser.Models import SectionConfig


def settings_of(config):
    if isinstance(config, SectionConfig):
        fields = config.fields or {}
        return fields, config.include_all_fields, {}
    fields = dict.fromkeys(config.get("fields") or {})
    return fields, config.get("include_all_fields", False), config


def formatter(settings, format_value):
    text_fields = set(settings.get("text_fields") or ())
    null_values = set(settings.get("null_values") or ())
    unrounded = "decimals" in settings and settings["decimals"] is None

    def format_cell(name, text):
        if text in null_values:
            return None
        if name in text_fields or "*" in text_fields:
            return None if text.lower() in ("", "none", "null") else text
        value = format_value(text)
        return float(text) if unrounded and isinstance(value, float) else value

    return format_cell


def reference_sections(path, sections, format_value):
    """The configured sections of the panel table at path, over csv.reader's
    records, cells formatted by format_value (with the section settings)."""
    result = {}
    current = None
    with open(path, encoding="utf-8-sig", newline="") as f:
        for raw in csv.reader(f, delimiter="\t"):
            if not raw or raw[0].startswith("#"):
                continue
            clean = [cell.strip() for cell in raw]
            lead = next((i for i, cell in enumerate(clean) if cell), None)
            if lead is None:
                continue
            if clean[lead].startswith("[") and clean[lead].endswith("]"):
                current = clean[lead].strip("[]")
                if current not in sections:
                    current = None
                    continue
                fields, include_all, settings = settings_of(sections[current])
                format_cell = formatter(settings, format_value)
                nulls = set(settings.get("null_values") or ())
                required = settings.get("required_columns")
                mode = "header" if settings.get("table") else "key-value"
                entry, rows = {}, []
                result[current] = rows if mode == "header" else entry
                continue
            if current is None:
                continue
            if nulls and all(c.lower() in ("", "none", "null") or c in nulls for c in clean):
                continue
            if mode == "key-value":
                others = [i for i in range(lead + 1, len(clean)) if clean[i]]
                if len(others) == 1 or (not others and lead == 0 and len(clean) >= 2):
                    if include_all or clean[lead] in fields:
                        clean_value = clean[others[0]] if others else None
                        entry[clean[lead]] = (format_cell(clean[lead], clean_value)
                                              if others else None)
                    continue
                if entry:
                    entry["rows"] = rows
                else:
                    result[current] = rows
            if mode != "table":
                allowed = None if include_all or not fields else set(fields)
                columns = [(i, c) for i, c in enumerate(clean)
                           if c and (allowed is None or c in allowed)]
                required_at = [(i, c) for i, c in enumerate(clean) if c in (required or ())]
                mode = "table"
                continue
            if not columns:
                continue
            if required_at and all(
                    i >= len(clean) or not clean[i] or format_cell(name, clean[i]) is None
                    for i, name in required_at):
                continue
            rows.append({name: format_cell(name, clean[i]) if i < len(clean) and clean[i] else None
                         for i, name in columns})
    return result


def unclosed_quote_line(text):
    """(line, index) of the opening quote of a quoted cell that is never
    closed, reading text as csv.reader does with a tab delimiter
    (non-strict); None when every quoted cell is closed."""
    state, line, opened, i, n = "start", 1, None, 0, len(text)
    while i < n:
        c = text[i]
        if state == "quoted":
            if c == '"':
                if i + 1 < n and text[i + 1] == '"':
                    i += 2
                    continue
                state = "field"  # the rest of the field is taken as it stands
            elif c == "\n" or (c == "\r" and not (i + 1 < n and text[i + 1] == "\n")):
                line += 1
        elif c == '"' and state == "start":
            state, opened = "quoted", (line, i)
        elif c == "\t":
            state = "start"
        elif c in "\r\n":
            if c == "\r" and i + 1 < n and text[i + 1] == "\n":
                i += 1
            state, line = "start", line + 1
        else:
            state = "field"
        i += 1
    return opened if state == "quoted" else None


def reference_panel(path, sections, format_value):
    """The panel reader's selection rules over the host's csv reader; an
    empty file and a quoted cell never closed are errors naming the file."""
    with open(path, "r", encoding="utf-8-sig", newline="") as f:
        text = f.read()
    if not text.strip():
        raise ValueError(f"{path}: the file is empty (nothing but white space)")
    if "\0" in text:
        line = len(text[:text.index("\0")].replace("\r\n", "\n").replace("\r", "\n").split("\n"))
        raise ValueError(f"{path}, line {line}: a NUL byte; a caller table is text and holds none")
    unclosed = unclosed_quote_line(text)
    result = reference_sections(path, sections, format_value)
    # csv.reader took the rest of the text into that cell without an error
    # of its own (such as its field limit): the reader refuses the file.
    if unclosed is not None:
        raise ValueError(f"{path}, line {unclosed[0]}: a quoted cell starts here and its closing "
                         "quote is missing")
    return result
