# labels: concurrency
"""Stop, restart and SIGTERM end the stream promptly whatever its worker is
waiting for, and the status answers quickly meanwhile: no lock is held across
a camera read, a name lookup, a connect, a stuck write or the join of a stop."""
import signal
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

import harness as h
from harness import ERROR
from receivers import FfmpegListener, SilentServer, publishing_to, silent_name_server

SIGTERM_LINE = "Application was stopped by SIGTERM or SIGINT."
NEVER_ANSWERED = "rtmp://rtmp.never-answers.test/live/key"


def setUpModule():
    global name_server
    name_server = silent_name_server()


def frames_stand_still(program, seconds=0.5):
    """Waits until no packet has gone out for `seconds`: a write is stuck."""
    last, since = -1, time.monotonic()
    while time.monotonic() - since < seconds:
        frames = h.status()["framesSent"]
        if frames != last:
            last, since = frames, time.monotonic()
        time.sleep(0.05)


def connecting(program):
    assert program.log.wait("Opening RTMP output for H.264")
    time.sleep(0.5)


class Stop(unittest.TestCase):
    STATES = [  # what the worker waits for, emulator settings, receiver, how it gets there, bound on the action (s)
        ("streaming", {}, "listener", lambda p: h.wait_status(lambda d: d["framesSent"] >= 15), 2),
        ("camera answers no data, no frame yet", {"VDO_EMULATOR_NO_DATA": "1:1000000000"}, "listener",
         lambda p: time.sleep(0.5), 2),
        # One frame every 5 s: the worker sits in the camera read, and only
        # the next frame lets it see the stop.
        ("camera read of a slow sensor", {"VDO_EMULATOR_MAX_FPS": "0.2"}, "listener",
         lambda p: (h.wait_status(lambda d: d["framesSent"] == 1), time.sleep(0.5)), 7),
        ("name server never answers", {}, "lookup", connecting, 2),
        ("server never answers the handshake", {}, "silent", connecting, 2),
        ("server stopped reading", {"VDO_EMULATOR_PACING": "unpaced"}, "paused", frames_stand_still, 2),
    ]

    def test_bounded_in_every_state(self):
        for state, env, receiver_kind, reach, bound in self.STATES:
            for action in ("stop", "restart", "SIGTERM"):
                with self.subTest(state=state, action=action), h.Program(env) as program, \
                        (SilentServer() if receiver_kind in ("silent", "lookup") else FfmpegListener()) as receiver, \
                        SilentServer(1937):
                    self.run_case(program, receiver, receiver_kind, reach, action, bound)

    def quick_status(self):
        began = time.monotonic()
        doc = h.status()
        self.assertLess(time.monotonic() - began, 1, "status waited for the worker")
        return doc

    def run_case(self, program, receiver, receiver_kind, reach, action, bound):
        url = {"lookup": NEVER_ANSWERED, "silent": "rtmp://127.0.0.1:1935/live/x"}.get(receiver_kind)
        self.assertEqual(h.start(url or receiver.url, "Hold", "resolution=320x180").status, 200)
        if receiver_kind == "paused":
            h.wait_status(lambda d: d["framesSent"] >= 30)
            receiver.pause()
        reach(program)
        before = [self.quick_status() for _ in range(3)][-1]
        self.assertEqual((before["running"], before["lastError"]), (True, ""))

        # A restart goes to a server that never answers (port 1937): a state this table bounds.
        act = {"stop": lambda: h.post("/api/stop"),
               "restart": lambda: h.start("rtmp://127.0.0.1:1937/live/y", "Next", "resolution=320x180",
                                          path="/api/restart"),
               "SIGTERM": lambda: (program.proc.send_signal(signal.SIGTERM), program.log.wait(SIGTERM_LINE, bound + 5))}
        began = time.monotonic()
        with ThreadPoolExecutor(1) as pool:
            done = pool.submit(act[action])
            while not done.done() and action != "SIGTERM":
                self.quick_status()
                time.sleep(0.1)
        self.assertLess(time.monotonic() - began, bound, f"{action} took too long")
        # The stream that was stopped ended as a plain stop, whatever was cut short.
        self.assertEqual(program.log.messages(ERROR), [])
        if action == "SIGTERM":
            # The worker had ended, its connection closed, before the line.
            self.assertFalse(publishing_to(1935), "the connection outlived the stream")
            self.assertEqual(program.wait(), 0)
        else:
            self.assertEqual(done.result().status, 200)
            doc = h.status()
            self.assertEqual((doc["running"], doc["lastError"]),
                             (False, "Stream stopped.") if action == "stop" else (True, ""))
        # Only an explicit stop turns the resume off.
        self.assertEqual(program.param("ResumeOnStart"), "no" if action == "stop" else "yes")
        if receiver_kind == "listener" and before["framesSent"]:
            received = receiver.recording()
            self.assertGreaterEqual(len(received.video), before["framesSent"])
            if action == "stop":
                self.assertEqual(len(received.video), doc["framesSent"])

    def test_a_name_lookup_left_alone_fails_plainly(self):
        with h.Program():
            self.assertEqual(h.start(NEVER_ANSWERED).status, 200)
            self.assertEqual(h.wait_status(lambda d: not d["running"])["lastError"],
                             "Unable to connect to RTMP destination: Host name lookup failed")


if __name__ == "__main__":
    unittest.main(verbosity=2)
