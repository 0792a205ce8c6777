#!/usr/bin/env bash
# CI stage: pelta-denoise saving onto a real, full file system (a small tmpfs) in every common
# format must exit 4 with the system's reason, keep the old file byte for byte and leave no
# temporary file. Needs root for the mount; unmounts whatever happens. Runnable by hand.
set -euo pipefail
start=$SECONDS
cd "$(dirname "$0")/../.."
source scripts/setup.sh

fail() {
    echo "full-disk: FAILED: $*" >&2
    exit 1
}
[ "$(id -u)" -eq 0 ] || fail "mounting a tmpfs needs root; run this stage as root"

tool=$PELTA_BUILD/tools/pelta-denoise
scratch=$(mktemp -d)
disk=$scratch/disk
mkdir "$disk"
cleanup() {
    local status=$?
    if mountpoint -q "$disk"; then
        umount "$disk" || umount -l "$disk"
    fi
    rm -rf --one-file-system "$scratch"
    exit "$status"
}
trap cleanup EXIT

# Two PPMs made here: a 16 x 16 one whose result fits, a 256 x 256 one of noise whose does not.
ppm() {
    printf 'P6\n%d %d\n255\n' "$1" "$1"
    head -c $(($1 * $1 * 3)) /dev/urandom
}
ppm 16 >"$scratch/small.ppm"
ppm 256 >"$scratch/noisy.ppm"

mount -t tmpfs -o size=256k tmpfs "$disk"
for format in tif png jpg bmp ppm webp; do
    target=$disk/existing.$format
    "$tool" -q --seed 1 --sigma 10 "$scratch/small.ppm" "$target" || fail "$format: first write"
    cp "$target" "$scratch/before"
    # Fill the disk but for 8 KiB: far less than any encoding of the noisy result.
    dd if=/dev/zero of="$disk/filler" bs=4096 2>/dev/null || true
    truncate -s -8192 "$disk/filler"
    status=0
    "$tool" -q --seed 1 --sigma 10 "$scratch/noisy.ppm" "$target" 2>"$scratch/stderr" || status=$?
    message=$(cat "$scratch/stderr")
    [ "$status" -eq 4 ] || fail "$format: exit status $status, not 4 ($message)"
    grep -q "No space left on device" <<<"$message" || fail "$format: no reason given: $message"
    cmp -s "$target" "$scratch/before" || fail "$format: the old file was changed"
    leftovers=$(find "$disk" -mindepth 1 ! -name filler ! -name "existing.*")
    [ -z "$leftovers" ] || fail "$format: left behind: $leftovers"
    echo "$format: exit 4, old file kept: $message"
    rm -f "$disk/filler" "$target"
done
echo "full-disk: $((SECONDS - start)) s"
