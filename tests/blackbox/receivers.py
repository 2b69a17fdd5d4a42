"""RTMP receivers a publishing test points the program at, what they recorded,
and servers that misbehave on purpose."""
import contextlib
import json
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time

from harness import FFMPEG_BIN

NGINX, RTMP_MODULE = "/usr/sbin/nginx", "/usr/lib/nginx/modules/ngx_rtmp_module.so"


def tcp_sockets():
    """This namespace's IPv4 TCP sockets from /proc/net/tcp: (local, remote,
    state, bytes queued to send, bytes received but not read), in its hex."""
    with open("/proc/net/tcp") as table:
        return [(f[1], f[2], f[3], *(int(q, 16) for q in f[4].split(":"))) for f in map(str.split, list(table)[1:])]


def wait_listening(port, timeout=10):
    """Waits for a listening socket on 127.0.0.1:port, looked up rather than
    connected to: FFmpeg's listener takes exactly one connection."""
    deadline = time.monotonic() + timeout
    while not any(s[0] == f"0100007F:{port:04X}" and s[2] == "0A" for s in tcp_sockets()):
        if time.monotonic() > deadline:
            raise AssertionError(f"nothing listens on port {port} after {timeout} s")
        time.sleep(0.02)


def publishing_to(port):
    """Whether a connection to the port is open at the publisher's end."""
    return any(remote.endswith(f":{port:04X}") and state == "01" for _, remote, state, *_ in tcp_sockets())


class Closing:
    __enter__ = lambda self: self  # noqa: E731
    __exit__ = lambda self, *exc: self.close()  # noqa: E731


class Recording:
    """What a receiver recorded, as ffprobe reads it: streams by type, and the
    packets of each as (pts in ms, size in bytes, keyframe)."""

    def __init__(self, path):
        probe = [os.path.join(FFMPEG_BIN, "ffprobe"), "-v", "error", path]
        streams = subprocess.run(probe + ["-of", "json", "-show_streams"], capture_output=True, text=True)
        packets = subprocess.run(probe + ["-of", "csv=p=0", "-show_entries", "packet=codec_type,pts,size,flags"],
                                 capture_output=True, text=True)
        assert not streams.returncode and not packets.returncode, f"ffprobe {path}: {streams.stderr}{packets.stderr}"
        self.streams = {s["codec_type"]: s for s in json.loads(streams.stdout)["streams"]}
        self.video, self.audio = [], []
        for kind, pts, size, flags in (line.split(",")[:4] for line in packets.stdout.splitlines()):
            (self.video if kind == "video" else self.audio).append((int(pts), int(size), flags[0] == "K"))


class FfmpegListener(Closing):
    """FFmpeg's RTMP listener: takes one publisher and records it to FLV as it arrives."""

    def __init__(self, port=1935):
        self.dir = tempfile.mkdtemp(prefix="rtmp-listener-")
        self.path, self.url, self.port = os.path.join(self.dir, "received.flv"), f"rtmp://127.0.0.1:{port}/live/test", port
        self.log = os.path.join(self.dir, "ffmpeg.log")
        with open(self.log, "wb") as log:
            self.proc = subprocess.Popen(
                [os.path.join(FFMPEG_BIN, "ffmpeg"), "-hide_banner", "-nostdin", "-loglevel", "warning",
                 "-listen", "1", "-f", "flv", "-i", self.url, "-c", "copy", "-f", "flv", self.path],
                stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        wait_listening(port)

    def recording(self, timeout=20):
        """The recording once the publisher has gone and the listener has ended."""
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            code = "none: still running"
        with open(self.log, errors="replace") as log:
            assert code == 0, f"listener exit {code}:\n{log.read()[-2000:]}"
        return Recording(self.path)

    def wait_caught_up(self, timeout=60):
        """Waits until the listener has read all that was sent to it so far."""
        deadline = time.monotonic() + timeout
        port = f":{self.port:04X}"
        while any(remote.endswith(port) and to_send or local.endswith(port) and unread
                  for local, remote, _, to_send, unread in tcp_sockets()):
            assert time.monotonic() < deadline, "the listener does not read"
            time.sleep(0.05)

    def pause(self):
        """A stopped receiver reads nothing: the publisher's writes fill the kernel's buffers."""
        self.proc.send_signal(signal.SIGSTOP)

    def close(self):
        """Kills the listener at once, if it still runs: a receiver that goes away."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class Nginx(Closing):
    """nginx with Debian's RTMP module, recording the streams of application "live"."""

    def __init__(self, port=1936):
        self.dir = tempfile.mkdtemp(prefix="nginx-rtmp-")
        self.url, self.path = f"rtmp://127.0.0.1:{port}/live/test", os.path.join(self.dir, "test.flv")
        conf = os.path.join(self.dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"load_module {RTMP_MODULE};\ndaemon off;\nmaster_process off;\n"
                    f"pid {self.dir}/nginx.pid;\nerror_log {self.dir}/error.log info;\n"
                    "events { worker_connections 64; }\n"
                    f"rtmp {{ server {{ listen 127.0.0.1:{port};\n"
                    f"  application live {{ live on; record all; record_path {self.dir}; record_unique off; }} }} }}\n")
        self.proc = subprocess.Popen([NGINX, "-p", self.dir, "-e", f"{self.dir}/error.log", "-c", conf],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        wait_listening(port)

    def recording(self, timeout=20):
        """The recording once the publisher has gone and nginx has closed it."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with open(os.path.join(self.dir, "error.log"), errors="replace") as log:
                if "disconnect" in log.read():
                    break
            time.sleep(0.1)
        time.sleep(0.3)
        return Recording(self.path)

    def close(self):
        self.proc.kill()
        self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class ThrottledLink(Closing):
    """A slow link in front of a receiver on `port`: takes one publisher and forwards
    its bytes at `rate` bytes a second, each `delay` s late; the server's bytes go back
    at once. A small receive buffer leaves the backlog in the publisher's own socket,
    as a slow uplink does. Each end's close is passed on once what came before it has
    gone through; so is a reset, as a close. `received`: the publisher's bytes so far."""

    def __init__(self, port=1935, rate=1_000_000, delay=0.0):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)  # inherited
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.url = f"rtmp://127.0.0.1:{self.listener.getsockname()[1]}/live/test"
        self.port, self.rate, self.delay, self.received = port, rate, delay, 0
        self.done = threading.Event()
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        try:
            publisher, _ = self.listener.accept()
        except OSError:
            return
        server = socket.create_connection(("127.0.0.1", self.port))
        back = threading.Thread(target=self._back, args=(server, publisher), daemon=True)
        back.start()
        self._forth(publisher, server)
        back.join()
        publisher.close()
        server.close()
        self.done.set()

    def _forth(self, publisher, server):
        """Publisher to server, paced: what `rate` allows, in bursts of at most 20 ms."""
        pending, allowed, last = [], 0.0, time.monotonic()
        while True:
            now = time.monotonic()
            allowed, last = min(allowed + self.rate * (now - last), self.rate * 0.02), now
            if allowed >= 1 and select.select([publisher], [], [], 0.01)[0]:
                try:
                    data = publisher.recv(int(allowed))
                except OSError:
                    data = b""  # a reset: what arrived before it still goes through
                if not data:
                    break
                allowed -= len(data)
                self.received += len(data)
                pending.append((now + self.delay, data))
            elif allowed < 1:
                time.sleep(0.005)
            while pending and pending[0][0] <= time.monotonic():
                server.sendall(pending.pop(0)[1])
        for due, data in pending:
            time.sleep(max(0.0, due - time.monotonic()))
            server.sendall(data)
        server.shutdown(socket.SHUT_WR)

    @staticmethod
    def _back(server, publisher):
        """Server to publisher, at once; once the publisher is gone, read and dropped."""
        gone = False
        with contextlib.suppress(OSError):
            while data := server.recv(65536):
                try:
                    gone or publisher.sendall(data)
                except OSError:
                    gone = True
            publisher.shutdown(socket.SHUT_WR)

    def close(self):
        self.listener.close()


def tcp_resets():
    """Resets this namespace has sent so far: Tcp OutRsts of /proc/net/snmp."""
    with open("/proc/net/snmp") as table:
        names, values = [line.split() for line in table if line.startswith("Tcp:")]
    return int(values[names.index("OutRsts")])


class SilentServer(Closing):
    """Accepts TCP connections (the kernel does, from the backlog) and never answers a byte."""

    def __init__(self, port=1935):
        self.sock = socket.create_server(("127.0.0.1", port), backlog=1024)

    def close(self):
        self.sock.close()


def amf_text(value):
    return b"\x02" + struct.pack(">H", len(value)) + value.encode()


def amf_number(value):
    return b"\x00" + struct.pack(">d", value)


def amf_status(code):
    return b"\x03\0\x05level" + amf_text("status") + b"\0\x04code" + amf_text(code) + b"\0\0\x09"


def rtmp_message(chunk_stream, kind, stream_id, payload):
    """One RTMP message in one chunk (every payload here is under 128 bytes)."""
    return (bytes([chunk_stream]) + bytes(3) + len(payload).to_bytes(3, "big") + bytes([kind])
            + struct.pack("<I", stream_id) + payload)


ACCEPT_PUBLISHER = (  # connect's and createStream's results, then publish's status
    rtmp_message(3, 20, 0, amf_text("_result") + amf_number(1) + b"\x05" + amf_status("NetConnection.Connect.Success"))
    + rtmp_message(3, 20, 0, amf_text("_result") + amf_number(4) + b"\x05" + amf_number(1))
    + rtmp_message(5, 20, 1, amf_text("onStatus") + amf_number(0) + b"\x05" + amf_status("NetStream.Publish.Start")))


def amf_object(**fields):
    members = b"".join(struct.pack(">H", len(k)) + k.encode() + amf_text(v)
                       for k, v in fields.items())
    return b"\x03" + members + b"\0\0\x09"


class NameHolder(Closing):
    """A publisher that takes the stream name of `url` (rtmp://127.0.0.1:port/app/name)
    and holds it without sending media, so that the server refuses the name to others."""

    def __init__(self, url):
        host, port, app, name = re.fullmatch(r"rtmp://([\d.]+):(\d+)/(\w+)/(\w+)", url).groups()
        self.sock = socket.create_connection((host, int(port)), timeout=10)
        self.sock.sendall(b"\x03" + bytes(1536))
        s1 = self.sock.recv(1537, socket.MSG_WAITALL)[1:]
        self.sock.recv(1536, socket.MSG_WAITALL)
        connect = amf_text("connect") + amf_number(1) + amf_object(
            app=app, type="nonprivate", tcUrl=url.rsplit("/", 1)[0])
        create = amf_text("createStream") + amf_number(2) + b"\x05"
        publish = amf_text("publish") + amf_number(3) + b"\x05" + amf_text(name) + amf_text("live")
        # The handshake's echo, a chunk size that fits each message in one chunk, the commands.
        chunk_size = rtmp_message(2, 1, 0, struct.pack(">I", 4096))
        self.sock.sendall(s1 + chunk_size + rtmp_message(3, 20, 0, connect)
                          + rtmp_message(3, 20, 0, create) + rtmp_message(8, 20, 1, publish))
        answers = b""
        while b"NetStream.Publish.Start" not in answers:
            data = self.sock.recv(4096)
            if not data:
                raise AssertionError(f"{url} did not let the holder publish")
            answers += data

    def close(self):
        self.sock.close()


class ChunkSizeServer(threading.Thread):
    """Takes one publisher, reads about 20 kB of its stream (at most 5 s), then
    announces the Set Chunk Size `announce` and keeps what the publisher sends after."""

    def __init__(self, announce):
        super().__init__(daemon=True)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = f"rtmp://127.0.0.1:{self.listener.getsockname()[1]}/live/key"
        self.announce, self.after = announce, bytearray()
        self.announced, self.closed = threading.Event(), threading.Event()
        self.start()

    def run(self):
        conn, _ = self.listener.accept()
        self.listener.close()
        with conn:
            conn.settimeout(10)
            c0c1 = conn.recv(1537, socket.MSG_WAITALL)
            conn.sendall(b"\x03" + bytes(1536) + c0c1[1:] + ACCEPT_PUBLISHER)
            try:
                received, due = 0, time.monotonic() + 5
                while received < 20000 and time.monotonic() < due and (data := conn.recv(65536)):
                    received += len(data)
                conn.sendall(rtmp_message(2, 1, 0, struct.pack(">I", self.announce)))
                self.announced.set()
                while data := conn.recv(65536):
                    self.after += data
            except OSError:
                pass
            self.closed.set()

    def longest_run(self):
        """The longest run of one repeated byte after the announcement."""
        return max((len(m.group()) for m in re.finditer(rb"(.)\1*", bytes(self.after), re.S)), default=0)


def silent_name_server():
    """Makes a name server on 127.0.0.1:53 that reads queries and never answers
    the only one of this mount namespace (tools/in-netns.sh gives the test its own)."""
    if [name for _, name in socket.if_nameindex()] != ["lo"]:
        raise RuntimeError("run this test in namespaces of its own (tools/in-netns.sh)")
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind(("127.0.0.1", 53))
    threading.Thread(target=lambda: [server.recv(512) for _ in iter(int, 1)], daemon=True).start()
    with tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False) as conf:
        conf.write("nameserver 127.0.0.1\noptions timeout:4 attempts:1\n")
    subprocess.run(["mount", "--bind", conf.name, "/etc/resolv.conf"], check=True)
    os.unlink(conf.name)  # the mount keeps the file itself
    return server
