#!/usr/bin/env bash
# One long file on one core and on two: a 10-minute 44.1 kHz 16-bit stereo
# recording (tones over hiss, five clicks a second) restored with -j 1 and
# -j 2 by the modern engine, alternately, REPEATS times (default 3); prints
# the best wall-clock time of each, their ratio, and the load average before
# and after (the ratio is only as good as the idle cores), and checks that
# both outputs are the same bytes. The files live in memory (/dev/shm where
# there is one), so that the ratio is the tool's own and not the disk's.
# One more -j 2 run, not timed, prints the processor time of its reading
# thread and of the other (user + system, sampled from /proc every 20 ms:
# the sampling would slow the timed runs): which thread sets the pace shows
# even on a busy machine. Run by hand:
#   bench/threads.sh [build/native/tools/veltane/veltane] [REPEATS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
veltane="${1:-$root/build/native/tools/veltane/veltane}"
repeats="${2:-3}"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then work="$(mktemp -d -p /dev/shm)"; else work="$(mktemp -d)"; fi
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - "$work/in.wav" <<'PY'
import sys
import numpy as np
import soundfile
rate, seconds = 44100, 600
t = np.arange(rate * seconds) / rate
rng = np.random.default_rng(5)
tones = 0.2 * np.sin(2 * np.pi * 220 * t) * (0.6 + 0.4 * np.sin(2 * np.pi * 0.3 * t)) \
    + 0.1 * np.sin(2 * np.pi * 331 * t + 1)
audio = np.stack([tones, 0.8 * tones], axis=1) + rng.normal(0, 0.003, (len(t), 2))
for at in rng.integers(rate, len(t) - rate, 5 * seconds):
    audio[at:at + 3] += rng.choice([-0.4, 0.4])
soundfile.write(sys.argv[1], np.clip(audio, -1, 1), rate, subtype="PCM_16")
PY
# threadTimes PID: the processor time of each thread of PID, sampled every
# 20 ms until it ends (the last sample before a thread ends stands for it).
threadTimes() {
  /usr/bin/python3 - "$1" <<'PY'
import os, sys, time
pid, tick, seen = sys.argv[1], os.sysconf("SC_CLK_TCK"), {}
while True:
    try:
        with open(f"/proc/{pid}/stat") as f:
            if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                break
        for tid in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            seen[tid] = (int(fields[11]) + int(fields[12])) / tick
    except FileNotFoundError:
        if not os.path.exists(f"/proc/{pid}"):
            break
    time.sleep(0.02)
reading = seen.pop(pid, 0.0)
print(f"reading thread {reading:.2f} s of processor time, other " + ", ".join(f"{v:.2f} s" for v in seen.values()))
PY
}

load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
best1=""
best2=""
for _ in $(seq "$repeats"); do
  for threads in 1 2; do
    start=$(date +%s.%N)
    "$veltane" -q -j "$threads" "$work/in.wav" "$work/out$threads.wav"
    wall=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')
    echo "-j $threads: $wall s"
    if [ "$threads" = 1 ]; then
      best1=$(awk -v a="$wall" -v b="${best1:-1e9}" 'BEGIN { print (a < b ? a : b) }')
    else
      best2=$(awk -v a="$wall" -v b="${best2:-1e9}" 'BEGIN { print (a < b ? a : b) }')
    fi
  done
done
load_after="$(cut -d' ' -f1-3 /proc/loadavg)"
"$veltane" -q -j 2 "$work/in.wav" "$work/out2.wav" &
threadTimes "$!" >"$work/cpu"
wait "$!"
echo "-j 2, sampled: $(cat "$work/cpu")"
cmp -s "$work/out1.wav" "$work/out2.wav" && same="the same bytes" || same="DIFFERENT bytes"
awk -v w1="$best1" -v w2="$best2" -v n="$repeats" -v cores="$(nproc)" -v before="$load_before" \
    -v after="$load_after" -v same="$same" 'BEGIN {
  printf "10 min 44.1 kHz stereo, best of %d: -j 1 %.2f s (%.0fx real time), -j 2 %.2f s (%.0fx real time)\n",
         n, w1, 600 / w1, w2, 600 / w2
  printf "speed-up %.2fx on %d cores; load average %s before, %s after; outputs are %s\n",
         w1 / w2, cores, before, after, same
}'
