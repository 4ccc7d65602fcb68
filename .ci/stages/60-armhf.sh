#!/usr/bin/env bash
# 32-bit ARM: cross build of the library, the host property service, the
# simulated hardware and the test suite (optimised, without the host tools),
# with the suite run under qemu-arm. The suite checks the library's needed
# libraries and its C library imports against bionic's table.
set -euo pipefail
source .ci/lib.sh
krv_cross_stage armhf arm-linux-gnueabihf qemu-arm
