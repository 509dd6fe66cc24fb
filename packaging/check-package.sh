#!/bin/sh
# Builds the Debian package in the given build directory and checks its files, modes,
# control fields and conffiles.
# Usage: packaging/check-package.sh <build-dir>
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 <build-dir>" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "check-package: $*" >&2
    exit 1
}

cmake --build "$build" --target tolvad Tolvactl
(cd "$build" && rm -f ./*.deb && cpack -G DEB) >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
set -- "$build"/*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then fail "expected one .deb in $build, found: $*"; fi
deb=$1

dpkg-deb -c "$deb" >"$work/contents"
# "mode path" of every entry, directories without their trailing slash.
awk '{ p = $6; sub(/^\.\//, "/", p); sub(/\/$/, "", p); if (p != "" && p != "/") print $1, p }' \
    "$work/contents" | sort >"$work/entries"

expect() { # mode path
    grep -qxF -- "$1 $2" "$work/entries" || fail "missing or wrong mode: $1 $2 (have: $(grep -- " $2\$" "$work/entries" || echo none))"
}
expect -rwxr-xr-x /usr/sbin/tolvad
expect -rwxr-xr-x /usr/sbin/Tolvactl
expect -rwxr-xr-x /etc/init.d/TolvactlSvc
expect -rw-r--r-- /lib/systemd/system/TolvactlSvc.service
expect -rwxr-xr-x /usr/share/zyr/zyr_hostinfo
expect -rw-r--r-- /etc/qelvo/caldrix/tolvad.conf
expect drwxr-xr-x /var/log/qelvo/caldrix

# Nothing else but these files (test tools must not ship).
grep -v '^d' "$work/entries" | awk '{ print $2 }' | sort >"$work/files"
cat >"$work/wanted" <<'EOF'
/etc/init.d/TolvactlSvc
/etc/qelvo/caldrix/tolvad.conf
/lib/systemd/system/TolvactlSvc.service
/usr/sbin/Tolvactl
/usr/sbin/tolvad
/usr/share/zyr/zyr_hostinfo
EOF
sort -o "$work/wanted" "$work/wanted"
if ! cmp -s "$work/files" "$work/wanted"; then
    diff "$work/wanted" "$work/files" >&2 || true
    fail "unexpected file list"
fi

dpkg-deb -e "$deb" "$work/control"
printf '/etc/qelvo/caldrix/tolvad.conf\n/etc/init.d/TolvactlSvc\n' >"$work/conffiles"
cmp -s "$work/control/conffiles" "$work/conffiles" || fail "conffiles differ: $(cat "$work/control/conffiles")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Maintainer)" = "tolva team <tolva@localhost>" ] || fail "Maintainer: $(field Maintainer)"
[ "$(field Package)" = tolva ] || fail "Package: $(field Package)"

dpkg-deb -x "$deb" "$work/root"
# The architecture is that of the programs inside, whichever host built them (a 32-bit build
# on an x86-64 host must not claim amd64, nor depend on the host's 32-bit compatibility
# libraries).
for program in tolvad Tolvactl; do
    case $(file -b "$work/root/usr/sbin/$program") in
        "ELF 64-bit LSB"*x86-64*) arch=amd64 ;;
        "ELF 32-bit LSB"*"Intel 80386"*) arch=i386 ;;
        *) fail "$program: unknown architecture: $(file -b "$work/root/usr/sbin/$program")" ;;
    esac
    [ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture), $program is $arch"
done
case $(field Depends) in
    *lib32* | *-i386*) fail "Depends names another architecture's libraries: $(field Depends)" ;;
esac
printf 'PushInterval=86400\nRefreshInterval=60\n' | cmp -s - "$work/root/etc/qelvo/caldrix/tolvad.conf" ||
    fail "default configuration differs"

echo "check-package: $(basename "$deb") OK"
