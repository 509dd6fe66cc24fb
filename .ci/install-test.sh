#!/usr/bin/env bash
# Installs, uses, removes, reinstalls and purges the Debian package in a private mount
# namespace whose /etc, /var and /usr are overlays (their changes land in a temporary
# folder) and whose /dev and /run are folders of ours, with the virtual sg layer preloaded
# and a simulated array behind it. The service runs through the real `service` command and
# the init script, as on a host without systemd. Afterwards the real system must be as it
# was.
#
#   .ci/install-test.sh BUILD_DIR      (after packaging/check-package.sh BUILD_DIR)
set -euo pipefail

fail() {
    echo "install-test: $*" >&2
    exit 1
}

# ---------------------------------------------------------------------------------------
# Inside the namespace.

# The processes of our namespace with one of the given names (the pid namespace is
# shared, so colleagues' daemons elsewhere must not count).
running() {
    local ns p
    ns=$(readlink /proc/self/ns/mnt)
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/ns/mnt" 2>/dev/null)" = "$ns" ] || continue
        case " $* " in
            *" $(cat "$p/comm" 2>/dev/null) "*) echo "${p#/proc/}" ;;
        esac
    done
}
ours_running() { running tolvad Tolvactl zyr_hostinfo; }

# Waits up to 20 seconds for a command to succeed.
eventually() {
    local i
    for i in $(seq 200); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

daemon_pid() {
    local pid
    pid=$(head -n 1 /var/run/tolvad.pid 2>/dev/null) || return 1
    [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = tolvad ] && echo "$pid"
}
none_running() { [ -z "$(ours_running)" ]; }
sends() { grep -c 'kind=hostinfo_send' "$STATE/journal.txt" 2>/dev/null || true; }
sent_since() { [ "$(sends)" -gt "$1" ]; }
view_stored() {
    cmp -s <(tr -d '\000' <"$STATE/A.view" 2>/dev/null) <(/usr/share/zyr/zyr_hostinfo)
}

policy() { # allow | deny: what policy-rc.d answers invoke-rc.d
    printf '#!/bin/sh\nexit %s\n' "$([ "$1" = allow ] && echo 0 || echo 101)" >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
}

registered() {
    local level
    for level in 2 3 4 5; do [ -L "/etc/rc$level.d/S01TolvactlSvc" ] || return 1; done
    for level in 0 1 6; do [ -L "/etc/rc$level.d/K01TolvactlSvc" ] || return 1; done
    [ "$(systemctl is-enabled TolvactlSvc.service 2>&1)" = enabled ] || return 1
    # Recorded, so that the purge takes the links away again.
    [ -f /var/lib/systemd/deb-systemd-helper-enabled/TolvactlSvc.service.dsh-also ]
}

ctl() { # expected-status command words...: runs Tolvactl, keeps its output in $out
    local want=$1 status=0
    shift
    out=$(/usr/sbin/Tolvactl "$@" 2>&1) || status=$?
    [ "$status" = "$want" ] || fail "Tolvactl $*: exit status $status, not $want: $out"
}

package_status() { dpkg-query -W -f='${db:Status-Abbrev}' tolva 2>/dev/null || true; }

# Runs a maintainer script of the package once more, as dpkg would: SCRIPT ARGUMENTS...
again() {
    DPKG_MAINTSCRIPT_PACKAGE=tolva DPKG_MAINTSCRIPT_NAME=$1 "$ROOT/control/$1" "${@:2}" ||
        fail "$1 $* run a second time failed"
}

inside() {
    ROOT=$1 DEB=$2
    STATE=$ROOT/state
    dpkg-deb -e "$DEB" "$ROOT/control"
    export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    # What a host booted into its runlevel tells invoke-rc.d; the namespace has no record.
    export RUNLEVEL=2 PREVLEVEL=N
    local dir
    for dir in etc var usr; do
        mount -t overlay overlay \
            -o "lowerdir=/$dir,upperdir=$ROOT/$dir,workdir=$ROOT/.work/$dir" "/$dir"
    done
    mount --bind "$ROOT/run" /run
    mount --bind "$ROOT/dev" /dev
    # Whatever ends the test, nothing of ours outlives the namespace.
    trap 'for p in $(ours_running); do kill -KILL "$p" 2>/dev/null || :; done' EXIT

    echo "== dpkg -i, with policy-rc.d allowing the start"
    policy allow
    dpkg -i "$DEB" </dev/null
    [ "$(package_status)" = "ii " ] || fail "not installed: $(package_status)"
    registered || fail "the init script is not registered or the unit not enabled"
    eventually daemon_pid >/dev/null || fail "postinst did not start the daemon"
    eventually view_stored || fail "the started daemon pushed no view"
    systemd-analyze verify /lib/systemd/system/TolvactlSvc.service ||
        fail "systemd-analyze verify rejects the unit"
    local first
    first=$(daemon_pid)
    again postinst configure ""
    [ "$(running tolvad)" = "$first" ] || fail "postinst again: $(running tolvad), not $first"
    registered || fail "postinst again undid the registration"

    echo "== Tolvactl status, stop, push, start"
    local pid
    pid=$(daemon_pid)
    ctl 0 status
    grep -qxF "TolvactlSvc is running (pid $pid)." <<<"$out" || fail "status: $out"
    grep -qxF "Value is PushInterval=86400" <<<"$out" || fail "status: $out"
    ctl 0 stop
    grep -qxF "TolvactlSvc stopped." <<<"$out" || fail "stop: $out"
    none_running || fail "still running after stop: $(ours_running)"
    [ ! -e /var/run/tolvad.pid ] || fail "stop left the pid file"

    local before
    before=$(sends)
    ctl 0 push
    [ "$(sends)" = $((before + 1)) ] || fail "push sent $(($(sends) - before)) views, not 1"
    view_stored || fail "the array holds another view than the host's after push"

    # What the unit starts stays in the foreground, so the manager tracks the daemon itself.
    grep -qx 'Type=\(exec\|simple\)' /lib/systemd/system/TolvactlSvc.service ||
        fail "the unit's type makes the manager wait for a pid file"
    local exec_start status=0
    exec_start=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/TolvactlSvc.service)
    before=$(sends)
    $exec_start </dev/null >/dev/null 2>&1 &
    pid=$!
    eventually sent_since "$before" || fail "'$exec_start' pushed nothing"
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = tolvad ] || fail "'$exec_start' did not stay"
    [ ! -e /var/run/tolvad.pid ] || fail "'$exec_start' wrote a pid file"
    kill -TERM "$pid"
    wait "$pid" || status=$?
    [ "$status" = 0 ] || fail "'$exec_start' ended with $status on SIGTERM"

    ctl 0 start
    pid=$(daemon_pid) || fail "start: no daemon: $out"
    grep -qxF "TolvactlSvc started (pid $pid)." <<<"$out" || fail "start: $out"
    ctl 0 set PushInterval 7200
    cp /etc/qelvo/caldrix/tolvad.conf "$ROOT/changed.conf"
    grep -qx 'PushInterval=7200' "$ROOT/changed.conf" || fail "set did not change the file"

    echo "== dpkg -r stops the daemon and keeps the configuration"
    dpkg -r tolva </dev/null
    [ "$(package_status)" = "rc " ] || fail "after dpkg -r: $(package_status)"
    none_running || fail "still running after dpkg -r: $(ours_running)"
    [ ! -e /usr/sbin/tolvad ] || fail "dpkg -r left /usr/sbin/tolvad"
    cmp -s "$ROOT/changed.conf" /etc/qelvo/caldrix/tolvad.conf || fail "dpkg -r lost the change"
    [ ! -x /etc/init.d/TolvactlSvc ] || fail "the kept init script can still start a daemon"
    again prerm remove
    again postrm remove

    echo "== dpkg -i again, with policy-rc.d refusing the start"
    policy deny
    dpkg -i "$DEB" </dev/null
    [ "$(package_status)" = "ii " ] || fail "not reinstalled: $(package_status)"
    cmp -s "$ROOT/changed.conf" /etc/qelvo/caldrix/tolvad.conf ||
        fail "the reinstall lost the change"
    registered || fail "the reinstall left the service unregistered"
    none_running || fail "started although policy-rc.d refused: $(ours_running)"
    ctl 0 start
    daemon_pid >/dev/null || fail "start after the reinstall: $out"

    echo "== dpkg -P, with policy-rc.d allowing the stop, removes everything"
    policy allow
    dpkg -P tolva </dev/null
    [ -z "$(package_status)" ] || fail "dpkg still knows tolva: $(package_status)"
    again postrm purge
    none_running || fail "still running after dpkg -P: $(ours_running)"
    local left
    left=$(dpkg-deb -c "$DEB" | awk '{ p = $6; sub(/^\./, "", p); sub(/\/$/, "", p); print p }' |
        while read -r p; do [ -z "$p" ] || [ ! -e "$p" ] || [ -d "$p" ] || echo "$p"; done)
    [ -z "$left" ] || fail "dpkg -P left: $left"
    # Whatever the package or its scripts made lies in the uppers of the overlays; the dpkg
    # database and log change, but nothing there may still carry one of our names. The
    # pages that man (run by systemd-analyze) cached are man's, not the package's.
    left=$(find "$ROOT/etc" "$ROOT/var" "$ROOT/usr" "$ROOT/run" \
        -path "$ROOT/var/cache/man" -prune -o \
        \( -iname '*tolva*' -o -iname '*qelvo*' -o -iname '*caldrix*' -o -name '*zyr*' \) \
        ! -type c -print)
    [ -z "$left" ] || fail "dpkg -P left: $left"
    echo "== in the namespace: all good"
}

if [ "${1:-}" = --inside ]; then
    inside "$2" "$3"
    exit 0
fi

# ---------------------------------------------------------------------------------------
# Outside: the rig, and the check that the real system is untouched.

[ $# -eq 1 ] || fail "usage: $0 BUILD_DIR"
[ "$(id -u)" = 0 ] || fail "must run as root (mount namespaces)"
build=$(cd "$1" && pwd)
set -- "$build"/tolva_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "no single package in $build (run packaging/check-package.sh)"
deb=$1
# Everything the package touches must lie under the overlays.
for dir in /lib /sbin /bin; do
    case "$(readlink -f "$dir")" in
        /usr/*) ;;
        *) fail "$dir is not part of /usr here; the overlays would not cover it" ;;
    esac
done

# Every path the package or its scripts may touch, with what is there now.
snapshot() {
    echo "package: $(dpkg-query -W -f='${db:Status-Abbrev}' tolva 2>/dev/null || echo unknown)"
    {
        dpkg-deb -c "$deb" | awk '{ p = $6; sub(/^\./, "", p); sub(/\/$/, "", p); print p }'
        echo /etc/systemd/system/multi-user.target.wants/TolvactlSvc.service
        echo /var/lib/systemd/deb-systemd-helper-enabled/TolvactlSvc.service.dsh-also
        echo /var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/TolvactlSvc.service
        echo /run/tolvad.pid /usr/sbin/policy-rc.d /etc/ld.so.preload | tr ' ' '\n'
        ls -d /etc/rc?.d/*TolvactlSvc /var/lib/dpkg/info/tolva.* 2>/dev/null || :
    } | while read -r p; do
        if [ -z "$p" ]; then
            continue
        elif [ -f "$p" ]; then
            echo "$p file $(md5sum <"$p")"
        elif [ -e "$p" ] || [ -L "$p" ]; then
            echo "$p $(stat -c %F "$p")"
        else
            echo "$p absent"
        fi
    done
}

root=$(mktemp -d /tmp/tolva-install-XXXXXX)
layer=
sim_pid=
cleanup() {
    local status=$?
    trap - EXIT
    # A process still in the namespace holds its mounts; it must not survive us.
    for p in $(grep -l "upperdir=$root/etc" /proc/[0-9]*/mountinfo 2>/dev/null | cut -d/ -f3); do
        kill -KILL "$p" 2>/dev/null || :
    done
    [ -z "$sim_pid" ] || { kill "$sim_pid" 2>/dev/null || :; wait "$sim_pid" 2>/dev/null || :; }
    rm -rf "$root" ${layer:+"$layer"}
    exit "$status"
}
trap cleanup EXIT

snapshot >"$root/host.before"
mkdir -p "$root"/{etc,var,usr,run,dev,state} "$root"/.work/{etc,var,usr}
chmod 755 "$root/dev" "$root/run"
for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9; do
    IFS=: read -r name major minor <<<"$node"
    mknod -m 666 "$root/dev/$name" c "$major" "$minor"
done
ln -s /proc/self/fd "$root/dev/fd"
# The loader expands $PLATFORM, so 32-bit and 64-bit processes each load their own layer.
# Every user must reach it (man-db's trigger runs mandb as user man), and the build folder
# may lie in a home that only root enters.
layer=$(mktemp -d /tmp/tolva-layer-XXXXXX)
chmod 755 "$layer"
cp -a "$build/sim/layer/." "$layer/"
echo "$layer/"'$PLATFORM'"/libtolva_sglayer.so" >"$root/etc/ld.so.preload"

echo "enclosure sg0 array=A serial=000000SN0001" >"$root/sim.conf"
"$build/sim/tolva-sim" --socket "$root/sim.sock" --nodes "$root/dev" --state "$root/state" \
    --config "$root/sim.conf" >"$root/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
    grep -qx ready "$root/sim.out" 2>/dev/null && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
done
grep -qx ready "$root/sim.out" || fail "the simulator did not start: $(cat "$root/sim.out")"

# Runs the arguments in a private mount namespace. Only a mount point takes a propagation
# change, and a chroot's / need not be one: there / is bound onto itself in the namespace and
# entered (".." of / leads onto what is mounted over it). A bind onto a mount that passes
# mounts on to other namespaces shows there too, so a first, childless bind tells whether
# it does, and is taken away again (with whatever it showed elsewhere).
in_private_namespace() {
    if mountpoint -q /; then
        unshare --mount --propagation private "$@"
        return
    fi
    # shellcheck disable=SC2016
    unshare --mount --propagation unchanged bash -c '
        mount --bind / / || exit 1
        propagation=$(findmnt -no PROPAGATION --mountpoint /)
        umount /.. || exit 1
        case $propagation in
            "" | *shared*)
                echo "install-test: / is not a mount point, and the mount holding it passes" \
                    "mounts on to other namespaces (or /proc does not say); run this from a" \
                    "private mount namespace (unshare --mount) or make / a mount point" >&2
                exit 1
                ;;
        esac
        mount --rbind / / &&
            exec unshare --root=/.. --wd="$PWD" bash -c "mount --make-rprivate / && exec \"\$@\"" \
                bash "$@"' bash "$@"
}
in_private_namespace bash "$0" --inside "$root" "$deb"

left=$(grep -l "upperdir=$root/etc" /proc/[0-9]*/mountinfo 2>/dev/null || :)
[ -z "$left" ] || fail "processes of the namespace outlived it: $left"
snapshot >"$root/host.after"
diff "$root/host.before" "$root/host.after" || fail "the real system changed"
echo "install-test: OK"
