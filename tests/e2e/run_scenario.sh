#!/usr/bin/env bash
# One end-to-end scenario: the real fpflash against fpsim, in a runtime directory of its own.
#
#   run_scenario.sh NAME
#
# FPFLASH and FPSIM name the binaries (default: build/host). The console transcript is
# compared with expected/NAME.txt, where @IMAGE@ stands for the image's path and @CRC@ for the
# CRC32 of what the printer should have kept; then the exit status, and the image the printer
# kept against the file.
set -u

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
name=${1:?usage: run_scenario.sh NAME}
expected=$here/expected/$name.txt

CLASS='{594538DA-78A8-06C1-16B5-17779E24DF87}'

# What a scenario may set.
blocks=25         # records in the image
image_kind=good   # good, bad_size, missing, or none (no argument at all)
sim_args=()       # the printer's options
status=0          # fpflash's exit status, as the program returns it
received=all      # what the printer keeps: all, none, or a number of leading records
touched=yes       # no: fpflash must not even connect to the printer
setup=            # a step after fpsim is up, before fpflash runs
late_printer=no   # yes: fpsim starts only after fpflash's first failed attempt
self_stop=no      # yes: the printer stops by itself at the end, without a signal
log_checks=()     # pairs: a pattern of fpsim's log and how many lines must match it

case $name in
complete_update)
    sim_args=(--stop-when-done); self_stop=yes ;;
no_printer)
    sim_args=(--absent never); status=-1; received=none; touched=no ;;
third_attempt)
    # Attempts are a second apart from the first, so the printer is started once the first
    # has failed and published 1.3 s later: between the second and third, whatever the load.
    # Until then there is no socket to connect to, not a printer that refuses.
    sim_args=(--absent 1300)
    late_printer=yes
    log_checks=(' connected$' 3) ;;
already_in_loader)
    # The whole loader phase on the handle opened first.
    sim_args=(--start-loader)
    log_checks=('write: upgrade_mode' 0 '#1 WRITE 528: ok' 25 'OPEN 0xC0000000: ok' 2) ;;
silent_firmware)
    sim_args=(--app-silent); status=-1; received=none ;;
unscannable_version)
    sim_args=(--version-reply '{"status": "busy"}'); status=-1 ;;
first_crc_fails)
    sim_args=(--loader-silent); status=-1; received=none
    log_checks=('write: block' 0 'write: exit' 0) ;;
block_rejected_once)
    sim_args=(--block 1:254:1)
    log_checks=('write: block 1, reply 254' 1 'write: block 1, reply 1' 1) ;;
block_never_acknowledged)
    sim_args=(--block 1:none); status=-1; received=1
    log_checks=('write: block 1, reply -1' 3 'write: block 2,' 0) ;;
flash_states)
    sim_args=(--states 4,253,4,254,1,2,4,6) ;;
flash_failed)
    sim_args=(--states 4,251); status=251 ;;
state_write_fails_back)
    sim_args=(--state-write-fails 1) ;;
state_write_fails_gone)
    sim_args=(--state-write-fails 1 --state-fail-away never); status=-1
    log_checks=(' connected$' 2) ;;
no_return_after_upgrade)
    sim_args=(--upgrade-away never); status=-1; received=none
    log_checks=(' connected$' 1) ;;
no_return_after_exit)
    sim_args=(--exit-away never); status=-1
    log_checks=(' connected$' 2) ;;
upgrade_mode_not_written)
    sim_args=(--fail-write upgrade_mode); status=-1; received=none ;;
exit_answered)
    sim_args=(--exit-reply 6) ;;
two_printers)
    setup=publish_second ;;
device_busy)
    setup=hold_device; status=-1; received=none
    log_checks=('OPEN 0xC0000000: refused' 20) ;;
class_dir_open)
    setup=open_class_dir; status=-1; received=none; touched=no ;;
bad_size_image)
    image_kind=bad_size; status=-2; received=none; touched=no ;;
missing_image)
    image_kind=missing; status=-1; received=none; touched=no ;;
empty_image)
    blocks=0 ;;
no_argument)
    image_kind=none; status=1; received=none; touched=no ;;
*)
    echo "unknown scenario: $name" >&2
    exit 2 ;;
esac

failures=0
fail() {
    echo "FAIL $name: $*"
    failures=$((failures + 1))
}

# A short path: the device path is also a socket address, and a holder connects to it as is.
tmp=$(mktemp -d /tmp/fpflash-e2e.XXXXXX) || exit 2
sim_pids=()
holder_pid=
cleanup() {
    local p
    for p in "${sim_pids[@]}" $holder_pid; do
        kill -TERM "$p" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

export XDG_RUNTIME_DIR=$tmp/run
mkdir -m 0700 "$XDG_RUNTIME_DIR"
class_dir=$XDG_RUNTIME_DIR/device-interfaces/$CLASS

for tool in "$FPFLASH" "$FPSIM"; do
    [ -x "$tool" ] || { echo "$tool: not built" >&2; exit 2; }
done
command -v python3 >/dev/null || { echo "python3 is needed to make the images" >&2; exit 2; }


# Starts a printer: instance name, then its options.
start_printer() {
    local instance=$1
    shift
    "$FPSIM" --name "$instance" --ready "$tmp/$instance.ready" --log "$tmp/$instance.log" \
        --save "$tmp/$instance.kept" --lifetime 300 "$@" 2>"$tmp/$instance.err" &
    sim_pids+=($!)
    wait_for "$tmp/$instance.ready" $! || { echo "fpsim $instance did not start" >&2; exit 2; }
}

# Another printer under a later name, published before the first: the name decides.
publish_second() {
    start_printer printer-2 --app-version 9.9.9 --new-version 9.9.10
}

# Another client opens the printer first and keeps it.
hold_device() {
    python3 - "$class_dir/printer-1" "$tmp/held" <<'EOF' &
import socket, struct, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(sys.argv[1])
s.send(struct.pack("<BI", 0, 0xC0000000))
if s.recv(64)[:1] != b"\x01":
    sys.exit("the printer refused the holder")
open(sys.argv[2], "w").write("held\n")
s.recv(64)  # until the printer goes
EOF
    holder_pid=$!
    wait_for "$tmp/held" $! || { echo "the holder could not open the printer" >&2; exit 2; }
}

open_class_dir() {
    chmod 0777 "$class_dir"
}

image=$tmp/firmware.bin
if [ "$image_kind" != missing ] && [ "$image_kind" != none ]; then
    python3 "$root/scripts/make_image.py" --blocks "$blocks" --seed 7 "$image" || exit 2
fi
[ "$image_kind" = bad_size ] && printf 'x' >>"$image"

case $setup in
publish_second) publish_second ;;
esac
# The image check and the directory check below wait for the printer; a late one comes up
# while fpflash runs.
check_dirs() {
    local dir mode
    for dir in "$XDG_RUNTIME_DIR/device-interfaces" "$class_dir"; do
        mode=$(stat -c %a "$dir")
        [ "$mode" = 700 ] || fail "$dir was created with mode $mode"
    done
}
if [ "$late_printer" = no ]; then
    start_printer printer-1 "${sim_args[@]}"
    main_pid=${sim_pids[-1]}
    check_dirs
fi
case $setup in
hold_device) hold_device ;;
open_class_dir) open_class_dir ;;
esac

# The Enter for the final prompt; whether it is read at all is the program's business.
printf '\n' >"$tmp/enter"
args=("$image")
[ "$image_kind" = none ] && args=()
start=$SECONDS
timeout 150 "$FPFLASH" "${args[@]}" <"$tmp/enter" >"$tmp/out.txt" 2>"$tmp/err.txt" &
fpflash_pid=$!
if [ "$late_printer" = yes ]; then
    for ((i = 0; i < 200; i++)); do
        grep -q '^Wait open USB' "$tmp/out.txt" && break
        sleep 0.02
    done
    start_printer printer-1 "${sim_args[@]}"
    main_pid=${sim_pids[-1]}
    check_dirs
fi
wait "$fpflash_pid"
got=$?
elapsed=$((SECONDS - start))

[ "$got" -eq $(((status + 256) % 256)) ] || fail "exit status $got, expected $status"
[ -s "$tmp/err.txt" ] && fail "fpflash wrote to stderr: $(head -c 300 "$tmp/err.txt")"

# What the printer should hold, and its CRC32.
want=$tmp/want.bin
want_image "$received" "$image" "$want"
# gzip's trailer carries the CRC32 of its input, little-endian.
crc=$(gzip -c "$want" | tail -c 8 | od -An -N4 -tx4 | tr -d ' ' | tr a-f A-F)

IFS= read -r -d '' text <"$expected"
text=${text//@IMAGE@/"$image"}
text=${text//@CRC@/"$crc"}
printf '%s' "$text" >"$tmp/expected.txt"
if ! cmp -s "$tmp/expected.txt" "$tmp/out.txt"; then
    fail "transcript differs from expected/$name.txt"
    diff -u --label expected --label actual "$tmp/expected.txt" "$tmp/out.txt"
fi

# Printers stop on a signal, or by themselves where the scenario says so, and take their
# sockets with them.
if [ "$self_stop" = yes ]; then
    for ((i = 0; i < 100; i++)); do
        kill -0 "$main_pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$main_pid" 2>/dev/null && fail "fpsim did not stop by itself"
fi
for p in "${sim_pids[@]}"; do
    kill -TERM "$p" 2>/dev/null
done
# The holder lets go when the printer it holds goes.
for p in "${sim_pids[@]}" $holder_pid; do
    wait "$p"
    st=$?
    [ "$st" -eq 0 ] || fail "process $p ended with status $st"
done
sim_pids=()
holder_pid=
if [ -d "$class_dir" ] && [ -n "$(find "$class_dir" -type s)" ]; then
    fail "sockets left behind: $(find "$class_dir" -type s)"
fi
for err in "$tmp"/*.err; do
    [ -s "$err" ] && fail "fpsim complained: $(head -c 300 "$err")"
done

cmp -s "$want" "$tmp/printer-1.kept" ||
    fail "the printer kept $(stat -c %s "$tmp/printer-1.kept") bytes, not the expected" \
        "$(stat -c %s "$want")"

log=$tmp/printer-1.log
if [ "$touched" = no ] && grep -q ' connected$' "$log"; then
    fail "fpflash connected to the printer"
fi
set -- "${log_checks[@]}"
while [ $# -ge 2 ]; do
    n=$(grep -c -e "$1" "$log")
    [ "$n" -eq "$2" ] || fail "$n lines of the printer's log match '$1', expected $2"
    shift 2
done
if [ "$setup" = publish_second ]; then
    grep -q ' connected$' "$tmp/printer-2.log" && fail "fpflash opened the second printer"
    [ -s "$tmp/printer-2.kept" ] && fail "the second printer received blocks"
fi

if [ "$failures" -gt 0 ]; then
    echo "--- the printer's log (last 40 lines)"
    tail -n 40 "$log"
    exit 1
fi
echo "ok $name: status $status in ${elapsed} s"
