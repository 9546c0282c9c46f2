#!/usr/bin/env python3
"""make demo: one whole update of a simulated printer, as the technician at the console sees
it, and then whether the printer got the image byte for byte; then four simulated printers
updated at once by fpflash-all, one of them unplugged mid-download."""
import os
import subprocess
import sys
import time

import simrun

RECORDS = 64


def main():
    fpflash = simrun.build_path("host", "fpflash")
    fpsim = simrun.build_path("host", "fpsim")
    for tool in (fpflash, fpsim):
        if not os.access(tool, os.X_OK):
            sys.exit("demo: %s is not built; run make demo" % tool)
    out = simrun.build_path("host", "demo")
    os.makedirs(out, exist_ok=True)
    image_path = os.path.join(out, "firmware.bin")
    image = simrun.write_image(image_path, RECORDS, seed=1)
    shown = os.path.relpath(image_path, simrun.ROOT)

    # A runtime directory of its own, so no other printer on this machine gets in the way.
    with simrun.Lab(prefix="fpflash-demo.") as lab:
        try:
            printer = lab.start_printer(fpsim, ["--stop-when-done"], name="printer")
        except simrun.Failure as e:
            sys.exit("demo: " + str(e))
        print("A simulated printer is plugged in (its log: %s)."
              % os.path.relpath(os.path.join(out, "fpsim.log"), simrun.ROOT))
        print("The technician updates it with a firmware image of %d records:" % RECORDS)
        print()
        print("$ fpflash " + shown)
        sys.stdout.flush()
        # The program's own console, live; the Enter for the closing prompt.
        proc = lab.start([fpflash, shown], cwd=simrun.ROOT)
        shown_bytes = 0
        while proc.poll() is None or shown_bytes < len(lab.output()):
            text = lab.output()
            sys.stdout.write(text[shown_bytes:].decode("latin-1"))
            sys.stdout.flush()
            shown_bytes = len(text)
            if proc.poll() is None:
                time.sleep(0.05)
        result = lab.finish(proc, 600)
        print("(Enter)\n")
        status = result.code - 256 if result.code > 127 else result.code
        print("fpflash ended with exit status %d after %d s." % (status, round(result.elapsed)))
        # The printer stops by itself once its new firmware has been read; a run that went
        # wrong may leave it waiting.
        printer.wait_stopped(5)
        printer.stop()
        kept = printer.read("kept")
        for name in ("log", "err"):
            with open(os.path.join(out, "fpsim." + name), "wb") as f:
                f.write(printer.read(name))
        sys.stderr.write(printer.read("err").decode("latin-1"))
    if kept == image:
        print("Simulator stopped. The printer received the image byte for byte (%d bytes)."
              % len(image))
    else:
        print("Simulator stopped. The printer did NOT receive the image intact: it kept %d "
              "bytes of %d." % (len(kept), len(image)))
    return 0 if status == 0 and kept == image and several(shown, out) else 1


def several(shown, out):
    """Four printers at once, the third pulled out at block 30 for good: the others are
    updated all the same, and the command says which was not (exit status 1)."""
    cmd = ["fpflash-all", "--simulate", "4", "--sim-options", "3:--vanish-at 30", shown]
    print("\nA bench of four simulated printers, updated at once; the third is unplugged at"
          " block 30:\n\n$ " + " ".join(cmd[:4]) + " '" + cmd[4] + "' " + shown)
    sys.stdout.flush()
    logs = os.path.join(out, "logs")
    cmd[0] = simrun.build_path("host", "fpflash-all")
    status = subprocess.call(cmd[:1] + ["--logs", os.path.relpath(logs, simrun.ROOT)] + cmd[1:],
                             cwd=simrun.ROOT)
    print("\nfpflash-all ended with exit status %d: not every printer was updated." % status)
    return status == 1


if __name__ == "__main__":
    sys.exit(main())
