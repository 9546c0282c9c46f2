#!/usr/bin/env python3
"""Runs one row of the scenario table (scenarios.py) on one build.

    run.py BUILD NAME
    run.py wine-setup|wine-cleanup FLAVOUR   the Wine prefixes of a run (win32, win64)

BUILD is host, asan, memcheck (host under valgrind), wine (the Windows program under Wine;
FP_WINE_FLAVOUR picks win32 or win64) or usbd. FPFLASH and FPSIM name the Linux program and
the printer's driver (default build/host). FP_E2E_KEEP=DIR keeps each run's files in DIR.
Exits 0 when every check holds, 1 when one fails, 77 when the build can't run here (with
the reason), 2 when the scenario could not be set up.
"""
import os
import re
import stat
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "scripts"))
import scenarios  # noqa: E402
import simrun  # noqa: E402

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


def check_output(c, r, result, want, wine):
    text = result.text()
    stem = scenarios.transcript_of(r)
    if stem:
        with open(os.path.join(HERE, "expected", stem + ".txt"), "rb") as f:
            expected = f.read().decode("latin-1")
        expected = expected.replace("@IMAGE@", IMAGE).replace("@CRC@", simrun.crc32_hex(want))
        if wine:
            # A Windows console program ends its lines with CR LF.
            expected = expected.replace("\n", "\r\n")
        got = result.out.decode("latin-1")
        if got != expected:
            c.fail("transcript differs from expected/%s.txt" % stem)
            import difflib
            sys.stdout.writelines(difflib.unified_diff(
                expected.splitlines(True), got.splitlines(True), "expected", "actual"))
    lines = result.lines()
    for n, t in r.get("lines", []):
        t = t.replace("@IMAGE@", IMAGE)
        got = sum(1 for l in lines if l == t)
        c.expect(got == n, "%d lines = '%.80s', expected %d" % (got, t, n))
    for n, t in r.get("has", []):
        t = t.replace("@IMAGE@", IMAGE)
        got = sum(1 for l in lines if t in l)
        c.expect(got == n, "%d lines containing '%.80s', expected %d" % (got, t, n))
    return text


# What serves the printer on each build, as a check's scope names it.
DRIVER = {"host": "fpsim", "asan": "fpsim", "memcheck": "fpsim", "wine": "wine", "usbd": "usbd"}


def applies(check, build):
    """Whether a (PATTERN, N[, SCOPE]) check holds on this build."""
    scope = check[2] if len(check) > 2 else None
    return scope is None or scope == DRIVER[build] or (scope == "unix" and build != "wine")


def count_matches(c, checks, lines, build, what):
    for check in checks:
        if applies(check, build):
            pattern, n = check[0], check[1]
            got = sum(1 for l in lines if re.search(pattern, l))
            c.expect(got == n, "%d lines of %s match '%s', expected %d" % (got, what, pattern, n))


def check_said(c, r, printer, build):
    """The driver says on stderr what the row expects it to, and nothing else."""
    lines = printer.read("err").decode("latin-1").splitlines()
    says = [s for s in r.get("says", []) if applies(s, build)]
    count_matches(c, says, lines, build, "%s's stderr" % printer.name)
    other = [l for l in lines if not any(re.search(s[0], l) for s in says)]
    c.expect(not other, "%s complained: %r" % (printer.name, "\n".join(other)[:300]))


def check_log(c, r, log, build):
    lines = log.split("\n")
    unix = build != "wine"
    count_matches(c, r.get("log", []), lines, build, "the printer's log")
    if not r.get("touched", True):
        c.expect(not any("OPEN" in l for l in lines), "fpflash opened the printer")
        if unix:
            c.expect(not any(l.endswith(" connected") for l in lines),
                     "fpflash connected to the printer")


def check_dirs(c, lab):
    base = os.path.join(lab.env["XDG_RUNTIME_DIR"], "device-interfaces")
    cls = lab.class_dir()
    for d in (base, cls):
        mode = stat.S_IMODE(os.stat(d).st_mode) if d and os.path.isdir(d) else None
        c.expect(mode == 0o700, "%s was created with mode %s" % (d, oct(mode or 0)))


class WineLost(Exception):
    pass


def lost_watch(log):
    """What shows that Wine's device host died under the run: the driver's watch connection
    closed while the printer was still up, and no driver followed it again."""
    watching = re.findall(r"#(\d+) watching", log)
    if not watching:
        return None
    last = watching[-1]
    after = log.split("#%s watching" % last, 1)[1]
    closed = after.find("#%s closed" % last)
    if closed < 0 or "stopped by signal" in after[:closed]:
        return None
    return "watch connection #%s closed, never followed again" % last


def run(build, r, lab, c):
    wine = build == "wine"
    unix = not wine
    slot = None
    tcp = []
    if wine:
        slot = simrun.WineSlot(os.environ.get("FP_WINE_FLAVOUR", "win32"))
        tcp = ["--tcp", str(slot.port)]
    try:
        result = run_in(build, r, lab, c, slot, tcp, unix)
        if slot and c.failures:
            lost = lost_watch(lab.printers[-1].log_text())
            if lost:
                slot.restart("lost its driver during the run (%s)" % lost, boot=False)
                raise WineLost(lost)
        return result
    finally:
        if slot:
            for p in lab.printers:
                p.stop()
            slot.release()


def run_in(build, r, lab, c, slot, tcp, unix):
    fpflash = os.environ.get("FPFLASH", simrun.build_path("host", "fpflash"))
    driver = os.environ.get("FPSIM", simrun.build_path("host", "fpsim"))
    for tool in (driver,) + ((fpflash,) if unix else ()):
        if not os.access(tool, os.X_OK):
            raise simrun.Failure("%s: not built" % tool)
    image, args = make_files(lab, r)
    records = r.get("records", 25)
    limit = r.get("timeout", 150 + records * 0.05)

    setup = r.get("setup")
    second = None
    if setup == "second_printer":
        # Published first under a later name: the name decides, not the order.
        second = lab.start_printer(driver, ["--app-version", "9.9.9", "--new-version", "9.9.10"],
                                   name="printer-2")
    late = r.get("late", False)
    sim = list(r.get("sim", [])) + (["--hold"] if late else []) + tcp
    printer = lab.start_printer(driver, sim)
    if unix:
        check_dirs(c, lab)
    if slot:
        # The driver must be following this printer before the program looks for it, present
        # or not; a device host still busy with the last removal can take seconds.
        if not printer.wait_log(" watching", 30):
            # A device host that died with the last removal: only a fresh boot brings it back.
            slot.restart("has no driver following the printer")
            if not printer.wait_log(" watching", 60):
                raise simrun.Failure("the Wine driver never connected to the printer")
        if not late and "--absent" not in sim:
            found, said = slot.probe("find")
            if not found:
                raise simrun.Failure("the device interface never appeared: " + said)
    if setup == "hold_device":
        lab.hold(printer.where)
    elif setup == "open_class_dir":
        os.chmod(lab.class_dir(), 0o777)

    if slot:
        cmd, env = slot.command(args), slot.env(lab.env)
        limit += 60
    elif r["build"] == "memcheck":
        cmd, env = VALGRIND + [fpflash] + args, None
        limit *= 3
    else:
        cmd, env = [fpflash] + args, None
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
    check_output(c, r, result, want, slot is not None)

    if r.get("self_stop"):
        c.expect(printer.wait_stopped(5), "the printer did not stop by itself")
    for p in lab.printers:
        st = p.stop()
        c.expect(st == 0, "%s ended with status %s" % (p.name, st))
        check_said(c, r if p is printer else {}, p, r["build"])
    if unix and lab.class_dir():
        left = [e for e in os.listdir(lab.class_dir())
                if stat.S_ISSOCK(os.lstat(os.path.join(lab.class_dir(), e)).st_mode)]
        c.expect(not left, "sockets left behind: %s" % left)
    kept = printer.read("kept")
    for p in simrun.invariants(result, image, kept, IMAGE):
        c.fail(p)
    c.expect(kept == want, "the printer kept %d bytes, not the expected %d"
             % (len(kept), len(want)))
    log = printer.log_text()
    check_log(c, r, log, r["build"])
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
    return result


def wine_fixture(what, flavour):
    try:
        if what == "wine-setup":
            simrun.wine_setup(flavour)
        else:
            simrun.wine_cleanup(flavour)
    except simrun.Skip as e:
        print("SKIPPED: Windows tests under Wine: %s" % e)
        return simrun.SKIP
    except simrun.Failure as e:
        print("%s %s: %s" % (what, flavour, e), file=sys.stderr)
        return 1
    return 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] in ("wine-setup", "wine-cleanup"):
        return wine_fixture(*sys.argv[1:])
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    build, name = sys.argv[1:]
    r = scenarios.find(name)
    if r is None or build not in r["builds"]:
        print("no scenario %s for build %s in scenarios.py" % (name, build), file=sys.stderr)
        return 2
    r = dict(r, build=build)
    try:
        for attempt in (1, 2):
            c = Checks(name)
            try:
                with simrun.Lab(prefix="fpflash-e2e.", keep=os.environ.get("FP_E2E_KEEP")) as lab:
                    result = run(build, r, lab, c)
                break
            except WineLost as e:
                # Wine's fault, not the program's: the run is worth nothing, so it runs again
                # once, on a fresh boot; a second loss fails.
                if attempt == 2:
                    raise simrun.Failure("Wine's device host died twice: %s" % e)
                print("note: %s: Wine's device host died under the run (%s); running it again"
                      % (name, e))
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
