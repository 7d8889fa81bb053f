"""Warning formatters and the registry that picks them by type name.

`WarningRegistry.get_formatter(settings)` returns the formatter for a section's
warning settings; `formatter.format(settings, data)` returns its text.
"""

from .WarningBase import WarningBase
from .WarningRegistry import WarningRegistry

__all__ = ["WarningBase", "WarningRegistry"]
