#!/usr/bin/env bash
# A real recording of SECONDS (default 60) against a private audio server with sound on both
# tracks: the recorder's CPU seconds per minute of two-track audio, and its peak memory.
#   bench/record_process.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
seconds=${2:-60}
source "$root/scripts/private-audio-server.sh"
work=$(mktemp -d /tmp/zuno-record-bench.XXXXXX)
trap 'jobs -p | xargs -r kill 2>/dev/null || true; stop_private_audio_server; rm -rf "$work"' EXIT
start_private_audio_server
sox -q -n -r 48000 -c 1 "$work/voice.wav" synth $((seconds + 5)) sine 300-900 gain -8
sox -q -n -r 48000 -c 2 "$work/music.wav" synth $((seconds + 5)) pinknoise gain -15
paplay --device=micsrc "$work/voice.wav" &
paplay --device=speakers "$work/music.wav" &
{ sleep "$seconds"; echo stop; sleep 2; } |
  /usr/bin/time -f "%U %S %M" -o "$work/time" "$build/zuno-recorder" record --out-dir "$work/out" >/dev/null
read -r user system peak_kib <"$work/time"
python3 - "$user" "$system" "$peak_kib" "$seconds" <<'PY'
import sys
user, system, peak, seconds = float(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
cpu = user + system
print(f"recorded {seconds:.0f} s: {cpu:.2f} s CPU ({user:.2f} user, {system:.2f} system), "
      f"{cpu * 60 / seconds:.2f} CPU seconds per minute of two-track audio, peak memory {peak / 1024:.1f} MiB")
PY
