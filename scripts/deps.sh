#!/bin/sh
# Installs what the build and the tests need on a Debian machine: as root with apt-get,
# otherwise by naming the packages to install.
missing=""
need() { command -v "$1" >/dev/null 2>&1 || missing="$missing $2"; }
need cmake cmake
need g++ g++
need make make
need python3 python3
need valgrind valgrind
# The man page checks, and the Debian package: its dependencies, hardening flags and lintian.
need groff groff-base
need mandoc mandoc
if command -v dpkg >/dev/null 2>&1; then
    need dpkg-shlibdeps dpkg-dev
    need lintian lintian
    # fpusbd's user unit and udev rule: systemd-analyze verify, udevadm test.
    need systemd-analyze systemd
    need udevadm udev
fi
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
[ -f /usr/include/zlib.h ] || missing="$missing zlib1g-dev"
# fpusbd, and the emulated USB bus its tests run it on.
need pkg-config pkgconf
[ -f /usr/include/libusb-1.0/libusb.h ] || missing="$missing libusb-1.0-0-dev"
[ -f /usr/include/umockdev-1.0/umockdev.h ] || missing="$missing libumockdev-dev"
command -v umockdev-wrapper >/dev/null 2>&1 || missing="$missing umockdev"
# fpsim --replay reads captures through libpcap; tshark checks the capture fixtures.
[ -f /usr/include/pcap/pcap.h ] || missing="$missing libpcap-dev"
need tshark tshark

if [ -z "$missing" ]; then
    exit 0
fi
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "deps: installing$missing"
    # tshark's package asks whether non-root users may capture; they need not.
    echo "wireshark-common wireshark-common/install-setuid boolean false" |
        debconf-set-selections 2>/dev/null
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
    exit $?
fi
echo "deps: missing$missing; install them with: sudo apt-get install$missing" >&2
exit 1
