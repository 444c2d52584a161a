#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Times `sonbar-cli convert --threaded` against plain `convert` on ten minutes of 44,100 Hz
# 16-bit stereo audio, for MP3 encoding and for a rate change, and prints threaded/plain.
#
#   bench/threaded.sh [BUILD_DIR]      (default build/release; configured as a Release build
#                                       without sanitizers when it does not exist yet)
# Needs sox, hyperfine and python3. RUNS (default 5) sets the timed runs per command.
# The wall-clock ratio only means something on an otherwise idle machine; hyperfine's user
# times show the extra work the copies through the FIFOs cost.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
runs=${RUNS:-5}

for tool in sox hyperfine python3; do
    command -v "$tool" >/dev/null || { echo "threaded.sh: $tool is needed" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSONBAR_SANITIZE=OFF \
        -DSONBAR_TESTS=OFF -DSONBAR_GUI=OFF >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
fi
cmake --build "$build" -j2 --target sonbar-cli >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
cli=$build/src/cli/sonbar-cli
[ -x "$cli" ] || cli=$(find "$build" -name sonbar-cli -type f -perm -u+x | head -n1)

# A sweep on the left, pink noise on the right: neither is trivial for the encoder.
sox -n -r 44100 -b 16 -c 2 "$work/in.wav" synth 600 sine 200-4000 pinknoise gain -6

run_case() {
    local name=$1
    shift
    # The outputs must agree before the timings mean anything.
    "$cli" convert "$@" "$work/in.wav" "$work/plain.wav"
    "$cli" convert --threaded "$@" "$work/in.wav" "$work/threaded.wav"
    cmp "$work/plain.wav" "$work/threaded.wav"

    local args
    args=$(printf '%q ' "$@")
    hyperfine --warmup 1 --runs "$runs" --export-json "$work/$name.json" \
        -n "$name plain" "$cli convert $args $work/in.wav $work/plain.wav" \
        -n "$name threaded" "$cli convert --threaded $args $work/in.wav $work/threaded.wav"
    python3 - "$work/$name.json" "$name" <<'EOF'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
plain, threaded = results[0], results[1]
print(f"{sys.argv[2]}: plain {plain['mean']:.3f} s ± {plain['stddev'] or 0:.3f}, "
      f"threaded {threaded['mean']:.3f} s ± {threaded['stddev'] or 0:.3f}, "
      f"threaded/plain = {threaded['mean'] / plain['mean']:.3f}")
EOF
}

run_case mp3 --tag "MPEG Layer-3" --attributes "128 kBit/s, 44,100Hz, Stereo"
run_case rate --tag PCM --rate 48000 --bits 16 --channels 2
