#!/usr/bin/env bash
# Instructions per second of 44.1 kHz stereo audio with 5 clicks a second
# through the modern declicker alone, counted by callgrind: repeatable
# whatever else the machine is doing. The difference between a 3 s and a 1 s
# run leaves the programme's synthesis, set-up and warm-up out.
#   bench/declick/callgrind.sh [DECLICK_BENCH]
set -euo pipefail
bench="${1:-$(dirname "$0")/../../build/native/bench/declick/declick_bench}"
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$bench" "--seconds=$1" 2>&1 |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
one=$(count 1)
three=$(count 3)
awk -v n="$(( (three - one) / 2 ))" \
  'BEGIN { printf "modern declicker, 44100 Hz stereo, 5 clicks/s: %.1f M instructions per second of audio\n", n / 1e6 }'
