#!/usr/bin/env bash
# Runs the C++ core tests, the fuzz corpus replays and the Python suite under
# valgrind memcheck. Fails on any invalid access, use of uninitialised memory
# or block definitely lost.
#
#   bash scripts/valgrind_check.sh            # everything
#   bash scripts/valgrind_check.sh tests/python/test_parse.py   # pytest arguments
#
# The Python suite runs on Debian's debug interpreter (python3.11-dbg), from a
# venv of it under build/ that holds the pinned pytest, with the extension
# built against it. Nothing is installed into the system interpreter.
# CPython 3.11's integer code (maybe_small_long on a zero result) reads an
# uninitialised digit where it is built without optimisation, as the pyenv
# and the debug interpreters are, and the undefined pointer it yields reaches
# every later use of the small int 0, burying real reports in thousands of
# interpreter ones. So the interpreter's memory comes from
# PYTHONMALLOC=malloc_debug: every object is its own heap block (use after
# free and leaks show), handed out filled with a set byte, which gives that
# read a defined value, and the debug hooks check the guard bytes around each
# block when it is freed. CPython's suppressions are applied. Interpreters
# started by the tests (fresh-process tests) run natively.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
root=$(pwd)
py=/usr/bin/python3.11-dbg
build=build/vg
venv="$root/build/venv-vg"
logs="$root/$build/valgrind"

missing=()
command -v valgrind >/dev/null || missing+=(valgrind)
[ -x "$py" ] || missing+=(python3.11-dbg)
[ -f /usr/include/python3.11/Python.h ] || missing+=(libpython3.11-dev)
[ -f /usr/include/x86_64-linux-gnu/python3.11d/pyconfig.h ] || missing+=(libpython3.11-dbg)
"$py" -c 'import ensurepip' 2>/dev/null || missing+=(python3.11-venv)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
need_build_tools
install_missing "${missing[@]}"

[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "${test_packages[0]}"

# Plain -I for the debug headers, as in refcount_check.sh: Debian's
# python3.11d include folder holds symlinks that -isystem would resolve to the
# release pyconfig.h.
cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$py" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_WERROR=ON \
  -DTARNWICK_TESTS=ON -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON >/dev/null
cmake --build "$build" -j"${JOBS:-2}"

supp=()
[ -f /usr/lib/valgrind/python3.supp ] && supp+=(--suppressions=/usr/lib/valgrind/python3.supp)
rm -rf "$logs" && mkdir -p "$logs"
failed=0

# memcheck NAME COMMAND...: runs COMMAND under memcheck, logging to $logs/NAME.log.
memcheck() {
  local name=$1
  shift
  local status=0
  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite --show-leak-kinds=definite --num-callers=40 \
    "${supp[@]}" --log-file="$logs/$name.log" "$@" || status=$?
  printf '%-28s exit %-3s %s; %s\n' "$name" "$status" \
    "$(grep -o 'ERROR SUMMARY: [0-9,]* errors' "$logs/$name.log" | tail -1)" \
    "$(grep -o 'definitely lost: .*\|no leaks are possible' "$logs/$name.log" | tail -1)"
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "---- $logs/$name.log" && cat "$logs/$name.log"
  fi
}

memcheck core_tests "$build/tarnwick_core_tests" --gtest_brief=1
for replay in "$build"/fuzz_*_replay; do
  name=$(basename "$replay" _replay)
  [ -d "fuzz/corpus/$name" ] && memcheck "${name}_replay" "$replay" "fuzz/corpus/$name"
done

loaded=$(cd / && PYTHONPATH="$root/$build" "$venv/bin/python" -c 'import tarnwick; print(tarnwick.__file__)')
case "$loaded" in
  "$root/$build/"*) echo "tarnwick imported from $loaded" ;;
  *) echo "expected the valgrind build, got $loaded" >&2; exit 1 ;;
esac
PYTHONMALLOC=malloc_debug PYTHONPATH="$root/$build" TARNWICK_PROBE_DIR="$root/$build" \
  memcheck python_suite "$venv/bin/python" -m pytest -q -p no:cacheprovider "${@:-tests/python}"

exit "$failed"
