"""Resident size of the real program across start/stop cycles with silent
audio against nginx's RTMP module: after the first stream, then after 50,
100 and 200 cycles. Each cycle streams until packets flow, then stops.

    tools/in-netns.sh /usr/bin/python3 bench/cycle_memory_bench.py [CYCLES]
"""
import os
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "blackbox"))
import harness as h  # noqa: E402

PORT = 19351
PROFILE = "videocodec=h264&resolution=1280x720&fps=30"


def nginx(folder):
    conf = os.path.join(folder, "nginx.conf")
    with open(conf, "w") as f:
        f.write("load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\ndaemon off;\nmaster_process off;\n"
                f"pid {folder}/nginx.pid;\nerror_log {folder}/error.log;\nevents {{ worker_connections 64; }}\n"
                f"rtmp {{ server {{ listen 127.0.0.1:{PORT}; application live {{ live on; }} }} }}\n")
    return subprocess.Popen(["/usr/sbin/nginx", "-p", folder, "-e", f"{folder}/error.log", "-c", conf],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def rss_kib(pid):
    # The program runs under with-log.sh's unshare; its own process is the youngest descendant.
    while True:
        children = open(f"/proc/{pid}/task/{pid}/children").read().split()
        if not children:
            break
        pid = int(children[-1])
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])


def one_stream(program, frames=15):
    reply = h.start(f"rtmp://127.0.0.1:{PORT}/live/bench", "H.264 720p", PROFILE, "yes")
    assert reply.status == 200, reply
    h.wait_status(lambda d: d["framesSent"] >= frames, what=f"{frames} frames")
    assert h.post("/api/stop").status == 200


def main():
    cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    with tempfile.TemporaryDirectory() as folder:
        receiver = nginx(folder)
        program = h.Program().start()
        try:
            time.sleep(0.5)
            one_stream(program)
            first = rss_kib(program.proc.pid)
            print(f"after the first stream: {first / 1024:6.1f} MiB")
            began = time.monotonic()
            for cycle in range(1, cycles + 1):
                one_stream(program)
                if cycle in (50, 100, 200) or cycle == cycles:
                    rss = rss_kib(program.proc.pid)
                    print(f"after {cycle:3d} cycles:   {rss / 1024:6.1f} MiB  ({(rss - first) / 1024:+.1f} MiB, "
                          f"{(time.monotonic() - began) / cycle:.2f} s a cycle)")
        finally:
            program.close()
            receiver.kill()
            receiver.wait()


if __name__ == "__main__":
    main()
