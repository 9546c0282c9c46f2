#!/usr/bin/env bash
# One row of the fault matrix (faults.table): the real fpflash against fpsim with one fault.
#
#   faults.sh NAME
#
# FPFLASH and FPSIM name the binaries (default: build/host). FAULTS_KEEP=DIR keeps the run's
# files (transcript, the printer's log, the image it kept) in DIR/NAME.
set -u

here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
name=${1:?usage: faults.sh NAME}
table=$here/faults.table

# TEXT repeated N times, for the long replies and versions of the table.
rep() {
    local i out=
    for ((i = 0; i < $1; i++)); do
        out+=$2
    done
    printf '%s' "$out"
}

trim() {
    local s=$1
    s=${s#"${s%%[![:space:]]*}"}
    printf '%s' "${s%"${s##*[![:space:]]}"}"
}

row=
while IFS= read -r line; do
    [[ $line =~ ^[a-z] ]] || continue
    if [ "$(trim "${line%%|*}")" = "$name" ]; then
        row=$line
        break
    fi
done <"$table"
[ -n "$row" ] || { echo "no row $name in $table" >&2; exit 2; }

IFS='|' read -r _ records status kept options checks <<<"$row"
records=$(trim "$records")
status=$(trim "$status")
kept=$(trim "$kept")
# The table is ours; its words are bash words.
eval "sim_args=($options)" || exit 2
eval "check_list=($checks)" || exit 2

failures=0
fail() {
    echo "FAIL $name: $*"
    failures=$((failures + 1))
}

tmp=$(mktemp -d /tmp/fpflash-faults.XXXXXX) || exit 2
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    [ -n "${FAULTS_KEEP:-}" ] && rm -rf "$FAULTS_KEEP/$name" && mkdir -p "$FAULTS_KEEP" &&
        cp -r "$tmp" "$FAULTS_KEEP/$name"
    rm -rf "$tmp"
}
trap cleanup EXIT

export XDG_RUNTIME_DIR=$tmp/run
mkdir -m 0700 "$XDG_RUNTIME_DIR"

for tool in "$FPFLASH" "$FPSIM"; do
    [ -x "$tool" ] || { echo "$tool: not built" >&2; exit 2; }
done

image=$tmp/firmware.bin
python3 "$root/scripts/make_image.py" --blocks "$records" --seed 11 "$image" || exit 2

# The program pauses at least 40 ms a record; everything else fits in two minutes.
limit=$((150 + records * 50 / 1000))
"$FPSIM" --ready "$tmp/ready" --log "$tmp/sim.log" --save "$tmp/kept.bin" \
    --lifetime $((limit + 60)) "${sim_args[@]}" 2>"$tmp/sim.err" &
sim_pid=$!
wait_for "$tmp/ready" "$sim_pid" || { echo "fpsim did not start: $(cat "$tmp/sim.err")" >&2; exit 2; }

printf '\n' >"$tmp/enter"
start=$SECONDS
timeout "$limit" "$FPFLASH" "$image" <"$tmp/enter" >"$tmp/out.txt" 2>"$tmp/err.txt"
got=$?
elapsed=$((SECONDS - start))

kill -TERM "$sim_pid"
wait "$sim_pid"
st=$?
sim_pid=
[ "$st" -eq 0 ] || fail "fpsim ended with status $st"
[ -s "$tmp/sim.err" ] && fail "fpsim complained: $(head -c 300 "$tmp/sim.err")"

# timeout answers 124 for a run it had to stop, and 128 + N for one that signal N ended.
want_status=$(((status + 256) % 256))
if [ "$got" -eq 124 ]; then
    fail "fpflash still running after $limit s"
elif [ "$got" -ne "$want_status" ] && [ "$got" -gt 128 ] && [ "$got" -le $((128 + 64)) ]; then
    fail "fpflash ended by signal $((got - 128))"
elif [ "$got" -ne "$want_status" ]; then
    fail "exit status $got, expected $status ($want_status)"
fi
[ -s "$tmp/err.txt" ] && fail "fpflash wrote to stderr: $(head -c 600 "$tmp/err.txt")"

want=$tmp/want.bin
want_image "$kept" "$image" "$want"
whole=no
cmp -s "$image" "$tmp/kept.bin" && whole=yes
cmp -s "$want" "$tmp/kept.bin" ||
    fail "the printer kept $(stat -c %s "$tmp/kept.bin") bytes, not the expected $(stat -c %s "$want")"

# What holds for every fault, whatever the row says.
out=$tmp/out.txt
[ "$got" -eq 0 ] && [ "$whole" = no ] && fail "exit status 0 without the whole image kept"
if grep -qxF "Download file '$image' - O'k" "$out" && [ "$whole" = no ]; then
    fail "download reported done without the whole image kept"
fi
if grep -qE "^(ERROR download file|Download ERROR fiscal printer)" "$out" && [ "$got" -eq 0 ]; then
    fail "exit status 0 after a failed update"
fi

for check in "${check_list[@]}"; do
    check=${check//@IMAGE@/$image}
    if [[ $check =~ ^([0-9]+)([=:])(.*)$ ]]; then
        if [ "${BASH_REMATCH[2]}" = = ]; then
            n=$(grep -cxF -e "${BASH_REMATCH[3]}" "$out")
        else
            n=$(grep -cF -e "${BASH_REMATCH[3]}" "$out")
        fi
        [ "$n" -eq "${BASH_REMATCH[1]}" ] ||
            fail "$n lines ${BASH_REMATCH[2]} '$(printf '%.80s' "${BASH_REMATCH[3]}")', expected ${BASH_REMATCH[1]}"
    else
        fail "bad check in the table: $check"
    fi
done

if [ "$failures" -gt 0 ]; then
    echo "--- fpflash's output (last 30 lines)"
    tail -n 30 "$out" | cut -c 1-200
    echo "--- the printer's log (last 40 lines)"
    tail -n 40 "$tmp/sim.log"
    exit 1
fi
echo "ok $name: status $status, kept $kept, in ${elapsed} s"
