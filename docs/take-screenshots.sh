#!/usr/bin/env bash
# Retakes docs/main-window.png: the real hvl runs inside the test lab (its
# discovery traffic never leaves the lab's namespaces) and shows on a private
# X server (Xvfb, no TCP) with a window manager (openbox); Scan Network is
# pressed and the framed window captured once the scan has ended.
#   sudo docs/take-screenshots.sh [build-dir]     (default: build/default)
# HVL_SHOT_SCALE=2 takes docs/main-window-2x.png at Qt's scale factor 2 (a
# high-DPI screen) instead.
# Needs root (the lab), xvfb, openbox, imagemagick and xdotool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
[ "$(id -u)" -eq 0 ] || { echo "the test lab needs root" >&2; exit 1; }
for t in hvl upnp_peer; do
  cmake --build "$build" --target "$t" >/dev/null
done
hvl=$build/ui/hvl
peer=$build/tests/discovery/upnp/upnp_peer
lab=$root/tests/lab/lab.sh
name=shot$$
scale=${HVL_SHOT_SCALE:-1}
suffix=""
[ "$scale" = 1 ] || suffix="-${scale}x"

work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() {
  "$lab" down "$name" >/dev/null 2>&1 || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Printers: three by DNS-SD on one host (two with addresses of their own),
# two UPnP devices on another (a printer and a multifunction device).
"$lab" up "$name" --owner $$ p1 p2 >/dev/null
cat >"$work/printers.json" <<JSON
{"instances": [
  {"name": "Office Laser", "types": ["_printer._tcp", "_pdl-datastream._tcp"], "host": "office-laser",
   "txt": ["adminurl=http://office-laser.example/"]},
  {"name": "Reception Colour", "types": ["_printer._tcp"], "host": "reception", "addresses": ["192.0.2.31"]},
  {"name": "Plotter 2nd floor", "types": ["_pdl-datastream._tcp"], "host": "plotter", "addresses": ["192.0.2.9"]}
]}
JSON
"$lab" announce "$name" p1 "$work/printers.json" >/dev/null
p2=$("$lab" ip "$name" p2)
"$lab" spawn "$name" p2 --tag upnp -- "$peer" "$p2" "$root/tests/lab/upnp/descriptions" \
  printer.xml multifunction.xml >/dev/null
for _ in $(seq 100); do grep -q ready "${HVL_LAB_ROOT:-/tmp/hvl-lab}/$name/p2/upnp.log" 2>/dev/null && break; sleep 0.1; done

# Xvfb picks a free display and writes its number to fd 3.
Xvfb -displayfd 3 -screen 0 $((1024 * scale))x$((600 * scale))x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
sleep 1

# The program runs in the lab's client namespace, in a directory of its own
# (it writes hvl.cfg there); X is reached through its file-system socket.
"$lab" spawn "$name" client --tag hvl -- env DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb \
  QT_SCALE_FACTOR="$scale" XDG_RUNTIME_DIR="$work/runtime" sh -c "cd '$work' && exec '$hvl'" >/dev/null
win=""
for _ in $(seq 100); do
  win=$(xdotool search --onlyvisible --name '^Halvet Printer Locator$' 2>/dev/null | head -n1 || true)
  [ -n "$win" ] && break
  sleep 0.1
done
[ -n "$win" ] || { echo "the window did not appear" >&2; exit 1; }
xdotool windowsize "$win" $((470 * scale)) $((330 * scale)) windowmove "$win" 40 40 windowactivate --sync "$win"
sleep 0.5
xdotool key --window "$win" F5
# Both methods end within about ten seconds in the lab.
sleep 14
xdotool mousemove --window "$win" 5 5
sleep 0.3
import -silent -frame -window "$win" "$root/docs/main-window$suffix.png"
echo "wrote $root/docs/main-window$suffix.png"
