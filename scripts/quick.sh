#!/usr/bin/env bash
# The tests for daily work, a few minutes: one GCC build (build/quick,
# RelWithDebInfo, warnings as errors), its C++ core tests and the Python suite
# against it. pytest goes into a venv under build/ (build/venv-quick); Debian
# packages are installed only when missing (libgtest-dev, cmake, ninja-build).
# The whole test command is scripts/test.sh.
#
#   bash scripts/quick.sh                              # both suites
#   bash scripts/quick.sh tests/python/test_cli.py     # pytest arguments
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
root=$(pwd)
py=${PYTHON:-python3}
build=build/quick
venv="$root/build/venv-quick"

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
need_build_tools
install_missing "${missing[@]}"

[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "${test_packages[@]}"

cmake -S . -B "$build" -G Ninja -DTARNWICK_TESTS=ON -DTARNWICK_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$build" -j"${JOBS:-2}"
ctest --test-dir "$build" -j"${JOBS:-2}" --output-on-failure
PYTHONPATH="$root/$build" TARNWICK_PROBE_DIR="$root/$build" \
  "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider "${@:-tests/python}"
