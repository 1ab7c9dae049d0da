#!/usr/bin/env bash
# Proves the README's set-up on a bare Debian 12: a clean clone of REF (default HEAD) goes into a fresh
# debootstrap tree, where a non-root user with sudo runs `make test` and `make run` without a display.
# Usage: tools/fresh-machine.sh [REF]  (as root, or through sudo). Environment: FRESH_CACHE (the cached bare
# tree and downloaded packages), FRESH_WORK (where the tree is unpacked), FRESH_LOG, FRESH_MIRROR, FRESH_KEEP=1.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ref=${1:-HEAD}
if [ "$(id -u)" -ne 0 ]; then
    exec sudo --preserve-env=FRESH_CACHE,FRESH_WORK,FRESH_LOG,FRESH_MIRROR,FRESH_KEEP "$0" "$@"
fi
git() { command git -c safe.directory='*' "$@"; }
commit=$(git -C "$repo" rev-parse --verify "$ref^{commit}")
cache=${FRESH_CACHE:-/var/cache/patrol-lamp-fresh}
log=${FRESH_LOG:-$repo/build/fresh-machine.log}
mkdir -p "$cache" "$(dirname "$log")"
: >"$log"
exec 3>&1 >>"$log" 2>&1

say() { echo "$*"; echo "$*" >&3; }

# The first URI the host's apt sources give for SUITE, in one-line or deb822 form.
AptUri() {
    local suite=$1
    shopt -s nullglob
    local lists=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list) sources=(/etc/apt/sources.list.d/*.sources)
    shopt -u nullglob
    {
        [ ${#lists[@]} -gt 0 ] && sed -e 's/\[[^]]*\]//' "${lists[@]}" 2>/dev/null |
            awk -v s="$suite" '$1 == "deb" && $3 == s { print $2 }'
        [ ${#sources[@]} -gt 0 ] && awk -v s="$suite" 'BEGIN { RS = "" }
            {
                deb = 0; hit = 0; uri = ""
                n = split($0, lines, "\n")
                for (i = 1; i <= n; i++) {
                    if (lines[i] ~ /^Types:.*(^|[ \t])deb([ \t]|$)/) deb = 1
                    if (lines[i] ~ /^Suites:/) { m = split(lines[i], w, /[ \t]+/); for (j = 2; j <= m; j++) if (w[j] == s) hit = 1 }
                    if (lines[i] ~ /^URIs:/) { split(lines[i], u, /[ \t]+/); uri = u[2] }
                }
                if (deb && hit && uri != "") print uri
            }' "${sources[@]}"
    } | head -n 1
}

mirror=${FRESH_MIRROR:-$(AptUri bookworm)}
mirror=${mirror:-http://deb.debian.org/debian}
security=$(AptUri bookworm-security)
security=${security:-http://deb.debian.org/debian-security}

root=""
mounts=()
declare -a timings=()
result=FAIL

InChroot() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@" 3>&-; }
# The newcomer's login environment: no display, no session bus, no locale chosen.
AsNewcomer() {
    InChroot runuser -u newcomer -- /usr/bin/env -i HOME=/home/newcomer USER=newcomer LOGNAME=newcomer SHELL=/bin/bash \
        PATH=/usr/local/bin:/usr/bin:/bin TERM=dumb bash -c "cd ~/patrol-lamp && $1"
}

Cleanup() {
    local rc=$?
    set +e
    [ -n "$stage" ] && timings+=("$(printf '%-34s %5d s  failed (%d)' "$stage" $((SECONDS - stage_t0)) $rc)")
    if [ -n "$root" ]; then
        # Whatever a failed stage left running inside the tree holds its mounts.
        local p
        for p in /proc/[0-9]*; do
            [ "$(readlink "$p/root" 2>/dev/null)" = "$root" ] && kill -KILL "${p#/proc/}" 2>/dev/null
        done
        sleep 1
        local i
        for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
            umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}"
        done
        if grep -q " $root/" /proc/self/mounts; then
            say "Still mounted under $root; left in place:"
            grep " $root/" /proc/self/mounts >&3
        elif [ "${FRESH_KEEP:-0}" = 1 ]; then
            say "Tree kept at $root"
        else
            rm -rf --one-file-system "$root"
        fi
    fi
    echo
    echo "=== Stages"
    printf '%s\n' "${timings[@]}"
    echo "=== RESULT: $result"
    exec >&3 2>&1
    echo
    echo "--- last lines of $log"
    tail -n 25 "$log"
    [ "$result" = PASS ] || exit $((rc == 0 ? 1 : rc))
}
trap Cleanup EXIT
trap 'exit 130' INT TERM

# Runs one stage, timed; called as a plain command so that errexit ends the run at the first failure.
stage=""
stage_t0=0
Stage() {
    stage=$1
    stage_t0=$SECONDS
    shift
    say "=== $stage ($(date -u +%H:%M:%S))"
    "$@"
    timings+=("$(printf '%-34s %5d s  ok' "$stage" $((SECONDS - stage_t0)))")
    stage=""
}

BareTree() {
    base=$cache/bookworm-base.tar
    [ -f "$base" ] && return 0
    command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y debootstrap
    rm -rf "$cache/base.tmp"
    debootstrap --arch=amd64 bookworm "$cache/base.tmp" "$mirror"
    rm -f "$cache/base.tmp"/var/cache/apt/archives/*.deb
    tar --numeric-owner -C "$cache/base.tmp" -cf "$base.tmp" .
    mv "$base.tmp" "$base"
    rm -rf "$cache/base.tmp"
}

Unpack() {
    root=$(mktemp -d "${FRESH_WORK:-/var/tmp}/patrol-lamp-fresh.XXXXXX")
    tar --numeric-owner -C "$root" -xf "$base"
}

MountIn() {
    local target=$root/$1
    shift
    mount "$@" "$target"
    mounts+=("$target")
}

Mount() {
    MountIn proc -t proc proc
    MountIn sys -t sysfs sysfs
    MountIn dev --bind /dev
    MountIn dev/pts --bind /dev/pts
    MountIn dev/shm -t tmpfs -o mode=1777 shm
    # Downloaded packages are kept between runs; what gets installed is still decided afresh.
    mkdir -p "$cache/archives/partial"
    MountIn var/cache/apt/archives --bind "$cache/archives"
}

# What the installer leaves on a new Debian 12: its sources, a hosts file, a user who may use sudo.
Install() {
    cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb $security bookworm-security main
EOF
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    echo fresh >"$root/etc/hostname"
    printf '127.0.0.1\tlocalhost\n127.0.1.1\tfresh\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
    InChroot apt-get update
    InChroot env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends sudo
    InChroot useradd -m -s /bin/bash newcomer
    echo 'newcomer ALL=(ALL) NOPASSWD:ALL' >"$root/etc/sudoers.d/newcomer"
}

# The README's prerequisites: git to clone and make to run the two commands.
Prerequisites() {
    InChroot env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends git make
}

Clone() {
    local dst=$root/home/newcomer/patrol-lamp
    git clone -q --no-hardlinks "$repo" "$dst"
    git -C "$dst" checkout -q --detach "$commit"
    git -C "$dst" log -1 --oneline
    InChroot chown -R newcomer:newcomer /home/newcomer/patrol-lamp
}

MakeTest() { AsNewcomer 'timeout 3h make test'; }

# Without a display `make run` says so and monitors the sample list until Ctrl+C, which it gets after the first
# pass. That list's hosts are on the internet, so this stage runs without a network.
MakeRun() {
    local out
    # shellcheck disable=SC2016 # expanded inside the tree
    out=$(unshare --net chroot "$root" runuser -u newcomer -- /usr/bin/env -i HOME=/home/newcomer USER=newcomer \
        LOGNAME=newcomer SHELL=/bin/bash PATH=/usr/local/bin:/usr/bin:/bin TERM=dumb bash -c '
        cd ~/patrol-lamp && set -m
        make run >~/make-run.out 2>&1 &
        for _ in $(seq 120); do grep -q "第 1 遍完成" ~/make-run.out && break; sleep 1; done
        kill -INT -- -$!
        wait $!
        echo "make run: status $? after Ctrl+C"
        cat ~/make-run.out' 3>&-)
    echo "$out"
    # A stop asked for by a signal ends the program with status 0, abnormal sites or not: make reports no
    # failed recipe. make itself, sent the same Ctrl+C, ends with 0 or by the signal (130), as make does.
    grep -q '^No display' <<<"$out" && grep -q '第 1 遍完成' <<<"$out" && grep -q '监控停止' <<<"$out" &&
        grep -Eq '^make run: status (0|130) after Ctrl\+C' <<<"$out" && ! grep -q 'Error [0-9]' <<<"$out"
}

NoDisplay() {
    local out rc=0
    out=$(AsNewcomer 'timeout 1m ./build/patrol-lamp' 2>&1) || rc=$?
    echo "$out"
    echo "patrol-lamp: status $rc"
    [ $rc -eq 3 ] && grep -q 'DISPLAY' <<<"$out"
}

say "Fresh machine: $commit from $repo; mirror $mirror; log $log"
Stage "bare tree (debootstrap or cache)" BareTree
Stage "unpack" Unpack
Stage "mounts" Mount
Stage "installer's setup (sources, user)" Install
Stage "git and make" Prerequisites
Stage "clean clone" Clone
Stage "make test" MakeTest
Stage "make run" MakeRun
Stage "patrol-lamp without a display" NoDisplay
result=PASS
