"""Architecture contracts, in import-linter's configuration files, judged on
the exact engine's graph.

The contracts are read from ``.importlinter``, ``setup.cfg`` (the
``[importlinter]`` and ``[importlinter:contract:ID]`` sections) or
``pyproject.toml`` (``[tool.importlinter]`` and its ``contracts`` array), and
judged on the graph of the root packages with the imports as written (no
implicit imports of parent packages), modules outside the roots either
dropped or, with ``include_external_packages``, folded into their top-level
names. Every contract type import-linter has is judged: forbidden, layers,
independence, protected, acyclic_siblings and private_modules; a contract of
a custom type is reported as not checked.
"""

from __future__ import annotations

import os

from ._build import Builder
from ._graph import Graph, NotFound
from ._native import Error

TYPE_CHECKING = False
if TYPE_CHECKING:
    import re
    from collections.abc import Callable, Iterable, Sequence
    from typing import NamedTuple
else:
    # typing costs the command a fifth of its start-up: the result types are
    # collections' named tuples, made from the same class bodies.
    from collections import namedtuple

    class _Fields(type):
        def __new__(cls, name, bases, body):
            if not bases:
                return super().__new__(cls, name, bases, body)
            fields = list(body.get("__annotations__", ()))
            base = namedtuple(name, fields, defaults=[body[f] for f in fields if f in body])
            rest = {k: v for k, v in body.items() if k not in fields and k != "__annotations__"}
            if rest.get("__doc__") is None:
                rest["__doc__"] = base.__doc__
            return type(name, (base,), {**rest, "__slots__": ()})

    class NamedTuple(metaclass=_Fields):
        pass


# Where the contracts are looked for when no file is given, in this order.
CONFIG_FILES = ("setup.cfg", ".importlinter", "pyproject.toml")

CONTRACT_TYPES = (
    "forbidden",
    "layers",
    "independence",
    "protected",
    "acyclic_siblings",
    "private_modules",
)

_ALERTS = ("error", "warn", "none")
_TRUE = ("true", "yes", "on", "1")
_FALSE = ("false", "no", "off", "0")


class ConfigError(Error):
    """The configuration cannot be used: a file that cannot be read or
    parsed, a missing or wrong option, a module that does not exist. The
    message names the file, the section and the key."""


class Step(NamedTuple):
    """One import of a chain: `importer` imports `imported`, at `line` of
    `file` (None when the graph has no file for it), whose text is `text`."""

    importer: str
    imported: str
    file: str | None
    line: int
    text: str


class Chain(NamedTuple):
    """A chain of imports, importer first. A chain found between layers
    through modules outside them stands for every module of the lower
    layer importing its first middle module (`heads`, the first step's
    importer first) and every module of the higher layer its last middle
    module imports (`tails`)."""

    steps: tuple[Step, ...]
    heads: tuple[str, ...] = ()
    tails: tuple[str, ...] = ()

    @property
    def modules(self) -> tuple[str, ...]:
        """The modules of the chain, importer first."""
        if not self.steps:
            return ()
        return (self.steps[0].importer, *(s.imported for s in self.steps))


class Violation(NamedTuple):
    """`importer` may not depend on `imported` (packages or modules, as the
    contract names them), and does through each of `chains`."""

    importer: str
    imported: str
    chains: tuple[Chain, ...]


class ContractResult(NamedTuple):
    """The verdict on one contract: `kept` is True or False, None for a
    contract of a custom type (not checked). `notes` are further reasons a
    contract is broken (modules an exhaustive layers contract does not
    list); `warnings` ignore patterns that matched nothing, under
    ``unmatched_ignore_imports_alerting = warn``; `ignored` how many imports
    ignore_imports took away; `guidance` the contract's
    broken_contract_guidance, how to mend it."""

    id: str
    name: str
    type: str
    kept: bool | None
    violations: tuple[Violation, ...] = ()
    notes: tuple[str, ...] = ()
    warnings: tuple[str, ...] = ()
    ignored: int = 0
    guidance: str = ""

    def to_dict(self) -> dict[str, object]:
        """The verdict as plain dicts and lists: one entry of the
        "contracts" list that `check --json` prints."""
        return {
            "id": self.id,
            "name": self.name,
            "type": self.type,
            "kept": self.kept,
            "violations": [
                {
                    "importer": v.importer,
                    "imported": v.imported,
                    "chains": [
                        {
                            "steps": [s._asdict() for s in c.steps],
                            "heads": list(c.heads),
                            "tails": list(c.tails),
                        }
                        for c in v.chains
                    ],
                }
                for v in self.violations
            ],
            "notes": list(self.notes),
            "warnings": list(self.warnings),
            "guidance": self.guidance,
        }


class CheckResult(NamedTuple):
    """The verdicts on the contracts of one configuration file, in its
    order. `kept` is whether no contract is broken."""

    config: str
    contracts: tuple[ContractResult, ...]

    @property
    def kept(self) -> bool:
        """Whether no contract is broken (contracts not checked do not count)."""
        return all(c.kept is not False for c in self.contracts)


# -- reading the configuration --


class _Value:
    """One option's raw value, with where it stands, for messages."""

    def __init__(self, where: str, key: str, raw: object) -> None:
        self.where, self.key, self.raw = where, key, raw

    def fail(self, what: str) -> ConfigError:
        return ConfigError(f"{self.where} {self.key}: {what}")

    def text(self) -> str:
        if not isinstance(self.raw, str) or not self.raw.strip():
            raise self.fail("must be a non-empty string")
        return self.raw.strip()

    def lines(self) -> list[str]:
        if isinstance(self.raw, str):
            return [x.strip() for x in self.raw.splitlines() if x.strip()]
        if isinstance(self.raw, list) and all(isinstance(x, str) for x in self.raw):
            return [x.strip() for x in self.raw if x.strip()]
        raise self.fail("must be a list of strings")

    def flag(self) -> bool:
        if isinstance(self.raw, bool):
            return self.raw
        if isinstance(self.raw, str) and self.raw.strip().lower() in _TRUE + _FALSE:
            return self.raw.strip().lower() in _TRUE
        raise self.fail(f"must be true or false, not {self.raw!r}")

    def integer(self) -> int:
        try:
            value = int(str(self.raw))
        except (TypeError, ValueError):
            raise self.fail(f"must be a whole number, not {self.raw!r}") from None
        if value < 0:
            raise self.fail(f"must be 0 or more, not {value}")
        return value


class _Options:
    """The options of one section."""

    def __init__(self, where: str, values: dict[str, object]) -> None:
        self.where = where
        self.values = values

    def get(self, key: str) -> _Value | None:
        raw = self.values.get(key)
        return None if raw is None else _Value(self.where, key, raw)

    def need(self, key: str) -> _Value:
        value = self.get(key)
        if value is None:
            raise ConfigError(f"{self.where} {key}: missing (it is required)")
        return value

    def flag(self, key: str, default: bool) -> bool:
        value = self.get(key)
        return default if value is None else value.flag()

    def lines(self, key: str) -> list[str]:
        value = self.get(key)
        return [] if value is None else value.lines()


class Config(NamedTuple):
    """A configuration file, read: the top-level options and each contract's,
    in file order (id, options)."""

    path: str
    session: _Options
    contracts: tuple[tuple[str, _Options], ...]


def find_config(directory: str = ".") -> str:
    """The configuration file import-linter would read in `directory`: the
    first of setup.cfg, .importlinter, pyproject.toml that has its
    section."""
    for name in CONFIG_FILES:
        path = name if directory == "." else os.path.join(directory, name)
        if not os.path.isfile(path):
            continue
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError:
            continue
        marker = b"tool.importlinter" if name.endswith(".toml") else b"[importlinter"
        if marker in data:
            return path
    raise ConfigError(
        f"no configuration found: none of {', '.join(CONFIG_FILES)} in "
        f"{os.path.abspath(directory)} has an importlinter section (give --config FILE)"
    )


def read_config(path: str) -> Config:
    """Reads a configuration file (TOML when it ends in .toml, INI
    otherwise); ConfigError when it cannot be read or used."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise ConfigError(f"{path}: cannot read it: {e.strerror or e}") from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ConfigError(f"{path}: not UTF-8 text: {e.reason} at byte {e.start}") from None
    if path.endswith(".toml"):
        return _read_toml(path, text)
    return _read_ini(path, text)


def _read_ini(path: str, text: str) -> Config:
    import configparser

    parser = configparser.ConfigParser(interpolation=None, strict=True)
    parser.optionxform = str  # type: ignore[assignment,method-assign]
    try:
        parser.read_string(text, source=path)
    except configparser.Error as e:
        message = " ".join(str(e).split())
        raise ConfigError(f"{path}: not a valid INI file: {message}") from None
    if not parser.has_section("importlinter"):
        raise ConfigError(f"{path}: no [importlinter] section")
    session = _Options(f"{path}: [importlinter]", dict(parser["importlinter"]))
    contracts = []
    for section in parser.sections():
        if section.startswith("importlinter:contract:"):
            ident = section[len("importlinter:contract:") :]
            contracts.append((ident, _Options(f"{path}: [{section}]", dict(parser[section]))))
    return Config(path, session, tuple(contracts))


def _read_toml(path: str, text: str) -> Config:
    import tomllib

    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise ConfigError(f"{path}: not a valid TOML file: {e}") from None
    table = data.get("tool", {}).get("importlinter") if isinstance(data.get("tool"), dict) else None
    if not isinstance(table, dict):
        raise ConfigError(f"{path}: no [tool.importlinter] table")
    entries = table.get("contracts", [])
    where = f"{path}: [tool.importlinter]"
    if not isinstance(entries, list) or not all(isinstance(c, dict) for c in entries):
        raise ConfigError(f"{where} contracts: must be an array of tables")
    session = _Options(where, {k: v for k, v in table.items() if k != "contracts"})
    contracts = []
    seen: set[str] = set()
    for n, entry in enumerate(entries, 1):
        place = f"{path}: [[tool.importlinter.contracts]] #{n}"
        ident = entry.get("id")
        if not isinstance(ident, str) or not ident:
            raise ConfigError(f"{place} id: missing (each contract needs an id)")
        if ident in seen:
            raise ConfigError(f"{place} id: {ident!r} is the id of an earlier contract too")
        seen.add(ident)
        options = {k: v for k, v in entry.items() if k != "id"}
        contracts.append((ident, _Options(f"{place} ({ident})", options)))
    return Config(path, session, tuple(contracts))


# -- module expressions --


def _pattern(expression: str, value: _Value) -> re.Pattern[str] | None:
    """The regular expression of a module expression with wildcards (None
    for a plain name): ``*`` stands for one name, ``**`` for one or more."""
    import re

    parts = expression.split(".")
    if not all(parts):
        raise value.fail(f"{expression!r} is not a module name")
    if not any("*" in p for p in parts):
        return None
    pieces = []
    for part in parts:
        if part == "*":
            pieces.append(r"[^.]+")
        elif part == "**":
            pieces.append(r"[^.]+(?:\.[^.]+)*")
        elif "*" in part:
            raise value.fail(f"{expression!r}: a wildcard must stand for a whole name")
        else:
            pieces.append(re.escape(part))
    return re.compile(r"\.".join(pieces))


class _Judge:
    """The graph a contract is judged on, with what the contracts ask of it."""

    def __init__(self, graph: Graph, full: Graph, external: bool, roots: Sequence[str]) -> None:
        # The judged graph, before any import is ignored: without external
        # packages, the modules outside the roots stay as leaves (they
        # import nothing, so no chain passes them), unseen by the contracts.
        self.graph = graph
        self.full = full  # the imports as written, every module the build saw
        self.external = external
        self.roots = tuple(roots)
        self._names: tuple[str, ...] = graph._names
        self._lines: dict[str, list[bytes]] = {}

    def subtree(self, g: Graph, name: str, as_package: bool = True) -> list[int]:
        """`name` and (as a package) its descendants, as indices of `g`
        (every graph here has the modules of the judged one)."""
        i = g._g.find(name)
        if i < 0:
            return []
        if not as_package:
            return [i]
        # Names come in tree order: a package's descendants follow it, all
        # together, so where they end is found by bisection.
        names, prefix = self._names, name + "."
        low, high = i + 1, len(names)
        while low < high:
            middle = (low + high) // 2
            if names[middle].startswith(prefix):
                low = middle + 1
            else:
                high = middle
        return list(range(i, low))

    def expand(self, expression: str, value: _Value) -> list[str]:
        """The modules a module expression names (a plain name: itself)."""
        pattern = _pattern(expression, value)
        if pattern is None:
            return [expression]
        return [n for n in self._names if pattern.fullmatch(n) and self.known(n)]

    def in_roots(self, name: str) -> bool:
        return any(name == r or name.startswith(r + ".") for r in self.roots)

    def known(self, name: str) -> bool:
        """Whether the contracts see the module `name`."""
        return name in self.graph and (self.external or self.in_roots(name))

    def direct(self, i: int, j: int) -> Chain:
        """The chain of the one import from module `i` to module `j` of the
        judged graph."""
        names = self._names
        if self.graph is not self.full:
            return self.chain((names[i], names[j]))
        sites = self.full._g.sites(i, j)
        origin = self.full._origins[i]
        text = self._line(origin, sites[0][0]) if sites and origin else None
        if text is None:
            return self.chain((names[i], names[j]))
        return Chain((Step(names[i], names[j], origin, sites[0][0], text),), (), ())

    def step(self, importer: str, imported: str) -> Step:
        """The step `importer` -> `imported`, with its first statement."""
        full, native = self.full, self.full._g
        i, j = native.find(importer), native.find(imported)
        if i < 0:
            return Step(importer, imported, None, 0, "")
        target = imported
        sites = native.sites(i, j) if j >= 0 else ()
        if not sites:
            # An import of a module folded into its top-level name: the
            # statement is that of the first module imported under it.
            prefix = imported + "."
            for name in sorted(full[importer].imports):
                if name.startswith(prefix):
                    target, sites = name, native.sites(i, native.find(name))
                    break
        origin = full._origins[i]
        if not sites:
            return Step(importer, imported, origin, 0, "")
        line = sites[0][0]
        text = self._line(origin, line) if origin else None
        if text is None:
            text = full.sites(importer, target)[0].text or ""
        return Step(importer, imported, origin, line, text)

    def _line(self, path: str, line: int) -> str | None:
        """Line `line` of a UTF-8 source file, stripped; None for a file
        that names another encoding (Site.text decodes those) or cannot be
        read. Each file is read once, and only the lines asked decoded."""
        lines = self._lines.get(path)
        if lines is None:
            try:
                with open(path, "rb") as f:
                    data = f.read()
            except OSError:
                data = b""
            cookie = b"coding" in data[:400] and any(
                b"coding" in h and h.lstrip().startswith(b"#") for h in data[:400].split(b"\n")[:2]
            )
            # Lines end where Python's tokenizer ends them: \n, \r\n or \r.
            lines = [] if cookie or not data else data.removeprefix(b"\xef\xbb\xbf").splitlines()
            self._lines[path] = lines
        if not 0 < line <= len(lines):
            return None
        return lines[line - 1].decode("utf-8", "replace").strip()

    def chain(
        self, names: Sequence[str], heads: Sequence[str] = (), tails: Sequence[str] = ()
    ) -> Chain:
        steps = tuple(self.step(a, b) for a, b in zip(names, names[1:]))
        return Chain(steps, tuple(heads), tuple(tails))


class _Contract:
    """One contract's options, read, and its judge."""

    def __init__(self, ident: str, options: _Options, judge: _Judge, warn: Callable[[str], None]):
        self.id = ident
        self.options = options
        self.judge = judge
        self.name = options.need("name").text()
        self.type = options.need("type").text()
        self.warnings: list[str] = []
        self.ignored = 0
        self._warn = warn

    def modules(self, key: str, *, required: bool = True, must_exist: bool = True) -> list[str]:
        """The modules an option names, wildcards expanded; ConfigError for
        a plain name the graph does not hold."""
        value = self.options.need(key) if required else self.options.get(key)
        if value is None:
            return []
        found: list[str] = []
        for expression in value.lines():
            names = self.judge.expand(expression, value)
            if must_exist and names == [expression] and not self.judge.known(expression):
                raise value.fail(f"module {expression!r} does not exist")
            found.extend(n for n in names if n not in found)
        return found

    def graph(self) -> Graph:
        """The judged graph without the imports ignore_imports names."""
        base = self.judge.graph
        value = self.options.get("ignore_imports")
        alert_value = self.options.get("unmatched_ignore_imports_alerting")
        alert = "error" if alert_value is None else alert_value.text().lower()
        if alert not in _ALERTS:
            raise alert_value.fail(  # type: ignore[union-attr]
                f"must be one of {', '.join(_ALERTS)}, not {alert!r}"
            )
        if value is None:
            return base
        pairs: set[tuple[str, str]] = set()
        for expression in value.lines():
            sides = [s.strip() for s in expression.split("->")]
            if len(sides) != 2 or not all(sides):
                raise value.fail(f"{expression!r} is not of the form 'importer -> imported'")
            importers = self.judge.expand(sides[0], value)
            target = _pattern(sides[1], value)
            matched = 0
            for importer in importers:
                if not self.judge.known(importer):
                    continue
                for imported in base[importer].imports:
                    if not self.judge.known(imported):
                        continue
                    if imported == sides[1] if target is None else target.fullmatch(imported):
                        pairs.add((importer, imported))
                        matched += 1
            if not matched:
                if alert == "error":
                    raise value.fail(
                        f"{expression!r} matches no import (unmatched_ignore_imports_alerting"
                        " = warn or none allows that)"
                    )
                if alert == "warn":
                    message = f"No matches for ignored import {expression}."
                    self.warnings.append(message)
                    self._warn(f"{self.options.where} ignore_imports: {message}")
        self.ignored = len(pairs)
        return base.without_imports(pairs) if pairs else base

    def result(
        self, kept: bool | None, violations: Iterable[Violation], notes: Iterable[str] = ()
    ) -> ContractResult:
        return ContractResult(
            self.id,
            self.name,
            self.type,
            kept,
            tuple(violations),
            tuple(notes),
            tuple(self.warnings),
            self.ignored,
            "\n".join(self.options.lines("broken_contract_guidance")),
        )


# -- the contract types --


def _direct(g: Graph, sources: Sequence[int], targets: Sequence[int]) -> list[tuple[int, int]]:
    """The imports from a module of `sources` to one of `targets`."""
    wanted = set(targets)
    found = []
    for i in sources:
        for j in g._g.imports(i):
            if j in wanted:
                found.append((i, j))
    return sorted(found, key=lambda p: (g._names[p[0]], g._names[p[1]]))


def _routes(c: _Contract, g: Graph, lower: str, higher: str, others: _Others) -> list[Chain]:
    """The chains by which package `lower` imports package `higher`,
    directly or through modules outside them and outside the `others`."""
    judge = c.judge
    sources = judge.subtree(g, lower)
    targets = judge.subtree(g, higher)
    if not sources or not targets:
        return []
    names = g._names
    chains = [judge.direct(i, j) for i, j in others.direct(lower, higher)]
    middles = g._g.pop_chains(sources, targets, others.mask(lower, higher))
    in_sources, in_targets = set(sources), set(targets)
    for middle in dict.fromkeys(middles):  # a middle found again is the same route
        heads = sorted(names[i] for i in g._g.importers_of(middle[0]) if i in in_sources)
        tails = sorted(names[j] for j in g._g.imports(middle[-1]) if j in in_targets)
        if not heads or not tails:
            continue
        route = [heads[0], *(names[m] for m in middle), tails[0]]
        chains.append(judge.chain(route, heads, tails))
    return chains


class _Others:
    """The modules of a set of packages (layers, independent modules), as
    the mask pop_chains takes of those other than two of them."""

    def __init__(self, judge: _Judge, g: Graph, packages: Sequence[str]) -> None:
        self.packages = list(packages)
        self.owner: bytes | None = None
        self.judge, self.g = judge, g
        self._members: list[int] = []
        self._between: dict[tuple[int, int], list[tuple[int, int]]] | None = None
        nested = any(a.startswith(b + ".") for a in self.packages for b in self.packages)
        if len(self.packages) < 255 and not nested:
            owner = bytearray(len(g._names))  # 0: none, n + 1: the n-th package
            for n, package in enumerate(self.packages):
                for k in judge.subtree(g, package):
                    owner[k] = n + 1
                    self._members.append(k)
            self.owner = bytes(owner)

    def direct(self, a: str, b: str) -> list[tuple[int, int]]:
        """The imports from a module of package `a` to one of package `b`,
        by name; those between every two packages found in one pass."""
        g, judge = self.g, self.judge
        if self.owner is None:
            return _direct(g, judge.subtree(g, a), judge.subtree(g, b))
        if self._between is None:
            owner, imports = self.owner, g._g.imports
            between: dict[tuple[int, int], list[tuple[int, int]]] = {}
            for i in self._members:
                mine = owner[i]
                for j in imports(i):
                    theirs = owner[j]
                    if theirs and theirs != mine:
                        between.setdefault((mine, theirs), []).append((i, j))
            self._between = between
        key = (self.packages.index(a) + 1, self.packages.index(b) + 1)
        names = g._names
        return sorted(self._between.get(key, ()), key=lambda p: (names[p[0]], names[p[1]]))

    def mask(self, a: str, b: str) -> bytes | None:
        """1 for the modules of every package but `a` and `b`."""
        rest = [p for p in self.packages if p != a and p != b]
        if not rest:
            return None
        if self.owner is not None:
            table = bytearray(256)
            table[1 : len(self.packages) + 1] = b"\x01" * len(self.packages)
            for n, package in enumerate(self.packages):
                if package == a or package == b:
                    table[n + 1] = 0
            return self.owner.translate(table)
        excluded = bytearray(len(self.g._names))
        for package in rest:
            for k in self.judge.subtree(self.g, package):
                excluded[k] = 1
        return bytes(excluded)


def _forbidden(c: _Contract) -> ContractResult:
    judge = c.judge
    sources = c.modules("source_modules")
    forbidden_value = c.options.need("forbidden_modules")
    as_packages = c.options.flag("as_packages", True)
    indirect = not c.options.flag("allow_indirect_imports", False)
    forbidden: list[str] = []
    for expression in forbidden_value.lines():
        for name in judge.expand(expression, forbidden_value):
            if not judge.in_roots(name) and not judge.external:
                raise forbidden_value.fail(
                    f"{name!r} is outside the root packages: forbidding it needs"
                    " include_external_packages = True at the top level"
                )
            if not judge.in_roots(name) and "." in name:
                raise forbidden_value.fail(
                    f"{name!r} is inside an external package: outside the root packages,"
                    " only top-level names can be forbidden"
                )
            if judge.in_roots(name) and not judge.known(name):
                raise forbidden_value.fail(f"module {name!r} does not exist")
            if name not in forbidden:
                forbidden.append(name)
    g = c.graph()
    violations = []
    for source in sources:
        for target in forbidden:
            if target not in g or _overlap(source, target, as_packages):
                continue
            if indirect:
                found = g.chains(source, target, as_packages=as_packages)
                chains = [judge.chain(chain) for chain in sorted(found)]
            else:
                pairs = _direct(
                    g,
                    judge.subtree(g, source, as_packages),
                    judge.subtree(g, target, as_packages),
                )
                chains = [judge.chain([g._names[i], g._names[j]]) for i, j in pairs]
            if chains:
                violations.append(Violation(source, target, tuple(chains)))
    return c.result(not violations, violations)


def _overlap(a: str, b: str, as_packages: bool) -> bool:
    if a == b:
        return True
    return as_packages and (a.startswith(b + ".") or b.startswith(a + "."))


class _Layer(NamedTuple):
    names: tuple[str, ...]
    independent: bool
    optional: bool


def _layers_of(value: _Value) -> list[_Layer]:
    layers = []
    for line in value.lines():
        optional = line.startswith("(") and line.endswith(")")
        if optional:
            line = line[1:-1].strip()
        if "|" in line and ":" in line:
            raise value.fail(f"{line!r} mixes '|' (independent) and ':' (not independent)")
        separator = ":" if ":" in line else "|"
        names = tuple(n.strip() for n in line.split(separator))
        if not all(names):
            raise value.fail(f"{line!r} has an empty layer name")
        layers.append(_Layer(names, separator == "|", optional))
    if not layers:
        raise value.fail("names no layer")
    return layers


def _layers(c: _Contract) -> ContractResult:
    judge = c.judge
    layers_value = c.options.need("layers")
    layers = _layers_of(layers_value)
    containers = c.modules("containers", required=False)
    exhaustive = c.options.flag("exhaustive", False)
    if exhaustive and not containers:
        raise ConfigError(
            f"{c.options.where} exhaustive: needs containers (the packages whose"
            " children must all be layers)"
        )
    ignores = c.options.lines("exhaustive_ignores")
    seen: dict[str, str] = {}
    for layer in layers:
        for name in layer.names:
            if name in seen:
                raise layers_value.fail(f"{name!r} is in more than one layer")
            seen[name] = name
    g = c.graph()
    violations: list[Violation] = []
    notes: list[str] = []
    for container in containers or [""]:
        full = [
            _Layer(tuple(_join(container, n) for n in layer.names), layer.independent, False)
            for layer in layers
        ]
        present = []
        for layer, original in zip(full, layers):
            names = tuple(n for n in layer.names if judge.known(n))
            if len(names) < len(layer.names) and not original.optional:
                missing = next(n for n in layer.names if not judge.known(n))
                where = f" in container {container!r}" if container else ""
                raise layers_value.fail(f"layer {missing!r}{where} does not exist")
            present.append(_Layer(names, layer.independent, False))
        everything = _Others(judge, g, [n for layer in present for n in layer.names])
        pairs = []
        for high, layer in enumerate(present):
            if layer.independent:
                pairs += [(a, b) for a in layer.names for b in layer.names if a != b]
            for lower in present[high + 1 :]:
                pairs += [(low, h) for h in layer.names for low in lower.names]
        for lower_name, higher_name in pairs:
            chains = _routes(c, g, lower_name, higher_name, everything)
            if chains:
                violations.append(Violation(lower_name, higher_name, tuple(chains)))
        if exhaustive:
            listed = {_join(container, n) for layer in layers for n in layer.names}
            listed |= {_join(container, n) for n in ignores}
            depth = container.count(".") + 1
            for k in judge.subtree(judge.graph, container)[1:]:
                name = judge.graph._names[k]
                if name.count(".") == depth and name not in listed:
                    notes.append(f"{name} is not listed as a layer")
    return c.result(not violations and not notes, violations, notes)


def _join(container: str, name: str) -> str:
    return f"{container}.{name}" if container else name


def _independence(c: _Contract) -> ContractResult:
    modules = c.modules("modules")
    g = c.graph()
    violations = []
    others = _Others(c.judge, g, modules)
    for a in modules:
        for b in modules:
            if a == b or _overlap(a, b, True):
                continue
            chains = _routes(c, g, a, b, others)
            if chains:
                violations.append(Violation(a, b, tuple(chains)))
    return c.result(not violations, violations)


def _protected(c: _Contract) -> ContractResult:
    judge = c.judge
    as_packages = c.options.flag("as_packages", True)
    protected = c.modules("protected_modules")
    allowed = c.modules("allowed_importers")
    g = c.graph()
    allowed_set = {k for a in allowed for k in judge.subtree(g, a, as_packages)}
    violations = []
    for name in protected:
        inside = judge.subtree(g, name, as_packages)
        inside_set = set(inside)
        illegal = []
        for j in inside:
            for i in g._g.importers_of(j):
                if i in allowed_set or i in inside_set:
                    continue
                illegal.append((g._names[i], g._names[j]))
        if illegal:
            chains = tuple(judge.chain(pair) for pair in sorted(illegal))
            violations.append(Violation("", name, chains))
    return c.result(not violations, violations)


def _acyclic_siblings(c: _Contract) -> ContractResult:
    judge = c.judge
    ancestors = c.modules("ancestors")
    depth_value = c.options.get("depth")
    depth = 10 if depth_value is None else depth_value.integer()
    skipped = c.modules("skip_descendants", required=False)
    for name in skipped:
        if name in ancestors:
            raise c.options.need("skip_descendants").fail(f"{name!r} is an ancestor too")
    g = c.graph()
    names = g._names
    violations = []
    for ancestor in ancestors:
        base = ancestor.count(".")
        for k in judge.subtree(g, ancestor):
            package = names[k]
            if package.count(".") - base >= depth + 1 or _under(package, skipped):
                continue
            violation = _sibling_cycles(c, g, package)
            if violation is not None:
                violations.append(violation)
    return c.result(not violations, violations)


def _under(name: str, packages: Sequence[str]) -> bool:
    return any(name == p or name.startswith(p + ".") for p in packages)


def _sibling_cycles(c: _Contract, g: Graph, package: str) -> Violation | None:
    """The imports between children of `package` that stand in a cycle of
    children, one chain for each pair of children (None: no cycle)."""
    judge, names = c.judge, g._names
    level = package.count(".") + 1
    children = [names[k] for k in judge.subtree(g, package)[1:] if names[k].count(".") == level]
    if len(children) < 2:
        return None
    owner: dict[int, int] = {}
    for n, child in enumerate(children):
        for k in judge.subtree(g, child):
            owner[k] = n
    edges: dict[tuple[int, int], tuple[int, int]] = {}
    for i, a in owner.items():
        for j in g._g.imports(i):
            b = owner.get(j)
            if b is not None and b != a:
                key = (a, b)
                if key not in edges or (names[i], names[j]) < _pair(names, edges[key]):
                    edges[key] = (i, j)
    groups = _strong(len(children), [key for key in edges])
    cyclic = {n: group for group in groups if len(group) > 1 for n in group}
    if not cyclic:
        return None
    chains = [
        judge.chain(_pair(names, edges[key]))
        for key in sorted(edges, key=lambda k: (children[k[0]], children[k[1]]))
        if key[0] in cyclic and cyclic[key[0]] is cyclic.get(key[1])
    ]
    return Violation(package, package, tuple(chains))


def _pair(names: tuple[str, ...], pair: tuple[int, int]) -> tuple[str, str]:
    return names[pair[0]], names[pair[1]]


def _strong(count: int, edges: list[tuple[int, int]]) -> list[list[int]]:
    """The strongly connected components of a small graph (Tarjan's, with
    an explicit stack)."""
    out: list[list[int]] = [[] for _ in range(count)]
    for a, b in edges:
        out[a].append(b)
    index = [-1] * count
    low = [0] * count
    on_stack = [False] * count
    stack: list[int] = []
    groups: list[list[int]] = []
    counter = 0
    for start in range(count):
        if index[start] >= 0:
            continue
        work = [(start, 0)]
        while work:
            node, edge = work.pop()
            if edge == 0:
                index[node] = low[node] = counter
                counter += 1
                stack.append(node)
                on_stack[node] = True
            if edge < len(out[node]):
                work.append((node, edge + 1))
                nxt = out[node][edge]
                if index[nxt] < 0:
                    work.append((nxt, 0))
                elif on_stack[nxt]:
                    low[node] = min(low[node], index[nxt])
                continue
            if low[node] == index[node]:
                group = []
                while True:
                    top = stack.pop()
                    on_stack[top] = False
                    group.append(top)
                    if top == node:
                        break
                groups.append(group)
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[node])
    return groups


def _private_modules(c: _Contract) -> ContractResult:
    judge = c.judge
    packages = c.modules("packages_with_private_modules", required=False) or list(judge.roots)
    for name in packages:
        if any(_private(part) for part in name.split(".")):
            raise c.options.need("packages_with_private_modules").fail(
                f"{name!r} is private or inside a private module"
            )
    g = c.graph()
    names = g._names
    illegal: dict[str, list[tuple[str, str]]] = {}
    for package in packages:
        for k in judge.subtree(g, package):
            scope = _private_scope(names[k])
            if scope is None:
                continue
            for i in g._g.importers_of(k):
                importer = names[i]
                if importer != scope and not importer.startswith(scope + "."):
                    illegal.setdefault(names[k], []).append((importer, names[k]))
    violations = [
        Violation("", module, tuple(judge.chain(p) for p in sorted(pairs)))
        for module, pairs in sorted(illegal.items())
    ]
    return c.result(not violations, violations)


def _private(part: str) -> bool:
    return part.startswith("_") and not (part.startswith("__") and part.endswith("__"))


def _private_scope(name: str) -> str | None:
    """The parent package of the innermost private module among `name` and
    its ancestors (the top-level name never counts): who may import it."""
    parts = name.split(".")
    for n in range(len(parts) - 1, 0, -1):
        if _private(parts[n]):
            return ".".join(parts[:n])
    return None


_JUDGES: dict[str, Callable[[_Contract], ContractResult]] = {
    "forbidden": _forbidden,
    "layers": _layers,
    "independence": _independence,
    "protected": _protected,
    "acyclic_siblings": _acyclic_siblings,
    "private_modules": _private_modules,
}


# -- checking --


class Session(NamedTuple):
    """The top-level options that decide the graph."""

    roots: tuple[str, ...]
    external: bool
    skip_type_checking: bool
    custom_types: frozenset[str]


def session_of(config: Config) -> Session:
    options = config.session
    one, several = options.get("root_package"), options.get("root_packages")
    if one is not None and several is not None:
        raise ConfigError(
            f"{options.where} root_packages: give root_package or root_packages, not both"
        )
    if one is None and several is None:
        raise ConfigError(
            f"{options.where} root_package: missing (root_package or root_packages is required)"
        )
    value = one if one is not None else several
    roots = [value.text()] if value is one else value.lines()  # type: ignore[union-attr]
    for root in roots:
        if not all(part.isidentifier() for part in root.split(".")):
            raise value.fail(f"{root!r} is not a package name")  # type: ignore[union-attr]
    custom = set()
    for line in options.lines("contract_types"):
        name, colon, target = line.partition(":")
        if not colon or not name.strip() or not target.strip():
            raise options.need("contract_types").fail(
                f"{line!r} is not of the form 'name: module.Class'"
            )
        custom.add(name.strip())
    return Session(
        tuple(dict.fromkeys(roots)),
        options.flag("include_external_packages", False),
        options.flag("exclude_type_checking_imports", False),
        frozenset(custom),
    )


def _stamp(path: str) -> tuple[int, int, int] | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_mtime_ns, st.st_size, st.st_ino


class Checker:
    """Checks the contracts of a configuration file, again and again: the
    builder it keeps rebuilds only what changed, and the file is read again
    only when it changed. See check()."""

    def __init__(
        self,
        config_path: str | None = None,
        *,
        contracts: Iterable[str] | None = None,
        builder: Builder | None = None,
        warn: Callable[[str], None] | None = None,
    ) -> None:
        self._given = config_path
        self._contracts = None if contracts is None else list(contracts)
        self._builder = builder or Builder()
        self._warn = warn or (lambda _: None)
        self._path = ""
        self._stamp: tuple[int, int, int] | None = None
        self._config: Config | None = None
        self._session: Session | None = None
        self._chosen: list[tuple[str, _Options]] = []
        self._built: Graph | None = None
        self._judge: _Judge | None = None

    def run(self, only_if_changed: bool = False) -> CheckResult | None:
        """The verdicts; with `only_if_changed`, None when neither the
        configuration nor any source file changed since the last run."""
        path = find_config() if self._given is None else self._given
        stamp = _stamp(path)
        fresh = self._config is None or path != self._path or stamp != self._stamp
        if fresh or self._config is None or self._session is None:
            self._config = None
            config = read_config(path)
            session = session_of(config)
            self._chosen = _chosen(config, self._contracts)
            self._config, self._session, self._path, self._stamp = config, session, path, stamp
        else:
            config, session = self._config, self._session
        skip = ("type_checking",) if session.skip_type_checking else ()
        try:
            built = self._builder.build(packages=session.roots, within=session.roots, skip=skip)
        except NotFound as e:
            key = "root_packages" if config.session.get("root_packages") else "root_package"
            missing = ", ".join(map(repr, e.names))
            raise ConfigError(
                f"{config.session.where} {key}: {missing}: no such package on the search path"
            ) from None
        if only_if_changed and not fresh and built is self._built:
            return None
        if fresh or built is not self._built or self._judge is None:
            # The tables of names of the builder's graphs pass from one
            # rebuild to the next while the modules stay the same; the
            # as-written graph, with the same modules, shares them too.
            built._names
            written = Graph._of(built._g.as_written(), like=built)
            judged = _without_namespaces(written, session.roots)
            if session.external:
                judged = judged.collapsed(session.roots)
            self._judge = _Judge(judged, written, session.external, session.roots)
            self._built = built
        judge = self._judge
        results = []
        for ident, options in self._chosen:
            contract = _Contract(ident, options, judge, self._warn)
            if contract.type in session.custom_types:
                results.append(contract.result(None, ()))
                continue
            if contract.type not in _JUDGES:
                raise options.need("type").fail(
                    f"unknown contract type {contract.type!r} (built in: "
                    f"{', '.join(CONTRACT_TYPES)}; others are named in contract_types)"
                )
            results.append(_JUDGES[contract.type](contract))
        return CheckResult(path, tuple(results))


def _without_namespaces(graph: Graph, roots: Sequence[str]) -> Graph:
    """`graph` less the namespace packages inside the root packages and
    their modules: import-linter's graph holds only the folders with an
    __init__.py below a root."""
    if "namespace" not in graph._kinds:
        return graph
    names, kinds = graph._names, graph._kinds
    keep = bytearray(b"\x01") * len(names)
    inside = tuple(root + "." for root in roots)
    dropped = False
    for k, name in enumerate(names):
        if kinds[k] == "namespace" and name.startswith(inside):
            prefix = name + "."
            keep[k] = 0
            for m, other in enumerate(names[k + 1 :], k + 1):
                if not other.startswith(prefix):
                    break
                keep[m] = 0
            dropped = True
    return Graph._of(graph._g.subgraph(bytes(keep))) if dropped else graph


def check(
    config_path: str | None = None,
    *,
    contracts: Iterable[str] | None = None,
    builder: Builder | None = None,
    warn: Callable[[str], None] | None = None,
) -> CheckResult:
    """Judges the contracts of a configuration file (by default the one
    import-linter would find in the current directory: setup.cfg,
    .importlinter or pyproject.toml) on the graph of its root packages;
    `contracts` limits the check to those ids. A `builder` kept between
    calls makes a check after an edit cost the rebuild of what changed
    only. Raises ConfigError when the configuration cannot be used; `warn`
    receives the warnings (ignore patterns that matched nothing, when
    unmatched_ignore_imports_alerting is warn)."""
    result = Checker(config_path, contracts=contracts, builder=builder, warn=warn).run()
    assert result is not None
    return result


def _chosen(config: Config, contracts: Iterable[str] | None) -> list[tuple[str, _Options]]:
    if contracts is None:
        return list(config.contracts)
    wanted = list(contracts)
    known = {ident for ident, _ in config.contracts}
    for ident in wanted:
        if ident not in known:
            raise ConfigError(f"{config.path}: no contract with the id {ident!r}")
    return [(ident, options) for ident, options in config.contracts if ident in wanted]
