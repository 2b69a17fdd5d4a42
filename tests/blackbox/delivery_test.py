"""What a stop delivers to a receiver behind a link of a set rate: over a link faster
than the stream every counted frame arrives and no reset is sent; over a slower one
the close's time goes to delivering, and the log names the frames that did not arrive."""
import re
import time
import types
import unittest

import harness as h
from harness import WARNING
from receivers import FfmpegListener, ThrottledLink, tcp_resets

# About 1 MB/s, in frames of about 33 kB.
PROFILE = "videocodec=h264&resolution=1280x720&fps=30&videobitratemode=cbr&videobitrate=8000"
STREAM_RATE = 1_000_000
DROPPED = re.compile(r"RTMP close ran out of time: (\d+) bytes not delivered, "
                     r"among them the last (\d+) frames counted as sent")


def stop_behind(program, link, listener, audio):
    """Streams 2 s through the link, stops, and waits for both ends of the link."""
    assert h.start(link.url, "Hall", PROFILE, "yes" if audio else "no").status == 200
    h.wait_status(lambda d: d["framesSent"] >= 60, timeout=30, what="2 s of stream")
    resets, before, began = tcp_resets(), link.received, time.monotonic()
    assert h.post("/api/stop").status == 200
    took = time.monotonic() - began
    recorded = listener.recording(timeout=60)
    assert link.done.wait(10), "the link did not end"
    program.log.sync()
    matches = [DROPPED.search(line) for line in program.log.messages(WARNING)]
    return types.SimpleNamespace(
        sent=h.status()["framesSent"], recorded=len(recorded.video), took=took,
        during_stop=link.received - before, resets=tcp_resets() - resets,
        dropped=[match for match in matches if match])


class Delivery(unittest.TestCase):
    ROWS = [  # name, silent audio, link rate in bytes a second, its delay in seconds
        ("faster link, video only", False, 4_000_000, 0.05),
        ("faster link, silent audio", True, 4_000_000, 0.05),
        ("slower link, video only", False, 400_000, 0.0),
        ("slower link, silent audio", True, 400_000, 0.0),
    ]

    def test_a_stop_delivers_what_it_counted(self):
        for name, audio, rate, delay in self.ROWS:
            with self.subTest(name), h.Program() as program, FfmpegListener() as listener, \
                    ThrottledLink(listener.port, rate, delay) as link:
                stop = stop_behind(program, link, listener, audio)
                self.assertLess(stop.took, 2)
                if rate > STREAM_RATE:
                    self.assertEqual(stop.recorded, stop.sent)
                    self.assertEqual(stop.resets, 0)
                    self.assertEqual(stop.dropped, [])
                    continue
                # The close's second went to delivering at the link's rate.
                self.assertGreater(stop.during_stop, rate / 2)
                self.assertEqual(len(stop.dropped), 1)
                named = int(stop.dropped[0][2])
                self.assertGreater(named, 0)
                # A frame acknowledged in the instant between the count and the cut
                # may still arrive.
                self.assertIn(stop.recorded, [stop.sent - named, stop.sent - named + 1])


if __name__ == "__main__":
    unittest.main(verbosity=2)
