#!/usr/bin/env bash
# Folder mode's speed-up: eight 60-second stereo recordings restored with
# -j 1 and with -j 2; prints the wall-clock and CPU times and the speed-up.
# The speed-up is only as good as the idle cores: the load average is printed
# beside it, and on a busy machine the CPU times (equal when the workers share
# nothing) tell more. Run by hand:
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
TIMEFORMAT='%R %U %S'
run() {  # "wall user system" seconds of one folder run with -j $1, workers included
  rm -rf "$work/out"
  { time "$veltane" -q -j "$1" "$work"/in/*.wav -o "$work/out" >/dev/null; } 2>&1
}
read -r wall1 user1 sys1 <<<"$(run 1)"
read -r wall2 user2 sys2 <<<"$(run 2)"
awk -v w1="$wall1" -v c1="$(awk -v a="$user1" -v b="$sys1" 'BEGIN { print a + b }')" \
    -v w2="$wall2" -v c2="$(awk -v a="$user2" -v b="$sys2" 'BEGIN { print a + b }')" \
    -v cores="$(nproc)" -v load="$(cut -d' ' -f1 /proc/loadavg)" 'BEGIN {
  printf "eight 60 s stereo files: -j 1 %.2f s (cpu %.2f s), -j 2 %.2f s (cpu %.2f s)\n", w1, c1, w2, c2
  printf "speed-up %.2fx on %d cores at load average %s\n", w1 / w2, cores, load
}'
