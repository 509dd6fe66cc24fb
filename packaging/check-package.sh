#!/bin/sh
# Builds the Debian package and its debug package in the given build directory and checks
# them: lintian without an error or a warning, files and modes, conffiles, control fields,
# stripped programs whose debug symbols are in the debug package, and manual pages that
# render without a complaint.
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

cmake --build "$build" --target tolvad Tolvactl tolva_docs
(cd "$build" && rm -f ./*.deb ./*.ddeb && cpack -G DEB) >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
set -- "$build"/*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then fail "expected one .deb in $build, found: $*"; fi
deb=$1
set -- "$build"/*-dbgsym_*.ddeb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then fail "expected one debug package in $build, found: $*"; fi
ddeb=$1

# No override: every tag lintian shows is a fault of ours. Hardening is checked at the
# informational level too, where lintian files a program built without it.
lintian --allow-root -I --fail-on error,warning "$deb" "$ddeb" >"$work/lintian" 2>&1 ||
    { cat "$work/lintian" >&2; fail "lintian found the faults above"; }
cat "$work/lintian"
! grep -q 'hardening-no-' "$work/lintian" || fail "programs built without hardening (above)"

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
expect -rw-r--r-- /usr/share/doc/tolva/copyright
expect -rw-r--r-- /usr/share/doc/tolva/changelog.gz
expect -rw-r--r-- /usr/share/man/man8/tolvad.8.gz
expect -rw-r--r-- /usr/share/man/man8/Tolvactl.8.gz

# Nothing else but these files (test tools must not ship).
grep -v '^d' "$work/entries" | awk '{ print $2 }' | sort >"$work/files"
cat >"$work/wanted" <<'EOF'
/etc/init.d/TolvactlSvc
/etc/qelvo/caldrix/tolvad.conf
/lib/systemd/system/TolvactlSvc.service
/usr/sbin/Tolvactl
/usr/sbin/tolvad
/usr/share/doc/tolva/changelog.gz
/usr/share/doc/tolva/copyright
/usr/share/man/man8/Tolvactl.8.gz
/usr/share/man/man8/tolvad.8.gz
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

# Each program's symbols are in the debug package under its build id.
dpkg-deb -x "$ddeb" "$work/debug"
for program in tolvad Tolvactl; do
    binary=$work/root/usr/sbin/$program
    readelf -S "$binary" | grep -q '\.symtab' && fail "$program is not stripped"
    id=$(readelf -n "$binary" | sed -n 's/^ *Build ID: *\([0-9a-f]*\)$/\1/p')
    [ -n "$id" ] || fail "$program has no build id"
    symbols=$work/debug/usr/lib/debug/.build-id/$(echo "$id" | cut -c1-2)
    symbols=$symbols/$(echo "$id" | cut -c3-).debug
    [ -f "$symbols" ] || fail "no debug symbols for $program (build id $id)"
    readelf -S "$symbols" 2>/dev/null | grep -q '\.debug_info' ||
        fail "the debug symbols of $program hold no debug information"
done
modes=$(dpkg-deb -c "$ddeb" | awk '$1 ~ /^-/ && $1 != "-rw-r--r--" { print $1, $6 }')
[ -z "$modes" ] || fail "debug files with another mode than 0644: $modes"

for page in tolvad.8.gz Tolvactl.8.gz; do
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$work/root/usr/share/man/man8/$page" \
        >"$work/page" 2>"$work/page.err" || fail "man -l $page failed: $(cat "$work/page.err")"
    [ ! -s "$work/page.err" ] || fail "man -l $page complains: $(cat "$work/page.err")"
    grep -q '^EXIT STATUS' "$work/page" || fail "$page renders without its sections"
done

echo "check-package: $(basename "$deb") OK"
