#!/usr/bin/env bash
# Long fuzz run of both libFuzzer targets, side by side:
#   fuzz_parse  seeded with the standard library's .py files, inputs up to
#               64 KB, 1 s per input, 2 GB of memory at most;
#   fuzz_walk   seeded with its committed corpus.
# New inputs collect in $OUT/<target>/ (not in the repository); crashes land in
# $OUT. Keep fuzz/corpus/ small: add only minimised crashers by hand
# (`fuzz_x -minimize_crash=1 -runs=10000 crash-...`).
#
#   bash bench/fuzz_run.sh [PARSE_SECONDS [WALK_SECONDS]]   # default 1800 600
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
parse_seconds=${1:-1800}
walk_seconds=${2:-600}
build=${BUILD:-build/fuzz}
out=${OUT:-/tmp/tarnwick-fuzz}

CXX=${CXX:-clang++} cmake -S . -B "$build" -G Ninja -DTARNWICK_FUZZ=ON -DTARNWICK_EXTENSION=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2

seeds="$out/stdlib-seeds"
if [ ! -d "$seeds" ]; then
  mkdir -p "$seeds"
  stdlib=$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["stdlib"])')
  # One flat copy of every .py file outside site-packages.
  find "$stdlib" -path '*/site-packages' -prune -o -name '*.py' -print0 |
    while IFS= read -r -d '' f; do cp "$f" "$seeds/$(printf '%s' "$f" | md5sum | cut -c1-16).py"; done
fi
mkdir -p "$out/fuzz_parse" "$out/fuzz_walk"

cd "$out"
"$root/$build/fuzz_parse" "$out/fuzz_parse" "$seeds" "$root/fuzz/corpus/fuzz_parse" \
  -max_len=65536 -timeout=1 -rss_limit_mb=2048 -max_total_time="$parse_seconds" \
  -print_final_stats=1 >"$out/fuzz_parse.log" 2>&1 &
parse_pid=$!
"$root/$build/fuzz_walk" "$out/fuzz_walk" "$root/fuzz/corpus/fuzz_walk" \
  -max_len=4096 -timeout=5 -rss_limit_mb=2048 -max_total_time="$walk_seconds" \
  -print_final_stats=1 >"$out/fuzz_walk.log" 2>&1 &
walk_pid=$!
status=0
wait "$parse_pid" || status=1
wait "$walk_pid" || status=1
for t in fuzz_parse fuzz_walk; do
  echo "== $t"
  grep -E '^(stat::|Done|==[0-9]+== ERROR|SUMMARY)' "$out/$t.log" || true
done
exit "$status"
