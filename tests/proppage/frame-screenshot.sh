#!/usr/bin/env bash
# Opens the effect's property frame under Wine on an X display, saves a
# screenshot of the screen as PNG, and returns the frame test's result.
# Usage: frame-screenshot.sh WINE-RUNNER TEST-PROGRAM PNG-PATH
# (TEST-PROGRAM runs only its PropertyFrame cases)
set -uo pipefail
runner=$1 program=$2 png=$3
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi
rm -f frame.ready frame.done "$png"
"$runner" "$program" --gtest_filter='PropertyFrame.*' &
test_pid=$!
for _ in $(seq 1 600); do
  [ -f frame.ready ] && break
  kill -0 "$test_pid" 2>/dev/null || break
  sleep 0.1
done
shot=0
if [ -f frame.ready ]; then
  sleep 0.5  # let the frame finish painting
  import -window root "$png" || shot=1
fi
touch frame.done
wait "$test_pid"
result=$?
rm -f frame.ready frame.done
if [ "$result" -eq 0 ] && { [ "$shot" -ne 0 ] || [ ! -s "$png" ]; }; then
  echo "no screenshot was saved to $png" >&2
  exit 1
fi
[ -s "$png" ] && echo "screenshot: $png"
exit "$result"
