# shellcheck shell=sh
# Shared by the Windows test scripts: the Wine environment, and the checks that decide between
# running and skipping. A skip exits 77 (ctest SKIP_RETURN_CODE) after saying why.

SKIP=77

# FP_WINE and FP_WINEARCH let the same scenarios drive another Wine, e.g. a 64-bit one.
wine_cmd=${FP_WINE:-wine}
export WINEARCH="${FP_WINEARCH:-win32}"
export WINEDEBUG=-all
# No Mono or Gecko install dialogs while the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

skip() {
    echo "SKIPPED: Windows tests under Wine: $*"
    exit $SKIP
}

# Skips unless `wine` is there and can start at all.
check_wine() {
    command -v "$wine_cmd" >/dev/null 2>&1 ||
        skip "'$wine_cmd' is not installed (scripts/deps-win32.sh installs wine, wine32 and wine64 as root)"
    if ! version=$("$wine_cmd" --version 2>&1); then
        case $version in
        *"Exec format error"*)
            skip "this kernel does not run 32-bit programs (IA-32 emulation is off), so" \
                "32-bit Wine cannot start: $version" ;;
        *) skip "'$wine_cmd --version' failed: $version" ;;
        esac
    fi
}

check_exe() {
    [ -f "$1" ] || skip "$1 is not built ('make win32' builds it with MinGW-w64)"
}
