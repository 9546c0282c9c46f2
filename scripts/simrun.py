"""The real fpflash against a simulated printer, in a runtime directory of its own.

One library for everything that runs whole updates: the end-to-end scenarios
(tests/e2e/run.py), the fault campaign (tests/e2e/chaos.py), `make demo` and `make bench`.
A Lab is one private directory: it starts printers (fpsim, or another driver with fpsim's
command line) and waits until they are ready, runs the program, and on every path stops
what it started and removes what it made.
"""
import fcntl
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import zlib

RECORD = 528
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import make_image  # noqa: E402

OPEN_REQUEST = struct.pack("<BI", 0, 0xC0000000)
ENTER = b"\n"


def build_path(build, name):
    return os.path.join(ROOT, "build", build, name)


def write_image(path, records, seed=7):
    make_image.write(path, records, seed)
    with open(path, "rb") as f:
        return f.read()


def crc32_hex(data):
    return "%08X" % zlib.crc32(data)


def exit_byte(status):
    """A status as the program returns it (-1), as a process's parent sees it (255)."""
    return status % 256


class Failure(Exception):
    """The lab could not be set up: not a verdict on the program."""


class Result:
    def __init__(self, code, out, err, elapsed):
        self.code = code  # returncode: negative for a signal
        self.out = out
        self.err = err
        self.elapsed = elapsed

    @property
    def signal(self):
        return -self.code if self.code < 0 else 0

    def text(self):
        return self.out.decode("latin-1").replace("\r\n", "\n")

    def lines(self):
        """The output's lines; the last one is there only when it has text."""
        lines = self.text().split("\n")
        return lines[:-1] if lines[-1] == "" else lines


class Printer:
    """A driver serving one simulated printer, started by a Lab."""

    def __init__(self, lab, name, proc, ready):
        self.lab = lab
        self.name = name
        self.proc = proc
        fields = ready.split()
        self.where = fields[1] if len(fields) > 1 else None  # the socket's path, or the port
        self.log = lab.path(name + ".log")
        self.kept = lab.path(name + ".kept")
        self.err = lab.path(name + ".err")

    def release(self):
        """Ends --hold: the printer is published after its --absent time from now."""
        self.proc.send_signal(signal.SIGUSR1)

    def stop(self, timeout=30):
        """Stops the driver (if it hasn't stopped by itself); returns its exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def wait_stopped(self, timeout):
        try:
            self.proc.wait(timeout)
            return True
        except subprocess.TimeoutExpired:
            return False

    def wait_log(self, text, timeout):
        deadline = time.monotonic() + timeout
        while text not in self.log_text():
            if time.monotonic() > deadline or self.proc.poll() is not None:
                return text in self.log_text()
            time.sleep(0.02)
        return True

    def read(self, which):
        try:
            with open(getattr(self, which), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def log_text(self):
        return self.read("log").decode("latin-1")


class Lab:
    def __init__(self, prefix="fpflash-", keep=None):
        # A short path: the device path is also a socket address.
        self.dir = tempfile.mkdtemp(prefix=prefix, dir="/tmp")
        self.keep = keep
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.path("run"))
        os.mkdir(self.path("run"), 0o700)
        self.printers = []
        self.procs = []
        self.holders = []

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def class_dir(self):
        base = os.path.join(self.env["XDG_RUNTIME_DIR"], "device-interfaces")
        dirs = [d for d in os.listdir(base)] if os.path.isdir(base) else []
        return os.path.join(base, dirs[0]) if len(dirs) == 1 else None

    def start_printer(self, driver, args=(), name="printer-1", lifetime=600, ready_wait=10):
        ready = self.path(name + ".ready")
        cmd = [driver, "--name", name, "--ready", ready, "--log", self.path(name + ".log"),
               "--save", self.path(name + ".kept"), "--lifetime", str(lifetime)] + list(args)
        with open(self.path(name + ".err"), "wb") as err:
            proc = subprocess.Popen(cmd, env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=err)
        deadline = time.monotonic() + ready_wait
        while not (os.path.exists(ready) and os.path.getsize(ready) > 0):
            if proc.poll() is not None or time.monotonic() > deadline:
                if proc.poll() is None:
                    proc.kill()
                proc.wait()
                with open(self.path(name + ".err"), "rb") as f:
                    said = f.read()[:300].decode("latin-1").strip()
                # A driver that can't run here says why (fpusb-testbed without umockdev).
                if proc.returncode == SKIP:
                    raise Skip(said or "%s cannot run here" % os.path.basename(driver))
                raise Failure("%s %s did not start: %s" % (os.path.basename(driver), name, said))
            time.sleep(0.02)
        with open(ready) as f:
            printer = Printer(self, name, proc, f.read())
        self.printers.append(printer)
        return printer

    def hold(self, socket_path):
        """Another client opens the printer first and keeps it until the printer goes."""
        s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        s.connect(socket_path)
        s.send(OPEN_REQUEST)
        if s.recv(64)[:1] != b"\x01":
            s.close()
            raise Failure("the printer refused the holder")
        self.holders.append(s)
        return s

    def start(self, cmd, stdin=ENTER, cwd=None, env=None):
        """Starts the program with `stdin` as its whole standard input, or with a pipe the
        caller writes to when `stdin` is None."""
        with open(self.path("stdin"), "wb") as f:
            f.write(stdin or b"")
        with open(self.path("stdin"), "rb") as inp, open(self.path("out"), "wb") as out, \
                open(self.path("err"), "wb") as err:
            proc = subprocess.Popen(cmd, cwd=cwd or self.dir, env=env or self.env,
                                    stdin=inp if stdin is not None else subprocess.PIPE,
                                    stdout=out, stderr=err, start_new_session=True)
        proc.started = time.monotonic()
        self.procs.append(proc)
        return proc

    def output(self):
        with open(self.path("out"), "rb") as f:
            return f.read()

    def wait_output(self, proc, text, timeout=10, count=1, poll=0.01):
        """Waits until the program has printed `text` (bytes) `count` times, looking every
        `poll` seconds; false if it ended first."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.output().replace(b"\r\n", b"\n").count(text) >= count:
                return True
            if proc.poll() is not None:
                break
            time.sleep(poll)
        return self.output().replace(b"\r\n", b"\n").count(text) >= count

    def finish(self, proc, timeout):
        """Waits for the program; one that outlives `timeout` is killed (code -9)."""
        try:
            proc.wait(max(0.0, timeout - (time.monotonic() - proc.started)))
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        elapsed = time.monotonic() - proc.started
        with open(self.path("err"), "rb") as f:
            err = f.read()
        return Result(proc.returncode, self.output(), err, elapsed)

    def run(self, cmd, timeout, stdin=ENTER, cwd=None, env=None):
        return self.finish(self.start(cmd, stdin, cwd, env), timeout)

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        for p in self.printers:
            p.stop()
        for s in self.holders:
            s.close()
        if self.keep:
            dest = os.path.join(self.keep, os.path.basename(self.dir))
            shutil.rmtree(dest, ignore_errors=True)
            shutil.copytree(self.dir, dest, symlinks=True,
                            ignore=shutil.ignore_patterns("run"))
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def invariants(result, image, kept, image_name):
    """What holds for every run, whatever the scenario: the list of what did not."""
    problems = []
    whole = kept == image
    text = result.text()
    if result.signal:
        problems.append("fpflash ended by signal %d" % result.signal)
    if result.err:
        problems.append("fpflash wrote to stderr: %r" % result.err[:600])
    if result.code == 0 and not whole:
        problems.append("exit status 0 without the whole image kept")
    if ("Download file '%s' - O'k\n" % image_name) in text and not whole:
        problems.append("download reported done without the whole image kept")
    failed = any(l.startswith(("ERROR download file", "Download ERROR fiscal printer"))
                 for l in text.split("\n"))
    if failed and result.code == 0:
        problems.append("exit status 0 after a failed update")
    return problems


# ---- Windows program under Wine ---------------------------------------------------------
#
# A prefix with the test-only bus driver (tests/win32/driver) is made once per run and flavour,
# a few of them so that scenarios run side by side; each scenario takes one for itself, serves
# the printer with `fpsim --tcp` on the port the driver was installed with, and leaves it as
# it found it: no printer published. A pool is named, so that the bench's can't be the tests'.

WINE_FLAVOURS = {
    # flavour: (the .exe's build, the wine loader, WINEARCH)
    "win32": ("win32", "wine", "win32"),
    "win64": ("win64", "wine64", "win64"),
}
WINE_SLOTS = int(os.environ.get("FP_WINE_SLOTS", "3"))
SKIP = 77


class Skip(Exception):
    pass


def wine_loader(flavour):
    name = WINE_FLAVOURS[flavour][1]
    found = shutil.which(name)
    # Debian's `wine` always prefers the 32-bit loader; the 64-bit one is beside it.
    if not found and name == "wine64" and os.access("/usr/lib/wine/wine64", os.X_OK):
        found = "/usr/lib/wine/wine64"
    return found


def wine_env(flavour, prefix, base=None):
    env = dict(base or os.environ)
    env.update(WINEPREFIX=prefix, WINEARCH=WINE_FLAVOURS[flavour][2], WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    for v in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(v, None)
    return env


def wine_exe(flavour):
    return build_path(WINE_FLAVOURS[flavour][0], "fpflash.exe")


def wine_check(flavour):
    """Raises Skip, with the reason, where this flavour can't run here."""
    loader = wine_loader(flavour)
    if not loader:
        raise Skip("%s is not installed (scripts/deps-win32.sh installs wine, wine32 and "
                   "wine64 as root)" % WINE_FLAVOURS[flavour][1])
    try:
        out = subprocess.run([loader, "--version"], capture_output=True, text=True, timeout=60)
        ok, text = out.returncode == 0, out.stdout + out.stderr
    except OSError as e:
        ok, text = False, str(e)
    if not ok:
        if "Exec format error" in text:
            raise Skip("this kernel does not run 32-bit programs (IA-32 emulation is off), so "
                       "32-bit Wine cannot start: " + text.strip())
        raise Skip("'%s --version' failed: %s" % (loader, text.strip()))
    if not os.path.isfile(wine_exe(flavour)):
        raise Skip("%s is not built ('make %s' builds it with MinGW-w64)"
                   % (wine_exe(flavour), WINE_FLAVOURS[flavour][0]))
    return loader


def wine_pool(flavour, pool="wine"):
    return build_path("host", "%s-%s" % (pool, flavour))


def wine_run(flavour, prefix, args, timeout=120, **kw):
    return subprocess.run([wine_loader(flavour)] + args, env=wine_env(flavour, prefix),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout, **kw)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wine_setup(flavour, slots=WINE_SLOTS, pool="wine"):
    """Makes the prefixes of a run: the driver built once, installed in each."""
    wine_check(flavour)
    wine_cleanup(flavour, pool)
    pool = wine_pool(flavour, pool)
    os.makedirs(pool)
    driver = os.path.join(pool, "driver")
    build = subprocess.run(["sh", os.path.join(ROOT, "tests/win32/driver/build.sh"),
                            WINE_FLAVOURS[flavour][2], driver])
    if build.returncode == SKIP:
        raise Skip("the test driver's cross compiler is missing")
    if build.returncode != 0:
        raise Failure("the test driver did not build")
    for i in range(slots):
        start = time.monotonic()
        prefix = os.path.join(pool, "prefix-%d" % i)
        os.makedirs(prefix)
        out = wine_run(flavour, prefix, ["wineboot", "-i"], timeout=300)
        if out.returncode != 0:
            raise Skip("no %s prefix could be made: %s" % (flavour, out.stderr[-400:]))
        subprocess.run(["wineserver", "-w"], env=wine_env(flavour, prefix))
        shutil.copy(os.path.join(driver, "fpsimbus.sys"),
                    os.path.join(prefix, "drive_c/windows/system32/drivers/"))
        port = free_port()
        out = wine_run(flavour, prefix, [os.path.join(driver, "fpsim-install.exe"), str(port)])
        if out.returncode != 0:
            raise Failure("the driver could not be installed in %s: %s"
                          % (prefix, (out.stdout + out.stderr)[-800:]))
        with open(os.path.join(prefix, "fp-port"), "w") as f:
            f.write("%d\n" % port)
        wine_keep_booted(flavour, prefix)
        print("%s prefix %d with the driver on port %d ready in %.1f s"
              % (flavour, i, port, time.monotonic() - start))


def wine_keep_booted(flavour, prefix):
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
    idle = subprocess.Popen([wine_loader(flavour), probe, "idle"], env=wine_env(flavour, prefix),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    with open(pidfile, "w") as f:
        f.write(str(idle.pid))


def wine_cleanup(flavour, pool="wine"):
    pool = wine_pool(flavour, pool)
    if not os.path.isdir(pool):
        return
    for entry in sorted(os.listdir(pool)):
        prefix = os.path.join(pool, entry)
        if entry.startswith("prefix-") and os.path.isfile(os.path.join(prefix, "system.reg")):
            subprocess.run(["wineserver", "-k"], env=wine_env(flavour, prefix),
                           stderr=subprocess.DEVNULL)
    shutil.rmtree(pool, ignore_errors=True)


class WineSlot:
    """One prefix of the pool, taken for one scenario; waits while all are in use."""

    def __init__(self, flavour, pool="wine"):
        self.flavour = flavour
        self.loader = wine_check(flavour)
        pool = wine_pool(flavour, pool)
        prefixes = sorted(os.path.join(pool, e) for e in
                          (os.listdir(pool) if os.path.isdir(pool) else [])
                          if e.startswith("prefix-"))
        prefixes = [p for p in prefixes if os.path.isfile(os.path.join(p, "fp-port"))]
        if not prefixes:
            raise Skip("no %s prefix at %s (see the %s.prefix_setup test)"
                       % (flavour, pool, flavour))
        self.lock = None
        self.restarted = False
        while self.lock is None:
            for p in prefixes:
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
        wine_keep_booted(flavour, self.prefix)

    def env(self, base=None):
        return wine_env(self.flavour, self.prefix, base)

    def probe(self, what, ms=20000):
        try:
            out = wine_run(self.flavour, self.prefix,
                           [os.path.join(self.driver, "fpsim-probe.exe"), what, str(ms)],
                           timeout=ms / 1000 + 60)
        except subprocess.TimeoutExpired:
            return False, "the probe never ended"
        return out.returncode == 0, (out.stdout + out.stderr).strip()

    def command(self, args):
        return [self.loader, wine_exe(self.flavour)] + list(args)

    def restart(self, why, boot=True):
        """Shuts the prefix down; booted again, driver and all, now or by its next user."""
        print("note: %s %s; restarting it" % (os.path.basename(self.prefix), why))
        subprocess.run(["wineserver", "-k"], env=self.env(), stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env(), stderr=subprocess.DEVNULL)
        self.restarted = not boot
        if boot:
            wine_keep_booted(self.flavour, self.prefix)

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
