#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Times `sonbar-cli copy` of ten minutes of 44,100 Hz 16-bit stereo audio (~106 MB) against
# `sox IN OUT` and `cp`, prints sonbar/sox and sonbar/cp, and the peak memory (max RSS) of
# each command, for the ten-minute file and for a one-minute one (the copy's memory must not
# grow with the file).
#
#   bench/copy.sh [BUILD_DIR]      (default build/release; configured as a Release build
#                                   without sanitizers when it does not exist yet)
# Needs sox, hyperfine, GNU time (/usr/bin/time) and python3. RUNS (default 5) sets the timed
# runs per command; WORK_DIR (default a new directory under /tmp) where the files go.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
runs=${RUNS:-5}

source "$root/bench/common.sh"
need sox hyperfine python3 /usr/bin/time

cli=$(release_cli "$build")
[ -x "$cli" ] || cli=$(find "$build" -name sonbar-cli -type f -perm -u+x | head -n1)

make_work_dir copy-bench

sox -n -r 44100 -b 16 -c 2 "$work/in.wav" synth 600 sine 200-4000 pinknoise gain -3
sox -n -r 44100 -b 16 -c 2 "$work/short.wav" synth 60 sine 200-4000 pinknoise gain -3
echo "input: $(stat -c %s "$work/in.wav") bytes"

hyperfine --style basic --warmup 1 --runs "$runs" --export-json "$work/times.json" \
    -n sonbar "'$cli' copy '$work/in.wav' '$work/out-sonbar.wav'" \
    -n sox "sox '$work/in.wav' '$work/out-sox.wav'" \
    -n cp "cp '$work/in.wav' '$work/out-cp.wav'"

python3 - "$work/times.json" <<'PY'
import json, sys
results = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
for other in ("sox", "cp"):
    print(f"time sonbar/{other}: {results['sonbar'] / results[other]:.2f}")
PY

peak() {  # prints the max RSS in KiB of one run of the command
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1
    cat "$work/rss"
}
for input in in short; do
    echo "peak memory (KiB), $input.wav:" \
        "sonbar $(peak "$cli" copy "$work/$input.wav" "$work/o1.wav")" \
        "sox $(peak sox "$work/$input.wav" "$work/o2.wav")" \
        "cp $(peak cp "$work/$input.wav" "$work/o3.wav")"
done
