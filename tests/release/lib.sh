# shellcheck shell=sh
# Shared by the release tests: skips (exit 77, ctest's SKIP_RETURN_CODE) and failures that
# say why, and a scratch directory removed at exit.
SKIP=77
failed=0

skip() {
    echo "SKIPPED: $*"
    exit $SKIP
}

fail() {
    echo "FAIL: $*"
    failed=1
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
