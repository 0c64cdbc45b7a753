"""What the exact engine needs to know about the interpreter it models.

Everything here is read from the running interpreter without importing
anything the analysed code names: the suffixes its finders look for, its
built-in and frozen modules, its meta-path finders, and the search path a
program would start with.
"""

from __future__ import annotations

import importlib.machinery
import os
import sys

import _imp

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

_STANDARD_FINDERS = {
    importlib.machinery.BuiltinImporter: "builtin",
    importlib.machinery.FrozenImporter: "frozen",
    importlib.machinery.PathFinder: "path",
}


def _frozen_modules() -> list[tuple[str, str, bool]]:
    """The frozen modules this interpreter uses, as (name, origname, is_package).

    With ``-X frozen_modules=off`` the stdlib ones are not used and the list
    holds only what the interpreter cannot do without.
    """
    names = getattr(_imp, "_frozen_module_names", lambda: ())()
    found = []
    for name in names:
        info = _imp.find_frozen(name)
        if info is None:
            continue
        _, is_package, origname = info
        found.append((name, origname or "", bool(is_package)))
    return found


class _SetuptoolsDistutils:
    """Stands in for setuptools' distutils shim (_distutils_hack), which
    answers ``distutils`` with setuptools' own copy but imports setuptools to
    do so. This finds that copy on the search path instead, running nothing."""

    def __init__(self, search_path: list[str]) -> None:
        self._search_path = search_path

    def find_spec(self, name: str, path: object = None, target: object = None) -> object:
        if name != "distutils" or path is not None:
            return None
        finder = importlib.machinery.PathFinder
        setuptools = finder.find_spec("setuptools", self._search_path)
        if setuptools is None or not setuptools.submodule_search_locations:
            return None
        copy = finder.find_spec("setuptools._distutils", list(setuptools.submodule_search_locations))
        if copy is None:
            return None
        spec = importlib.machinery.ModuleSpec("distutils", None, origin=copy.origin, is_package=True)
        spec.submodule_search_locations = copy.submodule_search_locations
        return spec


def _meta_path(search_path: list[str]) -> list[object]:
    """sys.meta_path with the three standard finders named and the others kept
    (setuptools' distutils shim replaced by a finder that runs nothing)."""
    steps: list[object] = []
    for finder in sys.meta_path:
        if type(finder).__module__ == "_distutils_hack":
            enabled = getattr(sys.modules.get("_distutils_hack"), "enabled", lambda: False)
            if enabled():
                # Asked for the top-level name distutils only: the engine
                # leaves every other name alone, without calling it.
                steps.append((_SetuptoolsDistutils(search_path), ("distutils",)))
            continue
        steps.append(_STANDARD_FINDERS.get(finder, finder))  # type: ignore[call-overload]
    return steps


def stdlib_dir() -> str:
    found: str | None = getattr(sys, "_stdlib_dir", None)
    if found:
        return found
    import sysconfig

    return sysconfig.get_paths()["stdlib"]


def finder_config(search_path: list[str]) -> dict[str, Any]:
    return {
        "search_path": search_path,
        "extension_suffixes": list(importlib.machinery.EXTENSION_SUFFIXES),
        "source_suffixes": list(importlib.machinery.SOURCE_SUFFIXES),
        "bytecode_suffixes": list(importlib.machinery.BYTECODE_SUFFIXES),
        "builtin_names": list(sys.builtin_module_names),
        "frozen": _frozen_modules(),
        "stdlib_dir": stdlib_dir(),
        "meta_path": _meta_path(search_path),
    }


def base_path() -> list[str]:
    """The search path every program of this interpreter starts with, after
    the entry for its own script: sys.path without that first entry, with
    relative entries made absolute."""
    entries = sys.path if sys.flags.safe_path else sys.path[1:]
    return [os.path.abspath(entry) for entry in entries]


def package_of(path: str) -> tuple[str, str]:
    """(package, top) for a file or directory: the dotted package formed by the
    folders with an __init__.py above it (and the directory itself, for a
    directory), and the folder holding the top one, which `python -m` would
    put first on the path."""
    path = os.path.abspath(path)
    folder = path if os.path.isdir(path) else os.path.dirname(path)
    parts: list[str] = []
    while os.path.isfile(os.path.join(folder, "__init__.py")):
        parts.append(os.path.basename(folder))
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        folder = parent
    return ".".join(reversed(parts)), folder
