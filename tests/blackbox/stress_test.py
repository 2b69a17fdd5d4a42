# labels: concurrency
"""Hundreds of start, restart, stop and status requests at once at the real
program: each gets a whole document, the end state holds together, and the
program still publishes, is read while it does, and exits cleanly."""
import os
import random
import socket
import subprocess
import threading
import unittest
from concurrent.futures import ThreadPoolExecutor

import harness as h

REFUSED = "rtmp://127.0.0.1:1/live/x"  # the connection is refused at once
SILENT = "rtmp://127.0.0.1:1936/live/x"  # taken, never answered: runs until stopped
LISTENER = "rtmp://127.0.0.1:1937/live/x"
PROFILE = "videocodec=h264&resolution=320x180&fps=15"
STATUS = ["running", "framesSent", "bytesSent", "lastPacketBytes", "currentBitrate", "profileName",
          "savedProfileName", "destination", "silentAudio", "streamDetails", "profileDetails", "lastError",
          "macAddress", "serialNumber", "deviceModel", "axisOsVersion", "chip", "architecture"]
ERROR = STATUS[:6] + STATUS[9:14]
ANSWERS = {"start": {200, 409}, "restart": {200, 409}, "stop": {200}, "status": {200}}


def send(kind):
    if kind == "status":
        return kind, h.request("GET", "/api/status", timeout=60)
    fields = h.form(destination=random.choice([REFUSED, SILENT]), profileName="Low", profileParameters=PROFILE)
    return kind, h.post(f"/api/{kind}", fields, timeout=60)


def listening(port):
    with open("/proc/net/tcp") as table:
        return any(f[1] == f"0100007F:{port:04X}" and f[3] == "0A" for f in (line.split() for line in table))


class StressTest(unittest.TestCase):
    def test_concurrent_requests(self):
        silent = socket.create_server(("127.0.0.1", 1936))
        held = []
        threading.Thread(target=lambda: [held.append(silent.accept()) for _ in range(1000)], daemon=True).start()
        env = {"AXPARAMETER_SYSTEM_SERIAL": "ACCC8E012345", "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent"}
        with h.Program(env) as program, ThreadPoolExecutor(16) as pool:
            for kind, reply in pool.map(send, random.Random(13).choices(list(ANSWERS), [3, 2, 2, 5], k=300)):
                self.assertIn(reply.status, ANSWERS[kind], (kind, reply))
                self.assertIn(list(reply.doc), [STATUS, ERROR], (kind, reply))
                self.assertEqual((reply.doc["framesSent"], reply.doc["bytesSent"]), (0, 0), "no packet can have gone")
            self.assertEqual(h.post("/api/stop").status, 200)
            doc = h.status()
            self.assertEqual((doc["running"], doc["currentBitrate"], doc["profileName"]), (False, 0, "Low"))
            self.assertIn(doc["destination"], [REFUSED, SILENT])
            self.assertEqual(doc["destination"], program.param("LastDestination"))
            self.assertEqual(program.param("ResumeOnStart"), "no")

            ffmpeg = os.path.join(h.FFMPEG_BIN, "ffmpeg")
            listener = subprocess.Popen([ffmpeg, "-nostdin", "-listen", "1", "-f", "flv", "-i", LISTENER, "-c", "copy",
                                         "-f", "null", "-"], stderr=subprocess.DEVNULL)
            try:
                h.wait_status(lambda d: listening(1937), timeout=10, what="FFmpeg's listener")
                self.assertEqual(h.start(LISTENER, "Low", PROFILE).status, 200)
                h.wait_status(lambda d: d["framesSent"] >= 5, timeout=30, what="frames at the listener")
                docs = [reply.doc for _, reply in pool.map(send, ["status"] * 200)]
                self.assertTrue(all(d["running"] and d["bytesSent"] >= d["lastPacketBytes"] > 0 for d in docs),
                                docs[-1])
                self.assertEqual(h.post("/api/stop").doc["lastError"], "Stream stopped.")
                self.assertEqual(listener.wait(20), 0)
            finally:
                listener.kill()


if __name__ == "__main__":
    unittest.main()
