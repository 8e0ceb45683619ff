#!/usr/bin/env bash
# The test lab: a virtual LAN of network namespaces on this machine, for
# discovery tests that must never touch the machine's real interfaces.
#
#   lab.sh up <lab> [--owner PID] [--no-avahi] [--ipv6] [--cache-entries N] [<host>...]
#   lab.sh add-host <lab> <host>...
#   lab.sh avahi <lab> <host> [--services DIR] [--hosts FILE]
#   lab.sh stop-avahi <lab> <host>
#   lab.sh spawn <lab> <host> [--tag TAG] [--log FILE] -- <cmd> [args...]
#   lab.sh exec <lab> <host> -- <cmd> [args...]
#   lab.sh exec-client <lab> -- <cmd> [args...]
#   lab.sh exec-resolver <lab> -- <cmd> [args...]
#   lab.sh kill <lab> <pid|tag> [--signal SIG]
#   lab.sh announce <lab> <host> <description.json> [--tag TAG] [--host-ttl S]
#   lab.sh wsd <lab> <host> <description.json> [--tag TAG]
#   lab.sh stale <lab> <host> <description.json> [--tag TAG]
#   lab.sh client-avahi <lab> kill|freeze|thaw|restart
#   lab.sh ippeveprinter <lab> <host> <name> [--tag TAG] [-- extra args]
#   lab.sh snmp <lab> <host> <data-dir> [--tag TAG]
#   lab.sh wait-browse <lab> <type> <instance>... [--timeout seconds]
#   lab.sh dns <lab> <zone-dir> [--search DOMAIN]... [--key FILE --dynamic ZONE...]
#   lab.sh link <lab> <1-9> <host>...
#   lab.sh ip <lab> <host>
#   lab.sh env <lab> [<host>]
#   lab.sh status <lab>
#   lab.sh down <lab>
#   lab.sh gc
#
# See README.md beside this script for what each command guarantees.
set -euo pipefail

LAB_HOME=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
LAB_ROOT=${HVL_LAB_ROOT:-/tmp/hvl-lab}
# Engineers working side by side on one machine each take a prefix of their
# own (hvl-<word>), so their labs never share a namespace name.
PREFIX=${HVL_LAB_PREFIX:-hvl}
[[ $PREFIX =~ ^hvl(-[a-z0-9]{1,8})?$ ]] || { echo "lab: bad HVL_LAB_PREFIX '$PREFIX' (hvl or hvl-<1-8 of a-z 0-9>)" >&2; exit 1; }
SUBNET=192.0.2
CLIENT_IP=$SUBNET.1
# The DNS server's subnet, behind the router namespace "rt" (192.0.2.254).
ROUTER_IP=$SUBNET.254
DNS_SUBNET=198.51.100
DNS_IP=$DNS_SUBNET.53
PYTHON=/usr/bin/python3

die() { echo "lab: $*" >&2; exit 1; }
log() { [ -n "${HVL_LAB_VERBOSE:-}" ] && echo "lab: $*" >&2; return 0; }

need_root() { [ "$(id -u)" -eq 0 ] || die "needs root (network namespaces, mounts)"; }

check_name() {
    [[ $1 =~ ^[a-z0-9]{1,12}$ ]] || die "bad $2 name '$1' (1-12 of a-z 0-9)"
}

lab_dir() { echo "$LAB_ROOT/$1"; }
ns_name() { echo "$PREFIX-$1-$2"; }  # lab, host ("sw" is the switch, "client" the client)


# Start time of a process (field 22 of /proc/PID/stat), so a recorded PID is
# never confused with a later process that reuses the number.
proc_start() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    # after the comm field: state is field 3, starttime field 22 -> index 19
    set -- $stat
    echo "${20}"
}

# True while the process lives (a zombie counts as gone: PID 1 may reap late).
proc_alive() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != "Z" ]
}

with_lock() {  # lab, command...
    local dir lab=$1
    shift
    dir=$(lab_dir "$lab")
    (
        flock -w 10 9 || die "lab $lab is busy"
        "$@"
    ) 9>"$dir/.lock"
}

append_line() { echo "$1" >>"$2"; }
drop_lines() {  # pid-or-tag file
    awk -v w="$1" '!($1 == w || $4 == w)' "$2" >"$2.new"
    mv "$2.new" "$2"
}

record_pid() {  # lab host tag pid
    local dir start
    dir=$(lab_dir "$1")
    start=$(proc_start "$4") || start=0
    with_lock "$1" append_line "$4 $start $2 $3" "$dir/pids"
}

# Ends one recorded process: SIGTERM (or the given signal), then SIGKILL after
# a bound. Only when the PID still names the process that was started.
end_pid() {  # pid start [signal]
    local pid=$1 start=$2 sig=${3:-TERM} i now
    now=$(proc_start "$pid") || return 0
    [ "$start" = 0 ] || [ "$now" = "$start" ] || return 0
    kill -s "$sig" "$pid" 2>/dev/null || return 0
    kill -s CONT "$pid" 2>/dev/null || true  # a frozen process acts on TERM only once continued
    for i in $(seq 1 60); do
        proc_alive "$pid" || return 0
        sleep 0.05
    done
    kill -s KILL "$pid" 2>/dev/null || true
    for i in $(seq 1 40); do
        proc_alive "$pid" || return 0
        sleep 0.05
    done
    echo "lab: process $pid did not end" >&2
}

host_ip() {  # lab host
    local dir
    dir=$(lab_dir "$1")
    [ "$2" = client ] && { echo "$CLIENT_IP"; return; }
    awk -v h="$2" '$1 == h { print $2 }' "$dir/hosts"
}

host_env() {  # lab host -> env assignments for commands in that host
    local dir
    dir=$(lab_dir "$1")
    echo "DBUS_SYSTEM_BUS_ADDRESS=unix:path=$dir/$2/dbus.sock"
    echo "HVL_LAB=$1"
    echo "HVL_LAB_HOST=$2"
    echo "HVL_LAB_DIR=$dir"
    echo "HVL_LAB_NETNS=$(ns_name "$1" "$2")"
    echo "HVL_LAB_IP=$(host_ip "$1" "$2")"
    echo "AVAHI_COMPAT_NOWARN=1"
}

require_lab() {
    [ -f "$(lab_dir "$1")/hosts" ] || die "no lab '$1' (run: lab.sh up $1)"
}

require_host() {  # lab host
    [ "$2" = client ] && return 0
    awk -v h="$2" '$1 == h { f = 1 } END { exit !f }' "$(lab_dir "$1")/hosts" ||
        die "lab $1 has no host '$2'"
}

# Waits until PID runs inside a lab namespace (ip netns exec switches just
# after the fork), else ends it and fails.
check_in_lab() {  # lab host pid
    local want ns i
    want=$(ip netns exec "$(ns_name "$1" "$2")" readlink /proc/self/ns/net)
    for i in $(seq 1 100); do
        ns=$(readlink "/proc/$3/ns/net" 2>/dev/null) || die "process $3 exited at once"
        [ "$ns" = "$want" ] && return 0
        sleep 0.02
    done
    kill -KILL "$3" 2>/dev/null || true
    die "process $3 is not in namespace $(ns_name "$1" "$2")"
}

# Starts a command in the background inside a host namespace, with the host's
# private /run (a tmpfs) and its environment; prints the PID.
start_in_host() {  # lab host tag logfile private_run(0/1) cmd...
    local lab=$1 host=$2 tag=$3 logf=$4 privrun=$5 pid
    shift 5
    local ns
    ns=$(ns_name "$lab" "$host")
    local envs=()
    mapfile -t envs < <(host_env "$lab" "$host")
    if [ "$privrun" = 1 ]; then
        ip netns exec "$ns" env "${envs[@]}" setsid sh -c \
            'mount -t tmpfs -o mode=0755 hvl-run /run && exec "$@"' sh "$@" \
            </dev/null >>"$logf" 2>&1 &
    else
        ip netns exec "$ns" env "${envs[@]}" setsid "$@" </dev/null >>"$logf" 2>&1 &
    fi
    pid=$!
    check_in_lab "$lab" "$host" "$pid"
    record_pid "$lab" "$host" "$tag" "$pid"
    echo "$pid"
}

add_host_ns() {  # lab host ip [switch namespace; default: the lab's own]
    local lab=$1 host=$2 addr=$3 sw=${4:-} ns idx veth
    [ -n "$sw" ] || sw=$(ns_name "$lab" sw)
    ns=$(ns_name "$lab" "$host")
    idx=${addr##*.}
    veth="v$idx"
    ip netns add "$ns"
    ip -n "$sw" link add "$veth" type veth peer name eth0 netns "$ns"
    ip -n "$sw" link set "$veth" master br0 up
    ip -n "$ns" addr add "$addr/24" dev eth0
    ip -n "$ns" link set lo up
    ip -n "$ns" link set eth0 up
    ip -n "$ns" link set eth0 multicast on
    # A machine id of its own, as a separate machine has (ip netns exec
    # binds it over /etc/machine-id; down removes it).
    mkdir -p "/etc/netns/$ns"
    od -An -N16 -tx1 /dev/urandom | tr -d ' \n' >"/etc/netns/$ns/machine-id"
    echo >>"/etc/netns/$ns/machine-id"
    mkdir -p "$(lab_dir "$lab")/$host"
}

cmd_add_host() {
    local lab=$1 host n addr
    shift
    require_lab "$lab"
    for host in "$@"; do
        check_name "$host" host
        [ "$host" != client ] && [ "$host" != sw ] && [ "$host" != rt ] && [ "$host" != dns ] ||
            die "'$host' is reserved"
        if awk -v h="$host" '$1 == h { f = 1 } END { exit !f }' "$(lab_dir "$lab")/hosts"; then
            die "lab $lab has host '$host' already"
        fi
        n=$(wc -l <"$(lab_dir "$lab")/hosts")
        addr="$SUBNET.$((10 + n))"
        add_host_ns "$lab" "$host" "$addr"
        echo "$host $addr" >>"$(lab_dir "$lab")/hosts"
        log "host $host at $addr"
    done
}

write_dbus_conf() {  # dir
    cat >"$1/dbus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$1/dbus.sock</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
EOF
}

write_avahi_conf() {  # dir hostname use-ipv6 [cache-entries-max]
    cat >"$1/avahi.conf" <<EOF
[server]
host-name=$2
${4:+cache-entries-max=$4}
use-ipv4=yes
use-ipv6=$3
allow-interfaces=eth0
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000

[wide-area]
enable-wide-area=no

[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no
publish-domain=no

[reflector]
enable-reflector=no
EOF
}

bus_pid() { awk -v h="$2" '$3 == h && $4 == "dbus" { p = $1 } END { print p }' "$(lab_dir "$1")/pids"; }
avahi_pid() { awk -v h="$2" '$3 == h && $4 == "avahi" { p = $1 } END { print p }' "$(lab_dir "$1")/pids"; }

start_bus() {  # lab host
    local lab=$1 host=$2 dir pid i
    dir=$(lab_dir "$lab")/$host
    pid=$(bus_pid "$lab" "$host")
    [ -n "$pid" ] && proc_alive "$pid" && return 0
    rm -f "$dir/dbus.sock"
    write_dbus_conf "$dir"
    pid=$(start_in_host "$lab" "$host" dbus "$dir/dbus.log" 0 \
        dbus-daemon --config-file="$dir/dbus.conf" --nofork --nopidfile)
    for i in $(seq 1 100); do
        [ -S "$dir/dbus.sock" ] && return 0
        proc_alive "$pid" || die "dbus-daemon in $host exited (see $dir/dbus.log)"
        sleep 0.05
    done
    die "dbus-daemon in $host did not come up"
}

cmd_avahi() {
    local lab=$1 host=$2 services="" hostsfile="" dir pid i deadline
    shift 2
    while [ $# -gt 0 ]; do
        case $1 in
        --services) services=$2; shift 2 ;;
        --hosts) hostsfile=$2; shift 2 ;;
        *) die "avahi: unknown option $1" ;;
        esac
    done
    require_lab "$lab"
    require_host "$lab" "$host"
    dir=$(lab_dir "$lab")/$host
    pid=$(avahi_pid "$lab" "$host")
    if [ -n "$pid" ] && proc_alive "$pid"; then return 0; fi
    start_bus "$lab" "$host"
    write_avahi_conf "$dir" "$lab-$host" "$([ -f "$(lab_dir "$lab")/ipv6" ] && echo yes || echo no)" \
        "$(cat "$(lab_dir "$lab")/cache-entries" 2>/dev/null)"
    mkdir -p "$dir/services"
    : >"$dir/avahi-hosts"
    [ -z "$services" ] || cp "$services"/*.service "$dir/services/" 2>/dev/null || true
    [ -z "$hostsfile" ] || cp "$hostsfile" "$dir/avahi-hosts"
    # The machine's own service files and host entries stay out of the lab.
    pid=$(start_in_host "$lab" "$host" avahi "$dir/avahi.log" 1 sh -c \
        'mount --bind "$1" /etc/avahi/services && mount --bind "$2" /etc/avahi/hosts &&
         mount --bind "$3" /etc/avahi/avahi-daemon.conf &&
         exec avahi-daemon --no-rlimits --no-drop-root --no-chroot' \
        sh "$dir/services" "$dir/avahi-hosts" "$dir/avahi.conf")
    # Ready when it answers on its bus with state 2 (running).
    deadline=$((SECONDS + 10))
    while [ $SECONDS -lt $deadline ]; do
        if DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/dbus.sock" timeout 2 dbus-send --system \
            --print-reply --dest=org.freedesktop.Avahi / \
            org.freedesktop.Avahi.Server.GetState 2>/dev/null | grep -q 'int32 2'; then
            log "avahi-daemon in $host ready (pid $pid)"
            return 0
        fi
        proc_alive "$pid" || die "avahi-daemon in $host exited (see $dir/avahi.log)"
        sleep 0.05
    done
    die "avahi-daemon in $host did not become ready"
}

cmd_stop_avahi() {
    local lab=$1 host=$2 pid
    require_lab "$lab"
    pid=$(avahi_pid "$lab" "$host")
    [ -n "$pid" ] || return 0
    cmd_kill "$lab" "$pid"
}

# This shell's PID and those of its parents up to PID 1.
ancestors() {
    local pid=$$ stat out=""
    while [ "$pid" -gt 1 ] 2>/dev/null; do
        out+="$pid "
        stat=$(cat "/proc/$pid/stat" 2>/dev/null) || break
        stat=${stat##*) }
        set -- $stat
        pid=$2
    done
    echo "$out"
}

teardown() {  # lab
    local lab=$1 dir ns pid start host tag
    dir=$(lab_dir "$lab")
    # Recorded processes, newest first: announcers, then avahi, then the bus.
    if [ -f "$dir/pids" ]; then
        tac "$dir/pids" | while read -r pid start host tag; do
            end_pid "$pid" "$start"
        done
    fi
    # Whatever else still runs in the lab's namespaces was started there
    # through the lab (e.g. a command under exec). Not so the process that
    # asked for this teardown, nor its callers: a test program may have moved
    # itself into the client namespace.
    local keep
    keep=" $(ancestors) "
    [ ! -f "$dir/owner" ] || keep+="$(awk '{print $1}' "$dir/owner") "
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep "^$PREFIX-$lab-" || true); do
        for pid in $(ip netns pids "$ns" 2>/dev/null || true); do
            [[ $keep == *" $pid "* ]] || end_pid "$pid" 0
        done
        ip netns del "$ns" 2>/dev/null || true
    done
    # The client's files under /etc/netns (nsswitch.conf from `up`,
    # resolv.conf from `dns`), which ip netns exec bind-mounts over /etc.
    # (and the resolv.conf of each host of another link, from `link`; each
    # host's machine-id, from add_host_ns).
    rm -rf "$dir" "/etc/netns/$(ns_name "$lab" "")"*
}

# The client's own nsswitch.conf: ip netns exec binds every file under
# /etc/netns/<namespace>/ over /etc in its private mount namespace, so the
# machine's /etc stays as it is. Its hosts line asks nss-mdns for .local
# names, as libnss-mdns sets up a desktop; nss-mdns reaches the avahi-daemon
# whose /run it sees (exec-resolver). Written before the client's daemon
# starts, so the daemon's mount namespace has it too.
write_client_nsswitch() {  # lab
    local dir
    dir=/etc/netns/$(ns_name "$1" client)
    mkdir -p "$dir"
    { grep -v '^hosts:' /etc/nsswitch.conf 2>/dev/null || true
      echo 'hosts: files mdns4_minimal [NOTFOUND=return] dns'; } >"$dir/nsswitch.conf"
}

cmd_up() {
    local lab=$1 owner="" avahi=1 ipv6=0 cache="" hosts=()
    shift
    check_name "$lab" lab
    while [ $# -gt 0 ]; do
        case $1 in
        --owner) owner=$2; shift 2 ;;
        --no-avahi) avahi=0; shift ;;
        --ipv6) ipv6=1; shift ;;
        --cache-entries) cache=$2; [[ $cache =~ ^[0-9]+$ ]] || die "up: --cache-entries needs a number"; shift 2 ;;
        -*) die "up: unknown option $1" ;;
        *) hosts+=("$1"); shift ;;
        esac
    done
    need_root
    cmd_gc
    teardown "$lab"   # a stale lab of the same name, from a crashed run
    local dir sw
    dir=$(lab_dir "$lab")
    mkdir -p "$dir/client"
    : >"$dir/pids"
    : >"$dir/hosts"
    # Every avahi-daemon of the lab then also speaks mDNS over IPv6 (link-local).
    [ "$ipv6" = 0 ] || : >"$dir/ipv6"
    # avahi-daemon's cache-entries-max (its default 4096 holds ~1,000 printers).
    [ -z "$cache" ] || echo "$cache" >"$dir/cache-entries"
    if [ -n "$owner" ]; then
        echo "$owner $(proc_start "$owner" || echo 0)" >"$dir/owner"
    else
        echo 0 >"$dir/owner"
    fi
    # Whatever fails from here on leaves no half-built lab behind.
    UP_LAB=$lab
    trap '[ -z "$UP_LAB" ] || teardown "$UP_LAB"' EXIT
    trap 'exit 1' INT TERM
    sw=$(ns_name "$lab" sw)
    ip netns add "$sw"
    ip -n "$sw" link set lo up
    ip -n "$sw" link add br0 type bridge mcast_snooping 0
    ip -n "$sw" link set br0 up
    add_host_ns "$lab" client "$CLIENT_IP"
    write_client_nsswitch "$lab"
    [ ${#hosts[@]} -eq 0 ] || cmd_add_host "$lab" "${hosts[@]}"
    [ "$avahi" = 0 ] || cmd_avahi "$lab" client
    UP_LAB=""
    trap - INT TERM
    log "lab $lab up"
}

cmd_down() {
    check_name "$1" lab
    need_root
    teardown "$1"
}

# Tears down labs whose owning process has gone (a crashed test run).
cmd_gc() {
    local d lab owner
    [ -d "$LAB_ROOT" ] || return 0
    local start
    for d in "$LAB_ROOT"/*/; do
        [ -f "$d/owner" ] || continue
        lab=$(basename "$d")
        read -r owner start <"$d/owner" || continue
        [ "$owner" != 0 ] || continue
        # Gone, or its number now names another process.
        if ! proc_alive "$owner" || { [ -n "${start:-}" ] && [ "$(proc_start "$owner")" != "$start" ]; }; then
            log "removing stale lab $lab"
            teardown "$lab"
        fi
    done
}

cmd_spawn() {
    local lab=$1 host=$2 tag=cmd logf=""
    shift 2
    while [ $# -gt 0 ]; do
        case $1 in
        --tag) tag=$2; shift 2 ;;
        --log) logf=$2; shift 2 ;;
        --) shift; break ;;
        *) die "spawn: unknown option $1" ;;
        esac
    done
    [ $# -gt 0 ] || die "spawn: no command"
    require_lab "$lab"
    require_host "$lab" "$host"
    [[ $tag =~ ^[A-Za-z0-9_.-]+$ ]] || die "bad tag '$tag'"
    [ -n "$logf" ] || logf="$(lab_dir "$lab")/$host/$tag.log"
    start_in_host "$lab" "$host" "$tag" "$logf" 0 "$@"
}

cmd_exec() {
    local lab=$1 host=$2 envs=()
    shift 2
    [ "${1:-}" = -- ] && shift
    [ $# -gt 0 ] || die "exec: no command"
    require_lab "$lab"
    require_host "$lab" "$host"
    mapfile -t envs < <(host_env "$lab" "$host")
    exec ip netns exec "$(ns_name "$lab" "$host")" env "${envs[@]}" "$@"
}

# Runs a command where the client's avahi-daemon runs: its network namespace
# and its mount namespace (the private /run with the daemon's socket, the
# lab's nsswitch.conf), so the system resolver finds .local names through
# nss-mdns as on a desktop.
cmd_exec_resolver() {
    local lab=$1 pid start envs=()
    shift
    [ "${1:-}" = -- ] && shift
    [ $# -gt 0 ] || die "exec-resolver: no command"
    require_lab "$lab"
    read -r pid start < <(awk '$3 == "client" && $4 == "avahi" { p = $1; s = $2 } END { print p, s }' \
        "$(lab_dir "$lab")/pids")
    { [ -n "${pid:-}" ] && proc_alive "$pid" && [ "$(proc_start "$pid")" = "$start" ]; } ||
        die "exec-resolver: the client's avahi-daemon is not running"
    mapfile -t envs < <(host_env "$lab" client)
    exec nsenter -t "$pid" -m -n env "${envs[@]}" "$@"
}

cmd_kill() {
    local lab=$1 what=$2 sig=TERM dir
    shift 2
    [ "${1:-}" = --signal ] && sig=$2
    require_lab "$lab"
    dir=$(lab_dir "$lab")
    local lines
    lines=$(awk -v w="$what" '$1 == w || $4 == w' "$dir/pids")
    [ -n "$lines" ] || die "no process '$what' in lab $lab"
    echo "$lines" | while read -r pid start host tag; do
        end_pid "$pid" "$start" "$sig"
    done
    with_lock "$lab" drop_lines "$what" "$dir/pids"
}

cmd_announce() {
    local lab=$1 host=$2 desc=$3 tag=announce ttl=() pid logf i
    shift 3
    while [ $# -gt 0 ]; do
        case $1 in
        --tag) tag=$2; shift 2 ;;
        --host-ttl) ttl=(--host-ttl "$2"); shift 2 ;;
        *) die "announce: unknown option $1" ;;
        esac
    done
    require_lab "$lab"
    require_host "$lab" "$host"
    [ -f "$desc" ] || die "no description file $desc"
    logf="$(lab_dir "$lab")/$host/$tag.log"
    : >"$logf"
    pid=$(cmd_spawn "$lab" "$host" --tag "$tag" --log "$logf" -- \
        "$PYTHON" "$LAB_HOME/announcer.py" "${ttl[@]}" "$desc")
    wait_ready "$pid" "$logf" announcer
}

wait_ready() {  # pid logfile what: until the process prints "ready" (15 s)
    local i
    for i in $(seq 1 300); do
        grep -q '^ready' "$2" && { echo "$1"; return 0; }
        proc_alive "$1" || { cat "$2" >&2; die "$3 exited"; }
        sleep 0.05
    done
    die "$3 was not ready within 15 s (see $2)"
}

# WS-Discovery devices of wsd_responder.py, answering from the host.
cmd_wsd() {
    local lab=$1 host=$2 desc=$3 tag=${5:-wsd} logf
    require_lab "$lab"
    require_host "$lab" "$host"
    [ -f "$desc" ] || die "no description file $desc"
    logf="$(lab_dir "$lab")/$host/$tag.log"
    : >"$logf"
    wait_ready "$(cmd_spawn "$lab" "$host" --tag "$tag" --log "$logf" -- \
        "$PYTHON" "$LAB_HOME/wsd_responder.py" "$desc")" "$logf" "WSD responder"
}

cmd_ippeveprinter() {
    local lab=$1 host=$2 name=$3 tag=ippeveprinter dir pid
    shift 3
    if [ "${1:-}" = --tag ]; then tag=$2; shift 2; fi
    [ "${1:-}" = -- ] && shift
    require_lab "$lab"
    require_host "$lab" "$host"
    cmd_avahi "$lab" "$host"
    dir=$(lab_dir "$lab")/$host
    mkdir -p "$dir/spool-$tag" "$dir/keys-$tag"
    # -K: a place to make its self-signed certificate, so it answers ipps too.
    pid=$(cmd_spawn "$lab" "$host" --tag "$tag" -- ippeveprinter -p 631 -d "$dir/spool-$tag" \
        -K "$dir/keys-$tag" -m "Lab Model" -M "Halvet Lab" -l "Lab" "$@" "$name")
    echo "$pid"
}

# An SNMP agent on the host's UDP 161 (snmpsimd): it answers each community
# that has a <community>.snmprec file in <data-dir>, broadcasts included.
cmd_snmp() {
    local lab=$1 host=$2 data=$3 tag=snmp pid i
    [ "${4:-}" = --tag ] && tag=$5
    require_lab "$lab"
    require_host "$lab" "$host"
    mkdir -p "$(lab_dir "$lab")/$host/cache-$tag"
    pid=$(cmd_spawn "$lab" "$host" --tag "$tag" -- snmpsimd --data-dir="$data" --agent-udpv4-endpoint=0.0.0.0:161 \
        --cache-dir="$(lab_dir "$lab")/$host/cache-$tag" --process-user=root --process-group=root --logging-method=stderr)
    for i in $(seq 100); do
        grep -q "Listening at UDP/IPv4" "$(lab_dir "$lab")/$host/$tag.log" 2>/dev/null && { echo "$pid"; return 0; }
        proc_alive "$pid" || break
        sleep 0.1
    done
    die "snmp: snmpsimd did not come up in $host (see $(lab_dir "$lab")/$host/$tag.log)"
}

# Switched-off printers: announced with SRV and A records of TTL 1 s, seen by
# the client's avahi-daemon, then killed without goodbye. Their PTR records
# stay in the client's cache; a resolve gets no answer.
cmd_stale() {
    local lab=$1 host=$2 desc=$3 tag=stale stype
    shift 3
    [ "${1:-}" = --tag ] && tag=$2
    cmd_announce "$lab" "$host" "$desc" --tag "$tag" --host-ttl 1 >/dev/null
    for stype in $("$PYTHON" "$LAB_HOME/announcer.py" --list "$desc" | cut -f1 | sort -u); do
        local names=()
        mapfile -t names < <("$PYTHON" "$LAB_HOME/announcer.py" --list "$desc" |
            awk -F'\t' -v t="$stype" '$1 == t { print $2 }')
        cmd_wait_browse "$lab" "$stype" "${names[@]}" --timeout 15
    done
    cmd_kill "$lab" "$tag" --signal KILL
}

# The client's avahi-daemon failing under a client: killed (SIGKILL), frozen
# (SIGSTOP), thawed (SIGCONT), or restarted (killed if still there, then
# started again on the same bus). Only the recorded daemon is signalled.
cmd_client_avahi() {
    local lab=$1 action=$2 pid start i
    require_lab "$lab"
    read -r pid start < <(awk '$3 == "client" && $4 == "avahi" { p = $1; s = $2 } END { print p, s }' \
        "$(lab_dir "$lab")/pids")
    if [ -n "${pid:-}" ] && { ! proc_alive "$pid" || [ "$(proc_start "$pid")" != "$start" ]; }; then
        pid=""  # gone already (or its number reused)
    fi
    case $action in
    kill | restart)
        if [ -n "$pid" ]; then
            kill -KILL "$pid"
            for i in $(seq 1 100); do
                proc_alive "$pid" || break
                sleep 0.02
            done
            with_lock "$lab" drop_lines "$pid" "$(lab_dir "$lab")/pids"
        fi
        [ "$action" = kill ] || cmd_avahi "$lab" client
        ;;
    freeze | thaw)
        [ -n "$pid" ] || die "no avahi-daemon runs in the client of lab $lab"
        kill -s "$([ "$action" = freeze ] && echo STOP || echo CONT)" "$pid"
        ;;
    *) die "client-avahi: kill, freeze, thaw or restart, not '$action'" ;;
    esac
}

# Waits until the client's avahi-daemon sees every named instance of a type.
cmd_wait_browse() {
    local lab=$1 type=$2 secs=10 deadline names=()
    shift 2
    while [ $# -gt 0 ]; do
        case $1 in
        --timeout) secs=$2; shift 2 ;;
        *) names+=("$1"); shift ;;
        esac
    done
    # Old form: a last argument of digits only is the timeout.
    if [ ${#names[@]} -gt 1 ] && [[ ${names[-1]} =~ ^[0-9]+$ ]]; then
        secs=${names[-1]}
        unset 'names[-1]'
    fi
    [ ${#names[@]} -gt 0 ] || die "wait-browse: no instance named"
    require_lab "$lab"
    deadline=$((SECONDS + secs))
    while [ $SECONDS -lt $deadline ]; do
        if cmd_exec_quiet "$lab" client timeout 3 avahi-browse -t -p -k "$type" 2>/dev/null |
            "$PYTHON" "$LAB_HOME/browse_has.py" "${names[@]}"; then
            return 0
        fi
        sleep 0.1
    done
    die "not all of '${names[*]}' ($type) seen within $secs s"
}

cmd_exec_quiet() {  # like exec, without replacing this shell
    local lab=$1 host=$2 envs=()
    shift 2
    mapfile -t envs < <(host_env "$lab" "$host")
    ip netns exec "$(ns_name "$lab" "$host")" env "${envs[@]}" "$@"
}

write_named_conf() {  # dir zonedir [keyfile dynamic-zone...]
    local dir=$1 zones=$2 key=${3:-} f zone keyname
    shift 3 2>/dev/null || shift $#
    cat >"$dir/named.conf" <<EOF
options {
    directory "$dir";
    listen-on port 53 { $DNS_IP; };
    listen-on-v6 { none; };
    recursion no;
    dnssec-validation no;
    pid-file "$dir/named.pid";
    session-keyfile "$dir/session.key";
    managed-keys-directory "$dir";
};
controls { };
EOF
    [ -z "$key" ] || { cat "$key" >>"$dir/named.conf"; keyname=$(awk -F'"' '/^key/ { print $2; exit }' "$key"); }
    for f in "$zones"/*.zone; do
        zone=$(basename "$f" .zone)
        if [[ " $* " == *" $zone "* ]]; then
            # Updates write a journal beside the zone: a copy of the lab's own.
            cp "$f" "$dir/$zone.zone"
            # BIND 9.18 holds at most 100 records of a type at a name unless told.
            printf 'zone "%s" { type primary; file "%s"; update-policy { grant %s subdomain %s. ANY; }; %s };\n' \
                "$zone" "$dir/$zone.zone" "$keyname" "$zone" "max-records-per-type 0;" >>"$dir/named.conf"
        else
            printf 'zone "%s" { type primary; file "%s"; };\n' "$zone" "$f" >>"$dir/named.conf"
        fi
    done
}

# An authoritative DNS server (BIND's named; NSD would write the names in
# record data in lower case) on a subnet of its own, reached from the
# client through a router namespace; the client's resolver configuration
# points at it. Every *.zone file of the directory is served (a zone that
# does not load is answered with SERVFAIL).
cmd_dns() {
    local lab=$1 zones=$2 search=() dir rt dns sw client pid i ns key= dynamic=()
    shift 2
    while [ $# -gt 0 ]; do
        case $1 in
        --search) search+=("$2"); shift 2 ;;
        --key) key=$2; shift 2 ;;
        --dynamic) dynamic+=("$2"); shift 2 ;;
        *) die "dns: unknown option $1" ;;
        esac
    done
    require_lab "$lab"
    [ -d "$zones" ] || die "no zone directory $zones"
    zones=$(cd "$zones" && pwd)
    dir=$(lab_dir "$lab")/dns
    [ ! -d "$dir" ] || die "lab $lab has a DNS server already"
    mkdir -p "$dir"
    sw=$(ns_name "$lab" sw)
    rt=$(ns_name "$lab" rt)
    dns=$(ns_name "$lab" dns)
    client=$(ns_name "$lab" client)
    ip netns add "$rt"
    ip netns add "$dns"
    ip -n "$sw" link add vrt type veth peer name eth0 netns "$rt"
    ip -n "$sw" link set vrt master br0 up
    ip -n "$rt" link add eth1 type veth peer name eth0 netns "$dns"
    ip -n "$rt" addr add "$ROUTER_IP/24" dev eth0
    ip -n "$rt" addr add "$DNS_SUBNET.1/24" dev eth1
    ip -n "$dns" addr add "$DNS_IP/24" dev eth0
    for ns in "$rt" "$dns"; do
        ip -n "$ns" link set lo up
        ip -n "$ns" link set eth0 up
    done
    ip -n "$rt" link set eth1 up
    ip netns exec "$rt" sysctl -qw net.ipv4.ip_forward=1
    ip -n "$dns" route add default via "$DNS_SUBNET.1"
    ip -n "$client" route add "$DNS_SUBNET.0/24" via "$ROUTER_IP"
    # Only `ip netns exec` mounts it over /etc/resolv.conf: a process that
    # enters the namespace with setns alone keeps the machine's.
    mkdir -p "/etc/netns/$client"
    : >"$(lab_dir "$lab")/netns-etc"
    {
        echo "nameserver $DNS_IP"
        [ ${#search[@]} -eq 0 ] || echo "search ${search[*]}"
        echo "options timeout:1 attempts:1"
    } >"/etc/netns/$client/resolv.conf"
    [ ${#dynamic[@]} -eq 0 ] || [ -f "$key" ] || die "dns: --dynamic needs --key FILE"
    write_named_conf "$dir" "$zones" "$key" "${dynamic[@]}"
    pid=$(start_in_host "$lab" dns named "$dir/named.log" 0 named -g -n 1 -c "$dir/named.conf")
    for i in $(seq 1 200); do
        grep -q "] running$\| running$" "$dir/named.log" 2>/dev/null && { echo "$pid"; return 0; }
        proc_alive "$pid" || { cat "$dir/named.log" >&2; die "named exited"; }
        sleep 0.05
    done
    die "named did not start within 10 s (see $dir/named.log)"
}

# Another link (1-9) behind the router: a switch of its own, subnet
# 10.40.<n>.0/24 (router .254), hosts from .10 on, each with a route to
# every subnet through the router and the DNS server in its resolv.conf. No
# multicast crosses the router. Needs `dns` first (the router).
cmd_link() {
    local lab=$1 n=$2 sw rt ns host addr i=10
    shift 2
    require_lab "$lab"
    [[ $n =~ ^[1-9]$ ]] || die "link: a link number 1-9, not '$n'"
    [ -d "$(lab_dir "$lab")/dns" ] || die "link: start the DNS server (and its router) first"
    sw=$(ns_name "$lab" "sw$n")
    rt=$(ns_name "$lab" rt)
    ip netns add "$sw"
    ip -n "$sw" link add br0 type bridge mcast_snooping 0
    ip -n "$sw" link set br0 up
    ip -n "$sw" link add vrt type veth peer name "l$n" netns "$rt"
    ip -n "$sw" link set vrt master br0 up
    ip -n "$rt" addr add "10.40.$n.254/24" dev "l$n"
    ip -n "$rt" link set "l$n" up
    for host in "$@"; do
        check_name "$host" host
        ! awk -v h="$host" '$1 == h { f = 1 } END { exit !f }' "$(lab_dir "$lab")/hosts" || die "lab $lab has host '$host' already"
        addr="10.40.$n.$i"
        ns=$(ns_name "$lab" "$host")
        add_host_ns "$lab" "$host" "$addr" "$sw"
        ip -n "$ns" route add default via "10.40.$n.254"
        mkdir -p "/etc/netns/$ns"
        cp "/etc/netns/$(ns_name "$lab" client)/resolv.conf" "/etc/netns/$ns/resolv.conf"
        echo "$host $addr" >>"$(lab_dir "$lab")/hosts"
        i=$((i + 1))
    done
    # The first link reaches the others through the router too.
    ip -n "$(ns_name "$lab" client)" route add "10.40.$n.0/24" via "$ROUTER_IP" 2>/dev/null || true
}

cmd_status() {
    local lab=$1 dir pid start host tag state
    require_lab "$lab"
    dir=$(lab_dir "$lab")
    echo "client $CLIENT_IP $(ns_name "$lab" client)"
    while read -r host addr; do echo "$host $addr $(ns_name "$lab" "$host")"; done <"$dir/hosts"
    while read -r pid start host tag; do
        state=gone
        proc_alive "$pid" && [ "$(proc_start "$pid")" = "$start" ] && state=running
        echo "pid $pid $host $tag $state"
    done <"$dir/pids"
}

main() {
    [ $# -ge 1 ] || die "usage: lab.sh up|down|add-host|avahi|stop-avahi|client-avahi|spawn|exec|exec-client|kill|announce|wsd|stale|ippeveprinter|snmp|wait-browse|dns|ip|env|status|gc ..."
    local verb=$1
    shift
    case $verb in
    up) [ $# -ge 1 ] || die "up <lab>"; cmd_up "$@" ;;
    down) [ $# -ge 1 ] || die "down <lab>"; cmd_down "$1" ;;
    gc) need_root; cmd_gc ;;
    add-host) [ $# -ge 2 ] || die "add-host <lab> <host>..."; need_root; cmd_add_host "$@" ;;
    avahi) [ $# -ge 2 ] || die "avahi <lab> <host>"; need_root; cmd_avahi "$@" ;;
    stop-avahi) [ $# -ge 2 ] || die "stop-avahi <lab> <host>"; need_root; cmd_stop_avahi "$1" "$2" ;;
    spawn) [ $# -ge 3 ] || die "spawn <lab> <host> -- cmd"; need_root; cmd_spawn "$@" ;;
    exec) [ $# -ge 3 ] || die "exec <lab> <host> -- cmd"; need_root; cmd_exec "$@" ;;
    exec-client) [ $# -ge 2 ] || die "exec-client <lab> -- cmd"; need_root
        local lab=$1; shift; cmd_exec "$lab" client "$@" ;;
    exec-resolver) [ $# -ge 2 ] || die "exec-resolver <lab> -- cmd"; need_root; cmd_exec_resolver "$@" ;;
    kill) [ $# -ge 2 ] || die "kill <lab> <pid|tag>"; need_root; cmd_kill "$@" ;;
    announce) [ $# -ge 3 ] || die "announce <lab> <host> <file>"; need_root; cmd_announce "$@" ;;
    wsd) [ $# -ge 3 ] || die "wsd <lab> <host> <file> [--tag TAG]"; need_root; cmd_wsd "$@" ;;
    stale) [ $# -ge 3 ] || die "stale <lab> <host> <file>"; need_root; cmd_stale "$@" ;;
    client-avahi) [ $# -ge 2 ] || die "client-avahi <lab> kill|freeze|thaw|restart"; need_root; cmd_client_avahi "$@" ;;
    snmp) [ $# -ge 3 ] || die "snmp <lab> <host> <data-dir>"; need_root; cmd_snmp "$@" ;;
    ippeveprinter) [ $# -ge 3 ] || die "ippeveprinter <lab> <host> <name>"; need_root; cmd_ippeveprinter "$@" ;;
    wait-browse) [ $# -ge 3 ] || die "wait-browse <lab> <type> <instance>... [--timeout s]"; need_root; cmd_wait_browse "$@" ;;
    dns) [ $# -ge 2 ] || die "dns <lab> <zone-dir> [--search DOMAIN]... [--key FILE --dynamic ZONE...]"; need_root; cmd_dns "$@" ;;
    link) [ $# -ge 3 ] || die "link <lab> <1-9> <host>..."; need_root; cmd_link "$@" ;;
    ip) [ $# -ge 2 ] || die "ip <lab> <host>"; require_lab "$1"; require_host "$1" "$2"; host_ip "$1" "$2" ;;
    env) [ $# -ge 1 ] || die "env <lab> [host]"; require_lab "$1"; host_env "$1" "${2:-client}" ;;
    status) [ $# -ge 1 ] || die "status <lab>"; cmd_status "$1" ;;
    *) die "unknown command '$verb'" ;;
    esac
}

main "$@"
