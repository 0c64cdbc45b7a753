"""Builders used from several Python threads."""

import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import tarnwick
import tarnwick_graph
from tarnwick_graph import _config, _native

# A tree that imports cleanly (a lookup that imports a failing package would
# retry that import on every lookup and race with other threads doing the same).
TEXT = "import tw_top, sys\nfrom tw_pkg import a, b\n"
FILES = {"tw_pkg/__init__.py": "from . import a\n", "tw_pkg/a.py": "from .b import x\nimport tw_m0\n",
         "tw_pkg/b.py": "import os\nx = 1\n", "tw_top.py": "import tw_pkg.b, tw_m1\n"}
FILES |= {f"tw_m{i}.py": f"import tw_m{(2 * i + 1) % 60}, tw_m{(3 * i + 2) % 60}\n" for i in range(60)}


def builds(builder):
    """Three builds with one builder (the first fresh, then from its cache)
    and one with a fresh builder."""
    return [{n.name: (n.depth, frozenset(n.dependents)) for n in b.build(TEXT).get_all_scoped("")}
            for b in [builder] * 3 + [tarnwick.GraphBuilder()]]


def test_separate_builders_in_threads_match_a_single_thread(tree):
    tree(FILES)
    expected = builds(tarnwick.GraphBuilder())
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter allows
    try:
        with ThreadPoolExecutor(4) as pool:  # map re-raises the first failure here
            results = list(pool.map(lambda _: builds(tarnwick.GraphBuilder()), range(4)))
    finally:
        sys.setswitchinterval(old)
    assert results == [expected] * 4


def test_an_exact_build_lets_other_threads_run(project):
    """The exact engine builds without the interpreter lock: a thread that
    sleeps a millisecond at a time keeps waking up while a build of some
    thousands of modules runs in another."""
    root = project({"big/__init__.py": ""} | {
        f"big/m{i}.py": "".join(f"import big.m{(i * 7 + k) % 3000}\n" for k in range(8))
        + "def f(x):\n    return x\n" * 20
        for i in range(3000)
    })
    took = []  # stays empty if the build fails

    def build():
        start = time.perf_counter()
        tarnwick_graph.build(packages=["big"], sys_path=[str(root)], workers=1)
        took.append(time.perf_counter() - start)

    wakeups, worker = 0, threading.Thread(target=build)
    worker.start()
    while worker.is_alive():
        time.sleep(0.001)
        wakeups += 1
    # Holding the lock for the whole build would allow a wake-up or two at
    # its ends; a free lock gives one about every millisecond (fewer under
    # valgrind, which runs one thread at a time, but still some tens).
    assert took and wakeups >= 10, (wakeups, took)


def test_a_builder_in_use_on_another_thread_raises_the_busy_error():
    """While one thread builds (here held inside a finder, without the
    interpreter lock), every call on the same builder from another thread
    raises Error; the builder serves again once the build ends."""
    started, release = threading.Event(), threading.Event()

    class Blocking:
        def find_spec(self, name, path=None, target=None):
            if name == "zz_wait":
                started.set()
                release.wait(60)

    builder = _native.Builder(_config.finder_config([]) | {"meta_path": [Blocking(), "builtin"]})
    worker = threading.Thread(target=builder.build, args=("text", "import zz_wait", "", None, 0))
    worker.start()
    try:
        assert started.wait(60)
        for call in (builder.stats, lambda: builder.find("sys"), lambda: builder.build("modules", ["sys"], "", None, 0)):
            with pytest.raises(_native.Error, match="already building on another thread"):
                call()
    finally:
        release.set()
        worker.join()
    assert builder.find("sys")[0] == "builtin"
