"""The control plane over HTTP: the endpoints' answers and refusals, both JSON
documents, the form's fields and bounds, the stored choice and its resume,
static files, signals and the log lines of a stream's life."""
import json
import os
import re
import signal
import socket
import unittest

import harness as h
from harness import ERROR, INFO, SERIAL, WARNING, form
from receivers import SilentServer

UNREACHABLE = "rtmp://127.0.0.1:1/live/x"  # refused at once: the stream ends by itself
SILENT = "rtmp://127.0.0.1:1936/live/x"  # taken but never answered: runs until stopped
PROFILE = "videocodec=h264&resolution=320x180&fps=15"
PREFIX = "/local/corvane/corvane"
OK, BAD, CONFLICT = "HTTP/1.1 200 OK", "HTTP/1.1 400 Bad Request", "HTTP/1.1 409 Conflict"
STORED = ["ResumeOnStart", "LastDestination", "LastProfileName", "LastProfileParameters", "LastSilentAudio"]
IDLE = {"running": False, "framesSent": 0, "bytesSent": 0, "lastPacketBytes": 0, "currentBitrate": 0,
        "profileName": "", "savedProfileName": "", "destination": "", "silentAudio": False,
        "streamDetails": "", "profileDetails": "", "lastError": "", "macAddress": "",
        "serialNumber": SERIAL, "deviceModel": "unknown", "axisOsVersion": "unknown", "chip": "unknown",
        "architecture": "aarch64"}
DETAILS = {"streamDetails": "Video: H.264 320x180 @ 15 fps\nProfile: Low\nRTMP audio: silent AAC",
           "profileDetails": "Name: Low\nResolution: 320x180\nFrame rate: 15.00 fps\nVideo codec: H.264"}
STREAMING = dict(destination=SILENT, profileName="Low", profileParameters=PROFILE, silentAudio="on")
LIVE = IDLE | DETAILS | {"running": True, "profileName": "Low", "savedProfileName": "Low", "destination": SILENT,
                         "silentAudio": True}


def error_doc(message):
    return {"running": False, "framesSent": 0, "bytesSent": 0, "lastPacketBytes": 0, "currentBitrate": 0,
            "profileName": "", "streamDetails": "", "profileDetails": "", "lastError": message,
            "macAddress": "", "serialNumber": SERIAL}


def padded(body, size):
    return body + "&pad=" + "p" * (size - len(body) - 5)


def ffmpeg_plain(lines):
    return [(level, re.sub(r" @ 0x[0-9a-f]+\]", "]", text)) for level, text in lines]


class Case(unittest.TestCase):
    def reply(self, answer, status_line, document):
        """A JSON reply: status line, the fixed header block, the members in order."""
        self.assertEqual(answer.line, status_line, answer.body)
        self.assertEqual(answer.headers, [("Content-Type", "application/json"), ("Cache-Control", "no-store"),
                                          ("Content-Length", str(len(answer.body.encode()))), ("Connection", "close")])
        self.assertEqual(list(answer.doc.items()), list(document.items()))


class Endpoints(Case):
    """One program for the class; the tests run in the order of their numbers."""
    FILES = {"index.html": "<p>index</p>", "app.js": "app();", "css/index.html": "<p>css</p>", "X/a.js": "x();"}

    @classmethod
    def setUpClass(cls):
        cls.enterClassContext(SilentServer(1936))
        cls.p = h.Program()
        os.unlink(os.path.join(cls.p.dir, "html"))
        for name, text in cls.FILES.items():
            os.makedirs(os.path.dirname(os.path.join(cls.p.dir, "html", name)), exist_ok=True)
            with open(os.path.join(cls.p.dir, "html", name), "w") as f:
                f.write(text)
        cls.enterClassContext(cls.p)

    def start_and_wait(self, path, fields, line):
        """Starts a stream and waits for the next log line that contains `line`."""
        self.p.log.sync()
        times = self.p.log.count(line) + 1
        self.assertEqual(h.request("POST", path, form(**fields)).line, OK)
        self.assertTrue(self.p.log.wait(line, times=times), self.p.log.dump())

    def test_1_status_document_for_every_method_and_path(self):
        for method, path in [("GET", "/api/status"), ("GET", PREFIX + "/api/status"), ("POST", "/api/status"),
                             ("PUT", PREFIX + "/api/status"), ("DELETE", "/api/status/x")]:
            with self.subTest(method=method, path=path):
                self.reply(h.request(method, path, "destination=rtmp%3A%2F%2Fh%2Fa"), OK, IDLE)
        self.p.set_param("ResumeOnStart", "yes")
        self.reply(h.request("POST", "/api/stop"), OK, IDLE)
        self.assertEqual(self.p.param("ResumeOnStart"), "no")
        self.assertTrue(self.p.log.wait("Disabled RTMP stream auto-resume"))

    def test_2_refusals(self):
        good = form(destination=UNREACHABLE)
        cases = [  # method, path, body, Content-Length (None: the body's own), message
            *[(method, path, body, None, f"{name} requires POST.") for method, path, body, name in [
                ("GET", "/api/start", "", "Start"), ("PUT", PREFIX + "/api/start", good, "Start"),
                ("GET", "/api/restart", "", "Restart"), ("DELETE", PREFIX + "/api/restart", good, "Restart"),
                ("GET", "/api/stop", "", "Stop"), ("PATCH", PREFIX + "/api/stop", good, "Stop")]],
            ("POST", "/api/start", "", None, "Missing request body."),
            ("POST", PREFIX + "/api/restart", "", None, "Missing request body."),
            ("POST", "/api/start", "", "0", "Request body is empty or too large."),
            ("POST", "/api/restart", good, "-0", "Request body is empty or too large."),
            ("POST", "/api/start", padded(good, 4097), None, "Request body is empty or too large."),
            ("POST", "/api/start", json.dumps({"destination": UNREACHABLE}), None, "Missing RTMP destination."),
            ("POST", "/api/restart", "destination=&profileName=Low", None, "Missing RTMP destination."),
            ("POST", "/api/start", form(destination=UNREACHABLE + "/" + "d" * (1023 - len(UNREACHABLE))), None,
             "Missing RTMP destination."),
            *[("POST", path, "destination=" + text, None, "Destination must begin with rtmp://.") for path, text in [
                ("/api/start", "rtmps%3A%2F%2Fhost%2Fapp"), ("/api/restart", "RTMP%3A%2F%2Fhost%2Fapp"),
                ("/api/start", "rtmp%3A%2F"), ("/api/start", "+rtmp%3A%2F%2Fh%2Fa")]],
            ("POST", "/api/start", good + "&profileName=Low", None, "Selected stream profile is missing parameters."),
            ("POST", "/api/restart", good + "&profileName=" + "n" * 127, None,
             "Selected stream profile is missing parameters."),
            ("POST", "/api/start", form(destination=UNREACHABLE, profileName="Low", profileParameters="p" * 2048),
             None, "Selected stream profile is missing parameters."),
        ]
        self.p.set_param("ResumeOnStart", "marker")
        self.p.set_param("LastDestination", "rtmp://marker/app")
        self.p.log.sync()
        since = len(self.p.log.transcript())
        for method, path, body, length, message in cases:
            with self.subTest(method=method, path=path, body=body[:60], length=length):
                self.reply(h.request(method, path, body, length=length), BAD, error_doc(message))
        # The server itself refuses a length that is negative or has no digits.
        for length in ("-5", "abc", ""):
            self.assertEqual(h.request("POST", "/api/start", good, length=length).line, "HTTP/1.1 411 Length Required")
        # A second Content-Length that differs from the first leaves the body's end a guess.
        self.reply(h.request("POST", "/api/start", good, {"content-length": "5"}), BAD,
                   error_doc("Request body is empty or too large."))
        self.assertEqual([self.p.param(name) for name in STORED], ["marker", "rtmp://marker/app", None, None, None])
        self.reply(h.request("GET", "/api/status"), OK, IDLE | {"destination": "rtmp://marker/app"})
        self.p.log.sync()
        self.assertEqual(self.p.log.transcript(since), [])

    def test_3_form_fields_and_their_bounds(self):
        quotes, long_destination = '"' * 127, UNREACHABLE + "/" + "d" * (1022 - len(UNREACHABLE))
        long_parameters = PROFILE + "&pad=" + "p" * (2047 - len(PROFILE) - 5)
        cases = [  # body, live profileName, the stored values but ResumeOnStart
            *[(form(destination=UNREACHABLE, silentAudio=value), "", (UNREACHABLE, "", "", stored))
              for value, stored in [("Yes", "yes"), ("TRUE", "yes"), ("on", "yes"), ("1", "yes"), ("0", "no"),
                                    ("no", "no"), ("false", "no"), ("2", "no"), ("", "no"), ("yes ", "no")]],
            (form(destination=UNREACHABLE, profileName=quotes, profileParameters=PROFILE), quotes,
             (UNREACHABLE, quotes, PROFILE, "no")),
            (form(destination=UNREACHABLE, profileName="n" * 128), "", (UNREACHABLE, "", "", "no")),
            (form(destination=UNREACHABLE, profileParameters=PROFILE), "", (UNREACHABLE, "", PROFILE, "no")),
            (form(destination="rtmp://"), "", ("rtmp://", "", "", "no")),
            (form(destination=long_destination, profileName="Low 360p", profileParameters=long_parameters),
             "Low 360p", (long_destination, "Low 360p", long_parameters, "no")),
            (padded(form(destination=UNREACHABLE, silentAudio="On"), 4096), "", (UNREACHABLE, "", "", "yes")),
        ]
        for i, (body, name, stored) in enumerate(cases):
            path = "/api/start" if i % 2 else PREFIX + "/api/restart"
            with self.subTest(path=path, body=body[:80]):
                reply = h.request("POST", path, body)
                self.assertEqual(reply.line, OK, reply.body)
                doc = reply.doc
                self.assertEqual([doc[k] for k in ("profileName", "savedProfileName", "destination", "silentAudio")],
                                 [name, stored[1], stored[0], stored[3] == "yes"])
                self.assertEqual([self.p.param(n) for n in STORED], ["yes", *stored])
                h.wait_status(lambda d: not d["running"])

    def test_4_conflict_refusals_restart_and_stop_while_streaming(self):
        self.start_and_wait("/api/start", STREAMING, "Opening RTMP output for H.264")
        self.p.set_param("LastDestination", "rtmp://marker/app")  # the live destination wins
        self.reply(h.request("POST", PREFIX + "/api/start", form(destination=UNREACHABLE)), CONFLICT, LIVE)
        self.assertEqual(self.p.param("LastDestination"), "rtmp://marker/app")
        self.reply(h.request("POST", "/api/restart", "destination=rtmps%3A%2F%2Fh%2Fa"), BAD,
                   error_doc("Destination must begin with rtmp://."))
        self.reply(h.request("GET", "/api/status"), OK, LIVE)

        other = SILENT + "/other"
        self.start_and_wait(PREFIX + "/api/restart", STREAMING | {"destination": other}, "Opening RTMP output")
        self.reply(h.request("GET", "/api/status"), OK, LIVE | {"destination": other})
        self.reply(h.request("POST", "/api/stop", "ignored=1"), OK,
                   LIVE | {"running": False, "destination": other, "lastError": "Stream stopped."})
        self.assertEqual([self.p.param(name) for name in STORED], ["no", other, "Low", PROFILE, "yes"])

    def test_5_log_transcript_of_a_stream(self):
        head = [(INFO, "Using stream profile details: " + DETAILS["profileDetails"]),
                (INFO, "Resolved VDO stream details: Video: H.264 320x180 @ 15 fps\nProfile: Low\nRTMP audio: none"),
                (INFO, "Started VDO H.264 stream for RTMP output at 320x180, 15 fps using stream profile 'Low'"),
                (INFO, "Captured H.264 SPS"), (INFO, "Captured H.264 PPS"), (INFO, "Opening RTMP output for H.264")]
        refused = [(WARNING, "FFmpeg: [tcp] Connection to tcp://127.0.0.1:1?tcp_nodelay=0 failed: Connection refused"),
                   (WARNING, "FFmpeg: [rtmp] Cannot open connection tcp://127.0.0.1:1?tcp_nodelay=0"),
                   (ERROR, "Unable to connect to RTMP destination: Connection refused")]
        cases = [  # path, its log line, destination, the line that ends the stream's own part, its lines after the head
            ("/api/start", "RTMP stream start requested", UNREACHABLE, refused[-1][1], refused),
            (PREFIX + "/api/restart", "RTMP stream restart requested", UNREACHABLE, refused[-1][1], refused),
            ("/api/start", "RTMP stream start requested", SILENT, "Opening RTMP output",
             [(WARNING, "FFmpeg: [rtmp] Cannot read RTMP handshake response")]),
        ]
        for path, requested, destination, wait_for, tail in cases:
            with self.subTest(path=path, destination=destination):
                self.p.log.sync()
                since = len(self.p.log.transcript())
                self.start_and_wait(path, STREAMING | {"destination": destination, "silentAudio": "no"}, wait_for)
                self.assertEqual(h.request("POST", "/api/stop").line, OK)
                self.p.log.sync()
                # The request's own line and the worker's first ones come in either order.
                lines = ffmpeg_plain(self.p.log.transcript(since))
                self.assertGreater(lines.index((INFO, requested)), 0)
                lines.remove((INFO, requested))
                self.assertEqual(lines, [(INFO, "Saved RTMP stream resume state")] + head + tail
                                 + [(INFO, "Disabled RTMP stream auto-resume")])

    def test_6_static_files(self):
        cases = [  # path, status line, body (None: the server's own), warning
            *[(path, OK, body, None) for path, body in [
                ("/", "<p>index</p>"), (PREFIX, "<p>index</p>"), (PREFIX + "/", "<p>index</p>"), ("/app.js", "app();"),
                (PREFIX + "/app.js", "app();"), ("/css/", "<p>css</p>"), (PREFIX + "X/a.js", "x();")]],
            ("/css", "HTTP/1.1 404 Not Found", None, "No static file for request '/css' mapped to 'html/css'"),
            (PREFIX + "/missing.js", "HTTP/1.1 404 Not Found", None,
             "No static file for request '/missing.js' mapped to 'html/missing.js'"),
        ]
        for path, status_line, body, warning in cases:
            with self.subTest(path=path):
                self.p.log.sync()
                since = len(self.p.log.transcript())
                reply = h.request("GET", path)
                self.assertEqual((reply.line, reply.body if body else None), (status_line, body))
                self.p.log.sync()
                self.assertEqual(self.p.log.transcript(since), [(WARNING, warning)] if warning else [])
        for path in ("/app..js", PREFIX + "/css/..x"):
            self.reply(h.request("GET", path), BAD, {"error": "Invalid path"})


class Resume(Case):
    """The stored choice across restarts of the program: a program per case."""

    def test_resumes_after_a_signal_but_not_after_a_stop(self):
        with SilentServer(1936), h.Program() as p:
            self.assertEqual(h.request("POST", "/api/start", form(**STREAMING)).line, OK)
            self.assertTrue(p.log.wait("Opening RTMP output for H.264"))
            self.assertEqual(p.finish(), 0)
            self.assertEqual(ffmpeg_plain(p.log.transcript()[-2:]), [
                (WARNING, "FFmpeg: [rtmp] Cannot read RTMP handshake response"),
                (INFO, "Application was stopped by SIGTERM or SIGINT.")])
            p.start()
            self.assertTrue(p.log.wait("RTMP stream auto-resume requested"))
            self.assertTrue(p.log.wait("Opening RTMP output for H.264"))
            self.reply(h.request("GET", "/api/status"), OK, LIVE)
            self.reply(h.request("POST", "/api/stop"), OK, LIVE | {"running": False, "lastError": "Stream stopped."})
            self.assertEqual(p.stop(), 0)
            p.start()
            self.reply(h.request("GET", "/api/status"), OK,
                       IDLE | {"savedProfileName": "Low", "destination": SILENT, "silentAudio": True})
            self.assertEqual(p.finish(), 0)
            self.assertEqual(p.log.count("RTMP stream auto-resume requested"), 0)

    def test_hand_edited_state_at_start_up(self):
        cases = [  # stored values over a saved stream, resumed, lastError
            ({"ResumeOnStart": "YES"}, True, ""),
            ({"ResumeOnStart": "true"}, False, ""),
            ({"ResumeOnStart": "1"}, False, ""),
            ({"ResumeOnStart": "yes", "LastDestination": ""}, False, "Destination must begin with rtmp://."),
            ({"ResumeOnStart": "yes", "LastProfileParameters": ""}, False,
             "Selected stream profile is missing parameters."),
        ]
        saved = {"LastDestination": SILENT, "LastProfileName": "Low", "LastProfileParameters": PROFILE}
        for stored, resumed, message in cases:
            with self.subTest(stored=stored), SilentServer(1936), h.Program(params=saved | stored) as p:
                self.assertTrue(p.log.wait("RTMP stream auto-resume requested" if resumed else
                                           message or "Corvane web server started"))
                doc = h.status()
                self.assertEqual([doc["running"], doc["lastError"]], [resumed, message])
                self.assertEqual(p.finish(), 0)
                self.assertEqual(p.log.count("RTMP stream auto-resume requested"), int(resumed))
                self.assertEqual(p.log.messages(ERROR),
                                 ["Unable to auto-resume RTMP stream: " + message] if message else [])
                self.assertEqual(p.param("ResumeOnStart"), stored["ResumeOnStart"])

    def test_a_failed_write_still_arms_the_rest(self):
        with SilentServer(1936), h.Program() as p:
            os.makedirs(os.path.join(p.dir, "axparameter", "apps", "corvane", "LastProfileName"))
            self.assertEqual(h.request("POST", "/api/start", form(**STREAMING)).line, OK)
            self.assertTrue(p.log.wait("RTMP stream resume state may be incomplete"))
            saving = [w for w in p.log.messages(WARNING) if "set app parameter" in w or "resume state" in w]
            self.assertEqual(saving, ["Failed to set app parameter 'LastProfileName': Cannot write parameter "
                                      "'LastProfileName': Is a directory", "RTMP stream resume state may be incomplete"])
            self.assertEqual([p.param(name) for name in STORED if name != "LastProfileName"],
                             ["yes", SILENT, PROFILE, "yes"])
            self.assertEqual(p.finish(), 0)
            p.start()
            self.assertTrue(p.log.wait("RTMP stream auto-resume requested"))
            self.assertTrue(h.status()["running"])

    def test_saved_values_are_cut_to_their_fields(self):
        destination = UNREACHABLE + "/" + "d" * 1100
        parameters = "videocodec=h264&resolution=320x180&pad="
        parameters += "p" * (2047 - len(parameters) - 7) + "&fps=15" + "0&fps=none"
        with h.Program(params={"ResumeOnStart": "yes", "LastDestination": destination,
                               "LastProfileName": "n" * 127 + "m" * 80, "LastProfileParameters": parameters}):
            doc = h.wait_status(lambda d: d["lastError"] and not d["running"])
            self.assertEqual(doc, IDLE | {
                "profileName": "n" * 127, "savedProfileName": "n" * 127, "destination": destination[:1023],
                "streamDetails": f"Video: H.264 320x180 @ 15 fps\nProfile: {'n' * 127}\nRTMP audio: none",
                "profileDetails": f"Name: {'n' * 127}\nResolution: 320x180\nFrame rate: 15.00 fps\nVideo codec: H.264",
                "lastError": "Unable to connect to RTMP destination: Connection refused"})

    def test_without_a_parameter_store(self):
        for refuse, reason in [("silent", "unknown error"),
                               ("1", "Parameter service refused the handle (AXPARAMETER_REFUSE=1)")]:
            with self.subTest(refuse=refuse), SilentServer(1936), \
                    h.Program({"AXPARAMETER_REFUSE": refuse}, {"ResumeOnStart": "yes", "LastDestination": SILENT}) as p:
                self.assertEqual(p.log.messages(WARNING)[0],
                                 "AXParameter is unavailable; RTMP stream resume across app updates is disabled: "
                                 + reason)
                self.assertEqual(h.request("POST", "/api/start", form(**STREAMING)).line, OK)
                self.assertTrue(p.log.wait("Opening RTMP output for H.264"))
                live = LIVE | {"savedProfileName": "", "silentAudio": False, "serialNumber": "",
                               "deviceModel": "", "axisOsVersion": "", "chip": "", "architecture": ""}
                self.reply(h.request("GET", "/api/status"), OK, live)
                self.reply(h.request("POST", "/api/stop"), OK,
                           live | {"running": False, "destination": "", "lastError": "Stream stopped."})
                self.assertEqual(p.finish(), 0)  # what was stored before is never read either
                self.assertEqual([p.log.count(line) for line in (
                    "RTMP stream resume state was not saved because AXParameter is unavailable",
                    "Disabled RTMP stream auto-resume", "RTMP stream auto-resume requested")], [1, 0, 0])


class Lifecycle(unittest.TestCase):
    def test_sigint_ends_the_program_cleanly(self):  # as SIGTERM does in every test
        with h.Program() as p:
            self.assertEqual(p.finish(signal.SIGINT), 0)
            self.assertEqual(p.log.transcript()[-1], (INFO, "Application was stopped by SIGTERM or SIGINT."))
            self.assertEqual((p.output("stdout"), p.output("stderr")), ("", ""))

    def test_busy_port_ends_the_program(self):
        with socket.create_server(("127.0.0.1", h.PORT)):
            p = h.Program()
            self.addCleanup(p.close)
            self.assertEqual(p.start(wait=False).wait(), 1)
            self.assertTrue(p.log.wait("Failed to start Corvane web server"))
            self.assertEqual(p.log.transcript(), [(ERROR, "Failed to start Corvane web server")])


if __name__ == "__main__":
    unittest.main()
