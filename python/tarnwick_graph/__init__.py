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

from ._build import Builder, build
from ._graph import Graph, Module, NotFound, NotInGraph, Problem, Site
from ._native import Error
from ._scan import Alias, ImportStatement, scan

__version__: str  # read from the installed distribution on first use

# The contract checks (tarnwick-graph check) load on first use.
_CHECK = ("Chain", "CheckResult", "Checker", "ConfigError", "ContractResult", "Step",
          "Violation", "check")

TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._check import (
        Chain,
        Checker,
        CheckResult,
        ConfigError,
        ContractResult,
        Step,
        Violation,
        check,
    )
else:  # at run time the checks, and __version__, come on first use


    def __getattr__(name: str) -> object:
        if name in _CHECK:
            from . import _check

            value = getattr(_check, name)
            globals()[name] = value
            return value
        # importlib.metadata costs more than the rest of the package together.
        if name != "__version__":
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        from importlib.metadata import PackageNotFoundError, version

        try:
            found = version("tarnwick")
        except PackageNotFoundError:  # running from a source tree
            found = "0+unknown"
        globals()["__version__"] = found
        return found


__all__ = [
    "Alias",
    "Builder",
    "Chain",
    "CheckResult",
    "Checker",
    "ConfigError",
    "ContractResult",
    "Error",
    "Graph",
    "ImportStatement",
    "Module",
    "NotFound",
    "NotInGraph",
    "Problem",
    "Site",
    "Step",
    "Violation",
    "build",
    "check",
    "scan",
]
