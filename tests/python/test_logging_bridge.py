"""The bridge from the core's log facade to Python's `logging`. Each case runs in a fresh
interpreter, since the bridge's per-target cache is process-wide, and emits records through
the test-only probe extension, which carries its own copy of the bridge:
probe.emit(level, target, message, line) with levels 1..5 = Error, Warn, Info, Debug, Trace."""

import pytest

PRELUDE = """
import logging, sys
import _tarnwick_logprobe as probe
def show(fmt="%(name)s|%(levelno)s|%(message)s"):
    logging.basicConfig(level=1, stream=sys.stdout, format=fmt, force=True)
"""

CASES = [
    ("record_fields", """
show("%(name)s %(levelno)s %(pathname)s %(lineno)s %(args)s %(message)s %(exc_info)s")
probe.emit(4, "tarnwick::core::builder", "100% done %s", 42)
probe.emit(2, "tarnwick::core::types", "warned")
""", ["tarnwick.core.builder 10 probe.cpp 42 () 100% done %s None",
     "tarnwick.core.types 30 probe.cpp 0 () warned None"]),
    ("levels_map_and_trace_never_reaches_python", """
show()
for level in (1, 2, 3, 4, 5):
    probe.emit(level, "t::x", "m%d" % level)
print("formatted", probe.formatted())
""", ["t.x|40|m1", "t.x|30|m2", "t.x|20|m3", "t.x|10|m4", "formatted 4"]),
    ("first_record_caches_the_unconfigured_warn_level", """
probe.emit(4, "tarnwick::core::builder", "first debug")
show()
probe.emit(4, "tarnwick::core::builder", "later debug")
probe.emit(3, "tarnwick::core::builder", "later info")
probe.emit(4, "tarnwick::core::other", "other target")
probe.emit(2, "tarnwick::core::builder", "a warning")
print("formatted", probe.formatted())
""", ["tarnwick.core.other|10|other target", "tarnwick.core.builder|30|a warning", "formatted 2"]),
    ("less_verbose_later_still_takes_effect", """
show("%(message)s")
probe.emit(4, "a::b", "shown")
logging.getLogger().setLevel(logging.ERROR)
probe.emit(4, "a::b", "hidden")
probe.emit(1, "a::b", "error shown")
""", ["shown", "error shown"]),
    ("cache_entries_per_target_path", """
show("%(message)s")
logging.getLogger("a").setLevel(logging.ERROR)
probe.emit(4, "a", "a dropped")
probe.emit(4, "a::b", "a.b inherits ERROR")
logging.getLogger("a.c").setLevel(logging.DEBUG)
probe.emit(4, "a::c", "ac shown")
""", ["ac shown"]),
    ("raising_handler_is_printed_and_nothing_cached", """
calls = []
class Boom(logging.Handler):
    def emit(self, record):
        calls.append(record.msg)
        if len(calls) == 1:
            raise ValueError("handler exploded")
logging.getLogger().addHandler(Boom())
probe.emit(2, "x::y", "first")   # root at WARNING: had it been cached, Warn would stick
logging.getLogger().setLevel(logging.DEBUG)
probe.emit(4, "x::y", "second")
print(calls)
""", ["['first', 'second']"]),
    ("raising_getlogger_is_contained", """
real = logging.getLogger
def broken(name=None):
    raise RuntimeError("no loggers today")
logging.getLogger = broken
probe.emit(2, "x", "lost")
logging.getLogger = real
print("still running")
""", ["still running"]),
    # The last resort handler writes to sys.stderr.
    ("warning_reaches_the_last_resort_handler", """
sys.stderr = sys.stdout
probe.emit(2, "t::b", "unable to load")
probe.emit(4, "t::b", "no")
""", ["unable to load"]),
]


@pytest.mark.parametrize("body, stdout", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_bridge(run_python, probe_dir, body, stdout):
    proc = run_python(PRELUDE + body, extra_path=probe_dir)
    assert proc.stdout.splitlines() == stdout
    # Exceptions raised inside logging are printed, never passed on.
    assert ("Traceback" in proc.stderr) == ("raise " in body)


def test_failed_logging_import_is_a_panic(run_python, probe_dir):
    proc = run_python("""
        import sys
        sys.modules["logging"] = None
        try:
            import _tarnwick_logprobe
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception), e.args[0])
    """, extra_path=probe_dir)
    assert proc.stdout.startswith("PanicException False Failed to initialize python logging: ")
