#!/usr/bin/env python3
"""Times whole updates of the real fpflash against fpsim, next to the pause budget.

The budget (bench_budget) is the sum of every sleep the program makes in a complete update,
counted on the virtual clock: the protocol's own limit. This runs the real program against
the simulated printer several times per image size and reports the median wall time, the
ratio to the budget, the overhead per block, CPU time per block and peak memory.
"""
import argparse
import csv
import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "scripts"))
import simrun  # noqa: E402

ROOT = simrun.ROOT
BUILD = os.path.join(ROOT, "build", "host")
FPFLASH = os.path.join(BUILD, "fpflash")
FPSIM = os.path.join(BUILD, "fpsim")
# fpusbd with the printer model on a umockdev-emulated USB bus behind it; fpsim's options.
TESTBED = os.path.join(BUILD, "fpusb-testbed")
BUDGET = os.path.join(BUILD, "bench", "bench_budget")
OUT = os.path.join(ROOT, "build", "bench")
RECORD = simrun.RECORD


def budgets(counts):
    out = subprocess.run([BUDGET] + [str(n) for n in counts], check=True,
                         capture_output=True, text=True).stdout
    rows = list(csv.DictReader(out.splitlines()))
    for r in rows:
        if r["status"] != "0":
            sys.exit("bench: the in-process update of %s records failed" % r["records"])
    return {int(r["records"]): int(r["budget_ms"]) for r in rows}


def vm_hwm(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def one_run(image_path, image, records, driver=FPSIM):
    """Returns (wall seconds, cpu seconds, peak RSS KiB) of one fpflash update."""
    with simrun.Lab(prefix="fpflash-bench.") as lab:
        printer = lab.start_printer(driver, ["--stop-when-done"], name="printer", lifetime=900)
        prog = lab.start([FPFLASH, image_path], stdin=None)
        # The process's own high-water mark, read at the closing prompt when all its work is
        # done; the Enter only after that.
        if not lab.wait_output(prog, b"Press 'Enter' for exit", timeout=900):
            sys.exit("bench: fpflash gave no closing prompt on %d records" % records)
        peak = vm_hwm(prog.pid)
        prog.stdin.write(b"\n")
        prog.stdin.close()
        _, status, usage = os.wait4(prog.pid, 0)
        wall = time.monotonic() - prog.started
        prog.returncode = os.waitstatus_to_exitcode(status)
        printer.wait_stopped(30)
        printer.stop()
        if prog.returncode != 0:
            sys.exit("bench: fpflash ended with %d on %d records" % (prog.returncode, records))
        if printer.read("kept") != image:
            sys.exit("bench: the printer did not receive the image whole")
        return wall, usage.ru_utime + usage.ru_stime, peak


def usbd_row(records, runs, budget_s):
    """The same update through fpusbd, libusb and the emulated bus; None where it can't run."""
    try:
        with simrun.Lab(prefix="fpflash-bench.") as lab:
            lab.start_printer(TESTBED, name="probe", lifetime=1)
    except simrun.Skip as e:
        print("\nfpusbd: skipped, %s" % e)
        return None
    image_path = os.path.join(OUT, "image-%d.bin" % records)
    image = simrun.write_image(image_path, records)
    r = [one_run(image_path, image, records, TESTBED) for _ in range(runs)]
    wall = statistics.median(x[0] for x in r)
    return {
        "records": records, "image_KiB": records * RECORD // 1024, "runs": runs,
        "wall_s": round(wall, 3), "budget_s": budget_s, "ratio": round(wall / budget_s, 4),
        "overhead_ms_per_block": round((wall - budget_s) * 1000.0 / records, 3),
        "cpu_us_per_block": round(statistics.median(x[1] for x in r) * 1e6 / records, 1),
        "peak_rss_KiB": max(x[2] for x in r), "driver": "fpusbd",
    }


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--counts", default="64,512,2048", help="image sizes in records")
    p.add_argument("--big", action="store_true", help="add 8192 records (about 6 minutes a run)")
    p.add_argument("--runs", type=int, default=3, help="runs per size (default 3)")
    a = p.parse_args()
    for tool in (FPFLASH, FPSIM, BUDGET, TESTBED):
        if not os.access(tool, os.X_OK):
            sys.exit("bench: %s is not built; run make bench" % tool)

    counts = [int(c) for c in a.counts.split(",")] + ([8192] if a.big else [])
    budget_counts = sorted(set([1, 64, 512, 2048, 8192] + counts))
    budget = budgets(budget_counts)
    os.makedirs(OUT, exist_ok=True)

    print("Pause budget of a complete update (virtual clock):")
    for n in budget_counts:
        print("  %5d records: %9.3f s" % (n, budget[n] / 1000.0))
    print()

    header = ("records", "image_KiB", "runs", "wall_s", "budget_s", "ratio",
              "overhead_ms_per_block", "cpu_us_per_block", "peak_rss_KiB")
    print("%7s %9s %4s %9s %9s %7s %13s %12s %12s" % header)
    results = []
    for n in counts:
        image_path = os.path.join(OUT, "image-%d.bin" % n)
        image = simrun.write_image(image_path, n)
        runs = [one_run(image_path, image, n) for _ in range(a.runs)]
        wall = statistics.median(r[0] for r in runs)
        cpu = statistics.median(r[1] for r in runs)
        rss = max(r[2] for r in runs)
        b = budget[n] / 1000.0
        row = {
            "records": n, "image_KiB": n * RECORD // 1024, "runs": a.runs,
            "wall_s": round(wall, 3), "budget_s": b, "ratio": round(wall / b, 4),
            "overhead_ms_per_block": round((wall - b) * 1000.0 / n, 3),
            "cpu_us_per_block": round(cpu * 1e6 / n, 1), "peak_rss_KiB": rss,
        }
        results.append(row)
        print("%7d %9d %4d %9.3f %9.3f %7.4f %13.3f %12.1f %12d" % tuple(row[h] for h in header))
        sys.stdout.flush()

    row = usbd_row(512, a.runs, budget[512] / 1000.0)
    if row:
        print("\nThrough fpusbd, libusb and a umockdev-emulated USB bus (fpusb-testbed):")
        print("%7d %9d %4d %9.3f %9.3f %7.4f %13.3f %12.1f %12d" % tuple(row[h] for h in header))
        results.append(row)

    with open(os.path.join(OUT, "results.csv"), "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=header + ("driver",), restval="fpsim")
        w.writeheader()
        w.writerows(results)
    with open(os.path.join(OUT, "results.json"), "w") as f:
        json.dump({"budget_ms": budget, "runs": results}, f, indent=2)
    print("\nwritten: build/bench/results.csv, build/bench/results.json")


if __name__ == "__main__":
    main()
