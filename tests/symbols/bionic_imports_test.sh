#!/usr/bin/env bash
# The bionic import check on the library and on three small libraries built
# for the same target: one with glibc-named imports that bionic has under
# other names (passes), one importing pthread_cancel, which bionic lacks,
# and one importing getrandom, public only from API 28 (both fail; the
# latter passes when API 28 is asked for).
#   bionic_imports_test.sh CHECKER LIBRARY PROBE_OK PROBE_CANCEL PROBE_LATER
set -uo pipefail
check=$1 lib=$2 ok=$3 cancel=$4 later=$5
failures=0
# want (pass|fail), library, text the output must hold, checker arguments
while IFS='|' read -r want file text args; do
  [ -n "$want" ] || continue
  # shellcheck disable=SC2086
  out=$("$check" $args "$file" 2>&1)
  rc=$?
  got=pass
  [ $rc -eq 0 ] || got=fail
  if [ "$got" != "$want" ] || ! grep -qF -- "$text" <<<"$out"; then
    echo "FAILED: want $want with \"$text\" for ${file##*/} $args, got $got (status $rc):"
    echo "$out"
    failures=$((failures + 1))
  else
    echo "ok: ${file##*/} $args: $want"
  fi
done <<EOT
pass|$lib|all public in bionic|
pass|$ok|all public in bionic|
fail|$cancel|pthread_cancel: not in bionic|
fail|$later|getrandom: needs API 28, above 21|
pass|$later|all public in bionic, the latest from API 28|--api 28
EOT
[ $failures -eq 0 ]
