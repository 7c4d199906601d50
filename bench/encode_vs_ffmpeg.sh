#!/usr/bin/env bash
# CPU time of encoding the same PCM into the same track (48 kHz mono AAC, 40 kbit/s): our
# TrackWriter path (track_writer_bench) against the ffmpeg command, for speech and for noise,
# in the three source formats. Each case's PCM is dumped by the benchmark itself, so ffmpeg
# gets exactly the samples we encode. Prints ours / ffmpeg; what we add around the encoder
# should keep that at 1.15 or below.
#   bench/encode_vs_ffmpeg.sh [BUILD_DIR] [SECONDS]   (SECONDS defaults to 3600)
set -euo pipefail
build=${1:-build}
seconds=${2:-3600}
bench="$build/bench/track_writer_bench"
work=$(mktemp -d /tmp/zuno-encode-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# User plus system seconds of a command.
cpu() { /usr/bin/time -f "%U %S" "$@" 2>&1 >/dev/null | tail -1 | awk '{print $1 + $2}'; }

# CPU seconds of one benchmark case, from the library's JSON report.
ours() {
  "$bench" --seconds="$seconds" --benchmark_filter="^TrackWriter/$1/" --benchmark_format=json |
    python3 -c '
import json, sys
run = json.load(sys.stdin)["benchmarks"][0]
scale = {"s": 1, "ms": 1e-3, "us": 1e-6, "ns": 1e-9}[run["time_unit"]]
print("%.2f" % (run["cpu_time"] * scale))'
}

printf '%-8s %-18s %9s %9s %7s\n' input source ours_s ffmpeg_s ratio
for input in speech noise; do
  for case in "processing_format 48000 1" "48000Hz_stereo 48000 2" "44100Hz_stereo 44100 2"; do
    read -r name rate channels <<<"$case"
    raw="$work/in.raw"
    "$bench" --seconds="$seconds" --dump="$input/$name:$raw"
    theirs=$(cpu ffmpeg -nostdin -v error -y -f f32le -ar "$rate" -ac "$channels" -i "$raw" \
      -c:a aac -b:a 40k -ac 1 -ar 48000 "$work/ffmpeg.m4a")
    mine=$(ours "$input/$name")
    ratio=$(python3 -c "print(f'{$mine / $theirs:.3f}')")
    printf '%-8s %-18s %9s %9s %7s\n' "$input" "$name" "$mine" "$theirs" "$ratio"
    rm -f "$raw"
  done
done
