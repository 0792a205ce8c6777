#!/usr/bin/env bash
# CI stage: the README's test command on a fresh clone inside a pristine minimal Debian 12 root,
# so that a package installed by hand on this machine can never hide a missing install step.
# Needs root (debootstrap, chroot, mounts). The root is unmounted and removed whatever happens.
# Runnable by hand from anywhere; it tests what is committed, not the work tree.
set -euo pipefail
start=$SECONDS
cd "$(dirname "$0")/../.."
repo=$PWD

fail() {
    echo "fresh-root: FAILED: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || fail "debootstrap, chroot and mount need root; run this stage as root"
if ! command -v debootstrap >/dev/null; then
    echo "Installing: debootstrap"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends debootstrap; } ||
        fail "debootstrap is not installed and apt-get could not install it"
fi

work=$(mktemp -d /var/tmp/pelta-fresh-root.XXXXXX)
root=$work/root
cleanup() {
    local status=$?
    for mount in dev proc; do
        if mountpoint -q "$root/$mount"; then
            umount "$root/$mount" || umount -l "$root/$mount"
        fi
    done
    # --one-file-system: should an unmount have failed, the host's /dev and /proc stay untouched.
    rm -rf --one-file-system "$work"
    exit "$status"
}
trap cleanup EXIT

mirror=${PELTA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
echo "--- debootstrap --variant=minbase bookworm from $mirror"
if ! debootstrap --variant=minbase bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1; then
    tail -n 40 "$work/debootstrap.log" >&2
    fail "debootstrap could not build the Debian 12 root (its last lines are above)"
fi
echo "root built after $((SECONDS - start)) s"

git clone -q --no-hardlinks "$repo" "$root/root/pelta"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"

echo "--- bash scripts/test.sh inside the fresh root"
chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 CI="${CI:-}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c 'cd /root/pelta && bash scripts/test.sh' ||
    fail "the README's test command failed on a fresh Debian 12"
echo "fresh-root: $((SECONDS - start)) s"
