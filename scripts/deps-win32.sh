#!/bin/sh
# Brings what the Windows build and its tests under Wine need onto a Debian machine: installs
# it as root with apt-get, otherwise says what is missing. Then says whether 32-bit Wine can
# run here. Never fails its caller: without these the rest is built and tested all the same,
# and the Windows tests skip.
pkgs="g++-mingw-w64-i686 g++-mingw-w64-x86-64-win32 wine wine32:i386 wine64"

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'
}

missing=""
if command -v dpkg-query >/dev/null 2>&1; then
    for p in $pkgs; do
        installed "$p" || missing="$missing $p"
    done
else
    command -v i686-w64-mingw32-g++ >/dev/null 2>&1 || missing="$missing g++-mingw-w64-i686"
    command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || missing="$missing g++-mingw-w64-x86-64-win32"
    command -v wine >/dev/null 2>&1 || missing="$missing wine wine32:i386 wine64"
fi

if [ -n "$missing" ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "deps-win32: installing$missing"
        # wine32 is an i386 package.
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            dpkg --add-architecture i386
        fi
        if ! { apt-get update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
                $missing >/dev/null; }; then
            echo "deps-win32: installing$missing failed; Windows build and tests will be skipped"
            exit 0
        fi
    else
        echo "deps-win32: Windows build and tests will be skipped: missing$missing and not root" \
            "to install them (as root: dpkg --add-architecture i386 && apt-get update &&" \
            "apt-get install$missing)"
        exit 0
    fi
fi

if ! out=$(wine --version 2>&1); then
    case $out in
    *"Exec format error"*)
        echo "deps-win32: the 32-bit Windows tests under Wine will be skipped: this kernel does" \
            "not run 32-bit programs (IA-32 emulation is off); the 64-bit build runs them" \
            "under 64-bit Wine instead" ;;
    *)
        echo "deps-win32: the Windows tests under Wine will be skipped: 'wine --version'" \
            "failed: $out" ;;
    esac
fi
exit 0
