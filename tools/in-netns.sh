#!/usr/bin/env bash
# in-netns.sh COMMAND...: runs COMMAND in a network namespace of its own with
# only a loopback interface, so port 30920, 127.0.0.12:80 and the RTMP ports
# of one test never meet another test's. Needs root (or user namespaces).
set -euo pipefail
ns=(--net --mount --propagation private)
[[ $(id -u) -eq 0 ]] || ns+=(--map-root-user)
exec unshare "${ns[@]}" -- bash -c 'ip link set lo up && exec "$@"' in-netns "$@"
