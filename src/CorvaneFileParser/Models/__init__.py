"""Model types shared by every module of the package."""

from dataclasses import dataclass, field
from typing import Any, Collection, Dict, Optional

from .ConditionOperator import ConditionOperator

# A JSON-like, insertion-ordered mapping from strings to values.
JsonDict = Dict[str, Any]


@dataclass
class SectionConfig:
    """Reader settings of one section of the sectioned variant table."""

    fields: Optional[Collection[str]] = field(default_factory=dict)
    include_all_fields: bool = False


from .ValueRule import ValueRule  # noqa: E402  (needs ConditionOperator loaded first)

__all__ = ["JsonDict", "SectionConfig", "ConditionOperator", "ValueRule"]
