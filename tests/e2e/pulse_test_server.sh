#!/bin/sh
# A private audio server for tests, isolated from any server of the user's session.
#
#   pulse_test_server.sh start DIR   start it with its socket, runtime and state in DIR; prints
#                                    the PULSE_SERVER value clients must use
#   pulse_test_server.sh stop DIR    stop it again
#
# Devices: sink "speakers" (the default sink: what other apps play), sink "micsrc" (play into
# it to speak into the microphone) and source "mic" remapped from micsrc's monitor (the default
# source), all stereo; the speakers at 48 kHz, the microphone at 44.1 kHz, so a client that
# confuses the two devices' formats shows. Play into each at its own rate: a null sink
# switches to a player's other rate and its monitor then delivers the wrong amount of audio. Root runs are allowed, since test containers often run as root.
set -eu

command=${1:-}
dir=${2:-}
if [ -z "$command" ] || [ -z "$dir" ]; then
  echo "usage: $0 start|stop DIR" >&2
  exit 2
fi

server="unix:$dir/native"

case "$command" in
  start)
    mkdir -p "$dir/runtime" "$dir/home"
    chmod 700 "$dir/runtime"
    cat >"$dir/default.pa" <<SCRIPT
load-module module-native-protocol-unix socket=$dir/native auth-anonymous=1
load-module module-null-sink sink_name=speakers rate=48000 channels=2
load-module module-null-sink sink_name=micsrc rate=44100 channels=2
load-module module-remap-source master=micsrc.monitor source_name=mic
set-default-sink speakers
set-default-source mic
SCRIPT
    HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" PULSE_RUNTIME_PATH="$dir/runtime" \
      PULSE_STATE_PATH="$dir/state" PULSE_SERVER="$server" \
      pulseaudio -n --daemonize=no --system=false --use-pid-file=false --exit-idle-time=-1 \
      --disable-shm=true --log-target=file:"$dir/server.log" -F "$dir/default.pa" \
      </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/server.pid"
    # Ready once it answers; give up after ten seconds instead of hanging the test run.
    tries=0
    until PULSE_SERVER="$server" pactl info >/dev/null 2>&1; do
      tries=$((tries + 1))
      if [ "$tries" -ge 100 ] || ! kill -0 "$(cat "$dir/server.pid")" 2>/dev/null; then
        echo "the private audio server did not start; its log:" >&2
        cat "$dir/server.log" >&2 2>/dev/null || true
        exit 1
      fi
      sleep 0.1
    done
    echo "$server"
    ;;
  stop)
    if [ -f "$dir/server.pid" ]; then
      pid=$(cat "$dir/server.pid")
      kill "$pid" 2>/dev/null || true
      tries=0
      while kill -0 "$pid" 2>/dev/null && [ "$tries" -lt 50 ]; do
        tries=$((tries + 1))
        sleep 0.1
      done
      kill -9 "$pid" 2>/dev/null || true
      rm -f "$dir/server.pid"
    fi
    ;;
  *)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
