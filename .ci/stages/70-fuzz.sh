#!/usr/bin/env bash
# libFuzzer targets (clang 14, ASan + UBSan), each for a bounded time from
# its committed seeds: frame pairs, command-pipe reads, the host property
# store and, once it exists, the simulator's scenario parser.
set -euo pipefail
source .ci/lib.sh
need_pkgs clang-14 libclang-rt-14-dev
fuzz/run-fuzzers.sh "${KRV_FUZZ_SECONDS:-40}"
