"""Reads special-purpose genomic caller outputs into one unified JSON document."""

__version__ = "0.1.0"
