"""Reads special-purpose genomic caller outputs into one unified JSON document."""

__version__ = "0.2.0"
