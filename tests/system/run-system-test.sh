#!/usr/bin/env bash
# Boots Debian's kernel under QEMU with the kvs508 driver module, the input
# modules and the system test program, and passes the guest's verdict on.
# The guest program's machine decides the guest: x86-64 boots Debian's
# amd64 kernel in qemu-system-x86_64, aarch64 its arm64 kernel in
# qemu-system-aarch64 -M virt.
#
#   run-system-test.sh --guest BIN --exit-helper BIN --lib LIBKRVNAV [--navd BIN --navctl BIN]
#                      [--compat32 BUILD_DIR] [--work DIR] [--timeout SECONDS]
#
# --navd and --navctl put krv-navd and navctl into the guest, which then
# runs the daemon as a device does; --compat32 names a 32-bit build tree of
# the library, krv-navd and navctl (i386 for an x86-64 guest, armhf for an
# arm64 one), which the guest runs the same way as 32-bit processes on its
# 64-bit kernel.
#
# Environment:
#   KRV_SYSTEM_LIB=PATH    run against this libkrvnav.so instead of --lib
#   KRV_SYSTEM_CACHE=DIR   where the kernel packages are kept (/var/cache/krv-system)
#   KRV_SYSTEM_REQUIRED=1  fail instead of skipping (77) when the tools are
#                          missing and cannot be installed
# Exit status: 0 pass, 77 skipped, anything else failure (timeout included).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

guest= exit_helper= lib= work= timeout_s=300 navd= navctl= compat=
while [ $# -gt 0 ]; do
  case $1 in
    --guest) guest=$2; shift 2 ;;
    --exit-helper) exit_helper=$2; shift 2 ;;
    --lib) lib=$2; shift 2 ;;
    --navd) navd=$2; shift 2 ;;
    --navctl) navctl=$2; shift 2 ;;
    --compat32) compat=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
lib=${KRV_SYSTEM_LIB:-$lib}
[ -n "$guest" ] && [ -n "$exit_helper" ] && [ -n "$lib" ] || { echo "usage: see the head of $0" >&2; exit 2; }
for f in "$guest" "$exit_helper" "$lib" $navd $navctl; do [ -f "$f" ] || { echo "missing: $f" >&2; exit 2; }; done
machine_of() { LC_ALL=C readelf -h "$1" | sed -n 's/^ *Machine: *//p'; }

# Per guest: Debian's architecture, the multiarch folders of the 64-bit
# and the 32-bit programs, the 32-bit programs' machine, their compilers
# (for the log object below).
case $(machine_of "$guest") in
  *X86-64*)
    arch=amd64 triple64=x86_64-linux-gnu triple32=i386-linux-gnu machine32='Intel 80386'
    cc64=gcc cc32=i686-linux-gnu-gcc
    pkgs=(qemu-system-x86 linux-headers-amd64 busybox-static cpio xz-utils) ;;
  AArch64)
    arch=arm64 triple64=aarch64-linux-gnu triple32=arm-linux-gnueabihf machine32=ARM
    cc64=aarch64-linux-gnu-gcc cc32=arm-linux-gnueabihf-gcc
    pkgs=(qemu-system-arm linux-kbuild-6.1 gcc-12-aarch64-linux-gnu cpio xz-utils) ;;
  *) echo "no guest for a program built for $(machine_of "$guest"): $guest" >&2; exit 2 ;;
esac
for f in "$lib" $navd $navctl; do
  [ "$(machine_of "$f")" = "$(machine_of "$guest")" ] || { echo "not built for the guest's machine: $f" >&2; exit 2; }
done
if [ -n "$compat" ]; then
  compat_lib=$compat/src/libkrvnav.so compat_navd=$compat/daemon/krv-navd
  compat_navctl=$(find "$compat" -maxdepth 2 -name navctl -type f | head -1)
  for f in "$compat_lib" "$compat_navd" "$compat_navctl"; do [ -f "$f" ] || { echo "missing in $compat: ${f:-navctl}" >&2; exit 2; }; done
  for f in "$compat_lib" "$compat_navd" "$compat_navctl"; do
    [ "$(machine_of "$f")" = "$machine32" ] || { echo "not a $machine32 program: $f" >&2; exit 2; }
  done
fi
work=${work:-$(mktemp -d)}
mkdir -p "$work" && work=$(cd "$work" && pwd)
t0=$(date +%s)
step() { echo "--- [$(( $(date +%s) - t0 )) s] $*"; }

# ---- packages (Debian's only)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=$(for p in "${pkgs[@]}"; do installed "$p" || echo "$p"; done)
if [ -n "$missing" ] && [ "$(id -u)" -ne 0 ]; then
  echo "system test needs: $missing (install as root)"
  [ "${KRV_SYSTEM_REQUIRED:-}" = 1 ] && exit 1
  exit 77
fi
step "packages: ${pkgs[*]}"
source "$repo/.ci/lib.sh"
need_pkgs "${pkgs[@]}"
cache=${KRV_SYSTEM_CACHE:-/var/cache/krv-system}
mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ] || cache=$work/cache
mkdir -p "$cache"
rm -rf "$work/kernel" "$work/root" "$work/kvs508"
mkdir -p "$work/kernel" "$work/kvs508"
cp "$here/kvs508/kvs508.c" "$here/kvs508/Kbuild" "$work/kvs508/"

# "NAME=VERSION" -> its .deb in the cache, downloaded when missing.
cached_deb() {
  local name=${1%%=*} version=${1#*=} arch_of deb
  arch_of=${name#*:}
  [ "$arch_of" = "$name" ] && arch_of='*'
  name=${name%%:*}
  deb=$(compgen -G "$cache/${name}_${version//:/%3a}_${arch_of}.deb" | head -1 || true)
  if [ -z "$deb" ]; then
    step "apt-get download $1" >&2
    download_pkgs "$cache" "$1" >&2
    deb=$(compgen -G "$cache/${name}_${version//:/%3a}_${arch_of}.deb" | head -1 || true)
  fi
  [ -s "$deb" ] || { echo "download failed: $1" >&2; return 1; }
  echo "$deb"
}

if [ $arch = amd64 ]; then
  # ---- the kernel that matches the installed headers metapackage
  dep=$(dpkg-query -W -f='${Depends}' linux-headers-amd64)  # linux-headers-KVER (= PKGVER)
  kver=${dep#linux-headers-}
  kver=${kver%% *}
  pkgver=$(sed -n 's/.*(= \([^)]*\)).*/\1/p' <<<"$dep")
  [ -n "$kver" ] && [ -n "$pkgver" ] || { echo "cannot read the kernel version from: $dep" >&2; exit 1; }
  headers=/usr/src/linux-headers-$kver
  [ -d "$headers" ] || { echo "missing $headers" >&2; exit 1; }
  image_deb=$(cached_deb "linux-image-$kver=$pkgver")
  make_args=()
  busybox=/bin/busybox
else
  # ---- one ABI for the kernel, its modules and the headers: the version
  # the arm64 kernel metapackage depends on in the package index. Its
  # headers (the arm64 part and the common part) are unpacked, not
  # installed, beside the kernel in the cache, their Makefile and scripts
  # pointed at the unpacked tree and at this machine's own kbuild
  # (linux-kbuild-6.1 is Multi-Arch: foreign).
  krv_add_arch arm64
  # One look into the index (each takes seconds): every version of the
  # metapackage and of busybox-static, the highest of each taken, as apt
  # would without pinning.
  index=$(apt-cache show linux-image-arm64:arm64 busybox-static:arm64 2>/dev/null || true)
  if [ -z "$index" ]; then
    krv_apt_update
    index=$(apt-cache show linux-image-arm64:arm64 busybox-static:arm64 2>/dev/null || true)
  fi
  # newest PACKAGE: "VERSION<tab>DEPENDS" of its highest version.
  newest() {
    local best= line
    while IFS= read -r line; do
      [ -z "$best" ] || dpkg --compare-versions "${line%%$'\t'*}" gt "${best%%$'\t'*}" && best=$line
    done < <(awk -v pkg="$1" -v OFS='\t' '/^Package: / { p = $2 } /^Version: / { v = $2 }
               /^Depends: / { d = substr($0, 10) } /^$/ { if (p == pkg) print v, d; p = v = d = "" }
               END { if (p == pkg) print v, d }' <<<"$index")
    echo "$best"
  }
  meta=$(newest linux-image-arm64)
  dep=${meta#*$'\t'}  # linux-image-KVER (= PKGVER)
  kver=${dep#linux-image-}
  kver=${kver%% *}
  pkgver=$(sed -n 's/.*(= \([^)]*\)).*/\1/p' <<<"$dep")
  [ -n "$kver" ] && [ -n "$pkgver" ] || { echo "cannot read the arm64 kernel version from the index: ${dep:-no linux-image-arm64:arm64}" >&2; exit 1; }
  kbuild=$(dpkg-query -W -f='${Version}' linux-kbuild-6.1)
  if ! dpkg --compare-versions "$kbuild" ge "$pkgver"; then
    step "linux-kbuild-6.1 $kbuild is older than the arm64 headers $pkgver: upgrading it"
    krv_apt install -y -qq --no-install-recommends linux-kbuild-6.1 >/dev/null
  fi
  step "arm64 kernel $kver ($pkgver), headers unpacked, kbuild $(dpkg-query -W -f='${Version}' linux-kbuild-6.1) of this machine"
  image_deb=$(cached_deb "linux-image-$kver:arm64=$pkgver")
  hdr_root=$cache/headers-$kver-$pkgver
  headers=$hdr_root/usr/src/linux-headers-$kver
  if [ ! -e "$hdr_root/.ready" ]; then
    rm -rf "$hdr_root"
    mkdir -p "$hdr_root"
    dpkg-deb -x "$(cached_deb "linux-headers-$kver:arm64=$pkgver")" "$hdr_root"
    dpkg-deb -x "$(cached_deb "linux-headers-${kver%-arm64}-common=$pkgver")" "$hdr_root"
    # "include /usr/src/linux-headers-KVER-common/Makefile" -> the unpacked one.
    sed -i "s|/usr/src/|$hdr_root/usr/src/|" "$headers/Makefile"
    for d in "$headers" "$hdr_root/usr/src/linux-headers-${kver%-arm64}-common"; do
      ln -sfn /usr/lib/linux-kbuild-6.1/scripts "$d/scripts"
      ln -sfn /usr/lib/linux-kbuild-6.1/tools "$d/tools"
    done
    touch "$hdr_root/.ready"
  fi
  make_args=(ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu-)
  bb_ver=$(newest busybox-static)
  bb_ver=${bb_ver%%$'\t'*}
  dpkg-deb --fsys-tarfile "$(cached_deb "busybox-static:arm64=$bb_ver")" | tar -x -C "$work/kernel" ./bin/busybox
  busybox=$work/kernel/bin/busybox
fi

# The kernel and the two input modules, unpacked once per package version.
unpacked=$cache/linux-image-$kver-$pkgver
if [ ! -e "$unpacked/.ready" ]; then
  step "extracting the kernel and the evdev/uinput modules of $kver"
  rm -rf "$unpacked"
  mkdir -p "$unpacked"
  dpkg-deb --fsys-tarfile "$image_deb" | tar -x -C "$unpacked" --wildcards \
    "./boot/vmlinuz-$kver" "./lib/modules/$kver/kernel/drivers/input/evdev.ko*" \
    "./lib/modules/$kver/kernel/drivers/input/misc/uinput.ko*"
  for z in "$unpacked"/lib/modules/"$kver"/kernel/drivers/input/{,misc/}*.ko.xz; do
    [ -e "$z" ] && xz -d "$z"
  done
  touch "$unpacked/.ready"
fi
kernel=$unpacked/boot/vmlinuz-$kver
if [ $arch = amd64 ]; then
  # The uncompressed kernel boots directly through its PVH entry note; the
  # compressed one is the fallback.
  vmlinux=$cache/vmlinux-$kver
  if [ ! -s "$vmlinux" ]; then
    off=$(LC_ALL=C grep -obUaP '\xfd\x37\x7a\x58\x5a\x00' "$kernel" | head -1 | cut -d: -f1 || true)
    if [ -n "$off" ]; then
      tail -c +"$((off + 1))" "$kernel" | xz -dc --single-stream >"$vmlinux.tmp" 2>/dev/null || true
      mv "$vmlinux.tmp" "$vmlinux"
    fi
  fi
  if [ -s "$vmlinux" ] && LC_ALL=C readelf -n "$vmlinux" 2>/dev/null | grep -q 'Xen.*0x00000012'; then
    kernel=$vmlinux
  fi
fi
step "kernel: $kernel"

# ---- the driver module, built against the matching headers
step "building kvs508.ko against $headers ${make_args[*]}"
make -s -C "$headers" M="$work/kvs508" "${make_args[@]}" modules 2>&1 | grep -v 'Skipping BTF' || true
[ -f "$work/kvs508/kvs508.ko" ] || { echo "module build failed" >&2; exit 1; }

# ---- initramfs: busybox, modules, the programs and what they load
root=$work/root
mkdir -p "$root"/{bin,usr/bin,usr/lib/krv,lib/modules,dev,proc,sys,tmp}
cp "$busybox" "$root/bin/busybox"
cp "$here/guest/init.sh" "$root/init"
cp "$exit_helper" "$root/bin/debug-exit"
cp "$guest" "$root/usr/bin/krv-system-test"
[ -z "$navd" ] || cp "$navd" "$navctl" "$root/usr/bin/"
cp "$unpacked"/lib/modules/"$kver"/kernel/drivers/input/evdev.ko \
   "$unpacked"/lib/modules/"$kver"/kernel/drivers/input/misc/uinput.ko \
   "$work/kvs508/kvs508.ko" "$root/lib/modules/"

# copy_closure DEST TRIPLET FILE...: what the files load (NEEDED), resolved
# as their loader would: each file's RUNPATH (the build tree), then
# Debian's multiarch folders for TRIPLET and its Android liblog folder;
# the loader itself at its absolute path. Names already in DEST (the
# chosen libkrvnav.so) are kept. No ldd: the host may not run the files.
copy_closure() {
  local dest=$1 triple=$2 f name found d loader
  shift 2
  local queue=("$@")
  while [ ${#queue[@]} -gt 0 ]; do
    f=${queue[0]}
    queue=("${queue[@]:1}")
    local dyn dirs=()
    dyn=$(LC_ALL=C readelf -d "$f")
    for d in $(sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p; s/.*(RPATH).*\[\(.*\)\]/\1/p' <<<"$dyn" | tr ':' ' '); do
      [ "${d#/}" != "$d" ] && dirs+=("$d")
    done
    dirs+=("/usr/lib/$triple/android" "/lib/$triple" "/usr/lib/$triple")
    for name in $(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dyn"); do
      [ -e "$dest/$name" ] && continue
      found=
      for d in "${dirs[@]}"; do [ -e "$d/$name" ] && { found=$d/$name; break; }; done
      [ -n "$found" ] || { echo "$name (needed by $f) not found in ${dirs[*]}" >&2; return 1; }
      cp -L "$found" "$dest/$name"
      echo "    $name <- $found"
      queue+=("$found")
    done
  done
}
copy_loader() {
  local loader
  loader=$(LC_ALL=C readelf -l "$1" | sed -n 's/.*program interpreter: \(.*\)\]/\1/p')
  [ -n "$loader" ] && [ -e "$loader" ] || { echo "loader of $1 missing: ${loader:-none}" >&2; return 1; }
  mkdir -p "$root$(dirname "$loader")"
  cp -L "$loader" "$root$loader"
  echo "    loader $loader <- $(readlink -f "$loader")"
}
# libkrv_log_debug.so, preloaded into each krv-navd so that its log keeps
# the library's debug lines as a device's logd does (guest/log_debug_lines.c).
build_log_object() {
  "$1" -shared -fPIC -O2 -Wall -Werror -isystem /usr/include/android -o "$2/libkrv_log_debug.so" \
    "$here/guest/log_debug_lines.c"
}

step "initramfs with the $arch programs and their shared libraries ($lib)"
cp -L "$lib" "$root/usr/lib/krv/libkrvnav.so"
echo "    libkrvnav.so <- $lib"
copy_closure "$root/usr/lib/krv" "$triple64" "$lib" "$guest" $navd $navctl
copy_loader "$guest"
build_log_object "$cc64" "$root/usr/lib/krv"
if [ -n "$compat" ]; then
  step "32-bit programs and their shared libraries ($compat)"
  mkdir -p "$root/usr/lib/krv32/bin"
  cp "$compat_navd" "$compat_navctl" "$root/usr/lib/krv32/bin/"
  cp -L "$compat_lib" "$root/usr/lib/krv32/libkrvnav.so"
  copy_closure "$root/usr/lib/krv32" "$triple32" "$compat_lib" "$compat_navd" "$compat_navctl"
  copy_loader "$compat_navd"
  build_log_object "$cc32" "$root/usr/lib/krv32"
fi
(cd "$root" && find . | cpio -o -H newc --quiet -R 0:0) | gzip -1 >"$work/initramfs.cpio.gz"
echo "    initramfs: $(( $(stat -c %s "$work/initramfs.cpio.gz") / 1024 )) KiB"

# ---- boot; the guest's verdict v ends QEMU with status 2v+1 (debug_exit.c)
if [ $arch = amd64 ]; then
  qemu=(qemu-system-x86_64 -machine pc,accel=tcg -smp 2 -m 512
        -device isa-debug-exit,iobase=0xf4,iosize=0x04)
  console=ttyS0
else
  # cortex-a57 runs 32-bit processes at EL0 and boots in about half the time
  # of -cpu max, whose pointer authentication is slow to emulate.
  qemu=(qemu-system-aarch64 -M virt -cpu cortex-a57 -accel tcg,thread=multi -smp 2 -m 512
        -semihosting-config enable=on,target=native,userspace=on)
  console=ttyAMA0
fi
step "booting ${qemu[0]} (TCG, timeout ${timeout_s} s)"
set +e
boot_start=$EPOCHREALTIME
timeout -k 5 "$timeout_s" "${qemu[@]}" -nographic -no-reboot -nic none \
  -kernel "$kernel" -initrd "$work/initramfs.cpio.gz" \
  -append "console=$console quiet panic=-1 oops=panic" </dev/null 2>&1 |
  while IFS= read -r line; do
    # The wall-clock time from QEMU's start to the guest's /init.
    if [ -n "$boot_start" ] && [[ $line == *"guest: kernel"* ]]; then
      awk -v now="$EPOCHREALTIME" -v start="$boot_start" \
        'BEGIN { printf "--- guest reached /init %.1f s after QEMU started\n", now - start }'
      boot_start=
    fi
    printf '%s\n' "$line"
  done | tee "$work/console.log"
rc=${PIPESTATUS[0]}
set -e
step "qemu exit status $rc"
case $rc in
  1) echo "system test PASSED"; exit 0 ;;
  124|137) echo "system test FAILED: timed out after ${timeout_s} s" ;;
  *) echo "system test FAILED (guest verdict $(( (rc - 1) / 2 )))" ;;
esac
exit 1
