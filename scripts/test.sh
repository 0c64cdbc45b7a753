#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every suite:
#   - the C++ core tests (CTest) with GCC in RelWithDebInfo and Release and
#     with clang, warnings as errors;
#   - the Python tests against the pip-installed package (then on CPython
#     3.12 and 3.13 when present) and against the clang build;
#   - the sdist and the manylinux wheel, each installed in a clean venv,
#     running the main job and the Python suite;
#   - the reference-count check, valgrind memcheck, and the suites again in
#     an ASan+UBSan build.
# Python packages go into venvs under build/ (never into the interpreter you
# run); Debian packages are installed only when missing.
#
#   bash scripts/test.sh            # everything
#   TARNWICK_SKIP_SANITIZE=1 ...    # skip the sanitizer pass (local iteration)
#   TARNWICK_SKIP_VALGRIND=1 ...    # skip the valgrind pass (local iteration)
#   TARNWICK_SKIP_WHEEL=1 ...       # skip the sdist and wheel checks (local iteration)
# For daily work, scripts/quick.sh runs the C++ and Python suites of one build.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
root=$(pwd)
py=${PYTHON:-python3}
jobs=${JOBS:-2}
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs
strict=(-G Ninja -DTARNWICK_TESTS=ON -DTARNWICK_WERROR=ON)
pytest_args=(-q -rs -p no:cacheprovider)

step() { printf '\n==== %s\n' "$*"; }

# venv_with DIR PYTHON PACKAGES...: a venv at DIR (made once) holding PACKAGES.
venv_with() {
  local dir=$1 exe=$2
  shift 2
  [ -x "$dir/bin/python" ] || "$exe" -m venv "$dir"
  "$dir/bin/python" -m pip install -q --disable-pip-version-check "$@"
}

step "system packages"
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v clang++ >/dev/null || missing+=(clang)
need_build_tools
need_browser
install_missing "${missing[@]}"

step "layers: what each folder of src/ may include"
bash scripts/check_layers.sh

step "Python $("$py" -c 'import sys; print(sys.version.split()[0])'): venv, pip install ."
venv="$root/build/venv-test"
venv_with "$venv" "$py" "${test_packages[@]}"
"$venv/bin/python" -m pip install -q --disable-pip-version-check .
vpy="$venv/bin/python"

step "C++ tests: GCC RelWithDebInfo"
cmake -S . -B build/test "${strict[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$vpy" >/dev/null
cmake --build build/test
ctest --test-dir build/test -j"$jobs" --output-on-failure

step "C++ tests: GCC Release"
cmake -S . -B build/test-release "${strict[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$vpy" >/dev/null
cmake --build build/test-release
ctest --test-dir build/test-release -j"$jobs" --output-on-failure

step "C++ tests and the Python suite: clang"
CXX=clang++ cmake -S . -B build/test-clang "${strict[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$vpy" >/dev/null
cmake --build build/test-clang
ctest --test-dir build/test-clang -j"$jobs" --output-on-failure
PYTHONPATH="$root/build/test-clang" TARNWICK_PROBE_DIR="$root/build/test-clang" \
  "$vpy" -m pytest "${pytest_args[@]}" tests/python

step "Python tests (installed package)"
installed=$(cd / && "$vpy" -c 'import tarnwick, tarnwick_graph, os; print(os.path.dirname(tarnwick.__file__))')
echo "tarnwick imported from $installed"
TARNWICK_PROBE_DIR="$root/build/test" "$vpy" -m pytest "${pytest_args[@]}" tests/python

# The other supported interpreters, when the machine has them: each gets a
# venv with the package installed and its own build of the logging probe.
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
  other="$root/build/venv-$v"
  venv_with "$other" "$exe" "${test_packages[@]}"
  "$other/bin/python" -m pip install -q --disable-pip-version-check .
  cmake -S . -B "build/test-$v" "${strict[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$other/bin/python" >/dev/null
  cmake --build "build/test-$v" --target _tarnwick_logprobe
  TARNWICK_PROBE_DIR="$root/build/test-$v" "$other/bin/python" -m pytest "${pytest_args[@]}" tests/python
  ran+=("$v")
done
echo "Python suite ran on: ${ran[*]}; not present, skipped: ${skipped[*]:-none} ($((SECONDS - started))s for the other versions)"

if [ -z "${TARNWICK_SKIP_WHEEL:-}" ]; then
  step "sdist and manylinux wheel, each in a clean venv: the main job and the Python suite"
  bash scripts/wheel_check.sh "$py"
fi

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
cmake -S . -B build/asan "${strict[@]}" -DTARNWICK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
  -DPython_EXECUTABLE="$vpy" >/dev/null
cmake --build build/asan
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
loaded=$(cd / && "$vpy" -c 'import tarnwick, tarnwick_graph; print(tarnwick.__file__, tarnwick_graph._native.__file__)')
case "$loaded" in
  "$root/build/asan/"*" $root/build/asan/"*) echo "imported from $loaded" ;;
  *) echo "expected the sanitizer build, got $loaded" >&2; exit 1 ;;
esac
"$vpy" -m pytest "${pytest_args[@]}" tests/python
