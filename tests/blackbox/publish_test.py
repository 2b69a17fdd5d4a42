"""Streams at real receivers (FFmpeg's RTMP listener, nginx's RTMP module): what
they recorded against the program's counters, status and log; the bitrate; the
camera's faults; refused profiles; a receiver that goes away."""
import time
import unittest

import harness as h
from harness import ERROR, INFO
from receivers import FfmpegListener, NameHolder, Nginx

# With silent audio the FLV muxer starts the timeline at the AAC priming delay.
AAC_PRIMING_MS = 23
STOP_LINE = "Disabled RTMP stream auto-resume"


def run_stream(program, url, name, parameters, audio=False, frames=30):
    """Starts a stream, lets `frames` packets go out and stops it. Returns the
    status while it ran, after the stop, and the info lines of the run."""
    mark, stops = len(program.log.messages(INFO)), program.log.count(STOP_LINE)
    assert (reply := h.start(url, name, parameters, "yes" if audio else "no")).status == 200, reply
    running = h.wait_status(lambda d: d["framesSent"] >= frames or not d["running"])
    assert h.post("/api/stop").status == 200
    assert program.log.wait(STOP_LINE, times=stops + 1)
    return running, h.status(), program.log.messages(INFO)[mark:]


class Received(unittest.TestCase):
    def check_recording(self, rec, doc, width, height, fps, gop, audio, codec="h264"):
        """Everything a receiver can see of one stream, against the program's counters."""
        video = rec.streams["video"]
        self.assertEqual((video["codec_name"], video["width"], video["height"]), (codec, width, height))
        # One packet per picture, every one at its frame's time from 0 on,
        # a keyframe at the start of every GOP.
        offset = AAC_PRIMING_MS if audio else 0
        self.assertEqual([pts for pts, _, _ in rec.video],
                         [offset + round(i * 1000 / fps) for i in range(len(rec.video))])
        self.assertEqual([key for *_, key in rec.video], [i % gop == 0 for i in range(len(rec.video))])
        # Video payload bytes only. The camera's start codes are 4 bytes, so
        # the muxer's length prefixes leave every size as it was.
        self.assertEqual((doc["framesSent"], doc["bytesSent"], doc["lastPacketBytes"]),
                         (len(rec.video), sum(size for _, size, _ in rec.video), rec.video[-1][1]))
        if not audio:
            self.assertEqual((rec.streams.get("audio"), rec.audio), (None, []))
            return
        track = rec.streams["audio"]
        self.assertEqual((track["codec_name"], track["sample_rate"], track["channels"]), ("aac", "44100", 2))
        # Silence without gaps from 0 on, 1024 samples (23.2 ms) a packet,
        # keeping pace with the video to the end.
        self.assertEqual(rec.audio[0][0], 0)
        self.assertLessEqual({b[0] - a[0] for a, b in zip(rec.audio, rec.audio[1:])}, {23, 24})
        self.assertLessEqual(abs(rec.audio[-1][0] - rec.video[-1][0]), 24)


class Matrix(Received):
    """Codec x silent audio at FFmpeg's listener, and H.264 at nginx. The camera
    sends parameter sets also as frames of their own: they are never packets."""

    ROWS = [  # receiver, profile name and parameters, silent audio, ffprobe's codec, label, size,
        # frame rate delivered and shown, GOP in frames, profile and stream details
        ("ffmpeg", "Studio", "videocodec=h264&resolution=320x180&fps=30", True, "h264", "H.264", "320x180", 30, 30, 12,
         "Name: Studio\nResolution: 320x180\nFrame rate: 30.00 fps\nVideo codec: H.264",
         "Video: H.264 320x180 @ 30 fps\nProfile: Studio\nRTMP audio: silent AAC"),
        ("ffmpeg", "", "resolution=256x144&fps=25&videobitratemode=vbr&videomaxbitrate=800", False, "h264",
         "H.264", "256x144", 25, 25, 10,
         "Name: Default H.264 640x360\nResolution: 256x144\nFrame rate: 25.00 fps\nRate control: VBR\n"
         "Max bitrate: 800 kbps",
         "Video: H.264 256x144 @ 25 fps\nProfile: Default H.264 640x360\nRate control: VBR\nMax bitrate: 800 kbps\n"
         "RTMP audio: none"),
        ("ffmpeg", "Hall", "videocodec=hevc&resolution=320x180&fps=15", True, "hevc", "H.265", "320x180", 15, 15, 6,
         "Name: Hall\nResolution: 320x180\nFrame rate: 15.00 fps\nVideo codec: H.265",
         "Video: H.265 320x180 @ 15 fps\nProfile: Hall\nRTMP mode: Enhanced RTMP required\nRTMP audio: silent AAC"),
        ("ffmpeg", "Gate", "videocodec=H.265&resolution=256x144&fps=30", False, "hevc", "H.265", "256x144", 30, 30, 12,
         "Name: Gate\nResolution: 256x144\nFrame rate: 30.00 fps\nVideo codec: H.265",
         "Video: H.265 256x144 @ 30 fps\nProfile: Gate\nRTMP mode: Enhanced RTMP required\nRTMP audio: none"),
        ("ffmpeg", "Roof", "videocodec=av1&resolution=320x180&fps=25", True, "av1", "AV1", "320x180", 25, 25, 10,
         "Name: Roof\nResolution: 320x180\nFrame rate: 25.00 fps\nVideo codec: AV1",
         "Video: AV1 320x180 @ 25 fps\nProfile: Roof\nRTMP mode: Enhanced RTMP required\nRTMP audio: silent AAC"),
        # A fractional rate is shown rounded to whole frames.
        ("ffmpeg", "Yard", "videocodec=AV1&resolution=256x144&fps=12.5&compression=40", False, "av1", "AV1",
         "256x144", 12.5, 13, 5,
         "Name: Yard\nResolution: 256x144\nFrame rate: 12.50 fps\nCompression: 40\nVideo codec: AV1",
         "Video: AV1 256x144 @ 13 fps\nProfile: Yard\nRTMP mode: Enhanced RTMP required\nCompression: 40\n"
         "RTMP audio: none"),
        ("nginx", "Mast", "videocodec=h264&resolution=320x180&fps=30", True, "h264", "H.264", "320x180", 30, 30, 12,
         "Name: Mast\nResolution: 320x180\nFrame rate: 30.00 fps\nVideo codec: H.264",
         "Video: H.264 320x180 @ 30 fps\nProfile: Mast\nRTMP audio: silent AAC"),
    ]
    RUNNING = ("running", "profileName", "streamDetails", "profileDetails", "lastError")
    AFTER = ("running", "currentBitrate", "destination", "streamDetails", "lastError")
    CAPTURED = {"H.264": ["Captured H.264 SPS", "Captured H.264 PPS"],
                "H.265": ["Captured H.265 VPS", "Captured H.265 SPS", "Captured H.265 PPS"], "AV1": []}

    def test_what_the_receiver_got(self):
        for (kind, name, parameters, audio, codec, label, size, rate, fps, gop,
             profile_details, stream_details) in self.ROWS:
            with self.subTest(kind=kind, parameters=parameters, audio=audio), \
                    h.Program({"VDO_EMULATOR_GOP_SECONDS": "0.4", "VDO_EMULATOR_SEPARATE_PARAMETER_SETS": "1"}) as p, \
                    (Nginx() if kind == "nginx" else FfmpegListener()) as receiver:
                running, after, lines = run_stream(p, receiver.url, name, parameters, audio, 3 * gop)
                rec = receiver.recording()
                self.assertEqual([running[k] for k in self.RUNNING], [True, name, stream_details, profile_details, ""])
                self.assertEqual([after[k] for k in self.AFTER], [False, 0, receiver.url, stream_details, "Stream stopped."])
                width, height = map(int, size.split("x"))
                self.check_recording(rec, after, width, height, rate, gop, audio, codec)
                # The worker's lines may come before the start request's own.
                self.assertLess(lines.index("Saved RTMP stream resume state"), lines.index("RTMP stream start requested"))
                self.assertEqual([line for line in lines if line != "RTMP stream start requested"], [
                    "Saved RTMP stream resume state",
                    "Using stream profile details: " + profile_details,
                    "Resolved VDO stream details: " + stream_details,
                    f"Started VDO {label} stream for RTMP output at {size}, {fps} fps"
                    + (f" using stream profile '{name}'" if name else ""),
                    *self.CAPTURED[label],
                    f"Opening RTMP output for {label}",
                    f"RTMP output connected and {label} header written" + (" with silent AAC audio" if audio else ""),
                    f"RTMP packet flow started; first packet payload={rec.video[0][1]} bytes, pts=0 us",
                    STOP_LINE])


class Statistics(Received):
    """The bitrate of a paced stream: the camera's own figure when it gives one,
    else bytes over time; none once the stream has ended."""

    def test_bitrate_and_counters_over_runs(self):
        for reported in ("123456", "0"):
            with self.subTest(reported=reported), h.Program({"VDO_EMULATOR_STATISTICS_BITRATE": reported}) as program, \
                    FfmpegListener() as receiver:
                started = time.monotonic()
                self.assertEqual(h.start(receiver.url, "Rate", "resolution=320x180").status, 200)
                # A sample every 5 s from the worker's start, of the bytes since the last one.
                first = h.wait_status(lambda d: d["currentBitrate"] or not d["running"], timeout=20)
                self.assertGreaterEqual(time.monotonic() - started, 5)
                if reported == "0":
                    self.assertAlmostEqual(first["currentBitrate"], first["bytesSent"] * 8 / 5,
                                           delta=first["currentBitrate"] / 10)
                    second = h.wait_status(lambda d: d["currentBitrate"] != first["currentBitrate"], timeout=20)
                    self.assertGreaterEqual(time.monotonic() - started, 10)
                    self.assertAlmostEqual(second["currentBitrate"], (second["bytesSent"] - first["bytesSent"]) * 8 / 5,
                                           delta=second["currentBitrate"] / 10)
                else:
                    self.assertEqual(first["currentBitrate"], 123456)
                self.assertEqual(h.post("/api/stop").status, 200)
                after = h.status()
                self.assertEqual((after["running"], after["currentBitrate"]), (False, 0))
                self.check_recording(receiver.recording(), after, 320, 180, 30, 60, False)
                # The counters outlive the stream (they match the recording
                # above) until the next start sets them to 0: this one never
                # sends a packet, nothing listens there.
                self.assertEqual(h.start("rtmp://127.0.0.1:1/live/none", "Rate", "resolution=320x180").status, 200)
                ended = h.wait_status(lambda d: not d["running"])
                self.assertEqual([ended[k] for k in ("framesSent", "bytesSent", "lastPacketBytes", "currentBitrate",
                                                     "lastError")],
                                 [0, 0, 0, 0, "Unable to connect to RTMP destination: Connection refused"])
                self.assertTrue(program.log.wait(ended["lastError"]))
                self.assertEqual(program.log.messages(ERROR), [ended["lastError"]])
                # The output is announced before the connection is tried.
                self.assertEqual(program.log.count("Opening RTMP output for H.264"), 2)


class CameraFaults(Received):
    """The camera's failures on demand, each in a program of its own."""

    PROFILE_DETAILS = "Name: Cam\nResolution: 320x180"
    STREAM_DETAILS = "Video: H.264 320x180 @ 30 fps\nProfile: Cam\nRTMP audio: none"
    ROWS = [  # emulator settings, last error ("" while the stream goes on), packets at the end, details shown
        ({"VDO_EMULATOR_FAIL": "get_buffer:21"}, "VDO stream error: sensor unplugged", 20, True),
        # Frames in one chunk: two calls a frame with the end-of-frame call.
        ({"VDO_EMULATOR_FAIL": "take_chunk:41", "VDO_EMULATOR_CHUNK_SIZE": "10000000"},
         "Failed reading VDO frame chunk: sensor unplugged", 20, True),
        # A buffer goes back after its packet was written.
        ({"VDO_EMULATOR_UNREF_FAIL": "unexpected:15"}, "Failed to release VDO buffer: sensor unplugged", 15, True),
        ({"VDO_EMULATOR_UNREF_FAIL": "expected:5,expected:15+"}, "", None, True),
        ({"VDO_EMULATOR_NO_DATA": "1:300,30:5"}, "", None, True),
        ({"VDO_EMULATOR_FAIL": "new:1"}, "Failed to create VDO stream: sensor unplugged", 0, False),
        ({"VDO_EMULATOR_FAIL": "info:1"}, "Failed to read VDO stream info: sensor unplugged", 0, False),
        ({"VDO_EMULATOR_FAIL": "start:1"}, "Failed to start VDO stream: sensor unplugged", 0, True),
    ]

    def test_faults(self):
        for env, error, packets, details in self.ROWS:
            env = dict(env, VDO_EMULATOR_FAIL_MESSAGE="sensor unplugged")
            with self.subTest(env=env), h.Program(env) as program, FfmpegListener() as receiver:
                self.assertEqual(h.start(receiver.url, "Cam", "resolution=320x180").status, 200)
                doc = h.wait_status(lambda d: not d["running"] or d["framesSent"] >= 40)
                self.assertEqual((doc["running"], doc["lastError"]), (packets is None, error))
                self.assertTrue(program.log.wait(error))  # the status may be quicker than the log
                self.assertEqual(program.log.messages(ERROR), [error] if error else [])
                self.assertEqual((doc["profileDetails"], doc["streamDetails"]),
                                 (self.PROFILE_DETAILS, self.STREAM_DETAILS) if details else ("", ""))
                self.assertEqual(program.log.count("Started VDO H.264 stream"), int(packets != 0))
                if packets is None:
                    self.assertEqual(h.post("/api/stop").status, 200)
                    self.assertEqual((doc := h.status())["lastError"], "Stream stopped.")
                elif packets:
                    self.assertEqual(doc["framesSent"], packets)
                if packets != 0:  # none when the camera failed before the first frame
                    self.check_recording(receiver.recording(), doc, 320, 180, 30, 60, False)


class Refusals(Received):
    """Profiles the worker refuses, a camera smaller than asked for, a receiver that goes away."""
    SMALL = {"VDO_EMULATOR_MAX_WIDTH": "320", "VDO_EMULATOR_MAX_HEIGHT": "180", "VDO_EMULATOR_MAX_FPS": "15"}
    ROWS = [  # profile parameters (the parser's own refusals are unit tables), last error
        ("videocodec=h264&fps=%25s%25n", "Unsupported stream profile fps value '%s%n'."),
        ("camera=2", "Failed to create VDO stream: Video input 2 does not exist"),
    ]

    def test_refused_profiles(self):
        for parameters, error in self.ROWS:
            with self.subTest(parameters=parameters), h.Program(self.SMALL) as program:
                self.assertEqual(h.start("rtmp://127.0.0.1:1/live/x", "Odd", parameters).status, 200)
                doc = h.wait_status(lambda d: not d["running"])
                self.assertEqual((doc["lastError"], doc["streamDetails"], doc["profileDetails"]), (error, "", ""))
                # No stream was started, and the error is logged once.
                self.assertTrue(program.log.wait(error))
                self.assertEqual([m for m in program.log.messages() if error in m or "Started" in m], [error])

    def test_request_above_the_sensor(self):
        # What the camera delivers is what goes out; the request stays in the profile details.
        with h.Program(self.SMALL) as program, FfmpegListener() as receiver:
            running, after, lines = run_stream(program, receiver.url, "Big", "resolution=1280x720&fps=25", frames=20)
            self.check_recording(receiver.recording(), after, 320, 180, 15, 30, False)
        self.assertEqual((running["streamDetails"], running["profileDetails"]),
                         ("Video: H.264 320x180 @ 15 fps\nProfile: Big\nRTMP audio: none",
                          "Name: Big\nResolution: 1280x720\nFrame rate: 25.00 fps"))
        self.assertIn("Started VDO H.264 stream for RTMP output at 320x180, 15 fps using stream profile 'Big'", lines)

    def test_receiver_that_refuses_the_stream_name(self):
        # The server's status message says what FFmpeg's error code cannot.
        with h.Program() as program, Nginx() as receiver, NameHolder(receiver.url):
            reply = h.start(receiver.url, "Taken", "resolution=320x180", "yes")
            self.assertEqual(reply.status, 200)
            doc = h.wait_status(lambda d: not d["running"])
            self.assertEqual(doc["lastError"], "Unable to connect to RTMP destination: "
                             "Operation not permitted (server: Already publishing)")
            self.assertTrue(program.log.wait(doc["lastError"]))
            self.assertEqual(program.log.messages(ERROR), [doc["lastError"]])

    def test_receiver_that_dies(self):
        with h.Program() as program:
            with FfmpegListener() as receiver:
                self.assertEqual(h.start(receiver.url, "Gone", "resolution=320x180").status, 200)
                h.wait_status(lambda d: d["framesSent"] >= 10)
            doc = h.wait_status(lambda d: not d["running"])
            self.assertRegex(doc["lastError"], r"^Unable to send RTMP packet: \w")
            self.assertTrue(program.log.wait(doc["lastError"]))
            self.assertEqual(program.log.messages(ERROR), [doc["lastError"]])


if __name__ == "__main__":
    unittest.main(verbosity=2)
