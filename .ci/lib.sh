# Shared helpers for .ci/run, its stages and the scripts that install
# Debian packages (sourced, not executed).
#
#   need_pkgs PKG...           installs the packages that are not installed yet
#   download_pkgs DIR PKG...   downloads the packages' .deb files into DIR
#
# A package mirror in the middle of a sync serves some index files with the
# wrong size, and `apt-get update` then fails as a whole although every
# other index arrived. That is a warning here, naming the indexes that
# failed: the install or download that follows decides, and only its own
# failure fails the caller, with one line naming the packages it could not
# get. Installs and downloads use apt's own retries.

krv_apt() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3 "$@"
}

# One update per process (and its children), retried once after a short
# pause; a failure is reported and otherwise ignored.
krv_apt_update() {
  [ -n "${KRV_APT_UPDATED:-}" ] && return 0
  export KRV_APT_UPDATED=1
  local log attempt
  log=$(mktemp)
  for attempt in 1 2; do
    if krv_apt update -qq >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    [ "$attempt" = 1 ] && sleep "${KRV_APT_RETRY_PAUSE:-5}"
  done
  echo "warning: apt-get update failed; going on with the package indexes that did arrive. Failed:" >&2
  # "E: Failed to fetch URL  reason" (or W:): the URL and the reason, when
  # apt gives one (it does not for an index it failed on before).
  if ! sed -n -e 's/^[EW]: Failed to fetch \([^ ]*\) *$/  \1/p' \
              -e 's/^[EW]: Failed to fetch \([^ ]*\)  *\(..*\)$/  \1 (\2)/p' "$log" | sort -u | grep . >&2; then
    sed 's/^/  /' "$log" >&2
  fi
  rm -f "$log"
  return 0
}

krv_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# Multi-Arch: same packages must be at one version on every architecture
# they are installed for. With one architecture's index missing, apt could
# take a stale version for it; that must not pass unnoticed.
krv_check_same_versions() {
  local bad
  bad=$(dpkg-query -W -f='${binary:Package} ${Version} ${Multi-Arch} ${db:Status-Abbrev}\n' 2>/dev/null |
    awk '$3 == "same" && $4 ~ /^i/ { n = $1; sub(/:.*/, "", n); v[n] = v[n] " " $1 "=" $2; if (!(n in first)) first[n] = $2; else if (first[n] != $2) diff[n] = 1 }
         END { for (n in diff) print v[n] }')
  [ -z "$bad" ] && return 0
  echo "error: Multi-Arch: same packages at different versions on different architectures (a package index is missing or stale):" $bad >&2
  return 1
}

# Adds a foreign architecture for multiarch packages, once; the package
# lists are read again on the next install.
krv_add_arch() {
  local arch
  for arch in "$@"; do
    dpkg --print-foreign-architectures | grep -qx "$arch" && continue
    echo "adding the $arch architecture"
    dpkg --add-architecture "$arch"
    unset KRV_APT_UPDATED
  done
}

need_pkgs() {
  local missing=() p
  for p in "$@"; do
    krv_installed "$p" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  krv_apt_update
  if ! krv_apt install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    local failed=()
    for p in "${missing[@]}"; do
      krv_installed "$p" || failed+=("$p")
    done
    echo "error: could not install: ${failed[*]:-${missing[*]}}" >&2
    return 1
  fi
  krv_check_same_versions
}

# An ARM stage: the architecture's cross compiler, multiarch libraries and
# emulator, then the preset of the same name built and tested under
# emulation. ARCH (preset and Debian architecture), the compiler's triple,
# the emulator.
krv_cross_stage() {
  local arch=$1 triple=$2 emulator=$3
  krv_add_arch "$arch"
  need_pkgs "crossbuild-essential-$arch" qemu-user \
    "android-liblog-dev:$arch" "libgtest-dev:$arch" "libgmock-dev:$arch"
  echo "cross compiler: $("$triple-g++" --version | head -1)"
  echo "emulator: $("$emulator" --version | head -1)"
  tools/run-tests "$arch"
}

download_pkgs() {
  local dir=$1 p
  shift
  mkdir -p "$dir" || return 1
  # Downloads need the package lists: the update is made only once, and only
  # if a first try fails.
  if ! (cd "$dir" && krv_apt download -q "$@" >/dev/null 2>&1); then
    krv_apt_update
    (cd "$dir" && krv_apt download -q "$@" >/dev/null)
  fi
  local failed=()
  for p in "$@"; do
    # NAME[:ARCH][=VERSION] arrives as NAME_VERSION_ARCH.deb (an epoch's
    # colon as %3a).
    local name=${p%%=*} version=
    name=${name%%:*}
    [ "$p" != "${p#*=}" ] && version=${p#*=}
    version=${version//:/%3a}
    compgen -G "$dir/${name}_${version:-*}_*.deb" >/dev/null || failed+=("$p")
  done
  [ ${#failed[@]} -eq 0 ] && return 0
  echo "error: could not download: ${failed[*]}" >&2
  return 1
}
