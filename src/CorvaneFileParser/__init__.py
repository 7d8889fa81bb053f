"""Reads special-purpose genomic caller outputs into one unified JSON document.

Entry points: the `corvane-parse` command (or `python -m CorvaneFileParser`),
`CorvaneFileParser.ReportAssembler.ReportAssembler` (the driver) and
`CorvaneFileParser.Parsers.ReportReaderFactory` (a reader for one file). The
JSON Schemas of the output and of the provenance manifest ship in the
`schemas` directory of the package.
"""

__version__ = "0.2.0"
