#!/usr/bin/env bash
# Builds the extensions against Debian's debug interpreter (python3.11-dbg) and
# runs the Python suite there with every test repeated (tests/python/conftest.py):
# a test fails if the interpreter's total reference count and allocated block
# count grow in every run after warm-up.
#
#   bash scripts/refcount_check.sh
#   TARNWICK_REFCOUNT_RUNS=8 bash scripts/refcount_check.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
root=$(pwd)
py=/usr/bin/python3.11-dbg
build=build/dbg

missing=()
[ -x "$py" ] || missing+=(python3.11-dbg)
# The headers, and the debug pyconfig.h (with Py_DEBUG) next to them.
[ -f /usr/include/python3.11/Python.h ] || missing+=(libpython3.11-dev)
[ -f /usr/include/x86_64-linux-gnu/python3.11d/pyconfig.h ] || missing+=(libpython3.11-dbg)
need_build_tools
install_missing "${missing[@]}"

# Debian's /usr/include/python3.11d holds symlinks into /usr/include/python3.11;
# included as a system directory (-isystem), GCC follows them and picks up the
# release pyconfig.h, so Py_INCREF/Py_DECREF would skip the debug reference
# total. Plain -I keeps the debug configuration.
cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$py" -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_WERROR=ON \
  -DTARNWICK_TESTS=OFF -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON >/dev/null
cmake --build "$build" -j"${JOBS:-2}"

so=$(ls "$build"/tarnwick.cpython-311d-*.so)
if ! nm -D --undefined-only "$so" | grep ' _Py_RefTotal$' >/dev/null; then
  echo "$so was not compiled with Py_DEBUG (no _Py_RefTotal reference)" >&2
  exit 1
fi
loaded=$(cd / && PYTHONPATH="$root/$build" "$py" -c 'import tarnwick; print(tarnwick.__file__)')
case "$loaded" in
  "$root/$build/"*) echo "tarnwick imported from $loaded" ;;
  *) echo "expected the debug build, got $loaded" >&2; exit 1 ;;
esac
venv="$root/build/venv-dbg"
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "${test_packages[0]}"
TARNWICK_REFCOUNT_RUNS=${TARNWICK_REFCOUNT_RUNS:-5} PYTHONPATH="$root/$build" \
  "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider tests/python
