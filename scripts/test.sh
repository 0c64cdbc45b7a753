#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every suite: the C++ core
# tests (CTest) and the Python tests (pytest), first in a normal build against
# the pip-installed extension (then on CPython 3.12 and 3.13 when present),
# then again in an ASan+UBSan build.
#
#   bash scripts/test.sh            # everything
#   TARNWICK_SKIP_SANITIZE=1 ...    # skip the sanitizer pass (local iteration)
#   TARNWICK_SKIP_VALGRIND=1 ...    # skip the valgrind pass (local iteration)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
root=$(pwd)
py=${PYTHON:-python3}
jobs=${JOBS:-2}

step() { printf '\n==== %s\n' "$*"; }

step "system packages"
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
need_build_tools
install_missing "${missing[@]}"

step "python packages"
"$py" -m pip install -q --disable-pip-version-check pytest mypy

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

# The other supported interpreters, when the machine has them: each gets a
# venv with the wheel installed (scikit-build-core builds in build/<wheel tag>)
# and its own build of the logging probe.
find_python() {
  local cand
  for cand in "$(command -v "python$1" || true)" \
              $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$1".*/bin/"python$1" 2>/dev/null | sort -V -r); do
    [ -n "$cand" ] && "$cand" -c 'import sys' 2>/dev/null && { echo "$cand"; return; }
  done
}
ran=(3.11) skipped=() started=$SECONDS
for v in 3.12 3.13; do
  exe=$(find_python "$v")
  if [ -z "$exe" ]; then skipped+=("$v"); continue; fi
  step "Python $v ($exe): pip install ., probe build, Python tests"
  venv="$root/build/venv-$v"
  [ -x "$venv/bin/python" ] || "$exe" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest mypy
  CMAKE_BUILD_PARALLEL_LEVEL="$jobs" "$venv/bin/python" -m pip install -q --disable-pip-version-check .
  cmake -S . -B "build/test-$v" -G Ninja -DTARNWICK_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
  cmake --build "build/test-$v" -j"$jobs" --target _tarnwick_logprobe
  TARNWICK_PROBE_DIR="$root/build/test-$v" "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
  ran+=("$v")
done
echo "Python suite ran on: ${ran[*]}; not present, skipped: ${skipped[*]:-none} ($((SECONDS - started))s for the other versions)"

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
