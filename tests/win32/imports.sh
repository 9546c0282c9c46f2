#!/bin/sh
# usage: imports.sh EXE
# The .exe goes to machines that have only Windows itself, from XP on: a 32-bit console
# program that imports no DLL of the MinGW runtime (libgcc, libstdc++, winpthread, ...), asks
# for no newer subsystem than XP's, and imports only what XP's system DLLs export. xp/DLL.txt
# lists those exports; a name goes in only once the API documentation shows it on XP, since a
# function that came with Vista stops the program at its start there.
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

# XP is 5.1; the loader refuses an image that wants a later subsystem or OS.
for field in Subsystem OSystem; do
    major=$(echo "$headers" | sed -n "s/^Major${field}Version[[:space:]]*//p")
    minor=$(echo "$headers" | sed -n "s/^Minor${field}Version[[:space:]]*//p")
    echo "$field version $major.$minor"
    if [ -z "$major" ] || [ -z "$minor" ] || [ $((major * 100 + minor)) -gt 501 ]; then
        echo "$field version '$major.$minor' is past Windows XP's 5.1"
        fail=1
    fi
done

# One "DLL<tab>function" line per import; an import by ordinal has no name to check.
imports=$(echo "$headers" | awk '
    /^\tDLL Name: / { dll = tolower($3); next }
    /^$/ { dll = "" }
    dll != "" && /^\t[0-9a-f]+\t/ { print dll "\t" (NF >= 3 ? $3 : "") }')
unknown=$(echo "$imports" | while IFS="$(printf '\t')" read -r dll name; do
    list=$here/xp/$dll.txt
    if [ ! -f "$list" ]; then
        echo "$dll: no list of its Windows XP exports (tests/win32/xp/$dll.txt)"
    elif [ -z "$name" ]; then
        echo "$dll: an import by ordinal"
    elif ! grep -qx -- "$name" "$list"; then
        echo "$dll: $name is not among its Windows XP exports in tests/win32/xp/$dll.txt"
    fi
done | sort -u)
echo "$(echo "$imports" | wc -l) imported functions checked against Windows XP's exports"
if [ -n "$unknown" ]; then
    echo "$unknown"
    fail=1
fi
exit $fail
