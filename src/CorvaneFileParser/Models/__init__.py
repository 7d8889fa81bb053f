"""Model types shared by every module of the package."""

from __future__ import annotations

from _thread import get_ident

from .ConditionOperator import ConditionOperator

# The type checkers' view (this name is theirs; at run time it stays false and
# `typing` is not imported).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Collection, Dict, Optional

    JsonDict = Dict[str, Any]


def __getattr__(name: str) -> object:
    # JsonDict, a JSON-like, insertion-ordered mapping from strings to
    # values (typing.Dict[str, Any]), is built on first use: `typing` is
    # not needed to run.
    if name == "JsonDict":
        from typing import Any, Dict

        globals()["JsonDict"] = alias = Dict[str, Any]
        return alias
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class _NewDict:
    """Default of SectionConfig.fields: a new empty dict for every instance."""

    def __repr__(self) -> str:
        return "<factory>"


_NEW_DICT = _NewDict()
_repr_running: set[tuple[int, int]] = set()


class SectionConfig:
    """Reader settings of one section of the sectioned variant table."""

    __match_args__ = ("fields", "include_all_fields")
    __annotations__ = {"fields": "Optional[Collection[str]]", "include_all_fields": "bool"}

    include_all_fields = False

    fields: Optional[Collection[str]]

    def __init__(self, fields: Optional[Collection[str]] | _NewDict = _NEW_DICT,
                 include_all_fields: bool = False) -> None:
        self.fields = {} if isinstance(fields, _NewDict) else fields
        self.include_all_fields = include_all_fields

    def __repr__(self) -> str:
        # A section whose fields contain itself shows "..." there.
        key = (id(self), get_ident())
        if key in _repr_running:
            return "..."
        _repr_running.add(key)
        try:
            return (
                f"{self.__class__.__qualname__}(fields={self.fields!r}, "
                f"include_all_fields={self.include_all_fields!r})"
            )
        finally:
            _repr_running.discard(key)

    def __eq__(self, other: object) -> bool:
        if self is other:
            return True
        if isinstance(other, SectionConfig) and other.__class__ is self.__class__:
            return self.fields == other.fields and self.include_all_fields == other.include_all_fields
        return NotImplemented

    # Unhashable, as an equality-defining record: object's type says a callable.
    __hash__ = None  # type: ignore[assignment]


from .ValueRule import ValueRule  # noqa: E402  (needs ConditionOperator loaded first)

__all__ = ["JsonDict", "SectionConfig", "ConditionOperator", "ValueRule"]
