#!/usr/bin/env bash
# CI: the whole tree built for 32-bit x86 on the x86-64 host (g++-multilib), every test run
# there, and the i386 package built and checked.
#
# The tests run natively where the kernel executes 32-bit programs. Elsewhere, or with
# TOLVA_I386_EMULATE=1, they run under qemu-user (unpacked from Debian's qemu-user-static into
# the build folder, never installed), registered for i386 programs only in the binfmt_misc of
# a user namespace of this step's own (Linux 6.7 and later give each user namespace its own):
# nothing outside that namespace changes, and the registration ends with it. The namespace
# maps every id onto itself, so files keep the owners they have outside.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-i386
emulator=$PWD/$build/emulator/qemu-i386-static
# Type EXEC or DYN, machine 3 (i386). F: the kernel opens the emulator now, so it is found
# from every mount namespace made later. P: the program keeps its own argv[0].
registration=':tolva-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$emulator"':FP'
# Exit status of the namespace's part when emulation cannot be set up there.
CANNOT=90

# Runs every test with the timeout $1; the reasons of the skipped ones follow the summary.
ctest_all() {
    local status=0
    ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout "$1" |
        tee "$build/i386-ctest.log" || status=$?
    awk '/^\[ RUN +\]/ { name = $NF }
         /: Skipped$/ { getline reason; print "i386: skipped " name ": " reason }' \
        "$build/Testing/Temporary/LastTest.log"
    return $status
}

# Inside the step's user and mount namespaces: register the emulator, check that it runs
# the probe, run every test.
if [ "${1:-}" = --emulated-inside ]; then
    reason=$2
    binfmt=/proc/sys/fs/binfmt_misc
    if ! mount -t binfmt_misc binfmt_misc "$binfmt" 2>"$reason"; then
        echo "mount binfmt_misc in a user namespace: $(cat "$reason") (needs Linux 6.7 or later)" \
            >"$reason"
        exit $CANNOT
    fi
    if ! printf '%s\n' "$registration" 2>"$reason" >"$binfmt/register"; then
        echo "register $emulator with binfmt_misc: $(sed 's/.*: //' "$reason")" >"$reason"
        exit $CANNOT
    fi
    if ! "$build/i386-probe" 2>"$reason"; then
        echo "the probe does not run under $emulator: $(cat "$reason")" >"$reason"
        exit $CANNOT
    fi
    # Every program starts through the emulator, several times slower.
    ctest_all 1200
    exit
fi

# Runs "$@" in new user and mount namespaces where every id maps onto itself. util-linux's
# own mapping options map one id, or need newuidmap; root writes the maps itself.
in_identity_namespace() {
    local dir pid
    dir=$(mktemp -d)
    mkfifo "$dir/go"
    unshare --user --mount -- bash -c 'read -r _ <"$1"; shift; exec "$@"' _ "$dir/go" "$@" &
    pid=$!
    local own ns
    own=$(readlink /proc/self/ns/user)
    # The maps can be written once the child is in its namespace; a child that is gone
    # failed to get there.
    while ns=$(readlink "/proc/$pid/ns/user" 2>/dev/null) && [ "$ns" = "$own" ]; do
        sleep 0.01
    done
    if [ -z "$ns" ]; then
        rm -rf "$dir"
        wait "$pid" || return
        return 1
    fi
    local status=0
    if ! echo '0 0 4294967295' >"/proc/$pid/uid_map" ||
        ! echo '0 0 4294967295' >"/proc/$pid/gid_map"; then
        echo "i386: cannot write the id maps of the user namespace" >&2
        kill "$pid"
        status=1
    fi
    echo go >"$dir/go"
    rm -rf "$dir"
    wait "$pid" || return
    return $status
}

echo "== i386: build and test"
start=$SECONDS
cmake -S . -B "$build" -G Ninja -DTOLVA_WERROR=ON --no-warn-unused-cli \
    -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake
cmake --build "$build"
printf 'int main(void) { return 0; }\n' | gcc -m32 -x c -o "$build/i386-probe" -

count() {
    sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$build/i386-ctest.log" | tail -n 1
}

if [ "${TOLVA_I386_EMULATE:-}" != 1 ] && "$build/i386-probe" 2>/dev/null; then
    ctest_all 300
    echo "i386: ran natively: $(count) tests in $((SECONDS - start)) s"
else
    why="the kernel cannot execute 32-bit programs"
    [ "${TOLVA_I386_EMULATE:-}" != 1 ] || why="TOLVA_I386_EMULATE=1"
    problem=
    if ! bash setup.sh emulator "$(dirname "$emulator")"; then
        problem="qemu-user-static cannot be fetched"
    elif ! unshare --user --mount true 2>/dev/null; then
        problem="user namespaces are not available"
    else
        reason=$(mktemp)
        status=0
        in_identity_namespace bash "$0" --emulated-inside "$reason" || status=$?
        problem=$(cat "$reason")
        rm -f "$reason"
        if [ $status -ne $CANNOT ]; then
            # The tests ran; their failures fail the step.
            [ $status -eq 0 ] || exit $status
            problem=
        fi
    fi
    if [ -n "$problem" ]; then
        if [ "${TOLVA_I386_EMULATE:-}" = 1 ]; then
            echo "i386: cannot emulate, as TOLVA_I386_EMULATE=1 asks: $problem" >&2
            exit 1
        fi
        echo "i386: tests not run: $why, and $problem"
    else
        echo "i386: ran emulated (qemu-user in a user namespace; $why):" \
            "$(count) tests in $((SECONDS - start)) s"
    fi
fi

echo "== i386: package"
bash packaging/check-package.sh "$build"
