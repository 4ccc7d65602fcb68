#!/usr/bin/env bash
# Debug build with -Werror and the whole test suite: the README's test command.
set -euo pipefail
tools/run-tests default
