"""The import statements of one source text, as Python's parser sees them."""

from __future__ import annotations

from collections import namedtuple

from . import _native
from ._graph import Site
from ._native import Error

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NamedTuple

    class _AliasFields(NamedTuple):
        name: str
        asname: str | None

    class _StatementFields(NamedTuple):
        is_from: bool
        module: str | None
        level: int
        names: tuple[Alias, ...]
        site: Site

else:
    _AliasFields = namedtuple("Alias", "name asname")
    _StatementFields = namedtuple("ImportStatement", "is_from module level names site")


class Alias(_AliasFields):
    """One name of an import statement, with its ``as`` name (or None)."""

    __slots__ = ()


class ImportStatement(_StatementFields):
    """One ``import`` or ``from ... import`` statement.

    `module` is the module of a from-import without its leading dots (None
    for ``from . import x``) and None for a plain import, whose modules are
    the names; ``from m import *`` has the single name ``*``; `level` the
    number of leading dots; `names` the aliases; `site` where it stands.
    """

    __slots__ = ()


def scan(source: str | bytes) -> list[ImportStatement]:
    """Every import statement of `source`, in text order, wherever it stands.

    Bytes are decoded as Python decodes a source file (BOM, coding cookie,
    else UTF-8).
    """
    if isinstance(source, bytes):
        import io
        import tokenize

        try:
            encoding, _ = tokenize.detect_encoding(io.BytesIO(source).readline)
            text = source.decode(encoding)
        except (SyntaxError, LookupError, UnicodeDecodeError) as e:
            raise Error(f"cannot decode the source: {e}") from None
    elif isinstance(source, str):
        text = source
    else:
        raise Error(f"source must be str or bytes, not {type(source).__name__}")
    # The records are made natively, as instances of these classes.
    return _native.scan(text, ImportStatement, Alias, Site)
