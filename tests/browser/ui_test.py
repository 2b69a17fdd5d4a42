"""Runs the page's browser test (ui.test.mjs, with NODE given first) against the
real program under the black-box harness, which shows its log on a failure, with
nginx as a receiver on which another publisher holds the stream name "taken"."""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "blackbox"))
import harness as h  # noqa: E402
from receivers import NameHolder, Nginx  # noqa: E402

# A small sensor keeps the clip quick to encode.
with h.Program({"VDO_EMULATOR_MAX_WIDTH": "640", "VDO_EMULATOR_MAX_HEIGHT": "360",
                "AXPARAMETER_SYSTEM_SERIAL": "ACCC8E0B1C2D"}), \
        Nginx(port=1937), NameHolder("rtmp://127.0.0.1:1937/live/taken"):
    env = dict(os.environ, NGINX_RTMP="rtmp://127.0.0.1:1937/live",
               TAKEN_URL="rtmp://127.0.0.1:1937/live/taken")
    # Further arguments go to node, e.g. --test-name-pattern=PATTERN.
    test = [sys.argv[1], "--test", "--test-concurrency=1", *sys.argv[2:],
            os.path.join(HERE, "ui.test.mjs")]
    if subprocess.run(test, env=env).returncode:
        raise AssertionError("the browser test failed")
