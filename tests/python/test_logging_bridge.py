"""The bridge from the core's log facade to Python's `logging`.

Each test runs in a fresh interpreter, since the bridge's per-target cache is
process-wide, and emits records through the test-only probe extension, which
carries its own copy of the bridge.
"""

ERROR, WARN, INFO, DEBUG, TRACE = 1, 2, 3, 4, 5

PRELUDE = """
import logging, sys
import _tarnwick_logprobe as probe
records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append(record)
"""


def run_probe(run_python, probe_dir, body):
    return run_python(PRELUDE + body, extra_path=probe_dir)


def test_record_fields_and_logger_name(run_python, probe_dir):
    proc = run_probe(
        run_python,
        probe_dir,
        """
logging.getLogger().addHandler(Keep())
logging.getLogger().setLevel(logging.DEBUG)
probe.emit(4, "tarnwick::core::builder", "100% done %s", 42)
probe.emit(2, "tarnwick::core::types", "warned")
for r in records:
    print(r.name, r.levelno, r.pathname, r.lineno, repr(r.args), r.getMessage(), r.exc_info)
""",
    )
    lines = proc.stdout.splitlines()
    assert lines == [
        "tarnwick.core.builder 10 probe.cpp 42 () 100% done %s None",
        "tarnwick.core.types 30 probe.cpp 0 () warned None",
    ]


def test_levels_map_and_trace_never_reaches_python(run_python, probe_dir):
    proc = run_probe(
        run_python,
        probe_dir,
        """
logging.getLogger().addHandler(Keep())
logging.getLogger().setLevel(1)
for level in (1, 2, 3, 4, 5):
    probe.emit(level, "t::x", "m%d" % level)
print([(r.levelno, r.msg) for r in records], probe.formatted())
""",
    )
    assert proc.stdout.strip() == "[(40, 'm1'), (30, 'm2'), (20, 'm3'), (10, 'm4')] 4"


def test_unconfigured_logging_caches_warn_filter(run_python, probe_dir):
    proc = run_probe(
        run_python,
        probe_dir,
        """
probe.emit(4, "tarnwick::core::builder", "first debug")
before = probe.formatted()
logging.basicConfig(level=logging.DEBUG, stream=sys.stdout)
probe.emit(4, "tarnwick::core::builder", "later debug")
probe.emit(3, "tarnwick::core::builder", "later info")
after_debug = probe.formatted()
probe.emit(2, "tarnwick::core::builder", "a warning")
print("formatted", before, after_debug, probe.formatted())
""",
    )
    out = proc.stdout
    # The first debug record found the root logger at WARNING: Warn is cached
    # for the target, so later debug/info records are dropped before Python.
    assert "later debug" not in out and "later info" not in out
    assert "WARNING:tarnwick.core.builder:a warning" in out
    assert "formatted 0 0 1" in out


def test_warning_reaches_last_resort_handler(run_python, probe_dir):
    proc = run_probe(
        run_python,
        probe_dir,
        """
probe.emit(2, "tarnwick::core::builder", "unable to load")
probe.emit(4, "tarnwick::core::builder", "debug dropped")
""",
    )
    assert proc.stderr.strip() == "unable to load"


def test_configuring_first_enables_debug(run_python, probe_dir):
    proc = run_probe(
        run_python,
        probe_dir,
        """
logging.basicConfig(level=logging.DEBUG, stream=sys.stdout, format="%(name)s|%(levelname)s|%(message)s")
probe.emit(4, "tarnwick::core::builder", "one")
probe.emit(4, "tarnwick::core::builder", "two")
probe.emit(4, "tarnwick::core::types", "three")
""",
    )
    assert proc.stdout.splitlines() == [
        "tarnwick.core.builder|DEBUG|one",
        "tarnwick.core.builder|DEBUG|two",
        "tarnwick.core.types|DEBUG|three",
    ]


def test_less_verbose_later_still_takes_effect(run_python, probe_dir):
    proc = run_probe(
        run_python,
        probe_dir,
        """
logging.basicConfig(level=logging.DEBUG, stream=sys.stdout, format="%(message)s")
probe.emit(4, "a::b", "shown")
logging.getLogger().setLevel(logging.ERROR)
probe.emit(4, "a::b", "hidden")
probe.emit(1, "a::b", "error shown")
""",
    )
    assert proc.stdout.splitlines() == ["shown", "error shown"]


def test_cache_is_per_target_path(run_python, probe_dir):
    proc = run_probe(
        run_python,
        probe_dir,
        """
logging.getLogger().addHandler(Keep())
logging.getLogger("a").setLevel(logging.ERROR)
logging.getLogger().setLevel(logging.DEBUG)
probe.emit(4, "a", "a dropped")          # caches Error for "a"
probe.emit(4, "a::b", "ab shown")        # its own entry: logger a.b inherits ERROR
logging.getLogger("a.c").setLevel(logging.DEBUG)
probe.emit(4, "a::c", "ac shown")
probe.emit(4, "b", "b shown")
print([r.msg for r in records])
""",
    )
    assert proc.stdout.strip() == "['ac shown', 'b shown']"


def test_raising_handler_prints_and_caches_nothing(run_python, probe_dir):
    proc = run_probe(
        run_python,
        probe_dir,
        """
calls = []
class Boom(logging.Handler):
    def emit(self, record):
        calls.append(record.msg)
        if len(calls) == 1:
            raise ValueError("handler exploded")
root = logging.getLogger()
root.addHandler(Boom())
probe.emit(2, "x::y", "first")   # root at WARNING: had it cached, Warn would stick
root.setLevel(logging.DEBUG)
probe.emit(4, "x::y", "second")  # reaches Python: nothing was cached
print(calls)
""",
    )
    assert proc.stdout.strip() == "['first', 'second']"
    assert "ValueError: handler exploded" in proc.stderr
    assert "Traceback" in proc.stderr


def test_raising_getlogger_is_contained(run_python, probe_dir):
    proc = run_probe(
        run_python,
        probe_dir,
        """
real = logging.getLogger
def broken(name=None):
    raise RuntimeError("no loggers today")
logging.getLogger = broken
probe.emit(2, "x", "lost")
logging.getLogger = real
print("still running")
""",
    )
    assert proc.stdout.strip() == "still running"
    assert "RuntimeError: no loggers today" in proc.stderr


def test_failed_logging_import_is_a_panic(run_python, probe_dir):
    proc = run_python(
        """
import sys
sys.modules["logging"] = None
try:
    import _tarnwick_logprobe
except BaseException as e:
    print(type(e).__name__, isinstance(e, Exception), e.args[0])
""",
        extra_path=probe_dir,
    )
    name, is_exception, message = proc.stdout.strip().split(" ", 2)
    assert name == "PanicException"
    assert is_exception == "False"
    assert message.startswith("Failed to initialize python logging: ")
    assert "logging" in message
