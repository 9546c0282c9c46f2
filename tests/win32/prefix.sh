#!/bin/sh
# usage: prefix.sh setup|cleanup PREFIX
# One fresh private Wine prefix for the whole test run: creating one takes seconds and hundreds
# of megabytes, too much to pay once per scenario.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
export WINEPREFIX="$2"

case $1 in
setup)
    if [ -d "$WINEPREFIX" ] && command -v wineserver >/dev/null 2>&1; then
        wineserver -k 2>/dev/null
    fi
    rm -rf "$WINEPREFIX"
    check_wine
    mkdir -p "$WINEPREFIX"
    start=$(date +%s%3N)
    if ! out=$("$wine_cmd" wineboot -i </dev/null 2>&1); then
        rm -rf "$WINEPREFIX"
        skip "no $WINEARCH prefix could be made: $out"
    fi
    wineserver -w
    echo "$WINEARCH prefix $WINEPREFIX made in $(($(date +%s%3N) - start)) ms"
    ;;
cleanup)
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null
        rm -rf "$WINEPREFIX"
    fi
    ;;
*)
    echo "usage: $0 setup|cleanup PREFIX" >&2
    exit 2
    ;;
esac
