"""tarnwick-graph check: import-linter's contracts judged on tarnwick's graph.

Reads the command line, runs the check (tarnwick_graph.check) and formats
its verdicts; with --watch, checks again after every change to a source
file or the configuration and prints only the verdicts that changed.
"""

from __future__ import annotations

import os
import sys
import time

from ._build import Builder
from ._check import Checker, CheckResult, ConfigError, ContractResult, Violation
from ._native import Error
from .cli import quiet_stdout

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import TextIO

EXIT_KEPT = 0
EXIT_BROKEN = 1
EXIT_CONFIG = 2
EXIT_CANNOT_WRITE = 5
EXIT_INTERRUPTED = 130

# How often --watch asks the builder whether anything changed: a rebuild
# that finds nothing changed costs some hundredths of a millisecond.
POLL_SECONDS = 0.01

USAGE = "usage: tarnwick-graph check [--config FILE] [--contract ID]... [--json] [--watch]"

HELP = f"""{USAGE}

Checks the import contracts of import-linter's configuration (.importlinter,
setup.cfg or pyproject.toml in the current directory, or --config FILE) on
the import graph of the root packages.

options:
  --config FILE   the configuration file to read
  --contract ID   check only this contract (repeatable)
  --json          print the verdicts as JSON
  --watch         check again after every change to a source file or the
                  configuration, printing the verdicts that changed (Ctrl-C ends)
  -h, --help      show this help

exit codes: 0 every contract kept; 1 a contract broken; 2 bad usage or a
configuration that cannot be used (one line names the file, the section and
the key); 5 the output could not be written; 130 interrupted (Ctrl-C).
"""


class _Args:
    def __init__(self) -> None:
        self.config: str | None = None
        self.contracts: list[str] = []
        self.json = False
        self.watch = False


def _parse(words: Sequence[str]) -> _Args | str:
    """The arguments, or the one-line complaint about them."""
    args = _Args()
    k = 0
    while k < len(words):
        word = words[k]
        name, eq, value = word.partition("=")
        if name in ("--config", "--contract"):
            if not eq:
                if k + 1 >= len(words):
                    return f"{name} needs a value"
                k += 1
                value = words[k]
            if not value:
                return f"{name} needs a non-empty value"
            if name == "--config":
                args.config = value
            else:
                args.contracts.append(value)
        elif word == "--json":
            args.json = True
        elif word == "--watch":
            args.watch = True
        else:
            return f"unknown argument {word!r}"
        k += 1
    return args


def main(words: Sequence[str]) -> int:
    """The command `tarnwick-graph check ...`: its exit code."""
    if any(w in ("-h", "--help") for w in words):
        sys.stdout.write(HELP)
        return EXIT_KEPT
    args = _parse(words)
    if isinstance(args, str):
        print(f"tarnwick-graph check: {args} (see tarnwick-graph check --help)", file=sys.stderr)
        return EXIT_CONFIG
    # Under --watch a warning is said when it first appears, not at every check.
    said: set[str] = set()

    def warn(message: str) -> None:
        if message not in said:
            said.add(message)
            print(f"tarnwick-graph check: warning: {message}", file=sys.stderr)

    checker = Checker(args.config, contracts=args.contracts or None, builder=Builder(), warn=warn)
    out = sys.stdout
    try:
        if args.watch:
            return _watch(checker, args, out)
        try:
            result = checker.run()
            assert result is not None  # asked without only_if_changed
        except (ConfigError, Error) as e:
            print(f"tarnwick-graph check: {e}", file=sys.stderr)
            return EXIT_CONFIG
        _write(result, args.json, out)
        out.flush()
        return EXIT_KEPT if result.kept else EXIT_BROKEN
    except KeyboardInterrupt:
        print("tarnwick-graph check: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        quiet_stdout()
        return EXIT_KEPT
    except OSError as e:
        quiet_stdout()
        print(f"tarnwick-graph check: cannot write the output: {e.strerror or e}", file=sys.stderr)
        return EXIT_CANNOT_WRITE


def _watch(checker: Checker, args: _Args, out: TextIO) -> int:
    """Checks, then checks again whenever a source file or the configuration
    changes, printing the verdicts that changed; ends with Ctrl-C."""
    last: dict[str, ContractResult] = {}
    failing = ""
    while True:
        try:
            result = checker.run(only_if_changed=bool(last) or bool(failing))
        except (ConfigError, Error) as e:
            message = f"tarnwick-graph check: {e}"
            if message != failing:
                print(message, file=sys.stderr)
                failing = message
            result = None
        if result is not None:
            failing = ""
            changed = [c for c in result.contracts if last.get(c.id) != c]
            if changed:
                if last and not args.json:
                    out.write(f"-- {time.strftime('%H:%M:%S')}\n")
                shown = result._replace(contracts=tuple(changed))
                _write(shown, args.json, out, totals=result, previous=last)
                out.flush()
            last = {c.id: c for c in result.contracts}
        time.sleep(POLL_SECONDS)


def _verdict(contract: ContractResult) -> str:
    if contract.kept is None:
        return "NOT CHECKED (a custom contract type)"
    extra = []
    if contract.ignored:
        extra.append(f"{contract.ignored} ignored import{'s' * (contract.ignored != 1)}")
    if contract.warnings:
        extra.append(f"{len(contract.warnings)} warning{'s' * (len(contract.warnings) != 1)}")
    suffix = f" ({', '.join(extra)})" if extra else ""
    return ("KEPT" if contract.kept else "BROKEN") + suffix


def _write(
    result: CheckResult,
    as_json: bool,
    out: TextIO,
    totals: CheckResult | None = None,
    previous: dict[str, ContractResult] | None = None,
) -> None:
    """The report of `result` (with `totals`, the counts of that one); a
    contract broken before (in `previous`) and still broken shows only the
    chains it gained and lost."""
    if as_json:
        import json

        data = {"contracts": [c.to_dict() for c in result.contracts]}
        out.write(json.dumps(data, indent=2) + "\n")
        return
    for contract in result.contracts:
        out.write(f"{contract.name} ({contract.type}) {_verdict(contract)}\n")
        before = (previous or {}).get(contract.id)
        if contract.kept is False and before is not None and before.kept is False:
            _write_difference(before, contract, out)
        elif contract.kept is False:
            _write_broken(contract, out)
    every = (totals or result).contracts
    kept = sum(c.kept is True for c in every)
    broken = sum(c.kept is False for c in every)
    unchecked = len(every) - kept - broken
    tail = f", {unchecked} not checked" if unchecked else ""
    out.write(f"Contracts: {kept} kept, {broken} broken{tail}.\n")


def _write_broken(contract: ContractResult, out: TextIO) -> None:
    here = os.getcwd() + os.sep
    for violation in contract.violations:
        lines = [f"  {_heading(contract.type, violation)}"]
        for chain in violation.chains:
            lines.append(f"    {' -> '.join(chain.modules)}")
            for step in chain.steps:
                file = step.file
                if file is None:
                    lines.append(f"      {step.importer}  {step.text}")
                    continue
                if file.startswith(here):  # shown relative to the current directory
                    file = file[len(here) :]
                lines.append(f"      {file}:{step.line}  {step.text}")
            if len(chain.heads) > 1:
                lines.append(f"      also imported by: {', '.join(chain.heads[1:])}")
            if len(chain.tails) > 1:
                lines.append(f"      also importing: {', '.join(chain.tails[1:])}")
        lines.append("")
        out.write("\n".join(lines))
    for note in contract.notes:
        out.write(f"  {note}\n")
    for line in contract.guidance.splitlines():
        out.write(f"  {line}\n")


def _write_difference(before: ContractResult, now: ContractResult, out: TextIO) -> None:
    def chains(contract: ContractResult) -> dict[tuple[str, ...], None]:
        return {c.modules: None for v in contract.violations for c in v.chains}

    old, new = chains(before), chains(now)
    for modules in new:
        if modules not in old:
            out.write(f"  + {' -> '.join(modules)}\n")
    for modules in old:
        if modules not in new:
            out.write(f"  - {' -> '.join(modules)}\n")
    for note in now.notes:
        if note not in before.notes:
            out.write(f"  + {note}\n")


def _heading(kind: str, violation: Violation) -> str:
    if kind == "protected":
        return f"Illegal imports of protected package {violation.imported}:"
    if kind == "private_modules":
        return f"Private module {violation.imported} imported from outside its parent package:"
    if kind == "acyclic_siblings":
        return f"No cycles are allowed in {violation.imported}; these imports make them:"
    return f"{violation.importer} is not allowed to import {violation.imported}:"
