#!/usr/bin/env bash
# tools/check-sepolicy against a platform's system/sepolicy: it passes on
# device/sepolicy for user and userdebug, and fails on each of two planted
# faults with one finding naming the planted file and line: a rule that a
# platform neverallow forbids, and a property_contexts entry that repeats one.
#   sepolicy_check_test.sh PLATFORM_SEPOLICY
# Skips (77) when m4, checkpolicy, secilc or the platform policy is missing,
# unless KRV_SEPOLICY_REQUIRED=1 (the CI stage sets it). KRV_SEPOLICY_CACHE
# names a cache folder for the compiles (the CI stage shares its own).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
platform=${1:-}
missing=()
for tool in python3 m4 checkpolicy secilc; do
  command -v "$tool" >/dev/null || missing+=("$tool (Debian package $tool)")
done
[ -e "$platform" ] || missing+=("the platform policy ${platform:-(none given)}")
if [ ${#missing[@]} -gt 0 ]; then
  if [ "${KRV_SEPOLICY_REQUIRED:-}" = 1 ]; then
    echo "FAIL: missing ${missing[*]}"
    exit 1
  fi
  echo "skipped: missing ${missing[*]}"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cache=${KRV_SEPOLICY_CACHE:-$work/cache}
failures=0

# A copy of device/sepolicy under $work/NAME/device/sepolicy, so that the
# findings name device/sepolicy/FILE as they do in the repository.
copy() {
  mkdir -p "$work/$1/device"
  cp -r "$root/device/sepolicy" "$work/$1/device/"
}

# run NAME ARGS...: check-sepolicy from $work/NAME; sets status and out.
run() {
  local name=$1
  shift
  out=$(cd "$work/$name" && "$root/tools/check-sepolicy" --policy device/sepolicy --cache "$cache" "$@" \
          "$platform" 2>"$work/$name.err")
  status=$?
  echo "--- $name: exit $status"
  [ -n "$out" ] && printf '%s\n' "$out"
  tail -n 1 "$work/$name.err"
}

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# want_only NAME PATTERN: exit 1 and every finding (at least one) matches.
want_only() {
  [ "$status" = 1 ] || fail "$1: exit $status, want 1"
  [ -n "$out" ] || fail "$1: no finding"
  if printf '%s\n' "$out" | grep -qv -- "$2"; then
    fail "$1: a finding other than $2"
  fi
}

copy real
run real
[ "$status" = 0 ] || fail "device/sepolicy: exit $status, want 0"
[ -z "$out" ] || fail "device/sepolicy: findings on the real tree"

# A platform neverallow forbids raw access to block_device
# (private/domain.te); one variant is enough for it.
copy neverallow
te=$work/neverallow/device/sepolicy/krv_navd.te
echo 'allow krv_navd block_device:blk_file { open read write };' >>"$te"
line=$(wc -l <"$te")
run neverallow --variant user
want_only neverallow "^device/sepolicy/krv_navd.te:$line: allow krv_navd block_device:blk_file .* breaks the platform's neverallow at private/domain.te:[0-9]* .*\[user\]$"

# The library's property named twice.
copy property
pc=$work/property/device/sepolicy/property_contexts
first=$(grep -n '^persist.korrivan.nav ' "$pc" | cut -d: -f1)
entry=$(grep '^persist.korrivan.nav ' "$pc")
printf '%s\n' "$entry" >>"$pc"
line=$(wc -l <"$pc")
run property --variant user
want_only property "^device/sepolicy/property_contexts:$line: persist.korrivan.nav (exact) repeats device/sepolicy/property_contexts:$first \[user\]$"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
