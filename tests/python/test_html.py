"""Graph.to_html and --html: the page, opened in a real browser (Debian's
chromium driven by Playwright), checked against what the Graph says."""

import os
import re
import subprocess
import sys
from collections import Counter

import pytest

import tarnwick_graph as tg

CHROMIUM = os.environ.get("TARNWICK_CHROMIUM", "/usr/bin/chromium")

FILES = {
    "app.py": "import shop.web.views\n",
    "shop/__init__.py": "",
    "shop/core/__init__.py": "",
    "shop/core/models.py": "import json\nfrom shop.core import util\n",
    "shop/core/util.py": "def later():\n    import shop.web.views\n",
    "shop/web/__init__.py": "",
    "shop/web/views.py": (
        "from shop.core import models\n"
        "try:\n    import shop.extra\nexcept ImportError:\n    pass\n"
        "from typing import TYPE_CHECKING\n"
        "if TYPE_CHECKING:\n    from shop.core import util\n"
    ),
    "shop/extra.py": "import shop.web.views\nclass K:\n    import json\n",
}
STD = "(standard library)"
HOSTILE = "</script><script>window.__pwned=1</script>"


@pytest.fixture
def root(project):
    return project(FILES)


@pytest.fixture
def graph(root):
    return tg.build(root / "app.py", within=["shop"])


@pytest.fixture(scope="module")
def browser():
    sync_api = pytest.importorskip("playwright.sync_api", reason="playwright is not installed")
    if not os.access(CHROMIUM, os.X_OK):
        pytest.skip(f"chromium is not installed at {CHROMIUM}")
    # Playwright's driver and the browser are programs of their own: a
    # sanitizer runtime preloaded into this interpreter stays out of them.
    preload = os.environ.pop("LD_PRELOAD", None)
    try:
        p = sync_api.sync_playwright().start()
    finally:
        if preload is not None:
            os.environ["LD_PRELOAD"] = preload
    try:
        b = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"])
        yield b
        b.close()
    finally:
        p.stop()


@pytest.fixture
def open_page(browser, tmp_path):
    """open_page(graph) shows the graph's page; no console error may come."""
    pages, errors = [], []

    def open_(graph, expand=(), title=None):
        path = tmp_path / "graph.html"
        path.write_text(graph.to_html(title), encoding="utf-8")
        page = browser.new_page(viewport={"width": 1300, "height": 800})
        page.on("console", lambda m: errors.append(m.text) if m.type == "error" else None)
        page.on("pageerror", lambda e: errors.append(str(e)))
        page.goto(path.as_uri())
        page.wait_for_function("document.body.dataset.ready === '1'")
        for name in expand:
            page.click(f'g.box[data-name="{name}"]')
        pages.append(page)
        return page

    yield open_
    for page in pages:
        page.close()
    assert errors == []


def boxes(page):
    return set(page.eval_on_selector_all("g.box", "els => els.map(e => e.dataset.name)"))


def counts(page):
    shown = page.eval_on_selector_all(
        "text.count", "els => els.map(e => [e.dataset.from, e.dataset.to, e.textContent])")
    return {(f, t): int(n) for f, t, n in shown}


def box_of(name, depth):
    """The box a module stands in with the packages opened `depth` deep."""
    stdlib = name.partition(".")[0] in sys.stdlib_module_names
    return STD if stdlib else ".".join(name.split(".")[: depth + 1])


def expected_counts(graph, depth):
    pairs = ((box_of(a, depth), box_of(b, depth)) for a in graph for b in graph[a].imports)
    return dict(Counter(pair for pair in pairs if pair[0] != pair[1]))


def test_boxes_and_counts_match_the_graph(graph, open_page):
    page = open_page(graph)
    assert boxes(page) == {"__main__", "shop", STD}
    assert counts(page) == expected_counts(graph, 0)
    page.click('g.box[data-name="shop"]')  # a package opens into its parts
    assert boxes(page) == {"__main__", "shop", "shop.core", "shop.web", "shop.extra", STD}
    assert page.get_attribute('g.box[data-name="shop"]', "data-kind") == "init"
    assert counts(page) == expected_counts(graph, 1)
    page.click('g.box[data-name="shop.core"]')
    assert {"shop.core.models", "shop.core.util"} <= boxes(page)
    assert "shop.web.views" not in boxes(page)


def neighbours(page):
    script = "e => e.map(a => a.dataset.module)"
    return {side: page.eval_on_selector_all(f"#{side} a.module", script)
            for side in ("imports", "importers", "chain")}


FLAG = {"hide-function": "in_function", "hide-guarded": "guarded",
        "hide-type-checking": "type_checking", "hide-class": "in_class"}


@pytest.mark.parametrize("checkbox", [None, *FLAG])
@pytest.mark.parametrize("query, name", [
    ("util", "shop.core.util"), ("web.views", "shop.web.views"), ("shop.extra", "shop.extra"),
])
def test_search_shows_the_neighbourhood(graph, open_page, query, name, checkbox):
    page = open_page(graph)
    page.fill("#search", query)
    found = page.eval_on_selector_all("#search-results li", "e => e.map(li => li.dataset.module)")
    assert name in found
    page.press("#search", "Enter")
    assert page.text_content("#selected-name") == name
    if checkbox is not None:  # a context filter hides the imports made only there
        page.check(f"#{checkbox}")

    def kept(a, b):
        return checkbox is None or any(not getattr(s, FLAG[checkbox]) for s in graph.sites(a, b))

    shown = neighbours(page)
    assert sorted(shown["imports"]) == sorted(m for m in graph[name].imports if kept(name, m))
    assert sorted(shown["importers"]) == sorted(m for m in graph[name].imported_by if kept(m, name))
    if checkbox is not None:
        return
    assert shown["chain"] == graph.why(name)
    every = graph.importers(name) - {name}
    assert f"{len(every)} in all" in page.text_content("#importers h3")
    for item in page.query_selector_all("#imports li"):  # each import's line and flags
        sites = graph.sites(name, item.query_selector("a").get_attribute("data-module"))
        text = item.text_content()
        assert f"line {sites[0].line}" in text
        assert ("guarded" in text) == any(s.guarded for s in sites)
        assert ("TYPE_CHECKING" in text) == any(s.type_checking for s in sites)
    assert name in boxes(page)  # the packages around it opened


@pytest.mark.parametrize("control", ["#hide-stdlib", "#hide-outside"])
def test_module_filters_hide_boxes(graph, open_page, control):
    page = open_page(graph)
    assert STD in boxes(page)
    page.check(control)
    assert STD not in boxes(page) and "shop" in boxes(page)


def test_depth_limit(graph, open_page):
    page = open_page(graph, expand=["shop", "shop.core"])
    page.fill("#depth", "1")
    page.dispatch_event("#depth", "change")
    assert boxes(page) == {box_of(n, 2 if n.startswith("shop.core.") else 1)
                           for n, m in graph.items() if m.depth <= 1}
    assert any(m.depth > 1 for m in graph.values())


def test_cycles_are_highlighted(graph, open_page):
    page = open_page(graph, expand=["shop", "shop.core", "shop.web"])
    members = {n for group in graph.cycles() for n in group}
    assert members  # the fixture has cycles
    marked = set(page.eval_on_selector_all("g.box.cycle", "e => e.map(g => g.dataset.name)"))
    assert marked == members & boxes(page)
    assert page.locator("path.link.cycle").count() > 0
    page.click("a.cycle-link >> nth=0")
    lit = set(page.eval_on_selector_all("g.box.shown-cycle", "e => e.map(g => g.dataset.name)"))
    assert lit == set(graph.cycles()[0]) & boxes(page)


def test_screenshot_is_not_blank(graph, open_page, browser):
    import base64

    page = open_page(graph)
    shot = base64.b64encode(page.locator("#canvas").screenshot()).decode()
    blank = browser.new_page()
    colours = blank.evaluate(
        """src => new Promise(done => { const img = new Image(); img.onload = () => {
             const c = document.createElement('canvas'); c.width = img.width; c.height = img.height;
             const g = c.getContext('2d'); g.drawImage(img, 0, 0);
             const d = g.getImageData(0, 0, c.width, c.height).data; const seen = new Set();
             for (let i = 0; i < d.length; i += 4)
               seen.add((d[i] << 16) | (d[i + 1] << 8) | d[i + 2]);
             done(seen.size); }; img.src = 'data:image/png;base64,' + src; })""", shot)
    blank.close()
    assert colours > 20


def test_hostile_names_stay_text(project, open_page):
    root = project({"pkg/__init__.py": "", "pkg/<b>bold.py": "import pkg\n",
                    "pkg/a&b\"'.py": "import pkg\n"})
    with pytest.raises(tg.NotFound) as e:
        tg.build(packages=["pkg", HOSTILE], sys_path=[str(root)])
    graph = e.value.graph
    assert {"pkg.<b>bold", "pkg.a&b\"'"} <= set(graph)
    text = graph.to_html(title=HOSTILE)
    assert text.lower().count("</script") == 2  # the page's own two elements
    page = open_page(graph, title=HOSTILE)
    assert page.evaluate("window.__pwned") is None
    assert page.locator("b").count() == 0
    assert {"pkg.<b>bold", "pkg.a&b\"'"} <= boxes(page)
    assert HOSTILE in page.text_content("#problems")
    assert page.title() == HOSTILE


def graph_cli(root, *argv):
    return subprocess.run([sys.executable, "-m", "tarnwick_graph", *argv], cwd=root,
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("argv, code, err", [
    (["--html", "nowhere/g.html", "app.py"], 5, "tarnwick-graph: cannot write nowhere/g.html: "),
    (["--html", "g.html", "--legacy", "app.py"], 2, "--html need the exact engine"),
    (["--html", "g.html", "--json", "app.py"], 2, "not allowed with argument"),
])
def test_cli_errors(root, argv, code, err):
    proc = graph_cli(root, *argv)
    assert (proc.returncode, proc.stdout) == (code, "")
    assert err in proc.stderr and "Traceback" not in proc.stderr


def test_cli_writes_the_page(root):
    proc = graph_cli(root, "--html", "g.html", "--max-depth", "1", "app.py")
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")
    page = (root / "g.html").read_text(encoding="utf-8")
    assert page == tg.build(root / "app.py").subgraph(max_depth=1).to_html()
    # Offline: the one URL is SVG's namespace, which nothing fetches.
    assert set(re.findall(r"https?://[^\s\"']+", page)) == {"http://www.w3.org/2000/svg"}
