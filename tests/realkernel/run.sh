#!/usr/bin/env bash
# The programs through the real Linux sg driver. Boots Debian's kernel under QEMU with a
# small initramfs in which the array simulator (tolva-tcmu) serves the enclosures of
# enclosures.conf through TCMU and the loopback fabric, runs the scenarios of guest.sh with
# the real, static programs, and checks the journal, the logs and the exit statuses.
#
#   bash tests/realkernel/run.sh [64] [32]       (both when none is named)
#
# QEMU, busybox, cpio, kmod and the kernel come from Debian's packages, unpacked into the
# work folder and never installed (bash setup.sh guest). TOLVA_REALKERNEL_DIR names the work
# folder (default: build-realkernel).
set -euo pipefail
cd "$(dirname "$0")/../.."
here=tests/realkernel
work=$(mkdir -p "${TOLVA_REALKERNEL_DIR:-build-realkernel}" && cd "${TOLVA_REALKERNEL_DIR:-build-realkernel}" && pwd)
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(64 32)
for arch in "${arches[@]}"; do
    case $arch in 64 | 32) ;; *)
        echo "usage: bash $here/run.sh [64] [32]" >&2
        exit 2
        ;;
    esac
done

passed=0
failed=0
pass() {
    passed=$((passed + 1))
    echo "  ok   $1"
}
fail() {
    failed=$((failed + 1))
    echo "  FAIL $1"
    shift
    for detail in "$@"; do echo "       $detail"; done
}
# check NAME COMMAND...: passes when the command succeeds.
check() {
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name" "failed: $*"; fi
}
# same NAME EXPECTED ACTUAL
same() {
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "expected: $2" "actual:   $3"; fi
}
# has NAME FILE TEXT: the file holds a line containing the fixed text.
has() {
    if grep -qF -- "$3" "$2" 2>/dev/null; then pass "$1"; else fail "$1" "no \"$3\" in $2"; fi
}
count() { grep -cF -- "$2" "$1" 2>/dev/null || true; }

# --- what the guest is made of -----------------------------------------------------------
echo "== fetching the guest's packages"
bash setup.sh guest "$work/guest"
pkg=$work/guest/root
kver=$(basename "$(ls -d "$pkg"/lib/modules/*/ | head -n 1)")
qemu=$pkg/usr/bin/qemu-system-x86_64
qemu_libs=$pkg/usr/lib/x86_64-linux-gnu:$pkg/lib/x86_64-linux-gnu
busybox=$pkg/bin/busybox
cpio=$pkg/bin/cpio

# The one place that says how a static build of each architecture is configured.
configure_static() {
    local arch=$1 dir=$2
    local flags=()
    if [ "$arch" = 32 ]; then
        flags=(-DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake "-DCMAKE_EXE_LINKER_FLAGS=-m32 -static")
    else
        flags=(-DCMAKE_EXE_LINKER_FLAGS=-static)
    fi
    cmake -S . -B "$dir" -G Ninja -DTOLVA_WERROR=ON -DTOLVA_TESTS=OFF -DTOLVA_BENCH=OFF \
        "${flags[@]}" >/dev/null
}

echo "== building the static programs"
for arch in 64 "${arches[@]}"; do
    dir=$work/static$arch
    configure_static "$arch" "$dir"
    targets=(tolvad Tolvactl tolva-sgprobe)
    # The ring is the 64-bit kernel's: its server is always the 64-bit one.
    [ "$arch" = 64 ] && targets+=(tolva-tcmu)
    cmake --build "$dir" --target "${targets[@]}" >"$dir.log" 2>&1 || {
        cat "$dir.log" >&2
        exit 1
    }
done
bin() { echo "$work/static$1/$2"; }

# The kernel without its compressed wrapper boots through its PVH entry, which skips the
# decompression inside the guest; the compressed one still works when that fails.
kernel=$work/vmlinux-$kver
if [ ! -s "$kernel" ]; then
    vmlinuz=$pkg/boot/vmlinuz-$kver
    offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | head -n 1 | cut -d: -f1 || true)
    if [ -n "$offset" ]; then
        tail -c +"$((offset + 1))" "$vmlinuz" | xz -dc --single-stream >"$kernel.tmp" 2>/dev/null || true
    fi
    if [ "$(head -c 4 "$kernel.tmp" 2>/dev/null | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
        mv "$kernel.tmp" "$kernel"
    else
        rm -f "$kernel.tmp"
        cp "$vmlinuz" "$kernel"
    fi
fi

# The modules the guest loads, each after what it depends on.
modules=()
add_module() {
    local path=$1 dep
    for m in "${modules[@]}"; do [ "$m" = "$path" ] && return 0; done
    for dep in $(sed -n "s|^$path: *||p" "$pkg/lib/modules/$kver/modules.dep"); do
        add_module "$dep"
    done
    modules+=("$path")
}
[ -s "$pkg/lib/modules/$kver/modules.dep" ] || (exec -a depmod "$pkg/bin/kmod" -b "$pkg" "$kver")
for name in scsi/sg target/loopback/tcm_loop target/target_core_user; do
    add_module "kernel/drivers/$name.ko"
done

# --- the host views and what the arrays must end up with ---------------------------------
views=$work/views
mkdir -p "$views"
printf 'HOST=guest\nOS=Linux\nDEVICE0 name=sda size=100\nDEVICE1 name=sdb size=200\n' >"$views/one.txt"
printf 'HOST=guest\nDEVICE0 name=sdc size=300\n' >"$views/two.txt"
printf 'HOST=guest\nDEVICE0 name=sdd size=400\nDEVICE1 name=sde size=500\n' >"$views/three.txt"
printf 'STALE\nDEVICE0 name=old\n' >"$views/stale.txt"
# Four sections of about 30000 characters, every line starting with its token: the first
# chunk holds sections 0 and 1, the second sections 2 and 3 renumbered to 0 and 1.
section() {
    awk -v i="$1" -v token="$2" 'BEGIN {
        pad = sprintf("%0100d", 0); gsub(/0/, "v", pad)
        line = token " key=" pad
        for (n = 0; n < 250; n++) printf "%s%d\n", line, n + i * 1000 }'
}
head_text=$(printf 'HOST=guest-with-a-long-view%073d' 0 | tr 0 x)
{
    printf '%s\n' "$head_text"
    for i in 0 1 2 3; do section "$i" "DEVICE$i"; done
} >"$views/big.txt"
{
    printf '%s\n' "$head_text"
    section 0 DEVICE0
    section 1 DEVICE1
} >"$views/big.chunk1"
{
    printf '%s\n' "$head_text"
    section 2 DEVICE0
    section 3 DEVICE1
} >"$views/big.chunk2"
printf 'PushInterval=86400\nRefreshInterval=60\n' >"$views/tolvad.conf"

# --- one guest per architecture ----------------------------------------------------------
build_initramfs() {
    local arch=$1 root=$work/initramfs$1
    rm -rf "$root"
    mkdir -p "$root"/{bin,sbin,dev,proc,sys,run,tmp,lib/modules,usr/sbin,usr/bin,usr/share/zyr}
    mkdir -p "$root"/{etc/qelvo/caldrix,var/log/qelvo/caldrix,rig/views}
    ln -s /run "$root/var/run"
    cp "$busybox" "$root/bin/busybox"
    cp "$here/init" "$root/init"
    chmod 755 "$root/init"
    : >"$root/lib/modules/order"
    for m in "${modules[@]}"; do
        cp "$pkg/lib/modules/$kver/$m" "$root/lib/modules/"
        basename "$m" >>"$root/lib/modules/order"
    done
    cp "$(bin "$arch" agent/tolvad)" "$root/usr/sbin/tolvad"
    cp "$(bin "$arch" ctl/Tolvactl)" "$root/usr/sbin/Tolvactl"
    cp "$(bin "$arch" sim/tolva-sgprobe)" "$root/rig/tolva-sgprobe"
    cp "$(bin 64 sim/tolva-tcmu)" "$root/rig/tolva-tcmu"
    cp "$here/guest.sh" "$here/enclosures.conf" "$root/rig/"
    cp "$views"/*.txt "$root/rig/views/"
    cp "$views/tolvad.conf" "$root/rig/tolvad.conf"
    printf '#!/bin/sh\ncat /run/view\n' >"$root/usr/share/zyr/zyr_hostinfo"
    chmod 755 "$root/usr/share/zyr/zyr_hostinfo"
    (cd "$root" && find . | LC_ALL=C sort | "$cpio" -o -H newc --quiet) >"$work/initramfs$arch.cpio"
}

# KVM only with the processor's own virtualisation: a /dev/kvm without it (a guest of
# another hypervisor) can start the guest and then stop it on an instruction it cannot
# emulate.
accel=tcg
if [ -r /dev/kvm ] && [ -w /dev/kvm ] && grep -qw -E 'vmx|svm' /proc/cpuinfo; then
    accel=kvm
    echo "== the guests run under KVM"
else
    echo "== no usable KVM here: the guests run under QEMU's software emulation (slower)"
fi

boot() {
    local arch=$1 out=$work/out$arch
    rm -rf "$out" && mkdir -p "$out/results"
    local start end status=0
    start=$(date +%s.%N)
    LD_LIBRARY_PATH=$qemu_libs timeout 300 "$qemu" -L "$pkg/usr/share/qemu" \
        -L "$pkg/usr/share/seabios" -accel "$accel" -m 256 -smp 1 -nodefaults \
        -no-reboot -display none -serial "file:$out/console" -serial "file:$out/results.b64" \
        -kernel "$kernel" -initrd "$work/initramfs$arch.cpio" \
        -append "console=ttyS0 panic=-1 quiet" 2>"$out/qemu.err" || {
        status=$?
        cat "$out/qemu.err" >&2
    }
    end=$(date +%s.%N)
    echo "guest $arch: QEMU ($accel) ran $(awk "BEGIN { printf \"%.1f\", $end - $start }") s, exit status $status"
    tr -d '\r' <"$out/results.b64" | sed '/^==end==$/,$d' | base64 -d | tar -x -C "$out/results" ||
        true
}

# --- the checks ---------------------------------------------------------------------------
# The journal lines of one enclosure and command kind.
entries() { grep -E "^#[0-9]+ $2 array=[^ ]* kind=$3 " "$1/journal" 2>/dev/null || true; }
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p"; }
with_nul() { cat "$1" && printf '\0'; }

check_guest() {
    local arch=$1 r=$work/out$1/results d
    echo "== checks, $arch-bit programs"
    if [ ! -f "$r/times" ]; then
        fail "the guest ran and sent its results" "console:" "$(tail -n 30 "$work/out$arch/console")"
        return
    fi
    local nodes
    nodes=$(paste -sd'|' "$r/nodes" 2>/dev/null)
    if [ "$nodes" = "lun_0 sg0 sg0|lun_1 sg1 sg1|lun_2 sg2 sg2|lun_3 sg3 sg3|lun_4 sg4 sg4" ]; then
        pass "every enclosure has its LUN and sg node"
    else
        fail "every enclosure has its LUN and sg node" "nodes: $nodes" \
            "tolva-tcmu: $(cat "$r/tcmu.err" 2>/dev/null)" "$(tail -n 20 "$work/out$arch/console")"
    fi

    d=$r/discovery
    same "discovery: tolvad -p exits 0" 0 "$(cat "$d/status")"
    local node inquiries=""
    for node in sg0 sg1 sg2 sg3 sg4; do
        inquiries+="$node:$(entries "$d" "$node" inquiry | wc -l):$(entries "$d" "$node" inquiry |
            sed 's/.*\(interface_id=.*timeout=[0-9]*\).* cdb=\([0-9a-f]*\).* in=\([0-9]*\) resid=\([-0-9]*\).*/\1 \2 \3 \4/') "
    done
    # The ring carries neither the sense length nor the timeout: the journal shows 0 for both.
    same "discovery: one INQUIRY of 255 bytes per node, as the journal saw it" \
        "$(for n in sg0 sg1 sg2 sg3 sg4; do printf '%s:1:interface_id=83 dir=-3 cmd_len=6 mx_sb_len=0 dxfer_len=255 timeout=0 12000000ff00 96 159 ' "$n"; done)" \
        "$inquiries"
    # The list keeps the first of array A's two enclosures in directory order, the order
    # of tolvad's INQUIRYs.
    local order first_a listed
    order=$(grep 'kind=inquiry' "$d/journal" | awk '{print $2}' | paste -sd' ')
    first_a=$(tr ' ' '\n' <<<"$order" | grep -m1 -E '^sg[01]$')
    listed=$(tr ' ' '\n' <<<"$order" | grep -E "^($first_a|sg4)\$" | paste -sd' ')
    [ "$(wc -w <<<"$listed")" = 2 ] || listed="(no INQUIRY of tolvad in the journal)"
    same "discovery: the list holds the first enclosure of array A and array B's, in directory order" \
        "$listed" "$(grep -E 'kind=hostinfo_send' "$d/journal" | awk '{print $2}' | paste -sd' ')"
    has "discovery: the other vendor is logged" "$d/log" \
        "Vendor identification for device //dev//sg2 is Olmarrin"
    for node in sg0 sg1 sg3 sg4; do
        local serial=000000SN0001
        [ "$node" = sg3 ] && serial=000000SN0004
        [ "$node" = sg4 ] && serial=000000SN0002
        has "discovery: the serial of $node is read" "$d/log" \
            "Serial Number of the device //dev//$node is : $serial."
    done
    same "discovery: one push per listed device" 2 \
        "$(count "$d/log" "Pushing the current host view to the Vantor[s].")"
    local inq
    for node in sg0 sg2 sg3 sg4; do
        inq=$(field data <"$d/inquiry.$node")
        local vendor=5472657661736b6f encserv=40 serial=303030303030534e30303031
        [ "$node" = sg2 ] && vendor=4f6c6d617272696e && serial=303030303030534e30303033
        [ "$node" = sg3 ] && encserv=00 && serial=303030303030534e30303034
        [ "$node" = sg4 ] && serial=303030303030534e30303032
        same "discovery: INQUIRY data of $node through the driver (length, type, EncServ, vendor, serial)" \
            "192 0d 5b $encserv $vendor $serial" \
            "${#inq} ${inq:0:2} ${inq:8:2} ${inq:12:2} ${inq:16:16} ${inq:72:24}"
    done
    same "push: array A stores the one-transfer view byte for byte" \
        "$(with_nul "$views/one.txt" | od -An -v -tx1)" "$(od -An -v -tx1 "$d/A.view" 2>/dev/null)"
    same "push: array B stores the one-transfer view byte for byte" \
        "$(with_nul "$views/one.txt" | od -An -v -tx1)" "$(od -An -v -tx1 "$d/B.view" 2>/dev/null)"

    d=$r/chunks
    same "chunks: tolvad -p exits 0" 0 "$(cat "$d/status")"
    local one two
    one=$(($(wc -c <"$views/big.chunk1") + 1))
    two=$(($(wc -c <"$views/big.chunk2") + 1))
    local l1 l2
    read -r l1 l2 <<<"$listed"
    same "chunks: every device gets chunk 1 before any gets chunk 2" \
        "$l1 $one|$l2 $one|$l1 $two|$l2 $two" \
        "$(grep 'kind=hostinfo_send' "$d/journal" | awk '{print $2}' | paste -d' ' - \
            <(grep 'kind=hostinfo_send' "$d/journal" | field out) | paste -sd'|')"
    same "chunks: every send went through with GOOD status" "0x00 0x00 0x00 0x00" \
        "$(grep 'kind=hostinfo_send' "$d/journal" | sed 's/.* status=\([^ ]*\).*/\1/' | paste -sd' ')"
    for a in A B; do
        same "chunks: array $a stores the last chunk byte for byte" \
            "$(with_nul "$views/big.chunk2" | od -An -v -tx1)" "$(od -An -v -tx1 "$d/$a.view" 2>/dev/null)"
    done

    d=$r/ctl
    same "ctl: set PushInterval and RefreshInterval exit 0" "0 0" \
        "$(cat "$d/set1.status") $(cat "$d/set2.status")"
    same "ctl: the configuration holds both new values" "PushInterval=4|RefreshInterval=2" \
        "$(paste -sd'|' "$d/tolvad.conf")"
    # Tolvactl flushes its own lines before it runs a command.
    same "ctl: list prints the host view and exits 0" \
        "0|Listing the Token information. |------------------------------- |$(paste -sd'|' "$views/two.txt")" \
        "$(cat "$d/list.status")|$(paste -sd'|' "$d/list.out")"
    same "ctl: push runs tolvad -p and exits 0" "0" "$(cat "$d/push.status")"
    local size
    size=$(($(wc -c <"$views/two.txt") + 1))
    same "ctl: push sends the view once to each listed device" "$l1 $size|$l2 $size" \
        "$(grep 'kind=hostinfo_send' "$d/journal" | awk '{print $2}' | paste -d' ' - \
            <(grep 'kind=hostinfo_send' "$d/journal" | field out) | paste -sd'|')"
    same "ctl: push logs one push per listed device" 2 \
        "$(count "$d/log" "Pushing the current host view to the Vantor[s].")"
    has "ctl: push says so" "$d/push.out" "Sending the token information immediately"
    same "ctl: push stores the view in array A" "$(with_nul "$views/two.txt" | od -An -v -tx1)" \
        "$(od -An -v -tx1 "$d/A.view" 2>/dev/null)"
    same "ctl: push stores the view in array B" "$(with_nul "$views/two.txt" | od -An -v -tx1)" \
        "$(od -An -v -tx1 "$d/B.view" 2>/dev/null)"

    d=$r/daemon
    local pid
    pid=$(cat "$d/pidfile" 2>/dev/null)
    check "daemon: the pid file names the daemon" grep -qE '^[0-9]+$' "$d/pidfile"
    # A host-information script that SIGTERM caught running is left to end on its own; only
    # the starting process and the daemon count here.
    same "daemon: the starting process exits 0, SIGTERM ends the daemon with 0" \
        "started exit=0|adopted pid=$pid exit=0" \
        "$(grep -E "^started |^adopted pid=$pid " "$d/adopt" |
            sed 's/^started pid=[0-9]* /started /' | paste -sd'|')"
    same "daemon: no pid file after SIGTERM" absent "$(cat "$d/pidfile_after")"
    same "daemon: the stale copy was planted in array B" \
        "$(with_nul "$views/stale.txt" | od -An -v -tx1)" "$(od -An -v -tx1 "$d/B.planted" 2>/dev/null)"
    local after
    after=$(tail -n +"$(cat "$d/planted_at")" "$d/journal" |
        grep -E 'sg4 array=B kind=hostinfo_(receive|send)' | head -n 3 | awk '{print $4}' | paste -sd' ')
    same "daemon: after the plant, array B is read back and sent the view again" \
        "kind=hostinfo_send kind=hostinfo_receive kind=hostinfo_send" "$after"
    has "daemon: the log names the update" "$d/log" \
        "Updating VanTor 0002 with latest host information."
    same "daemon: array B ends with the current view byte for byte" \
        "$(with_nul "$views/three.txt" | od -An -v -tx1)" "$(od -An -v -tx1 "$d/B.view" 2>/dev/null)"

    d=$r/refused
    # The virtual layer refuses the last three (EINVAL, EFAULT, EINVAL) and gives EFAULT
    # for a null command block: the real driver's answers are the ones below.
    same "refused: the driver's answer to each bad header" \
        "$(printf '%s\n' 'interface_id=Q result=-1 errno=ENOSYS' 'cmd_len=5 result=-1 errno=EMSGSIZE' \
            'cmd_len=253 result=-1 errno=EMSGSIZE' 'cmd_len=40 result=-1 errno=EINVAL' \
            'cmdp=null result=-1 errno=EMSGSIZE' 'dxfer_direction=-7 result=0 errno=0' \
            'dxferp=null result=0 errno=0' 'iovec_count=1 result=0 errno=0' | paste -sd'|')" \
        "$(grep -vE '^generate_scsi_ioctl' "$d/probe" | paste -sd'|')"
    same "refused: the probe ran to its end" 0 "$(cat "$d/status")"
    has "refused: a command block too long for the driver fails the daemon's way" "$d/probe" \
        "generate_scsi_ioctl cmd_len=38 result=-1"
    has "refused: and is logged as the programs log it" "$d/log" \
        "In generate_scsi_ioctl: ioctl failed."
    same "refused: only the three accepted headers reached the array" \
        "cdb=120000002400 cdb=120000002400 cdb=120000002400" \
        "$(grep -o 'cdb=[0-9a-f]*' "$d/journal" | paste -sd' ')"

    d=$r/answers
    same "answers: an unknown service ends as with the virtual layer" \
        "result=0 errno=0 status=0x02 masked=0x01 host=0x00 driver=0x08 sb_len_wr=18 resid=0 sense=700005000000000a00000000240000cf0008" \
        "$(sed 's/ data=.*//' "$d/unknown_service")"
    same "answers: the array's CHECK CONDITION reaches the program with its sense" \
        "result=0 errno=0 status=0x02 masked=0x01 host=0x00 driver=0x08 sb_len_wr=18 resid=0 sense=70000b000000000a00000000440000000000" \
        "$(cat "$d/failed_send")"
    # The simulator leaves the buffer alone and reports a residue of 65535; the ring cannot
    # say "no data", so one zero byte comes closest.
    same "answers: a receive with nothing stored gives one zero byte" \
        "resid=65534 sense= data=00" "$(sed 's/.* \(resid=\)/\1/' "$d/empty_receive")"
    # The SCSI layer retries BUSY within the command's timeout; the program sees GOOD.
    same "answers: BUSY goes back as BUSY and the kernel retries it" \
        "0x08 0x00|status=0x00" \
        "$(grep 'sg3 array=D kind=hostinfo_receive' "$d/journal" | head -n 2 | grep -o ' status=0x[0-9a-f]*' | cut -d= -f2 | paste -sd' ')|$(grep -o 'status=0x[0-9a-f]*' "$d/busy_receive")"
}

for arch in "${arches[@]}"; do
    echo "== guest with the $arch-bit programs"
    build_initramfs "$arch"
    boot "$arch"
    # Called as a condition, so that a missing result fails its checks, not the script.
    check_guest "$arch" || fail "the checks of the $arch-bit guest ended early"
    if [ -f "$work/out$arch/results/times" ]; then
        echo "timings ($arch-bit), seconds of guest uptime:"
        awk '{ t[$1] = $2 } END {
            printf "  boot (kernel and initramfs, to the first line of the scenarios): %s\n", t["boot"]
            printf "  enclosures presented: %.2f\n", t["setup.end"] - t["setup.start"]
            n = split("discovery chunks ctl daemon refused answers", s, " ")
            for (i = 1; i <= n; i++) printf "  %s: %.2f\n", s[i], t[s[i] ".end"] - t[s[i] ".start"]
        }' "$work/out$arch/results/times"
    fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
