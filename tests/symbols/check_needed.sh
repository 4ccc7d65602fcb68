#!/usr/bin/env bash
# The libraries the library needs at load time: the log (liblog), the
# property service (libcutils on Android, libkrv_properties.so on hosts)
# and the C library. No C++ runtime (libstdc++, libc++), no libm, no
# shared compiler support (libgcc_s).
#   check_needed.sh LIB...
set -euo pipefail
status=0
for lib in "$@"; do
  needed=$(readelf -dW "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
  extra=$(grep -vxE 'liblog\.so(\.[0-9]+)*|libcutils\.so|libkrv_properties\.so|libc\.so(\.[0-9]+)*' <<<"$needed" || true)
  if [ -n "$extra" ]; then
    echo "$lib needs more than liblog, the property library and libc:" $extra
    status=1
  else
    echo "$lib needs:" $needed
  fi
done
exit $status
