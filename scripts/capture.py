#!/usr/bin/env python3
"""Writes a recorded run as the capture of its USB bus that Wireshark would have made.

The run is a trace of fpusbd --record (di/trace.h): its "arrived" and "left" lines, the WRITEs
that reached an endpoint and its "bulk in" lines are the bus. The capture has them in USBPcap
(Windows) or usbmon (Linux, 48- or 64-byte headers) form, in pcap or pcapng as the output's
name ends: each enumeration with its device and configuration descriptors at a new address,
every bulk transfer submitted and completed with its bytes and status, and a second device on
the bus (a mouse's interrupt transfers) that the replay must skip. The same trace always gives
the same bytes.
"""
import argparse
import struct
import sys

FORMS = {"usbpcap": 249, "usbmon48": 189, "usbmon64": 220}
EPOCH = 1700000000  # the capture's first second
BUS = 1
MOUSE = 2  # the other device's address; the printer's start at 5
BULK, INTERRUPT, CONTROL = 3, 1, 2
# A transfer that failed because the device had gone: USBPcap's USBD_STATUS_DEVICE_GONE,
# usbmon's -ESHUTDOWN.
GONE = {"usbpcap": 0xC0007000, "usbmon48": -108, "usbmon64": -108}


class Bus:
    """The packets of one capture: microseconds, bytes, and (endpoint, transfer type, data
    length) as a dissector must see them."""

    def in_order(self):
        return sorted(self.packets, key=lambda p: p[0])

    def __init__(self, form):
        self.form = form
        self.packets = []
        self.ids = 0

    def new_id(self):
        self.ids += 1
        return 0xFFFF888000000000 + self.ids * 0x100

    def packet(self, us, addr, ep, xfer, done, status, length, data, setup=None, stage=0):
        """One submission (done=False) or completion; `data` the bytes that follow."""
        if self.form == "usbpcap":
            head = 28 if xfer == CONTROL else 27
            info = 1 if done else 0
            function = 0x0B if xfer == CONTROL else 0x09
            h = struct.pack("<HQIHBHHBBI", head, self.current, status & 0xFFFFFFFF, function,
                            info, BUS, addr, ep, xfer, len(data))
            if xfer == CONTROL:
                h += bytes([stage])
        else:
            kind = b"C" if done else b"S"
            setup_flag = b"\0" if setup is not None else b"-"
            data_flag = b"\0" if data else (b"<" if ep & 0x80 else b">")
            h = struct.pack("<QccBBHccqiiII8s", self.current, kind, bytes([xfer]), ep, addr, BUS,
                            setup_flag, data_flag, EPOCH + us // 1000000, us % 1000000, status,
                            length, len(data), setup or bytes(8))
            if self.form == "usbmon64":
                h += struct.pack("<iiII", 0, 0, 0, 0)
        self.packets.append((us, h + data, (ep, xfer, len(data))))

    def transfer(self, us, addr, ep, xfer, sent, got, status=0, setup=None):
        """A whole transfer: `sent` with its submission, `got` with its completion."""
        self.current = self.new_id()
        if self.form == "usbpcap" and xfer == CONTROL:
            self.packet(us, addr, ep, xfer, False, 0, 8, setup, stage=0)
            self.packet(us, addr, ep, xfer, True, status, len(got), got, stage=3)
            return
        want = len(sent) if sent else len(got) if xfer == CONTROL else 64 if ep & 0x80 else 0
        self.packet(us, addr, ep, xfer, False, -115 if self.form != "usbpcap" else 0, want, sent,
                    setup)
        done = len(got) if ep & 0x80 else (len(sent) if status == 0 else 0)
        self.packet(us, addr, ep, xfer, True, status, done, got)

    def enumerate(self, us, addr, vid, pid, eps):
        """`eps`: (endpoint, transfer type) of its one interface."""
        device = struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, 0, 0, 0, 64, vid, pid, 0x0100,
                             1, 2, 0, 1)
        interface = struct.pack("<BBBBBBBBB", 9, 4, 0, 0, len(eps), 0xFF, 0, 0, 0)
        attributes = {BULK: 2, INTERRUPT: 3}  # the descriptor's numbering, not the capture's
        eps = b"".join(struct.pack("<BBBBHB", 7, 5, ep, attributes[x], 64, 0) for ep, x in eps)
        config = interface + eps
        config = struct.pack("<BBHBBBBB", 9, 2, 9 + len(config), 1, 1, 0, 0x80, 50) + config
        for kind, body in ((1, device), (2, config)):
            setup = struct.pack("<BBHHH", 0x80, 6, kind << 8, 0, len(body))
            self.transfer(us, addr, 0x80, CONTROL, b"", body, setup=setup)


def endpoints(word):
    return [] if word == "-" else [int(e, 16) for e in word.split(",")]


def from_trace(path, form):
    """The capture of the trace at `path` as a Bus."""
    bus = Bus(form)
    bus.enumerate(0, MOUSE, 0xFEED, 0x0002, [(0x81, INTERRUPT)])
    ms, addr, mouse_ms, held = 0, 4, 0, []
    with open(path, encoding="ascii") as f:
        lines = f.read().split("\n")
    for line in lines[1:]:
        if not line or line.startswith("#"):
            continue
        gap, rest = line.split(" ", 1)
        ms += int(gap)
        us = ms * 1000
        while mouse_ms + 700 <= ms:
            mouse_ms += 700
            bus.transfer(mouse_ms * 1000, MOUSE, 0x81, INTERRUPT, b"", bytes([0, 1, 0xFF, 0]))
        w = rest.split(" ")
        if w[0] == "bulk":
            ep = int(w[2], 16)
            if w[3] == "error":
                held.append((us, ep, b"", GONE[form]))
            else:
                held.append((us, ep, bytes.fromhex(w[4]), 0))
            continue
        write = w[0].startswith("#") and w[1] == "WRITE" and w[3] != "-"
        if write:
            sent = b"" if w[4] == "none" else bytes.fromhex(w[4])
            bus.transfer(us, addr, int(w[3], 16), BULK, sent, b"",
                         0 if w[5] == "ok" else GONE[form])
        # fpusbd writes a WRITE's line after the printer's answer to it has come in.
        for t, ep, data, status in held:
            bus.transfer(max(t, us) if write else t, addr, ep, BULK, b"", data, status)
        held = []
        if w[0] == "arrived":
            addr += 1
            vid, pid = (int(x, 16) for x in w[2].split(":"))
            bus.enumerate(us, addr, vid, pid, [(ep, BULK) for ep in endpoints(w[6]) + endpoints(w[8])])
    return bus


def pcap(bus):
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, FORMS[bus.form])
    for us, data, _ in bus.in_order():
        out += struct.pack("<IIII", EPOCH + us // 1000000, us % 1000000, len(data), len(data))
        out += data
    return out


def block(kind, body):
    body += bytes(-len(body) % 4)
    return struct.pack("<II", kind, len(body) + 12) + body + struct.pack("<I", len(body) + 12)


def pcapng(bus):
    out = block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))
    out += block(1, struct.pack("<HHI", FORMS[bus.form], 0, 65535))
    for us, data, _ in bus.in_order():
        t = EPOCH * 1000000 + us
        out += block(6, struct.pack("<IIIII", 0, t >> 32, t & 0xFFFFFFFF, len(data), len(data))
                     + data)
    return out


def encode(bus, output):
    return pcapng(bus) if output.endswith(".pcapng") else pcap(bus)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("form", choices=sorted(FORMS), help="the capture's USB headers")
    p.add_argument("trace", help="a trace of fpusbd --record")
    p.add_argument("output", help="file to write, .pcap or .pcapng")
    a = p.parse_args()
    with open(a.output, "wb") as f:
        f.write(encode(from_trace(a.trace, a.form), a.output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
