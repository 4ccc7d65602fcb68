#!/usr/bin/env bash
# Loads the library into a real JVM with the simulated hardware preloaded and
# checks the swipes that simulateY / simulateX wrote.
#   run_jvm_test.sh <classes dir> <library dir> <preload .so>
set -euo pipefail
classes=$1 libdir=$2 preload=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KRV_PROPERTY_DIR=$work/props KRV_SIM_INPUT_LOG=$work/input.log
run() { LD_PRELOAD=$preload java -Djava.library.path="$libdir" -cp "$classes" NavCtrlJniDriver "$@"; }
run
run second-run
# Two input sessions of 68 records: simulateY starts at Y 608, simulateX at 0.
[ "$(wc -l < "$work/input.log")" -eq 2 ] || { echo "want 2 swipes:"; cat "$work/input.log"; exit 1; }
read -r -a up < <(sed -n 1p "$work/input.log")
read -r -a down < <(sed -n 2p "$work/input.log")
# Fields: records N, then type code value per record; record 3 is the first Y.
check() {
  local name=$1 want_y=$2; shift 2
  local rec=("$@")
  [ "${rec[1]}" = 68 ] || { echo "$name: ${rec[1]} records"; exit 1; }
  [ "${rec[8]} ${rec[9]} ${rec[10]}" = "3 54 $want_y" ] || { echo "$name: third record ${rec[*]:8:3}"; exit 1; }
}
check simulateY 608 "${up[@]}"
check simulateX 0 "${down[@]}"
echo "JVM drove the library: 2 swipes of 68 records, enable state persisted"
