#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, and only those
# that are missing. The one list of packages of the project; sim/demo.sh, tests/run.sh and
# .ci/run call it first.
#
#   bash setup.sh          what the demo and the tests need
#   bash setup.sh ci       that, and what the CI-only steps need
#   bash setup.sh guest DIR
#                          fetches the packages of the real-driver guest (QEMU, busybox,
#                          the kernel) and the libraries QEMU needs that this machine lacks,
#                          and unpacks them below DIR/root; nothing is installed
#   bash setup.sh emulator DIR
#                          fetches qemu-user-static and unpacks its qemu-i386-static into DIR,
#                          for the i386 tests where the kernel cannot run them; nothing is
#                          installed
#
# A missing optional package (the benchmarks' library) never stops anything: the build
# leaves out what needs it and says so.
set -euo pipefail

# busybox: the demo's loopback interface, HTTP server and client.
base=(g++ g++-multilib cmake ninja-build googletest libgtest-dev libgmock-dev
      util-linux mount procps init-system-helpers dpkg-dev file busybox)
optional=(libbenchmark-dev)
# lintian checks the package, systemd brings systemd-analyze, man-db renders the manual
# pages; clang-format checks the sources, and git lists them; xz-utils unpacks the guest's
# packages; clang and its runtime libraries build the fuzz targets.
ci=(clang-format lintian systemd man-db xz-utils clang libclang-rt-14-dev git)
# Unpacked only, never installed; the kernel image is the one linux-image-amd64 names.
guest=(qemu-system-x86 busybox-static cpio kmod)
guest_kernel=linux-image-amd64
# Unpacked only, never installed: on a host that runs systemd, installing it registers its
# binary formats there (systemd-binfmt, at once and at every boot). The program is static.
emulator=qemu-user-static

fetch_guest() {
    local dir=$1
    mkdir -p "$dir/debs" "$dir/root"
    dir=$(cd "$dir" && pwd)
    if ! apt-cache show "$guest_kernel" >/dev/null 2>&1; then
        apt-get update -qq
    fi
    local kernel
    kernel=$(apt-cache depends "$guest_kernel" | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' |
        head -n 1)
    if [ -z "$kernel" ]; then
        echo "setup.sh: $guest_kernel names no kernel image" >&2
        return 1
    fi
    # What installing the guest tools would add to this machine, so that the unpacked QEMU
    # finds every library it links against.
    local names
    names=$(apt-get -s -o Debug::NoLocking=1 --no-install-recommends install "${guest[@]}" |
        awk '$1 == "Inst" { print $2 }')
    local wanted=("$kernel")
    for p in "${guest[@]}" $names; do
        case " ${wanted[*]} " in *" $p "*) ;; *) wanted+=("$p") ;; esac
    done
    local want_list
    want_list=$(printf '%s\n' "${wanted[@]}" | sort)
    if [ -f "$dir/root/.unpacked" ] && [ "$(cat "$dir/root/.unpacked")" = "$want_list" ]; then
        return 0
    fi
    rm -rf "$dir/root" "$dir/debs" && mkdir -p "$dir/root" "$dir/debs"
    # apt downloads as its own user, who must reach the folder: the work folder may lie below
    # a home that only its owner enters, /tmp never does.
    local fetched
    fetched=$(mktemp -d /tmp/tolva-guest-debs-XXXXXX)
    if [ "$(id -u)" = 0 ] && id _apt >/dev/null 2>&1; then
        chown _apt "$fetched"
    fi
    if ! (cd "$fetched" && apt-get download -qq "${wanted[@]}"); then
        rm -rf "$fetched"
        return 1
    fi
    mv "$fetched"/*.deb "$dir/debs/"
    rm -rf "$fetched"
    for p in "${wanted[@]}"; do
        local deb
        deb=$(ls "$dir/debs/${p}_"*.deb | head -n 1)
        dpkg-deb -x "$deb" "$dir/root"
    done
    echo "$want_list" >"$dir/root/.unpacked"
}

fetch_emulator() {
    local dir=$1
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    [ -x "$dir/qemu-i386-static" ] && return 0
    if ! apt-cache show "$emulator" >/dev/null 2>&1; then
        apt-get update -qq
    fi
    local debs
    debs=$(mktemp -d)
    if [ "$(id -u)" = 0 ] && id _apt >/dev/null 2>&1; then
        chown _apt "$debs"
    fi
    if ! (cd "$debs" && apt-get download -qq "$emulator") ||
        ! dpkg-deb --fsys-tarfile "$debs/${emulator}_"*.deb |
        tar -x -C "$debs" ./usr/bin/qemu-i386-static; then
        rm -rf "$debs"
        echo "setup.sh: cannot fetch and unpack $emulator" >&2
        return 1
    fi
    mv "$debs/usr/bin/qemu-i386-static" "$dir/"
    rm -rf "$debs"
}

case "${1:-}" in
    emulator | guest)
        if [ -z "${2:-}" ]; then
            echo "usage: bash setup.sh $1 DIR" >&2
            exit 2
        fi
        "fetch_$1" "$2"
        exit 0
        ;;
esac

case "${1:-}" in
    "") required=("${base[@]}") ;;
    ci) required=("${base[@]}" "${ci[@]}") ;;
    *)
        echo "usage: bash setup.sh [ci | guest DIR | emulator DIR]" >&2
        exit 2
        ;;
esac

# Prints the packages of the arguments that are not installed.
missing_of() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qx 'install ok installed' ||
            echo "$p"
    done
}

mapfile -t need < <(missing_of "${required[@]}")
mapfile -t want < <(missing_of "${optional[@]}")
all=("${need[@]}" "${want[@]}")
[ ${#all[@]} -eq 0 ] && exit 0

left_out() {
    echo "setup.sh: not installed: ${want[*]}; the build leaves out what needs them" >&2
}

if [ "$(id -u)" != 0 ]; then
    if [ ${#need[@]} -gt 0 ]; then
        echo "setup.sh: these Debian packages are missing: ${all[*]}" >&2
        echo "setup.sh: only root can install them; run this again as root" >&2
        exit 1
    fi
    left_out
    exit 0
fi

export DEBIAN_FRONTEND=noninteractive
echo "setup.sh: installing ${all[*]}" >&2
if ! apt-get update -qq; then
    [ ${#need[@]} -eq 0 ] || {
        echo "setup.sh: apt-get update failed" >&2
        exit 1
    }
    left_out
    exit 0
fi
install=(apt-get install -y -qq -o Dpkg::Use-Pty=0 --no-install-recommends)
if [ ${#need[@]} -gt 0 ]; then
    "${install[@]}" "${need[@]}"
fi
if [ ${#want[@]} -gt 0 ] && ! "${install[@]}" "${want[@]}"; then
    left_out
fi
exit 0
