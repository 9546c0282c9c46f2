#!/bin/sh
# usage: dist_check.sh SOURCE_DIR
# make dist twice, built at two paths: the .exe, every archive and the Debian package must
# come out byte for byte the same, and hold what a technician and a packager are promised,
# SHA256SUMS signed by gpg and by minisign, and a source archive that builds the same package.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
root=$1

git -C "$root" rev-parse -q --verify HEAD >/dev/null 2>&1 ||
    skip "$root is not a git checkout; releases are made from a commit"
command -v i686-w64-mingw32-g++ >/dev/null 2>&1 ||
    skip "i686-w64-mingw32-g++ is not installed (scripts/deps-win32.sh installs it as root)"
command -v dpkg >/dev/null 2>&1 || skip "dpkg is not installed: not a Debian system"
for signer in gpg minisign; do
    command -v $signer >/dev/null 2>&1 || skip "$signer is not installed (make deps installs it)"
done
version=$(git -C "$root" show HEAD:VERSION | head -n 1)
name=fpflash-$version
deb=fpflash_${version}_$(dpkg --print-architecture).deb
epoch=$(git -C "$root" log -1 --format=%ct)
# A packager's release: with a real maintainer nothing is left for lintian to find.
maintainer="Release Check <release-check@example.org>"

# Throwaway keys, with no password, for the signatures.
GNUPGHOME=$scratch/gnupg
export GNUPGHOME
mkdir -m 700 "$GNUPGHOME"
trap 'gpgconf --kill gpg-agent 2>/dev/null; rm -rf "$scratch"' EXIT
gpg --batch --passphrase '' --quick-gen-key "$maintainer" ed25519 sign never >/dev/null 2>&1 ||
    fail "gpg cannot make a key"
minisign -G -W -p "$scratch/minisign.pub" -s "$scratch/minisign.key" >/dev/null

# The second build path is longer, as another clone's would be, and its umask another user's.
work1=$scratch/work1 umask1=022 sign1=release-check@example.org
work2=$scratch/another/clone/work2 umask2=002 sign2=$scratch/minisign.key
for run in 1 2; do
    eval "work=\$work$run mask=\$umask$run key=\$sign$run"
    (umask $mask && MAINTAINER=$maintainer SIGN_KEY=$key "$root/scripts/dist.sh" \
        "$scratch/out$run" "$work" >"$scratch/log$run" 2>&1) ||
        { cat "$scratch/log$run"; fail "dist.sh run $run"; exit 1; }
done
cat "$scratch/log1"
gpg --verify "$scratch/out1/SHA256SUMS.asc" "$scratch/out1/SHA256SUMS" 2>/dev/null ||
    fail "gpg does not verify the signature of SHA256SUMS"
minisign -Vm "$scratch/out2/SHA256SUMS" -p "$scratch/minisign.pub" >/dev/null ||
    fail "minisign does not verify the signature of SHA256SUMS"
[ $failed = 0 ] && echo "SHA256SUMS signed and verified with gpg and with minisign"
rm "$scratch/out1/SHA256SUMS.asc" "$scratch/out2/SHA256SUMS.minisig"

for f in fpflash.exe README.txt LICENSE.txt SHA256SUMS; do
    cmp "$work1/pkg/$f" "$work2/pkg/$f" || fail "$f differs between two builds"
done
ls "$scratch/out1" | LC_ALL=C sort >"$scratch/ls1"
ls "$scratch/out2" | LC_ALL=C sort >"$scratch/ls2"
want=$(printf '%s\n' SHA256SUMS "$name-src.tar.gz" "$name-win32.zip" "$deb")
[ "$(cat "$scratch/ls1")" = "$want" ] || fail "dist wrote $(tr '\n' ' ' <"$scratch/ls1")"
cmp -s "$scratch/ls1" "$scratch/ls2" || fail "the two runs wrote different files"
for f in $(cat "$scratch/ls1"); do
    if cmp "$scratch/out1/$f" "$scratch/out2/$f"; then
        echo "identical in both builds: $f $(sha256sum <"$scratch/out1/$f" | cut -c1-64)"
    else
        fail "$f differs between two builds"
    fi
done
(cd "$scratch/out1" && sha256sum -c --quiet SHA256SUMS) || fail "dist/SHA256SUMS does not match"

# What the technician unpacks.
mkdir "$scratch/zip"
python3 - "$scratch/out1/$name-win32.zip" "$scratch/zip" "$epoch" <<'PY' ||
import sys, time, zipfile
path, dest, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
want = ["fpflash.exe", "README.txt", "LICENSE.txt", "SHA256SUMS"]
bad = []
with zipfile.ZipFile(path) as z:
    names = [i.filename for i in z.infolist()]
    if names != want:
        bad.append("zip holds %s, want %s" % (names, want))
    stamp = time.gmtime(epoch)[:6]
    for i in z.infolist():
        if i.create_system != 3 or i.external_attr >> 16 != 0o100644:
            bad.append("%s does not unpack with mode 0644" % i.filename)
        # DOS times have two-second steps.
        if i.date_time[:5] != stamp[:5] or abs(i.date_time[5] - stamp[5]) > 1:
            bad.append("%s dated %s, not the commit's %s" % (i.filename, i.date_time, stamp))
    z.extractall(dest)
for b in bad:
    print("FAIL:", b)
sys.exit(1 if bad else 0)
PY
    failed=1
(cd "$scratch/zip" && sha256sum -c SHA256SUMS) || fail "SHA256SUMS in the zip does not match"
cmp "$scratch/zip/fpflash.exe" "$work1/pkg/fpflash.exe" ||
    fail "the zip's .exe is not the one built"
python3 "$here/exe_check.py" "$scratch/zip/fpflash.exe" "$root/VERSION" "$root/LICENSE" \
    >"$scratch/exe_check" ||
    { cat "$scratch/exe_check"; fail "the released .exe's resources"; }

# The released .exe imports only what XP exports; and the check can fail: with one name taken
# out of each DLL's list it must name every one of them.
imports=$root/tests/win32/imports.sh
sh "$imports" "$scratch/zip/fpflash.exe" >"$scratch/imports" ||
    { cat "$scratch/imports"; fail "the released .exe imports what Windows XP lacks"; }
tail -n 1 "$scratch/imports"
cp -R "$root/tests/win32/xp" "$scratch/xp_short"
removed=""
for list in "$scratch"/xp_short/*.txt; do
    export_name=$(grep -v '^#' "$list" | tail -n 1)
    grep -vx -- "$export_name" "$list" >"$scratch/list" && cp "$scratch/list" "$list"
    removed="$removed $export_name"
done
sh "$imports" "$scratch/zip/fpflash.exe" "$scratch/xp_short" >"$scratch/imports_short"
status=$?
[ $status = 1 ] || fail "the imports check exits $status with$removed missing from the lists"
unnamed=""
for export_name in $removed; do
    grep -q ": $export_name is not among its Windows XP exports" "$scratch/imports_short" ||
        unnamed="$unnamed $export_name"
done
[ -z "$unnamed" ] ||
    { cat "$scratch/imports_short"; fail "the imports check does not name the missing$unnamed"; }
[ $failed = 0 ] && echo "the imports check fails on each missing name:$removed"

# Notepad users open the text files: plain ASCII, every line ending in CR LF.
cr=$(printf '\r')
for f in README.txt LICENSE.txt SHA256SUMS; do
    LC_ALL=C grep -q "[^ -~$cr]" "$scratch/zip/$f" && fail "$f is not plain ASCII"
    lines=$(tr -cd '\n' <"$scratch/zip/$f" | wc -c)
    [ "$lines" -gt 0 ] || fail "$f is empty"
    [ "$(grep -c "$cr\$" "$scratch/zip/$f")" = "$lines" ] ||
        fail "$f has a line that does not end in CR LF"
done
long=$(tr -d '\r' <"$scratch/zip/README.txt" | awk 'length > 79 { print NR }' | tr '\n' ' ')
[ -z "$long" ] || fail "README.txt has lines longer than 79 characters: $long"
[ "$(tr -d '\r' <"$scratch/zip/LICENSE.txt")" = "$(cat "$root/LICENSE")" ] ||
    fail "LICENSE.txt is not the licence"
listed=$(cut -c67- "$scratch/zip/SHA256SUMS" | tr -d '\r' | tr '\n' ' ')
[ "$listed" = "fpflash.exe README.txt LICENSE.txt " ] || fail "SHA256SUMS in the zip lists: $listed"
guide=$scratch/zip/README.txt
head -n 1 "$guide" | grep -q "^fpflash $version " || fail "README.txt does not start with the version"
# Every message with ERROR in it that the program can print, up to its first conversion.
messages=$(cd "$root" && grep -ho '"[^"]*ERROR[^"]*"' driver/*.cpp image/*.cpp loader/*.cpp \
    usb/*.cpp common/*.cpp | sed 's/^"//; s/"$//; s/%.*//; s/\\n.*//; s/[ ]*$//' | sort -u)
[ -n "$messages" ] || fail "found no ERROR messages in the sources"
echo "$messages" | while IFS= read -r m; do
    grep -qF -- "$m" "$guide" || echo "README.txt does not explain \"$m\""
done >"$scratch/unexplained"
[ -s "$scratch/unexplained" ] && { cat "$scratch/unexplained"; failed=1; }
echo "README.txt explains $(echo "$messages" | wc -l) ERROR messages"

# The package: every date the commit's, the maintainer given, nothing for lintian.
debfile=$scratch/out1/$deb
[ "$(dpkg-deb -f "$debfile" Maintainer)" = "$maintainer" ] ||
    fail "the package's maintainer is $(dpkg-deb -f "$debfile" Maintainer), not $maintainer"
stamp=$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
dpkg-deb --fsys-tarfile "$debfile" | tar -tv --full-time >"$scratch/deb_files"
undated=$(grep -v " $stamp " "$scratch/deb_files")
[ -z "$undated" ] || fail "files in the package not dated $stamp, the commit's: $undated"
mkdir "$scratch/deb"
dpkg-deb -x "$debfile" "$scratch/deb"
trailer=$(gzip -dc "$scratch/deb/usr/share/doc/fpflash/changelog.gz" | tail -n 1)
[ "$trailer" = " -- $maintainer  $(LC_ALL=C date -u -R -d "@$epoch")" ] ||
    fail "the changelog's last line is '$trailer', not the maintainer and the commit's date"
lintian_clean "$debfile"
[ $failed = 0 ] && echo "$deb: dated $stamp, maintainer $maintainer, lintian clean"

# The source archive is the commit's tree, under one directory named for the release.
tar -tzf "$scratch/out1/$name-src.tar.gz" | grep -v '/$' | sort >"$scratch/tar_files"
git -C "$root" ls-tree -r --name-only HEAD | sed "s|^|$name/|" | sort >"$scratch/git_files"
cmp -s "$scratch/tar_files" "$scratch/git_files" ||
    fail "the source archive is not the tree of HEAD: $(diff "$scratch/git_files" "$scratch/tar_files" | head -n 5)"

stamped=$(tar -xzOf "$scratch/out1/$name-src.tar.gz" "$name/cmake/commit.txt")
[ "$stamped" = "$(git -C "$root" rev-parse HEAD) $epoch" ] ||
    fail "the source archive's cmake/commit.txt holds '$stamped', not the commit and its date"

# A source release: unpacked elsewhere, where a git that only notes its calls comes first, and
# with no network where one can be cut off, make deb builds the release's package.
mkdir -p "$scratch/elsewhere" "$scratch/nogit"
tar -xzf "$scratch/out1/$name-src.tar.gz" -C "$scratch/elsewhere"
printf '#!/bin/sh\necho "git $*" >>%s\nexit 1\n' "$scratch/git_calls" >"$scratch/nogit/git"
chmod +x "$scratch/nogit/git"
offline="unshare --net"
$offline true 2>/dev/null || offline=""
(cd "$scratch/elsewhere/$name" && PATH=$scratch/nogit:$PATH MAINTAINER=$maintainer \
    $offline make deb >"$scratch/log_src" 2>&1) ||
    { cat "$scratch/log_src"; fail "make deb in the unpacked source archive"; }
[ -e "$scratch/git_calls" ] && fail "make deb in the source archive ran $(cat "$scratch/git_calls")"
if cmp "$scratch/elsewhere/$name/dist/$deb" "$scratch/out1/$deb"; then
    echo "make deb in the unpacked source archive, no git${offline:+, no network}: $deb," \
        "identical to the release's"
fi || fail "the source archive's make deb builds another $deb"

[ $failed = 0 ] && echo "two builds of $(git -C "$root" rev-parse --short HEAD) are identical"
exit $failed
