"""Peers that misbehave on purpose: an RTMP server that takes a publisher and
then announces a chunk size of its choosing, and a name server that never
answers."""
import re
import socket
import struct
import subprocess
import tempfile
import threading
import time


def text(value):
    """AMF0 string, number and the status object of a command's reply."""
    return b"\x02" + struct.pack(">H", len(value)) + value.encode()


def number(value):
    return b"\x00" + struct.pack(">d", value)


def status(code):
    return b"\x03\0\x05level" + text("status") + b"\0\x04code" + text(code) + b"\0\0\x09"


def message(chunk_stream, kind, stream_id, payload):
    """One RTMP message in one chunk (every payload here is under 128 bytes)."""
    return bytes([chunk_stream]) + bytes(3) + len(payload).to_bytes(3, "big") + bytes([kind]) + struct.pack("<I", stream_id) + payload


ACCEPT_PUBLISHER = (  # connect's and createStream's results, then publish's status
    message(3, 20, 0, text("_result") + number(1) + b"\x05" + status("NetConnection.Connect.Success"))
    + message(3, 20, 0, text("_result") + number(4) + b"\x05" + number(1))
    + message(5, 20, 1, text("onStatus") + number(0) + b"\x05" + status("NetStream.Publish.Start")))


class RtmpServer(threading.Thread):
    """Takes one publisher and reads its stream; with `announce`, sends that
    Set Chunk Size once media flows and keeps what the publisher sends after."""

    def __init__(self, announce=None):
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
                while (self.announce is None or received < 20000 and time.monotonic() < due) and (data := conn.recv(65536)):
                    received += len(data)
                if self.announce is not None:
                    conn.sendall(message(2, 1, 0, struct.pack(">I", self.announce)))
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
    """Makes a name server on 127.0.0.1:53 that reads queries and never
    answers the only one of this mount namespace; refuses outside a
    namespace of the test's own (tools/in-netns.sh)."""
    if [name for _, name in socket.if_nameindex()] != ["lo"]:
        raise RuntimeError("run this test in namespaces of its own (tools/in-netns.sh)")
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind(("127.0.0.1", 53))
    threading.Thread(target=lambda: [server.recv(512) for _ in iter(int, 1)], daemon=True).start()
    with tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False) as conf:
        conf.write("nameserver 127.0.0.1\noptions timeout:4 attempts:1\n")
    subprocess.run(["mount", "--bind", conf.name, "/etc/resolv.conf"], check=True)
    return server
