"""The import graph as Python sees it: a read-only mapping of module names to
Module values, with the queries people ask of an import graph."""

from __future__ import annotations

# collections.abc's own classes, from the module the interpreter has loaded
# at start-up: importing collections.abc would import collections too.
from _collections_abc import Mapping
from collections import namedtuple

from . import _native
from ._native import Error

# Annotations are strings (see the __future__ import): typing is read by type
# checkers only, never imported at run time.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Iterator
    from typing import Any, Literal, NamedTuple, Protocol, overload

    class _Writer(Protocol):
        def write(self, text: str, /) -> object: ...

    class _SiteFields(NamedTuple):
        line: int
        in_function: bool
        in_class: bool
        guarded: bool
        type_checking: bool

    class _ProblemFields(NamedTuple):
        importer: str | None
        name: str
        line: int
        reason: str
        kind: _ProblemKind

    _ProblemKind = Literal["not_found", "no_parent_package", "beyond_top_level", "unreadable"]

else:
    _SiteFields = namedtuple("Site", "line in_function in_class guarded type_checking")
    _ProblemFields = namedtuple("Problem", "importer name line reason kind")

    def overload(function):
        return function


# Flags of a site, as the scanner sets them.
_FUNCTION, _CLASS, _GUARDED, _TYPE_CHECKING = 1, 2, 4, 8


class NotInGraph(Error, KeyError):
    """A module name the graph does not hold."""

    def __str__(self) -> str:
        return f"{self.args[0]!r} is not in the graph"


class NotFound(Error):
    """Modules or packages asked for by name that the search path does not
    hold. `names` are those names; `graph` is the graph of the others (each
    missing name one of its problems, with the importer None)."""

    def __init__(self, message: str, names: tuple[str, ...], graph: Graph) -> None:
        super().__init__(message)
        self.names = names
        self.graph = graph


class Site(_SiteFields):
    """Where one import statement stands: its line (`line`) and its context:
    `in_function` (inside a def: runs when the function is called),
    `in_class` (directly in a class body), `guarded` (in a try body whose
    handler catches ImportError), `type_checking` (under ``if TYPE_CHECKING:``)."""

    __slots__ = ()

    @property
    def module_level(self) -> bool:
        """Runs when the module is imported (not in a function or class)."""
        return not (self.in_function or self.in_class)

    @property
    def text(self) -> str | None:
        """The statement's line of source, stripped, read from the importer's
        file when asked (decoded as Python decodes it, undecodable bytes
        replaced); None when the site knows no readable file (a site of
        scan(), of a collapsed graph, of source given as text) or the file
        has no such line any more."""
        return None

    @classmethod
    def _of(cls, line: int, flags: int) -> Site:
        return cls(
            line,
            bool(flags & _FUNCTION),
            bool(flags & _CLASS),
            bool(flags & _GUARDED),
            bool(flags & _TYPE_CHECKING),
        )


class _SourceLines:
    """The lines of one source file, read on the first question."""

    __slots__ = ("path", "lines")

    def __init__(self, path: str) -> None:
        self.path = path
        self.lines: list[str] | None = None

    def line(self, number: int) -> str | None:
        if self.lines is None:
            self.lines = _read_lines(self.path)
        return self.lines[number - 1].strip() if 1 <= number <= len(self.lines) else None


def _read_lines(path: str) -> list[str]:
    """The lines of the file at `path` as Python numbers them (none when it
    cannot be read), decoded with its coding cookie or BOM, else UTF-8."""
    import io
    import tokenize

    try:
        with open(path, "rb") as file:
            data = file.read()
    except (OSError, ValueError):
        return []
    try:
        encoding = tokenize.detect_encoding(io.BytesIO(data).readline)[0]
    except SyntaxError:  # a cookie naming no codec, or bytes that contradict it
        encoding = "utf-8"
    text = data.decode(encoding, "replace")
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    if not lines[-1]:
        lines.pop()  # what follows the last newline is no line
    return lines


class _SiteInFile(Site):
    """A Site that knows its importer's file, to read its text from (kept in
    the instance's __dict__: the five fields stay the tuple)."""

    _lines: _SourceLines

    @property
    def text(self) -> str | None:
        return self._lines.line(self.line)

    def __repr__(self) -> str:
        return repr(Site._make(self))

    def __reduce__(self) -> tuple[type[Site], tuple[object, ...]]:
        return (Site, tuple(self))


class Problem(_ProblemFields):
    """Something the build could not follow; it never stops a build.

    `importer` is the module whose statement it is (None: a requested
    module); `name` the module as far as it was resolved, or the relative
    name as written; `line` that of the statement (0 when the problem is the
    file itself); `reason` Python's own wording where it has one; `kind` one
    of not_found, no_parent_package, beyond_top_level, unreadable.
    """

    __slots__ = ()


class Module:
    """One module of a graph (immutable; equal when every field is).

    name
        The module's full dotted name (``__main__`` for a script or source).
    kind
        How the import system finds it: ``"source"`` (a .py file),
        ``"package"`` (a package's ``__init__``), ``"namespace"`` (a
        namespace package, no file), ``"extension"`` (a compiled extension
        module), ``"bytecode"`` (a .pyc file without source), ``"builtin"``
        (compiled into the interpreter), ``"frozen"`` (frozen into the
        interpreter; read from its source file when there is one),
        ``"foreign"`` (served by a meta-path finder of the interpreter's own,
        such as an editable install).
    origin
        The file it is read from; ``"built-in"`` for a built-in module;
        None for a namespace package, or source given as text.
    depth
        The fewest imports between a root and this module (0 for a root).
    imports
        The modules its import statements import, with the enclosing
        packages an ``import a.b.c`` imports too.
    imported_by
        The modules that import it.
    """

    __slots__ = ("name", "kind", "origin", "depth", "imports", "imported_by")

    name: str
    kind: Literal[
        "source", "package", "namespace", "extension", "bytecode", "builtin", "frozen", "foreign"
    ]
    origin: str | None
    depth: int
    imports: frozenset[str]
    imported_by: frozenset[str]

    def __init__(
        self,
        name: str,
        kind: Literal[
            "source", "package", "namespace", "extension", "bytecode", "builtin", "frozen",
            "foreign",
        ],
        origin: str | None,
        depth: int,
        imports: frozenset[str],
        imported_by: frozenset[str],
    ) -> None:
        values = (name, kind, origin, depth, imports, imported_by)
        for field, value in zip(self.__slots__, values):
            object.__setattr__(self, field, value)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"Module is immutable: cannot assign to {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"Module is immutable: cannot delete {name!r}")

    def _fields(self) -> tuple[object, ...]:
        return tuple(getattr(self, field) for field in self.__slots__)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Module):
            return NotImplemented
        return self._fields() == other._fields()

    def __hash__(self) -> int:
        return hash(self._fields())

    def __repr__(self) -> str:
        return f"Module({self.name!r}, kind={self.kind!r}, depth={self.depth})"


def _selector(
    max_depth: int | None, scope: str | Iterable[str] | None
) -> Callable[[str, int], bool]:
    """Whether a module (name, depth) is kept by a depth limit and a scope:
    package names, each with its submodules, or ending in '.' for the
    submodules only."""
    if max_depth is not None and (not isinstance(max_depth, int) or isinstance(max_depth, bool)):
        raise TypeError(f"max_depth must be an int, not {type(max_depth).__name__}")
    scopes = None if scope is None else ([scope] if isinstance(scope, str) else list(scope))
    if scopes is not None and not all(isinstance(s, str) for s in scopes):
        raise TypeError("scope must be a module name or an iterable of module names")
    if scopes is not None and not all(scopes):
        raise Error("scope must be a module name or an iterable of module names, not ''")
    prefixes = None if scopes is None else tuple(s if s.endswith(".") else s + "." for s in scopes)
    exact = frozenset(() if scopes is None else (s for s in scopes if not s.endswith(".")))

    def keep(name: str, depth: int) -> bool:
        if max_depth is not None and depth > max_depth:
            return False
        return prefixes is None or name in exact or name.startswith(prefixes)

    return keep


_TABLE = ("_names", "_kinds", "_origins", "_depths")


def _table_ready(graph: Graph) -> bool:
    """Whether `graph` made its tables (asked without making them)."""
    try:
        Graph._names.__get__(graph, Graph)  # type: ignore[attr-defined]
    except AttributeError:
        return False
    return True


class Graph(Mapping[str, Module]):
    """An import graph: a read-only mapping of module name to Module.

    Graphs come from tarnwick_graph.build() and Builder.build(), and from
    the queries of another graph (subgraph, collapsed); they are not made
    directly. Iteration is in name order. ``roots`` are the modules at
    depth 0 (the script as ``__main__``, or the modules asked for); ``root``
    is the only one, when there is only one.
    """

    __slots__ = (
        "_g", "_names", "_kinds", "_origins", "_depths", "_modules", "_problems", "_filed"
    )
    _g: _native.Graph
    _filed: bool  # each module's sites are statements of its origin's file
    _names: tuple[str, ...]
    _kinds: tuple[str, ...]
    _origins: tuple[str | None, ...]
    _depths: tuple[int, ...]
    _modules: dict[str, Module]
    _problems: tuple[Problem, ...] | None

    def __init__(self) -> None:
        """Not for use: graphs come from build() and Builder.build()."""
        raise TypeError("graphs come from tarnwick_graph.build() or Builder.build()")

    @classmethod
    def _of(cls, native: _native.Graph, like: Graph | None = None, filed: bool = True) -> Graph:
        """The graph over a native one; `like`, the previous graph of the
        same builder, lends its tables when they are the same. `filed`:
        whether each module's sites are statements of its own file."""
        graph = object.__new__(cls)
        graph._g = native
        graph._problems = None
        graph._filed = filed
        if like is not None and native.same_modules(like._g) and _table_ready(like):
            # The same modules as `like` (a rebuild that changed imports
            # only): its tables serve, with this graph's depths.
            graph._names, graph._kinds, graph._origins = like._names, like._kinds, like._origins
            graph._depths = like._depths if native.same_depths(like._g) else native.depths()
        if like is not None and like._problems is not None and native.same_problems(like._g):
            graph._problems = like._problems
        graph._modules = {}
        return graph

    def __getattr__(self, attr: str) -> Any:
        # The tables of names, kinds, origins and depths are made on first
        # use: a graph asked about a few modules, or only for its JSON, never
        # converts every name to a str.
        if attr not in _TABLE:
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {attr!r}")
        self._names, self._kinds, self._origins, self._depths = self._g.table()
        return getattr(self, attr)

    # -- the mapping --

    def __len__(self) -> int:
        return len(self._g)

    def __iter__(self) -> Iterator[str]:
        return iter(self._names)

    def __contains__(self, name: object) -> bool:
        """Whether the graph holds the module `name`."""
        return isinstance(name, str) and self._g.find(name) >= 0

    def __getitem__(self, name: str) -> Module:
        """The module `name`; NotInGraph (a KeyError) when there is none."""
        module = self._modules.get(name)
        if module is None:
            i = self._index(name)
            names = self._names
            module = Module(
                name,
                self._kinds[i],  # type: ignore[arg-type]
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
        """The modules at depth 0, in name order: ``("__main__",)`` for a
        script or source, the modules asked for, or every module of the
        packages asked for."""
        return tuple(self._names[i] for i in self._g.roots())

    @property
    def root(self) -> str | None:
        """The only root, or None when the graph has several (or none)."""
        roots = self._g.roots()
        return self._names[roots[0]] if len(roots) == 1 else None

    @property
    def edge_count(self) -> int:
        """How many (importer, imported) pairs the graph holds."""
        return self._g.edge_count()

    @property
    def problems(self) -> tuple[Problem, ...]:
        """Everything the build could not follow, in the order met."""
        if self._problems is None:
            problems = self._g.problems()
            self._problems = tuple(Problem(*p) for p in problems)  # type: ignore[arg-type]
        return self._problems

    @property
    def unresolved(self) -> tuple[Problem, ...]:
        """Imported names that resolve to no module (the problems other than
        unreadable files)."""
        return tuple(p for p in self.problems if p.kind != "unreadable")

    def sites(self, importer: str, imported: str) -> tuple[Site, ...]:
        """Where the statements that make `importer` import `imported` stand
        (empty when it does not import it); each site's `text` is read from
        the importer's file when asked."""
        i, j = self._index(importer), self._index(imported)
        origin = self._origins[i] if self._filed else None
        if origin is None:
            return tuple(Site._of(line, flags) for line, flags in self._g.sites(i, j))
        source = _SourceLines(origin)
        sites = []
        for line, flags in self._g.sites(i, j):
            site = _SiteInFile._make(Site._of(line, flags))
            site._lines = source
            sites.append(site)
        return tuple(sites)

    # -- queries --

    @overload
    def why(self, name: str, all: Literal[False] = False) -> list[str]: ...
    @overload
    def why(self, name: str, all: Literal[True]) -> list[list[str]]: ...

    def why(self, name: str, all: bool = False) -> list[str] | list[list[str]]:
        """A shortest import chain from a root to `name`, root first (the
        first of chains()), or with ``all=True`` every chain of that length.
        Empty when there is none (in a subgraph that dropped every way)."""
        chains = self.chains(name)
        if all:
            return list(chains)
        return next(chains, [])

    @overload
    def chains(
        self, importer: str, imported: None = None, *, as_packages: bool = False
    ) -> Iterator[list[str]]: ...
    @overload
    def chains(
        self, importer: str, imported: str, *, as_packages: bool = False
    ) -> list[list[str]]: ...

    def chains(
        self, importer: str, imported: str | None = None, *, as_packages: bool = False
    ) -> Iterator[list[str]] | list[list[str]]:
        """With one name: every shortest import chain from a root to it, root
        first, one at a time (there may be very many). They come ordered from
        the target's end: by the module before it, then the one before that,
        and so on, each in name order.

        With two: the chains from `importer` to `imported` an architecture
        check reports, sorted: a shortest chain, then with its imports taken
        away the shortest left, and so on until none is left. With
        `as_packages`, a chain leads from any module of the package
        `importer` (itself or inside it) to any of `imported`, through
        modules of neither. The two must not share a module (Error)."""
        if imported is None:
            if as_packages:
                raise TypeError("chains(): as_packages needs an imported name")
            return self._g.chains(self._index(importer))
        return self._between(importer, imported, as_packages, 0)

    def chain(self, importer: str, imported: str, *, as_packages: bool = False) -> list[str]:
        """One shortest import chain from `importer` to `imported` (with
        `as_packages`, between any modules of the two packages), or []."""
        found = self._between(importer, imported, as_packages, 1)
        return found[0] if found else []

    def _between(
        self, importer: str, imported: str, as_packages: bool, limit: int
    ) -> list[list[str]]:
        i, j = self._index(importer), self._index(imported)
        inside = as_packages and (
            importer.startswith(imported + ".") or imported.startswith(importer + ".")
        )
        if i == j or inside:
            raise Error(f"{importer!r} and {imported!r} share modules: no chain between them")
        names = self._names
        return [[names[k] for k in c] for c in self._g.chains_between(i, j, as_packages, limit)]

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
        which are in `scope` (a package name, or several: each package and
        its submodules; a name ending in '.' stands for the submodules
        only), with the imports between them and the problems of the kept
        modules. Depths stay those of this graph."""
        keep = _selector(max_depth, scope)
        mask = bytearray(map(keep, self._names, self._depths))
        for i in self._g.roots():
            mask[i] = 1
        return Graph._of(self._g.subgraph(bytes(mask)), filed=self._filed)

    def collapsed(self, packages: str | Iterable[str] = ()) -> Graph:
        """This graph with every module outside `packages` (each with its
        submodules) folded into its top-level name: ``json.decoder`` and
        ``json.scanner`` become ``json``, with the kind and origin of
        ``json`` and the imports of all three. Imports within one folded
        module go; depths are those of the folded graph."""
        inside = [packages] if isinstance(packages, str) else list(packages)
        if not all(isinstance(p, str) for p in inside):
            raise TypeError("packages must be a package name or an iterable of package names")
        if not all(inside):
            raise Error("packages must be package names, not ''")
        return Graph._of(self._g.collapsed(inside), filed=False)

    def as_written(self) -> Graph:
        """This graph as its statements are written: the same modules, depths,
        roots and problems, with only the imports some statement names, each
        with only the sites that name it. Gone are the imports a statement
        only implies: the enclosing packages of ``import a.b.c`` (a and a.b),
        and the package of ``from a import b`` when every name it imports is
        a submodule."""
        return Graph._of(self._g.as_written(), like=self, filed=self._filed)

    def without_imports(self, pairs: Iterable[tuple[str, str]]) -> Graph:
        """This graph less the imports (importer, imported) in `pairs`; a pair
        that is no import of the graph is passed over, a name the graph does
        not hold raises NotInGraph."""
        indices = [(self._index(a), self._index(b)) for a, b in pairs]
        return Graph._of(self._g.without_imports(indices), like=self, filed=self._filed)

    # -- output --

    def to_json(self, indent: int | None = None) -> str:
        """The graph as JSON: {"roots": [...], "modules": [...], "problems":
        [...]}, each module with its name, kind, origin, depth and imports,
        each problem with the fields of Problem; exactly what json.dumps
        writes for that data with `indent`."""
        return self._g.to_json(_indent(indent))

    def write_json(self, file: _Writer, indent: int | None = None) -> None:
        """Writes to_json(indent) to `file` (anything with a write(str)
        method) in pieces, without holding the whole text."""
        self._g.write_json(_indent(indent), file.write)

    def to_dot(self) -> str:
        """The graph in Graphviz's DOT language: roots as gold double
        octagons, the other modules shaded by depth."""
        return self._g.to_dot()

def _indent(indent: int | None) -> int | None:
    if indent is not None and (not isinstance(indent, int) or isinstance(indent, bool)):
        raise TypeError(f"indent must be None or an int, not {type(indent).__name__}")
    if indent is not None and indent < 0:
        raise Error(f"indent must be None or an int of 0 or more, not {indent!r}")
    return indent
