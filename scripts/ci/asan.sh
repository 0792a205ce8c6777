#!/usr/bin/env bash
# CI stage: builds the asan preset and runs the whole test suite under AddressSanitizer and
# UndefinedBehaviorSanitizer; any report fails the stage. Runnable by hand from anywhere.
set -euo pipefail
start=$SECONDS
cd "$(dirname "$0")/../.."
PELTA_SETUP_NO_BUILD=1 source scripts/setup.sh
pelta_install_packages libasan8 libubsan1

# Two jobs: sanitizer builds are heavy and the machine is shared.
jobs=${PELTA_JOBS:-2}

pelta_build_preset asan "$jobs"
# The preset sets ASAN_OPTIONS, UBSAN_OPTIONS (halt on the first report) and the leak suppressions
# for Qt's offscreen platform.
ctest --preset asan -j "$jobs" --timeout 1800 --no-tests=error
echo "asan: $((SECONDS - start)) s"
