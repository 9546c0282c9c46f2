# shellcheck shell=bash
# Shared by the end-to-end runners.

RECORD=528

# want_image WHAT IMAGE OUT: writes to OUT what the printer must hold at the end: all of
# IMAGE, none of it, or its first WHAT records.
want_image() {
    case $1 in
    all) cp "$2" "$3" ;;
    none) : >"$3" ;;
    *) head -c $(($1 * RECORD)) "$2" >"$3" ;;
    esac
}
