# Sourced by scripts that need sound without sound hardware: starts a private PulseAudio server
# in a temporary runtime directory with a null sink as the speakers and a second null sink whose
# monitor, remapped, is the microphone. Play into "micsrc" to speak into the microphone, into
# "speakers" to play what other applications would play.
#   start_private_audio_server   exports PULSE_SERVER and friends, sets AUDIO_SERVER_DIR
#   stop_private_audio_server

start_private_audio_server() {
  AUDIO_SERVER_DIR=$(mktemp -d /tmp/zuno-audio.XXXXXX)
  export XDG_RUNTIME_DIR="$AUDIO_SERVER_DIR" PULSE_RUNTIME_PATH="$AUDIO_SERVER_DIR"
  export PULSE_STATE_PATH="$AUDIO_SERVER_DIR/state" PULSE_SERVER="unix:$AUDIO_SERVER_DIR/native"
  export HOME="${HOME:-$AUDIO_SERVER_DIR}"
  cat >"$AUDIO_SERVER_DIR/default.pa" <<PA
load-module module-native-protocol-unix socket=$AUDIO_SERVER_DIR/native auth-anonymous=1
load-module module-null-sink sink_name=speakers rate=48000 channels=2
load-module module-null-sink sink_name=micsrc rate=48000 channels=1
load-module module-remap-source master=micsrc.monitor source_name=mic
set-default-sink speakers
set-default-source mic
PA
  pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 --disable-shm=true \
    --use-pid-file=false --log-target=file:"$AUDIO_SERVER_DIR/server.log" \
    -F "$AUDIO_SERVER_DIR/default.pa" &
  AUDIO_SERVER_PID=$!
  for _ in $(seq 1 100); do
    if pactl info >/dev/null 2>&1; then
      # An idle null sink renders in blocks of up to two seconds and only picks up a lower
      # latency at its next wake-up, so a recorder connecting to it would get nothing for that
      # long. A low-latency listener on each monitor keeps the virtual devices ticking the way
      # real hardware does.
      AUDIO_SERVER_KEEPALIVE=()
      for monitor in speakers.monitor micsrc.monitor mic; do
        parec --latency-msec=10 --device="$monitor" >/dev/null 2>&1 &
        AUDIO_SERVER_KEEPALIVE+=($!)
      done
      # The sinks take the lower latency at their next wake-up, up to two seconds away.
      sleep 2.5
      return 0
    fi
    sleep 0.1
  done
  echo "private audio server did not start; its log:" >&2
  cat "$AUDIO_SERVER_DIR/server.log" >&2
  return 1
}

stop_private_audio_server() {
  for keepalive in "${AUDIO_SERVER_KEEPALIVE[@]:-}"; do
    [ -n "$keepalive" ] && kill "$keepalive" 2>/dev/null
  done
  [ -n "${AUDIO_SERVER_PID:-}" ] && kill "$AUDIO_SERVER_PID" 2>/dev/null && wait "$AUDIO_SERVER_PID" 2>/dev/null
  [ -n "${AUDIO_SERVER_DIR:-}" ] && rm -rf "$AUDIO_SERVER_DIR"
  return 0
}
