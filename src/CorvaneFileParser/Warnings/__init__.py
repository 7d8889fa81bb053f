"""Warning formatters and the registry that picks them by type name."""

from .WarningBase import WarningBase
from .WarningRegistry import WarningRegistry

__all__ = ["WarningBase", "WarningRegistry"]
