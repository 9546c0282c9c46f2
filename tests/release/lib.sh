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

# lintian_clean DEB [PATTERN]...: lintian, at every level down to pedantic, finds no error, no
# warning and no hardening shortfall in DEB but lines matching one of the extended regular
# expressions given. Prints what it says.
lintian_clean() {
    # sh has no locals: these names are the function's own.
    lintian_deb=$1
    shift
    command -v lintian >/dev/null 2>&1 || { fail "lintian is not installed (make deps)"; return; }
    # As root it says that it should not run as root; that is all it says on stderr.
    lintian --display-info --pedantic --fail-on none "$lintian_deb" \
        >"$scratch/lintian" 2>/dev/null || { fail "lintian could not check $lintian_deb"; return; }
    echo "lintian $(basename "$lintian_deb"):"
    sed 's/^/    /' "$scratch/lintian"
    grep -E '^[EW]: |hardening-' "$scratch/lintian" >"$scratch/lintian_bad"
    for lintian_allowed in "$@"; do
        grep -Ev -- "$lintian_allowed" "$scratch/lintian_bad" >"$scratch/lintian_left"
        mv "$scratch/lintian_left" "$scratch/lintian_bad"
    done
    if [ -s "$scratch/lintian_bad" ]; then
        fail "lintian: $(cat "$scratch/lintian_bad")"
    fi
}
