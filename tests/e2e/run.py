#!/usr/bin/env python3
"""Runs one row of the scenario table (scenarios.py) on one build.

    run.py BUILD NAME

BUILD is host, asan, memcheck (host under valgrind), usbd (through fpusbd, fpusb-testbed in
fpsim's place) or wine (the Windows program under Wine; FP_WINE_FLAVOUR picks win32 or win64).
FPFLASH and FPSIM name the Linux program and the printer's driver (default: the build's own).
FP_E2E_KEEP=DIR keeps each run's files in DIR; FP_E2E_RECORD=FILE has fpusbd (build usbd)
record the run's trace in FILE, as tests/traces holds them. Exits 0 when every check holds, 1 when one
fails, 77 when the build can't run the row here (with the reason), 2 when the scenario could
not be set up.
"""
import contextlib
import json
import os
import re
import signal
import stat
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(os.path.dirname(TESTS), "scripts"))
sys.path.insert(0, os.path.join(TESTS, "win32"))
import scenarios  # noqa: E402
import simrun  # noqa: E402
import winepool  # noqa: E402

IMAGE = "firmware.bin"
VALGRIND = ["valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
            "--show-leak-kinds=definite,indirect,possible",
            "--errors-for-leak-kinds=definite,indirect,possible"]


class Checks:
    def __init__(self, name):
        self.name = name
        self.failures = []

    def fail(self, text):
        self.failures.append(text)
        print("FAIL %s: %s" % (self.name, text))

    def expect(self, ok, text):
        if not ok:
            self.fail(text)


def wanted(image, kept):
    if kept == "all":
        return image
    if kept == "none":
        return b""
    return image[:kept * simrun.RECORD]


def make_files(lab, r):
    """The image (or the files a wild card matches) and the command line's arguments."""
    kind = r.get("image", "good")
    image = b""
    if isinstance(kind, dict):
        for name, size in kind.items():
            with open(lab.path(name), "wb") as f:
                f.write(os.urandom(size))
    elif kind == "directory":
        os.mkdir(lab.path(IMAGE))
    elif kind == "fifo":
        os.mkfifo(lab.path(IMAGE))
    elif kind in ("good", "bad_size"):
        image = simrun.write_image(lab.path(IMAGE), r.get("records", 25))
        if kind == "bad_size":
            with open(lab.path(IMAGE), "ab") as f:
                f.write(b"x")
    args = r.get("args", [] if kind == "none" else [IMAGE])
    return image, args


def check_output(c, r, result, want, newline):
    stem = scenarios.transcript_of(r)
    if stem:
        with open(os.path.join(HERE, "expected", stem + ".txt"), "rb") as f:
            expected = f.read().decode("latin-1")
        expected = expected.replace("@IMAGE@", IMAGE).replace("@CRC@", simrun.crc32_hex(want))
        expected = expected.replace("\n", newline)
        got = result.out.decode("latin-1")
        if got != expected:
            c.fail("transcript differs from expected/%s.txt" % stem)
            import difflib
            sys.stdout.writelines(difflib.unified_diff(
                expected.splitlines(True), got.splitlines(True), "expected", "actual"))
    lines = result.lines()
    for key, how, match in (("lines", "=", str.__eq__), ("has", "containing", str.__contains__)):
        for n, t in r.get(key, []):
            t = t.replace("@IMAGE@", IMAGE)
            got = sum(1 for l in lines if match(l, t))
            c.expect(got == n, "%d lines %s '%.80s', expected %d" % (got, how, t, n))


def applies(check, b):
    """Whether a (PATTERN, N[, SCOPE]) check holds on build `b`."""
    scope = check[2] if len(check) > 2 else None
    return scope is None or scope == b.scope or (scope == "unix" and b.unix)


def count_matches(c, checks, lines, b, what):
    for check in checks:
        if applies(check, b):
            pattern, n = check[0], check[1]
            got = sum(1 for l in lines if re.search(pattern, l))
            c.expect(got == n, "%d lines of %s match '%s', expected %d" % (got, what, pattern, n))


def check_said(c, r, printer, b):
    """The driver says on stderr what the row expects it to, and nothing else."""
    lines = printer.read("err").decode("latin-1").splitlines()
    says = [s for s in r.get("says", []) if applies(s, b)]
    count_matches(c, says, lines, b, "%s's stderr" % printer.name)
    other = [l for l in lines if not any(re.search(s[0], l) for s in says)]
    c.expect(not other, "%s complained: %r" % (printer.name, "\n".join(other)[:300]))


def check_log(c, r, log, b):
    lines = log.split("\n")
    count_matches(c, r.get("log", []), lines, b, "the printer's log")
    if not r.get("touched", True):
        c.expect(not any("OPEN" in l for l in lines), "fpflash opened the printer")
        if b.unix:
            c.expect(not any(l.endswith(" connected") for l in lines),
                     "fpflash connected to the printer")


def check_dirs(c, lab):
    base = os.path.join(lab.env["XDG_RUNTIME_DIR"], "device-interfaces")
    cls = lab.class_dir()
    for d in (base, cls):
        mode = stat.S_IMODE(os.stat(d).st_mode) if d and os.path.isdir(d) else None
        c.expect(mode == 0o700, "%s was created with mode %s" % (d, oct(mode or 0)))


class Build:
    """A row's run on Linux: fpflash of BUILD, the printer published on a Unix socket by
    DRIVER, the program under WRAP given SLOWER times the row's time. A check scoped to SCOPE
    (a row's "fpsim", "usbd" or "wine") holds only on such builds."""
    unix = True  # the printer's directories, socket and connections can be checked
    newline = "\n"

    def __init__(self, build, driver="fpsim", wrap=(), slower=1, scope="fpsim"):
        self.scope = scope
        self.fpflash = os.environ.get("FPFLASH", simrun.build_path(build, "fpflash"))
        self.driver = os.environ.get("FPSIM", simrun.build_path(build, driver))
        self.wrap, self.slower = list(wrap), slower

    def runs(self, name, once):
        """The row's run, once() making one attempt."""
        return once()

    def session(self, lab):
        """What the build holds while the row runs."""
        return contextlib.nullcontext()

    def printer_args(self):
        record = os.environ.get("FP_E2E_RECORD")
        return ["--record", os.path.abspath(record)] if record and self.scope == "usbd" else []

    def serve(self, printer, published):
        pass

    def command(self, args, lab, limit):
        return self.wrap + [self.fpflash] + args, None, limit * self.slower

    def judge(self, lab, c):
        """Raises, after the checks, where the run says nothing about the program."""


class Wine(Build):
    """The Windows program of FLAVOUR in a prefix of the pool, the printer served by fpsim
    over TCP to the prefix's test driver."""
    unix = False
    newline = "\r\n"  # a Windows console program's

    def __init__(self, flavour):
        super().__init__("host", scope="wine")
        self.flavour, self.fpflash = flavour, winepool.exe(flavour)
        self.slot = None

    def runs(self, name, once):
        why = winepool.left_to_32_bit(self.flavour, name)
        if why:
            raise simrun.Skip(why)
        return winepool.rerun_when_lost(name, once)

    @contextlib.contextmanager
    def session(self, lab):
        self.slot = winepool.Slot(self.flavour)
        try:
            yield
        finally:
            for p in lab.printers:
                p.stop()
            self.slot.release()

    def printer_args(self):
        return ["--tcp", str(self.slot.port)]

    def serve(self, printer, published):
        self.slot.serve(printer, published)

    def command(self, args, lab, limit):
        return self.slot.command(args), self.slot.env(lab.env), limit + 60

    def judge(self, lab, c):
        self.slot.judge(lab.printers[-1].log_text(), bool(c.failures))


BUILDS = {
    "host": lambda: Build("host"),
    "asan": lambda: Build("asan"),
    "memcheck": lambda: Build("host", wrap=VALGRIND, slower=3),
    "usbd": lambda: Build("host", driver="fpusb-testbed", scope="usbd"),
    "wine": lambda: Wine(os.environ.get("FP_WINE_FLAVOUR", "win32")),
}


def run_fleet(b, r, lab, c, image, args, limit):
    """A row of fpflash-all: on usbd the testbed's printer (printer-1) and an fpsim attached
    to its bus for each further one (1-2, ...); elsewhere those of --simulate (sim-1, ...)."""
    beside = lambda name: os.path.join(os.path.dirname(b.fpflash), name)  # noqa: E731
    fleet, results = r["fleet"], r["results"]
    if b.scope == "usbd":
        more = [lab.start_printer(beside("fpsim"), o, name="p%d" % k, runtime="sims")
                for k, o in enumerate(fleet[1:], 2)]
        printers = {"1-%d" % k: p for k, p in enumerate(more, 2)}
        printers["printer-1"] = lab.start_printer(
            b.driver, fleet[0] + [a for p in more for a in ("--attach", p.where)])
        opts = []
    else:
        printers = {}
        opts = ["--simulate", str(len(fleet))]
        for k, o in enumerate(fleet, 1):
            opts += ["--sim-options", "%d:%s" % (k, " ".join(o))] if o else []
    os.mkdir(lab.path("tmp"))
    env = dict(lab.env, TMPDIR=lab.path("tmp"))
    working = sum(1 for v in results.values() if v[0] in ("updated", "stopped", "failed"))

    def once(table, interrupt=0):
        cmd = [beside("fpflash-all"), "--json", lab.path(table), "--logs", lab.path("logs")]
        proc = lab.start(cmd + opts + args + r.get("ports", []), env=env)
        # A Ctrl-C reaches the terminal's foreground process group: the command's alone.
        for n in range(interrupt):
            if not lab.wait_output(proc, b"Ctrl-C again" if n else b"sending",
                                   count=1 if n else working, timeout=60):
                c.fail("fpflash-all never got to Ctrl-C number %d" % (n + 1))
            os.killpg(proc.pid, signal.SIGINT)
        result = lab.finish(proc, limit)
        c.expect(not result.err, "fpflash-all wrote to stderr: %r" % result.err[:300])
        with open(lab.path(table)) as f:
            return result, {p["port"]: p for p in json.load(f)["printers"]}

    result, table = once("table.json", r.get("interrupt", 0))
    status = r.get("status", 0)
    c.expect(result.code == simrun.exit_byte(status),
             "exit status %d, not %d" % (result.code, status))
    check_output(c, r, result, image, "\n")
    c.expect(sorted(table) == sorted(results), "the table lists %s" % sorted(table))
    for port, want in results.items():
        got = table.get(port, {})
        c.expect((got.get("result"), got.get("status"), got.get("before"), got.get("after")) == want
                 and (want[0] != "stopped" or got.get("in_loader")), "%s: %s" % (port, got))
        stem = r.get("transcripts", {}).get(port)
        if stem and got.get("log"):
            with open(got["log"], "rb") as f:
                log = simrun.Result(0, f.read(), b"", 0)
            check_output(c, {"transcript": stem}, log, image, "\n")
    if r.get("rerun"):
        again, table = once("rerun.json")
        c.expect(again.code == 0 and all(p["result"] == "updated" and p["found_in_loader"]
                                         for p in table.values()), "the rerun: %s" % table)
    for port, p in printers.items():
        updated = r.get("rerun") or results.get(port, ("",))[0] == "updated"
        c.expect(p.stop() == 0, "%s ended badly" % p.name)
        check_said(c, r if port == "printer-1" else {}, p, b)
        if port not in results or results[port][0] == "late":
            c.expect("OPEN" not in p.log_text() and not p.read("kept"), "%s was touched" % port)
        elif updated:
            c.expect(p.read("kept") == image, "%s did not keep the image" % port)
    if "printer-1" in printers:
        check_log(c, r, printers["printer-1"].log_text(), b)
    c.expect(not os.listdir(lab.path("tmp")), "left in TMPDIR: %s" % os.listdir(lab.path("tmp")))
    if c.failures:
        print("--- fpflash-all's output\n" + result.text())
    return result


def run(b, r, lab, c):
    for tool in (b.driver, b.fpflash):
        if not os.access(tool, os.X_OK):
            raise simrun.Failure("%s: not built" % tool)
    image, args = make_files(lab, r)
    records = r.get("records", 25)
    limit = r.get("timeout", 150 + records * 0.05)
    if "fleet" in r:
        return run_fleet(b, r, lab, c, image, args, limit)

    setup = r.get("setup")
    second = None
    if setup == "second_printer":
        # Published first under a later name: the name decides, not the order.
        second = lab.start_printer(b.driver, ["--app-version", "9.9.9", "--new-version", "9.9.10"],
                                   name="printer-2")
    late = r.get("late", False)
    sim = list(r.get("sim", [])) + (["--hold"] if late else []) + b.printer_args()
    if "trace" in r:
        sim = ["--replay", scenarios.trace_path(r["trace"])] + b.printer_args()
    printer = lab.start_printer(b.driver, sim)
    if b.unix:
        check_dirs(c, lab)
    b.serve(printer, published=not late and "--absent" not in sim)
    if setup == "hold_device":
        lab.hold(printer.where)
    elif setup == "open_class_dir":
        os.chmod(lab.class_dir(), 0o777)

    cmd, env, limit = b.command(args, lab, limit)
    proc = lab.start(cmd, env=env)
    if late:
        # Released once the second attempt has failed, it comes a second before the third.
        if not lab.wait_output(proc, b"Wait open USB\n", count=2):
            c.fail("no second failed attempt before the printer was due")
        printer.release()
    result = lab.finish(proc, limit)

    want = wanted(image, r.get("kept", "all"))
    status = r.get("status", 0)
    if result.code == -9:
        c.fail("fpflash still running after %d s" % limit)
    elif result.code != simrun.exit_byte(status) and not result.signal:
        c.fail("exit status %d, expected %d (%d)" % (result.code, status,
                                                     simrun.exit_byte(status)))
    check_output(c, r, result, want, b.newline)

    if r.get("self_stop"):
        bound = 5 if r["self_stop"] is True else r["self_stop"]
        c.expect(printer.wait_stopped(bound), "the printer did not stop by itself within %d s"
                 % bound)
    for p in lab.printers:
        st = p.stop()
        c.expect(st == 0, "%s ended with status %s" % (p.name, st))
        check_said(c, r if p is printer else {}, p, b)
    if b.unix and lab.class_dir():
        left = [e for e in os.listdir(lab.class_dir())
                if stat.S_ISSOCK(os.lstat(os.path.join(lab.class_dir(), e)).st_mode)]
        c.expect(not left, "sockets left behind: %s" % left)
    kept = printer.read("kept")
    for p in simrun.invariants(result, image, kept, IMAGE):
        c.fail(p)
    c.expect(kept == want, "the printer kept %d bytes, not the expected %d"
             % (len(kept), len(want)))
    log = printer.log_text()
    check_log(c, r, log, b)
    if second:
        other = second.log_text()
        c.expect("OPEN" not in other, "fpflash opened the second printer")
        c.expect(not second.read("kept"), "the second printer received blocks")
    if c.failures:
        print("--- fpflash's output (last 30 lines)")
        for l in result.lines()[-31:]:
            print(l[:200])
        print("--- the printer's log (last 40 lines)")
        print("\n".join(log.split("\n")[-41:]))
    b.judge(lab, c)
    return result


def attempt(b, r):
    c = Checks(r["name"])
    with simrun.Lab(prefix="fpflash-e2e.", keep=os.environ.get("FP_E2E_KEEP")) as lab, \
            b.session(lab):
        return c, run(b, r, lab, c)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    build, name = sys.argv[1:]
    r = scenarios.find(name)
    if r is None or build not in r["builds"] or build not in BUILDS:
        print("no scenario %s for build %s in scenarios.py" % (name, build), file=sys.stderr)
        return 2
    b = BUILDS[build]()
    try:
        c, result = b.runs(name, lambda: attempt(b, r))
    except simrun.Skip as e:
        print("SKIPPED: %s" % e)
        return simrun.SKIP
    except simrun.Failure as e:
        print("scenario %s could not be set up: %s" % (name, e), file=sys.stderr)
        return 2
    if c.failures:
        return 1
    print("ok %s: status %d in %.1f s" % (name, r.get("status", 0), result.elapsed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
