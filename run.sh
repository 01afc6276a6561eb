#!/usr/bin/env bash
# Installs what is missing, builds the trainer and starts it from the repository's root
# (the problem database DBtavimo is looked for in the working directory).
#
# Without a display it runs under a virtual X server, writes a screenshot of the main
# window to build/run/korvane-screenshot.png once the window is shown, and keeps running
# until interrupted (Ctrl+C).
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

./scripts/install-deps.sh

build=build/run
if [[ ! -f $build/build.ninja ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target korvane

program="$root/$build/bin/korvane"
if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
  exec "$program"
fi

shot="$root/$build/korvane-screenshot.png"
rm -f "$shot"
export KORVANE_PROGRAM="$program" KORVANE_SHOT="$shot"
exec xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  "$KORVANE_PROGRAM" &
  pid=$!
  trap "kill $pid 2>/dev/null" INT TERM
  # The window is found by its title (xwininfo answers at once; import given a name it
  # cannot find would wait for a mouse click); a short pause lets the first paint end.
  for _ in $(seq 1 150); do
    kill -0 $pid 2>/dev/null || break
    id=$(xwininfo -name Korvane 2>/dev/null | awk "/Window id:/ {print \$4}")
    if [[ -n $id ]]; then
      sleep 1
      import -window "$id" "$KORVANE_SHOT" && echo "run.sh: screenshot of the main window: $KORVANE_SHOT"
      break
    fi
    sleep 0.2
  done
  wait $pid'
