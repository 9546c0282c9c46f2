#!/usr/bin/env python3
"""Times whole updates of the real fpflash against fpsim, next to the pause budget.

The budget (bench_budget) is the sum of every sleep the program makes in a complete update,
counted on the virtual clock: the protocol's own limit. This runs the real program against
the simulated printer several times per image size and reports the median wall time (from
the start to the closing prompt), the ratio to the budget, the overhead per block, CPU time
per block and peak memory. Before each run bench_ipc_floor does the same exchanges and pauses
with an echo driver and nothing else: the floor of the transport, whose overhead and CPU per
block the program's are set against; at 512 records (--via-fpsim) it does them with fpsim as
well, which shows what fpsim's answering adds to the floor. One update of the Windows program
under Wine, through the test driver to fpsim, is timed against the same budget. Last,
fpflash-all updates 1, 2, 4 and 8 printers at once (fpsim each, and 1 and 2 on the emulated
USB bus): the wall time of the whole run and the CPU per block per printer, each against one
printer's.
"""
import argparse
import csv
import json
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests", "win32"))
import simrun  # noqa: E402
import winepool  # noqa: E402

BUILD = os.path.join(ROOT, "build", "host")
FPFLASH = os.path.join(BUILD, "fpflash")
FPSIM = os.path.join(BUILD, "fpsim")
FPFLASH_ALL = os.path.join(BUILD, "fpflash-all")
# fpusbd with the printer model on a umockdev-emulated USB bus behind it; fpsim's options.
TESTBED = os.path.join(BUILD, "fpusb-testbed")
BUDGET = os.path.join(BUILD, "bench", "bench_budget")
FLOOR = os.path.join(BUILD, "bench", "bench_ipc_floor")
RECORD = simrun.RECORD
PAUSE_MS = 20  # each of a block's two pauses
PROMPT = b"Press 'Enter' for exit"
# The bench's own prefixes, so that a test run's pool is left alone.
WINE_POOL = "wine-bench"
WINE_RECORDS = 512

HEADER = ("records", "image_KiB", "runs", "wall_s", "budget_s", "ratio",
          "overhead_ms_per_block", "floor_overhead_ms_per_block", "overhead_x_floor",
          "cpu_us_per_block", "floor_cpu_us_per_block", "cpu_x_floor", "peak_rss_KiB")
SHOWN = ("records", "KiB", "runs", "wall_s", "budget_s", "ratio", "ovh_ms", "floor_ms",
         "x_floor", "cpu_us", "floor_us", "x_floor", "peak_KiB")
WIDTHS = (7, 5, 4, 8, 8, 7, 7, 8, 7, 7, 8, 7, 8)
FORMATS = ("%d", "%d", "%d", "%.3f", "%.3f", "%.4f", "%.3f", "%.3f", "%.2f", "%.1f", "%.1f",
           "%.2f", "%d")


def budgets(counts):
    out = subprocess.run([BUDGET] + [str(n) for n in counts], check=True,
                         capture_output=True, text=True).stdout
    rows = list(csv.DictReader(out.splitlines()))
    for r in rows:
        if r["status"] != "0":
            sys.exit("bench: the in-process update of %s records failed" % r["records"])
    return {int(r["records"]): int(r["budget_ms"]) for r in rows}


def floor(blocks, device=None):
    """The transport's floor: (overhead ms, CPU µs) per block of bench_ipc_floor, with its
    echo driver or with the printer published at `device`."""
    out = subprocess.run([FLOOR, str(blocks), str(PAUSE_MS)] + ([device] if device else []),
                         check=True, capture_output=True, text=True).stdout
    r = next(csv.DictReader(out.splitlines()))
    return float(r["wall_us_per_block"]) / 1000.0 - 2 * PAUSE_MS, float(r["cpu_us_per_block"])


def floor_via_fpsim(blocks):
    """The floor's exchanges answered by fpsim's loader, logging as it does for fpflash."""
    with simrun.Lab(prefix="fpflash-bench.") as lab:
        printer = lab.start_printer(FPSIM, ["--start-loader"], name="printer", lifetime=900)
        r = floor(blocks, printer.where)
        printer.stop()
        kept = len(printer.read("kept"))
        if kept != blocks * RECORD:
            sys.exit("bench: fpsim did not take the floor's %d blocks (it kept %d bytes)"
                     % (blocks, kept))
        return r


def await_prompt(lab, prog, budget_s):
    """Seconds from the start to the closing prompt, None if it never came. No update ends
    before its budget: the output is watched closely only from shortly before then."""
    while time.monotonic() < prog.started + budget_s - 1.0 and prog.poll() is None:
        time.sleep(0.2)
    if not lab.wait_output(prog, PROMPT, timeout=900, poll=0.001):
        return None
    return time.monotonic() - prog.started


def vm_hwm(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def one_run(image_path, image, records, budget_s, driver=FPSIM, record=False):
    """Returns (wall seconds, cpu seconds, peak RSS KiB) of one fpflash update; `record`: the
    driver writes a trace of it."""
    with simrun.Lab(prefix="fpflash-bench.") as lab:
        args = ["--stop-when-done"] + (["--record", lab.path("printer.trace")] if record else [])
        printer = lab.start_printer(driver, args, name="printer", lifetime=900)
        prog = lab.start([FPFLASH, image_path], stdin=None)
        # The process's own high-water mark, read at the closing prompt when all its work is
        # done; the Enter only after that.
        wall = await_prompt(lab, prog, budget_s)
        if wall is None:
            sys.exit("bench: fpflash gave no closing prompt on %d records" % records)
        peak = vm_hwm(prog.pid)
        prog.stdin.write(b"\n")
        prog.stdin.close()
        _, status, usage = os.wait4(prog.pid, 0)
        prog.returncode = os.waitstatus_to_exitcode(status)
        printer.wait_stopped(30)
        printer.stop()
        if prog.returncode != 0:
            sys.exit("bench: fpflash ended with %d on %d records" % (prog.returncode, records))
        if printer.read("kept") != image:
            sys.exit("bench: the printer did not receive the image whole")
        return wall, usage.ru_utime + usage.ru_stime, peak


def row(records, budget_s, runs, floors=None, driver="fpsim"):
    """A table row from (wall s, CPU s or None, peak KiB or None) runs and (ms, µs) floors."""
    wall = statistics.median(r[0] for r in runs)
    r = {
        "records": records, "image_KiB": records * RECORD // 1024, "runs": len(runs),
        "wall_s": round(wall, 3), "budget_s": budget_s, "ratio": round(wall / budget_s, 4),
        "overhead_ms_per_block": round((wall - budget_s) * 1000.0 / records, 3),
        "driver": driver,
    }
    if runs[0][1] is not None:
        r["cpu_us_per_block"] = round(statistics.median(x[1] for x in runs) * 1e6 / records, 1)
    if runs[0][2] is not None:
        r["peak_rss_KiB"] = max(x[2] for x in runs)
    if floors:
        f_ms = statistics.median(f[0] for f in floors)
        f_us = statistics.median(f[1] for f in floors)
        r["floor_overhead_ms_per_block"] = round(f_ms, 3)
        r["overhead_x_floor"] = round(r["overhead_ms_per_block"] / f_ms, 2) if f_ms > 0 else None
        r["floor_cpu_us_per_block"] = round(f_us, 1)
        r["cpu_x_floor"] = round(r["cpu_us_per_block"] / f_us, 2) if f_us > 0 else None
    return r


def show(r):
    cells = [FORMATS[i] % r[h] if r.get(h) is not None else "-" for i, h in enumerate(HEADER)]
    print(" ".join("%*s" % (w, c) for w, c in zip(WIDTHS, cells)))
    sys.stdout.flush()


def usbd_row(records, runs, budget_s, out, record=False):
    """The same update through fpusbd, libusb and the emulated bus, with fpusbd recording a
    trace of it or not; None where it can't run."""
    try:
        with simrun.Lab(prefix="fpflash-bench.") as lab:
            lab.start_printer(TESTBED, name="probe", lifetime=1)
    except simrun.Skip as e:
        print("\nfpusbd: skipped, %s" % e)
        return None
    image_path = os.path.join(out, "image-%d.bin" % records)
    image = simrun.write_image(image_path, records)
    r = [one_run(image_path, image, records, budget_s, TESTBED, record) for _ in range(runs)]
    return row(records, budget_s, r, driver="fpusbd --record" if record else "fpusbd")


def wine_update(slot, records, budget_s):
    """One update of the .exe under Wine: (wall s, CPU s of its process, None)."""
    with simrun.Lab(prefix="fpflash-bench.") as lab:
        # In the program's working directory, named as a technician would name it.
        image = simrun.write_image(lab.path("firmware.bin"), records)
        printer = lab.start_printer(FPSIM, ["--tcp", str(slot.port)], name="printer",
                                    lifetime=900)
        try:
            slot.serve(printer)
            prog = lab.start(slot.command(["firmware.bin"]), stdin=None, env=slot.env(lab.env))
            wall = await_prompt(lab, prog, budget_s)
            if wall is None:
                raise simrun.Failure("no closing prompt; it printed: %r"
                                     % lab.output()[-300:])
            prog.stdin.write(b"\n")
            prog.stdin.close()
            _, status, usage = os.wait4(prog.pid, 0)
            prog.returncode = os.waitstatus_to_exitcode(status)
            if prog.returncode != 0:
                raise simrun.Failure("fpflash.exe ended with %d" % prog.returncode)
        finally:
            printer.stop()
        if printer.read("kept") != image:
            raise simrun.Failure("the printer did not receive the image whole")
        return wall, usage.ru_utime + usage.ru_stime, None


def wine_row(records, budget_s):
    """The Windows program under Wine (the 32-bit product, or the 64-bit build where 32-bit
    Wine can't run): a row, or None with the reason printed. Its CPU includes Wine's own."""
    skipped = []
    for flavour in ("win32", "win64"):
        try:
            winepool.setup(flavour, slots=1, pool=WINE_POOL)
            slot = winepool.Slot(flavour, pool=WINE_POOL)
            try:
                r = wine_update(slot, records, budget_s)
            finally:
                slot.release()
            return row(records, budget_s, [r], driver="wine-" + flavour)
        except simrun.Skip as e:
            skipped.append("%s: %s" % (flavour, e))
        finally:
            winepool.cleanup(flavour, pool=WINE_POOL)
    print("\nWine: skipped; " + "; ".join(skipped))
    return None


def fleet_run(n, image_path, image, bus):
    """One fpflash-all run over n printers: fpsim's, or on the emulated bus the testbed's and
    an fpsim attached for each further one. (wall s of the whole run, CPU s of fpflash-all with
    its workers and every fpflash, which it has all waited for.)"""
    with simrun.Lab(prefix="fpflash-bench.") as lab:
        ps = [lab.start_printer(FPSIM, name="p%d" % k, lifetime=900,
                                runtime="sims" if bus else None) for k in range(1 + bus, n + 1)]
        if bus:
            ps.append(lab.start_printer(TESTBED, [a for p in ps for a in ("--attach", p.where)],
                                        lifetime=900))
        prog = lab.start([FPFLASH_ALL, "--logs", lab.path("logs"), image_path], stdin=b"")
        _, status, usage = os.wait4(prog.pid, 0)
        wall = time.monotonic() - prog.started
        prog.returncode = os.waitstatus_to_exitcode(status)
        for p in ps:
            p.stop()
        if prog.returncode != 0 or any(p.read("kept") != image for p in ps):
            sys.exit("bench: fpflash-all did not update all %d printers:\n%s" % (
                n, (lab.output() + simrun.read_bytes(lab.path("err"))).decode("latin-1")))
        return wall, usage.ru_utime + usage.ru_stime


def fleet_rows(counts, records, runs, out, bus):
    """Wall time and CPU per block per printer against the first count's (one printer)."""
    image_path = os.path.join(out, "image-%d.bin" % records)
    image = simrun.write_image(image_path, records)
    rows = []
    for n in counts:
        r = [fleet_run(n, image_path, image, bus) for _ in range(runs)]
        wall = statistics.median(x[0] for x in r)
        cpu = statistics.median(x[1] for x in r) * 1e6 / (n * records)
        one = rows[0] if rows else {"wall_s": wall, "cpu_us_per_block": cpu}
        rows.append({"printers": n, "records": records, "runs": runs, "bus": bus,
                     "wall_s": round(wall, 3), "wall_x_one": round(wall / one["wall_s"], 4),
                     "cpu_us_per_block": round(cpu, 1),
                     "cpu_x_one": round(cpu / one["cpu_us_per_block"], 2)})
        print("%8d %5d %8.3f %7.4f %7.1f %7.2f" % tuple(
            rows[-1][k] for k in ("printers", "runs", "wall_s", "wall_x_one", "cpu_us_per_block",
                                  "cpu_x_one")))
        sys.stdout.flush()
    return rows


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--counts", default="64,512,2048", help="image sizes in records")
    p.add_argument("--big", action="store_true", help="add 8192 records (about 6 minutes a run)")
    p.add_argument("--runs", type=int, default=3, help="runs per size (default 3)")
    p.add_argument("--skip", default="",
                   help="rows to leave out: usbd, wine, fleet (comma-separated)")
    p.add_argument("--fleet", default="1,2,4,8",
                   help="printers fpflash-all updates at once, the first count the reference")
    p.add_argument("--fleet-records", type=int, default=512, help="their image's records")
    p.add_argument("--via-fpsim", type=int, default=512, metavar="RECORDS",
                   help="the size at which the floor also runs through fpsim (default 512)")
    p.add_argument("--out", default=os.path.join(ROOT, "build", "bench"),
                   help="where the images and results go (default build/bench)")
    a = p.parse_args()
    skip = set(s for s in a.skip.split(",") if s)
    if skip - {"usbd", "wine", "fleet"}:
        sys.exit("bench: --skip takes usbd, wine and fleet, not %s" % ",".join(sorted(skip)))
    for tool in (FPFLASH, FPSIM, BUDGET, FLOOR, TESTBED, FPFLASH_ALL):
        if not os.access(tool, os.X_OK):
            sys.exit("bench: %s is not built; run make bench" % tool)

    counts = [int(c) for c in a.counts.split(",")] + ([8192] if a.big else [])
    budget_counts = sorted(set([1, 64, WINE_RECORDS, 512, 2048, 8192] + counts))
    budget = budgets(budget_counts)
    os.makedirs(a.out, exist_ok=True)

    print("Pause budget of a complete update (virtual clock):")
    for n in budget_counts:
        print("  %5d records: %9.3f s" % (n, budget[n] / 1000.0))
    print()

    print("Per block: the program's overhead (wall minus budget) and CPU, the floor's (the same")
    print("exchanges and %d ms pauses with an echo driver: wall minus the pauses), and the ratios."
          % PAUSE_MS)
    print(" ".join("%*s" % (w, h) for w, h in zip(WIDTHS, SHOWN)))
    results = []
    via_fpsim, via = [], None
    for n in counts:
        image_path = os.path.join(a.out, "image-%d.bin" % n)
        image = simrun.write_image(image_path, n)
        b = budget[n] / 1000.0
        # Floor and program in turn, so that both see the machine as it is.
        runs, floors = [], []
        for _ in range(a.runs):
            floors.append(floor(n))
            if n == a.via_fpsim:
                via_fpsim.append(floor_via_fpsim(n))
            runs.append(one_run(image_path, image, n, b))
        results.append(row(n, b, runs, floors))
        show(results[-1])
        if n == a.via_fpsim:
            mine = results[-1]
    if via_fpsim:
        v_ms = statistics.median(v[0] for v in via_fpsim)
        v_us = statistics.median(v[1] for v in via_fpsim)
        via = {"records": a.via_fpsim, "runs": len(via_fpsim),
               "overhead_ms_per_block": round(v_ms, 3), "cpu_us_per_block": round(v_us, 1),
               "program_overhead_x": round(mine["overhead_ms_per_block"] / v_ms, 2),
               "program_cpu_x": round(mine["cpu_us_per_block"] / v_us, 2)}
        print("\nThe floor's exchanges answered by fpsim instead of the echo, %d blocks: overhead"
              " %.3f ms\n(fpsim's answering: %+.3f ms), CPU %.1f us per block; the program's"
              " overhead is %.2f times it, its CPU %.2f times."
              % (a.via_fpsim, v_ms, v_ms - mine["floor_overhead_ms_per_block"], v_us,
                 via["program_overhead_x"], via["program_cpu_x"]))

    for record in (False, True):
        r = usbd_row(512, a.runs, budget[512] / 1000.0, a.out, record) if "usbd" not in skip \
            else None
        if r:
            print("\nThrough fpusbd, libusb and a umockdev-emulated USB bus (fpusb-testbed)%s:"
                  % (", recording a trace" if record else ""))
            show(r)
            results.append(r)

    wine_failed = None
    try:
        r = wine_row(WINE_RECORDS, budget[WINE_RECORDS] / 1000.0) if "wine" not in skip else None
    except simrun.Failure as e:
        r, wine_failed = None, str(e)
        print("\nWine: FAILED, %s" % e)
    if r:
        print("\nThe Windows program (%s) under Wine, through the test driver to fpsim, one run"
              " (its CPU is Wine's too):" % r["driver"][5:])
        show(r)
        results.append(r)

    fleet = []
    if "fleet" not in skip:
        print("\nfpflash-all, %d records a printer: the whole run's wall time and CPU per block per"
              "\nprinter (fpflash-all, its workers and every fpflash), each against one printer's."
              % a.fleet_records)
        print("printers  runs   wall_s   x_one  cpu_us   x_one")
        counts = [int(c) for c in a.fleet.split(",")]
        fleet = fleet_rows(counts, a.fleet_records, a.runs, a.out, False)
        if "usbd" not in skip:
            print("The same on the emulated USB bus, under one fpusbd (fpusb-testbed):")
            fleet += fleet_rows([1, 2], a.fleet_records, a.runs, a.out, True)

    with open(os.path.join(a.out, "results.csv"), "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=HEADER + ("driver",))
        w.writeheader()
        w.writerows(results)
    with open(os.path.join(a.out, "results.json"), "w") as f:
        json.dump({"budget_ms": budget, "runs": results, "floor_via_fpsim": via,
                   "fleet": fleet}, f, indent=2)
    out = os.path.relpath(a.out, ROOT) if a.out.startswith(ROOT + os.sep) else a.out
    print("\nwritten: %s/results.csv, %s/results.json" % (out, out))
    if wine_failed:
        sys.exit("bench: the Wine update failed: " + wine_failed)


if __name__ == "__main__":
    main()
