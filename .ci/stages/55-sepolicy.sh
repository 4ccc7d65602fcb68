#!/usr/bin/env bash
# device/sepolicy compiled with the platform's own policy (Android 15's
# system/sepolicy, in the shared folder beside the clone) as the platform
# build compiles a system_ext policy, for user and userdebug builds
# (tools/check-sepolicy); then the test that shows the check failing on
# planted faults (ctest -L sepolicy). The two share a compile cache, made
# afresh here, so the test's run on the real tree takes the stage's result.
set -euo pipefail
source .ci/lib.sh
t0=$(date +%s)
need_pkgs python3 m4 checkpolicy secilc
platform=$(dirname "$PWD")/shared/android/sepolicy/system-sepolicy-android15.tar.xz
if [ ! -f "$platform" ]; then
  echo "error: the platform's policy $platform is missing (the shared folder lies beside the clone)" >&2
  exit 1
fi
echo "$(checkpolicy -V | head -1 | sed 's/^/checkpolicy policy versions /'); $(dpkg-query -W -f='secilc ${Version}' secilc)"
export KRV_SEPOLICY_CACHE=$PWD/build/sepolicy-cache
rm -rf "$KRV_SEPOLICY_CACHE"
tools/check-sepolicy --cache "$KRV_SEPOLICY_CACHE" "$platform"
cmake --preset default >/dev/null
KRV_SEPOLICY_REQUIRED=1 ctest --preset default -L sepolicy --output-on-failure
echo "sepolicy stage: $(($(date +%s) - t0)) s"
