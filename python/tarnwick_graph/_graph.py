"""The import graph as Python sees it: a read-only mapping of module names to
Module values, with the queries people ask of an import graph."""

from __future__ import annotations

import json
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import NamedTuple, overload, Literal

from . import _native
from ._native import Error

# Flags of a site, as the scanner sets them.
_FUNCTION, _CLASS, _GUARDED, _TYPE_CHECKING = 1, 2, 4, 8


class NotInGraph(Error, KeyError):
    """A module name the graph does not hold."""

    def __str__(self) -> str:
        return f"{self.args[0]!r} is not in the graph"


class Site(NamedTuple):
    """Where one import statement stands: its line and its context."""

    line: int
    in_function: bool  # inside a def: runs when the function is called
    in_class: bool  # directly in a class body
    guarded: bool  # in a try body whose handler catches ImportError
    type_checking: bool  # under `if TYPE_CHECKING:`

    @property
    def module_level(self) -> bool:
        """Runs when the module is imported (not in a function or class)."""
        return not (self.in_function or self.in_class)

    @classmethod
    def _of(cls, line: int, flags: int) -> Site:
        return cls(
            line,
            bool(flags & _FUNCTION),
            bool(flags & _CLASS),
            bool(flags & _GUARDED),
            bool(flags & _TYPE_CHECKING),
        )


class Problem(NamedTuple):
    """Something the build could not follow; it never stops a build."""

    importer: str | None  # the module whose statement it is (None: a requested module)
    name: str  # the module as far as it was resolved, or the relative name as written
    line: int  # of the statement; 0 when the problem is the file itself
    reason: str  # Python's own wording where it has one
    kind: str  # not_found, no_parent_package, beyond_top_level, unreadable


@dataclass(frozen=True)
class Module:
    """One module of a graph."""

    name: str
    kind: str  # source, package, namespace, extension, bytecode, builtin, frozen, foreign
    origin: str | None  # the file it is read from, "built-in", or None (namespace packages)
    depth: int  # fewest imports between a root and this module
    imports: frozenset[str]  # modules its statements import (with their enclosing packages)
    imported_by: frozenset[str]  # modules importing it

    def __repr__(self) -> str:
        return f"Module({self.name!r}, kind={self.kind!r}, depth={self.depth})"


class Graph(Mapping[str, Module]):
    """An import graph: a read-only mapping of module name to Module.

    Iteration is in name order. ``roots`` are the modules at depth 0 (the
    script as ``__main__``, or the modules asked for); ``root`` is the only
    one, when there is only one.
    """

    __slots__ = ("_g", "_names", "_kinds", "_origins", "_depths", "_modules", "_problems")

    def __init__(
        self, native: _native.Graph, problems: tuple[Problem, ...], like: Graph | None = None
    ) -> None:
        self._g = native
        self._names: tuple[str, ...]
        self._kinds: tuple[str, ...]
        self._origins: tuple[str | None, ...]
        self._depths: tuple[int, ...]
        if like is not None and native.same_modules(like._g):
            # The same modules as `like` (a rebuild that changed imports
            # only): its tables serve, with this graph's depths.
            self._names, self._kinds, self._origins = like._names, like._kinds, like._origins
            self._depths = like._depths if native.same_depths(like._g) else native.depths()
        else:
            self._names, self._kinds, self._origins, self._depths = native.table()
        self._modules: dict[str, Module] = {}
        self._problems = problems

    # -- the mapping --

    def __len__(self) -> int:
        return len(self._names)

    def __iter__(self) -> Iterator[str]:
        return iter(self._names)

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and self._g.find(name) >= 0

    def __getitem__(self, name: str) -> Module:
        module = self._modules.get(name)
        if module is None:
            i = self._index(name)
            names = self._names
            module = Module(
                name,
                self._kinds[i],
                self._origins[i],
                self._depths[i],
                frozenset(names[j] for j in self._g.imports(i)),
                frozenset(names[j] for j in self._g.importers_of(i)),
            )
            self._modules[name] = module
        return module

    def __repr__(self) -> str:
        root = f", root={self.root!r}" if self.root is not None else ""
        return f"<Graph: {len(self)} modules, {self.edge_count} imports{root}>"

    def _index(self, name: str) -> int:
        i = self._g.find(name) if isinstance(name, str) else -1
        if i < 0:
            raise NotInGraph(name)
        return i

    # -- properties --

    @property
    def roots(self) -> tuple[str, ...]:
        return tuple(self._names[i] for i in self._g.roots())

    @property
    def root(self) -> str | None:
        roots = self._g.roots()
        return self._names[roots[0]] if len(roots) == 1 else None

    @property
    def edge_count(self) -> int:
        """How many (importer, imported) pairs the graph holds."""
        return self._g.edge_count()

    @property
    def problems(self) -> tuple[Problem, ...]:
        """Everything the build could not follow, in the order met."""
        return self._problems

    @property
    def unresolved(self) -> tuple[Problem, ...]:
        """Imported names that resolve to no module (the problems other than
        unreadable files)."""
        return tuple(p for p in self._problems if p.kind != "unreadable")

    def sites(self, importer: str, imported: str) -> tuple[Site, ...]:
        """Where the statements that make `importer` import `imported` stand
        (empty when it does not import it)."""
        i, j = self._index(importer), self._index(imported)
        return tuple(Site._of(line, flags) for line, flags in self._g.sites(i, j))

    # -- queries --

    @overload
    def why(self, name: str, all: Literal[False] = False) -> list[str]: ...
    @overload
    def why(self, name: str, all: Literal[True]) -> list[list[str]]: ...

    def why(self, name: str, all: bool = False) -> list[str] | list[list[str]]:
        """A shortest import chain from a root to `name` (the first in name
        order), or with ``all=True`` every chain of that length, in name order."""
        chains = self.chains(name)
        if all:
            return list(chains)
        return next(chains)

    def chains(self, name: str) -> Iterator[list[str]]:
        """Every shortest import chain from a root to `name`, in name order,
        one at a time (there may be very many)."""
        target = self._index(name)
        depths, names, g = self._depths, self._names, self._g

        def back(i: int) -> Iterator[list[int]]:
            if depths[i] == 0:
                yield [i]
                return
            for p in g.importers_of(i):
                if depths[p] == depths[i] - 1:
                    for chain in back(p):
                        chain.append(i)
                        yield chain

        # Chains come out ordered by their first differing module from the
        # root end, because importers are ascending at every step.
        return ([names[i] for i in chain] for chain in back(target))

    def cycles(self) -> list[list[str]]:
        """The import cycles: groups of modules that import each other,
        directly or through the others (a module importing itself is one),
        each in name order."""
        return [[self._names[i] for i in group] for group in self._g.cycles()]

    def importers(self, names: str | Iterable[str], transitive: bool = True) -> frozenset[str]:
        """Every module that imports one of `names`, directly or (with
        `transitive`, the default) through other modules: what a change to
        them can affect."""
        wanted = [names] if isinstance(names, str) else list(names)
        found = self._g.importers([self._index(n) for n in wanted], transitive)
        return frozenset(self._names[i] for i in found)

    def subgraph(
        self, max_depth: int | None = None, scope: str | Iterable[str] | None = None
    ) -> Graph:
        """The roots and the modules whose depth is at most `max_depth` and
        which are in `scope` (a package name, or several: the package and its
        submodules), with the imports between them. Depths stay those of
        this graph."""
        if max_depth is not None and (not isinstance(max_depth, int) or isinstance(max_depth, bool)):
            raise Error(f"max_depth must be an int, not {type(max_depth).__name__}")
        scopes = None if scope is None else ([scope] if isinstance(scope, str) else list(scope))
        if scopes is not None and not all(isinstance(s, str) for s in scopes):
            raise Error("scope must be a module name or an iterable of module names")
        roots = set(self._g.roots())

        def keep(i: int) -> bool:
            if i in roots:
                return True
            if max_depth is not None and self._depths[i] > max_depth:
                return False
            if scopes is None:
                return True
            name = self._names[i]
            return any(name == s or name.startswith(s + ".") for s in scopes)

        mask = bytes(keep(i) for i in range(len(self._names)))
        native = self._g.subgraph(mask)
        kept = {self._names[i] for i in range(len(mask)) if mask[i]}
        problems = tuple(p for p in self._problems if p.importer is None or p.importer in kept)
        return Graph(native, problems)

    # -- output --

    def to_json(self, indent: int | None = None) -> str:
        """The graph as JSON: roots, modules (name, kind, origin, depth,
        imports) and problems."""
        names = self._names
        data = {
            "roots": list(self.roots),
            "modules": [
                {
                    "name": names[i],
                    "kind": self._kinds[i],
                    "origin": self._origins[i],
                    "depth": self._depths[i],
                    "imports": [names[j] for j in self._g.imports(i)],
                }
                for i in range(len(names))
            ],
            "problems": [p._asdict() for p in self._problems],
        }
        return json.dumps(data, indent=indent)

    def to_dot(self) -> str:
        """The graph in Graphviz's DOT language; roots are drawn double."""
        names = self._names
        roots = set(self._g.roots())
        lines = ["digraph imports {", "  rankdir=LR;", "  node [shape=box, fontname=Helvetica];"]
        for i, name in enumerate(names):
            extra = ", peripheries=2" if i in roots else ""
            lines.append(f"  {json.dumps(name)} [label={json.dumps(name)}{extra}];")
        for i, name in enumerate(names):
            for j in self._g.imports(i):
                lines.append(f"  {json.dumps(name)} -> {json.dumps(names[j])};")
        lines.append("}")
        return "\n".join(lines) + "\n"
