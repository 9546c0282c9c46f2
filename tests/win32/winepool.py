#!/usr/bin/env python3
"""The Windows program under Wine: a pool of prefixes with the test-only bus driver.

    winepool.py setup|cleanup FLAVOUR     the prefixes of a test run (win32, win64)

A prefix with the bus driver (tests/win32/driver) is made once per run and flavour, a few of
them so that scenarios run side by side; each scenario takes one for itself (Slot), serves the
printer with `fpsim --tcp` on the port the driver was installed with, and leaves it as it found
it: no printer published. A pool is named, so that the bench's can't be the tests'. Setup exits
77, saying why, where the flavour can't run here.
"""
import concurrent.futures
import fcntl
import glob
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "scripts"))
import simrun  # noqa: E402
from simrun import Failure, Skip  # noqa: E402

FLAVOURS = {
    # flavour: (the .exe's build, the wine loader, WINEARCH)
    "win32": ("win32", "wine", "win32"),
    "win64": ("win64", "wine64", "win64"),
}
SLOTS = int(os.environ.get("FP_WINE_SLOTS", "3"))
# The 64-bit build is never shipped: where the shipped 32-bit program runs under Wine it
# runs every row, and the 64-bit one only these, so that it keeps building and starting.
WIN64_SMOKE = ("complete_update", "flash_failed")
LEFT_TO_32_BIT = "left-to-32-bit"


def loader(flavour):
    name = FLAVOURS[flavour][1]
    found = shutil.which(name)
    # Debian's `wine` always prefers the 32-bit loader; the 64-bit one is beside it.
    if not found and name == "wine64" and os.access("/usr/lib/wine/wine64", os.X_OK):
        found = "/usr/lib/wine/wine64"
    return found


def env(flavour, prefix, base=None):
    e = dict(base or os.environ)
    e.update(WINEPREFIX=prefix, WINEARCH=FLAVOURS[flavour][2], WINEDEBUG="-all",
             WINEDLLOVERRIDES="mscoree,mshtml=")
    for v in ("DISPLAY", "WAYLAND_DISPLAY"):
        e.pop(v, None)
    return e


def exe(flavour):
    return simrun.build_path(FLAVOURS[flavour][0], "fpflash.exe")


def check(flavour):
    """Raises Skip, with the reason, where this flavour can't run here."""
    found = loader(flavour)
    if not found:
        raise Skip("%s is not installed (scripts/deps-win32.sh installs wine, wine32 and "
                   "wine64 as root)" % FLAVOURS[flavour][1])
    try:
        out = subprocess.run([found, "--version"], capture_output=True, text=True, timeout=60)
        ok, text = out.returncode == 0, out.stdout + out.stderr
    except OSError as e:
        ok, text = False, str(e)
    if not ok:
        if "Exec format error" in text:
            raise Skip("this kernel does not run 32-bit programs (IA-32 emulation is off), so "
                       "32-bit Wine cannot start: " + text.strip())
        raise Skip("'%s --version' failed: %s" % (found, text.strip()))
    if not os.path.isfile(exe(flavour)):
        raise Skip("%s is not built ('make %s' builds it with MinGW-w64)"
                   % (exe(flavour), FLAVOURS[flavour][0]))
    return found


def pool_dir(flavour, pool="wine"):
    return simrun.build_path("host", "%s-%s" % (pool, flavour))


def prefixes(pool, holding):
    """The pool's prefixes that hold the file `holding`, in order."""
    return sorted(os.path.dirname(p) for p in glob.glob(os.path.join(pool, "prefix-*", holding)))


def wine(flavour, prefix, args, timeout=120, **kw):
    return subprocess.run([loader(flavour)] + args, env=env(flavour, prefix),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout, **kw)


def free_ports(n):
    """N distinct free ports: all held at once while they are picked."""
    socks = [socket.socket() for _ in range(n)]
    try:
        for s in socks:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def shipped_runs_here():
    """Whether the shipped 32-bit program can run under Wine on this machine: (yes, why).
    Only a prefix that boots shows it: `wine --version` passes where Debian's wrapper falls
    back to 64-bit Wine."""
    try:
        check("win32")
    except Skip as e:
        return False, str(e)
    with tempfile.TemporaryDirectory(prefix="fpflash-wine32.") as prefix:
        try:
            out = wine("win32", prefix, ["wineboot", "-i"], timeout=300)
            ok, said = out.returncode == 0, out.stderr[-400:].strip()
        except subprocess.TimeoutExpired:
            ok, said = False, "wineboot never ended"
        subprocess.run(["wineserver", "-k"], env=env("win32", prefix), stderr=subprocess.DEVNULL)
    if not ok:
        return False, "32-bit Wine cannot start a prefix here: " + said
    return True, "32-bit Wine starts here (a 32-bit prefix booted) and %s is built" % exe("win32")


def setup(flavour, slots=SLOTS, pool="wine"):
    """Makes the prefixes of a run: the driver built once, installed in each, side by side."""
    check(flavour)
    cleanup(flavour, pool)
    pool = pool_dir(flavour, pool)
    os.makedirs(pool)
    driver = os.path.join(pool, "driver")
    build = subprocess.run(["sh", os.path.join(simrun.ROOT, "tests/win32/driver/build.sh"),
                            FLAVOURS[flavour][2], driver])
    if build.returncode == simrun.SKIP:
        raise Skip("the test driver's cross compiler is missing")
    if build.returncode != 0:
        raise Failure("the test driver did not build")
    ports = free_ports(slots)
    with concurrent.futures.ThreadPoolExecutor(slots) as run:
        made = [run.submit(make_prefix, flavour, os.path.join(pool, "prefix-%d" % i), driver, p)
                for i, p in enumerate(ports)]
        for f in made:
            f.result()


def make_prefix(flavour, prefix, driver, port):
    start = time.monotonic()
    os.makedirs(prefix)
    out = wine(flavour, prefix, ["wineboot", "-i"], timeout=300)
    if out.returncode != 0:
        raise Skip("no %s prefix could be made: %s" % (flavour, out.stderr[-400:]))
    subprocess.run(["wineserver", "-w"], env=env(flavour, prefix))
    shutil.copy(os.path.join(driver, "fpsimbus.sys"),
                os.path.join(prefix, "drive_c/windows/system32/drivers/"))
    out = wine(flavour, prefix, [os.path.join(driver, "fpsim-install.exe"), str(port)])
    if out.returncode != 0:
        raise Failure("the driver could not be installed in %s: %s"
                      % (prefix, (out.stdout + out.stderr)[-800:]))
    with open(os.path.join(prefix, "fp-port"), "w") as f:
        f.write("%d\n" % port)
    keep_booted(flavour, prefix)
    print("%s %s with the driver on port %d ready in %.1f s"
          % (flavour, os.path.basename(prefix), port, time.monotonic() - start))


def keep_booted(flavour, prefix):
    """Keeps an idle program running in the prefix. Without one, Wine shuts the prefix down
    after every program and boots it again for the next: the driver then comes up a second
    or more after the program it should serve has started."""
    pidfile = os.path.join(prefix, "fp-idle")
    try:
        # Killed with its prefix, an orphan can linger unreaped: a zombie is not running.
        with open(pidfile) as f, open("/proc/%d/stat" % int(f.read())) as stat:
            if stat.read().rsplit(")", 1)[1].split()[0] not in "ZX":
                return
    except (OSError, ValueError, IndexError):
        pass
    probe = os.path.join(os.path.dirname(prefix), "driver", "fpsim-probe.exe")
    idle = subprocess.Popen([loader(flavour), probe, "idle"], env=env(flavour, prefix),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    with open(pidfile, "w") as f:
        f.write(str(idle.pid))


def cleanup(flavour, pool="wine"):
    pool = pool_dir(flavour, pool)
    for prefix in prefixes(pool, "system.reg"):
        subprocess.run(["wineserver", "-k"], env=env(flavour, prefix), stderr=subprocess.DEVNULL)
    shutil.rmtree(pool, ignore_errors=True)


def left_to_32_bit(flavour, name):
    """Why this flavour leaves row NAME to the shipped program, as its pool's setup decided;
    None where it runs the row."""
    if flavour != "win64" or name in WIN64_SMOKE:
        return None
    try:
        with open(os.path.join(pool_dir(flavour), LEFT_TO_32_BIT)) as f:
            why = f.read().strip()
    except FileNotFoundError:
        return None
    return ("%s, so win32.%s runs this row; the 64-bit build runs only %s"
            % (why, name, ", ".join(WIN64_SMOKE)))


class WineLost(Exception):
    """Wine's device host died under the run: the run says nothing about the program."""


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


def rerun_when_lost(name, once):
    """once() again on a fresh boot when Wine lost it; a second loss fails."""
    try:
        return once()
    except WineLost as e:
        print("note: %s: Wine's device host died under the run (%s); running it again"
              % (name, e))
    try:
        return once()
    except WineLost as e:
        raise Failure("Wine's device host died twice: %s" % e)


class Slot:
    """One prefix of the pool, taken for one scenario; waits while all are in use."""

    def __init__(self, flavour, pool="wine"):
        self.flavour = flavour
        self.loader = check(flavour)
        pool = pool_dir(flavour, pool)
        ready = prefixes(pool, "fp-port")
        if not ready:
            raise Skip("no %s prefix at %s (see the %s.prefix_setup test)"
                       % (flavour, pool, flavour))
        self.lock = None
        self.restarted = False
        while self.lock is None:
            for p in ready:
                f = open(p + ".lock", "w")
                try:
                    fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    f.close()
                    continue
                self.lock, self.prefix = f, p
                break
            else:
                time.sleep(0.2)
        with open(os.path.join(self.prefix, "fp-port")) as f:
            self.port = int(f.read())
        self.driver = os.path.join(pool, "driver")
        keep_booted(flavour, self.prefix)

    def env(self, base=None):
        return env(self.flavour, self.prefix, base)

    def probe(self, what, ms=20000):
        try:
            out = wine(self.flavour, self.prefix,
                       [os.path.join(self.driver, "fpsim-probe.exe"), what, str(ms)],
                       timeout=ms / 1000 + 60)
        except subprocess.TimeoutExpired:
            return False, "the probe never ended"
        return out.returncode == 0, (out.stdout + out.stderr).strip()

    def command(self, args):
        return [self.loader, exe(self.flavour)] + list(args)

    def serve(self, printer, published=True):
        """Waits until the driver follows `printer` and, when it is `published`, Windows has
        its interface."""
        # Present or not, it must be followed before the program looks for it; a device host
        # still busy with the last removal can take seconds.
        if not printer.wait_log(" watching", 30):
            # A device host that died with the last removal: only a fresh boot brings it back.
            self.restart("has no driver following the printer")
            if not printer.wait_log(" watching", 60):
                raise Failure("the Wine driver never connected to the printer")
        if published:
            found, said = self.probe("find")
            if not found:
                raise Failure("the device interface never appeared: " + said)

    def judge(self, log, failed):
        """Raises WineLost, the prefix shut down, where a failed run's log shows that Wine's
        device host died under it."""
        lost = lost_watch(log) if failed else None
        if lost:
            self.restart("lost its driver during the run (%s)" % lost, boot=False)
            raise WineLost(lost)

    def restart(self, why, boot=True):
        """Shuts the prefix down; booted again, driver and all, now or by its next user."""
        print("note: %s %s; restarting it" % (os.path.basename(self.prefix), why))
        subprocess.run(["wineserver", "-k"], env=self.env(), stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env(), stderr=subprocess.DEVNULL)
        self.restarted = not boot
        if boot:
            keep_booted(self.flavour, self.prefix)

    def release(self):
        """Gives the prefix back with no printer published. Wine's device host, busy enough,
        can lose a removal and keep the interface for good: then the prefix is shut down, and
        its next user boots it afresh, driver and all."""
        if not self.lock:
            return
        # A prefix left shut down has no interface; a probe would only race its boot.
        gone, said = (True, "") if self.restarted else self.probe("gone", 10000)
        if not gone:
            self.restart("kept the interface after the printer stopped (%s)" % said)
        self.lock.close()
        self.lock = None


def fixture(what, flavour):
    """The test run's pool: made (the 64-bit one deciding first which rows it runs), or
    removed."""
    try:
        if what == "cleanup":
            cleanup(flavour)
            return 0
        slots, left = SLOTS, None
        if flavour == "win64":
            runs, why = shipped_runs_here()
            print("win64: %s: %s" % (why, ("only " + ", ".join(WIN64_SMOKE)) if runs
                                     else "every row"))
            if runs:
                left, slots = why, min(SLOTS, len(WIN64_SMOKE))
        setup(flavour, slots)
        if left:
            with open(os.path.join(pool_dir(flavour), LEFT_TO_32_BIT), "w") as f:
                f.write(left + "\n")
    except Skip as e:
        print("SKIPPED: Windows tests under Wine: %s" % e)
        return simrun.SKIP
    except Failure as e:
        print("%s %s: %s" % (what, flavour, e), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("setup", "cleanup") or \
            sys.argv[2] not in FLAVOURS:
        sys.exit(__doc__)
    sys.exit(fixture(*sys.argv[1:]))
