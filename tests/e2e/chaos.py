#!/usr/bin/env python3
"""The fault campaign: the real fpflash against fpsim under schedules of faults drawn at random.

    chaos.py [--runs N] [--seed S] [--jobs J]     N runs drawn from seed S (make chaos)
    chaos.py --replay RUN_SEED [-v]               one run again, exactly

Every run draws the printer's faults from fpsim's options (vanishing at a random block and
coming back or not, refused opens, stale bytes before random commands, garbage, split
replies, partial writes, rejected and unanswered blocks, state sequences with 253, 254 and
251, a state query that fails once, a loader that restarts by itself into its new firmware
when it has written its flash, late appearance, never returning after a switch, ...). Some
runs kill fpflash at a
random moment and run it again against the same printer, which keeps its state. A run is
checked against what must hold whatever the faults, not against a transcript:

  - no signal but the deliberate kill, nothing on standard error;
  - the run ends within the bound its own waits allow for that schedule (plus a margin);
  - exit status 0 only when the printer holds the whole image byte for byte and reported
    the end of writing or restarted by itself into its new firmware having written it;
    "Download file '...' - O'k" only when it holds every block;
  - after a kill, the update completes in the next run, or in the one after it when the next
    ends in an error (it took an answer the killed run left in the printer for its own).

A failing run prints its seed and the command that replays it. FPFLASH and FPSIM name the
binaries (default build/host).
"""
import argparse
import concurrent.futures
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "scripts"))
import simrun  # noqa: E402

IMAGE = "firmware.bin"

# The program's own waits, in seconds: a connection gives up after 20 attempts a second apart;
# a block costs at most three attempts of 100 polls of 40 ms; a state poll at most 530 ms.
CONNECT_S = 20.5
BLOCK_S = 12.1
POLL_S = 0.55
FIXED_S = 1.0 + 3.0 + 0.5 + 0.5 + 2.0 + 1.0  # version reply, switch, loader commands, exit
MARGIN_S = 15.0


def draw(run_seed):
    """The schedule of one run: image size, fpsim's options, how many reconnections and state
    polls it may cost, and when to kill fpflash (None: never)."""
    rng = random.Random(run_seed)
    records = rng.randint(1, 30)
    sim = []
    connects = 3  # the first, after the switch to the loader, after its exit
    polls = 8
    kill = None
    if rng.random() < 0.2:
        # A run that is cut off: only faults the program gets over, so that the second run
        # must complete the update.
        kill = rng.uniform(0.2, 10.0 + records * 0.05)
        if rng.random() < 0.3:
            sim += ["--refuse-open", str(rng.randint(1, 3))]
        if rng.random() < 0.3:
            sim += ["--block", "%d:254:1" % rng.randrange(records)]
        if rng.random() < 0.3:
            sim += ["--stale", "55", "--stale-before", "command", "--stale-every"]
        if rng.random() < 0.3:
            sim += ["--states", ",".join(rng.choice(["4", "253", "254", "1", "2"])
                                         for _ in range(rng.randint(1, 4))) + ",6"]
            polls += 8
        if rng.random() < 0.3:
            sim += ["--restart-after-flash"]
            connects += 1
            polls += 3
        return dict(seed=run_seed, records=records, sim=sim, connects=connects * 2,
                    polls=polls * 2, kill=kill)

    def maybe(p):
        return rng.random() < p

    if maybe(0.15):
        sim += ["--absent", rng.choice([str(rng.randint(0, 25000)), "never"])]
    if maybe(0.15):
        sim += ["--refuse-open", rng.choice([str(rng.randint(1, 25)), "always"])]
    if maybe(0.2):
        back = rng.choice(["", ":%d" % rng.randint(0, 3000), ":never"])
        sim += ["--vanish-at", "%d%s" % (rng.randrange(records), back)]
    # A state query that fails once, the loader back (or not) and still writing. After the
    # reopening the program takes a second failure, or three polls without a state, for a
    # printer that has restarted: not drawn for a loader that is still writing, which is why a
    # glitch comes alone, without a cut reply, and with no more than one reply spoiled.
    glitch = maybe(0.15)
    if glitch:
        sim += ["--state-write-fails", "1:%d" % rng.randint(0, 4)]
        if maybe(0.5):
            sim += ["--state-fail-away", rng.choice([str(rng.randint(0, 1500)), "never"])]
        connects += 1
        polls += 1
    if maybe(0.25):
        stale = rng.choice(["55", "5555", "55550101", "00", "55550404", "5555FE", "4A4A"])
        before = rng.choice(["command", "block", "0x84", "0x4A", "0xF1"])
        every = maybe(0.5)
        # What spoils every state reply would have the loader polled for ever; a stale
        # acknowledgement before a block is a printer acknowledging what it may have rejected,
        # which no host can tell, so the whole image could not be demanded.
        if (before == "0x84" and stale in ("00", "5555FE", "4A4A") and (every or glitch)) or \
                (before == "block" and stale == "55550101"):
            stale = "55550404"
        sim += ["--stale", stale, "--stale-before", before] + (["--stale-every"] if every else [])
    if maybe(0.15):
        first, count = rng.randint(0, records + 5), rng.choice(["", ":1", ":2", ":always"])
        if glitch and count == ":2":
            count = ":1"
        if count in ("", ":always"):
            # From a block on, garbage fails the download; from a state reply on, it would
            # have the loader polled for ever.
            first %= records + 1
        sim += ["--garbage", "%d%s" % (first, count)]
    if maybe(0.08):
        sim += ["--split-ep", rng.choice(["1", "3"])]
    if maybe(0.08):
        sim += ["--write-max", str(rng.choice([3, 4, 100, 512, 527, 600]))]
    for _ in range(rng.choice([0, 0, 1, 2])):
        code = rng.choice(["254", "0", "74", "253", "none"])
        times = rng.choice(["", ":1", ":2", ":3"])
        sim += ["--block", "%d:%s%s" % (rng.randrange(records), code, times)]
    if maybe(0.3):
        states = [rng.choice(["4", "4", "1", "2", "253", "254"]) for _ in range(rng.randint(0, 6))]
        states.append(rng.choice(["6"] * 9 + ["251"]))
        sim += ["--states", ",".join(states)]
        polls += len(states)
    if maybe(0.15):
        sim += ["--restart-after-flash"] + (["--app-refuses-ep3"] if maybe(0.3) else [])
        connects += 1
        polls += 3
    if maybe(0.1):
        # Every away time not given, the restart's among them.
        sim += ["--reenum", str(rng.randint(0, 5000))]
    for opt in ("--upgrade-away", "--exit-away"):
        if maybe(0.1):
            sim += [opt, rng.choice([str(rng.randint(0, 3000)), "never"])]
    if maybe(0.1):
        sim += ["--exit-reply", str(rng.choice([0, 6, 254]))]
    if maybe(0.08) and not glitch:
        sim += ["--cut-read", str(rng.randint(1, records + 6))]
    if maybe(0.05):
        sim.append(rng.choice(["--app-silent", "--loader-silent"]))
    if maybe(0.05):
        sim += ["--version-reply", rng.choice(['{"value": 1}', '{"value": "9', "x" * 1024])]
    if maybe(0.1):
        sim += ["--surplus", rng.choice(["55" * 70, "5555010155550202"])]
    return dict(seed=run_seed, records=records, sim=sim, connects=connects, polls=polls,
                kill=None)


def bound(s):
    """Seconds the program's own waits allow for this schedule, at most."""
    return (s["connects"] * CONNECT_S + FIXED_S + s["records"] * BLOCK_S + s["polls"] * POLL_S +
            MARGIN_S)


def check(result, image, kept, log, limit, problems, label):
    problems += ["%s: %s" % (label, p) for p in simrun.invariants(result, image, kept, IMAGE)]
    if result.code == -9:
        problems.append("%s: still running after %.0f s, past its bound" % (label, limit))
    elif result.elapsed > limit:
        problems.append("%s: took %.1f s, past its bound of %.0f s" % (label, result.elapsed, limit))
    if result.code == 0 and "write: state, reply 6" not in log and \
            "the loader restarted into the new firmware" not in log:
        problems.append("%s: exit status 0 but the printer neither reported the end of writing "
                        "nor restarted having written it" % label)


def run_one(s, verbose=False):
    """Runs schedule `s`; returns the list of what did not hold."""
    fpflash = os.environ.get("FPFLASH", simrun.build_path("host", "fpflash"))
    fpsim = os.environ.get("FPSIM", simrun.build_path("host", "fpsim"))
    problems = []
    limit = bound(s)
    with simrun.Lab(prefix="fpflash-chaos.") as lab:
        image = simrun.write_image(lab.path(IMAGE), s["records"], seed=s["seed"] % 1000)
        printer = lab.start_printer(fpsim, s["sim"], lifetime=3600)
        proc = lab.start([fpflash, IMAGE])
        killed = False
        if s["kill"] is not None:
            try:
                proc.wait(s["kill"])
            except Exception:
                os.killpg(proc.pid, 9)
                killed = True
        first = lab.finish(proc, limit)
        if killed:
            # The deliberate kill: everything else must hold, and the printer, still in
            # whatever state it was left, must be updated by the runs after it.
            if first.code != -9:
                problems.append("first run: ended with %d, not by the kill" % first.code)
            if first.err:
                problems.append("first run: wrote to stderr: %r" % first.err[:300])
            second = lab.finish(lab.start([fpflash, IMAGE]), limit)
            results = [("second run", second)]
            if second.code != 0:
                # An answer the killed run never read is still in the printer, and the next
                # run takes it for its own, as any stale frame: that run ends in an error,
                # having read it, and the one after it must complete the update.
                results.append(("third run", lab.finish(lab.start([fpflash, IMAGE]), limit)))
        else:
            results = [("run", first)]
        st = printer.stop()
        kept = printer.read("kept")
        log = printer.log_text()
        if st != 0 or printer.read("err"):
            problems.append("fpsim ended with %s: %r" % (st, printer.read("err")[:300]))
        for label, r in results:
            check(r, image, kept, log, limit, problems, label)
        if killed and (results[-1][1].code != 0 or kept != image):
            problems.append("%s: exit status %d, printer holds %d of %d bytes: the update "
                            "after the kill did not complete"
                            % (results[-1][0], results[-1][1].code, len(kept), len(image)))
        if verbose or problems:
            for label, r in results:
                print("--- %s: exit status %d in %.1f s (bound %.0f s)"
                      % (label, r.code, r.elapsed, limit))
                sys.stdout.write(r.text()[-3000:])
            if verbose:
                print("\n--- the printer's log")
                print(log)
    return problems, results[-1][1].code


def describe(s):
    return "%d records, fpsim %s%s" % (s["records"], " ".join(s["sim"]) or "(no fault)",
                                       ", fpflash killed after %.1f s" % s["kill"]
                                       if s["kill"] is not None else "")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--runs", type=int, default=int(os.environ.get("RUNS", "20")))
    p.add_argument("--seed", type=int, default=int(os.environ.get("SEED", "1")))
    p.add_argument("--jobs", type=int, default=int(os.environ.get("CHAOS_JOBS", "10")))
    p.add_argument("--replay", type=int, help="the seed of one run, as a failure printed it")
    p.add_argument("-v", "--verbose", action="store_true")
    a = p.parse_args()

    if a.replay is not None:
        s = draw(a.replay)
        print("run %d: %s" % (a.replay, describe(s)))
        problems, _ = run_one(s, verbose=True)
        for pr in problems:
            print("VIOLATION: " + pr)
        return 1 if problems else 0

    start = time.monotonic()
    seeds = [a.seed * 1000003 + i for i in range(a.runs)]
    failed = 0
    statuses = {}
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
        futures = {pool.submit(run_one, draw(rs)): rs for rs in seeds}
        for f in concurrent.futures.as_completed(futures):
            rs = futures[f]
            s = draw(rs)
            try:
                problems, code = f.result()
            except simrun.Failure as e:
                problems, code = ["could not be set up: %s" % e], None
            statuses[code] = statuses.get(code, 0) + 1
            if problems:
                failed += 1
                print("FAIL run %d: %s" % (rs, describe(s)))
                for pr in problems:
                    print("  VIOLATION: " + pr)
                print("  replay: tests/e2e/chaos.py --replay %d" % rs)
            elif a.verbose:
                print("ok run %d (status %s): %s" % (rs, code, describe(s)))
            sys.stdout.flush()
    print("chaos: %d runs from seed %d in %.0f s, %d with violations; exit statuses: %s"
          % (a.runs, a.seed, time.monotonic() - start, failed,
             ", ".join("%s x%d" % (k, v) for k, v in sorted(statuses.items(),
                                                           key=lambda kv: str(kv[0])))))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
