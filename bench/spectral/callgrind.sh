#!/usr/bin/env bash
# Instructions per second of 44.1 kHz stereo audio through "HissRemover"
# alone, counted by callgrind: repeatable whatever else the machine is doing.
# The difference between a 3 s and a 1 s run leaves set-up and warm-up out.
#   bench/spectral/callgrind.sh [BENCH [baseline]]   (the kernels at the
#                                                    processor's level, or at the baseline)
set -euo pipefail
bench="${1:-$(dirname "$0")/../../build/native/bench/spectral/spectral_bench}"
level=()
[ "${2:-}" = baseline ] && level=(--kernels=baseline)
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$bench" "--hiss-seconds=$1" "${level[@]}" 2>&1 |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
one=$(count 1)
three=$(count 3)
per=$(( (three - one) / 2 ))
echo "instructions per second of 44.1 kHz stereo: $per"
