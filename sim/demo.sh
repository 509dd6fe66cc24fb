#!/bin/sh
# Pushes this host's view once to simulated arrays and shows what each array stored,
# the daemon's log and the commands the arrays received. Run as root from the
# repository root; nothing outside a temporary folder is changed.
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

BUILD=${TOLVA_BUILD_DIR:-build}
if [ ! -f "$BUILD/build.ninja" ]; then
    echo "Configuring $BUILD ..."
    cmake -S . -B "$BUILD" -G Ninja >/dev/null
fi
echo "Building the daemon, the control utility and the simulator ..."
ninja -C "$BUILD" tolvad Tolvactl tolva-sim tolva-sandbox tolva_sglayer >/dev/null

SANDBOX=$BUILD/sim/tolva-sandbox
ROOT=
SIM_PID=
cleanup() {
    status=$?
    trap - EXIT INT TERM HUP PIPE
    if [ -n "$ROOT" ]; then
        "$SANDBOX" stop "$ROOT" || :
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
