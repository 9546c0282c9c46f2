#!/bin/sh
# usage: imports.sh EXE
# The .exe goes to machines that have only Windows itself: a 32-bit console program that
# imports no DLL of the MinGW runtime (libgcc, libstdc++, winpthread, ...).
set -u
exe=$1
if [ ! -f "$exe" ]; then
    echo "SKIPPED: $exe is not built ('make win32' builds it with MinGW-w64)"
    exit 77
fi

objdump=i686-w64-mingw32-objdump
command -v $objdump >/dev/null 2>&1 || objdump=objdump
headers=$($objdump -p "$exe") || exit 1
dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
echo "$(wc -c <"$exe") bytes, imports:" $dlls

fail=0
echo "$headers" | grep -q '^Magic.*(PE32)' || { echo "not a 32-bit PE image"; fail=1; }
echo "$headers" | grep -q '^Subsystem.*(Windows CUI)' || { echo "not a console program"; fail=1; }
[ -n "$dlls" ] || { echo "no imports found"; fail=1; }
for dll in $dlls; do
    case $dll in
    lib* | LIB* | mingw* | MINGW*)
        echo "imports the MinGW runtime DLL $dll"
        fail=1 ;;
    esac
done
exit $fail
