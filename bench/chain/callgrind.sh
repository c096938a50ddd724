#!/usr/bin/env bash
# Instructions per second of stereo audio through the whole chain, per engine
# and rate, counted by callgrind: repeatable whatever else the machine is
# doing. The difference between a 3 s and a 1 s run leaves set-up and warm-up
# out.
#   bench/chain/callgrind.sh [CHAIN_BENCH] [ENGINES] [RATES]
#   e.g. bench/chain/callgrind.sh "" "classic modern" "44100 48000 96000"
set -euo pipefail
bench="${1:-$(dirname "$0")/../../build/native/bench/chain/chain_bench}"
engines="${2:-classic modern}"
rates="${3:-44100}"
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$bench" "--seconds=$1" "--engine=$2" "--rate=$3" 2>&1 |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
for engine in $engines; do
  for rate in $rates; do
    one=$(count 1 "$engine" "$rate")
    three=$(count 3 "$engine" "$rate")
    per=$(( (three - one) / 2 ))
    awk -v e="$engine" -v r="$rate" -v n="$per" \
      'BEGIN { printf "%-8s %6d Hz stereo: %6.1f M instructions per second of audio\n", e, r, n / 1e6 }'
  done
done
