"""The --html page at scale: its size, the time to write it, and the time
until it is usable in headless Chromium, for the synthetic 50,000-module
monorepo (bench/monorepo.py) and for django's whole package.

"Usable" is the page's own mark: it sets ``performance.mark("ready")`` and
``document.body.dataset.ready = "1"`` once the first layout is drawn; the
figure is that mark's time from the start of navigation (file read, JSON
parsed, data decoded, boxes laid out and drawn), the median of N loads, each
in a fresh browser context. Needs playwright (pip) and Debian's chromium:

    PYTHONPATH=$PWD/build/dev build/venv-html/bin/python bench/bench_html.py
    ... bench_html.py --runs 5 --monorepo build/monorepo-50000 --django DIR

DIR is the folder holding the django package (default: where this Python
finds it, else a wheel fetched with `pip download django` into
build/bench-html).
"""

from __future__ import annotations

import argparse
import glob
import importlib.util
import os
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

import monorepo  # beside this file, first on the path

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CHROMIUM = "/usr/bin/chromium"
BARS = {"monorepo": (15 * 2**20, 3.0), "django": (None, 1.0)}  # bytes, seconds to ready


def django_folder(given: str | None) -> str:
    if given:
        return given
    spec = importlib.util.find_spec("django")
    if spec is not None and spec.origin:
        return os.path.dirname(os.path.dirname(spec.origin))
    work = os.path.join(REPO, "build", "bench-html")
    site = os.path.join(work, "site")
    if not os.path.isdir(os.path.join(site, "django")):
        subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "django",
                        "-d", work], check=True)
        wheel = sorted(glob.glob(os.path.join(work, "django-*.whl")))[-1]
        with zipfile.ZipFile(wheel) as z:
            z.extractall(site)
    return site


def write_page(argv: list[str], cwd: str, out: str) -> float:
    """Runs `tarnwick-graph ARGV --html OUT` in CWD: its wall time."""
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "tarnwick_graph", *argv, "--html", out], cwd=cwd,
                   check=True)
    return time.perf_counter() - start


def time_to_ready(browser: object, path: str, runs: int) -> list[float]:
    times = []
    for _ in range(runs):
        context = browser.new_context(viewport={"width": 1400, "height": 900})  # type: ignore
        page = context.new_page()
        errors: list[str] = []
        page.on("pageerror", lambda e: errors.append(str(e)))
        page.goto("file://" + path)
        page.wait_for_function("document.body.dataset.ready === '1'", timeout=120_000)
        mark = page.evaluate("performance.getEntriesByName('ready')[0].startTime")
        context.close()
        if errors:
            raise SystemExit(f"{path}: the page failed: {errors[0]}")
        times.append(mark / 1000)
    return times


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--monorepo", help="folder holding mono/ (default: build/monorepo-50000, "
                        "made by bench/monorepo.py when missing)")
    parser.add_argument("--django", help="folder holding the django package")
    args = parser.parse_args()
    from playwright.sync_api import sync_playwright

    root = args.monorepo or os.path.join(REPO, "build", "monorepo-50000")
    if args.monorepo is None:
        monorepo.generate(root, 50_000)
    cases = {
        "monorepo": (["-m", "mono"], root),
        "django": ([os.path.join(django_folder(args.django), "django")], tempfile.gettempdir()),
    }
    print(f"load average before: {open('/proc/loadavg').read().strip()}")
    failed = False
    with tempfile.TemporaryDirectory() as tmp, sync_playwright() as p:
        browser = p.chromium.launch(executable_path=CHROMIUM)
        for name, (argv, cwd) in cases.items():
            out = os.path.join(tmp, name + ".html")
            written = write_page(argv, cwd, out)
            size = os.path.getsize(out)
            ready = time_to_ready(browser, out, args.runs)
            median = statistics.median(ready)
            most_bytes, most_seconds = BARS[name]
            ok = median <= most_seconds and (most_bytes is None or size <= most_bytes)
            failed |= not ok
            print(f"{name:9} {size / 2**20:6.2f} MiB  written in {written:5.2f} s  "
                  f"ready in {median:5.2f} s (median of {args.runs}: "
                  f"{', '.join(f'{t:.2f}' for t in ready)})  {'ok' if ok else 'OVER THE BAR'}")
        browser.close()
    print(f"load average after: {open('/proc/loadavg').read().strip()}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
