#!/usr/bin/env bash
# make demo: one whole update of a simulated printer, as the technician at the console sees
# it, and then whether the printer got the image byte for byte.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 1
FPFLASH=build/host/fpflash
FPSIM=build/host/fpsim
out=build/host/demo
image=$out/firmware.bin
kept=$out/received.bin

for tool in "$FPFLASH" "$FPSIM"; do
    [ -x "$tool" ] || { echo "demo: $tool is not built; run make demo" >&2; exit 1; }
done
command -v python3 >/dev/null || { echo "demo: python3 is needed to make the image" >&2; exit 1; }

mkdir -p "$out"
rm -f "$kept"
python3 scripts/make_image.py --blocks 64 --seed 1 "$image" || exit 1

# A runtime directory of its own, so no other printer on this machine gets in the way.
run=$(mktemp -d /tmp/fpflash-demo.XXXXXX) || exit 1
sim=
cleanup() {
    [ -n "$sim" ] && kill -TERM "$sim" 2>/dev/null && wait "$sim"
    rm -rf "$run"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$run

"$FPSIM" --name printer --ready "$run/ready" --log "$out/fpsim.log" --save "$kept" \
    --stop-when-done --lifetime 300 2>"$out/fpsim.err" &
sim=$!
for ((i = 0; i < 100; i++)); do
    [ -s "$run/ready" ] && break
    kill -0 "$sim" 2>/dev/null || break
    sleep 0.05
done
if [ ! -s "$run/ready" ]; then
    echo "demo: the simulated printer did not start:" >&2
    cat "$out/fpsim.err" >&2
    exit 1
fi

blocks=$(($(stat -c %s "$image") / 528))
echo "A simulated printer is plugged in (its log: $out/fpsim.log)."
echo "The technician updates it with a firmware image of $blocks records:"
echo
echo "\$ fpflash $image"
start=$SECONDS
# The Enter for the closing prompt.
printf '\n' | "$FPFLASH" "$image"
status=$?
[ "$status" -gt 127 ] && status=$((status - 256))
echo "(Enter)"
echo
echo "fpflash ended with exit status $status after $((SECONDS - start)) s."

# The printer stops by itself once its new firmware has been read; a run that went wrong
# may leave it waiting.
for ((i = 0; i < 100; i++)); do
    kill -0 "$sim" 2>/dev/null || break
    sleep 0.05
done
kill -TERM "$sim" 2>/dev/null
wait "$sim"
sim=
[ -s "$out/fpsim.err" ] && cat "$out/fpsim.err" >&2

size=$(stat -c %s "$image")
if [ -f "$kept" ] && cmp -s "$image" "$kept"; then
    echo "Simulator stopped. The printer received the image byte for byte ($size bytes)."
    match=yes
else
    got=0
    [ -f "$kept" ] && got=$(stat -c %s "$kept")
    echo "Simulator stopped. The printer did NOT receive the image intact:" \
        "it kept $got bytes of $size; compare $image with $kept."
    match=no
fi
[ "$status" -eq 0 ] && [ "$match" = yes ]
