#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every suite: the C++ core
# tests (CTest) and the Python tests (pytest), first in a normal build against
# the pip-installed extension, then again in an ASan+UBSan build.
#
#   bash scripts/test.sh            # everything
#   TARNWICK_SKIP_SANITIZE=1 ...    # skip the sanitizer pass (local iteration)
#   TARNWICK_SKIP_VALGRIND=1 ...    # skip the valgrind pass (local iteration)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
py=${PYTHON:-python3}
jobs=${JOBS:-2}

step() { printf '\n==== %s\n' "$*"; }

step "system packages"
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v ninja >/dev/null || missing+=(ninja-build)
command -v cmake >/dev/null || missing+=(cmake)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

step "python packages"
"$py" -m pip install -q --disable-pip-version-check pytest

step "pip install ."
"$py" -m pip install -q --disable-pip-version-check .

step "C++ tests (release build)"
cmake -S . -B build/test -G Ninja -DTARNWICK_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/test -j"$jobs"
ctest --test-dir build/test -j"$jobs" --output-on-failure

step "Python tests (installed extension)"
installed=$(cd / && "$py" -c 'import tarnwick, os; print(os.path.dirname(tarnwick.__file__))')
echo "tarnwick imported from $installed"
(cd "$root" && TARNWICK_PROBE_DIR="$root/build/test" "$py" -m pytest -q -p no:cacheprovider tests/python)

step "reference counts (debug interpreter)"
bash scripts/refcount_check.sh

if [ -z "${TARNWICK_SKIP_VALGRIND:-}" ]; then
  step "valgrind memcheck (core tests, fuzz corpus replays, Python suite)"
  JOBS="$jobs" bash scripts/valgrind_check.sh
fi

if [ -n "${TARNWICK_SKIP_SANITIZE:-}" ]; then
  echo "sanitizer pass skipped (TARNWICK_SKIP_SANITIZE set)"
  exit 0
fi

step "C++ tests (ASan + UBSan)"
cmake -S . -B build/asan -G Ninja -DTARNWICK_TESTS=ON -DTARNWICK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan -j"$jobs" --output-on-failure

step "Python tests (ASan + UBSan extension)"
# The interpreter itself is not instrumented: the ASan runtime must be loaded
# first (LD_PRELOAD), together with libstdc++ so that ASan's interceptor finds
# the real __cxa_throw; leak detection is off because CPython keeps
# allocations alive until exit by design.
export LD_PRELOAD="$(${CXX:-g++} -print-file-name=libasan.so) $(${CXX:-g++} -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONPATH="$root/build/asan"
export TARNWICK_PROBE_DIR="$root/build/asan"
loaded=$(cd / && "$py" -c 'import tarnwick; print(tarnwick.__file__)')
case "$loaded" in
  "$root/build/asan/"*) echo "tarnwick imported from $loaded" ;;
  *) echo "expected the sanitizer build, got $loaded" >&2; exit 1 ;;
esac
"$py" -m pytest -q -p no:cacheprovider tests/python
