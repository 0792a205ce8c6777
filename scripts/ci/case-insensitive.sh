#!/usr/bin/env bash
# CI stage: pelta-denoise on a disk that ignores case, an exFAT image mounted through FUSE as a
# camera card is: a name differing from an input only in case must be refused, and so must the
# second of two outputs that differ only in case. Needs root (losetup, mount); the test skips
# where it cannot mount, and this stage fails on that skip. Runnable by hand from anywhere.
set -euo pipefail
start=$SECONDS
cd "$(dirname "$0")/../.."
source scripts/setup.sh
pelta_install_packages exfat-fuse exfatprogs fuse3

fail() {
    echo "case-insensitive: FAILED: $*" >&2
    exit 1
}
[ "$(id -u)" -eq 0 ] || fail "mounting an exFAT image needs root; run this stage as root"

status=0
output=$(QT_QPA_PLATFORM=offscreen "$PELTA_BUILD/tests/tst_pelta_denoise" caseInsensitiveDisk 2>&1) ||
    status=$?
echo "$output" | grep -E '^(PASS|FAIL|SKIP|   )' || true
[ "$status" -eq 0 ] || fail "the test failed"
grep -q '^PASS   : tst_PeltaDenoise::caseInsensitiveDisk()' <<<"$output" ||
    fail "the test did not run on an exFAT disk"
echo "case-insensitive: $((SECONDS - start)) s"
