"""Compares the imports tarnwick.parser.parse finds with those ast finds, over
the standard library, and sorts every difference into a category that the
import grammar explains (or "unexplained").

    PYTHONPATH=build/h-parser python3 bench/parse_differential.py [-v] [ROOT]

Each statement is compared in the dict form of tarnwick.parser.parse. A
statement ast sees but the parser does not is "missed"; one the parser
reports but ast does not is "extra".
"""

import argparse
import ast
import collections
import difflib
import io
import os
import re
import sys
import sysconfig
import tokenize

import tarnwick

parse = tarnwick.parser.parse

UNEXPLAINED = "unexplained"


def stdlib_files(root=None):
    root = root or os.environ.get("TARNWICK_STDLIB") or sysconfig.get_paths()["stdlib"]
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d != "site-packages")
        for name in sorted(filenames):
            if name.endswith(".py"):
                yield os.path.join(dirpath, name)


def read_source(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8")
    except (OSError, UnicodeDecodeError):
        return None


def _alias(a):
    return {"name": a.name, "asname": a.asname} if a.asname else {"name": a.name}


def as_dict(node):
    if isinstance(node, ast.Import):
        return {"type": "import", "names": [_alias(a) for a in node.names]}
    return {
        "type": "import_from",
        "module": node.module or "",
        "level": node.level,
        "names": [_alias(a) for a in node.names],
    }


def key(stmt):
    names = tuple((a["name"], a.get("asname")) for a in stmt.get("names", []))
    if stmt["type"] == "import":
        return ("import", names)
    return ("from", stmt.get("module"), stmt.get("level"), names)


def string_spans(tree):
    """Line spans (first, last) of every string constant, f-string included."""
    spans = []
    for node in ast.walk(tree):
        if isinstance(node, (ast.Constant, ast.JoinedStr)) and (
            isinstance(node, ast.JoinedStr) or isinstance(node.value, (str, bytes))
        ):
            spans.append((node.lineno, node.end_lineno))
    return spans


def comment_lines(source):
    """Line numbers holding a comment that ends with a backslash."""
    out = set()
    try:
        for tok in tokenize.generate_tokens(io.StringIO(source).readline):
            if tok.type == tokenize.COMMENT and tok.string.rstrip(" ").endswith("\\"):
                out.add(tok.start[0])
    except (tokenize.TokenError, SyntaxError, IndentationError):
        pass
    return out


# A triple quote where the grammar may start a construct: at the start of a
# line, or right after an import statement on the same line.
TRIPLE_START = re.compile(
    r"(?: *|(?: *(?:import|from) [\w., ()]*?))[rRuUbBfF]{0,4}(\"\"\"|\'\'\')"
)


def line_offsets(source):
    """Offset of the start of every line, as splitlines() splits them."""
    offsets = [0]
    for line in source.splitlines(keepends=True):
        offsets.append(offsets[-1] + len(line))
    return offsets


def grammar_triple_literal(source, offsets, lines, lineno):
    """Line number of a line before `lineno` that starts with a triple quote
    whose next closing triple lies past the start of line `lineno`, or None."""
    target = offsets[lineno - 1]
    for n in range(lineno - 1, 0, -1):
        m = TRIPLE_START.match(lines[n - 1])
        if not m:
            continue
        quote = m.group(1)
        close = source.find(quote, offsets[n - 1] + m.end())
        if close == -1 or close >= target:
            return n
    return None


def statement_text(lines, node):
    first = lines[node.lineno - 1]
    body = first[node.col_offset :]
    rest = lines[node.lineno : node.end_lineno]
    return "\n".join([body] + rest)


def classify_missed(node, source, offsets, lines, strings, continued_comments):
    """Why the grammar does not yield an import statement ast sees."""
    line = lines[node.lineno - 1]
    prefix = line[: node.col_offset]
    if isinstance(node, ast.ImportFrom) and any(a.name == "*" for a in node.names):
        return "star form"
    if prefix.strip(" "):
        if prefix.strip(" \t\f") == "":
            return "indentation with a tab or form feed"
        stripped = prefix.rstrip()
        if stripped.endswith(";"):
            return "statement after ';'"
        if stripped.endswith(":"):
            return "after ':' on the same line"
        return "not at the start of a line (other)"
    text = statement_text(lines, node)
    alone = parse(" " * node.col_offset + text)
    if alone and key(alone[0]) == key(as_dict(node)):
        # The statement parses alone, so something before it swallowed it.
        if node.lineno - 1 in continued_comments:
            return "after a backslash-continued comment"
        opener = grammar_triple_literal(source, offsets, lines, node.lineno)
        if opener is not None:
            if any(a < opener == b for a, b in strings):
                return "inside a literal opened by a closing triple quote (quote quirk)"
            return "inside a triple-quoted literal that starts a construct"
        return UNEXPLAINED
    if any(ord(c) > 127 for c in text.split("#")[0]):
        return "non-ASCII name"
    if re.search(r"#[^\n]*\n\s*,", text):
        return "comment between a name and its comma"
    if "\t" in text or "\f" in text:
        return "tab or form feed inside the statement"
    if re.match(r"import[^ ]", text) or re.match(r"from[^ \\]", text):
        return "keyword not followed by a space"
    if isinstance(node, ast.ImportFrom) and re.match(r"from \.+ +\w", text):
        return "whitespace after the leading dots"
    if re.search(r"import\(", text):
        return "'(' glued to import"
    if re.search(r"\\\n", text):
        return "backslash continuation the grammar does not take"
    return UNEXPLAINED


def classify_extra(stmt, lines, strings, missed_nodes):
    """Why the grammar yields a statement ast does not see."""
    def cut_short(full, part):
        return full != part and full.startswith(part) and ord(full[len(part)]) > 127

    names = [a["name"] for a in stmt.get("names", [])]
    for node in missed_nodes:
        if any(cut_short(a.name, n) for a in node.names for n in names):
            return "non-ASCII name cut short"
        module = stmt.get("module") or ""
        if isinstance(node, ast.ImportFrom) and module and cut_short(node.module or "", module):
            return "non-ASCII name cut short"
    word = "import " if stmt["type"] == "import" else "from "
    candidates = [
        i + 1
        for i, line in enumerate(lines)
        if line.lstrip(" ").startswith(word) or re.search(r"(^|[\"'#) ])" + word.strip() + r"[ \\]", line)
    ]
    if any(a <= n <= b for n in candidates for a, b in strings):
        return "import-like line inside a string literal the grammar does not see as one"
    return UNEXPLAINED


def compare_file(path, source):
    """Returns a list of (kind, category, detail) for one file, or None when ast rejects it."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError):
        return None
    nodes = [n for n in ast.walk(tree) if isinstance(n, (ast.Import, ast.ImportFrom))]
    nodes.sort(key=lambda n: (n.lineno, n.col_offset))
    found = parse(source)
    # Both lists are in text order; align them so that each difference is
    # reported at the statement it concerns.
    ast_keys = [key(as_dict(n)) for n in nodes]
    found_keys = [key(s) for s in found]
    missed = []
    extras = []
    matcher = difflib.SequenceMatcher(None, ast_keys, found_keys, autojunk=False)
    for op, a0, a1, b0, b1 in matcher.get_opcodes():
        if op != "equal":
            missed.extend(nodes[a0:a1])
            extras.extend(found[b0:b1])
    lines = source.splitlines()
    offsets = line_offsets(source)
    strings = string_spans(tree)
    continued = comment_lines(source)
    out = []
    for node in missed:
        category = classify_missed(node, source, offsets, lines, strings, continued)
        out.append(("missed", category, f"{path}:{node.lineno}: {lines[node.lineno - 1].strip()[:80]}"))
    for stmt in extras:
        category = classify_extra(stmt, lines, strings, missed)
        out.append(("extra", category, f"{path}: {stmt}"))
    return out


def run(paths, verbose=False, stream=sys.stdout):
    counts = collections.Counter()
    examples = {}
    files = skipped = statements = 0
    for path in paths:
        source = read_source(path)
        if source is None:
            skipped += 1
            continue
        result = compare_file(path, source)
        if result is None:
            skipped += 1
            continue
        files += 1
        statements += len(parse(source))
        for kind, category, detail in result:
            counts[(kind, category)] += 1
            examples.setdefault((kind, category), detail)
            if verbose:
                print(f"  [{kind}] {category}: {detail}", file=stream)
    print(f"files compared: {files}, skipped: {skipped}, statements found by parse: {statements}", file=stream)
    for (kind, category), n in sorted(counts.items(), key=lambda item: (-item[1], item[0])):
        print(f"{n:6d}  {kind:6s}  {category}", file=stream)
        print(f"        e.g. {examples[(kind, category)]}", file=stream)
    unexplained = sum(n for (kind, category), n in counts.items() if category == UNEXPLAINED)
    print(f"unexplained: {unexplained}", file=stream)
    return counts


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("root", nargs="?", help="directory to scan (default: the standard library)")
    ap.add_argument("-v", "--verbose", action="store_true", help="print every difference")
    args = ap.parse_args()
    counts = run(stdlib_files(args.root), verbose=args.verbose)
    return 1 if any(category == UNEXPLAINED for (_, category) in counts) else 0


if __name__ == "__main__":
    sys.exit(main())
