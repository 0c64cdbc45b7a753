"""`tarnwick-graph check` against import-linter's `lint-imports --no-cache`,
command line to command line, on the same configuration files.

Every timed run is a fresh process; the two tools take turns (A B A B ...)
and each figure is the median of N such pairs, with the machine's load
average printed beside it. Both must give the same verdicts (the exit code
and each contract's KEPT/BROKEN), or the bench fails. Run it with a python
whose venv holds import-linter, and tarnwick_graph on PYTHONPATH (or
installed):

    python3 -m venv build/venv-il && build/venv-il/bin/pip install import-linter==2.17
    PYTHONPATH=$PWD/build/dev build/venv-il/bin/python bench/bench_check.py [--runs 5]

Sections (--sections, comma-separated):
  django    the source tree of Django (downloaded once into
            build/bench-check/ with `pip download django`, unpacked), with
            four contracts: layers, forbidden, independence, protected
  monorepo  the synthetic monorepo of bench/monorepo.py (50,000 modules,
            build/monorepo-50000, generated when missing), a layers contract
            over --layers of its top packages (all 50 by default)
  watch     `tarnwick-graph check --watch` on a copy of the monorepo, with a
            forbidden and a protected contract: the time from a save that
            flips a verdict to the end of the report of the change
"""

from __future__ import annotations

import argparse
import glob
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
WORK = os.path.join(REPO, "build", "bench-check")
LINT = os.path.join(os.path.dirname(os.path.abspath(sys.executable)), "lint-imports")

DJANGO_CONFIG = """\
[importlinter]
root_package = django

[importlinter:contract:layers]
name = Django layers
type = layers
layers =
    django.contrib
    django.views
    django.template
    django.http
    django.db
    django.utils

[importlinter:contract:orm]
name = The ORM does not import HTTP or templates
type = forbidden
source_modules = django.db
forbidden_modules =
    django.http
    django.template

[importlinter:contract:independent]
name = Mail, cache and signing are independent
type = independence
modules =
    django.core.mail
    django.core.cache
    django.core.signing

[importlinter:contract:backends]
name = Only the ORM imports its backends
type = protected
protected_modules = django.db.backends
allowed_importers = django.db
"""

# For --watch: mod0 of pkg3.sub4 may not import pkg0.sub0.mod0 (as written
# by the generator it does not); the bench adds and removes that import.
WATCH_CONFIG = """\
[importlinter]
root_package = mono

[importlinter:contract:one]
name = One module kept from another
type = forbidden
source_modules = mono.pkg3.sub4.mod0
forbidden_modules = mono.pkg0.sub0.mod0
as_packages = False
allow_indirect_imports = True

[importlinter:contract:protected]
name = The first package only for the monorepo
type = protected
protected_modules = mono.pkg0
allowed_importers = mono
"""


def load() -> str:
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def tarnwick(config: str) -> list[str]:
    return [sys.executable, "-m", "tarnwick_graph", "check", "--config", config]


def lint(config: str) -> list[str]:
    return [LINT, "--no-cache", "--no-logo", config]


def verdicts(text: str) -> dict[str, bool]:
    """name -> kept, from either tool's report."""
    found = {}
    for m in re.finditer(r"^(.+?)(?: \([a-z_]+\))? (KEPT|BROKEN)\b", text, re.M):
        found[m[1]] = m[2] == "KEPT"
    return found


def environment() -> dict[str, str]:
    """Both tools run from compiled bytecode, as installed they would: the
    first (untimed) run of each writes it."""
    env = dict(os.environ, COLUMNS="200", NO_COLOR="1")
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return env


def timed(cmd: list[str], cwd: str) -> tuple[float, int, str]:
    env = environment()
    start = time.perf_counter()
    proc = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True)
    return time.perf_counter() - start, proc.returncode, proc.stdout


def paired(label: str, cwd: str, config: str, runs: int) -> None:
    """Times both commands in turns; fails unless their verdicts agree."""
    ours, theirs = [], []
    timed(tarnwick(config), cwd)
    timed(lint(config), cwd)
    for _ in range(runs):
        t, code, out = timed(tarnwick(config), cwd)
        ours.append(t)
        t2, code2, out2 = timed(lint(config), cwd)
        theirs.append(t2)
        if code != code2 or verdicts(out) != verdicts(out2):
            sys.exit(f"{label}: the verdicts differ: tarnwick {code} {verdicts(out)},"
                     f" lint-imports {code2} {verdicts(out2)}")
    a, b = statistics.median(ours), statistics.median(theirs)
    print(f"{label}: tarnwick-graph check {a:.3f} s, lint-imports --no-cache {b:.3f} s,"
          f" {b / a:.1f}x (medians of {runs} pairs; verdicts {verdicts(out)}; load {load()})")


def django_tree() -> str:
    root = os.path.join(WORK, "django-src")
    if not os.path.isdir(os.path.join(root, "django")):
        download = os.path.join(WORK, "dl")
        subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "django",
                        "-d", download], check=True)
        wheel = sorted(glob.glob(os.path.join(download, "Django-*.whl"))
                       + glob.glob(os.path.join(download, "django-*.whl")))[-1]
        zipfile.ZipFile(wheel).extractall(root)
    with open(os.path.join(root, ".importlinter"), "w") as f:
        f.write(DJANGO_CONFIG)
    return root


def monorepo_tree(modules: int) -> str:
    """build/monorepo-N of this checkout, or of the main one, or a new one."""
    for base in (os.path.join(REPO, "build"), "/work/main/build"):
        path = os.path.join(base, f"monorepo-{modules}")
        if os.path.exists(os.path.join(path, "mono", "__init__.py")):
            return path
    path = os.path.join(REPO, "build", f"monorepo-{modules}")
    subprocess.run([sys.executable, os.path.join(HERE, "monorepo.py"), path,
                    "--modules", str(modules)], check=True)
    return path


def layers_config(folder: str, layers: int) -> str:
    lines = "".join(f"    pkg{n}\n" for n in range(layers))
    path = os.path.join(folder, f"layers-{layers}.ini")
    with open(path, "w") as f:
        f.write(f"[importlinter]\nroot_package = mono\n\n[importlinter:contract:layers]\n"
                f"name = Top packages in layers\ntype = layers\ncontainers = mono\n"
                f"layers =\n{lines}")
    return path


def watch(source: str, saves: int) -> None:
    folder = os.path.join(WORK, "mono-watch")
    if not os.path.isdir(os.path.join(folder, "mono")):
        shutil.copytree(os.path.join(source, "mono"), os.path.join(folder, "mono"))
    config = os.path.join(folder, "watch.ini")
    with open(config, "w") as f:
        f.write(WATCH_CONFIG)
    module = os.path.join(folder, "mono", "pkg3", "sub4", "mod0.py")
    with open(module) as f:
        original = f.read()
    proc = subprocess.Popen(tarnwick(config) + ["--watch"], cwd=folder, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, bufsize=1, env=environment())
    try:
        report(proc)  # the first check
        delays = []
        for n in range(saves):
            text = original + ("import mono.pkg0.sub0.mod0\n" if n % 2 == 0 else "")
            time.sleep(0.2)
            start = time.perf_counter()
            with open(module, "w") as f:
                f.write(text)
            lines = report(proc)
            delays.append(time.perf_counter() - start)
            expected = "BROKEN" if n % 2 == 0 else "KEPT"
            if not any(expected in line for line in lines):
                sys.exit(f"watch: expected a {expected} verdict, got {lines}")
        added, removed = delays[0::2], delays[1::2]
        print(f"watch: save to re-printed verdict, median {statistics.median(delays) * 1000:.1f}"
              f" ms, max {max(delays) * 1000:.1f} ms over {saves} saves; saves adding the"
              f" import {statistics.median(added) * 1000:.1f} ms, removing it"
              f" {statistics.median(removed) * 1000:.1f} ms (medians; load {load()})")
    finally:
        proc.send_signal(2)
        proc.wait(timeout=30)
        with open(module, "w") as f:
            f.write(original)


def report(proc: subprocess.Popen[str]) -> list[str]:
    """The lines of one report, up to its Contracts: line."""
    lines: list[str] = []
    assert proc.stdout is not None
    while not lines or not lines[-1].startswith("Contracts:"):
        signal.alarm(600)  # no report within that: the bench ends with SIGALRM
        line = proc.stdout.readline()
        signal.alarm(0)
        if not line:
            sys.exit(f"watch: the command ended: {proc.stderr.read() if proc.stderr else ''}")
        lines.append(line)
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sections", default="django,monorepo,watch")
    parser.add_argument("--modules", type=int, default=50000)
    parser.add_argument("--layers", type=int, default=50)
    parser.add_argument("--saves", type=int, default=20)
    args = parser.parse_args()
    if not os.path.exists(LINT):
        sys.exit(f"no lint-imports beside {sys.executable}: pip install import-linter")
    os.makedirs(WORK, exist_ok=True)
    sections = args.sections.split(",")
    if "django" in sections:
        root = django_tree()
        paired("django", root, os.path.join(root, ".importlinter"), args.runs)
    if "monorepo" in sections or "watch" in sections:
        source = monorepo_tree(args.modules)
    if "monorepo" in sections:
        paired(f"monorepo-{args.modules}, {args.layers} layers", source,
               layers_config(WORK, args.layers), args.runs)
    if "watch" in sections:
        watch(source, args.saves)


if __name__ == "__main__":
    main()
