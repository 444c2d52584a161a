#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Whole commands side by side on ten minutes of 44,100 Hz 16-bit stereo audio (GSM: 8,000 Hz
# mono): `sonbar-cli convert` on one thread and on every processor, against the standard tools
# and the copy floor. The commands of a case run in turn, ROUNDS times over (interleaved, so
# a change in the machine's load touches all of them alike); the medians of wall-clock and CPU
# time, and the peak memory, are printed with the ratios the case is about.
#
#   bench/split.sh [BUILD_DIR]       (default build/release; configured as a Release build
#                                     without sanitizers when it does not exist yet)
# Needs sox, python3 and GNU time (/usr/bin/time); lame and ffmpeg are timed when installed.
# ROUNDS (default 5), SECONDS_OF_AUDIO (default 600), THREADS (default: nproc) and CASES
# (default all) a space-separated subset of: pcm alaw ima msadpcm gsm mp3
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
rounds=${ROUNDS:-5}
length=${SECONDS_OF_AUDIO:-600}
threads=${THREADS:-$(nproc)}
cases=${CASES:-pcm alaw ima msadpcm gsm mp3}

source "$root/bench/common.sh"
need sox python3 /usr/bin/time
have() { command -v "$1" >/dev/null; }

cli=$(release_cli "$build")
make_work_dir split-bench

sox -n -r 44100 -b 16 -c 2 "$work/in.wav" synth "$length" sine 200-4000 pinknoise gain -3
sox -n -r 8000 -b 16 -c 1 "$work/phone.wav" synth "$length" sine 200-3000 gain -3
echo "input: $length s; $threads threads; load before: $(cut -d' ' -f1-3 /proc/loadavg)"

q() { printf '%q' "$1"; }
IN=$(q "$work/in.wav")
PHONE=$(q "$work/phone.wav")
OUT=$(q "$work/out.wav")

# run_case NAME  LABEL1 CMD1  LABEL2 CMD2 ...: every command once per round, in turn. Each
# one starts on a quiet disk with no old output, as a new file would: the tools that do not
# sync leave megabytes to write back, and an old target's blocks are freed on the rename over
# it; neither belongs to the command timed next.
run_case() {
    local name=$1
    shift
    local -a labels=() cmds=()
    while [ $# -ge 2 ]; do
        labels+=("$1")
        cmds+=("$2")
        shift 2
    done
    local times=$work/$name.times
    : >"$times"
    for ((r = 0; r < rounds; r++)); do
        for i in "${!cmds[@]}"; do
            rm -f "$work/out.wav" "$work/out.mp3"
            sync
            /usr/bin/time -f "${labels[$i]} %e %U %S %M" -a -o "$times" bash -c "${cmds[$i]}" \
                >/dev/null 2>&1
        done
    done
    python3 - "$name" "$times" "${labels[@]}" <<'PY'
import statistics, sys
name, path, labels = sys.argv[1], sys.argv[2], sys.argv[3:]
rows = {}
for line in open(path):
    label, wall, user, system, rss = line.split()
    rows.setdefault(label, []).append((float(wall), float(user) + float(system), int(rss)))
med = {l: (statistics.median(w for w, _, _ in rows[l]), statistics.median(c for _, c, _ in rows[l]),
           max(m for _, _, m in rows[l])) for l in labels}
print(f"== {name}: " + ", ".join(f"{l} {w:.2f}s wall/{c:.2f}s cpu/{m // 1024} MB" for l, (w, c, m) in med.items()))
first = labels[0]
for other in labels[1:]:
    print(f"   {first}/{other}: wall {med[first][0] / med[other][0]:.2f}, cpu {med[first][1] / med[other][1]:.2f}")
PY
}

convert() { echo "$cli convert $*"; }

for c in $cases; do
    case $c in
    pcm)
        run_case pcm sonbar "$(convert --tag pcm "$IN" "$OUT")" \
            cp+sync "cp $IN $OUT && sync $OUT"
        ;;
    alaw)
        tools=(sox "sox $IN -e a-law $OUT")
        if have ffmpeg; then tools+=(ffmpeg "ffmpeg -nostdin -v error -y -i $IN -c:a pcm_alaw $OUT"); fi
        run_case alaw sonbar "$(convert --threads 1 --tag alaw "$IN" "$OUT")" \
            "sonbar-$threads" "$(convert --threads "$threads" --tag alaw "$IN" "$OUT")" "${tools[@]}"
        ;;
    ima)
        tools=(sox "sox $IN -e ima-adpcm $OUT")
        run_case ima "sonbar-$threads" "$(convert --threads "$threads" --tag ima "$IN" "$OUT")" \
            sonbar-1 "$(convert --threads 1 --tag ima "$IN" "$OUT")" "${tools[@]}"
        ;;
    msadpcm)
        run_case msadpcm "sonbar-$threads" "$(convert --threads "$threads" --tag msadpcm "$IN" "$OUT")" \
            sonbar-1 "$(convert --threads 1 --tag msadpcm "$IN" "$OUT")" \
            sox "sox $IN -e ms-adpcm $OUT"
        ;;
    gsm)
        run_case gsm "sonbar-$threads" "$(convert --threads "$threads" --tag gsm "$PHONE" "$OUT")" \
            sonbar-1 "$(convert --threads 1 --tag gsm "$PHONE" "$OUT")" \
            sox "sox $PHONE -e gsm-full-rate $OUT"
        ;;
    mp3)
        have lame || continue
        run_case mp3 "sonbar-$threads" "$(convert --threads "$threads" --tag 85 --attributes "'128 kBit/s, 44,100Hz, Stereo'" "$IN" "$OUT")" \
            sonbar-1 "$(convert --threads 1 --tag 85 --attributes "'128 kBit/s, 44,100Hz, Stereo'" "$IN" "$OUT")" \
            lame "lame --quiet -b 128 -q 2 $IN $(q "$work/out.mp3")"
        ;;
    *)
        echo "unknown case $c" >&2
        exit 2
        ;;
    esac
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
