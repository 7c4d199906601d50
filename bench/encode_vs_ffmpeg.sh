#!/usr/bin/env bash
# CPU time of encoding the same PCM to the same AAC track (48 kHz mono, 40 kbit/s): our
# TrackWriter path against the ffmpeg command, for speech and for noise, in three source
# formats. Prints the ratio ours / ffmpeg; everything we add around the encoder should cost
# under 15% of it.
#   bench/encode_vs_ffmpeg.sh [BUILD_DIR] [SECONDS]   (SECONDS defaults to 3600)
set -euo pipefail
build=${1:-build}
seconds=${2:-3600}
work=$(mktemp -d /tmp/zuno-encode-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

speech_sources=(/usr/share/pocketsphinx/test/data/librivox/*.wav)
sox "${speech_sources[@]}" -r 48000 -c 1 "$work/speech-once.wav"
once=$(soxi -D "$work/speech-once.wav")
repeats=$(python3 -c "import math; print(math.ceil($seconds / $once))")

cpu() { /usr/bin/time -f "%U %S" "$@" 2>&1 >/dev/null | tail -1 | awk '{print $1 + $2}'; }

printf '%-8s %-22s %10s %10s %7s\n' input source ours_s ffmpeg_s ratio
for input in speech noise; do
  for case in "48000 1" "48000 2" "44100 2"; do
    set -- $case
    rate=$1 channels=$2
    raw="$work/$input-$rate-$channels.raw"
    if [ "$input" = speech ]; then
      sox "$work/speech-once.wav" -t f32 -r "$rate" -c "$channels" "$raw" repeat "$repeats" trim 0 "$seconds"
    else
      sox -n -t f32 -r "$rate" -c "$channels" "$raw" synth "$seconds" whitenoise gain -10
    fi
    ours=$(cpu "$build/bench/encode_raw_pcm" "$raw" "$rate" "$channels" "$work/ours.m4a")
    theirs=$(cpu ffmpeg -v error -y -f f32le -ar "$rate" -ac "$channels" -i "$raw" \
      -c:a aac -b:a 40k -ac 1 -ar 48000 "$work/ffmpeg.m4a")
    ratio=$(python3 -c "print(f'{$ours / $theirs:.3f}')")
    label="${rate} Hz ${channels} ch"
    [ "$case" = "48000 1" ] && label="processing format"
    printf '%-8s %-22s %10s %10s %7s\n' "$input" "$label" "$ours" "$theirs" "$ratio"
    rm -f "$raw"
  done
done
