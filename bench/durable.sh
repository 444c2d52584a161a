#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A batch of FILES (default 2,000) one-second 44,100 Hz stereo files recoded to IMA ADPCM,
# sources deleted after, against the floor of what any program that keeps every file safe
# must do: for each file, in one process, read it, write NAME.part, fsync it, rename it,
# fsync the folder and delete the source. The floor runs twice: writing the source's bytes
# (a copy) and writing the IMA target's bytes (the same bytes the batch writes); and once
# more grouped as the batch groups (64 files: their fsyncs, their renames, one folder fsync,
# then their deletions), for comparison. Each command runs ROUNDS times (default 5), in
# turn; medians per file and the ratios are printed.
#
#   bench/durable.sh [BUILD_DIR]    (default build/release)
# Needs sox, python3. WORK_DIR (default /tmp) holds the files: a folder on the disk to
# measure (tmpfs makes every fsync free).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
rounds=${ROUNDS:-5}
files=${FILES:-2000}

source "$root/bench/common.sh"
need sox python3

cli=$(release_cli "$build")
make_work_dir durable-bench

mkdir -p "$work/src" "$work/ima"
sox -n -r 44100 -b 16 -c 2 "$work/tone.wav" synth 1 sine 200-4000 gain -3
"$cli" convert --tag ima --attributes '44,100 Hz, 4 Bit, Stereo' "$work/tone.wav" \
    "$work/tone-ima.wav" >/dev/null
for i in $(seq -w 1 "$files"); do
    cp "$work/tone.wav" "$work/src/file$i.wav"
    cp "$work/tone-ima.wav" "$work/ima/file$i.wav"
done
touch -d '1 min ago' "$work/src"/*.wav
mkdir -p "$work/in" "$work/out"
"$cli" settings --settings "$work/cfg" source-dirs="$work/in" target-dirs="$work/out" \
    target-ext=wav exists=overwrite after=delete priority=3 \
    --tag ima --attributes '44,100 Hz, 4 Bit, Stereo' >/dev/null

cat >"$work/floor.py" <<'PY'
import os, sys
src, out, group = sys.argv[1], sys.argv[2], int(sys.argv[3])
dirfd = os.open(out, os.O_RDONLY | os.O_DIRECTORY)
names = sorted(os.listdir(src))
for start in range(0, len(names), group):
    done = []
    for name in names[start:start + group]:
        fd = os.open(os.path.join(src, name), os.O_RDONLY)
        data = os.read(fd, 1 << 24)
        os.close(fd)
        part = os.path.join(out, name + ".part")
        fd = os.open(part, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        os.write(fd, data)
        if group == 1:
            os.fsync(fd)
        os.close(fd)
        done.append(name)
    if group > 1:
        for name in done:
            fd = os.open(os.path.join(out, name + ".part"), os.O_RDONLY)
            os.fsync(fd)
            os.close(fd)
    for name in done:
        os.rename(os.path.join(out, name + ".part"), os.path.join(out, name))
        if group == 1:
            os.fsync(dirfd)
    if group > 1:
        os.fsync(dirfd)
    for name in done:
        os.unlink(os.path.join(src, name))
PY

prepare() {  # FROM
    rm -rf "$work/in" "$work/out"
    cp -a "$work/$1" "$work/in"
    mkdir "$work/out"
    sync
}
times=$work/times
: >"$times"
run() {  # LABEL FROM COMMAND...
    local label=$1 from=$2
    shift 2
    prepare "$from"
    local t0 t1
    t0=$(date +%s.%N)
    "$@" >/dev/null
    t1=$(date +%s.%N)
    echo "$label $(python3 -c "print($t1 - $t0)")" >>"$times"
    [ -z "$(ls -A "$work/in")" ] || { echo "$label left sources behind" >&2; exit 1; }
}
echo "$files files, $rounds rounds, in $work; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((r = 0; r < rounds; r++)); do
    run batch src "$cli" batch --settings "$work/cfg" --jobs 1
    run batch-2-jobs src "$cli" batch --settings "$work/cfg" --jobs 2
    run floor-source src python3 "$work/floor.py" "$work/in" "$work/out" 1
    run floor-target ima python3 "$work/floor.py" "$work/in" "$work/out" 1
    run floor-grouped ima python3 "$work/floor.py" "$work/in" "$work/out" 64
done

python3 - "$times" "$files" <<'PY'
import statistics, sys
rows = {}
for line in open(sys.argv[1]):
    label, t = line.split()
    rows.setdefault(label, []).append(float(t))
files = int(sys.argv[2])
m = {k: statistics.median(v) for k, v in rows.items()}
for k, v in m.items():
    spread = ", ".join(f"{t / files * 1000:.2f}" for t in rows[k])
    print(f"{k:14} {v / files * 1000:.3f} ms per file (median of {spread})")
for batch in ("batch", "batch-2-jobs"):
    for floor in ("floor-source", "floor-target"):
        print(f"{batch}/{floor}: {m[batch] / m[floor]:.2f} (goal <= 1.0)")
print(f"batch/floor-grouped: {m['batch'] / m['floor-grouped']:.2f}")
PY
