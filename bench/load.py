"""Load run: many builds in one process, once with one builder and once with a
fresh builder per build. Prints the resident memory every --every builds; it
must reach a plateau. For the shared builder it also shows that the cache stops
growing once every module has been seen: a build of a text importing every
module of the rotation is served from the cache, so its graph holds the
cache's own nodes and edges below those modules, and its size and edge count
must stay the same from one report to the next.

    PYTHONPATH=build/<dir> python3 bench/load.py [--builds 10000] [--every 1000]
"""

import argparse
import gc
import os
import time

import tarnwick

TEXTS = [
    "import json",
    "from collections import Counter\nimport json.decoder",
    "import email.message",
    "import argparse, string",
]


def rss_mib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def run(label, builds, every, make_builder):
    """Runs `builds` builds over the rotation of texts, reporting as it goes;
    returns the RSS samples."""
    shared = make_builder()
    every_module = None
    samples = []
    start = time.perf_counter()
    for i in range(1, builds + 1):
        builder = shared if shared is not None else tarnwick.GraphBuilder()
        graph = builder.build(TEXTS[i % len(TEXTS)])
        if i % every:
            continue
        del graph
        gc.collect()
        samples.append(rss_mib())
        line = f"{label:13} builds={i:6}  rss={samples[-1]:7.1f} MiB  {time.perf_counter() - start:6.1f} s"
        if shared is not None:
            if every_module is None:  # every module of the rotation has been seen by now
                names = set()
                for text in TEXTS:
                    names.update(tarnwick.GraphBuilder().build(text).names())
                names.discard("<terminal>")
                every_module = "import " + ", ".join(sorted(names))
            full = shared.build(every_module)
            line += f"  from cache: {full.size()} nodes, {full.num_dependencies()} edges"
        print(line, flush=True)
    return samples


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--builds", type=int, default=10_000)
    parser.add_argument("--every", type=int, default=1_000)
    args = parser.parse_args()
    print(f"tarnwick from {tarnwick.__file__}, pid {os.getpid()}")
    for label, make in (("one builder", tarnwick.GraphBuilder), ("fresh builders", lambda: None)):
        samples = run(label, args.builds, args.every, make)
        half = len(samples) // 2
        print(
            f"{label}: rss first report {samples[0]:.1f} MiB, at half-way {samples[half - 1]:.1f} MiB, "
            f"max over the second half {max(samples[half:]):.1f} MiB, last {samples[-1]:.1f} MiB"
        )


if __name__ == "__main__":
    main()
