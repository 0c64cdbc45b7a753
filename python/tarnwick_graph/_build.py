"""Building graphs: what to graph, from which search path, and the builder
that keeps what it read for the next build."""

from __future__ import annotations

import os
from _thread import allocate_lock

from . import _config, _native
from ._graph import Graph, NotFound
from ._native import Error

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Sequence

# The contexts a build can leave unfollowed, as the scanner's site flags.
SKIPPABLE = {"function": 1, "class": 2, "guarded": 4, "type_checking": 8}


# `within` standing for no limit: every module reached is read.
EVERYTHING = "*"


def _names(value: str | Iterable[str], what: str) -> list[str]:
    if not isinstance(value, str) and not hasattr(value, "__iter__"):
        raise TypeError(f"{what} must be a str or an iterable of str, not {type(value).__name__}")
    names = [value] if isinstance(value, str) else list(value)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"{what} must be absolute module names, not {name!r}")
        if (
            not name
            or name.startswith(".")
            or name.endswith(".")
            or "\0" in name
        ):
            raise Error(f"{what} must be absolute module names, not {name!r}")
    return names


class _Request:
    """One build request, checked, with the first search path entry that
    running it would give."""

    def __init__(
        self,
        path: str | os.PathLike[str] | None,
        source: str | None,
        modules: str | Iterable[str],
        packages: str | Iterable[str],
        package: str | None,
        within: str | Iterable[str] | None,
        skip: str | Iterable[str],
    ) -> None:
        skips = _names(skip, "skip")
        unknown = [s for s in skips if s not in SKIPPABLE]
        if unknown:
            raise Error(f"skip takes {', '.join(sorted(SKIPPABLE))}, not {unknown[0]!r}")
        self.skip = sum({SKIPPABLE[s] for s in skips})
        module_list = _names(modules, "modules")
        package_list = _names(packages, "packages")
        given = sum((path is not None, source is not None, bool(module_list), bool(package_list)))
        if given != 1:
            raise Error("give exactly one of path, source, modules or packages")
        if package is not None and not isinstance(package, str):
            raise TypeError(f"package must be a str, not {type(package).__name__}")
        if package is not None and (package.startswith(".") or "\0" in package):
            raise Error(f"package must be an absolute package name, not {package!r}")
        everything = within == EVERYTHING
        self.within = None if within is None or everything else _names(within, "within")
        self.package = package or ""
        self.kind = ""
        self.target: str | list[str] = ""
        self.first_entry = os.getcwd()  # as for `python -c` and `python -m`
        if source is not None:
            if not isinstance(source, str):
                raise TypeError(f"source must be a str, not {type(source).__name__}")
            self.kind, self.target = "text", source
        elif module_list:
            if package is not None:
                raise Error("package applies to a path or a source, not to modules")
            self.kind, self.target = "modules", module_list
        elif package_list:
            if package is not None:
                raise Error("package applies to a path or a source, not to packages")
            self.kind, self.target = "packages", package_list
        else:
            self._from_path(path, everything)  # type: ignore[arg-type]

    def _from_path(self, given: str | os.PathLike[str], everything: bool) -> None:
        path = os.fspath(given)
        if not isinstance(path, str):
            raise TypeError(f"path must be a str or path-like of str, not {type(path).__name__}")
        if "\0" in path:
            raise Error(f"{path!r}: a path cannot hold a NUL character")
        if os.path.isdir(path):
            # A package directory: every module of the package.
            name, top = _config.package_of(path)
            if not name:
                raise Error(f"{path}: not a package directory (it has no __init__.py)")
            if self.package:
                raise Error("package applies to a file, not to a package directory")
            self.kind, self.target, self.first_entry = "packages", [name], top
            if self.within is None and not everything:
                self.within = [name]  # what it imports from outside: leaves
            return
        if not os.path.exists(path):
            raise Error(f"{path}: no such file or directory")
        if not os.path.isfile(path):
            raise Error(f"{path}: not a regular file")
        self.kind, self.target = "script", os.path.abspath(path)
        if self.package:
            # The file belongs to the named package: when the folders above it
            # carry the package's names, its top folder goes first on the
            # path, as with `python -m`.
            folder = os.path.dirname(self.target)
            parts = self.package.split(".")
            up = folder
            for part in reversed(parts):
                if os.path.basename(up) != part:
                    up = ""
                    break
                up = os.path.dirname(up)
            self.first_entry = up or folder
        else:
            # A file inside a package runs as `python -m` would run it.
            self.package, self.first_entry = _config.package_of(self.target)
            if not self.package:
                self.first_entry = os.path.dirname(self.target)


class Builder:
    """Builds import graphs, keeping what it read and found for the next
    build: a rebuild reads again only the files whose size or modification
    time changed, and returns the previous graph itself when no import
    changed.

    `sys_path` is the complete module search path to resolve against; by
    default each build uses the path a program run that way would start
    with: the script's folder (or the top folder of its package), then this
    interpreter's path. `workers` is how many threads a build may use (None:
    as many as the process may use; 1: no thread besides the caller's).
    """

    def __init__(
        self, *, sys_path: Sequence[str] | None = None, workers: int | None = None
    ) -> None:
        if workers is not None and (not isinstance(workers, int) or isinstance(workers, bool)):
            raise TypeError(f"workers must be None or an int, not {type(workers).__name__}")
        if workers is not None and workers < 1:
            raise Error(f"workers must be None or a positive int, not {workers!r}")
        self._workers = workers or 0  # the native builder's 0: as many as the process may use
        if sys_path is not None:
            if isinstance(sys_path, str) or not all(isinstance(p, str) for p in sys_path):
                raise TypeError("sys_path must be a sequence of str")
            if any("\0" in p for p in sys_path):
                raise Error("sys_path entries cannot hold a NUL character")
            sys_path = [os.path.abspath(p) for p in sys_path]
        self._sys_path = sys_path
        self._natives: dict[tuple[str, ...], _native.Builder] = {}
        self._last: dict[int, Graph] = {}  # the last graph of each native builder
        self._lock = allocate_lock()
        # Whether the native builders keep what rebuilds need. The command
        # line builds once and keeps nothing: less memory, a little more time
        # (the statements are freed as they are resolved).
        self._keep = True
        self._last_search_path: list[str] = []  # that of the last build, for the command line

    def _search_path(self, first_entry: str) -> list[str]:
        """The search path of a build whose program would put `first_entry`
        first."""
        if self._sys_path is not None:
            return list(self._sys_path)
        return [first_entry, *_config.base_path()]

    def _native_for(self, first_entry: str) -> _native.Builder:
        key = tuple(self._search_path(first_entry))
        with self._lock:
            native = self._natives.get(key)
            if native is None:
                native = _native.Builder(
                    _config.finder_config(list(key)), self._workers, self._keep
                )
                self._natives[key] = native
        return native

    def build(
        self,
        path: str | os.PathLike[str] | None = None,
        *,
        source: str | None = None,
        modules: str | Iterable[str] = (),
        packages: str | Iterable[str] = (),
        package: str | None = None,
        within: str | Iterable[str] | None = None,
        skip: str | Iterable[str] = (),
    ) -> Graph:
        """The import graph of one of:

        - `path`: a Python file, run as ``__main__`` (in `package`, or in the
          package its ``__init__.py`` folders make); or a package directory,
          standing for every module of the package;
        - `source`: Python text, run as ``__main__`` (in `package`, if given);
        - `modules`: module names, imported as ``import name`` would;
        - `packages`: package names, standing for every module in them.

        With `within` (package names), only modules inside those packages
        are read, besides a script or source itself; the others they import
        are leaves of the graph (``within=()``: only the direct imports).
        By default (None) every module reached is read, except for a package
        directory, whose default is the package itself: what it imports from
        outside are leaves. ``within="*"`` reads every module reached for a
        package directory too.
        With `skip`, statements standing in those contexts are not followed:
        ``"function"`` (run only when a function is called), ``"class"``,
        ``"guarded"`` (in a try whose handler catches ImportError),
        ``"type_checking"`` (under ``if TYPE_CHECKING:``).

        Raises Error when the target cannot be had: a path that is not a
        file or a package directory; NotFound (an Error) when a module or
        package name asked for resolves to nothing. What the graphed code
        imports and cannot be found, or a file it reaches that cannot be
        read, is a problem of the graph (Graph.problems), never an error. A
        wrong argument type raises TypeError.
        """
        request = _Request(path, source, modules, packages, package, within, skip)
        self._last_search_path = self._search_path(request.first_entry)
        native = self._native_for(request.first_entry)
        result, reused = native.build(
            request.kind, request.target, request.package, request.within, request.skip
        )
        last = self._last.get(id(native))
        if reused and last is not None:
            graph = last  # nothing changed: the very graph of the last build
        else:
            graph = Graph._of(result, like=last)
            self._last[id(native)] = graph
        if request.kind in ("modules", "packages"):
            missing = [name for name in request.target if name not in graph]
            if missing:
                reasons = {p.name: p.reason for p in graph.problems if p.importer is None}
                message = "; ".join(reasons.get(n, f"No module named {n!r}") for n in missing)
                raise NotFound(message, tuple(missing), graph)
        return graph

    def find(self, name: str) -> tuple[str, str | None] | None:
        """(kind, origin) of the module `name` as the builds see it from the
        current directory, or None when there is none."""
        found = self._native_for(os.getcwd()).find(_names(name, "name")[0])
        return None if isinstance(found, str) else (found[0], found[1])


def build(
    path: str | os.PathLike[str] | None = None,
    *,
    source: str | None = None,
    modules: str | Iterable[str] = (),
    packages: str | Iterable[str] = (),
    package: str | None = None,
    within: str | Iterable[str] | None = None,
    skip: str | Iterable[str] = (),
    sys_path: Sequence[str] | None = None,
    workers: int | None = None,
) -> Graph:
    """Builds one graph with a new Builder; see Builder and Builder.build."""
    builder = Builder(sys_path=sys_path, workers=workers)
    builder._keep = False  # built once: the statements read are not kept for a rebuild
    return builder.build(
        path,
        source=source,
        modules=modules,
        packages=packages,
        package=package,
        within=within,
        skip=skip,
    )
