#!/usr/bin/env bash
# The call watcher against a private audio server for SECONDS (default 120) while 20 capture
# clients come and go (each captures for 2 to 5 s, then is gone for 1 to 3 s; some call
# themselves Zoom, Teams or a browser, the rest are unlisted): the watcher's CPU seconds per
# hour and its resident memory, current and peak.
#   bench/watch_process.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
seconds=${2:-120}
source "$root/scripts/private-audio-server.sh"
work=$(mktemp -d /tmp/zuno-watch-bench.XXXXXX)
trap 'jobs -p | xargs -r kill 2>/dev/null || true; wait 2>/dev/null || true; stop_private_audio_server; rm -rf "$work"' EXIT
start_private_audio_server

"$build/zuno-recorder" watch >"$work/events" 2>"$work/diagnostics" &
watcher=$!

ids=(us.zoom.xos com.microsoft.teams com.google.Chrome org.mozilla.firefox)
client() {
  local n=$1 id
  id=${ids[$((n % 8))]:-org.example.Unlisted$n}
  while :; do
    parec --device=mic --property=application.id="$id" >/dev/null 2>&1 &
    sleep "$((2 + RANDOM % 4))"
    kill $! 2>/dev/null || true
    wait $! 2>/dev/null || true
    sleep "$((1 + RANDOM % 3))"
  done
}
for n in $(seq 0 19); do client "$n" & done

sleep "$seconds"
read -r -a stat <"/proc/$watcher/stat"
ticks=$(getconf CLK_TCK)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$watcher/status")
hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$watcher/status")
kill -TERM "$watcher"
python3 - "${stat[13]}" "${stat[14]}" "$ticks" "$seconds" "$rss" "$hwm" "$work/events" <<'PY'
import sys
utime, stime, ticks, seconds, rss, hwm = (float(v) for v in sys.argv[1:7])
events = sum(1 for _ in open(sys.argv[7]))
cpu = (utime + stime) / ticks
print(f"watched {seconds:.0f} s with 20 clients coming and going: {cpu:.2f} s CPU "
      f"({utime / ticks:.2f} user, {stime / ticks:.2f} system), {cpu * 3600 / seconds:.1f} CPU seconds "
      f"per hour; resident {rss / 1024:.1f} MiB, peak {hwm / 1024:.1f} MiB; {events} call events")
PY
