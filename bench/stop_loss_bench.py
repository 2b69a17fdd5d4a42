"""What a stop delivers behind a slow link: the real program publishes 1080p H.264
through a throttling proxy to FFmpeg's RTMP listener and is stopped once 6.0 MB of
video are counted. Per row: frames counted (framesSent) and frames the listener
recorded, the bytes that left the program's socket, the time the stop took, the
resets the namespace sent.

    tools/in-netns.sh /usr/bin/python3 bench/stop_loss_bench.py [STOPS]
"""
import os
import sys
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "blackbox"))
import harness as h  # noqa: E402
from receivers import FfmpegListener, ThrottledLink, tcp_resets  # noqa: E402

FULL_HD = "videocodec=h264&resolution=1920x1080&fps=30&videobitratemode=cbr&videobitrate="
ROWS = [  # label, profile parameters, silent audio, link rate in bytes a second
    ("14.5 Mbit/s, no audio, 1 MB/s link", FULL_HD + "14500", False, 1_000_000),
    ("14.5 Mbit/s, silent audio, 1 MB/s link", FULL_HD + "14500", True, 1_000_000),
    ("40 Mbit/s, no audio, 1 MB/s link", FULL_HD + "40000", False, 1_000_000),
    ("14.5 Mbit/s, silent audio, 4 MB/s link", FULL_HD + "14500", True, 4_000_000),
]
COUNTED = 6_000_000


def one_stop(parameters, audio, rate):
    with FfmpegListener() as listener, ThrottledLink(listener.port, rate) as link:
        assert h.start(link.url, "Bench", parameters, "yes" if audio else "no").status == 200
        h.wait_status(lambda d: d["bytesSent"] >= COUNTED, timeout=60, what="6.0 MB counted")
        resets = tcp_resets()
        began = time.monotonic()
        assert h.post("/api/stop").status == 200
        took = time.monotonic() - began
        counted = h.status()["framesSent"]
        recorded = len(listener.recording(timeout=120).video)
        return counted, recorded, link.received, took, tcp_resets() - resets


def main():
    stops = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    print(f"{stops} stops a row; lost = counted - recorded frames")
    for label, parameters, audio, rate in ROWS:
        with h.Program() as program:
            runs = [one_stop(parameters, audio, rate) for _ in range(stops)]
            dropped = [line for line in program.log.messages(h.WARNING) if "not delivered" in line]
        counted, recorded, left, took, resets = zip(*runs)
        lost = [c - r for c, r in zip(counted, recorded)]
        print(f"{label}: lost {min(lost)}-{max(lost)} of {min(counted)}-{max(counted)} counted;"
              f" left the socket {min(left) / 1e6:.1f}-{max(left) / 1e6:.1f} MB;"
              f" stop {max(took):.2f} s at most; resets {sum(resets)};"
              f" {len(dropped)} warnings of what was not delivered", flush=True)
        for line in dropped[-1:]:
            print(f"    the last: {line}")


if __name__ == "__main__":
    main()
