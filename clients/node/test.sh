#!/usr/bin/env bash
# Installs the client's build tools (npm ci), compiles it, and runs its tests against the binary
# given as the first argument (default: build/zuno-recorder) on a private audio server, the kind
# ZUNO_TEST_AUDIO_SERVER chooses.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
binary=$(realpath "${1:-$root/build/zuno-recorder}")
[ -x "$binary" ] || { echo "no zuno-recorder binary at $binary" >&2; exit 1; }

cd "$here"
npm ci --no-audit --no-fund --loglevel=error
npm run --silent build

# shellcheck source=../../scripts/private-audio-server.sh
source "$root/scripts/private-audio-server.sh"
trap stop_private_audio_server EXIT
start_private_audio_server
ZUNO_RECORDER_BIN="$binary" node --test dist/test/client.test.js
