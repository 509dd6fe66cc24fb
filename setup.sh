#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, and only those
# that are missing. The one list of packages of the project.
#
#   bash setup.sh          what the demo and the tests need
#   bash setup.sh ci       that, and what the CI-only steps need
set -euo pipefail

base=(g++ g++-multilib cmake ninja-build googletest libgtest-dev libgmock-dev
      util-linux mount procps init-system-helpers dpkg-dev file)
optional=(libbenchmark-dev)
ci=(clang-format)

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
