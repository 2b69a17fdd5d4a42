# labels: long
"""Hours of stream time in seconds: one frame a second, unpaced, for 4 h 41 min,
past RTMP's 24-bit millisecond timestamps (4 h 39 min 37 s). The recording stays
continuous. Video only: silent audio would take minutes to encode."""
import unittest

import harness as h
from receivers import FfmpegListener

FRAMES = 16860  # 4 h 41 min


class Rollover(unittest.TestCase):
    def test_timestamps_continue_past_24_bits(self):
        # After FRAMES frames the camera has nothing more, so the receiver
        # catches up before the stop and every frame sent is recorded.
        env = {"VDO_EMULATOR_PACING": "unpaced", "VDO_EMULATOR_NO_DATA": f"{FRAMES + 1}:4000000000"}
        with h.Program(env), FfmpegListener() as receiver:
            self.assertEqual(h.start(receiver.url, "Hours", "resolution=320x180&fps=1").status, 200)
            h.wait_status(lambda d: d["framesSent"] == FRAMES, timeout=120)
            receiver.wait_caught_up()
            self.assertEqual(h.post("/api/stop").status, 200)
            doc = h.status()
            received = receiver.recording()
        self.assertEqual((doc["framesSent"], doc["lastError"]), (FRAMES, "Stream stopped."))
        self.assertEqual([pts for pts, _, _ in received.video], [i * 1000 for i in range(FRAMES)])
        self.assertEqual([key for *_, key in received.video], [i % 2 == 0 for i in range(FRAMES)])
        self.assertEqual(sum(size for _, size, _ in received.video), doc["bytesSent"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
