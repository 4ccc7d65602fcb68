#!/usr/bin/env bash
# The release preset (optimised, -Werror) built whole, not only the simulator
# the README's first command needs, and its test suite run: the optimiser
# warns about things a debug build never sees.
set -euo pipefail
tools/run-tests release
