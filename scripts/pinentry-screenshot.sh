#!/usr/bin/env bash
# Photographs the PIN window the library shows through pinentry-gtk-2 into
# docs/pinentry-gtk2.png: starts Xvfb on a free display, runs the PIN
# prompt without a card (tests/smartcard/pin/probe, built into BUILD_DIR)
# with KIVO_PINENTRY=pinentry-gtk-2 on it, waits for the window by its
# title (the caption the library sends), cuts the window out of Xvfb's
# frame buffer once it is drawn, and cancels the dialog.
# Usage: scripts/pinentry-screenshot.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=docs/pinentry-gtk2.png
title=Card
limit=20  # seconds for each wait

scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target kivo_pin_probe >/dev/null
probe=$build/tests/kivo_pin_probe

work=$(mktemp -d)
xvfb_pid=""
probe_pid=""
cleanup() {
  if [[ -n $probe_pid ]]; then kill "$probe_pid" 2>/dev/null || true; fi
  if [[ -n $xvfb_pid ]]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Polls `$@` every 0.1 s until it succeeds; fails after $limit seconds.
wait_for() {
  local tries=$((limit * 10))
  until "$@"; do
    ((--tries > 0)) || return 1
    sleep 0.1
  done
}

# Xvfb writes its display number to -displayfd once it accepts clients and
# keeps its screen as an XWD file in -fbdir.
Xvfb -displayfd 3 -fbdir "$work" -noreset -nolisten tcp -screen 0 640x480x24 \
  3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
wait_for test -s "$work/display" || { echo "pinentry-screenshot: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(tr -d '\n' <"$work/display")"

# A steady text cursor, so that every run draws the same picture.
echo 'gtk-cursor-blink = 0' >"$work/gtkrc"
GTK2_RC_FILES="$work/gtkrc" KIVO_PINENTRY=pinentry-gtk-2 "$probe" >"$work/answer" &
probe_pid=$!

window_shown() { xdotool search --onlyvisible --name "^$title\$" >"$work/window" 2>/dev/null; }
wait_for window_shown || { echo "pinentry-screenshot: no window titled $title" >&2; exit 1; }
eval "$(xdotool getwindowgeometry --shell "$(head -n 1 "$work/window")")"

# The window as it is on the screen now, in $work/$1.pnm.
cut_window() {
  xwdtopnm "$work/Xvfb_screen0" 2>/dev/null |
    pamcut -left "$X" -top "$Y" -width "$WIDTH" -height "$HEIGHT" >"$work/$1.pnm"
}
# Drawn: more than one colour, and the same in two pictures in a row.
window_drawn() {
  cut_window now
  local colours
  colours=$(ppmhist -noheader "$work/now.pnm" | wc -l)
  if ((colours > 1)) && cmp -s "$work/now.pnm" "$work/before.pnm" 2>/dev/null; then return 0; fi
  mv "$work/now.pnm" "$work/before.pnm"
  return 1
}
wait_for window_drawn || { echo "pinentry-screenshot: the window was not drawn" >&2; exit 1; }
mkdir -p "$(dirname "$out")"
pnmtopng -compression 9 "$work/now.pnm" >"$out"

probe_done() { ! kill -0 "$probe_pid" 2>/dev/null; }
xdotool key Escape
wait_for probe_done || { echo "pinentry-screenshot: Escape did not close the window" >&2; exit 1; }
probe_pid=""
answer=$(cat "$work/answer")
[[ $answer == cancelled ]] || { echo "pinentry-screenshot: the prompt answered '$answer'" >&2; exit 1; }
echo "pinentry-screenshot: $out (${WIDTH}x${HEIGHT}, $(stat -c %s "$out") bytes)"
