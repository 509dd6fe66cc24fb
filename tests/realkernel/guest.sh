#!/bin/sh
# Runs inside the guest: presents the enclosures of /rig/enclosures.conf through TCMU and
# the loopback fabric, runs every scenario with the real programs, keeps what they did in
# /out and writes /out as a base64 tar to the second serial port. The host checks it.
set -u

OUT=/out
STATE=/state
RIG=/rig
LOG=/var/log/qelvo/caldrix/tolvad.log
CONF=/etc/qelvo/caldrix/tolvad.conf
TARGET=/sys/kernel/config/target
TPG=$TARGET/loopback/naa.5001405000000001/tpgt_1
mkdir -p "$OUT" "$STATE"

now() { cut -d' ' -f1 /proc/uptime; }
mark() { echo "$1 $(now)" >>"$OUT/times"; }
say() { echo "guest: $*"; }
lines() { if [ -f "$STATE/journal.txt" ]; then wc -l <"$STATE/journal.txt"; else echo 0; fi; }

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_for() {
    tries=$1
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}

# Starts a scenario: a fresh log, the journal position, a folder for what it leaves.
begin() {
    scenario=$1
    dir=$OUT/$scenario
    mkdir -p "$dir"
    rm -f "$LOG" "$LOG".*
    journal_from=$(($(lines) + 1))
    mark "$scenario.start"
    say "scenario $scenario"
}

# Keeps the journal lines of the scenario, the log and each array's stored view.
finish() {
    mark "$scenario.end"
    tail -n +"$journal_from" "$STATE/journal.txt" >"$dir/journal" 2>/dev/null
    cp "$LOG" "$dir/log" 2>/dev/null
    for view in "$STATE"/*.view; do
        [ -f "$view" ] && cp "$view" "$dir/"
    done
}

set_view() { cp "$RIG/views/$1" /run/view; }

journal_has() { tail -n +"$1" "$STATE/journal.txt" | grep -q "$2"; }

present_enclosures() {
    mark setup.start
    nodes=$(awk '$1 == "enclosure" { print $2 }' "$RIG/enclosures.conf")
    for node in $nodes; do
        store=$TARGET/core/user_0/$node
        mkdir -p "$store"
        echo "dev_config=$node/tolva,dev_size=1048576" >"$store/control"
        echo 1 >"$store/enable"
    done
    "$RIG/tolva-tcmu" --config "$RIG/enclosures.conf" --state "$STATE" >"$OUT/tcmu.out" \
        2>"$OUT/tcmu.err" &
    tcmu_pid=$!
    wait_for 100 grep -qx ready "$OUT/tcmu.out" || return 1
    mkdir -p "$TPG"
    echo naa.5001405000000002 >"$TPG/nexus"
    lun=0
    for node in $nodes; do
        mkdir "$TPG/lun/lun_$lun"
        ln -s "$TARGET/core/user_0/$node" "$TPG/lun/lun_$lun/$node"
        lun=$((lun + 1))
    done
    address=$(cat "$TPG/address")
    lun=0
    for node in $nodes; do
        generic=/sys/bus/scsi/devices/$address:$lun/scsi_generic
        wait_for 100 test -d "$generic" || return 1
        echo "lun_$lun $node $(ls "$generic")" >>"$OUT/nodes"
        wait_for 50 test -c "/dev/$(ls "$generic")" || return 1
        lun=$((lun + 1))
    done
    # Every LUN but the last holds a unit attention for the LUNs added after it, which the
    # target core itself answers to the first command other than INQUIRY: one TEST UNIT READY
    # each takes it before the programs come.
    for node in $nodes; do
        "$RIG/tolva-sgprobe" cmd "/dev/$node" in 000000000000 0 >"$OUT/settle.$node" 2>&1
    done
    mark setup.end
}

scenario_discovery() {
    begin discovery
    set_view one.txt
    TOLVAD_DEBUG=yes /usr/sbin/tolvad -p >"$dir/stdout" 2>"$dir/stderr"
    echo $? >"$dir/status"
    finish
    # What INQUIRY returns through the real driver, node by node.
    for node in $nodes; do
        "$RIG/tolva-sgprobe" cmd "/dev/$node" in 12000000ff00 255 >"$dir/inquiry.$node" 2>&1
    done
}

scenario_chunks() {
    begin chunks
    set_view big.txt
    /usr/sbin/tolvad -p >"$dir/stdout" 2>"$dir/stderr"
    echo $? >"$dir/status"
    finish
}

scenario_ctl() {
    begin ctl
    cp "$RIG/tolvad.conf" "$CONF"
    set_view two.txt
    /usr/sbin/Tolvactl set PushInterval 4 >"$dir/set1.out" 2>&1
    echo $? >"$dir/set1.status"
    /usr/sbin/Tolvactl set RefreshInterval 2 >"$dir/set2.out" 2>&1
    echo $? >"$dir/set2.status"
    cp "$CONF" "$dir/tolvad.conf"
    /usr/sbin/Tolvactl list >"$dir/list.out" 2>&1
    echo $? >"$dir/list.status"
    /usr/sbin/Tolvactl push >"$dir/push.out" 2>&1
    echo $? >"$dir/push.status"
    finish
}

scenario_daemon() {
    begin daemon
    set_view three.txt
    "$RIG/tolva-sgprobe" adopt /usr/sbin/tolvad >"$dir/adopt" 2>&1 &
    adopter=$!
    if wait_for 100 journal_has "$journal_from" 'sg4 array=B kind=hostinfo_send'; then
        cat /run/tolvad.pid >"$dir/pidfile" 2>&1
        # Another host's copy lands in array B between the daemon's push and its read-back.
        planted=$(($(lines) + 1))
        "$RIG/tolva-sgprobe" send /dev/sg4 "$RIG/views/stale.txt" >"$dir/plant" 2>&1
        echo "$((planted - journal_from + 1))" >"$dir/planted_at"
        cp "$STATE/B.view" "$dir/B.planted" 2>/dev/null
        # The read-back finds the stale copy and pushes the view again.
        wait_for 150 sh -c "tail -n +$((planted + 1)) $STATE/journal.txt |
            grep 'sg4 array=B kind=hostinfo_receive' -A 100 |
            grep -q 'sg4 array=B kind=hostinfo_send'"
    fi
    pid=$(cat /run/tolvad.pid 2>/dev/null)
    [ -n "$pid" ] && kill -TERM "$pid"
    wait_for 100 grep -q '^adopted' "$dir/adopt"
    wait "$adopter"
    if [ -e /run/tolvad.pid ]; then echo present; else echo absent; fi >"$dir/pidfile_after"
    finish
}

scenario_refused() {
    begin refused
    "$RIG/tolva-sgprobe" refuse /dev/sg0 >"$dir/probe" 2>&1
    echo $? >"$dir/status"
    finish
}

# Answers whose header fields the programs never read, as the real driver hands them over.
scenario_answers() {
    begin answers
    probe=$RIG/tolva-sgprobe
    "$probe" cmd /dev/sg3 in 7f00000000000002f809 0 >"$dir/unknown_service" 2>&1
    "$probe" cmd /dev/sg3 in 7f00ffff00000002f803 65535 >"$dir/busy_receive" 2>&1
    "$probe" cmd /dev/sg3 in 7f00ffff00000002f803 65535 >"$dir/empty_receive" 2>&1
    "$probe" cmd /dev/sg3 out 7f00000600000002f802 6 "$RIG/views/stale.txt" \
        >"$dir/failed_send" 2>&1
    finish
}

say "up after $(now) s"
mark boot
status=0
if present_enclosures; then
    scenario_discovery
    scenario_chunks
    scenario_ctl
    scenario_daemon
    scenario_refused
    scenario_answers
else
    say "the enclosures could not be presented"
    status=1
fi
[ -n "${tcmu_pid:-}" ] && kill -TERM "$tcmu_pid"
cp "$STATE/journal.txt" "$OUT/journal.txt" 2>/dev/null
mark done
dmesg >"$OUT/dmesg"
say "sending the results"
{
    tar -C "$OUT" -cf - . | base64
    echo "==end=="
} >/dev/ttyS1
exit "$status"
