#!/usr/bin/env bash
# The library as Android's toolchains build it: clang 19 and lld, against
# the libc++ 16 headers (older than any libc++ an Android toolchain still
# ships) and the libc++ 19 headers, for x86-64, 32-bit ARM and 64-bit ARM,
# every source with -Wall -Wextra -Werror, linked with -nostdlib++ and the
# version script (cmake/toolchains/clang-libcxx.cmake). Each library must
# need only liblog, the property library and libc, export exactly the
# table; the ARM ones must import only what bionic offers, the 64-bit ARM
# ones be aligned for 16 KiB pages. Then the default preset's test suite
# runs against the clang + libc++ 16 x86-64 library, put in place of the
# GCC one through the loader's search path; the suite is not rebuilt.
set -euo pipefail
source .ci/lib.sh
krv_add_arch armhf arm64
tools/setup-host
need_pkgs clang-19 lld-19 crossbuild-essential-armhf crossbuild-essential-arm64 \
  android-liblog-dev:armhf android-liblog-dev:arm64
echo "compiler: $(clang++-19 --version | head -1)"
echo "linker: $(ld.lld-19 --version)"

work=build/android-toolchain
# The libc++ development packages of different releases conflict with each
# other (and with their multiarch twins): unpacked, never installed.
rm -rf "$work/debs" "$work/libc++"
download_pkgs "$work/debs" libc++-16-dev libc++-19-dev
declare -A libcxx
for v in 16 19; do
  deb=$(compgen -G "$work/debs/libc++-$v-dev_*.deb" | head -1)
  mkdir -p "$work/libc++/$v"
  dpkg-deb -x "$deb" "$work/libc++/$v"
  libcxx[$v]=$(cd "$work/libc++/$v/usr/lib/llvm-$v/include/c++/v1" && pwd)
  echo "libc++ $v headers: ${deb##*/}"
done

jobs=$(nproc 2>/dev/null || echo 2)
for v in 16 19; do
  for target in x86_64-linux-gnu arm-linux-gnueabihf aarch64-linux-gnu; do
    dir=$work/$target-libc++$v
    echo "--- $target, libc++ $v"
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/clang-libcxx.cmake" \
      -DKRV_CLANG_TARGET=$target -DKRV_LIBCXX_INCLUDE="${libcxx[$v]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKRV_BUILD_TESTS=OFF -DKRV_BUILD_TOOLS=OFF -DKRV_BUILD_JAVA=OFF >/dev/null
    cmake --build "$dir" -j"$jobs" --target krvnav >/dev/null
    lib=$dir/src/libkrvnav.so
    # Built by clang 19 and linked by lld, not by a GCC left in the cache.
    comment=$(readelf -p .comment "$lib")
    grep -q 'clang version 19' <<<"$comment" && grep -q 'Linker: .*LLD 19' <<<"$comment" ||
      { echo "$lib: not built by clang 19 and lld 19:"; echo "$comment"; exit 1; }
    tests/symbols/check_needed.sh "$lib"
    tests/symbols/check_exports.sh "$lib" src/krv_nav.map
    case $target in
      arm-*) tools/check-bionic-imports "$lib" ;;
      aarch64-*)
        tools/check-load-alignment 16384 "$lib"
        tools/check-bionic-imports "$lib"
        ;;
    esac
  done
done

echo "--- test suite of the default preset against the clang + libc++ 16 x86-64 library"
cmake --preset default >/dev/null
cmake --build --preset default -j"$jobs" >/dev/null  # nothing to do after stage 10
clang_dir=$(cd "$work/x86_64-linux-gnu-libc++16/src" && pwd)
# Searched before the binaries' own run paths: the clang library, and the
# suite's usual host property service.
export LD_LIBRARY_PATH=$clang_dir:$PWD/build/default/platform/host
# Every program of the suite that loads the library must find the clang one.
count=0
while IFS= read -r -d '' bin; do
  readelf -dW "$bin" 2>/dev/null | grep -q 'NEEDED.*\[libkrvnav\.so\]' || continue
  resolved=$(ldd "$bin" | sed -n 's/^[[:space:]]*libkrvnav\.so => \([^ ]*\) .*/\1/p')
  [ "$resolved" = "$clang_dir/libkrvnav.so" ] ||
    { echo "$bin loads '$resolved', not the clang library"; exit 1; }
  count=$((count + 1))
done < <(find build/default/tests build/default/tools -type f -perm -u+x -print0)
[ $count -gt 0 ] || { echo "no test program loads libkrvnav.so"; exit 1; }
echo "$count programs of the suite load $clang_dir/libkrvnav.so"
# Not the system test (its own stage, a guest kernel), not the policy check
# (its own stage, no library in it) and not the checks that read the GCC
# library's file (its exports, needed libraries: done above for every clang
# library). The JVM test is given the clang library's folder itself.
ctest --test-dir build/default -j"$jobs" --output-on-failure -LE 'system|jvm|sepolicy' \
  -E '^(exported_symbols|needed_libraries)$'
tests/jvm/run_jvm_test.sh build/default/tests/jvm/classes "$clang_dir" \
  build/default/simhw/libkrv_sim_preload.so
