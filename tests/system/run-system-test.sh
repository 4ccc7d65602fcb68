#!/usr/bin/env bash
# Boots Debian's kernel under QEMU with the kvs508 driver module, the input
# modules and the system test program, and passes the guest's verdict on.
#
#   run-system-test.sh --guest BIN --exit-helper BIN --lib LIBKRVNAV [--navd BIN --navctl BIN]
#                      [--i386 BUILD_DIR] [--work DIR] [--timeout SECONDS]
#
# --navd and --navctl put krv-navd and navctl into the guest, which then
# runs the daemon as a device does; --i386 names a build tree of the
# library, krv-navd and navctl for i386, which the guest runs the same way
# as 32-bit processes on its 64-bit kernel.
#
# Environment:
#   KRV_SYSTEM_LIB=PATH    run against this libkrvnav.so instead of --lib
#   KRV_SYSTEM_CACHE=DIR   where the kernel package is kept (/var/cache/krv-system)
#   KRV_SYSTEM_REQUIRED=1  fail instead of skipping (77) when the tools are
#                          missing and cannot be installed
# Exit status: 0 pass, 77 skipped, anything else failure (timeout included).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)

guest= exit_helper= lib= work= timeout_s=300 navd= navctl= i386=
while [ $# -gt 0 ]; do
  case $1 in
    --guest) guest=$2; shift 2 ;;
    --exit-helper) exit_helper=$2; shift 2 ;;
    --lib) lib=$2; shift 2 ;;
    --navd) navd=$2; shift 2 ;;
    --navctl) navctl=$2; shift 2 ;;
    --i386) i386=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
lib=${KRV_SYSTEM_LIB:-$lib}
[ -n "$guest" ] && [ -n "$exit_helper" ] && [ -n "$lib" ] || { echo "usage: see the head of $0" >&2; exit 2; }
for f in "$guest" "$exit_helper" "$lib" $navd $navctl; do [ -f "$f" ] || { echo "missing: $f" >&2; exit 2; }; done
if [ -n "$i386" ]; then
  i386_lib=$i386/src/libkrvnav.so i386_navd=$i386/daemon/krv-navd
  i386_navctl=$(find "$i386" -maxdepth 2 -name navctl -type f | head -1)
  for f in "$i386_lib" "$i386_navd" "$i386_navctl"; do [ -f "$f" ] || { echo "missing in $i386: ${f:-navctl}" >&2; exit 2; }; done
  for f in "$i386_lib" "$i386_navd" "$i386_navctl"; do
    LC_ALL=C readelf -h "$f" | grep -q 'Machine: *Intel 80386' || { echo "not an i386 program: $f" >&2; exit 2; }
  done
fi
work=${work:-$(mktemp -d)}
mkdir -p "$work" && work=$(cd "$work" && pwd)
t0=$(date +%s)
step() { echo "--- [$(( $(date +%s) - t0 )) s] $*"; }

# ---- packages (Debian's only)
pkgs=(qemu-system-x86 linux-headers-amd64 busybox-static cpio xz-utils)
missing=$(for p in "${pkgs[@]}"; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"; done)
if [ -n "$missing" ] && [ "$(id -u)" -ne 0 ]; then
  echo "system test needs: $missing (install as root)"
  [ "${KRV_SYSTEM_REQUIRED:-}" = 1 ] && exit 1
  exit 77
fi
step "packages: ${pkgs[*]}"
source "$repo/.ci/lib.sh"
need_pkgs "${pkgs[@]}"

# ---- the kernel that matches the installed headers metapackage
dep=$(dpkg-query -W -f='${Depends}' linux-headers-amd64)  # linux-headers-KVER (= PKGVER)
kver=${dep#linux-headers-}
kver=${kver%% *}
pkgver=$(sed -n 's/.*(= \([^)]*\)).*/\1/p' <<<"$dep")
[ -n "$kver" ] && [ -n "$pkgver" ] || { echo "cannot read the kernel version from: $dep" >&2; exit 1; }
headers=/usr/src/linux-headers-$kver
[ -d "$headers" ] || { echo "missing $headers" >&2; exit 1; }
cache=${KRV_SYSTEM_CACHE:-/var/cache/krv-system}
mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ] || cache=$work/cache
mkdir -p "$cache"
deb=$cache/linux-image-${kver}_${pkgver}_amd64.deb
if [ ! -s "$deb" ]; then
  step "apt-get download linux-image-$kver=$pkgver"
  download_pkgs "$cache" "linux-image-$kver=$pkgver"
  [ -s "$deb" ] || { echo "download failed: $deb is missing or empty" >&2; exit 1; }
fi

rm -rf "$work/kernel" "$work/root" "$work/kvs508"
mkdir -p "$work/kernel"
step "extracting the kernel and the evdev/uinput modules of $kver"
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work/kernel" --wildcards \
  "./boot/vmlinuz-$kver" "./lib/modules/$kver/kernel/drivers/input/evdev.ko*" \
  "./lib/modules/$kver/kernel/drivers/input/misc/uinput.ko*"
for z in "$work"/kernel/lib/modules/"$kver"/kernel/drivers/input/{,misc/}*.ko.xz; do
  [ -e "$z" ] && xz -d "$z"
done
vmlinuz=$work/kernel/boot/vmlinuz-$kver

# The uncompressed kernel boots directly through its PVH entry note; the
# compressed one is the fallback.
kernel=$vmlinuz
vmlinux=$cache/vmlinux-$kver
if [ ! -s "$vmlinux" ]; then
  off=$(LC_ALL=C grep -obUaP '\xfd\x37\x7a\x58\x5a\x00' "$vmlinuz" | head -1 | cut -d: -f1 || true)
  if [ -n "$off" ]; then
    tail -c +"$((off + 1))" "$vmlinuz" | xz -dc --single-stream >"$vmlinux.tmp" 2>/dev/null || true
    mv "$vmlinux.tmp" "$vmlinux"
  fi
fi
if [ -s "$vmlinux" ] && LC_ALL=C readelf -n "$vmlinux" 2>/dev/null | grep -q 'Xen.*0x00000012'; then
  kernel=$vmlinux
fi
step "kernel: $kernel"

# ---- the driver module, built against the matching headers
step "building kvs508.ko against $headers"
mkdir -p "$work/kvs508"
cp "$here/kvs508/kvs508.c" "$here/kvs508/Kbuild" "$work/kvs508/"
make -s -C "$headers" M="$work/kvs508" modules 2>&1 | grep -v 'Skipping BTF' || true
[ -f "$work/kvs508/kvs508.ko" ] || { echo "module build failed" >&2; exit 1; }

# ---- initramfs: busybox, modules, the test program and its ldd closure
step "initramfs with the test program and its shared libraries ($lib)"
root=$work/root
mkdir -p "$root"/{bin,usr/bin,usr/lib/krv,lib/modules,dev,proc,sys,tmp}
cp /bin/busybox "$root/bin/busybox"
cp "$here/guest/init.sh" "$root/init"
cp "$exit_helper" "$root/bin/debug-exit"
cp "$guest" "$root/usr/bin/krv-system-test"
[ -z "$navd" ] || cp "$navd" "$navctl" "$root/usr/bin/"
cp "$work"/kernel/lib/modules/"$kver"/kernel/drivers/input/evdev.ko \
   "$work"/kernel/lib/modules/"$kver"/kernel/drivers/input/misc/uinput.ko \
   "$work/kvs508/kvs508.ko" "$root/lib/modules/"
# The chosen library's own dependencies first, then the test program's.
cp -L "$lib" "$root/usr/lib/krv/libkrvnav.so"
echo "    libkrvnav.so <- $lib"
closure=$(ldd "$lib"; for p in "$guest" $navd $navctl; do LD_LIBRARY_PATH=$(dirname "$lib") ldd "$p"; done)
if grep -q 'not found' <<<"$closure"; then echo "$closure" >&2; exit 1; fi
while read -r name arrow path _; do
  if [ "$arrow" = "=>" ] && [ "${path#/}" != "$path" ]; then
    [ -e "$root/usr/lib/krv/$name" ] && continue
    cp -L "$path" "$root/usr/lib/krv/$name"
    echo "    $name <- $path"
  elif [ "${name#/}" != "$name" ] && [ ! -e "$root$name" ]; then  # the loader, at its absolute path
    mkdir -p "$root$(dirname "$name")"
    cp -L "$name" "$root$name"
    echo "    $name"
  fi
done <<<"$closure"

# The i386 programs and what they load, resolved as their loader would (this
# host may not run 32-bit programs, so ldd cannot): NEEDED names looked up
# in the build tree, Debian's i386 liblog folder and the :i386 multiarch
# folders, the loader at its absolute path.
if [ -n "$i386" ]; then
  step "i386 programs and their shared libraries ($i386)"
  mkdir -p "$root/usr/lib/krv32/bin"
  cp "$i386_navd" "$i386_navctl" "$root/usr/lib/krv32/bin/"
  cp -L "$i386_lib" "$root/usr/lib/krv32/libkrvnav.so"
  dirs=("$(dirname "$i386_lib")" "$i386/platform/host" /usr/lib/i386-linux-gnu/android /lib/i386-linux-gnu /usr/lib/i386-linux-gnu)
  queue=("$i386_navd" "$i386_navctl" "$i386_lib")
  while [ ${#queue[@]} -gt 0 ]; do
    f=${queue[0]}
    queue=("${queue[@]:1}")
    for name in $(LC_ALL=C readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      [ -e "$root/usr/lib/krv32/$name" ] && continue
      found=
      for d in "${dirs[@]}"; do [ -e "$d/$name" ] && { found=$d/$name; break; }; done
      [ -n "$found" ] || { echo "i386: $name (needed by $f) not found in ${dirs[*]}" >&2; exit 1; }
      cp -L "$found" "$root/usr/lib/krv32/$name"
      echo "    i386 $name <- $found"
      queue+=("$found")
    done
  done
  loader=$(LC_ALL=C readelf -l "$i386_navd" | sed -n 's/.*program interpreter: \(.*\)\]/\1/p')
  [ -n "$loader" ] && [ -e "$loader" ] || { echo "i386 loader missing: ${loader:-none}" >&2; exit 1; }
  mkdir -p "$root$(dirname "$loader")"
  cp -L "$loader" "$root$loader"
  echo "    i386 loader $loader <- $(readlink -f "$loader")"
fi
(cd "$root" && find . | cpio -o -H newc --quiet -R 0:0) | gzip -1 >"$work/initramfs.cpio.gz"

# ---- boot; the guest writes its verdict to isa-debug-exit: 0 -> status 1
step "booting qemu-system-x86_64 (TCG, timeout ${timeout_s} s)"
set +e
timeout -k 5 "$timeout_s" qemu-system-x86_64 -machine pc,accel=tcg -smp 2 -m 512 \
  -nographic -no-reboot -nic none \
  -kernel "$kernel" -initrd "$work/initramfs.cpio.gz" \
  -append "console=ttyS0 quiet panic=-1 oops=panic" \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04 </dev/null 2>&1 | tee "$work/console.log"
rc=${PIPESTATUS[0]}
set -e
step "qemu exit status $rc"
case $rc in
  1) echo "system test PASSED"; exit 0 ;;
  124|137) echo "system test FAILED: timed out after ${timeout_s} s" ;;
  *) echo "system test FAILED (guest verdict $(( (rc - 1) / 2 )))" ;;
esac
exit 1
