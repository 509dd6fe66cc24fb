#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, and only those
# that are missing. The one list of packages of the project.
#
#   bash setup.sh          what the demo and the tests need
#   bash setup.sh ci       that, and what the CI-only steps need
#   bash setup.sh guest DIR
#                          fetches the packages of the real-driver guest (QEMU, busybox,
#                          the kernel) and the libraries QEMU needs that this machine lacks,
#                          and unpacks them below DIR/root; nothing is installed
set -euo pipefail

base=(g++ cmake ninja-build googletest libgtest-dev libgmock-dev
      util-linux mount procps init-system-helpers dpkg-dev file)
optional=(libbenchmark-dev)
ci=(clang-format g++-multilib xz-utils)
# Unpacked only, never installed; the kernel image is the one linux-image-amd64 names.
guest=(qemu-system-x86 busybox-static cpio kmod)
guest_kernel=linux-image-amd64

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
    # apt downloads as its own user where that user may write.
    if [ "$(id -u)" = 0 ] && id _apt >/dev/null 2>&1; then
        chown _apt "$dir/debs"
    fi
    (cd "$dir/debs" && apt-get download -qq "${wanted[@]}")
    for p in "${wanted[@]}"; do
        local deb
        deb=$(ls "$dir/debs/${p}_"*.deb | head -n 1)
        dpkg-deb -x "$deb" "$dir/root"
    done
    echo "$want_list" >"$dir/root/.unpacked"
}

if [ "${1:-}" = guest ]; then
    if [ -z "${2:-}" ]; then
        echo "usage: bash setup.sh guest DIR" >&2
        exit 2
    fi
    fetch_guest "$2"
    exit 0
fi

wanted=("${base[@]}" "${optional[@]}")
if [ "${1:-}" = ci ]; then
    wanted+=("${ci[@]}")
fi

missing=()
for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
    echo "setup.sh: these packages are missing and only root can install them: ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
