#!/usr/bin/env bash
# Benchmarks, briefly: the bench preset (release, no sanitizers) is built and
# every benchmark runs once with short timings, so that they keep building
# and running. The figures of record come from a full run (docs/performance.md).
set -euo pipefail
source .ci/lib.sh
need_pkgs libbenchmark-dev
echo "building the bench preset"
cmake --preset bench >/dev/null
cmake --build --preset bench -j"$(nproc 2>/dev/null || echo 2)"
echo "frame analysis, reference and full pass (short timings)"
build/bench/bench/bench_analysis --benchmark_min_time=0.01 --benchmark_color=false
echo "runtime: latency, idle (1 s window), heap, stack, size (fewer rounds)"
build/bench/bench/bench_runtime --krv_smoke --benchmark_color=false
