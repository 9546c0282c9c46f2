#!/bin/sh
# usage: build.sh ARCH OUTDIR   (ARCH: win32 or win64)
# Cross-builds the test driver (fpsimbus.sys), its installer and the probe for the prefix's
# architecture. Exits 77 when that cross compiler is missing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
case $1 in
win32) triple=i686-w64-mingw32 entry=_DriverEntry@8 ;;
win64) triple=x86_64-w64-mingw32 entry=DriverEntry ;;
*) echo "build.sh: unknown architecture $1" >&2; exit 2 ;;
esac
out=$2
cc=$triple-gcc
if ! command -v "$cc" >/dev/null 2>&1; then
    echo "SKIPPED: $cc is not installed, the test driver cannot be built"
    exit 77
fi
mkdir -p "$out"
flags="-std=gnu11 -O2 -Wall -Wextra -Werror -I$here/../../.."
# Kernel code: no C runtime, no stack cookies from a runtime that isn't there.
kflags="$flags -fno-stack-protector -fno-builtin"
$cc $kflags -I/usr/share/mingw-w64/include/ddk -c "$here/fpsimbus.c" -o "$out/fpsimbus.o"
$cc $kflags -c "$here/link.c" -o "$out/link.o"
$cc -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,$entry -o "$out/fpsimbus.sys" \
    "$out/fpsimbus.o" "$out/link.o" -lntoskrnl -lhal -lws2_32 -lgcc
for p in install probe; do
    $cc $flags -static -o "$out/fpsim-$p.exe" "$here/$p.c" -lsetupapi -ladvapi32
done
