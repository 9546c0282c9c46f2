#!/bin/sh
# usage: run.sh SCENARIO EXE PREFIX
# Runs EXE under Wine in one scenario, in a directory of its own with stdin at its end, and
# compares its console output with SCENARIO.out and its exit status as Wine reports it.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
scenario=$1
check_exe "$2"
exe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
export WINEPREFIX="$3"

check_wine
[ -f "$WINEPREFIX/system.reg" ] || skip "no Wine prefix at $WINEPREFIX (see the prefix setup test)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# blocks N NAME: an image of N records of 528 bytes.
blocks() { head -c $(($1 * 528)) /dev/urandom >"$2"; }

# Wine passes a status outside 0..255 on as its low byte: -1 is 255, -2 is 254.
case $scenario in
no_argument)
    set -- ; status=1 ;;
missing_image)
    set -- nothere.bin; status=255 ;;
wrong_size)
    head -c 1000 /dev/urandom >short.bin
    set -- short.bin; status=254 ;;
wildcard_case)
    # Byte order would take FW_B.BIN; case-blind order takes fw_a.bin, whose wrong size ends
    # the run at once.
    head -c 600 /dev/urandom >fw_a.bin
    blocks 1 FW_B.BIN
    set -- 'Fw_?.bin'; status=254 ;;
wildcard_no_match)
    blocks 1 other.bin
    set -- 'fw_*.bin'; status=255 ;;
empty_image)
    : >empty.bin
    set -- empty.bin; status=255 ;;
no_printer)
    blocks 3 image.bin
    set -- image.bin; status=255 ;;
*)
    echo "unknown scenario $scenario" >&2
    exit 2 ;;
esac

start=$(date +%s%3N)
"$wine_cmd" "$exe" "$@" </dev/null >out.txt 2>err.txt
rc=$?
echo "$scenario: exit status $rc (expected $status) after $(($(date +%s%3N) - start)) ms"

# The transcripts are kept with plain line ends; a Windows console program writes CR LF.
sed 's/$/\r/' "$here/$scenario.out" >expected.txt
fail=0
if ! cmp -s expected.txt out.txt; then
    echo "console output differs from $scenario.out (CR shown as <CR>):"
    diff -u expected.txt out.txt | sed 's/\r$/<CR>/'
    fail=1
fi
if [ "$rc" != "$status" ]; then
    echo "exit status $rc, expected $status"
    fail=1
fi
if [ -s err.txt ]; then
    echo "standard error:"
    cat err.txt
fi
exit $fail
