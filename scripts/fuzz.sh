#!/usr/bin/env bash
# Builds the linux-fuzz preset and drives the libFuzzer targets of tests/fuzz.
#
#   scripts/fuzz.sh [fixed] [target...]       replay each seed corpus, then a repeatable run
#                                             per target (-seed=1, a fixed number of runs);
#                                             what test.sh runs
#   scripts/fuzz.sh campaign <seconds> [target...]
#                                             a random campaign of that many seconds per
#                                             target; inputs that reach new code are merged
#                                             into tests/fuzz/corpus/<target>/
#
# Targets are named without the _fuzz suffix (base64, config, packet, receive_path,
# resolve); default: all.
# A crash or a broken invariant fails the script; libFuzzer's report (with the input as
# bytes and base64) is printed together with a hex dump of the reproducer, which is kept
# under build/linux-fuzz/artifacts/. Every input that ever found a fault belongs in the
# target's corpus once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

# Runs per target for the repeatable run: about 30 s each on a quiet machine of the
# project's size (2 cores; measured: base64 650000 runs in 22 s, config 25000 in 49 s,
# resolve 430000 in 24 s, with the corpora of the first campaign; packet 70000 in 49 s and
# receive_path 16000 in 27 s of CPU time, with the corpora of their second campaign).
declare -A FIXED_RUNS=([base64]=850000 [config]=16000 [packet]=42000 [receive_path]=16000 [resolve]=520000)

mode=fixed
if [ $# -gt 0 ] && { [ "$1" = fixed ] || [ "$1" = campaign ]; }; then
  mode=$1
  shift
fi
seconds=0
if [ "$mode" = campaign ]; then
  [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]] || { echo "usage: scripts/fuzz.sh campaign <seconds> [target...]" >&2; exit 2; }
  seconds=$1
  shift
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for dir in tests/fuzz/corpus/*_fuzz; do targets+=("$(basename "$dir" _fuzz)"); done
fi

build=build/linux-fuzz
cmake --preset linux-fuzz -DVBX_WERROR=ON >/dev/null
cmake --build --preset linux-fuzz -j "$(nproc)" >/dev/null

artifacts=$build/artifacts
mkdir -p "$artifacts"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0

# report <target> <log>: libFuzzer's own report and a hex dump of each reproducer.
report() {
  echo "--- $1 failed; the end of libFuzzer's output:"
  tail -n 60 "$2"
  for file in "$artifacts/$1"-*; do
    [ -e "$file" ] || continue
    echo "--- reproducer $file ($(stat -c %s "$file") bytes; run: $build/tests/fuzz/$1_fuzz $file):"
    od -A d -t x1z -v "$file" | head -n 64
  done
}

for target in "${targets[@]}"; do
  binary=$build/tests/fuzz/${target}_fuzz
  corpus=tests/fuzz/corpus/${target}_fuzz
  [ -x "$binary" ] && [ -d "$corpus" ] || { echo "unknown fuzz target: $target" >&2; exit 2; }
  rm -f "$artifacts/$target"-*
  log=$work/$target.log
  common=(-artifact_prefix="$artifacts/$target-" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1)

  if [ "$mode" = fixed ]; then
    runs=${FIXED_RUNS[$target]:-100000}
    echo "=== fuzz $target: replay $(find "$corpus" -type f | wc -l) corpus inputs, then -seed=1 -runs=$runs"
    # The repeatable run grows a scratch copy of the corpus, never the repository's.
    mkdir -p "$work/$target"
    cp "$corpus"/* "$work/$target"/
    start=$SECONDS
    if "$binary" "${common[@]}" -runs=0 "$corpus" >"$log" 2>&1 &&
       "$binary" "${common[@]}" -seed=1 -runs="$runs" "$work/$target" >>"$log" 2>&1; then
      passed=$((passed + 1))
      echo "    $(grep -E '^stat::number_of_executed_units' "$log" | tail -n 1 | awk '{print $2}') executions in $((SECONDS - start)) s"
    else
      failed=$((failed + 1))
      report "$target" "$log"
    fi
  else
    echo "=== fuzz $target: campaign of $seconds s"
    mkdir -p "$work/$target"
    start=$SECONDS
    if "$binary" "${common[@]}" -max_total_time="$seconds" "$work/$target" "$corpus" >"$log" 2>&1; then
      passed=$((passed + 1))
      echo "    $(grep -E '^stat::number_of_executed_units' "$log" | tail -n 1 | awk '{print $2}') executions in $((SECONDS - start)) s"
    else
      failed=$((failed + 1))
      report "$target" "$log"
    fi
    # Keep only the new inputs that add coverage to the repository's corpus.
    before=$(find "$corpus" -type f | wc -l)
    "$binary" -merge=1 "$corpus" "$work/$target" >"$work/$target.merge.log" 2>&1 || true
    echo "    corpus: $before -> $(find "$corpus" -type f | wc -l) inputs"
  fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
