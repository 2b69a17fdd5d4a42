#!/usr/bin/env bash
# Runs the staged program with the camera emulator and shows its system-log
# lines here. Ctrl-C stops it (SIGINT, an orderly shutdown).
#
# The camera's identity comes from stand-ins, as on a camera: the system
# parameter Properties.System.SerialNumber (CORVANE_SERIAL, default below),
# and the device-information API with its service-account credential on a
# private system bus (platform/device-services; port 80 of 127.0.0.12 needs
# root, without it the program falls back to the serial number alone).
set -euo pipefail
cd "$(dirname "$0")/.."
stage=$(realpath "${1:-build/stage}")
export AXPARAMETER_SYSTEM_SERIAL=${CORVANE_SERIAL:-02C0DE000001}
work=$(mktemp -d /tmp/corvane-run.XXXXXX)
sock=$work/log.sock
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$work"' EXIT
python3 tools/logrelay.py "$sock" &
pids+=($!)
while [[ ! -S "$sock" ]]; do sleep 0.05; done

cat > "$work/bus.conf" <<EOF
<busconfig><type>system</type><listen>unix:path=$work/bus</listen><auth>EXTERNAL</auth>
  <policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
  <allow receive_sender="*"/></policy></busconfig>
EOF
if command -v dbus-daemon > /dev/null; then
  # Its complaints (a lower file limit in a container) would only be noise.
  dbus-daemon --nofork --nopidfile --nosyslog --config-file="$work/bus.conf" 2>/dev/null &
  bus=$!
  pids+=($bus)
  while [[ ! -S "$work/bus" ]] && kill -0 $bus 2>/dev/null; do sleep 0.05; done
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus
  "$stage/platform/device-services" "$AXPARAMETER_SYSTEM_SERIAL" "$work/services-ready" &
  services=$!
  pids+=($services)
  # The program asks for its identity once; the services answer first.
  while [[ ! -e "$work/services-ready" ]] && kill -0 $services 2>/dev/null; do sleep 0.05; done
else
  echo "No dbus-daemon (make deps installs it): the camera's identity is its serial number alone"
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus
fi

echo "Corvane on http://localhost:30920/  (Ctrl-C stops it; log lines follow)"
cd "$stage"
set +e
"$OLDPWD/tools/with-log.sh" "$sock" ./corvane &
app=$!
trap 'kill -INT $app 2>/dev/null' INT TERM
wait $app; status=$?
[[ $status -gt 128 ]] && wait $app; status=$?
sleep 0.2
exit $status
