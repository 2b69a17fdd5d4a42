"""`make run` as a new user meets it (tools/run.sh on a stage): the camera's
identity services answer as a camera's do, the page's polling leaves the log
quiet, and Ctrl-C stops everything cleanly."""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

import harness as h

GREETING = "Corvane on http://localhost:30920/  (Ctrl-C stops it; log lines follow)\n"


@unittest.skipIf(h.EMULATOR, "make run runs the build of this machine")
class Run(unittest.TestCase):
    def setUp(self):
        self.stage = tempfile.mkdtemp(prefix="corvane-stage-")
        subprocess.run([os.path.join(h.SOURCE, "tools", "stage.sh"), h.BUILD, self.stage],
                       check=True, stdout=subprocess.DEVNULL)
        self.run_sh = subprocess.Popen([os.path.join(h.SOURCE, "tools", "run.sh"), self.stage],
                                       env=dict(os.environ, CORVANE_SERIAL="02C0DE00BEEF"),
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = []
        threading.Thread(target=lambda: self.lines.extend(self.run_sh.stdout), daemon=True).start()
        self.wait_for("Corvane web server started")

    def tearDown(self):
        if self.run_sh.poll() is None:
            self.run_sh.kill()
            self.run_sh.wait()
        self.run_sh.stdout.close()
        shutil.rmtree(self.stage, ignore_errors=True)

    def wait_for(self, text, timeout=15):
        deadline = time.monotonic() + timeout
        while not any(text in line for line in self.lines):
            if time.monotonic() > deadline:
                raise AssertionError(f"no {text!r} within {timeout} s:\n{''.join(self.lines)}")
            time.sleep(0.05)

    def test_the_camera_card_has_values_and_the_log_stays_quiet(self):
        identity = h.wait_status(lambda d: d["deviceModel"], what="the identity")
        self.assertEqual(identity["serialNumber"], "02C0DE00BEEF")
        self.assertEqual(identity["deviceModel"], "Corvane camera emulator")
        self.assertEqual(identity["axisOsVersion"], os.uname().release)
        self.assertEqual(identity["architecture"], os.uname().machine)
        for _ in range(3):
            h.status()
        # The device-information API wants the service account's credential.
        with self.assertRaises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen(urllib.request.Request(
                "http://127.0.0.12/axis-cgi/basicdeviceinfo.cgi", method="POST",
                data=b'{"apiVersion":"1.3","method":"getAllProperties"}'), timeout=5)
        self.assertEqual(refused.exception.code, 401)

        self.run_sh.send_signal(signal.SIGINT)
        self.assertEqual(self.run_sh.wait(15), 0)
        self.wait_for("Application was stopped by SIGTERM or SIGINT.")
        # Nothing but the greeting and the program's lines at level info.
        info = re.compile(r"\w{3} [ \d]\d [\d:]{8} info ")
        others = [line for line in self.lines if not info.match(line)]
        self.assertEqual(others, [GREETING], "".join(self.lines))


if __name__ == "__main__":
    unittest.main(verbosity=2)
