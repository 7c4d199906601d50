#!/usr/bin/env bash
# How well the two tracks stay aligned over a long recording: the same noise bursts are played
# into the microphone and the speakers at once (one combined sink feeding both), the recorder runs
# for SECONDS (default 600) with a pause every PAUSE_EVERY seconds (default 60, 0 for none), and
# the offset between the tracks is measured by cross-correlation near the start and near the end.
#   bench/track_alignment.sh [BUILD_DIR] [SECONDS] [PAUSE_EVERY]
# ZUNO_TEST_AUDIO_SERVER picks the server kind, as for the tests. Needs python3-numpy.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
seconds=${2:-600}
pause_every=${3:-60}
source "$root/scripts/private-audio-server.sh"
work=$(mktemp -d /tmp/zuno-alignment-bench.XXXXXX)
trap 'jobs -p | xargs -r kill 2>/dev/null || true; stop_private_audio_server; rm -rf "$work"' EXIT
start_private_audio_server
pactl load-module module-combine-sink sink_name=both slaves=micsrc,speakers rate=48000 \
  channels=1 >/dev/null
python3 - "$work/bursts.wav" $((seconds + 30)) <<'PY'
import random, struct, sys, wave
path, seconds = sys.argv[1], int(sys.argv[2])
rate = 48000
random.seed(7)
out = wave.open(path, "wb")
out.setnchannels(1); out.setsampwidth(2); out.setframerate(rate)
# A 50 ms burst of noise at a random place in every second: no two seconds alike, so the
# correlation has one clear peak.
for _ in range(seconds):
    start = random.randrange(0, rate - rate // 20)
    second = bytearray(rate * 2)
    for i in range(start, start + rate // 20):
        struct.pack_into("<h", second, i * 2, random.randint(-12000, 12000))
    out.writeframes(bytes(second))
out.close()
PY
paplay --device=both "$work/bursts.wav" &
recorder_input() {
  local elapsed=0
  while [ "$elapsed" -lt "$seconds" ]; do
    sleep 1
    elapsed=$((elapsed + 1))
    if [ "$pause_every" -gt 0 ] && [ $((elapsed % pause_every)) -eq 0 ]; then
      echo pause
      sleep 0.5
      echo resume
    fi
  done
  echo stop
  sleep 2
}
recorder_input | "$build/zuno-recorder" record --out-dir "$work/out" >/dev/null
for track in mic system; do
  ffmpeg -v error -i "$work/out/$track.m4a" -f f32le -ac 1 -ar 48000 "$work/$track.raw"
done
/usr/bin/python3 - "$work/mic.raw" "$work/system.raw" <<'PY'
import sys
import numpy as np
mic = np.fromfile(sys.argv[1], dtype=np.float32)
system = np.fromfile(sys.argv[2], dtype=np.float32)
rate = 48000
def offset_ms(at):
    # The system track's lag behind the microphone's around `at` seconds, by cross-correlating
    # ten seconds of each within +-0.5 s.
    window, reach = 10 * rate, rate // 2
    a = mic[at * rate: at * rate + window]
    b = system[at * rate - reach: at * rate + window + reach]
    corr = np.correlate(b, a, mode="valid")
    return (int(np.argmax(np.abs(corr))) - reach) * 1000 / rate
length = min(len(mic), len(system)) // rate
start, end = offset_ms(5), offset_ms(length - 15)
print(f"tracks: mic {len(mic) / rate:.3f} s, system {len(system) / rate:.3f} s; "
      f"system behind mic by {start:.1f} ms at 5 s and {end:.1f} ms at {length - 15} s: "
      f"drift {end - start:+.1f} ms")
PY
