#!/usr/bin/env bash
# ThreadSanitizer build and test suite (thread and wake races).
set -euo pipefail
tools/run-tests tsan
