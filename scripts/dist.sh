#!/bin/sh
# usage: dist.sh [OUT_DIR [WORK_DIR]]
# A release of the commit checked out. OUT_DIR (default dist/) receives
#   fpflash-VERSION-win32.zip   fpflash.exe, README.txt (the technician's guide), LICENSE.txt,
#                               SHA256SUMS (of those three)
#   fpflash-VERSION-src.tar.gz  the commit's sources (git archive)
#   fpflash_VERSION_ARCH.deb    the Debian package (scripts/deb.sh; MAINTAINER names its
#                               maintainer)
#   SHA256SUMS                  of those three
#   SHA256SUMS.asc or .minisig  its signature, when SIGN_KEY names a key: an OpenPGP key of
#                               gpg's, or the file of a minisign secret key
# fpflash.exe is built in WORK_DIR (default build/dist) from the source archive itself, so no
# uncommitted change reaches a release, and every date in the archives is the commit's, so two
# runs on one commit give the same bytes.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/dist}
work=${2:-$root/build/dist}
jobs=${JOBS:-2}

die() {
    echo "dist: $*" >&2
    exit 1
}
signer=""
if [ -n "${SIGN_KEY:-}" ]; then
    signer=gpg
    [ -f "$SIGN_KEY" ] && signer=minisign
fi
for tool in git gzip tar python3 cmake cpack dpkg-buildflags i686-w64-mingw32-g++ $signer; do
    command -v $tool >/dev/null 2>&1 || die "$tool is not installed (make deps deps-win32)"
done
git -C "$root" rev-parse -q --verify HEAD >/dev/null 2>&1 ||
    die "$root is not a git checkout with a commit; a release is made from one"

commit=$(git -C "$root" rev-parse HEAD)
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct HEAD)
export SOURCE_DATE_EPOCH
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "dist: the working tree has uncommitted changes; they are not in this release," \
        "which is built from commit $commit"
fi
version=$(git -C "$root" show HEAD:VERSION | head -n 1)
name=fpflash-$version
echo "dist: $name from commit $commit"

rm -rf "$work"
mkdir -p "$work/pkg" "$out"
out=$(cd "$out" && pwd)
src_archive=$work/$name-src.tar.gz
# git archive gives every entry the commit's time, in the tree's order; gzip -n leaves out
# the name and time of its own.
git -C "$root" archive --format=tar --prefix="$name/" HEAD | gzip -9n >"$src_archive"
tar -xzf "$src_archive" -C "$work"

(cd "$work/$name" && cmake --preset win32 >/dev/null)
cmake --build "$work/$name/build/win32" -j"$jobs" >/dev/null
cp "$work/$name/build/win32/fpflash.exe" "$work/pkg/fpflash.exe"

# Notepad on older Windows shows a file with bare line feeds as one long line.
python3 - "$version" "$work/$name/man/guide.txt" "$work/pkg/README.txt" \
    "$work/$name/LICENSE" "$work/pkg/LICENSE.txt" <<'PY'
import sys
version = sys.argv[1]
for source, dest in zip(sys.argv[2::2], sys.argv[3::2]):
    text = open(source, encoding="ascii").read().replace("@VERSION@", version)
    open(dest, "wb").write(text.replace("\n", "\r\n").encode("ascii"))
PY
(cd "$work/pkg" && sha256sum fpflash.exe README.txt LICENSE.txt | sed 's/$/\r/' >SHA256SUMS)

zip=$out/$name-win32.zip
python3 - "$zip" "$work/pkg" "$SOURCE_DATE_EPOCH" \
    fpflash.exe README.txt LICENSE.txt SHA256SUMS <<'PY'
import os, sys, time, zipfile
dest, folder, epoch = sys.argv[1:4]
# Zip dates have no time zone and start in 1980: the commit's time in UTC, clamped.
stamp = time.gmtime(max(int(epoch), 315532800))[:6]
with zipfile.ZipFile(dest + ".tmp", "w") as z:
    for name in sys.argv[4:]:
        info = zipfile.ZipInfo(name, stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        # Explorer takes no mode; unzip on Linux would make the files its user's alone.
        info.create_system = 3
        info.external_attr = 0o100644 << 16
        with open(os.path.join(folder, name), "rb") as f:
            z.writestr(info, f.read(), compresslevel=9)
os.replace(dest + ".tmp", dest)
PY
cp "$src_archive" "$out/$name-src.tar.gz"
JOBS=$jobs "$root/scripts/deb.sh" "$out" "$work/deb" >"$work/deb.log" 2>&1 ||
    { cat "$work/deb.log"; die "the Debian package failed"; }
deb=$(sed -n 's|^deb: wrote .*/||p' "$work/deb.log")
rm -f "$out/SHA256SUMS.asc" "$out/SHA256SUMS.minisig"
(cd "$out" && sha256sum "$name-win32.zip" "$name-src.tar.gz" "$deb" >SHA256SUMS)
case $signer in
gpg) gpg --local-user "$SIGN_KEY" --armor --detach-sign --output "$out/SHA256SUMS.asc" \
    "$out/SHA256SUMS" || die "gpg could not sign SHA256SUMS with $SIGN_KEY" ;;
minisign) minisign -S -s "$SIGN_KEY" -m "$out/SHA256SUMS" -x "$out/SHA256SUMS.minisig" \
    -t "fpflash $version, commit $commit" || die "minisign could not sign SHA256SUMS" ;;
*) echo "dist: SHA256SUMS is not signed (SIGN_KEY=... signs it)" ;;
esac
echo "dist: wrote $out:"
(cd "$out" && cat SHA256SUMS && ls SHA256SUMS.* 2>/dev/null || true)
