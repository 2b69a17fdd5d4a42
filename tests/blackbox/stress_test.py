# labels: concurrency
"""Hundreds of requests at once: each gets a whole document, the end state holds
together, and the program still publishes, is read while it does, and exits cleanly."""
import random
import unittest
from concurrent.futures import ThreadPoolExecutor

import harness as h
from receivers import FfmpegListener, SilentServer

REFUSED = "rtmp://127.0.0.1:1/live/x"  # the connection is refused at once
SILENT = "rtmp://127.0.0.1:1936/live/x"  # taken, never answered: runs until stopped
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


class StressTest(unittest.TestCase):
    def test_concurrent_requests(self):
        with SilentServer(1936), h.Program() as program, ThreadPoolExecutor(16) as pool:
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

            with FfmpegListener(port=1937) as listener:
                self.assertEqual(h.start(listener.url, "Low", PROFILE).status, 200)
                h.wait_status(lambda d: d["framesSent"] >= 5, timeout=30, what="frames at the listener")
                docs = [reply.doc for _, reply in pool.map(send, ["status"] * 200)]
                self.assertTrue(all(d["running"] and d["bytesSent"] >= d["lastPacketBytes"] > 0 for d in docs),
                                docs[-1])
                self.assertEqual(h.post("/api/stop").doc["lastError"], "Stream stopped.")
                listener.recording()


if __name__ == "__main__":
    unittest.main()
