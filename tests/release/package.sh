#!/bin/sh
# usage: package.sh install|deb BUILD_DIR SOURCE_DIR
# install: `cmake --install` of BUILD_DIR into a scratch root puts exactly the programs,
#          their man pages and fpusbd's systemd user unit in place; the pages are clean roff
#          for groff and mandoc, in man-pages(7)'s layout, the drivers print their version,
#          and fpflash runs.
#          fpusbd --setup writes below a scratch root a udev rule that udev parses (as root,
#          where udevadm is) and the device list with which the unit's command line runs.
# deb:     the Debian package `make deb` makes of SOURCE_DIR's commit (BUILD_DIR is not used)
#          is hardened, lintian finds nothing in it but the placeholder maintainer, it installs
#          with dpkg, its programs run, systemd takes its user unit without a word, and its
#          purge leaves none of its files behind, nor a setup's. Needs root and dpkg.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
mode=$1
build=$2
root=$3
version=$(head -n 1 "$root/VERSION")

# Every file the install and the package hold, below the prefix.
expected="bin/fpflash
bin/fpflash-all
bin/fpsim
bin/fpusbd
lib/systemd/user/fpusbd.service
share/doc/fpflash/changelog.gz
share/doc/fpflash/copyright
share/man/man1/fpflash.1.gz
share/man/man1/fpflash-all.1.gz
share/man/man1/fpsim.1.gz
share/man/man1/fpusbd.1.gz"
# In the order sort gives the listings here, whatever the locale's.
expected=$(echo "$expected" | sort)

# check_fpflash FPFLASH: with no argument it says so and exits 1, at once with stdin at its end.
check_fpflash() {
    out=$("$1" </dev/null)
    status=$?
    [ "$out" = "ERROR command line" ] || fail "$1 with no argument printed '$out'"
    [ $status = 1 ] || fail "$1 with no argument exited $status, not 1"
    [ $failed = 0 ] && echo "$1 with no argument: 'ERROR command line', exit status 1"
}

# check_man_pages MAN_DIR BIN_DIR: clean roff for groff and mandoc, laid out as man-pages(7)
# asks, naming each other (the OPTIONS of all but fpflash's are made from the programs' tables
# at build time), and --version prints the version.
check_man_pages() {
    for page in fpflash fpflash-all fpsim fpusbd; do
        src=$1/$page.1.gz
        gzip -t "$src" || { fail "$src is not gzip"; continue; }
        gzip -dc "$src" >"$scratch/$page.1"
        # In a terminal of 80 columns too, as man shows it there.
        warnings=$(groff -man -ww -z "$scratch/$page.1" 2>&1
            groff -man -ww -z -Tutf8 -rLL=78n "$scratch/$page.1" 2>&1)
        [ -z "$warnings" ] || fail "$page.1: groff warns: $warnings"
        warnings=$(mandoc -Tlint -Wwarning "$scratch/$page.1" 2>&1)
        [ -z "$warnings" ] || fail "$page.1: mandoc warns: $warnings"
        th=$(head -n 1 "$scratch/$page.1")
        date='[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]'
        echo "$th" | grep -q "^\.TH [A-Z-]* 1 $date \"fpflash $version\"" ||
            fail "$page.1 has no date YYYY-MM-DD and version $version: $th"
        sections=$(sed -n 's/^\.SH "\{0,1\}\([^"]*\)"\{0,1\}$/\1/p' "$scratch/$page.1" |
            tr '\n' '/')
        want="NAME/SYNOPSIS/DESCRIPTION/OPTIONS/EXIT STATUS/ENVIRONMENT/FILES/EXAMPLES/SEE ALSO/"
        # fpflash has no options.
        [ $page = fpflash ] && want=$(echo "$want" | sed 's|OPTIONS/||')
        [ "$sections" = "$want" ] || fail "$page.1 has the sections $sections, want $want"
        for other in fpflash fpflash-all fpsim fpusbd; do
            [ $other = $page ] || sed -n '/^\.SH "\{0,1\}SEE ALSO/,$p' "$scratch/$page.1" |
                grep -q "^\.BR $(echo $other | sed 's/-/\\\\-/') (1)" ||
                fail "$page.1 does not refer to $other(1)"
        done
    done
    [ $failed = 0 ] && echo "the man pages pass groff -ww and mandoc -Tlint, with the sections" \
        "and siblings they should have"
    for prog in fpflash-all fpsim fpusbd; do
        out=$("$2/$prog" --version)
        [ "$out" = "$prog (fpflash) $version" ] || fail "$prog --version printed '$out'"
        echo "$prog --version: $out"
    done
}

# check_setup DESTDIR PREFIX: --unsetup, and the package's purge, each after a setup, leave a
# scratch root as they found it; udev parses the rule fpusbd --setup writes below it (as root,
# where udevadm is), and the unit's command line, with the installed fpusbd and the list the
# setup wrote, is one fpusbd takes. What it writes and refuses, tests/usbd_test.cpp.
check_setup() {
    fpusbd=$1$2/bin/fpusbd
    setup=$scratch/setup
    mkdir -p "$setup/etc/udev/rules.d"
    found=$(cd "$setup" && find . | sort)
    for undo in unsetup purge; do
        "$fpusbd" --setup 1209:0001 --loader 0002 --root "$setup" >"$scratch/log" 2>&1 ||
            fail "fpusbd --setup --root exited $?"
        if [ $undo = unsetup ]; then
            "$fpusbd" --unsetup --root "$setup"
        else
            DPKG_ROOT=$setup sh "$root/usbd/postrm" purge
        fi >"$scratch/log" 2>&1 || fail "the $undo exited $?"
        left=$(cd "$setup" && find . | sort)
        [ "$left" = "$found" ] || fail "the $undo left $(echo $left)"
    done
    [ $failed = 0 ] && echo "fpusbd --unsetup, and the package's purge, leave nothing of a setup"
    "$fpusbd" --setup 1209:0001 --loader 0002 --setup 04b8 --root "$setup" >"$scratch/log" 2>&1 ||
        { cat "$scratch/log"; fail "fpusbd --setup --root exited $?"; return; }
    rule=$setup/etc/udev/rules.d/70-fpusbd.rules
    [ -f "$rule" ] && [ -f "$setup/etc/fpusbd/devices" ] ||
        { fail "fpusbd --setup wrote: $(cd "$setup" && find . -type f)"; return; }
    echo "fpusbd --setup --root wrote $(cd "$setup" && find . ! -type d | sort | tr '\n' ' ')"

    exec_start=$(sed -n 's/^ExecStart=//p' "$1$2/lib/systemd/user/fpusbd.service")
    program=${exec_start%% *}
    [ "$program" = "$2/bin/fpusbd" ] || fail "the unit runs $program, not $2/bin/fpusbd"
    list=$(echo "$exec_start" | sed -n 's/.* --devices \([^ ]*\).*/\1/p')
    [ -f "$setup$list" ] || fail "the unit reads the device list $list, which --setup does not write"
    # shellcheck disable=SC2046 # the unit's words, split as systemd splits them
    if XDG_RUNTIME_DIR=$scratch "$fpusbd" $(echo "${exec_start#* }" | sed "s|$list|$setup$list|") \
        --list >"$scratch/log" 2>&1; then
        echo "the unit's command line runs with the list --setup wrote: $exec_start"
    else
        cat "$scratch/log"
        fail "fpusbd does not take the unit's command line: $exec_start"
    fi

    if [ "$(id -u)" != 0 ] || ! command -v udevadm >/dev/null 2>&1; then
        echo "udev's parse of the rule not checked: it needs root and udevadm"
        return
    fi
    # udevadm test reads the rules directories only; the rule goes where nothing keeps it.
    check=/run/udev/rules.d/70-fpusbd-check-$$.rules
    mkdir -p /run/udev/rules.d && cp "$rule" "$check" || { fail "cannot place $check"; return; }
    udevadm test --action=add /sys/class/net/lo >"$scratch/udev" 2>&1
    rm -f "$check"
    grep -q "^Reading rules file: $check\$" "$scratch/udev" || fail "udevadm test did not read $check"
    if grep "$check" "$scratch/udev" | grep -v "^Reading rules file: "; then
        fail "udev finds fault with the rule"
    else
        echo "udevadm test parses the rule without a word"
    fi
}

# check_unit UNIT: systemd's user manager takes the installed unit without a word; a bad key
# only warns, so anything said fails.
check_unit() {
    command -v systemd-analyze >/dev/null 2>&1 ||
        { fail "systemd-analyze is not installed (make deps)"; return; }
    mkdir -m 700 "$scratch/xdg"
    said=$(XDG_RUNTIME_DIR=$scratch/xdg systemd-analyze --user --man=no verify "$1" 2>&1)
    status=$?
    if [ $status != 0 ] || [ -n "$said" ]; then
        fail "systemd-analyze verify $1 (status $status): $said"
    else
        echo "systemd-analyze --user verify $1: nothing to say"
    fi
    # Unsandboxed it rates 9.8; what a user's manager can add without namespaces, 5.9.
    XDG_RUNTIME_DIR=$scratch/xdg systemd-analyze --user security --offline=yes --threshold=60 \
        "$1" >"$scratch/security" 2>&1 || fail "systemd-analyze rates $1 above 6.0"
    tail -n 1 "$scratch/security"
}

case $mode in
install)
    DESTDIR=$scratch/root cmake --install "$build" --prefix /opt/fp >"$scratch/log" ||
        { cat "$scratch/log"; fail "cmake --install"; exit 1; }
    got=$(cd "$scratch/root/opt/fp" && find . ! -type d | sed 's|^\./||' | sort)
    [ "$got" = "$expected" ] || fail "installed: $(echo $got), want: $(echo $expected)"
    check_fpflash "$scratch/root/opt/fp/bin/fpflash"
    check_man_pages "$scratch/root/opt/fp/share/man/man1" "$scratch/root/opt/fp/bin"
    check_setup "$scratch/root" /opt/fp
    ;;
deb)
    [ "$(id -u)" = 0 ] || skip "the package test installs with dpkg and needs root (CI runs as root)"
    command -v dpkg >/dev/null 2>&1 || skip "dpkg is not installed: not a Debian system"
    command -v dpkg-shlibdeps >/dev/null 2>&1 ||
        skip "dpkg-shlibdeps is not installed (make deps installs dpkg-dev as root)"
    git -C "$root" rev-parse -q --verify HEAD >/dev/null 2>&1 ||
        skip "$root is not a git checkout; packages are made from a commit"
    if dpkg-query -W fpflash >/dev/null 2>&1; then
        skip "a package fpflash is installed here already, and this test would remove it"
    fi
    for f in $expected; do
        [ -e "/usr/$f" ] && skip "/usr/$f exists and belongs to no fpflash package"
    done

    # A run cut short must not leave the package installed.
    installed=0
    trap '[ $installed = 0 ] || dpkg --purge fpflash >/dev/null 2>&1; rm -rf "$scratch"' EXIT
    # What `make deb` makes, with the maintainer it has when none is given.
    MAINTAINER="" "$root/scripts/deb.sh" "$scratch/pkg" "$scratch/work" >"$scratch/log" 2>&1 ||
        { cat "$scratch/log"; fail "scripts/deb.sh"; exit 1; }
    deb=$(ls "$scratch"/pkg/fpflash_*.deb)
    echo "$(basename "$deb"): $(wc -c <"$deb") bytes"
    dpkg-deb -I "$deb" | sed -n 's/^ \([A-Z][A-Za-z-]*: .*\)/\1/p'
    [ "$(dpkg-deb -f "$deb" Package)" = fpflash ] || fail "package name $(dpkg-deb -f "$deb" Package)"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] ||
        fail "package version $(dpkg-deb -f "$deb" Version), want $version"
    # The placeholder is the one thing lintian may hold against it, and it must see it.
    placeholder="fpflash@localhost"
    dpkg-deb -f "$deb" Maintainer | grep -q "<$placeholder>\$" ||
        fail "Maintainer is $(dpkg-deb -f "$deb" Maintainer), not the placeholder"
    lintian_clean "$deb" "^E: fpflash: bogus-mail-host(-in-debian-changelog)? .*$placeholder"
    grep -q "^E: fpflash: bogus-mail-host Maintainer $placeholder" "$scratch/lintian" ||
        fail "lintian does not see the placeholder maintainer"
    dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends does not name libc6"
    dpkg-deb -f "$deb" Depends | grep -q 'libusb-1.0' || fail "Depends does not name libusb-1.0"
    dpkg-deb -c "$deb" >"$scratch/listing"
    files=$(awk '$1 !~ /^d/ { print $NF }' "$scratch/listing" | sed 's|^\./||' | sort)
    [ "$files" = "$(echo "$expected" | sed 's|^|usr/|')" ] ||
        fail "the package holds: $(echo $files)"
    # The directories it brings that were not here before must go with it.
    new_dirs=$(awk '$1 ~ /^d/ { print $NF }' "$scratch/listing" | sed 's|^\.||; s|/$||' |
        while read -r d; do [ -e "$d" ] || echo "$d"; done)

    # Debian's hardening: fortified calls, stack protector, relro and bind now.
    dpkg-deb -x "$deb" "$scratch/data"
    for prog in fpflash fpflash-all fpsim fpusbd; do
        bin=$scratch/data/usr/bin/$prog
        readelf -d "$bin" | grep -q '(FLAGS).*BIND_NOW' || fail "$prog is not linked with -z now"
        readelf -lW "$bin" | grep -q GNU_RELRO || fail "$prog has no RELRO segment"
        nm -D "$bin" | grep -q ' U __stack_chk_fail@' || fail "$prog has no stack protector"
        fortified=$(nm -D "$bin" | sed -n 's/^ *U \(__[a-z_]*_chk\)@.*/\1/p' | tr '\n' ' ')
        [ -n "$fortified" ] || fail "$prog calls no fortified function"
        echo "$prog: bind now, relro, stack protector, fortified $fortified"
    done

    installed=1
    dpkg -i "$deb" >"$scratch/log" 2>&1 || { cat "$scratch/log"; fail "dpkg -i"; exit 1; }
    # What fpusbd --setup writes goes with the purge, unless this machine has a setup of its own.
    setup_files="/etc/udev/rules.d/70-fpusbd.rules /etc/fpusbd"
    if [ -e /etc/fpusbd ] || [ -e /etc/udev/rules.d/70-fpusbd.rules ]; then
        echo "the setup's purge not checked: this machine has a setup of its own"
        setup_files=""
    elif ! /usr/bin/fpusbd --setup 1209:0001 --loader 0002 >"$scratch/log" 2>&1; then
        cat "$scratch/log"
        fail "/usr/bin/fpusbd --setup"
    fi
    echo "installed: $(dpkg-query -W -f='${Package} ${Version} ${Status}' fpflash)"
    check_fpflash /usr/bin/fpflash
    [ "$(/usr/bin/fpsim --help | head -n 1)" = "Usage: fpsim [OPTION]..." ] ||
        fail "/usr/bin/fpsim --help"
    [ "$(/usr/bin/fpusbd --help | head -n 1)" = "Usage: fpusbd --device VID[:PID] [OPTION]..." ] ||
        fail "/usr/bin/fpusbd --help"
    check_man_pages /usr/share/man/man1 /usr/bin
    check_unit /usr/lib/systemd/user/fpusbd.service

    dpkg --purge fpflash >"$scratch/log" 2>&1 || { cat "$scratch/log"; fail "dpkg --purge"; }
    installed=0
    dpkg-query -W fpflash >/dev/null 2>&1 && fail "dpkg still knows the package after the purge"
    left=""
    for p in $(echo "$files" | sed 's|^|/|') $new_dirs $setup_files; do
        [ -e "$p" ] && left="$left $p"
    done
    [ -z "$left" ] || fail "left behind after the purge: $left"
    [ $failed = 0 ] && echo "purged: none of its $(echo "$files" | wc -l) files and" \
        "$(echo $new_dirs | wc -w) directories of its own left${setup_files:+, nor $setup_files}"
    ;;
*)
    echo "usage: package.sh install|deb BUILD_DIR SOURCE_DIR"
    exit 2
    ;;
esac
exit $failed
