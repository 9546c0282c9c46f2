#!/bin/sh
# usage: imports.sh EXE [LIST_DIR]
# The .exe goes to machines that have only Windows itself, from XP on: a 32-bit console
# program that imports no DLL of the MinGW runtime (libgcc, libstdc++, winpthread, ...), asks
# for no newer subsystem than XP's, and imports only what XP's system DLLs export. xp/DLL.txt
# lists those exports; a name goes in only once the API documentation shows it on XP, since a
# function that came with Vista stops the program at its start there. LIST_DIR (default: xp/
# beside this script) holds the lists; the release test passes lists with a name taken out.
set -u
here=$(cd "$(dirname "$0")" && pwd)
exe=$1
lists=${2:-$here/xp}
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

# One "DLL<tab>function" line per import; an import by ordinal has no name ("<none>").
imports=$(echo "$headers" | awk '
    /^\tDLL Name: / { dll = tolower($3); next }
    /^$/ { dll = "" }
    dll != "" && /^\t[0-9a-f]+\t/ { print dll "\t" (NF >= 3 && $3 != "<none>" ? $3 : "") }')
total=$(echo "$imports" | grep -c .)
# Read in this shell, not in a piped subshell, so that nothing in the loop fails unseen.
checked=0
unknown=""
tab=$(printf '\t')
while IFS=$tab read -r dll name; do
    [ -n "$dll" ] || continue
    list=$lists/$dll.txt
    if [ ! -f "$list" ]; then
        unknown="$unknown$dll: no list of its Windows XP exports ($list)
"
    elif [ -z "$name" ]; then
        unknown="$unknown$dll: an import by ordinal
"
    elif ! grep -qx -- "$name" "$list"; then
        unknown="$unknown$dll: $name is not among its Windows XP exports in $list
"
    fi
    checked=$((checked + 1))
done <<EOF
$imports
EOF
echo "$checked imported functions checked against Windows XP's exports"
if [ "$total" = 0 ] || [ "$checked" != "$total" ]; then
    echo "found $total imported functions and checked $checked"
    fail=1
fi
if [ -n "$unknown" ]; then
    printf '%s' "$unknown" | sort -u
    fail=1
fi
exit $fail
