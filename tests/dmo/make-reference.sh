#!/usr/bin/env bash
# Makes the inputs of the Windows host tests from the example recording with
# sox, and their restoration by the native command-line tool's classic engine
# (the one the effect runs) with each case's settings (the cases of
# DmoHostTest.cpp).
# Usage: make-reference.sh NATIVE-TOOL EXAMPLE-WAV OUTPUT-FOLDER
set -euo pipefail
tool=$1 example=$2 out=$3
mkdir -p "$out"
rm -f "$out"/*.wav

make_case() {  # NAME BITS "SOX EFFECTS" TOOL-OPTIONS...
  local name=$1 bits=$2 effects=$3
  shift 3
  # shellcheck disable=SC2086  # the effects are words
  sox -V1 "$example" -t wavpcm -b "$bits" "$out/input-$name.wav" gain -1 $effects
  "$tool" --quiet --engine classic "$@" "$out/input-$name.wav" "$out/reference-$name.wav"
}
make_case stereo16 16 "trim 0 3" --click-threshold 4 --options 16                     # all on, automatic hiss level
make_case mono24 24 "remix 1 rate 96000 trim 0 2" --click-threshold 3 --options 0     # all on, fixed hiss level
make_case stereo8 8 "rate 22050 trim 0 1" --click-threshold 6 --options 4             # declicking only
