# shellcheck shell=bash
# Shared by the end-to-end runners, which set `here` to their folder before sourcing it.

RECORD=528

root=$(cd "$here/../.." && pwd)
FPFLASH=${FPFLASH:-$root/build/host/fpflash}
FPSIM=${FPSIM:-$root/build/host/fpsim}

# Waits up to five seconds for a file to have content while process $2 lives.
wait_for() {
    local i
    for ((i = 0; i < 100; i++)); do
        [ -s "$1" ] && return 0
        kill -0 "$2" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

# want_image WHAT IMAGE OUT: writes to OUT what the printer must hold at the end: all of
# IMAGE, none of it, or its first WHAT records.
want_image() {
    case $1 in
    all) cp "$2" "$3" ;;
    none) : >"$3" ;;
    *) head -c $(($1 * RECORD)) "$2" >"$3" ;;
    esac
}
