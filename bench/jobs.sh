#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Times `sonbar-cli batch --jobs N`, whole commands side by side:
#   1. 40 ten-second 44,100 Hz stereo files to MP3 128 kbit/s at the default quality:
#      --jobs 2 against `xargs -P 2` running lame -q 2 -b 128, and --jobs 1 against a plain
#      loop of lame (sources deleted after, as the batch does);
#   2. the time per file with --jobs 1 for 2,000 and for 20,000 one-second files in one
#      folder to IMA ADPCM;
#   3. the peak memory (max RSS) of --jobs 1, 2 and 4 over 2,000 files.
#
#   bench/jobs.sh [BUILD_DIR]     (default build/release; configured as a Release build
#                                  without sanitizers when it does not exist yet)
# Needs sox, lame, hyperfine, GNU time (/usr/bin/time) and python3. RUNS (default 3) sets
# the timed runs of part 1; BIG (default 20000) the larger folder of part 2.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
runs=${RUNS:-3}
big=${BIG:-20000}

source "$root/bench/common.sh"
need sox lame hyperfine python3 /usr/bin/time

cli=$(release_cli "$build")

make_work_dir jobs-bench

make_inputs() {  # DIR N SECONDS: copies of one tone, older than the stability window
    mkdir -p "$1"
    sox -n -r 44100 -b 16 -c 2 "$work/tone$3.wav" synth "$3" sine 200-4000 gain -3
    for i in $(seq -w 1 "$2"); do cp "$work/tone$3.wav" "$1/file$i.wav"; done
    find "$1" -name '*.wav' -exec touch -d '1 min ago' {} +
}
prepare() { echo "rm -rf '$work/in' '$work/out'; cp -a '$work/$1' '$work/in'; mkdir '$work/out'"; }
settings() {  # extra settings
    "$cli" settings --settings "$work/cfg" source-dirs="$work/in" target-dirs="$work/out" \
        exists=overwrite after=delete "$@" >/dev/null
}

# 1. MP3 with one and two jobs.
make_inputs "$work/mp3src" 40 10
eval "$(prepare mp3src)"
settings target-ext=mp3 --tag mp3 --attributes '128 kBit/s, 44,100Hz, Stereo'
lame_one='lame --quiet -q 2 -b 128 "$0" "'$work'/out/$(basename "$0" .wav).mp3" && rm "$0"'
hyperfine --style basic --runs "$runs" --export-json "$work/mp3.json" \
    --prepare "$(prepare mp3src)" \
    -n jobs2 "'$cli' batch --jobs 2 --settings '$work/cfg' >/dev/null" \
    -n xargs-lame "ls '$work'/in/*.wav | xargs -P 2 -n 1 sh -c '$lame_one'" \
    -n jobs1 "'$cli' batch --jobs 1 --settings '$work/cfg' >/dev/null" \
    -n lame-loop "for f in '$work'/in/*.wav; do sh -c '$lame_one' \"\$f\"; done"

# 2. One folder of 2,000 and of BIG files, one job.
make_inputs "$work/small" 2000 1
make_inputs "$work/big" "$big" 1
eval "$(prepare small)"
settings target-ext=wav --tag ima --attributes '44,100 Hz, 4 Bit, Stereo'
hyperfine --style basic --runs 1 --export-json "$work/folders.json" \
    --prepare "$(prepare small)" -n small "'$cli' batch --jobs 1 --settings '$work/cfg' >/dev/null"
hyperfine --style basic --runs 1 --export-json "$work/folders-big.json" \
    --prepare "$(prepare big)" -n big "'$cli' batch --jobs 1 --settings '$work/cfg' >/dev/null"
rm -rf "$work/big"

# 3. Peak memory by jobs.
for n in 1 2 4; do
    eval "$(prepare small)"
    /usr/bin/time -f %M -o "$work/rss$n" "$cli" batch --jobs "$n" --settings "$work/cfg" >/dev/null
done

python3 - "$work" "$big" <<'PY'
import json, sys
work, big = sys.argv[1], int(sys.argv[2])
def means(name):
    return {x["command"]: x["mean"] for x in json.load(open(f"{work}/{name}"))["results"]}
r = means("mp3.json")
print(f"MP3, 40 x 10 s: jobs2 {r['jobs2']:.2f} s, xargs -P 2 lame {r['xargs-lame']:.2f} s, "
      f"jobs1 {r['jobs1']:.2f} s, lame loop {r['lame-loop']:.2f} s")
print(f"time jobs2/xargs-lame: {r['jobs2'] / r['xargs-lame']:.3f} (goal <= 1.0)")
print(f"time jobs1/lame-loop: {r['jobs1'] / r['lame-loop']:.3f} (goal <= 1.0)")
print(f"speed-up jobs1/jobs2: {r['jobs1'] / r['jobs2']:.3f} (goal >= 1.8 on two cores)")
f = means("folders.json")
f.update(means("folders-big.json"))
small, large = f["small"] / 2000 * 1000, f["big"] / big * 1000
print(f"per file, one folder: 2,000 files {small:.2f} ms, {big:,} files {large:.2f} ms; "
      f"ratio {large / small:.3f} (goal within 0.8 .. 1.2)")
for n in (1, 2, 4):
    mb = int(open(f"{work}/rss{n}").read()) / 1024
    print(f"peak memory, --jobs {n}, 2,000 files: {mb:.1f} MB (goal < {20 + 8 * n} MB)")
PY
