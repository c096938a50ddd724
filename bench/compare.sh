#!/usr/bin/env bash
# Times veltane, with each engine, against ffmpeg's declicker and denoiser
# (adeclick,afftdn, one thread) on the same generated recording, in the same
# run, and prints the processor times, the multiples of real time and the
# ratios to ffmpeg. Run by hand; CI does not run it.
#   bench/compare.sh [RUNS]     (RUNS per command, default 3)
# The tool is taken from build/native (built there if missing); the test
# file and the outputs go to build/compare/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-3}"

missing=()
for tool in ffmpeg hyperfine python3 cmake ninja; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  packages="${missing[*]}"
  packages="${packages/ninja/ninja-build}"
  echo "compare: missing ${missing[*]}; install with: sudo apt-get install $packages" >&2
  exit 1
fi

tool="$root/build/native/tools/veltane/veltane"
if [ ! -x "$tool" ]; then
  echo "compare: building veltane in build/native" >&2
  cmake -S "$root" -B "$root/build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTANE_BUILD_BENCH=ON >/dev/null
  cmake --build "$root/build/native" -j "$(nproc)" --target veltane >/dev/null
fi

work="$root/build/compare"
mkdir -p "$work"
input="$work/clicks-and-hiss.wav"
if [ ! -f "$input" ]; then
  echo "compare: generating 60 s of 44.1 kHz stereo 16-bit audio with clicks and hiss" >&2
  python3 - "$input" <<'PYTHON'
# Chords of decaying partials, white hiss about 40 dB down, and 300 clicks
# (single impulses to 60-sample bursts), fixed seed.
import array, math, random, sys, wave
rate, seconds = 44100, 60
frames = rate * seconds
rng = random.Random(2024)
left = array.array("d", bytes(8 * frames))
right = array.array("d", bytes(8 * frames))
for note in range(120):
    start = int(note * 0.5 * rate)
    pitch = 110.0 * 2 ** (rng.randrange(36) / 12)
    for harmonic in (1, 2, 3):
        w = 2 * math.pi * pitch * harmonic / rate
        amplitude = 0.12 / harmonic
        for n in range(min(2 * rate, frames - start)):
            v = amplitude * math.exp(-n / (0.6 * rate)) * math.sin(w * n)
            left[start + n] += v
            right[start + n] += 0.8 * v
for channel in (left, right):
    for n in range(frames):
        channel[n] += rng.gauss(0.0, 0.006)
for _ in range(300):
    start, width = rng.randrange(frames - 64), rng.choice((1, 2, 3, 8, 20, 60))
    height = rng.uniform(0.2, 0.9) * rng.choice((-1, 1))
    for n in range(width):
        v = height * (1 - n / width)
        left[start + n] += v
        right[start + n] += v * 0.9
pcm = array.array("h", bytes(4 * frames))
for n in range(frames):
    pcm[2 * n] = max(-32768, min(32767, int(left[n] * 32767)))
    pcm[2 * n + 1] = max(-32768, min(32767, int(right[n] * 32767)))
if sys.byteorder != "little":
    pcm.byteswap()
with wave.open(sys.argv[1], "wb") as out:
    out.setnchannels(2)
    out.setsampwidth(2)
    out.setframerate(rate)
    out.writeframes(pcm.tobytes())
PYTHON
fi

hyperfine --runs "$runs" --warmup 1 --export-json "$work/times.json" \
  -n classic "'$tool' --quiet --engine classic '$input' '$work/classic.wav'" \
  -n modern "'$tool' --quiet --engine modern '$input' '$work/modern.wav'" \
  -n ffmpeg "ffmpeg -hide_banner -loglevel error -y -threads 1 -filter_threads 1 -i '$input' -af adeclick,afftdn '$work/ffmpeg.wav'"

python3 - "$work/times.json" <<'PYTHON'
import json, sys
# Processor time (user + system) rather than wall time: on a shared machine
# it leaves out the time spent waiting for a core.
results = {r["command"]: r["user"] + r["system"] for r in json.load(open(sys.argv[1]))["results"]}
ffmpeg = results["ffmpeg"]
print()
print(f"{'60 s of 44.1 kHz stereo':26s} {'processor s':>11s}  {'x real time':>11s}  {'x ffmpeg':>8s}")
for name, label in (("classic", "veltane --engine classic"), ("modern", "veltane --engine modern"),
                    ("ffmpeg", "ffmpeg adeclick,afftdn")):
    seconds = results[name]
    print(f"{label:26s} {seconds:11.3f}  {60.0 / seconds:11.1f}  {ffmpeg / seconds:8.1f}")
PYTHON
