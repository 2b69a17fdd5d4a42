"""The real program as a test sees it: its system log, its HTTP API, its exit.
Each module runs in a network namespace of its own (tools/in-netns.sh); the
program's /dev/log is bound to a socket of the test (tools/with-log.sh)."""
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse

SOURCE = os.environ.get("CORVANE_SOURCE_DIR",
                        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD = os.environ.get("CORVANE_BINARY_DIR", os.path.join(SOURCE, "build", "normal"))
FFMPEG_BIN = os.environ.get("FFMPEG_BIN", os.path.join(SOURCE, ".deps", "ffmpeg-native", "bin"))
# Cross builds run the program (and the build's helpers) under qemu-user.
EMULATOR = os.environ.get("CORVANE_EMULATOR", "").split()
PORT = 30920
SERIAL = "ACCC8E012345"
NO_BUS = "unix:path=/nonexistent/system_bus_socket"
ERROR, WARNING, INFO = 3, 4, 6


class Log:
    """Receives the program's syslog datagrams: (level, message) in order of arrival."""

    def __init__(self, path):
        self.path, self.lines, self.changed = path, [], threading.Condition()
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        threading.Thread(target=self._receive, daemon=True).start()

    def _receive(self):
        while True:
            try:
                datagram = self.sock.recv(65536).decode("utf-8", "replace")
            except OSError:
                return
            # "<PRI>Mmm dd hh:mm:ss ident[pid]: message"
            head, _, rest = datagram.partition(">")
            with self.changed:
                self.lines.append((int(head[1:]) & 7, rest[16:].partition(": ")[2].rstrip("\n")))
                self.changed.notify_all()

    def transcript(self, since=0):
        """(level, message) of every line from the `since`th on."""
        with self.changed:
            return self.lines[since:]

    def messages(self, level=None):
        return [m for lv, m in self.transcript() if level in (None, lv)]

    def count(self, text, level=None):
        return sum(text in m for m in self.messages(level))

    def wait(self, text, timeout=10, times=1):
        """Waits until `times` lines contain `text`."""
        with self.changed:
            return self.changed.wait_for(lambda: sum(text in m for _, m in self.lines) >= times, timeout)

    def sync(self):
        """Returns once every line logged before this call has arrived: a marker
        sent now queues behind them."""
        marker = f"sync {time.monotonic_ns()}"
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sender:
            sender.sendto(f"<6>Jan  1 00:00:00 harness: {marker}".encode(), self.path)
        with self.changed:
            self.changed.wait_for(lambda: (INFO, marker) in self.lines, 10)
            self.lines.remove((INFO, marker))

    def dump(self, last=40):
        """The last lines, each warning only once (a status request may repeat the identity's)."""
        lines = self.transcript()
        shown = [line for i, line in enumerate(lines) if line[0] != WARNING or line not in lines[:i]]
        return "\n".join(f"  <{lv}> {m}" for lv, m in shown[-last:])

    def close(self):
        self.sock.close()


class Reply:
    """An answer as it came: status line, headers in order, body."""

    def __init__(self, data):
        head, _, body = data.partition(b"\r\n\r\n")
        self.line, *headers = head.decode().split("\r\n")
        self.status, self.body = int(self.line.split()[1]), body.decode("utf-8", "replace")
        self.headers = [tuple(line.split(": ", 1)) for line in headers]

    doc = property(lambda self: json.loads(self.body))

    def __repr__(self):
        return f"Reply({self.line!r}, {self.body[:300]!r})"


def request(method, path, body="", headers=None, length=None, timeout=20):
    """One request over a fresh connection, in raw bytes. `length` is the
    Content-Length text (default: the body's length; no header for an empty body)."""
    data, headers = body.encode(), {"Host": f"127.0.0.1:{PORT}"} | (headers or {})
    if length is not None or data:
        headers["Content-Length"] = len(data) if length is None else length
    head = f"{method} {path} HTTP/1.1\r\n" + "".join(f"{k}: {v}\r\n" for k, v in headers.items())
    with socket.create_connection(("127.0.0.1", PORT), timeout=timeout) as conn:
        conn.sendall(head.encode() + b"\r\n" + data)
        return Reply(b"".join(iter(lambda: conn.recv(65536), b"")))


def form(**fields):
    return urllib.parse.urlencode(fields)


def post(path, body="", headers=None, **kw):
    return request("POST", path, body, headers, **kw)


def start(destination, profile_name="", profile_parameters="", silent_audio=None, path="/api/start"):
    fields = {"destination": destination, "profileName": profile_name, "profileParameters": profile_parameters,
              "silentAudio": silent_audio}
    return post(path, form(**{k: v for k, v in fields.items() if v not in ("", None)}))


def status():
    return request("GET", "/api/status").doc


def wait_status(predicate, timeout=20, what="the expected status"):
    deadline = time.monotonic() + timeout
    while not predicate(doc := status()):
        if time.monotonic() > deadline:
            raise AssertionError(f"no {what} within {timeout} s; last: {doc}")
        time.sleep(0.05)
    return doc


class Program:
    """The program in a working directory of its own (html/ linked in). By
    default the system serial number is set and no system bus answers, so the
    identity is read once; a variable given as None is left unset."""

    def __init__(self, env=None, params=None):
        self.dir = tempfile.mkdtemp(prefix="corvane-test-")
        os.symlink(os.path.join(SOURCE, "html"), os.path.join(self.dir, "html"))
        for name, value in (params or {}).items():  # stored before the program starts
            self.set_param(name, value)
        env = dict(os.environ, G_SLICE="always-malloc", VDO_EMULATOR_CACHE_DIR=os.path.join(BUILD, "clip-cache"),
                   AXPARAMETER_SYSTEM_SERIAL=SERIAL, DBUS_SYSTEM_BUS_ADDRESS=NO_BUS) | (env or {})
        self.env = {k: v for k, v in env.items() if v is not None}
        self.proc = self.log = None

    def start(self, wait=True):
        if self.log:
            self.log.close()
            os.unlink(self.log.path)
        self.log = Log(os.path.join(self.dir, "log.sock"))
        with open(os.path.join(self.dir, "stdout"), "wb") as out, open(os.path.join(self.dir, "stderr"), "wb") as err:
            self.proc = subprocess.Popen(
                [os.path.join(SOURCE, "tools", "with-log.sh"), self.log.path, *EMULATOR, os.path.join(BUILD, "corvane")],
                cwd=self.dir, env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        if wait and not self.log.wait("Corvane web server started", 15):
            raise AssertionError(f"the program did not start (exit {self.proc.poll()}):\n"
                                 f"{self.log.dump()}\n{self.output('stderr')}")
        return self

    def stop(self, sig=signal.SIGTERM, timeout=15):
        """Signals the program and returns its exit status (128 + n when killed by signal n)."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.wait(timeout)

    def finish(self, sig=signal.SIGTERM):
        """Stops the program; after a clean exit every line it logged has arrived."""
        code = self.stop(sig)
        if code == 0:
            self.log.wait("Application was stopped by SIGTERM or SIGINT.")
        return code

    def wait(self, timeout=15):
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait()
        return 128 - code if code < 0 else code

    def output(self, name):
        """What the program wrote to "stdout" or "stderr"."""
        with open(os.path.join(self.dir, name), errors="replace") as f:
            return f.read()

    def param(self, name):
        """A stored application parameter as the store holds it, or None when never written."""
        path = os.path.join(self.dir, "axparameter", "apps", "corvane", name)
        if not os.path.exists(path):
            return None
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            return f.read()

    def set_param(self, name, value):
        folder = os.path.join(self.dir, "axparameter", "apps", "corvane")
        os.makedirs(folder, mode=0o700, exist_ok=True)
        with open(os.path.join(folder, name), "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(value)

    def close(self):
        """Ends the program and checks what every run must hold: a clean exit, no
        sanitizer report, nothing on standard output."""
        problems = []
        if self.proc and self.proc.poll() is None and (code := self.stop()) != 0:
            problems.append(f"exit status {code} after SIGTERM")
        if self.proc:
            if "Sanitizer" in self.output("stderr") or "runtime error:" in self.output("stderr"):
                problems.append("sanitizer report:\n" + self.output("stderr")[-6000:])
            if self.output("stdout"):
                problems.append("wrote to standard output: " + self.output("stdout")[:200])
        if self.log:
            self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)
        if problems:
            raise AssertionError("; ".join(problems))

    def __enter__(self):
        return self.start()

    def __exit__(self, kind, value, trace):
        """A failure inside the with statement shows the program's log."""
        if kind is not None and self.log:
            print(f"program log:\n{self.log.dump()}\nstderr:\n{self.output('stderr')[-3000:]}")
        self.close()
