#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Times `sonbar-cli batch` over 200 one-second 44,100 Hz stereo files recoded to IMA ADPCM
# (sources deleted after) against a shell loop calling ffmpeg once per file and one calling
# `sonbar-cli convert` once per file; then the batch's time per file for 200 and for 2,000
# files in one folder, and its peak memory (max RSS).
#
#   bench/batch.sh [BUILD_DIR]     (default build/release; configured as a Release build
#                                   without sanitizers when it does not exist yet)
# Needs sox, ffmpeg, hyperfine, GNU time (/usr/bin/time) and python3. RUNS (default 3) sets
# the timed runs per command; WORK_DIR (default a new directory under /tmp) where files go.
# The batch runs at priority 3 (normal), as the tools it is compared with do.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
runs=${RUNS:-3}

source "$root/bench/common.sh"
need sox ffmpeg hyperfine python3 /usr/bin/time

cli=$(release_cli "$build")

make_work_dir batch-bench

# N one-second files, older than the batch's 2-second stability window.
make_inputs() {  # DIR N
    mkdir -p "$1"
    sox -n -r 44100 -b 16 -c 2 "$work/tone.wav" synth 1 sine 200-4000 gain -3
    for i in $(seq -w 1 "$2"); do cp "$work/tone.wav" "$1/file$i.wav"; done
    touch -d '1 min ago' "$1"/*.wav
}
make_inputs "$work/t200" 200
make_inputs "$work/t2000" 2000

mkdir -p "$work/in" "$work/out"
"$cli" settings --settings "$work/cfg" source-dirs="$work/in" target-dirs="$work/out" \
    target-ext=wav exists=overwrite after=delete priority=3 \
    --tag ima --attributes '44,100 Hz, 4 Bit, Stereo' >/dev/null
prepare() { echo "rm -rf '$work/in' '$work/out'; cp -a '$work/$1' '$work/in'; mkdir '$work/out'"; }

hyperfine --style basic --runs "$runs" --export-json "$work/times.json" \
    --prepare "$(prepare t200)" \
    -n batch "'$cli' batch --settings '$work/cfg' >/dev/null" \
    -n ffmpeg-loop "for f in '$work'/in/*.wav; do ffmpeg -v error -y -i \"\$f\" -c:a adpcm_ima_wav \"$work/out/\${f##*/}\" && rm \"\$f\"; done" \
    -n convert-loop "for f in '$work'/in/*.wav; do '$cli' convert --tag ima --attributes '44,100 Hz, 4 Bit, Stereo' \"\$f\" \"$work/out/\${f##*/}\" && rm \"\$f\"; done"

hyperfine --style basic --runs "$runs" --export-json "$work/times2000.json" \
    --prepare "$(prepare t2000)" \
    -n batch2000 "'$cli' batch --settings '$work/cfg' >/dev/null"

eval "$(prepare t2000)"
/usr/bin/time -f %M -o "$work/rss" "$cli" batch --settings "$work/cfg" >/dev/null

python3 - "$work/times.json" "$work/times2000.json" "$work/rss" <<'PY'
import json, sys
r = {x["command"]: x["mean"] for x in json.load(open(sys.argv[1]))["results"]}
r.update({x["command"]: x["mean"] for x in json.load(open(sys.argv[2]))["results"]})
print(f"per file: batch {r['batch'] / 200 * 1000:.2f} ms, ffmpeg loop {r['ffmpeg-loop'] / 200 * 1000:.2f} ms, "
      f"convert loop {r['convert-loop'] / 200 * 1000:.2f} ms, batch of 2,000 {r['batch2000'] / 2000 * 1000:.2f} ms")
print(f"time batch/ffmpeg-loop: {r['batch'] / r['ffmpeg-loop']:.3f} (goal <= 0.1)")
print(f"time batch/convert-loop: {r['batch'] / r['convert-loop']:.3f} (goal <= 1.0)")
print(f"per file 2,000 / 200: {(r['batch2000'] / 2000) / (r['batch'] / 200):.3f} (goal: flat)")
print(f"peak memory of the 2,000-file batch: {int(open(sys.argv[3]).read()) / 1024:.1f} MB (goal < 20 MB)")
PY
