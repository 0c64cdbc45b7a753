"""The graph as one self-contained HTML page: an explorer of packages as
boxes, a module's neighbourhood, filters, cycles and problems, drawn in the
page by explorer/explorer.js from data embedded in the page itself.

The data goes in a ``<script type="application/json">`` element, every
``<`` written as ``\\u003c`` so that no name can end the element. It is
compact, for graphs of tens of thousands of modules: numbers as varints in
a string of URL-safe characters (5 bits a character, the sixth set on every
character but a number's last), names front-coded, origins derived from the
name where the file is where the name says.
"""

from __future__ import annotations

import html
import json
import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable

    from ._graph import Graph

_DIGITS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
# Every number below 32 is one character; above, 5 bits a character, the low
# bits first, each character but the last taken from the upper half.
_SMALL = _DIGITS[:32]
_MORE = _DIGITS[32:]

KINDS = ("source", "package", "namespace", "extension", "bytecode", "builtin", "frozen", "foreign")

_HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "explorer")


def _varints(numbers: Iterable[int]) -> str:
    out: list[str] = []
    add = out.append
    for n in numbers:
        while n >= 32:
            add(_MORE[n & 31])
            n >>= 5
        add(_SMALL[n])
    return "".join(out)


def _front_coded(names: Iterable[str]) -> list[str]:
    """Each name as the length it shares with the one before (a varint)
    and the rest."""
    out: list[str] = []
    previous = ""
    for name in names:
        shared = 0
        limit = min(len(name), len(previous))
        while shared < limit and name[shared] == previous[shared]:
            shared += 1
        out.append(_varints((shared,)) + name[shared:])
        previous = name
    return out


def _origins(
    names: tuple[str, ...], origins: tuple[str | None, ...]
) -> tuple[list[str], list[object]]:
    """The folders origins lie in, and for each module: 2*folder (+1 for a
    package's __init__.py) when its file is where its name puts it in that
    folder, else the origin itself (None, "built-in", a path)."""
    folders: dict[str, int] = {}
    coded: list[object] = []
    for name, origin in zip(names, origins):
        code: object = origin
        if origin is not None:
            path = "/" + name.replace(".", "/")
            for suffix, bit in ((".py", 0), ("/__init__.py", 1)):
                tail = path + suffix
                if origin.endswith(tail) and os.sep == "/":
                    folder = origin[: -len(tail)]
                    code = 2 * folders.setdefault(folder, len(folders)) + bit
                    break
        coded.append(code)
    return list(folders), coded


def _stdlib(top: str) -> bool:
    return top in sys.stdlib_module_names or top == "__future__"


def _stdlib_folders() -> tuple[str, ...]:
    """The folders of this interpreter's standard library (its test package
    and C test modules are not in sys.stdlib_module_names)."""
    import sysconfig

    paths = sysconfig.get_paths()
    return tuple({os.path.join(paths[k], "") for k in ("stdlib", "platstdlib") if k in paths})


def _in_stdlib(origin: str | None, folders: tuple[str, ...]) -> bool:
    return (origin is not None and origin.startswith(folders)
            and "site-packages" not in origin and "dist-packages" not in origin)


def data(graph: Graph) -> dict[str, object]:
    """The page's data: everything the explorer shows, in the encodings the
    module docstring describes. Modules are numbered as the graph numbers
    them (name order)."""
    g = graph._g
    names, kinds, origins, depths = g.table()
    count = len(names)
    # Imports, per importer, as the native writer encodes them (see
    # _native.Graph.page_imports): the explorer's largest part.
    imports = g.page_imports()
    # Problems, by name and reason: the importers (index + 1, 0 for none,
    # as gaps) with the line of each.
    grouped: dict[tuple[str, str, str], list[tuple[int, int]]] = {}
    index = {}
    for p in graph.problems:
        if p.importer is not None and p.importer not in index:
            index[p.importer] = g.find(p.importer)
        at = 0 if p.importer is None else index[p.importer] + 1
        grouped.setdefault((p.name, p.kind, p.reason), []).append((at, p.line))
    problems = []
    for (name, kind, reason), where in grouped.items():
        where.sort()
        numbers: list[int] = []
        previous = 0
        for at, line in where:
            numbers += (at - previous, line)
            previous = at
        default = f"No module named {name!r}"
        problems.append([name, kind, None if reason == default else reason, _varints(numbers)])
    folders_std = _stdlib_folders()
    stdlib = {n.partition(".")[0] for n, o in zip(names, origins) if _in_stdlib(o, folders_std)}
    stdlib |= {n.partition(".")[0] for n in names if _stdlib(n.partition(".")[0])}
    inside = _inside(names, origins, depths)
    folders, coded = _origins(names, origins)
    cycles = []
    for group in g.cycles():
        ordered = sorted(group)
        cycles.append(_varints(b - a for a, b in zip([0, *ordered], ordered)))
    return {
        "version": 1,
        "count": count,
        "names": _front_coded(names),
        "kinds": KINDS,
        "kind": "".join(_DIGITS[KINDS.index(k)] if k in KINDS else "A" for k in kinds),
        "depth": _varints(depths),
        "folders": folders,
        "origin": coded,
        "imports": imports,
        "edgeCount": g.edge_count(),
        "cycles": cycles,
        "problems": problems,
        "stdlib": sorted(stdlib),
        "inside": sorted(inside),
    }


def _inside(
    names: tuple[str, ...], origins: tuple[str | None, ...], depths: tuple[int, ...]
) -> set[str]:
    """The top-level names the graph is about: those of the roots, and of
    the modules beside a root script that are not installed packages."""
    inside: set[str] = set()
    places: list[str] = []
    for name, origin, depth in zip(names, origins, depths):
        if depth == 0:
            inside.add(name.partition(".")[0])
            if name == "__main__" and origin and os.path.isabs(origin):
                places.append(os.path.dirname(origin) + os.sep)
    if places:
        for name, origin in zip(names, origins):
            top = name.partition(".")[0]
            if (origin and origin.startswith(tuple(places)) and not _stdlib(top)
                    and "site-packages" not in origin and "dist-packages" not in origin):
                inside.add(top)
    return inside


def _asset(name: str) -> str:
    with open(os.path.join(_HERE, name), encoding="utf-8") as f:
        return f.read()


def page(graph: Graph, title: str | None = None) -> str:
    """The whole page, as text."""
    if title is None:
        roots = graph.roots
        tops = sorted({r.partition(".")[0] for r in roots})
        shown = roots[0] if len(roots) == 1 else ", ".join(tops)
        title = f"Import graph of {shown}"
    # A name from an undecodable file name holds lone surrogates: shown escaped.
    shown_title = html.escape(title).encode("utf-8", "backslashreplace").decode("utf-8")
    blob = json.dumps(data(graph), separators=(",", ":"))
    blob = blob.replace("<", "\\u003c")
    script, style = _asset("explorer.js"), _asset("explorer.css")
    # Our own code must not end its element early either.
    assert "</script" not in script.lower() and "</style" not in style.lower()
    return (
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        f"<title>{shown_title}</title>\n"
        f"<style>\n{style}</style>\n</head>\n<body>\n"
        f"<script id=\"graph-data\" type=\"application/json\">{blob}</script>\n"
        f"<script>\n{script}</script>\n</body>\n</html>\n"
    )
