"""Readers of the callers' result files and the reader factory.

`ReportReaderFactory.get_parser(path)` returns the reader for a file, chosen by
its name; every reader derives from `ReportReaderBase.ReportReaderBase`.
"""

from .ReportReaderFactory import ReportReaderFactory

__all__ = ["ReportReaderFactory"]
