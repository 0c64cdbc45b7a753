"""tarnwick_graph: the import graph of Python code, as the interpreter would
import it, found without running any of it.

    >>> import tarnwick_graph
    >>> graph = tarnwick_graph.build("app.py")
    >>> graph["json.decoder"].depth
    2
    >>> graph.why("json.decoder")
    ['__main__', 'json', 'json.decoder']

Every import statement Python's parser sees is followed (in functions, under
``try``, star imports, any relative level); modules are found from the
search path by reading directories, the way the import system finds them,
without importing anything; depths are true shortest import distances.
"""

from importlib.metadata import PackageNotFoundError, version

from ._build import Builder, build
from ._graph import Graph, Module, NotInGraph, Problem, Site
from ._native import Error
from ._scan import Alias, ImportStatement, scan

try:
    __version__ = version("tarnwick")
except PackageNotFoundError:  # pragma: no cover - running from a source tree
    __version__ = "0+unknown"

__all__ = [
    "Alias",
    "Builder",
    "Error",
    "Graph",
    "ImportStatement",
    "Module",
    "NotInGraph",
    "Problem",
    "Site",
    "build",
    "scan",
]
