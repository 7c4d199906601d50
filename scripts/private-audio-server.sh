#!/usr/bin/env bash
# A private audio server: sound without sound hardware, isolated from any server of the user's
# session, for the demo, the benchmarks and the tests. Everything it owns (socket, runtime and
# state, log, process ids) lives in one directory, so several run side by side.
#
# Devices: sink "speakers" (48 kHz stereo, the default sink: what other applications play), sink
# "micsrc" (play into it to speak into the microphone) and source "mic", which delivers what
# micsrc's monitor does (the default source). The microphone is 48 kHz mono unless asked
# otherwise. Play into a sink at its own rate: an idle null sink switches to a player's other
# rate, and its monitor then delivers the wrong amount of audio. As on a desktop, a server left
# without outputs makes a null one ("auto_null"), whose monitor is then the default source.
#
# Run as a command:
#   private-audio-server.sh check                start and stop would work here (exit status)
#   private-audio-server.sh start [OPTION] DIR   start one in DIR, then print the environment its
#                                                clients need, one NAME=VALUE a line
#   private-audio-server.sh stop DIR             stop it; does nothing when nothing runs there
#   private-audio-server.sh kill DIR             end its daemons at once, as a crash would; DIR,
#                                                its socket path and its settings stay
#   private-audio-server.sh restart DIR          start it again in DIR (after a kill, or stopping
#                                                what still runs): the same kind, options, socket
#                                                path and devices; prints the environment again
# Options of start:
#   --mic-rate=HZ --mic-channels=N   the microphone's format
#
# Sourced by a bash script:
#   start_private_audio_server [OPTION]   start one in a new temporary directory, export its
#                                         clients' environment, set AUDIO_SERVER_DIR
#   stop_private_audio_server             stop it and remove the directory; safe to call again
#
# ZUNO_TEST_AUDIO_SERVER chooses the kind of server when it starts: "pulseaudio" (the default,
# classic PulseAudio) or "pipewire" (PipeWire with its session manager and its PulseAudio
# server, as most desktops run it). A kind is three functions: KIND_installed; KIND_start DIR,
# which launches its daemons, lists their ids in DIR/server.pids and prints the clients'
# environment; and KIND_make_microphone DIR RATE CHANNELS, which makes the source "mic" from
# micsrc's monitor in the way that works on that kind. Everything else (the other devices, the
# listeners, stopping) goes through the PulseAudio protocol and process ids, which every kind has.

private_audio_server_script="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")"

start_private_audio_server() {
  local environment line
  AUDIO_SERVER_DIR=$(mktemp -d /tmp/zuno-audio.XXXXXX)
  if ! environment=$("$private_audio_server_script" start "$@" "$AUDIO_SERVER_DIR"); then
    rm -rf "$AUDIO_SERVER_DIR"
    AUDIO_SERVER_DIR=""
    return 1
  fi
  while read -r line; do [ -z "$line" ] || export "${line?}"; done <<<"$environment"
  export HOME="${HOME:-$AUDIO_SERVER_DIR}"
}

stop_private_audio_server() {
  if [ -n "${AUDIO_SERVER_DIR:-}" ]; then
    "$private_audio_server_script" stop "$AUDIO_SERVER_DIR" || true
    rm -rf "$AUDIO_SERVER_DIR"
    AUDIO_SERVER_DIR=""
  fi
  return 0
}

# Sourced, the two functions above are all the caller gets.
if [ "${BASH_SOURCE[0]}" != "$0" ]; then
  return 0
fi

set -euo pipefail
known_kinds="pulseaudio pipewire"
pipewire_config="$(dirname "$private_audio_server_script")/pipewire"

pulseaudio_installed() {
  command -v pulseaudio && command -v pactl && command -v pacat && command -v parec
} >/dev/null 2>&1

pulseaudio_start() {
  local dir=$1
  mkdir -p "$dir/runtime" "$dir/home"
  chmod 700 "$dir/runtime"
  # A desktop's configuration keeps a null output around when there is no other (PipeWire's
  # PulseAudio server does the same), so a machine without a microphone names that output's
  # monitor its default source rather than none.
  cat >"$dir/server.pa" <<PA
load-module module-native-protocol-unix socket=$dir/native auth-anonymous=1
load-module module-always-sink
PA
  # Root runs are allowed, since test containers often run as root.
  HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" PULSE_RUNTIME_PATH="$dir/runtime" \
    PULSE_STATE_PATH="$dir/state" \
    pulseaudio -n --daemonize=no --system=false --use-pid-file=false --exit-idle-time=-1 \
    --disable-shm=true --log-target=file:"$dir/server.log" -F "$dir/server.pa" \
    </dev/null >/dev/null 2>&1 &
  echo $! >>"$dir/server.pids"
  echo "PULSE_SERVER=unix:$dir/native"
  echo "XDG_RUNTIME_DIR=$dir/runtime"
  echo "PULSE_RUNTIME_PATH=$dir/runtime"
}

# The remapped monitor is a source of its own at the asked-for format, as a microphone is.
pulseaudio_make_microphone() {
  local rate=$2 channels=$3
  pactl load-module module-remap-source master=micsrc.monitor source_name=mic rate="$rate" \
    channels="$channels"
}

pipewire_installed() {
  command -v pipewire && command -v wireplumber && command -v pipewire-pulse &&
    command -v pw-link && command -v pactl && command -v pacat && command -v parec
} >/dev/null 2>&1

# PipeWire, its session manager and its PulseAudio server, as a desktop runs them but without
# systemd or a session bus, and with every socket, setting and state file in DIR. The session
# manager's settings come from scripts/pipewire; PipeWire's own are the installed defaults.
pipewire_start() {
  local dir=$1 tries=0
  mkdir -p "$dir/runtime" "$dir/pulse" "$dir/home" "$dir/config" "$dir/state"
  chmod 700 "$dir/runtime" "$dir/pulse"
  rm -rf "$dir/config/wireplumber"
  cp -r "$pipewire_config/wireplumber" "$dir/config/wireplumber"
  # A killed server leaves its socket behind, and the wait below is for the new one.
  rm -f "$dir/runtime/pipewire-0" "$dir/runtime/pipewire-0.lock"
  # Nothing of the caller's session leaks in: no session bus (nor a display one could be
  # autolaunched on), no other PipeWire instance, no other configuration directory.
  local daemon_environment=(
    env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u WAYLAND_DISPLAY -u PIPEWIRE_REMOTE
    -u PIPEWIRE_CONFIG_DIR -u WIREPLUMBER_CONFIG_DIR -u WIREPLUMBER_DATA_DIR -u PULSE_SERVER
    HOME="$dir/home" XDG_RUNTIME_DIR="$dir/runtime" PIPEWIRE_RUNTIME_DIR="$dir/runtime"
    XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" PULSE_RUNTIME_PATH="$dir/pulse"
  )
  "${daemon_environment[@]}" pipewire </dev/null >>"$dir/server.log" 2>&1 &
  echo $! >>"$dir/server.pids"
  # The session manager and the PulseAudio server are PipeWire clients that give up when its
  # socket is not there yet.
  until [ -S "$dir/runtime/pipewire-0" ]; do
    tries=$((tries + 1))
    if [ "$tries" -ge 100 ] || ! server_alive "$dir"; then
      return 1
    fi
    sleep 0.05
  done
  "${daemon_environment[@]}" wireplumber </dev/null >>"$dir/server.log" 2>&1 &
  echo $! >>"$dir/server.pids"
  "${daemon_environment[@]}" pipewire-pulse </dev/null >>"$dir/server.log" 2>&1 &
  echo $! >>"$dir/server.pids"
  echo "PULSE_SERVER=unix:$dir/pulse/native"
  echo "XDG_RUNTIME_DIR=$dir/runtime"
  echo "PULSE_RUNTIME_PATH=$dir/pulse"
}

# PipeWire's PulseAudio server makes a remapped source at the server's rate whatever it is asked
# for, and one told another rate through its node's properties delivers nothing at all. So the
# microphone is a virtual source of its own rate and channels, linked from micsrc's monitor: a
# node that runs at its own rate, as a real microphone of that rate does on PipeWire.
pipewire_make_microphone() {
  local dir=$1 rate=$2 channels=$3 tries=0 outputs=() inputs=() i
  pactl load-module module-null-sink sink_name=mic rate="$rate" channels="$channels" \
    sink_properties=media.class=Audio/Source/Virtual || return 1
  # The ports come some time after the module; both lists are in channel order, whatever the
  # channels are named (FL and FR, or MONO).
  until [ "${#outputs[@]}" -eq "$channels" ] && [ "${#inputs[@]}" -eq "$channels" ]; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || return 1
    [ "$tries" -eq 1 ] || sleep 0.05
    mapfile -t outputs < <(pipewire_client "$dir" pw-link --output 2>/dev/null |
      grep '^micsrc:monitor_')
    mapfile -t inputs < <(pipewire_client "$dir" pw-link --input 2>/dev/null | grep '^mic:input_')
  done
  # A link outlives the pw-link that made it, and goes with either of its nodes.
  for i in "${!outputs[@]}"; do
    pipewire_client "$dir" pw-link "${outputs[$i]}" "${inputs[$i]}" || return 1
  done
}

# Runs a PipeWire client against the server in DIR, whatever PipeWire the caller's session has.
pipewire_client() {
  local dir=$1
  shift
  PIPEWIRE_RUNTIME_DIR="$dir/runtime" env -u PIPEWIRE_REMOTE "$@"
}

audio_server_kind() {
  local kind=${ZUNO_TEST_AUDIO_SERVER:-pulseaudio}
  case " $known_kinds " in
    *" $kind "*) echo "$kind" ;;
    *)
      echo "ZUNO_TEST_AUDIO_SERVER=$kind: unknown kind of audio server" \
        "(known: $known_kinds)" >&2
      return 2
      ;;
  esac
}

# Alive and not a zombie: a server started by a shell that has exited is reaped by whoever
# adopted it, which in a container may be nobody.
process_alive() {
  local stat
  read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

server_alive() {
  local pid
  [ -s "$1/server.pids" ] || return 1
  while read -r pid; do
    process_alive "$pid" || return 1
  done <"$1/server.pids"
}

wait_until_answering() {
  local dir=$1 tries=0
  until pactl info >/dev/null 2>&1; do
    tries=$((tries + 1))
    # Ten seconds at most, so a server that cannot start does not hang a test run.
    if [ "$tries" -ge 100 ] || ! server_alive "$dir"; then
      return 1
    fi
    sleep 0.1
  done
}

make_devices() {
  local kind=$1 dir=$2 mic_rate=$3 mic_channels=$4
  pactl load-module module-null-sink sink_name=speakers rate=48000 channels=2 &&
    pactl load-module module-null-sink sink_name=micsrc rate="$mic_rate" channels="$mic_channels" &&
    "${kind}_make_microphone" "$dir" "$mic_rate" "$mic_channels" &&
    set_default sink speakers &&
    set_default source mic
} >/dev/null

# With PipeWire, the session manager decides the default from what was asked, once it has seen
# the device; until it has, the server still names another one.
set_default() {
  local kind=$1 device=$2 tries=0
  until pactl set-default-"$kind" "$device" 2>/dev/null &&
    [ "$(pactl get-default-"$kind" 2>/dev/null)" = "$device" ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || return 1
    sleep 0.05
  done
}

stop_processes() {
  local list=$1 pid pids=() tries
  [ -f "$list" ] || return 0
  mapfile -t pids <"$list"
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    tries=0
    while process_alive "$pid" && [ "$tries" -lt 50 ]; do
      tries=$((tries + 1))
      sleep 0.1
    done
    if process_alive "$pid"; then kill -9 "$pid" 2>/dev/null || true; fi
  done
  rm -f "$list"
}

stop_command() {
  local dir=$1
  stop_processes "$dir/server.pids"
  return 0
}

# A crash: the daemons get no chance to clean up, so their sockets stay behind as they would.
kill_command() {
  local dir=$1 pid
  if [ -f "$dir/server.pids" ]; then
    while read -r pid; do kill -9 "$pid" 2>/dev/null || true; done <"$dir/server.pids"
  fi
  stop_command "$dir"
}

# Launches the server of the settings saved in DIR (see start_command), makes its devices and
# prints its clients' environment.
launch() {
  local dir=$1 kind mic_rate mic_channels environment line
  read -r kind mic_rate mic_channels <"$dir/server.settings"
  if ! "${kind}_installed"; then
    echo "$kind is not installed here" >&2
    return 1
  fi
  if server_alive "$dir"; then
    echo "an audio server already runs in $dir" >&2
    return 1
  fi
  rm -f "$dir/server.pids"
  if environment=$("${kind}_start" "$dir"); then
    while read -r line; do [ -z "$line" ] || export "${line?}"; done <<<"$environment"
  fi
  if [ -z "$environment" ] || ! wait_until_answering "$dir" ||
    ! make_devices "$kind" "$dir" "$mic_rate" "$mic_channels"; then
    echo "the private audio server did not start; its log:" >&2
    cat "$dir/server.log" >&2 2>/dev/null || true
    stop_command "$dir"
    return 1
  fi
  echo "$environment"
}

start_command() {
  local mic_rate=48000 mic_channels=1 dir="" kind
  while [ $# -gt 0 ]; do
    case "$1" in
      --mic-rate=*) mic_rate=${1#*=} ;;
      --mic-channels=*) mic_channels=${1#*=} ;;
      -*) usage ;;
      *)
        [ -z "$dir" ] || usage
        dir=$1
        ;;
    esac
    shift
  done
  [ -n "$dir" ] || usage
  case "$mic_rate" in '' | *[!0-9]*) usage ;; esac
  case "$mic_channels" in '' | *[!0-9]*) usage ;; esac
  kind=$(audio_server_kind)
  if server_alive "$dir"; then
    echo "an audio server already runs in $dir" >&2
    return 1
  fi
  mkdir -p "$dir"
  # Kept for a restart, which must bring back the same server whatever its caller's environment.
  echo "$kind $mic_rate $mic_channels" >"$dir/server.settings"
  launch "$dir"
}

restart_command() {
  local dir=$1
  if [ ! -f "$dir/server.settings" ]; then
    echo "no audio server was started in $dir" >&2
    return 1
  fi
  stop_command "$dir"
  launch "$dir"
}

usage() {
  echo "usage: private-audio-server.sh check" >&2
  echo "       private-audio-server.sh start [--mic-rate=HZ] [--mic-channels=N] DIR" >&2
  echo "       private-audio-server.sh stop|kill|restart DIR" >&2
  exit 2
}

private_audio_server_main() {
  local kind
  case "${1:-}" in
    check)
      [ $# -eq 1 ] || usage
      kind=$(audio_server_kind) && "${kind}_installed"
      ;;
    start)
      shift
      start_command "$@"
      ;;
    stop | kill | restart)
      [ $# -eq 2 ] || usage
      "${1}_command" "$2"
      ;;
    *) usage ;;
  esac
}

private_audio_server_main "$@"
