#!/bin/bash
# Builds the fuzz targets (clang, libFuzzer, ASan and UBSan) into build/fuzz and runs each.
#
#   scripts/fuzz.sh --short          bounded run for make test: a few seconds per target
#   scripts/fuzz.sh --runs N         N executions per target
#   scripts/fuzz.sh --time SECONDS   that long per target
#   ... [target ...]                 only these (default: all five)
#
# FUZZ_JOBS targets run at once (default 2). Inputs found to be new go to build/fuzz/corpus,
# never to the seed corpora in tests/fuzz/corpus. One summary line per target; the exit status
# is non-zero when a target crashed or failed a check. Without clang or its libFuzzer runtime,
# installed here with apt-get when running as root, the run is skipped with exit status 0.
set -u
cd "$(dirname "$0")/.." || exit 1

ALL_TARGETS="fuzz_get_response fuzz_read_usb fuzz_scan_version fuzz_read_encrypt fuzz_capture"
SHORT_SECONDS=5
JOBS=${FUZZ_JOBS:-2}
BUILD=build/fuzz
SEEDS=tests/fuzz/corpus

mode_flag=""
short=0
targets=""
while [ $# -gt 0 ]; do
    case "$1" in
    --short) short=1; mode_flag="-max_total_time=$SHORT_SECONDS" ;;
    --runs) mode_flag="-runs=${2:?--runs needs a count}"; shift ;;
    --time) mode_flag="-max_total_time=${2:?--time needs seconds}"; shift ;;
    -h | --help) sed -n '2,12p' "$0"; exit 0 ;;
    -*) echo "fuzz: unknown option $1" >&2; exit 2 ;;
    *) targets="$targets $1" ;;
    esac
    shift
done
[ -n "$mode_flag" ] || mode_flag="-runs=200000"
[ -n "$targets" ] || targets=$ALL_TARGETS
for t in $targets; do
    case " $ALL_TARGETS " in *" $t "*) ;; *) echo "fuzz: no target $t" >&2; exit 2 ;; esac
done

die() {
    echo "fuzz: $*" >&2
    exit 1
}

CXX=${FUZZ_CXX:-clang++}
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT

# A clang that links a libFuzzer target with both sanitizers.
probe() {
    command -v "$CXX" >/dev/null 2>&1 || return 1
    printf '%s\n' 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) {' \
        '    return 0;' '}' >"$probe_dir/probe.cpp"
    "$CXX" -fsanitize=fuzzer,address,undefined "$probe_dir/probe.cpp" -o "$probe_dir/probe" \
        >/dev/null 2>&1
}

if ! probe; then
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        echo "fuzz: SKIPPED: $CXX cannot build libFuzzer targets with ASan and UBSan, and" \
            "installing needs root and apt-get (apt-get install clang libclang-rt-14-dev)"
        exit 0
    fi
    echo "fuzz: installing clang and its libFuzzer runtime"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null || die "apt-get update failed"
    if ! command -v "$CXX" >/dev/null 2>&1; then
        apt-get install -y -qq clang >/dev/null || die "installing clang failed"
    fi
    # The runtime must match the compiler's major version (14 on Debian 12).
    major=$("$CXX" -dumpversion 2>/dev/null | cut -d. -f1)
    apt-get install -y -qq "libclang-rt-${major:-14}-dev" >/dev/null ||
        die "installing libclang-rt-${major:-14}-dev failed"
    probe || die "$CXX still cannot build libFuzzer targets"
fi

mkdir -p "$BUILD/logs"
cmake -S tests/fuzz -B "$BUILD" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE= \
    >"$BUILD/logs/configure.log" 2>&1 ||
    { cat "$BUILD/logs/configure.log" >&2; die "configure failed"; }
cmake --build "$BUILD" -j"$(nproc 2>/dev/null || echo 2)" -- $targets \
    >"$BUILD/logs/build.log" 2>&1 || { cat "$BUILD/logs/build.log" >&2; die "build failed"; }

target_flags() {
    case "$1" in
    fuzz_get_response) echo "-max_len=512" ;;
    fuzz_read_usb) echo "-max_len=1024" ;;
    fuzz_scan_version) echo "-max_len=1400 -dict=tests/fuzz/scan_version.dict" ;;
    fuzz_read_encrypt) echo "-max_len=4224" ;;
    fuzz_capture) echo "-max_len=4096" ;;
    esac
}

run_one() {
    local t=$1
    local corpus=$BUILD/corpus/$t
    if [ $short = 1 ]; then
        # A fresh corpus each time, so the bounded run does the same work on every machine.
        corpus=$BUILD/corpus-short/$t
        rm -rf "$corpus"
    fi
    mkdir -p "$corpus" "$BUILD/artifacts/$t"
    # shellcheck disable=SC2046
    "$BUILD/$t" "$corpus" "$SEEDS/$t" $mode_flag $(target_flags "$t") -timeout=20 \
        -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$t/" >"$BUILD/logs/$t.log" 2>&1
}

summary() {
    local t=$1 rc=$2 log=$BUILD/logs/$1.log
    local execs cov ft crash
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -n 1)
    ft=${cov##* }
    cov=$(echo "$cov" | sed -n 's/^cov: \([0-9]*\).*/\1/p')
    crash=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
    if [ "$rc" = 0 ]; then
        echo "$t: ${execs:-?} executions, cov ${cov:-?}, ft ${ft:-?}, crashes 0"
    else
        echo "$t: ${execs:-?} executions, cov ${cov:-?}, ft ${ft:-?}, crashes 1" \
            "(exit $rc; reproducer ${crash:-none written}; log $log)"
    fi
}

# At most JOBS targets at once.
for t in $targets; do
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do
        wait -n
    done
    rm -f "$BUILD/logs/$t.rc"
    (run_one "$t"; echo $? >"$BUILD/logs/$t.rc") &
done
wait
failed=0
for t in $targets; do
    rc=$(cat "$BUILD/logs/$t.rc" 2>/dev/null || echo lost)
    summary "$t" "$rc"
    [ "$rc" = 0 ] || failed=1
done
exit $failed
