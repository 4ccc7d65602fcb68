# Shared helpers for .ci/run and its stages (sourced, not executed).
# need_pkgs PKG...: installs the Debian packages that are not installed yet.
need_pkgs() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  if [ -z "${KRV_APT_UPDATED:-}" ]; then
    apt-get -o DPkg::Lock::Timeout=600 update -qq || return 1
    export KRV_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || return 1
}
