#!/usr/bin/env bash
# Builds the fuzz preset and runs each libFuzzer target for a bounded time,
# starting from its committed seeds (new inputs go to a scratch directory,
# never into fuzz/corpus). Prints the number of inputs each target ran.
#   fuzz/run-fuzzers.sh [seconds per target] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}
shift || true
targets=("$@")

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc 2>/dev/null || echo 2)" >/dev/null

# By default every target that has seeds.
if [ ${#targets[@]} -eq 0 ]; then
  for d in fuzz/corpus/*/; do
    t=$(basename "$d")
    [ -x "build/fuzz/fuzz/${t}_fuzz" ] && targets+=("$t")
  done
fi

max_len() {
  case $1 in
    frame_pair) echo 18435 ;;  # a frame pair and two bytes of pass duration
    command_pipe) echo 1024 ;;
    *) echo 4096 ;;
  esac
}

work=$(mktemp -d /tmp/krv-fuzz-XXXXXX)
status=0
for t in "${targets[@]}"; do
  bin=build/fuzz/fuzz/${t}_fuzz
  mkdir -p "$work/$t"
  echo "fuzzing $t for $secs s (seeds: fuzz/corpus/$t)"
  if "$bin" -max_total_time="$secs" -max_len="$(max_len "$t")" -timeout=30 -print_final_stats=1 \
       -artifact_prefix="$work/$t-" "$work/$t" "fuzz/corpus/$t" >"$work/$t.log" 2>&1; then
    runs=$(grep -a 'stat::number_of_executed_units' "$work/$t.log" | awk '{print $2}')
    echo "$t: ${runs:-?} inputs, no finding"
  else
    echo "$t: FINDING (log tail below; input saved under $work)"
    tail -n 60 "$work/$t.log"
    status=1
  fi
done
[ $status -eq 0 ] && rm -rf "$work"
exit $status
