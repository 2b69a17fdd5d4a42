#!/usr/bin/env python3
"""Receives syslog datagrams on a socket and prints them, one line each.

The program logs only to the system log; tools/with-log.sh points its
/dev/log at this socket so the person running it sees the lines."""
import os
import re
import socket
import sys

LEVELS = ["emerg", "alert", "crit", "error", "warning", "notice", "info", "debug"]

def main():
    path = sys.argv[1]
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    os.chmod(path, 0o666)
    while True:
        data = sock.recv(65536).decode("utf-8", "replace")
        match = re.match(r"<(\d+)>(.{15}) (.*)", data, re.S)
        if match:
            level = LEVELS[int(match.group(1)) & 7]
            line = f"{match.group(2)} {level:7} {match.group(3)}"
        else:
            line = data
        print(line.rstrip("\n"), flush=True)

if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
