#!/usr/bin/env bash
# Our on-device transcription against Debian's pocketsphinx_continuous command, side by side in
# one run, on the same speech and the same model: word error rate against the reference
# transcripts of the LibriVox recordings in pocketsphinx-testdata, wall time and its ratio, and
# our peak memory on a long file. We get the audio as the recorder writes it (48 kHz mono AAC in
# .m4a); the command gets a 16 kHz WAV decoded from that very track, so both hear the same.
#   bench/transcribe_vs_pocketsphinx.sh [BUILD_DIR] [MINUTES] [MEMORY_HOURS] [RUNS]
# MINUTES (default 10) sizes the timed file, MEMORY_HOURS (default 4, 0 to skip) the one whose
# peak memory is measured; both loop the recordings whole, so no sentence is cut. Each tool runs
# RUNS times (default 1), taking turns, and its shortest wall time counts: on a shared machine
# the shortest is the one least disturbed by others.
# Needs: apt-get install pocketsphinx pocketsphinx-testdata pocketsphinx-en-us ffmpeg python3
set -euo pipefail
build=${1:-build}
minutes=${2:-10}
hours=${3:-4}
runs=${4:-1}
recorder="$build/zuno-recorder"
data=/usr/share/pocketsphinx/test/data/librivox
model=/usr/share/pocketsphinx/model/en-us
here=$(cd "$(dirname "$0")" && pwd)

for need in pocketsphinx_continuous ffmpeg python3; do
  command -v "$need" >/dev/null || {
    echo "$need is missing: apt-get install pocketsphinx pocketsphinx-testdata ffmpeg python3" >&2
    exit 1
  }
done
[ -f "$data/fileids" ] || {
  echo "the test recordings are missing: apt-get install pocketsphinx-testdata" >&2
  exit 1
}
[ -x "$recorder" ] || {
  echo "no $recorder: cmake --build $build --target zuno-recorder" >&2
  exit 1
}
work=$(mktemp -d /tmp/zuno-transcribe-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The recordings one after another, and their transcripts in the same order.
: >"$work/recordings.txt"
: >"$work/reference-once.txt"
while read -r id; do
  echo "file '$data/$id.wav'" >>"$work/recordings.txt"
  grep -F "($id)" "$data/transcription" |
    sed -e 's/<s>//; s/<\/s>//; s/([^()]*)[[:space:]]*$//' >>"$work/reference-once.txt"
done <"$data/fileids"
ffmpeg -nostdin -v error -f concat -safe 0 -i "$work/recordings.txt" -c copy "$work/once.wav"
once_seconds=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$work/once.wav")

# NAME COPIES: the recordings COPIES times over as the recorder's track NAME.m4a, the command's
# NAME.wav decoded from it, and NAME.ref with the transcripts as often.
make_input() {
  local name=$1 copies=$2
  ffmpeg -nostdin -v error -stream_loop $((copies - 1)) -i "$work/once.wav" \
    -c:a aac -b:a 40k -ac 1 -ar 48000 "$work/$name.m4a"
  ffmpeg -nostdin -v error -i "$work/$name.m4a" -ac 1 -ar 16000 "$work/$name.wav"
  for ((copy = 0; copy < copies; copy++)); do cat "$work/reference-once.txt"; done >"$work/$name.ref"
}

# The words of our result line, one line.
words_of_result() {
  python3 -c '
import json, sys
line = json.loads(sys.stdin.readline())
print(" ".join(segment["text"] for segment in line["segments"]))'
}

shortest() { python3 -c "print(min(float(x) for x in '$1 $2'.split()))"; }

seconds_of() { ffprobe -v error -show_entries format=duration -of csv=p=0 "$1"; }

printf '%-10s %8s %9s %9s %9s %9s %6s\n' input audio_s ours_wer cmd_wer ours_s cmd_s speed
compare() {
  local name=$1
  local ours_s= cmd_s= run wall
  for ((run = 0; run < runs; run++)); do
    /usr/bin/time -f "%e" -o "$work/cmd.time" pocketsphinx_continuous -infile "$work/$name.wav" \
      -hmm "$model/en-us" -lm "$model/en-us.lm.bin" -dict "$model/cmudict-en-us.dict" \
      -logfn /dev/null >"$work/$name.cmd.txt"
    wall=$(tail -1 "$work/cmd.time")
    cmd_s=$(shortest "$cmd_s" "$wall")
    /usr/bin/time -f "%e" -o "$work/ours.time" "$recorder" transcribe --audio "$work/$name.m4a" \
      --locale en-US >"$work/$name.json"
    wall=$(tail -1 "$work/ours.time")
    ours_s=$(shortest "$ours_s" "$wall")
  done
  words_of_result <"$work/$name.json" >"$work/$name.ours.txt"
  local ours_wer cmd_wer
  ours_wer=$("$here/transcribe_wer.py" "$work/$name.ref" "$work/$name.ours.txt" | cut -d' ' -f3)
  cmd_wer=$("$here/transcribe_wer.py" "$work/$name.ref" "$work/$name.cmd.txt" | cut -d' ' -f3)
  printf '%-10s %8.1f %9s %9s %9s %9s %6.2f\n' "$name" "$(seconds_of "$work/$name.m4a")" \
    "$ours_wer" "$cmd_wer" "$ours_s" "$cmd_s" "$(python3 -c "print($cmd_s / $ours_s)")"
}

make_input joined 1
compare joined
copies=$(python3 -c "import math; print(math.ceil($minutes * 60 / $once_seconds))")
make_input long "$copies"
compare long
rm -f "$work"/long.*

if ((hours > 0)); then
  copies=$(python3 -c "import math; print(math.ceil($hours * 3600 / $once_seconds))")
  ffmpeg -nostdin -v error -stream_loop $((copies - 1)) -i "$work/once.wav" \
    -c:a aac -b:a 40k -ac 1 -ar 48000 "$work/hours.m4a"
  /usr/bin/time -f "%e %M" -o "$work/hours.time" "$recorder" transcribe \
    --audio "$work/hours.m4a" --locale en-US >"$work/hours.json"
  read -r wall peak_kib <"$work/hours.time"
  words=$(words_of_result <"$work/hours.json" | wc -w)
  printf 'memory: %.0f s of audio, %s words in %s s, peak resident %.1f MiB\n' \
    "$(seconds_of "$work/hours.m4a")" "$words" "$wall" "$(python3 -c "print($peak_kib / 1024)")"
fi
