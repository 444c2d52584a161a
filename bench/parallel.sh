#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Tries the README's way beyond one machine once: GNU parallel hands `sonbar-cli convert`
# per file to two "machines", here both this host (an ssh stand-in runs the command locally
# and notes which "machine" ran it). Prints how many files each ran and checks that every
# source became exactly one MP3 and is gone.
#
#   bench/parallel.sh [BUILD_DIR] [FILES]     (default build/release, 40 files)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
files=${2:-40}
source "$root/bench/common.sh"
need sox parallel
cli=$(release_cli "$build")

make_work_dir parallel
mkdir -p "$work/in" "$work/out"
sox -n -r 44100 -b 16 -c 2 "$work/tone.wav" synth 2 sine 200-4000 gain -3
for i in $(seq -w 1 "$files"); do cp "$work/tone.wav" "$work/in/f$i.wav"; done

# ssh HOST COMMAND...: runs COMMAND here and notes HOST.
cat >"$work/fake-ssh" <<SH
#!/bin/sh
host=\$1; shift
[ "\$1" = "--" ] && shift
echo "\$host" >>"$work/hosts"
exec sh -c "\$*"
SH
chmod +x "$work/fake-ssh"

start=$(date +%s.%N)
find "$work/in" -name '*.wav' | parallel -S 1/machineA,1/machineB --ssh "$work/fake-ssh" \
    --joblog "$work/jobs.log" \
    "'$cli' convert --tag mp3 --attributes '128 kBit/s, 44,100Hz, Stereo' {} '$work/out/'{/.}.mp3 && rm {}"
end=$(date +%s.%N)

echo "machines: $(sort "$work/hosts" | uniq -c | tr '\n' ' ')"
echo "time: $(echo "$end - $start" | bc) s for $files files"
echo "MP3 files: $(ls "$work/out" | wc -l), sources left: $(ls "$work/in" | wc -l)"
echo "failed jobs: $(awk 'NR > 1 && $7 != 0' "$work/jobs.log" | wc -l)"
