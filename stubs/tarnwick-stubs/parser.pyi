# The submodule `tarnwick.parser` (an attribute of `tarnwick`, see __init__.pyi).
from typing import Literal, NotRequired, TypedDict

__all__ = ["parse"]

class _Alias(TypedDict):
    name: str
    asname: NotRequired[str]  # only when the name has an `as` clause

class _Import(TypedDict):
    type: Literal["import"]
    names: list[_Alias]

class _ImportFrom(TypedDict):
    type: Literal["import_from"]
    module: str  # without the leading dots; '' for `from . import x`
    level: int  # number of leading dots
    names: list[_Alias]

def parse(source: str) -> list[_Import | _ImportFrom]: ...
