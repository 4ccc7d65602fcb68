#!/bin/busybox sh
# /init of the system-test guest: mounts the kernel file systems, loads the
# input modules and the kvs508 driver, runs the test program and passes its
# verdict out through debug-exit (isa-debug-exit on x86-64, semihosting on
# arm64).
/bin/busybox --install -s /bin
mkdir -p /proc /sys /dev /tmp
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
umask 022
echo "guest: kernel $(uname -r) $(uname -m), $(nproc) CPU(s), $(cut -d' ' -f1 /proc/uptime) s since the kernel started"
verdict=1
for m in evdev uinput kvs508; do
  insmod /lib/modules/$m.ko || { echo "guest: insmod $m failed"; /bin/debug-exit 2; }
done
# What system_server makes on a device (the test program and krv-navd make
# the pipe's folder below it); persist.* properties live in /data/property.
mkdir -p /data/system/users/0 /data/property
export KRV_PROPERTY_DIR=/data/property LD_LIBRARY_PATH=/usr/lib/krv
/usr/bin/krv-system-test 2>/tmp/library.log && verdict=0
if [ $verdict -ne 0 ]; then
  echo "guest: test program failed; last library log lines:"
  tail -n 60 /tmp/library.log
fi
echo "guest: library log lines: $(wc -l < /tmp/library.log)"
/bin/debug-exit $verdict
echo "guest: debug-exit failed; powering off"
echo o > /proc/sysrq-trigger
sleep 10
