#!/usr/bin/env bash
# Folder mode's speed-up: eight 60-second stereo recordings restored with
# -j 1 and with -j 2; prints the wall-clock times and their ratio. Run by hand
# on an otherwise idle machine (the ratio is only as good as the idle cores):
#   bench/folders.sh [build/native/tools/veltane/veltane]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
veltane="${1:-$root/build/native/tools/veltane/veltane}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
for i in 1 2 3 4 5 6 7 8; do
  sox -n -r 44100 -b 16 -c 2 "$work/in/take$i.wav" synth 60 pinknoise vol 0.2 2>/dev/null
done
seconds() {  # wall-clock seconds of one folder run with -j $1
  rm -rf "$work/out"
  local start end
  start=$(date +%s.%N)
  "$veltane" -q -j "$1" "$work"/in/*.wav -o "$work/out"
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}
one=$(seconds 1)
two=$(seconds 2)
printf 'eight 60 s stereo files: -j 1 %.2f s, -j 2 %.2f s, speed-up %.2fx (cores: %s)\n' \
  "$one" "$two" "$(awk -v a="$one" -v b="$two" 'BEGIN { print a / b }')" "$(nproc)"
