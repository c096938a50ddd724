#!/usr/bin/env bash
# Millions of instructions per second of 16-bit stereo audio (M/s), counted
# by callgrind: repeatable whatever else the machine is doing, unlike times.
# Per engine and rate:
#   chain  the processing object alone (chain_bench), clicks and hiss removed
#          with the automatic hiss level, at the kernel level the processor
#          runs and at the baseline level
#   tool   the whole command (veltane) on a WAV file of the same programme,
#          reading, restoring and writing, at both levels likewise (the
#          baseline one run by tool_bench --baseline-tool)
# Each figure is (count for 4 s - count for 1 s) / 3: start-up, set-up and
# warm-up drop out.
#   bench/callgrind.sh [BUILD-DIR]      (default build/native; engines from
#                                        VELTANE_ENGINES, default classic modern;
#                                        rates from VELTANE_RATES, default
#                                        44100 48000 96000)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/native}"
engines="${VELTANE_ENGINES:-classic modern}"
rates="${VELTANE_RATES:-44100 48000 96000}"
chain="$build/bench/chain/chain_bench"
tool="$build/tools/veltane/veltane"
writer="$build/bench/tools/tool_bench"
for program in "$chain" "$tool" "$writer"; do
  if [ ! -x "$program" ]; then
    echo "callgrind: $program is missing; build $build with -DVELTANE_BUILD_BENCH=ON" >&2
    exit 1
  fi
done
command -v valgrind >/dev/null || { echo "callgrind: valgrind is missing (apt-get install valgrind)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# count COMMAND...: instructions the command executes under callgrind.
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
# per_second SHORT LONG: M/s from the counts for 1 s and 4 s.
per_second() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) / 3 / 1e6 }'; }

native=$(valgrind --tool=none "$chain" --kernels 2>/dev/null)
printf '%-6s %-8s %7s  %-10s %6s\n' what engine rate kernels "M/s"
for rate in $rates; do
  "$writer" --write-wav="$work/one.wav" --rate="$rate" --seconds=1
  "$writer" --write-wav="$work/four.wav" --rate="$rate" --seconds=4
  for engine in $engines; do
    for level in "$native" baseline; do
      one=$(count "$chain" --seconds=1 --engine="$engine" --rate="$rate" --kernels="$level")
      four=$(count "$chain" --seconds=4 --engine="$engine" --rate="$rate" --kernels="$level")
      printf '%-6s %-8s %7s  %-10s %6s\n' chain "$engine" "$rate" "$level" "$(per_second "$one" "$four")"
      [ "$level" = baseline ] && break
    done
    for level in "$native" baseline; do
      runner=("$tool")
      [ "$level" = baseline ] && runner=("$writer" --baseline-tool)
      one=$(count "${runner[@]}" --quiet --engine "$engine" "$work/one.wav" "$work/out.wav")
      four=$(count "${runner[@]}" --quiet --engine "$engine" "$work/four.wav" "$work/out.wav")
      printf '%-6s %-8s %7s  %-10s %6s\n' tool "$engine" "$rate" "$level" "$(per_second "$one" "$four")"
      [ "$level" = baseline ] && break
    done
  done
done
