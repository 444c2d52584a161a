#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What the windows cost: the same batch run by sonbar (offscreen, started by Go, chained by
# the idle hook) and by the job control without any window, and by `sonbar-cli batch` where
# that command exists. Two batches: a PCM rewrite and MP3 encoding, each of ten minutes of CD
# audio in five files, 32 KiB copy blocks.
# Usage: bench/gui_vs_cli.sh [BUILD_DIR] [RUNS] [pcm|mp3]   (a Release build with -DSONBAR_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/rel}
runs=${2:-3}
only=${3:-}
driver=$build/bench/gui/bench_gui_batch
cli=$build/src/cli/sonbar-cli
[ -x "$driver" ] && [ -x "$cli" ] || { echo "build bench_gui_batch and sonbar-cli in $build first" >&2; exit 1; }
command -v sox >/dev/null || scripts/install-deps --bench

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/pristine" "$work/cfg" "$work/in" "$work/out"
for i in 1 2 3 4 5; do
  sox -n -r 44100 -c 2 -b 16 "$work/pristine/track$i.wav" synth 120 pinknoise vol 0.3
done
touch -d '-1 min' "$work/pristine/"*.wav
sox -n -r 44100 -c 2 -b 16 "$work/tiny.wav" synth 0.1 sine 440

has_batch=0
"$cli" batch --help >/dev/null 2>&1 && has_batch=1

prepare() {
  rm -rf "$work/in" "$work/out"
  mkdir -p "$work/in" "$work/out"
  cp -p "$work/pristine/"*.wav "$work/in/"
}

time_cli() {
  local start end
  start=$(date +%s.%N)
  "$cli" batch --settings "$work/cfg" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

bench() {  # $1: label, then the convert arguments that make the target format
  local label=$1
  shift
  "$cli" convert "$@" "$work/tiny.wav" "$work/cfg/Sonbar.tf.new" && mv "$work/cfg/Sonbar.tf.new" "$work/cfg/Sonbar.tf"
  cat > "$work/cfg/Sonbar.ini" <<INI
[Options]
Priority=3
SourceDirs=$work/in/
TargetDirs=$work/out/
SourceExts=wav
TargetExts=out
CopyBufferSize=32
MinSpaceLeft=0
SavedDataFields=2C4E02
INI
  local gui=() engine=() batch=()
  for _ in $(seq "$runs"); do
    prepare; gui+=("$("$driver" gui "$work/cfg" 2>/dev/null)")
    prepare; engine+=("$("$driver" engine "$work/cfg" 2>/dev/null)")
    if [ $has_batch = 1 ]; then prepare; batch+=("$(time_cli)"); fi
  done
  local g e
  g=$(printf '%s\n' "${gui[@]}" | median)
  e=$(printf '%s\n' "${engine[@]}" | median)
  printf '%-12s sonbar %7.3f s   engine alone %7.3f s   ratio %.4f' "$label" "$g" "$e" "$(echo "$g / $e" | bc -l)"
  if [ $has_batch = 1 ]; then
    local b
    b=$(printf '%s\n' "${batch[@]}" | median)
    printf '   sonbar-cli batch %7.3f s   ratio %.4f' "$b" "$(echo "$g / $b" | bc -l)"
  fi
  printf '\n'
}

echo "median of $runs runs; ratio = sonbar / other"
[ "$only" = mp3 ] || bench "PCM rewrite" --tag PCM --channels 2 --rate 44100 --bits 16
[ "$only" = pcm ] || bench "MP3 128k" --tag "MPEG Layer-3" --attributes "128 kBit/s, 44,100Hz, Stereo"
