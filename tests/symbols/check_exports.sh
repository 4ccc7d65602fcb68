#!/usr/bin/env bash
# Compares the library's defined dynamic symbols with the exported table of
# the version script: nothing outside it may be visible. Names the sanitizer
# runtime adds (__asan_*, __odr_asan.*, __ubsan_*, __tsan_*) are ignored.
# Every name of the table must be defined, and no other.
set -euo pipefail
lib=$1 map=$2
want=$(grep -oE '[A-Za-z_][A-Za-z0-9_]*;' "$map" | tr -d ';' | grep -v '^local$' | sort -u)
have=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' \
       | grep -vE '^(__asan_|__odr_asan|__ubsan_|__tsan_|__sancov|_init$|_fini$)' | sort -u)
extra=$(comm -13 <(echo "$want") <(echo "$have"))
missing=$(comm -23 <(echo "$want") <(echo "$have"))
if [ -n "$extra" ]; then
  echo "exported outside the table:"; echo "$extra"; exit 1
fi
if [ -n "$missing" ]; then
  echo "table names not defined:"; echo "$missing"; exit 1
fi
echo "exports: $(echo "$have" | wc -l) names, all in the table"
