#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer build and test suite.
set -euo pipefail
tools/run-tests asan
