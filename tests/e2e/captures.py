#!/usr/bin/env python3
"""Checks every capture of tests/traces with tshark: it is still what scripts/capture.py makes
of its trace, Wireshark's dissector reads it whole, and the bulk transfers with data it finds
are the ones written, endpoint and length, in order. Skips (77) where tshark is missing."""
import collections
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "scripts"))
import capture  # noqa: E402
import scenarios  # noqa: E402


def tshark(path, *args):
    return subprocess.run(["tshark", "-r", path] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True, check=True).stdout.split()


def check(name):
    source, form, _ = name.split(".")
    path = scenarios.trace_path(name)
    bus = capture.from_trace(scenarios.trace_path(source), form)
    with open(path, "rb") as f:
        if f.read() != capture.encode(bus, path):
            return "%s is not what scripts/capture.py makes of %s.trace" % (name, source)
    if tshark(path, "-Y", "_ws.malformed || _ws.expert.severity >= \"warning\""):
        return "%s: tshark finds malformed packets" % name
    seen = tshark(path, "-Y", "usb.transfer_type == 0x03 && usb.data_len > 0", "-T", "fields",
                  "-e", "usb.endpoint_address", "-e", "usb.data_len")
    want = ["0x%02x" % ep if i == 0 else str(n) for ep, xfer, n in (p[2] for p in bus.in_order())
            if xfer == capture.BULK and n for i in (0, 1)]
    if seen != want:
        return "%s: tshark finds other bulk transfers than written" % name
    per = collections.Counter(seen[0::2])
    print("%s: %d packets, %d bulk transfers with data (%s), as written" % (
        name, len(bus.packets), len(seen) // 2,
        ", ".join("%s x%d" % (ep, per[ep]) for ep in sorted(per))))
    return None


def main():
    if shutil.which("tshark") is None:
        print("SKIPPED: tshark is not installed (scripts/deps.sh installs it as root)")
        return 77
    names = sorted(r["trace"] for r in scenarios.ROWS
                   if r.get("trace", "").endswith(scenarios.CAPTURES))
    problems = [p for p in map(check, names) if p]
    print("\n".join(problems))
    return 1 if problems or not names else 0


if __name__ == "__main__":
    sys.exit(main())
