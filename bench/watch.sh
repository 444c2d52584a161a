#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The hot folder's delay and its idle cost, with `sonbar-cli batch --watch` and WaitSeconds 60:
#   1. from a file's close to its target's rename, median and maximum over 20 files written
#      over one second each and closed, and over 20 old files renamed into the folder
#      (targets: IMA ADPCM); the goal is the stability window (2 s) plus 0.5 s for a written
#      file, 0.5 s for one renamed in;
#   2. the CPU time (user + system, from /proc) of a watch over 100 quiet folders during IDLE
#      seconds (default 60), scaled to one hour; the goal is none.
#
#   bench/watch.sh [BUILD_DIR]    (default build/release; configured as a Release build
#                                  without sanitizers when it does not exist yet)
# Needs sox and python3.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
idle=${IDLE:-60}

source "$root/bench/common.sh"
need sox python3

cli=$(release_cli "$build")

make_work_dir watch-bench
mkdir -p "$work/in" "$work/out" "$work/staging"
for i in $(seq 1 100); do mkdir -p "$work/quiet/d$i"; done
sox -n -r 22050 -b 16 -c 1 "$work/tone.wav" synth 1 sine 440 gain -3
for i in $(seq -w 1 20); do cp "$work/tone.wav" "$work/staging/moved$i.wav"; done
touch -d '1 min ago' "$work"/staging/*.wav

"$cli" settings --settings "$work/cfg" source-dirs="$work/in" target-dirs="$work/out" \
    target-ext=wav exists=overwrite after=delete recurse=on wait-seconds=60 \
    --tag ima --attributes '22,050 Hz, 4 Bit, Mono' >/dev/null
"$cli" settings --settings "$work/idle" source-dirs="$work/quiet" target-dirs="$work/out" \
    target-ext=wav recurse=on wait-seconds=60 --tag ima --attributes '22,050 Hz, 4 Bit, Mono' \
    >/dev/null

python3 - "$cli" "$work" "$idle" <<'PY'
import os, statistics, subprocess, sys, time

cli, work, idle = sys.argv[1], sys.argv[2], float(sys.argv[3])
tone = open(os.path.join(work, "tone.wav"), "rb").read()

def wait_for(path):
    while not os.path.exists(path):
        time.sleep(0.002)
    return time.monotonic()

def report(name, delays):
    print(f"{name:34s} median {statistics.median(delays):6.3f} s   max {max(delays):6.3f} s")

# stderr names the files a search met while they were still being written.
batch = subprocess.Popen([cli, "batch", "--watch", "--jobs", "1", "--settings",
                          os.path.join(work, "cfg")], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
try:
    time.sleep(1)
    written = []
    for i in range(20):
        name = f"written{i:02d}.wav"
        with open(os.path.join(work, "in", name), "wb") as f:
            for k in range(10):  # over one second
                f.write(tone[k * len(tone) // 10:(k + 1) * len(tone) // 10])
                f.flush()
                time.sleep(0.1)
        closed = time.monotonic()
        written.append(wait_for(os.path.join(work, "out", name)) - closed)
    moved = []
    for i in range(1, 21):
        name = f"moved{i:02d}.wav"
        os.rename(os.path.join(work, "staging", name), os.path.join(work, "in", name))
        renamed = time.monotonic()
        moved.append(wait_for(os.path.join(work, "out", name)) - renamed)
finally:
    batch.terminate()
    batch.wait()
report("written over 1 s, close -> target", written)
report("old file renamed in -> target", moved)

def cpu(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

quiet = subprocess.Popen([cli, "batch", "--watch", "--settings", os.path.join(work, "idle")],
                         stdout=subprocess.DEVNULL)
try:
    time.sleep(2)  # the first search and the watches set
    before = cpu(quiet.pid)
    time.sleep(idle)
    used = cpu(quiet.pid) - before
finally:
    quiet.terminate()
    quiet.wait()
print(f"idle watch over 101 folders: {used:.2f} s CPU in {idle:.0f} s, "
      f"{used * 3600 / idle:.2f} s per hour")
PY
