#!/usr/bin/env bash
# Instructions per second of 44.1 kHz stereo audio through "HissRemover"
# alone, counted by callgrind: repeatable whatever else the machine is doing.
# The difference between a 3 s and a 1 s run leaves set-up and warm-up out.
set -euo pipefail
bench="${1:-$(dirname "$0")/../../build/native/bench/spectral/spectral_bench}"
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$bench" "--hiss-seconds=$1" 2>&1 |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
one=$(count 1)
three=$(count 3)
per=$(( (three - one) / 2 ))
echo "instructions per second of 44.1 kHz stereo: $per"
