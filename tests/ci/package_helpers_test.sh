#!/usr/bin/env bash
# need_pkgs / download_pkgs (.ci/lib.sh) against stand-in apt-get and
# dpkg-query first on PATH, without the network: a failed index update is
# only a warning, a failed install or download fails with one line naming
# the packages, and Multi-Arch: same twins at different versions fail.
set -uo pipefail
lib=$(cd "$(dirname "$0")/../.." && pwd)/.ci/lib.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"

# Installed packages: one "name:arch version multi-arch" line each.
cat >"$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
db=$FAKE_DB
case "$2" in
  *'${Status}'*)
    p=$3; [ "$p" = "${p%:*}" ] && p=$p:amd64
    grep -q "^$p " "$db" && printf 'install ok installed' ;;
  *) while read -r p v m; do printf '%s %s %s ii \n' "$p" "$v" "$m"; done <"$db" ;;
esac
STUB
# apt-get: FAKE_UPDATE=fail breaks one index; FAKE_UNAVAILABLE lists
# packages no index offers; FAKE_STALE lists packages offered only at an
# older version (their architecture's index is stale).
cat >"$work/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE_LOG"
args=() ; for a in "$@"; do case $a in -*|Acquire*|DPkg*) ;; *) args+=("$a") ;; esac; done
cmd=${args[0]}; pkgs=("${args[@]:1}")
offered() { case " $FAKE_UNAVAILABLE " in *" $1 "*) return 1 ;; esac; }
version() { case " $FAKE_STALE " in *" $1 "*) echo 0.9 ;; *) echo 1.0 ;; esac; }
case $cmd in
  update)
    if [ "$FAKE_UPDATE" = fail ]; then
      echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-armhf/Packages.xz  File has unexpected size (359552 != 360800). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  install)
    for p in "${pkgs[@]}"; do offered "$p" || { echo "E: Unable to locate package $p" >&2; exit 100; }; done
    for p in "${pkgs[@]}"; do q=$p; [ "$q" = "${q%:*}" ] && q=$q:amd64; echo "$q $(version "$p") same" >>"$FAKE_DB"; done ;;
  download)
    rc=0
    for p in "${pkgs[@]}"; do
      offered "$p" || { echo "E: Can't find a source to download version of '$p'" >&2; rc=100; continue; }
      n=${p%%=*}; n=${n%%:*}; v=$(version "$p"); [ "$p" != "${p#*=}" ] && v=${p#*=}
      : >"${n}_${v//:/%3a}_amd64.deb"
    done
    exit $rc ;;
esac
STUB
chmod +x "$work/bin/"*

failures=0
# name | update | unavailable | stale | installed before | call | status | stderr must match | apt calls must match
cases=(
  "index broken, install works|fail|||base:amd64|need_pkgs foo bar:armhf|0|warning: apt-get update failed.*binary-armhf/Packages.xz \(File has unexpected size|install .* foo bar:armhf"
  "everything installed: apt is not called|ok|||foo:amd64|need_pkgs foo|0|^$|^$"
  "a package cannot be installed|ok|bar:armhf||base:amd64|need_pkgs foo bar:armhf|1|error: could not install: foo bar:armhf $|install"
  "only the missing ones are named|fail|bar||foo:amd64|need_pkgs foo bar|1|error: could not install: bar $|update"
  "stale twin index|fail||foo:armhf|foo:amd64|need_pkgs foo:armhf|1|Multi-Arch: same packages at different versions.* foo:amd64=1.0 foo:armhf=0.9|install"
  "download with a broken index|fail|||base:amd64|download_pkgs DL libc++-16-dev libc++-19-dev|0|^$|download"
  "download of one package fails|fail|libc++-19-dev||base:amd64|download_pkgs DL libc++-16-dev libc++-19-dev|1|error: could not download: libc\+\+-19-dev $|update"
  "download of a pinned version|ok|||base:amd64|download_pkgs DL linux-image-6.1=6.1.1-1|0|^$|download"
)
for c in "${cases[@]}"; do
  IFS='|' read -r name update unavailable stale before call want_rc want_err want_calls <<<"$c"
  t=$work/case; rm -rf "$t"; mkdir -p "$t/DL"
  : >"$t/db"; : >"$t/log"
  for p in $before; do echo "$p 1.0 same" >>"$t/db"; done
  (
    cd "$t"
    export PATH=$work/bin:$PATH FAKE_DB=$t/db FAKE_LOG=$t/log FAKE_UPDATE=$update
    export FAKE_UNAVAILABLE=$unavailable FAKE_STALE=$stale KRV_APT_RETRY_PAUSE=0
    unset KRV_APT_UPDATED
    source "$lib"
    $call >"$t/out" 2>"$t/err"
  )
  rc=$?
  ok=1
  [ "$rc" = "$want_rc" ] || { ok=0; echo "  status $rc, want $want_rc"; }
  if [ "$want_err" = '^$' ]; then
    [ -s "$t/err" ] && { ok=0; echo "  unexpected stderr"; }
  else
    tr '\n' ' ' <"$t/err" | grep -Eq "$want_err" || { ok=0; echo "  stderr does not match /$want_err/"; }
  fi
  if [ "$want_calls" = '^$' ]; then
    [ -s "$t/log" ] && { ok=0; echo "  apt-get was called"; }
  else
    grep -Eq "$want_calls" "$t/log" || { ok=0; echo "  apt-get calls do not match /$want_calls/"; }
    grep -q "install\|download" "$t/log" && ! grep -q "Acquire::Retries=3" "$t/log" && { ok=0; echo "  no apt retries"; }
  fi
  case $call in download_pkgs*)
    [ "$want_rc" = 0 ] && for p in ${call#download_pkgs DL }; do
      n=${p%%=*}; ls "$t/DL/${n}_"*.deb >/dev/null 2>&1 || { ok=0; echo "  $p not downloaded"; }
    done ;;
  esac
  if [ $ok = 1 ]; then echo "ok   $name"; else
    echo "FAIL $name"; sed 's/^/  stderr: /' "$t/err"; sed 's/^/  apt: /' "$t/log"; failures=$((failures + 1)); fi
done
echo "$failures of ${#cases[@]} cases failed"
[ $failures = 0 ]
