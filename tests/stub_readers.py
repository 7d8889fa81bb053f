"""Readers and a reader factory that stand in for the shipped ones in the
driver's tests: a file is a JSON document of sections, each configured."""

import json
import os

import CorvaneFileParser.ReportAssembler as assembler_module
from CorvaneFileParser.Parsers.ReportReaderBase import ReportReaderBase


class DocumentReader(ReportReaderBase):
    """Reads a JSON document of sections; every section is configured, with
    caller_name (None: the file's base name)."""

    caller_name = None

    def __init__(self, file_path):
        with open(file_path, encoding="utf-8") as f:
            self.document = json.load(f)
        caller = self.caller_name or os.path.basename(file_path)
        super().__init__({name: {"caller_name": caller} for name in self.document}, file_path)

    def parse(self):
        return self.document


def use_factory(monkeypatch, factory):
    """Makes the driver ask `factory` (anything with get_parser) for its readers."""
    monkeypatch.setattr(assembler_module, "ReportReaderFactory", factory)
    return factory


def write_doc(path, document):
    path.write_text(json.dumps(document), encoding="utf-8")
    return str(path)
