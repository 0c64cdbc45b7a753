"""The exact scanner against Python's own parser, file by file, and the speed
of each.

Every .py file of the standard library (without its site-packages) and of a
site-packages directory is read as bytes. For each file `ast.parse` accepts,
its Import and ImportFrom nodes (module, level, names with their asnames,
line) must equal the records `tarnwick_graph.scan` gives for the same bytes,
in the same order. Files `ast` rejects are skipped and counted. Each
record's context is checked too, against the enclosing nodes: in a def, directly
in a class body, in a try body (of the same function) with a handler that
catches ImportError, under `if TYPE_CHECKING:`; a statement equal in all but
these flags counts as a site difference. Last, a statement appended to each
file must be seen: when it is not, the scanner lost track of a string or a
bracket somewhere, and the first statement after which that happens is shown.

Then, over the same texts (decoded beforehand, so only parsing is timed),
`ast.parse` plus a walk for the import nodes against `_native.scan`, best of
three passes each, in MB/s of UTF-8.

Usage (the bench venv's python, so its packages count):

    build/bench-venv/bin/python bench/scan_differential.py   # venv: bench/requirements.txt
    python bench/scan_differential.py --site-packages DIR --passes 3
    python bench/scan_differential.py --no-timing     # the comparison alone

Exits 1 when any statement or site differs, or the scanner loses its place.
"""

from __future__ import annotations

import argparse
import ast
import io
import os
import re
import sys
import sysconfig
import time
import tokenize
from dataclasses import dataclass, field

import tarnwick_graph
from tarnwick_graph import _native

BAR_RATIO = 100.0
SHOWN_PER_FILE = 5


def python_files(root: str, skip_site_packages: bool) -> list[str]:
    out = []
    for folder, dirs, files in os.walk(root):
        if skip_site_packages:
            dirs[:] = [d for d in dirs if d not in ("site-packages", "dist-packages")]
        dirs.sort()
        out.extend(os.path.join(folder, f) for f in sorted(files) if f.endswith(".py"))
    return out


CATCHING = frozenset({"ImportError", "ModuleNotFoundError", "Exception", "BaseException"})
FLAG_NAMES = ("in_function", "in_class", "guarded", "type_checking")


def catches_import_error(handler: ast.ExceptHandler) -> bool:
    """A bare except, or one naming a class that ImportError is (or a base of it)."""
    if handler.type is None:
        return True
    for node in ast.walk(handler.type):
        if isinstance(node, ast.Name) and node.id in CATCHING:
            return True
        if isinstance(node, ast.Attribute) and node.attr in CATCHING:
            return True
    return False


def type_checking_test(test: ast.expr) -> tuple[bool, bool]:
    """(is a TYPE_CHECKING test, negated) for `[not] [a.b.]TYPE_CHECKING`."""
    negated = isinstance(test, ast.UnaryOp) and isinstance(test.op, ast.Not)
    node = test.operand if negated else test
    last = node.id if isinstance(node, ast.Name) else node.attr if isinstance(node, ast.Attribute) else None
    while isinstance(node, ast.Attribute):
        node = node.value
    return last == "TYPE_CHECKING" and isinstance(node, ast.Name), negated


class Sites:
    """The context of every import node: the enclosing def and class, the try
    bodies (of the same function) whose handlers catch ImportError, and the
    `if TYPE_CHECKING:` branches around it."""

    def __init__(self) -> None:
        self.flags: dict[int, tuple[bool, bool, bool, bool]] = {}

    def block(self, stmts, ctx) -> None:
        for stmt in stmts:
            self.stmt(stmt, ctx)

    def stmt(self, node: ast.stmt, ctx: tuple) -> None:
        fn, cls, tc, depth, guards = ctx
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            self.flags[id(node)] = (fn, cls, depth in guards, tc)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            self.block(node.body, (True, False, tc, depth + 1, guards))
        elif isinstance(node, ast.ClassDef):
            self.block(node.body, (fn, True, tc, depth, guards))
        elif isinstance(node, ast.If):
            self.if_chain(node, ctx)
        elif isinstance(node, (ast.Try, getattr(ast, "TryStar", ast.Try))):
            guarded = any(catches_import_error(h) for h in node.handlers)
            self.block(node.body, (fn, cls, tc, depth, guards | {depth}) if guarded else ctx)
            for h in node.handlers:
                self.block(h.body, ctx)
            self.block(node.orelse, ctx)
            self.block(node.finalbody, ctx)
        elif isinstance(node, ast.Match):
            for case in node.cases:
                self.block(case.body, ctx)
        else:  # for, while, with and their else clauses
            for name in ("body", "orelse"):
                self.block(getattr(node, name, ()), ctx)

    def if_chain(self, node: ast.If, ctx: tuple) -> None:
        fn, cls, tc, depth, guards = ctx
        # Past a test of `not TYPE_CHECKING`, every later clause (elif or
        # else) runs only when TYPE_CHECKING is true.
        after_not = False
        while True:
            is_tc, negated = type_checking_test(node.test)
            body_tc = tc or after_not or (is_tc and not negated)
            self.block(node.body, (fn, cls, body_tc, depth, guards))
            after_not = after_not or (is_tc and negated)
            orelse = node.orelse
            if len(orelse) == 1 and isinstance(orelse[0], ast.If) and orelse[0].col_offset == node.col_offset:
                node = orelse[0]  # an elif
                continue
            self.block(orelse, (fn, cls, tc or after_not, depth, guards))
            return


def ast_records(tree: ast.Module) -> list[tuple]:
    """(line, is_from, module, level, names, flags) of every import node, in text order."""
    sites = Sites()
    sites.block(tree.body, (False, False, False, 0, frozenset()))
    nodes = [n for n in ast.walk(tree) if isinstance(n, (ast.Import, ast.ImportFrom))]
    nodes.sort(key=lambda n: (n.lineno, n.col_offset))
    out = []
    for n in nodes:
        names = tuple((a.name, a.asname) for a in n.names)
        flags = sites.flags[id(n)]
        if isinstance(n, ast.Import):
            out.append((n.lineno, False, None, 0, names, flags))
        else:
            out.append((n.lineno, True, n.module, n.level, names, flags))
    return out


def scan_records(data: bytes) -> list[tuple]:
    out = []
    for s in tarnwick_graph.scan(data):
        names = tuple((a.name, a.asname) for a in s.names)
        flags = (s.site.in_function, s.site.in_class, s.site.guarded, s.site.type_checking)
        out.append((s.site.line, s.is_from, s.module, s.level, names, flags))
    return out


def show(record: tuple | None) -> str:
    if record is None:
        return "(none)"
    _, is_from, module, level, names, _ = record
    listed = ", ".join(n if a is None else f"{n} as {a}" for n, a in names)
    if is_from:
        return f"from {'.' * level}{module or ''} import {listed}"
    return f"import {listed}"


def show_flags(flags: tuple[bool, ...]) -> str:
    return ", ".join(n for n, on in zip(FLAG_NAMES, flags) if on) or "module level"


@dataclass
class Tally:
    compared: int = 0
    skipped: int = 0
    statements: int = 0
    differences: int = 0  # statements that differ in module, level, names or line
    site_differences: int = 0  # equal statements whose context flags differ
    lost_place: int = 0  # files after which an appended statement is not seen
    rejected: list[str] = field(default_factory=list)
    texts: list[str] = field(default_factory=list)  # decoded sources of compared files

    def counts(self) -> tuple[int, ...]:
        return (
            self.compared,
            self.skipped,
            self.statements,
            self.differences,
            self.site_differences,
            self.lost_place,
        )


def decode(data: bytes) -> str:
    encoding, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
    return data.decode(encoding)


PROBE = "zzz_tarnwick_probe"
LINES = re.compile(r"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+$")


def keeps_place(prefix: str) -> bool:
    """Whether a statement appended to `prefix` (complete Python) is seen: a
    scanner that lost track of strings or brackets earlier misses it."""
    text = prefix if prefix.endswith(("\n", "\r")) or not prefix else prefix + "\n"
    records = _native.scan(text + f"import {PROBE}\n")
    return bool(records) and records[-1][3] == ((PROBE, None),)


def where_place_is_lost(text: str, tree: ast.Module) -> tuple[int, str]:
    """Line and text of the first statement after which the scanner loses
    its place (found by bisection over the statements' last lines), or of
    the string token in it that alone makes the scanner lose it."""
    lines = LINES.findall(text)
    statements = [n for n in ast.walk(tree) if isinstance(n, ast.stmt)]
    ends = sorted({n.end_lineno for n in statements})
    lo, hi = -1, len(ends) - 1  # keeps_place holds after ends[lo], fails after ends[hi]
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if keeps_place("".join(lines[: ends[mid]])):
            lo = mid
        else:
            hi = mid
    end = ends[hi] if ends else len(lines)
    start = max((n.lineno for n in statements if n.end_lineno == end), default=1)
    try:
        for tok in tokenize.generate_tokens(io.StringIO("".join(lines[start - 1 : end])).readline):
            if tok.type == tokenize.STRING and not keeps_place(tok.string):
                return start + tok.start[0] - 1, f"the string {tok.string}"
    except (tokenize.TokenError, IndentationError, SyntaxError):
        pass
    return start, "the statement " + (lines[start - 1].strip() if start <= len(lines) else "")


def compare_file(path: str, tally: Tally) -> None:
    with open(path, "rb") as f:
        data = f.read()
    try:
        tree = ast.parse(data)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        tally.skipped += 1
        tally.rejected.append(path)
        return
    tally.compared += 1
    text = decode(data)
    tally.texts.append(text)
    if not keeps_place(text):
        tally.lost_place += 1
        line, first = where_place_is_lost(text, tree)
        print(
            f"LOST {path}:{line}: the scanner sees no statement after {first.strip()[:80]}"
            " (nor one appended to the file)"
        )
    expected = ast_records(tree)
    tally.statements += len(expected)
    try:
        got = scan_records(data)
    except tarnwick_graph.Error as e:
        tally.differences += 1
        print(f"DIFF {path}: the scanner refused the file: {e}")
        return
    if got == expected:
        return
    shown = 0
    for i in range(max(len(got), len(expected))):
        want = expected[i] if i < len(expected) else None
        have = got[i] if i < len(got) else None
        if want == have:
            continue
        line = (want or have)[0]
        if want is not None and have is not None and want[:5] == have[:5]:
            tally.site_differences += 1
            message = (
                f"SITE {path}:{line}: {show(want)}\n"
                f"     ast: {show_flags(want[5])}; scanner: {show_flags(have[5])}"
            )
        else:
            tally.differences += 1
            where = f"{path}:{line}"
            if want is not None and have is not None and want[0] != have[0]:
                where += f" (scanner says line {have[0]})"
            message = f"DIFF {where}\n     ast:     {show(want)}\n     scanner: {show(have)}"
        shown += 1
        if shown <= SHOWN_PER_FILE:
            print(message)
    if shown > SHOWN_PER_FILE:
        print(f"     ... {shown - SHOWN_PER_FILE} more in {path}")


def best_of(passes: int, fn, texts: list[str]) -> float:
    best = float("inf")
    for _ in range(passes):
        t0 = time.perf_counter()
        fn(texts)
        best = min(best, time.perf_counter() - t0)
    return best


def by_ast(texts: list[str]) -> int:
    n = 0
    for t in texts:
        for node in ast.walk(ast.parse(t)):
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                n += 1
    return n


def by_ast_parse_only(texts: list[str]) -> None:
    for t in texts:
        ast.parse(t)


def by_scanner(texts: list[str]) -> int:
    scan = _native.scan
    return sum(len(scan(t)) for t in texts)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--site-packages", default=sysconfig.get_paths()["purelib"])
    ap.add_argument("--passes", type=int, default=3, help="timed passes; the best counts")
    ap.add_argument("--no-timing", action="store_true", help="compare only")
    args = ap.parse_args()

    stdlib = sysconfig.get_paths()["stdlib"]
    trees = [(stdlib, True), (args.site_packages, False)]
    print(f"python {sys.version.split()[0]}, tarnwick_graph from {os.path.dirname(tarnwick_graph.__file__)}")
    tally = Tally()
    for root, skip in trees:
        files = python_files(root, skip)
        before = tally.counts()
        for path in files:
            compare_file(path, tally)
        c, s, st, d, sd, lp = (x - y for x, y in zip(tally.counts(), before))
        print(
            f"{root}: {len(files)} files, {c} compared, {s} rejected by ast,"
            f" {st} statements, {d} differences, {sd} site differences, {lp} files losing place"
        )

    print(
        f"\ntotal: {tally.compared} files compared, {tally.skipped} rejected by ast (skipped),"
        f" {tally.statements} statements, {tally.differences} differences"
        f" (module, level, names, line), {tally.site_differences} site differences"
        f" ({', '.join(FLAG_NAMES)}), {tally.lost_place} files after which the scanner loses its place"
    )
    if tally.rejected:
        print(
            "rejected by ast: "
            + ", ".join(
                os.path.relpath(p, stdlib) if p.startswith(stdlib) else p for p in tally.rejected[:20]
            )
        )

    if not args.no_timing:
        report_speed(tally.texts, args.passes)
    return 1 if tally.differences or tally.site_differences or tally.lost_place else 0


def report_speed(texts: list[str], passes: int) -> None:
    mb = sum(len(t.encode("utf-8", "surrogatepass")) for t in texts) / 1e6
    print(f"\nthroughput over the {len(texts)} compared texts, {mb:.1f} MB (best of {passes} passes)")
    t_scan = best_of(passes, by_scanner, texts)
    t_ast = best_of(passes, by_ast, texts)
    t_parse = best_of(passes, by_ast_parse_only, texts)
    print(f"  _native.scan          {t_scan:8.3f} s  {mb / t_scan:9.1f} MB/s")
    print(f"  ast.parse + walk      {t_ast:8.3f} s  {mb / t_ast:9.1f} MB/s")
    print(f"  ast.parse alone       {t_parse:8.3f} s  {mb / t_parse:9.1f} MB/s")
    ratio = t_ast / t_scan
    verdict = "PASS" if ratio >= BAR_RATIO else "FAIL"
    print(f"  scanner / (ast.parse + walk): {ratio:.1f}x  (bar >= {BAR_RATIO:.0f}x)  {verdict}")
    print(f"  scanner / ast.parse alone:    {t_parse / t_scan:.1f}x")


if __name__ == "__main__":
    sys.exit(main())
