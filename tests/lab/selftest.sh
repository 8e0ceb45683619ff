#!/usr/bin/env bash
# Checks the lab's own promises: everything it starts runs in its
# namespaces, a stale lab is replaced, a dead owner's lab is collected, and
# teardown leaves nothing behind. Exit 77 (skipped) without root.
set -uo pipefail

LAB=$(cd "$(dirname "$0")" && pwd)/lab.sh
ROOT=${HVL_LAB_ROOT:-/tmp/hvl-lab}
PFX=${HVL_LAB_PREFIX:-hvl}
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: the test lab needs root"
    exit 77
fi

NAME=self$$
GHOST=ghost$$
FAILS=0
fail() { echo "FAIL: $*"; FAILS=$((FAILS + 1)); }
pass() { echo "ok: $*"; }
alive() {  # not gone, not a zombie
    local s
    s=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    s=${s##*) }
    [ "${s%% *}" != Z ]
}
cleanup() { "$LAB" down "$NAME" >/dev/null 2>&1; "$LAB" down "$GHOST" >/dev/null 2>&1; }
trap cleanup EXIT

machine_ns=$(readlink /proc/self/ns/net)

# A lab whose owner has died is collected by the next "up".
sleep 30 &
owner=$!
"$LAB" up "$GHOST" --no-avahi --owner "$owner" g1 || fail "ghost lab up"
ghost_pid=$("$LAB" spawn "$GHOST" g1 --tag sleeper -- sleep 60)
kill "$owner"
wait "$owner" 2>/dev/null

# The same name twice: the second "up" replaces the first lab.
"$LAB" up "$NAME" --owner $$ p1 || fail "first up"
stale_pid=$("$LAB" spawn "$NAME" p1 --tag stale -- sleep 60)
start=$(date +%s%N)
"$LAB" up "$NAME" --owner $$ p1 p2 || { fail "second up: cannot go on"; exit 1; }
echo "up took $((($(date +%s%N) - start) / 1000000)) ms"
alive "$stale_pid" && fail "stale lab's process $stale_pid still runs" || pass "stale lab replaced"
alive "$ghost_pid" && fail "dead owner's lab still runs ($ghost_pid)" || pass "dead owner's lab collected"
ip netns list | grep -q "^$PFX-$GHOST-" && fail "ghost namespaces remain" || pass "ghost namespaces gone"

# Every recorded process runs in a lab namespace, never the machine's.
while read -r pid _ host tag; do
    ns=$(readlink "/proc/$pid/ns/net")
    want=$(ip netns exec "$PFX-$NAME-$host" readlink /proc/self/ns/net)
    [ "$ns" = "$want" ] && [ "$ns" != "$machine_ns" ] || fail "$tag ($pid) runs outside $PFX-$NAME-$host"
done <"$ROOT/$NAME/pids"
pass "recorded processes in their namespaces"

# Addresses, and no route out of the lab.
[ "$("$LAB" ip "$NAME" p2)" = 192.0.2.11 ] || fail "p2 address"
routes=$("$LAB" exec "$NAME" p1 -- ip -4 route show default)
[ -z "$routes" ] || fail "p1 has a default route: $routes"
pass "addresses and routes"

# The client's bus and avahi-daemon answer through the lab's environment.
state=$("$LAB" exec-client "$NAME" -- dbus-send --system --print-reply --dest=org.freedesktop.Avahi / \
    org.freedesktop.Avahi.Server.GetState 2>&1)
echo "$state" | grep -q 'int32 2' && pass "client avahi-daemon running" || fail "client avahi: $state"

# An announcement in p1 reaches the client, non-ASCII name intact.
desc="$ROOT/$NAME/self.json"
cat >"$desc" <<'EOF'
{"instances": [{"name": "Selbsttest Über", "types": ["_printer._tcp"], "host": "selftest",
  "txt": ["adminurl=http://selftest/"]}]}
EOF
"$LAB" announce "$NAME" p1 "$desc" >/dev/null || fail "announce"
"$LAB" wait-browse "$NAME" _printer._tcp "Selbsttest Über" 10 && pass "announcement seen" || fail "not seen"

# spawn/kill by tag; the process is gone afterwards.
pid=$("$LAB" spawn "$NAME" p2 --tag napper -- sleep 60)
alive "$pid" || fail "spawned process not running"
"$LAB" kill "$NAME" napper
alive "$pid" && fail "killed process $pid still runs" || pass "spawn and kill"

# stop-avahi: the bus stays, avahi goes.
"$LAB" stop-avahi "$NAME" client
"$LAB" exec-client "$NAME" -- dbus-send --system --print-reply --dest=org.freedesktop.Avahi / \
    org.freedesktop.Avahi.Server.GetState >/dev/null 2>&1 && fail "avahi still answers" || pass "stop-avahi"

# Down leaves nothing.
pids=$(awk '{print $1}' "$ROOT/$NAME/pids")
start=$(date +%s%N)
"$LAB" down "$NAME"
echo "down took $((($(date +%s%N) - start) / 1000000)) ms"
for p in $pids; do alive "$p" && fail "process $p survived down"; done
ip netns list | grep -q "^$PFX-$NAME-" && fail "namespaces remain"
[ -e "$ROOT/$NAME" ] && fail "state directory remains"
pass "down"

[ "$FAILS" -eq 0 ] && echo "lab selftest passed" || echo "lab selftest: $FAILS failures"
[ "$FAILS" -eq 0 ]
