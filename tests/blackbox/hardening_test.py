# labels: concurrency
"""What a hostile network cannot do: reach the API from another host or site, hold
server threads with slow bodies, break the publisher with a chunk size, forge log lines."""
import contextlib
import json
import os
import re
import select
import socket
import subprocess
import time
import unittest

import harness as h
from receivers import ChunkSizeServer, FfmpegListener

SINK = "rtmp://127.0.0.1:1/live/key"
CROSS_SITE = "Refused a request from another site: start, restart and stop are accepted only from Corvane's own page."


class Hardening(unittest.TestCase):
    def setUp(self):
        self.program = self.enterContext(h.Program())

    def ended(self, timeout=15):
        return h.wait_status(lambda d: not d["running"], timeout, "the end of the stream")

    def test_only_loopback_and_no_cross_site_control(self):
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.2", h.PORT), timeout=2)
        sink = self.enterContext(FfmpegListener())
        self.assertEqual(h.start(sink.url).status, 200)
        h.wait_status(lambda d: d["framesSent"] > 0, what="a running stream")
        page, camera = {"Origin": "http://127.0.0.1:30920"}, {"Host": "127.0.0.1:30920", "X-Forwarded-Host": "camera.example"}
        for path, headers, status in [  # the stream runs throughout
                ("/api/stop", {"Sec-Fetch-Site": "cross-site"}, 403),
                ("/api/restart", {**page, "Sec-Fetch-Site": "same-site"}, 403),
                ("/local/corvane/corvane/api/stop", {"Origin": "http://evil.example"}, 403),
                ("/local/corvane/corvane/api/stop", {**camera, "Origin": "https://evil.example"}, 403),
                ("/api/stop", {"Origin": "null"}, 403),
                ("/api/start", {**page, "Sec-Fetch-Site": "same-origin"}, 409),
                ("/local/corvane/corvane/api/start", {**camera, "Origin": "https://CAMERA.example"}, 409)]:
            with self.subTest(path=path, headers=headers):
                reply = h.post(path, h.form(destination="rtmp://evil.example/live/k"), headers)
                self.assertEqual(reply.status, status)
                self.assertEqual(reply.doc["lastError"], CROSS_SITE if status == 403 else "")
                self.assertTrue(h.status()["running"])
                self.assertEqual((self.program.param("LastDestination"), self.program.param("ResumeOnStart")), (sink.url, "yes"))
        # A preflight for the page elsewhere: no permission, none for the header that would match.
        preflight = h.request("OPTIONS", "/api/stop", headers={
            "Origin": "http://evil.example", "Access-Control-Request-Method": "POST",
            "Access-Control-Request-Headers": "X-Forwarded-Host"})
        granted = [name for name, _ in preflight.headers if name.startswith("Access-Control-")]
        self.assertEqual(granted, [])
        # The page through the camera's web server, the page under /, and curl.
        for headers in ({**camera, "Origin": "https://camera.example"}, page, {}):
            self.assertEqual(h.post("/local/corvane/corvane/api/stop", "", headers).status, 200)
        self.assertEqual(self.program.param("ResumeOnStart"), "no")

    def test_slow_requests_end_at_the_deadline(self):
        """More slow clients than CivetWeb's 50 threads: half send their header block a
        byte at a time, half a body that starts as a valid form and never ends."""
        def trickler(head):
            conn = socket.create_connection(("127.0.0.1", h.PORT), timeout=5)
            conn.sendall(head.encode())
            return conn
        begin = time.monotonic()
        post = "POST /api/start HTTP/1.1\r\nHost: x\r\nContent-Length: {}\r\n\r\n"
        refused = trickler(post.format(4097) + "x")
        valid_start = post.format(4096) + h.form(destination=SINK) + "&pad="
        bodies = {trickler(valid_start) for _ in range(30)}
        heads = {trickler("GET /api/status HTTP/1.1\r\nX") for _ in range(30)}
        trickling, closed_at, replies = {refused, *bodies, *heads}, {}, {}
        while trickling and time.monotonic() - begin < 16:
            for conn in select.select(list(trickling), [], [], 0.5)[0]:
                with contextlib.suppress(OSError):  # the reply, up to the server's close
                    replies[conn] = b"".join(iter(lambda: conn.recv(65536), b""))
                closed_at[conn] = time.monotonic() - begin
                trickling.discard(conn)
                conn.close()
            for conn in trickling:
                with contextlib.suppress(OSError):
                    conn.send(b"x")
            asked = time.monotonic()
            self.assertFalse(h.request("GET", "/api/status", timeout=5).doc["running"])
            self.assertLess(time.monotonic() - asked, 1.0)
        self.assertEqual(len(trickling), 0, "connections still open after 16 s")
        self.assertLess(closed_at[refused], 1.5)
        self.assertLess(max(closed_at.values()), 12.5)
        # A body cut short by the deadline is refused whole, although what came of it was valid.
        refusals = {h.Reply(replies[conn]).doc["lastError"] for conn in bodies}
        self.assertEqual(refusals, {"Missing request body."})
        self.assertIsNone(self.program.param("LastDestination"))

    def test_chunk_sizes_outside_rtmp_end_the_stream(self):
        for size in (0, 0xFFFFFFFF, 2 ** 31):
            with self.subTest(size=size):
                server = ChunkSizeServer(size)
                self.assertEqual(h.start(server.url).status, 200)
                self.assertEqual(self.ended()["lastError"], "Unable to send RTMP packet: Invalid data found when processing input")
                self.assertTrue(server.closed.wait(5))
                self.assertLess(server.longest_run(), 1000, "the publisher wrote runs of chunk markers")
                self.assertTrue(self.program.log.wait(f"Server announced RTMP chunk size {size}; it must lie between 1 and 2147483647"))
        # The largest size RTMP allows is followed: the stream goes on.
        server = ChunkSizeServer(0x7FFFFFFF)
        self.assertEqual(h.start(server.url).status, 200)
        self.assertTrue(server.announced.wait(10))
        frames = h.status()["framesSent"]
        h.wait_status(lambda d: d["framesSent"] > frames + 30, 5, "frames after the announcement")

    def test_log_lines_carry_control_bytes_escaped(self):
        h.start("rtmp://bad\nhost/live/key", "Cam\x1b[31m\r\nforged é\\", "resolution=640x360&videocodec=h264&overlays=a%0Ab")
        self.ended()
        h.post("/api/restart", h.form(destination="rtmp://127.0.0.1:1/live", profileName="p", profileParameters="fps=1%0D%0Aforged"))
        self.ended()
        h.request("GET", "/no%1bfile%0d%0aforged")
        shown = "Cam\\x1b[31m\\r\\nforged é\\"
        for level, text in [
                (h.INFO, f"Using stream profile details: Name: {shown}\nResolution: 640x360\nVideo codec: H.264\nOverlays: a\\nb"),
                (h.INFO, f"Started VDO H.264 stream for RTMP output at 640x360, 30 fps using stream profile '{shown}'"),
                (h.WARNING, "] Failed to resolve hostname bad\\nhost: Name or service not known"),
                (h.ERROR, "Unsupported stream profile fps value '1\\r\\nforged'."),
                (h.WARNING, "No static file for request '/no\\x1bfile\\r\\nforged' mapped to 'html/no\\x1bfile\\r\\nforged'")]:
            with self.subTest(text=text):
                self.assertTrue(self.program.log.wait(text, timeout=5))
                self.assertEqual(self.program.log.count(text, level), 1)
        for message in self.program.log.messages():  # line feeds only between the lines of details
            self.assertNotRegex(message, "[\x00-\x09\x0b-\x1f\x7f]")
            if "\n" in message:
                self.assertRegex(message, "^(Using stream profile|Resolved VDO stream) details: ")

    def test_readme_curl_example_names_its_profile(self):
        with open(os.path.join(h.SOURCE, "README.md"), encoding="utf-8") as f:
            readme = f.read()
        command = re.search(r"curl -s (--data-urlencode|-d) 'destination.*?/api/start", readme, re.S).group()
        reply = subprocess.run(["bash", "-c", command], capture_output=True, text=True, check=True)
        self.assertEqual(json.loads(reply.stdout)["profileName"], "H.264 720p")


if __name__ == "__main__":
    unittest.main()
