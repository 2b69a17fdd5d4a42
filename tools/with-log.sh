#!/usr/bin/env bash
# with-log.sh SOCKET COMMAND...: runs COMMAND with its /dev/log bound to
# SOCKET in a private mount namespace, so its syslog lines reach whoever
# listens there. Needs root (or unprivileged user namespaces).
set -euo pipefail
sock=$1; shift
[[ -e /dev/log ]] || touch /dev/log 2>/dev/null || true
ns=(--mount --propagation private)
[[ $(id -u) -eq 0 ]] || ns+=(--map-root-user)
exec unshare "${ns[@]}" -- bash -c 'mount --bind "$0" /dev/log && exec "$@"' "$sock" "$@"
