#!/usr/bin/env bash
# CI stage: builds the tsan preset (the code without Qt: the core and the batch's lanes) and runs
# their tests (label "core") under ThreadSanitizer; any report fails the stage. Runnable by hand
# from anywhere.
set -euo pipefail
start=$SECONDS
cd "$(dirname "$0")/../.."
PELTA_SETUP_NO_BUILD=1 source scripts/setup.sh
pelta_install_packages libtsan2

# Two jobs: sanitizer builds are heavy and the machine is shared.
jobs=${PELTA_JOBS:-2}

pelta_build_preset tsan "$jobs"
# The preset sets TSAN_OPTIONS to halt on the first report.
ctest --preset tsan -L core -j "$jobs" --timeout 1800 --no-tests=error
echo "tsan: $((SECONDS - start)) s"
