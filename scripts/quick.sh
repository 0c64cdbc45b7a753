#!/usr/bin/env bash
# The tests for daily work, a few minutes: one GCC build (build/quick,
# RelWithDebInfo, warnings as errors), its C++ core tests and the Python suite
# against it (the sessions the docs show need the installed command, and are
# skipped). pytest and mypy go into a venv under build/ (build/venv-quick); Debian
# packages are installed only when missing (libgtest-dev, cmake, ninja-build,
# chromium).
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
need_browser
install_missing "${missing[@]}"

[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "${test_packages[@]}"
# The tarnwick module's stubs, where the wheel puts them (the stub tests and
# mypy look for them there); the package itself is imported from the build.
platlib=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
rm -rf "$platlib/tarnwick-stubs" && cp -r stubs/tarnwick-stubs "$platlib/"

cmake -S . -B "$build" -G Ninja -DTARNWICK_TESTS=ON -DTARNWICK_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build "$build" -j"${JOBS:-2}"
ctest --test-dir "$build" -j"${JOBS:-2}" --output-on-failure
PYTHONPATH="$root/$build" TARNWICK_PROBE_DIR="$root/$build" \
  "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider "${@:-tests/python}"
