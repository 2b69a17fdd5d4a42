"""Runs the page's browser test (ui.test.mjs, with NODE given first) against the
real program under the black-box harness, which shows its log on a failure."""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "blackbox"))
import harness as h  # noqa: E402

# A small sensor keeps the clip quick to encode.
with h.Program({"VDO_EMULATOR_MAX_WIDTH": "640", "VDO_EMULATOR_MAX_HEIGHT": "360",
                "AXPARAMETER_SYSTEM_SERIAL": "ACCC8E0B1C2D"}):
    if subprocess.run([sys.argv[1], "--test", "--test-concurrency=1", os.path.join(HERE, "ui.test.mjs")]).returncode:
        raise AssertionError("the browser test failed")
