#!/usr/bin/env bash
# Checks that the tree's layers include only what they may:
#   src/common           neither engine (and no Python.h)
#   src/contract         not the exact engine
#   src/exact            not the tarnwick module's engine
#   src/python/common    neither engine's core or binding
#   src/python/contract  not the exact engine's core or binding
#   src/python/exact     not the tarnwick module's core or binding
# Python.h itself is included only under src/python.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
forbid() {  # forbid DIR PATTERN WHAT
  local hits
  hits=$(grep -rnE "#include [\"<]($2)" "$1" || true)
  if [ -n "$hits" ]; then
    echo "$1 must not include $3:" >&2
    echo "$hits" >&2
    status=1
  fi
}
forbid src/common 'contract/|exact/|python/|Python\.h' "an engine or Python"
forbid src/contract 'exact/|python/|Python\.h' "the exact engine or Python"
forbid src/exact 'contract/|python/|Python\.h' "the tarnwick module's engine or Python"
forbid src/python/common 'contract/|exact/|python/contract/|python/exact/' "an engine"
forbid src/python/contract 'exact/|python/exact/' "the exact engine"
forbid src/python/exact 'contract/|python/contract/' "the tarnwick module's engine"
[ "$status" -eq 0 ] && echo "layers: every include stays within its layer"
exit "$status"
