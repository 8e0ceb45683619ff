#!/usr/bin/env bash
# The README's first command as a newcomer runs it on a desktop: ./scripts/run.sh
# with a display, no arguments. Runs it under Xvfb inside a lab client
# namespace with no printers (nothing reaches the machine's network), and
# checks that the window maps within the bound and closes on Esc, ending
# run.sh with status 0. Needs root (the lab) and a built or buildable release
# preset (run.sh builds only the window's target).
#   tests/ui/run_sh_window.sh [seconds to wait for the window, default 600]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
lab_sh=$root/tests/lab/lab.sh
wait_map=${1:-600}
lab=rw$(printf '%x' $$ | tail -c 6)
display=:$((90 + $$ % 100))

[ "$(id -u)" -eq 0 ] || { echo "run_sh_window: needs root (the lab); skipped"; exit 0; }
work=$(mktemp -d)
had_cfg=0
[ ! -e "$root/hvl.cfg" ] || had_cfg=1
cleanup() {
    [ -z "${run_pid:-}" ] || kill "$run_pid" 2>/dev/null || true
    "$lab_sh" down "$lab" >/dev/null 2>&1 || true
    # The window saves hvl.cfg where run.sh started it: the checkout's root.
    [ "$had_cfg" = 1 ] || rm -f "$root/hvl.cfg"
    rm -rf "$work"
}
trap cleanup EXIT

"$lab_sh" up "$lab" --owner $$ >/dev/null
"$lab_sh" spawn "$lab" client --tag xvfb -- Xvfb "$display" -nolisten tcp -screen 0 1024x768x24 >/dev/null
in_client() { "$lab_sh" exec-client "$lab" -- env DISPLAY="$display" "$@"; }
for _ in $(seq 1 100); do in_client xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

# As a newcomer: a home of their own, a display, and none of CI's settings
# (with CI=true install-deps.sh would stop the lab client's avahi-daemon).
mkdir -p "$work/home"
"$lab_sh" exec-client "$lab" -- env -u CI -u HVL_STOP_HOST_DAEMONS -u HVL_PRESET -u WAYLAND_DISPLAY \
    HOME="$work/home" DISPLAY="$display" "$root/scripts/run.sh" >"$work/run.log" 2>&1 &
run_pid=$!

t0=$SECONDS
if ! window=$(in_client timeout "$wait_map" xdotool search --sync --onlyvisible --name '^Halvet Printer Locator$' |
    head -1) || [ -z "$window" ]; then
    tail -20 "$work/run.log"
    echo "run_sh_window: FAIL the window did not map within $wait_map s"
    exit 1
fi
echo "run_sh_window: the window mapped $((SECONDS - t0)) s after ./scripts/run.sh started"
in_client xdotool windowfocus --sync "$window" key Escape

status=0
for _ in $(seq 1 100); do kill -0 "$run_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$run_pid" 2>/dev/null; then
    echo "run_sh_window: FAIL the window did not close within 10 s of Esc"
    exit 1
fi
wait "$run_pid" || status=$?
run_pid=""
if [ "$status" != 0 ]; then
    tail -20 "$work/run.log"
    echo "run_sh_window: FAIL run.sh ended with status $status"
    exit 1
fi
echo "run_sh_window: OK the window closed on Esc and run.sh ended with status 0"
