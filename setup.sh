#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, and only those
# that are missing. The one list of packages of the project; sim/demo.sh, tests/run.sh and
# .ci/run call it first.
#
#   bash setup.sh          what the demo and the tests need
#   bash setup.sh ci       that, and what the CI-only steps need
#
# A missing optional package (the benchmarks' library) never stops anything: the build
# leaves out what needs it and says so.
set -euo pipefail

# busybox: the demo's loopback interface, HTTP server and client.
base=(g++ g++-multilib cmake ninja-build googletest libgtest-dev libgmock-dev
      util-linux mount procps init-system-helpers dpkg-dev file busybox)
optional=(libbenchmark-dev)
# lintian checks the package, systemd brings systemd-analyze, man-db renders the manual
# pages; clang-format checks the sources.
ci=(clang-format lintian systemd man-db)

case "${1:-}" in
    "") required=("${base[@]}") ;;
    ci) required=("${base[@]}" "${ci[@]}") ;;
    *)
        echo "usage: bash setup.sh [ci]" >&2
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
