#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Boots a real systemd as PID 1 in private namespaces (pid, mount, cgroup, uts, ipc) on an
# overlay over / with the host's units masked, installs the Debian packages built in
# DEB_DIR there, and checks, bounded to about a minute: socket activation on the first
# `zorlek list`; READY; the registry running as its own user; the sample service running
# as its own user and registering by policy; log lines without a doubled name; the unit's
# exposure (systemd-analyze security) at most 2.0; restart after kill -9; stop; and purge,
# which leaves nothing behind but the system users (kept, as Debian keeps them).
#
#   scripts/systemd-check.sh [DEB_DIR]      (default build-deb/, as scripts/package.sh makes)
#
# Exits 0 when every check passed, 1 when one failed, and 77 with the reason when this
# machine cannot boot it (not root, no cgroup2, no overlay, no namespaces).
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
debs=$(cd "${1:-$source_dir/build-deb}" && pwd) || exit 1
skip() {
    echo "systemd check skipped: $*"
    exit 77
}

[ "$(id -u)" -eq 0 ] || skip "it needs root (namespaces, mounts, a cgroup of its own)"
for tool in unshare nsenter chroot timeout /lib/systemd/systemd; do
    command -v "$tool" >/dev/null || skip "$tool is missing"
done
grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null ||
    skip "the kernel has no overlay file system"
grep -qw overlay /proc/filesystems || skip "the kernel has no overlay file system"
# systemd needs a cgroup2 hierarchy of its own: a child of this process's cgroup in the
# unified hierarchy (all of /sys/fs/cgroup, or /sys/fs/cgroup/unified beside cgroup v1).
cgroup2=
for mount in /sys/fs/cgroup /sys/fs/cgroup/unified; do
    [ "$(stat -fc %T "$mount" 2>/dev/null)" = cgroup2fs ] && cgroup2=$mount && break
done
[ -n "$cgroup2" ] || skip "no cgroup2 hierarchy is mounted (cgroup v1 only)"
debfiles=()
for package in zorlek zorlek-registry libzorlek-dev; do
    deb=$(echo "$debs/${package}"_*.deb)
    [ -f "$deb" ] || { echo "FAIL: no $package package in $debs (run scripts/package.sh)"; exit 1; }
    debfiles+=("$deb")
done

work=$(mktemp -d "${TMPDIR:-/tmp}/zorlek-systemd.XXXXXX")
own_cgroup=$cgroup2$(sed -n 's/^0:://p' /proc/self/cgroup)
cgroup=${own_cgroup%/}/zorlek-check.$$
unshare_pid= pid1=
cleanup() {
    if [ -n "$pid1" ] && kill -0 "$pid1" 2>/dev/null; then
        kill -KILL "$pid1" 2>/dev/null  # the namespace's init: everything in it ends
    fi
    [ -n "$unshare_pid" ] && wait "$unshare_pid" 2>/dev/null
    [ -d "$cgroup" ] && find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$cgroup" || skip "cannot make a cgroup under $own_cgroup"
mkdir -p "$work/mnt"
cp "${debfiles[@]}" "$source_dir/services/sample/adder.cpp" "$source_dir/services/sample/adder.zi" \
    "$source_dir/scripts/systemd-units.sh" "$work/"

# The namespace's side: mounts the overlay and what systemd needs, removes zorlek's
# packages from it if the host has them installed (so that those under test install
# afresh), masks the host's units but the journal's and zorlek's, and becomes systemd.
cat >"$work/boot.sh" <<'EOF'
set -e
t=$1
mount --make-rprivate /
mount -t tmpfs -o mode=700 tmpfs "$t/mnt"
mkdir "$t/mnt/upper" "$t/mnt/work" "$t/mnt/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$t/mnt/upper,workdir=$t/mnt/work" "$t/mnt/root"
r=$t/mnt/root
mount -t proc proc "$r/proc"
mount -t sysfs -o ro sysfs "$r/sys"
mount -t cgroup2 cgroup2 "$r/sys/fs/cgroup"
mount -t tmpfs -o mode=755 tmpfs "$r/run"
mount -t tmpfs tmpfs "$r/tmp"
mount -t tmpfs -o mode=755 tmpfs "$r/dev"
for node in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
    IFS=: read -r name major minor <<<"$node"
    mknod -m 666 "$r/dev/$name" c "$major" "$minor"
done
mkdir "$r/dev/pts" "$r/dev/shm"
mount -t devpts -o newinstance,ptmxmode=666 devpts "$r/dev/pts"
ln -s pts/ptmx "$r/dev/ptmx"
mkdir -p "$r/zorlek-debs" && cp "$t"/*.deb "$t/adder.cpp" "$t/adder.zi" "$r/zorlek-debs/"
: >"$r/etc/machine-id"
: >"$r/etc/fstab"
# A container image's policy-rc.d forbids starting services from maintainer scripts; the
# booted systemd here is where they are meant to start.
rm -f "$r/usr/sbin/policy-rc.d"
# Without a running systemd (no /run/systemd/system in the fresh /run), the maintainer
# scripts only remove their files and links. A purge that fails leaves the checks below to
# fail, rather than a skip.
if chroot "$r" dpkg-query -W -f '${db:Status-Status}\n' zorlek zorlek-registry libzorlek-dev \
    2>/dev/null | grep -qv '^not-installed$'; then
    chroot "$r" env DEBIAN_FRONTEND=noninteractive dpkg --purge zorlek zorlek-registry libzorlek-dev ||
        echo "could not purge the host's zorlek packages inside the overlay"
fi
. "$t/systemd-units.sh"
units_to_mask "$r/lib/systemd/system" "$r/etc/systemd/system" | while IFS= read -r name; do
    ln -sfn /dev/null "$r/etc/systemd/system/$name"
done
exec chroot "$r" /lib/systemd/systemd --unit=multi-user.target
EOF

start=$(date +%s)
(
    echo $BASHPID >"$cgroup/cgroup.procs"
    exec env -i container=zorlek-check PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        unshare --pid --fork --mount --uts --ipc --cgroup --kill-child bash "$work/boot.sh" "$work"
) >"$work/boot.log" 2>&1 &
unshare_pid=$!
for _ in $(seq 100); do
    pid1=$(cat "/proc/$unshare_pid/task/$unshare_pid/children" 2>/dev/null | awk '{ print $1 }')
    [ -n "$pid1" ] && [ "$(cat "/proc/$pid1/comm" 2>/dev/null)" = systemd ] && break
    pid1=
    kill -0 "$unshare_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$pid1" ]; then
    cat "$work/boot.log"
    skip "systemd could not be started as PID 1 in the namespaces (above)"
fi

# Runs a command inside, with a clean environment, bounded to 20 s.
inside() {
    timeout 20 nsenter -t "$pid1" -m -p -u -i -C -r -w \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C "$@"
}
failures=0
passed=0
check() {  # WHAT, then a command that succeeds when the check holds
    local what=$1
    shift
    if "$@" >"$work/out" 2>&1; then
        echo "ok   $what"
        passed=$((passed + 1))
    else
        echo "FAIL $what"
        sed 's/^/     /' "$work/out" | head -20
        failures=$((failures + 1))
    fi
}
# Polls `inside CMD...` every 0.1 s for up to SECONDS until it succeeds.
within() {
    local seconds=$1
    shift
    local tries=$((seconds * 10))
    while ! inside "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}
state() { inside systemctl show -p "$2" --value "$1"; }
user_of() { inside ps -o user= -p "$1" | tr -d ' '; }

booted() { within 30 sh -c 'state=$(systemctl is-system-running); [ "$state" = running ] || [ "$state" = degraded ]'; }
check "systemd boots as PID 1 of its own namespaces" booted
check "apt installs the packages" inside sh -c \
    'DEBIAN_FRONTEND=noninteractive apt-get install -y -q /zorlek-debs/*.deb'
socket_waits() {
    [ "$(state zorlek-registry.socket ActiveState)" = active ] &&
        [ "$(state zorlek-registry.service ActiveState)" = inactive ]
}
check "the socket listens and the registry waits for it" socket_waits
first_list() { [ "$(inside zorlek list)" = "Found 0 services:" ]; }
check "the first zorlek list starts the registry (socket activation)" first_list
ready() {
    [ "$(state zorlek-registry.service Type)" = notify ] &&
        [ "$(state zorlek-registry.service ActiveState)" = active ] &&
        [ "$(state zorlek-registry.service SubState)" = running ]
}
check "READY=1 makes it active (Type=notify)" ready
registry_pid=$(state zorlek-registry.service MainPID)
registry_user() { [ "$(user_of "$registry_pid")" = zorlek-registry ]; }
check "the registry runs as its own user, zorlek-registry" registry_user
echo_runs() {
    inside systemctl start zorlek-echo.service &&
        within 10 sh -c '[ "$(zorlek check zorlek.echo)" = "Service zorlek.echo: found" ]' &&
        [ "$(user_of "$(state zorlek-echo.service MainPID)")" = zorlek-echo ] &&
        inside zorlek list | grep -qx $'0\tzorlek.echo: \\[zorlek.IEcho\\]'
}
check "zorlek-echo runs as its own user and holds zorlek.echo by the packaged policy" echo_runs
journal() {
    local lines
    lines=$(inside journalctl -u zorlek-registry.service -o short --no-pager) || return 1
    echo "$lines"
    grep -q "zorlek-registry\[$registry_pid\]: registered zorlek.echo (pid " <<<"$lines" &&
        ! grep -q ': zorlek-registry: ' <<<"$lines"
}
check "its journal lines carry the program's name once" journal
exposure=$(inside systemd-analyze security --no-pager zorlek-registry.service 2>/dev/null |
    sed -n 's/.*Overall exposure level for zorlek-registry.service: \([0-9.]*\) .*/\1/p')
low_exposure() { echo "exposure ${exposure:-?}"; awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }'; }
check "systemd-analyze security zorlek-registry.service: ${exposure:-?} (at most 2.0)" low_exposure
restarted() {
    inside kill -KILL "$registry_pid" &&
        within 10 sh -c "pid=\$(systemctl show -p MainPID --value zorlek-registry.service);
            [ \"\$pid\" != 0 ] && [ \"\$pid\" != $registry_pid ] &&
            [ \"\$(systemctl show -p ActiveState --value zorlek-registry.service)\" = active ]" &&
        within 5 sh -c '[ "$(zorlek check zorlek.echo)" = "Service zorlek.echo: found" ]'
}
check "after kill -9 it is restarted, and zorlek-echo registers again by itself" restarted
sample() {
    inside sh -c 'zorlek-idl -o /tmp/adder.zi.h /zorlek-debs/adder.zi &&
        c++ -std=c++20 -I/tmp -o /tmp/adder /zorlek-debs/adder.cpp $(pkg-config --cflags --libs zorlek)' ||
        return 1
    local got
    got=$(inside sh -c 'timeout 15 /tmp/adder >/tmp/adder.out 2>&1 & adder=$!
        for _ in $(seq 50); do grep -q ready /tmp/adder.out && break; sleep 0.1; done
        zorlek call sample.adder 1 i32 2 i32 40; kill $adder')
    echo "$got"
    [ "$got" = $'Result: Parcel(4 bytes)\n  00000000: 0000002a                             *...' ]
}
check "the README's sample builds against the installed libzorlek-dev and serves" sample
stopped() {
    inside systemctl stop zorlek-echo.service zorlek-registry.socket zorlek-registry.service &&
        [ "$(state zorlek-registry.service ActiveState)" = inactive ] &&
        [ "$(state zorlek-registry.socket ActiveState)" = inactive ] &&
        ! inside test -e /run/zorlek/registry.sock
}
check "stop ends the service and the socket, and removes the socket file" stopped
purged() {
    inside dpkg --purge zorlek zorlek-registry libzorlek-dev || return 1
    inside systemctl daemon-reload
    # Every file the packages or their scripts made is gone from the overlay's upper layer
    # (where a removed file of the host's shows as a whiteout, a character device).
    local left
    left=$(nsenter -t "$pid1" -m find "$work/mnt/upper" -name '*zorlek*' ! -type c ! -path '*/zorlek-debs*' \
        ! -path '*/var/log/journal/*' 2>&1)
    [ -z "$left" ] || { echo "left: $left"; return 1; }
    [ -z "$(inside systemctl list-units --all --plain --no-legend 'zorlek*')" ] &&
        [ -z "$(inside ps -u zorlek-registry,zorlek-echo -o pid=)" ] &&
        ! inside test -e /run/zorlek
}
check "purge leaves nothing (the users zorlek-registry and zorlek-echo stay)" purged

inside systemctl poweroff --no-block >/dev/null 2>&1
for _ in $(seq 100); do kill -0 "$unshare_pid" 2>/dev/null || break; sleep 0.1; done
echo "systemd check: $passed passed, $failures failed in $(($(date +%s) - start)) s"
[ "$failures" -eq 0 ]
