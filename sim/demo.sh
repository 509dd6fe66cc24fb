#!/bin/sh
# Pushes this host's view once to simulated arrays and shows what each array stored,
# the daemon's log and the commands the arrays received. Then fetches a page from a small
# HTTP server on loopback through the port tunnel (the test rig's tolva-tunnel, as tolvad
# never starts the tunnel) and the array's relay to that server, and shows the page and the
# tunnel frames the array saw. Run as root from the repository root; nothing outside a
# temporary folder is changed, and the demo's TCP ports live in a network of its own.
#
# TOLVA_BUILD_DIR names the build folder (default: build).
set -eu

if [ "$(id -u)" != 0 ]; then
    echo "demo.sh: must run as root (the sandbox uses mount namespaces)" >&2
    exit 1
fi
if [ ! -f sim/demo.conf ] || [ ! -f packaging/zyr_hostinfo ]; then
    echo "demo.sh: run from the repository root" >&2
    exit 1
fi

bash setup.sh

# Everything below runs in a private network (loopback only), so that the demo's ports
# never meet the host's; a kernel without network namespaces leaves the host's loopback.
if [ -z "${TOLVA_DEMO_NETWORK:-}" ]; then
    if unshare --net true 2>/dev/null; then
        TOLVA_DEMO_NETWORK=1 exec unshare --net -- sh "$0" "$@"
    fi
    echo "demo.sh: no network namespaces here; the demo uses ports 7080 and 8080 of the host's loopback" >&2
else
    busybox ip link set lo up
fi

BUILD=${TOLVA_BUILD_DIR:-build}
if [ ! -f "$BUILD/build.ninja" ]; then
    echo "Configuring $BUILD ..."
    cmake -S . -B "$BUILD" -G Ninja >/dev/null
fi
echo "Building the daemon, the control utility, the simulator and the tunnel's program ..."
ninja -C "$BUILD" tolvad Tolvactl tolva-sim tolva-sandbox tolva_sglayer tolva-tunnel >/dev/null

SANDBOX=$BUILD/sim/tolva-sandbox
ROOT=
SIM_PID=
HTTPD_PID=
cleanup() {
    status=$?
    trap - EXIT INT TERM HUP PIPE
    if [ -n "$ROOT" ]; then
        "$SANDBOX" stop "$ROOT" || :
    fi
    if [ -n "$HTTPD_PID" ]; then
        kill "$HTTPD_PID" 2>/dev/null || :
        wait "$HTTPD_PID" 2>/dev/null || :
    fi
    if [ -n "$SIM_PID" ]; then
        kill "$SIM_PID" 2>/dev/null || :
        wait "$SIM_PID" 2>/dev/null || :
    fi
    if [ -n "$ROOT" ]; then
        rm -rf "$ROOT"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
trap 'exit 141' PIPE

ROOT=$(mktemp -d /tmp/tolva-demo-XXXXXX)
echo "Making a sandbox in $ROOT ..."
"$SANDBOX" init "$ROOT" --tolvad "$BUILD/agent/tolvad" --tolvactl "$BUILD/ctl/Tolvactl" \
    --layer "$BUILD/sim/layer/\$PLATFORM/libtolva_sglayer.so"
mkdir -p "$ROOT/state"
cp packaging/zyr_hostinfo "$ROOT/zyr/zyr_hostinfo"
chmod 755 "$ROOT/zyr/zyr_hostinfo"

echo "Starting the simulated arrays of sim/demo.conf ..."
"$BUILD/sim/tolva-sim" --socket "$ROOT/sim.sock" --nodes "$ROOT/dev" --state "$ROOT/state" \
    --config sim/demo.conf >"$ROOT/sim.out" 2>&1 &
SIM_PID=$!
tries=0
until grep -qx ready "$ROOT/sim.out" 2>/dev/null; do
    if ! kill -0 "$SIM_PID" 2>/dev/null || [ "$tries" -ge 100 ]; then
        echo "demo.sh: the simulator did not start:" >&2
        cat "$ROOT/sim.out" >&2
        exit 1
    fi
    tries=$((tries + 1))
    sleep 0.1
done

echo "Running tolvad -p in the sandbox ..."
status=0
"$SANDBOX" run "$ROOT" -- /usr/sbin/tolvad -p || status=$?
echo "tolvad -p ended with exit status $status."

for array in $(sed -n 's/^enclosure[ 	][ 	]*[^ 	]*[ 	].*array=\([^ 	]*\).*/\1/p' sim/demo.conf | sort -u); do
    echo
    if [ -f "$ROOT/state/$array.view" ]; then
        echo "=== Host view stored by array $array ==="
        tr -d '\000' <"$ROOT/state/$array.view"
    else
        echo "=== Array $array stored no host view ==="
    fi
done

echo
echo "=== Daemon log (/var/log/qelvo/caldrix/tolvad.log) ==="
cat "$ROOT/log/tolvad.log" 2>/dev/null || echo "(no log)"

echo
echo "=== Commands the arrays received ==="
cat "$ROOT/state/journal.txt" 2>/dev/null || echo "(none)"

echo
echo "Starting a small HTTP server on 127.0.0.1:8080 (array A relays its port name \"web\" there) ..."
mkdir -p "$ROOT/www"
echo "<html><body>Hello from the HTTP server behind array A.</body></html>" >"$ROOT/www/index.html"
busybox httpd -f -p 127.0.0.1:8080 -h "$ROOT/www" &
HTTPD_PID=$!

echo "Running the port tunnel in the sandbox, on port 7080 named \"web\" ..."
"$SANDBOX" run "$ROOT" -- "$BUILD/tests/tolva-tunnel" -c wait:3600 7080:5:web \
    >"$ROOT/tunnel.out" 2>&1 &
tries=0
until grep -q "Listening on port 7080" "$ROOT/log/tolvad.log" 2>/dev/null; do
    if [ "$tries" -ge 100 ]; then
        echo "demo.sh: the tunnel did not start:" >&2
        cat "$ROOT/tunnel.out" >&2
        exit 1
    fi
    tries=$((tries + 1))
    sleep 0.1
done

echo
echo "=== Page fetched through the tunnel: http://127.0.0.1:7080/ ==="
busybox wget -q -O - http://127.0.0.1:7080/ || echo "(the fetch failed)"
"$SANDBOX" stop "$ROOT"

echo
echo "=== Tunnel lines of the log ==="
sed -n '/Choosing /,$p' "$ROOT/log/tolvad.log"

echo
echo "=== Tunnel frames the array saw (polls that found nothing left out) ==="
sed -n 's/^#[0-9]* \([^ ]*\) .* kind=\(frame_send\|frame_receive\|cookie_request\) .* cookie=\([^ ]*\) seq=\([^ ]*\) conn=\([^ ]*\) flags=\([^ ]*\) len=\([^ ]*\) violation=\([^ ]*\).*/\1 \2 cookie=\3 seq=\4 conn=\5 flags=\6 len=\7 violation=\8/p' \
    "$ROOT/state/journal.txt" | grep -v 'frame_receive .* flags=0x00 len=0 ' || echo "(none)"
