"""The real fpflash against a simulated printer, in a runtime directory of its own.

One library for everything that runs whole updates: the end-to-end scenarios
(tests/e2e/run.py), the fault campaign (tests/e2e/chaos.py), `make demo` and `make bench`.
A Lab is one private directory: it starts printers (fpsim, or another driver with fpsim's
command line) and waits until they are ready, runs the program, and on every path stops
what it started and removes what it made. The Windows program runs in the Wine prefixes of
tests/win32/winepool.py.
"""
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


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_image(path, records, seed=7):
    make_image.write(path, records, seed)
    return read_bytes(path)


def crc32_hex(data):
    return "%08X" % zlib.crc32(data)


def exit_byte(status):
    """A status as the program returns it (-1), as a process's parent sees it (255)."""
    return status % 256


def wait_until(done, proc, timeout, poll=0.02):
    """Whether done() holds within `timeout` seconds, looking every `poll` seconds; once `proc`
    has ended, what done() says then."""
    deadline = time.monotonic() + timeout
    while not done():
        if time.monotonic() > deadline or proc.poll() is not None:
            return done()
        time.sleep(poll)
    return True


class Failure(Exception):
    """The lab could not be set up: not a verdict on the program."""


SKIP = 77  # ctest's exit status for a test that can't run here


class Skip(Exception):
    """What the run needs can't run here; the reason is the message."""


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
        return wait_until(lambda: text in self.log_text(), self.proc, timeout)

    def read(self, which):
        try:
            return read_bytes(getattr(self, which))
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

    def start_printer(self, driver, args=(), name="printer-1", lifetime=600, ready_wait=10,
                      runtime=None):
        """`runtime` names a runtime directory of the lab's own for the printer, where the
        program does not look."""
        ready = self.path(name + ".ready")
        cmd = [driver, "--name", name, "--ready", ready, "--log", self.path(name + ".log"),
               "--save", self.path(name + ".kept"), "--lifetime", str(lifetime)] + list(args)
        env = self.env
        if runtime:
            os.makedirs(self.path(runtime), 0o700, exist_ok=True)
            env = dict(self.env, XDG_RUNTIME_DIR=self.path(runtime))
        with open(self.path(name + ".err"), "wb") as err:
            proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=err)
        if not wait_until(lambda: os.path.exists(ready) and os.path.getsize(ready) > 0, proc,
                          ready_wait):
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            said = read_bytes(self.path(name + ".err"))[:300].decode("latin-1").strip()
            # A driver that can't run here says why (fpusb-testbed without umockdev).
            if proc.returncode == SKIP:
                raise Skip(said or "%s cannot run here" % os.path.basename(driver))
            raise Failure("%s %s did not start: %s" % (os.path.basename(driver), name, said))
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
        return read_bytes(self.path("out"))

    def wait_output(self, proc, text, timeout=10, count=1, poll=0.01):
        """Waits until the program has printed `text` (bytes) `count` times, looking every
        `poll` seconds; false if it ended first."""
        def printed():
            return self.output().replace(b"\r\n", b"\n").count(text) >= count
        return wait_until(printed, proc, timeout, poll)

    def finish(self, proc, timeout):
        """Waits for the program; one that outlives `timeout` is killed (code -9)."""
        try:
            proc.wait(max(0.0, timeout - (time.monotonic() - proc.started)))
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        elapsed = time.monotonic() - proc.started
        return Result(proc.returncode, self.output(), read_bytes(self.path("err")), elapsed)

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
