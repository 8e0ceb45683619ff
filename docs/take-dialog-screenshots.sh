#!/usr/bin/env bash
# Retakes docs/details.png, docs/options.png and docs/about.png: each dialog
# is shown by the dialog_gallery program on a private X server (Xvfb) with a
# window manager (openbox), then its framed window is captured.
#   docs/take-dialog-screenshots.sh [build-dir]     (default: build/default)
# HVL_SHOT_SCALE=2 takes them at Qt's scale factor 2 (a high-DPI screen) as
# docs/<dialog>-2x.png.
# Needs xvfb, openbox, imagemagick and xdotool; the gallery opens no network.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
gallery=$build/tests/dialogs/dialog_gallery
if [ ! -x "$gallery" ]; then
  cmake --build "$build" --target dialog_gallery
fi

scale=${HVL_SHOT_SCALE:-1}
suffix=""
[ "$scale" = 1 ] || suffix="-${scale}x"

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number to fd 3.
Xvfb -displayfd 3 -screen 0 $((1024 * scale))x$((600 * scale))x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
export XDG_RUNTIME_DIR=$work QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=$scale
# The window manager draws the frames; no desktop background, plain grey.
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
sleep 1

shoot() {
  local mode=$1 title=$2 out=$root/docs/$1$suffix.png
  "$gallery" "$mode" >/dev/null 2>&1 &
  local pid=$!
  local win=""
  for _ in $(seq 100); do
    win=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n1 || true)
    [ -n "$win" ] && break
    sleep 0.1
  done
  if [ -z "$win" ]; then
    kill "$pid" 2>/dev/null || true
    echo "no window for $mode" >&2
    return 1
  fi
  sleep 0.5  # let the frame and the focus settle
  import -silent -frame -window "$win" "$out"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  echo "wrote $out"
}

shoot details "Office Laser"
shoot options "Halvet Printer Locator"
shoot about "Halvet Printer Locator"
