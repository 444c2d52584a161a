#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Times `sonbar-cli convert` against the standard tools on the same ten minutes of 44,100 Hz
# 16-bit stereo audio (GSM: 8,000 Hz mono), whole commands with hyperfine, and prints for each
# case ours/fastest-tool in wall-clock and in CPU time, and the peak memory (max RSS) of every
# command.
#
#   bench/convert.sh [BUILD_DIR]      (default build/release; configured as a Release build
#                                      without sanitizers when it does not exist yet)
# Needs sox, hyperfine, python3 and GNU time (/usr/bin/time); lame, mpg123 and ffmpeg are
# timed when installed. RUNS (default 3) sets the timed runs per command, SECONDS_OF_AUDIO
# (default 600) the input's length, CASES (default all) a space-separated subset of:
#   mp3 mp3-speed mp3-decode rate rate-speed ima msadpcm alaw ulaw gsm pcm
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
runs=${RUNS:-3}
length=${SECONDS_OF_AUDIO:-600}
cases=${CASES:-mp3 mp3-speed mp3-decode rate rate-speed ima msadpcm alaw ulaw gsm pcm}

source "$root/bench/common.sh"
need sox hyperfine python3 /usr/bin/time
have() { command -v "$1" >/dev/null; }

cli=$(release_cli "$build")
[ -x "$cli" ] || cli=$(find "$build" -name sonbar-cli -type f -perm -u+x | head -n1)

make_work_dir convert-bench

# A sweep on the left, pink noise on the right: neither is trivial for a codec.
sox -n -r 44100 -b 16 -c 2 "$work/in.wav" synth "$length" sine 200-4000 pinknoise gain -3
sox -n -r 8000 -b 16 -c 1 "$work/phone.wav" synth "$length" sine 200-3000 gain -3
echo "input: $length s, $(stat -c %s "$work/in.wav") bytes (44,100 Hz stereo)," \
    "$(stat -c %s "$work/phone.wav") bytes (8,000 Hz mono)"

# The MP3 inputs of the decoding case: ours in WAVE, lame's as a plain MP3 stream.
prepare_mp3() {
    [ -f "$work/in-mp3.wav" ] && return
    "$cli" convert --tag 85 --attributes '128 kBit/s, 44,100Hz, Stereo' "$work/in.wav" \
        "$work/in-mp3.wav"
    if have lame; then lame --quiet -b 128 "$work/in.wav" "$work/in.mp3"; fi
}

summary=$work/summary.txt
: >"$summary"

# run_case NAME -- OURS -- NAME1 CMD1 [NAME2 CMD2 ...]: times our command and the tools'
# commands, then records ours/fastest and each command's peak memory.
run_case() {
    local name=$1 ours=$2
    shift 2
    local -a args=(-n sonbar "$ours")
    local -a cmds=("$ours")
    while [ $# -ge 2 ]; do
        args+=(-n "$1" "$2")
        cmds+=("$2")
        shift 2
    done
    echo
    echo "== $name"
    hyperfine --style basic --runs "$runs" --export-json "$work/$name.json" "${args[@]}"
    local memory=""
    local i=0
    for cmd in "${cmds[@]}"; do
        /usr/bin/time -v -o "$work/rss" bash -c "$cmd" >/dev/null 2>&1
        memory+="$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][int(sys.argv[2])]["command"])' \
            "$work/$name.json" "$i")=$(awk -F': ' '/Maximum resident/ {print $2}' "$work/rss")KiB "
        i=$((i + 1))
    done
    python3 - "$work/$name.json" "$name" "$memory" >>"$summary" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
ours = results[0]
tools = results[1:]
fastest = min(tools, key=lambda r: r["mean"])
# On a shared machine the wall clock swings with the load; CPU time (user + system) less so.
cpu = lambda r: r["user"] + r["system"]
leanest = min(tools, key=cpu)
times = ", ".join(f"{r['command']} {r['mean']:.2f}s/{cpu(r):.2f}s" for r in results)
print(f"{sys.argv[2]:<11} wall ours/{fastest['command']} = {ours['mean'] / fastest['mean']:.2f}"
      f"  cpu ours/{leanest['command']} = {cpu(ours) / cpu(leanest):.2f}"
      f"   (wall/cpu: {times})   peak RSS: {sys.argv[3]}")
PY
}

q() { printf '%q' "$1"; }
IN=$(q "$work/in.wav")
OUT=$(q "$work/out.wav")

for c in $cases; do
    case $c in
    mp3)
        tools=()
        if have lame; then tools+=(lame "lame --quiet -b 128 -q 2 $IN $(q "$work/out.mp3")"); fi
        if have ffmpeg; then
            tools+=(ffmpeg "ffmpeg -nostdin -v error -y -i $IN -c:a libmp3lame -b:a 128k -compression_level 2 $(q "$work/out-ff.mp3")")
        fi
        run_case mp3 "$cli convert --tag 85 --attributes '128 kBit/s, 44,100Hz, Stereo' $IN $OUT" "${tools[@]}"
        ;;
    mp3-speed)
        tools=()
        if have lame; then tools+=(lame "lame --quiet -b 128 -q 7 $IN $(q "$work/out.mp3")"); fi
        if have ffmpeg; then
            tools+=(ffmpeg "ffmpeg -nostdin -v error -y -i $IN -c:a libmp3lame -b:a 128k -compression_level 7 $(q "$work/out-ff.mp3")")
        fi
        run_case mp3-speed "$cli convert --speed --tag 85 --attributes '128 kBit/s, 44,100Hz, Stereo' $IN $OUT" "${tools[@]}"
        ;;
    mp3-decode)
        prepare_mp3
        tools=()
        if have mpg123 && [ -f "$work/in.mp3" ]; then
            tools+=(mpg123 "mpg123 -q -w $OUT $(q "$work/in.mp3")")
        fi
        if have ffmpeg; then
            tools+=(ffmpeg "ffmpeg -nostdin -v error -y -i $(q "$work/in-mp3.wav") -c:a pcm_s16le $(q "$work/out-ff.wav")")
        fi
        run_case mp3-decode "$cli convert --tag 1 $(q "$work/in-mp3.wav") $OUT" "${tools[@]}"
        ;;
    rate)
        tools=(sox "sox $IN -r 22050 $OUT" sox-v "sox $IN $OUT rate -v 22050")
        if have ffmpeg; then
            tools+=(ffmpeg "ffmpeg -nostdin -v error -y -i $IN -ar 22050 $(q "$work/out-ff.wav")")
        fi
        run_case rate "$cli convert --tag 1 --rate 22050 $IN $OUT" "${tools[@]}"
        ;;
    rate-speed)
        run_case rate-speed "$cli convert --speed --tag 1 --rate 22050 $IN $OUT" \
            sox-q "sox $IN $OUT rate -q 22050"
        ;;
    ima | msadpcm | alaw | ulaw)
        declare -A tag=([ima]=17 [msadpcm]=2 [alaw]=6 [ulaw]=7)
        declare -A soxenc=([ima]=ima-adpcm [msadpcm]=ms-adpcm [alaw]=a-law [ulaw]=u-law)
        declare -A ffenc=([ima]=adpcm_ima_wav [msadpcm]=adpcm_ms [alaw]=pcm_alaw [ulaw]=pcm_mulaw)
        tools=(sox "sox $IN -e ${soxenc[$c]} $(q "$work/out-sox.wav")")
        if have ffmpeg; then
            tools+=(ffmpeg "ffmpeg -nostdin -v error -y -i $IN -c:a ${ffenc[$c]} $(q "$work/out-ff.wav")")
        fi
        run_case "$c" "$cli convert --tag ${tag[$c]} $IN $OUT" "${tools[@]}"
        ;;
    gsm)
        run_case gsm "$cli convert --tag 49 $(q "$work/phone.wav") $OUT" \
            sox "sox $(q "$work/phone.wav") -e gsm-full-rate $(q "$work/out-sox.wav")"
        ;;
    pcm)
        run_case pcm "$cli convert --tag 1 $IN $OUT" sox "sox $IN $(q "$work/out-sox.wav")"
        ;;
    *)
        echo "convert.sh: unknown case $c" >&2
        exit 1
        ;;
    esac
done

echo
echo "== ours / fastest tool (mean of $runs runs; wall clock and CPU time)"
cat "$summary"
