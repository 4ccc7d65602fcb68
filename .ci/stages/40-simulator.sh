#!/usr/bin/env bash
# The README's first command: tools/run-main builds krv-sim (release preset)
# and plays the built-in scenario; its exit status says whether every touch
# produced the expected events. The JSON form is checked to say the same.
set -euo pipefail
echo "tools/run-main (built-in scenario, text timeline and summary)"
tools/run-main > /tmp/krv-sim-ci.txt
tail -n 12 /tmp/krv-sim-ci.txt
echo "krv-sim --json"
# Into a file first: grep -q stops reading at the match, and the rest of
# the output would then kill krv-sim with SIGPIPE.
build/release/tools/krv-sim --json > /tmp/krv-sim-ci.json
grep -q '"ok": true' /tmp/krv-sim-ci.json
echo "krv-sim render"
build/release/tools/krv-sim render tap /tmp/krv-sim-ci.png
