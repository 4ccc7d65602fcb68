#!/usr/bin/env bash
# clang-tidy, cppcheck, Valgrind memcheck and DRD (tools/run-analysis), then
# the format check of every C and C++ file and of Android.bp (bpfmt)
# (tools/check-format).
set -euo pipefail
source .ci/lib.sh
need_pkgs clang-tidy-14 clang-format-14 cppcheck valgrind blueprint-tools
tools/run-analysis
tools/check-format
