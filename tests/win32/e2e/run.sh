#!/bin/bash
# usage: run.sh SCENARIO EXE FPSIM ARCH
# One scenario of the Windows program against the simulated printer, all inside Wine: a fresh
# private prefix (ARCH: win32 or win64), the test driver installed in it and bound to a root
# device, FPSIM --tcp behind the driver, then EXE run as a technician would. The
# transcript and exit status must equal the Linux build's for the same scenario
# (tests/e2e/expected), and the printer must keep exactly the image the transcript implies.
# Everything is torn down at the end, on failure too. Exits 77 (skip) when Wine, the cross
# compiler or the .exe is missing. FP_WINE_DEBUG=1 keeps +plugplay,+setupapi,+ntoskrnl traces.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
scenario=${1:?usage: run.sh SCENARIO EXE FPSIM ARCH}
exe=$2
fpsim=$3
arch=$4

export FP_WINEARCH=$arch
if [ -z "${FP_WINE:-}" ] && [ "$arch" = win64 ]; then
    # Debian's `wine` always prefers the 32-bit loader; the 64-bit one is beside it.
    if command -v wine64 >/dev/null 2>&1; then
        FP_WINE=wine64
    elif [ -x /usr/lib/wine/wine64 ]; then
        FP_WINE=/usr/lib/wine/wine64
    fi
fi
. "$here/../common.sh"

check_exe "$exe"
check_wine
[ -x "$fpsim" ] || skip "$fpsim is not built"
command -v python3 >/dev/null 2>&1 || skip "python3 is needed to make the image"
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")

blocks=25
sim_args=()
status=0
received=all
present=yes # published before the program starts
log_checks=()
case $scenario in
complete_update) ;;
third_attempt)
    # The printer is held back until the first "Wait open USB" is on the console, then comes
    # 1400 ms later: after the second attempt (1000 ms on), before the third (2000 ms on), with
    # room on both sides for Wine's plug and play to publish it.
    sim_args=(--absent 1400 --hold); present=no ;;
block_rejected_once)
    sim_args=(--block 1:254:1)
    log_checks=('write: block 1, reply 254' 1 'write: block 1, reply 1' 1) ;;
state_write_fails_back)
    sim_args=(--state-write-fails 1)
    log_checks=('away for 200 ms' 3 'OPEN 0x[0-9A-F]*: ok' 4) ;;
no_printer)
    sim_args=(--absent never); status=-1; received=none; present=no
    log_checks=('OPEN' 0) ;;
*)
    echo "unknown scenario $scenario" >&2
    exit 2 ;;
esac

tmp=$(mktemp -d /tmp/fpflash-wine.XXXXXX) || exit 2
export WINEPREFIX=$tmp/prefix
sim_pid=
teardown() {
    [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null
    [ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null
    wait 2>/dev/null
    rm -rf "$tmp"
}
trap teardown EXIT
trap 'exit 1' INT TERM

fail=0
problem() {
    echo "FAIL $scenario: $*"
    fail=1
}

sh "$root/tests/win32/driver/build.sh" "$arch" "$tmp/driver" || exit $?

mkdir -p "$WINEPREFIX"
start=$(date +%s%3N)
if ! out=$("$wine_cmd" wineboot -i </dev/null 2>&1); then
    skip "no $arch prefix could be made: $out"
fi
wineserver -w
cp "$tmp/driver/fpsimbus.sys" "$WINEPREFIX/drive_c/windows/system32/drivers/"

cd "$tmp" || exit 2
python3 "$root/scripts/make_image.py" --blocks "$blocks" --seed 7 firmware.bin || exit 2
# Port 0: the system picks a free one, and fpsim says which once it is ready.
"$fpsim" --tcp 0 --ready ready --log sim.log --save kept.bin --lifetime 600 "${sim_args[@]}" \
    2>sim.err &
sim_pid=$!
for _ in $(seq 100); do
    [ -s ready ] && break
    sleep 0.05
done
[ -s ready ] || { echo "fpsim did not start: $(cat sim.err)"; exit 1; }
read -r _ port <ready

[ "${FP_WINE_DEBUG:-0}" = 1 ] && export WINEDEBUG=+plugplay,+setupapi,+ntoskrnl
"$wine_cmd" "$tmp/driver/fpsim-install.exe" "$port" </dev/null >install.log 2>&1 || {
    echo "the driver could not be installed:"
    tail -n 40 install.log
    exit 1
}
if [ $present = yes ]; then
    # Wine's plug and play publishes the interface a moment after the driver hears of it.
    "$wine_cmd" "$tmp/driver/fpsim-probe.exe" find 20000 >probe.txt 2>&1 || {
        echo "the device interface never appeared:"
        cat probe.txt
        tail -n 40 install.log
        exit 1
    }
fi
echo "$arch prefix with the driver ready in $(($(date +%s%3N) - start)) ms"

printf '\n' >enter
start=$(date +%s%3N)
"$wine_cmd" "$exe" firmware.bin <enter >out.txt 2>err.txt &
run_pid=$!
if [ "$scenario" = third_attempt ]; then
    for _ in $(seq 200); do
        grep -q 'Wait open USB' out.txt && break
        sleep 0.02
    done
    kill -USR1 "$sim_pid"
fi
wait $run_pid
rc=$?
elapsed=$(($(date +%s%3N) - start))
echo "$scenario: exit status $rc (expected $status) after $elapsed ms"

kill -TERM "$sim_pid"
wait "$sim_pid" || problem "fpsim ended with status $?"
sim_pid=

[ "$rc" -eq $(((status + 256) % 256)) ] || problem "exit status $rc, expected $status"

case $received in
all) cp firmware.bin want.bin ;;
none) : >want.bin ;;
esac
crc=$(python3 -c 'import sys, zlib; print("%08X" % zlib.crc32(open(sys.argv[1], "rb").read()))' \
    want.bin)
# The Linux transcript, with the image as it was named here and Windows line ends.
sed -e "s|@IMAGE@|firmware.bin|g" -e "s|@CRC@|$crc|g" -e 's/$/\r/' \
    "$root/tests/e2e/expected/$scenario.txt" >expected.txt
if ! cmp -s expected.txt out.txt; then
    problem "console output differs from tests/e2e/expected/$scenario.txt (CR shown as <CR>)"
    diff -u expected.txt out.txt | sed 's/\r$/<CR>/'
fi
cmp -s want.bin kept.bin ||
    problem "the printer kept $(stat -c %s kept.bin) bytes, not the $(stat -c %s want.bin) expected"
set -- "${log_checks[@]}"
while [ $# -ge 2 ]; do
    n=$(grep -c -e "$1" sim.log)
    [ "$n" -eq "$2" ] || problem "$n lines of the printer's log match '$1', expected $2"
    shift 2
done
[ -s sim.err ] && problem "fpsim complained: $(head -c 300 sim.err)"
if [ -s err.txt ]; then
    echo "standard error:"
    head -c 2000 err.txt
fi
if [ $fail -ne 0 ]; then
    echo "--- the printer's log (last 40 lines)"
    tail -n 40 sim.log
fi
exit $fail
