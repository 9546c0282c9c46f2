#!/bin/sh
# usage: [MAINTAINER='Name <address>'] deb.sh [OUT_DIR [WORK_DIR]]
# The Debian package of the commit checked out, fpflash_VERSION_ARCH.deb, into OUT_DIR (default
# dist/). fpflash, fpsim and fpusbd are built in WORK_DIR (default build/deb) from the commit's
# own tree, with the flags dpkg-buildflags gives a Debian package (every hardening feature on),
# the build path mapped away and every date the commit's, so that any clone at any path builds
# the same bytes. In a source release (make dist's tarball, unpacked), which needs no git,
# the tree is the release's and the commit and its date are those git archive stamped into
# cmake/commit.txt: the same package again. MAINTAINER, when given, is the package's
# maintainer (see cmake/packaging.cmake).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/dist}
work=${2:-$root/build/deb}
jobs=${JOBS:-2}

die() {
    echo "deb: $*" >&2
    exit 1
}
stamp=$(cat "$root/cmake/commit.txt")
release=yes
# shellcheck disable=SC2016 # the placeholder as git keeps it, before git archive stamps it
case $stamp in '$Format:'*) release="" ;; esac
tools="tar cmake cpack dpkg-buildflags dpkg-shlibdeps"
[ -n "$release" ] || tools="git $tools"
for tool in $tools; do
    command -v "$tool" >/dev/null 2>&1 || die "$tool is not installed (make deps)"
done
if [ -n "$release" ]; then
    commit=${stamp% *}
    SOURCE_DATE_EPOCH=${stamp#* }
    case $SOURCE_DATE_EPOCH in '' | *[!0-9]*) die "cmake/commit.txt is not a commit and a date" ;; esac
    version=$(head -n 1 "$root/VERSION")
else
    git -C "$root" rev-parse -q --verify HEAD >/dev/null 2>&1 ||
        die "$root is neither a git checkout with a commit nor a source release"
    commit=$(git -C "$root" rev-parse HEAD)
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct HEAD)
    version=$(git -C "$root" show HEAD:VERSION | head -n 1)
fi
export SOURCE_DATE_EPOCH
# The changelog's day and month names.
LC_ALL=C
export LC_ALL
# The directories the install makes take their mode from it, as under dpkg-buildpackage.
umask 022
if [ -z "$release" ] && [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "deb: the working tree has uncommitted changes; they are not in this package," \
        "which is built from commit $commit"
fi
src=$work/fpflash-$version
echo "deb: fpflash $version from ${release:+the source release of }commit $commit"

rm -rf "$work"
mkdir -p "$work" "$out"
out=$(cd "$out" && pwd)
if [ -n "$release" ]; then
    mkdir "$src"
    (cd "$root" && tar -cf - --exclude=./build --exclude=./dist .) | tar -xf - -C "$src"
else
    git -C "$root" archive --format=tar --prefix="fpflash-$version/" HEAD | tar -xf - -C "$work"
fi

# Taken in the source tree, which -ffile-prefix-map then turns into "."; CMake reads CXXFLAGS
# and LDFLAGS but not CPPFLAGS (fortify), so those join the compiler's.
flags=$(cd "$src" && DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)
eval "$flags"
CXXFLAGS="$CPPFLAGS $CXXFLAGS"
export CXXFLAGS LDFLAGS
# No build type: the flags are Debian's alone.
cmake -S "$src" -B "$src/build/deb" -DCMAKE_BUILD_TYPE=None -DFP_TESTS=OFF \
    ${MAINTAINER:+"-DFP_PACKAGE_MAINTAINER=$MAINTAINER"} >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; die "cmake configure failed"; }
cmake --build "$src/build/deb" -j"$jobs" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log"; die "the build failed"; }
cpack --config "$src/build/deb/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; die "cpack failed"; }
deb=$(cd "$work/pkg" && ls fpflash_*.deb)
cp "$work/pkg/$deb" "$out/$deb"
echo "deb: wrote $out/$deb"
