"""Readers of the callers' result files and the reader factory."""

from .ReportReaderFactory import ReportReaderFactory

__all__ = ["ReportReaderFactory"]
