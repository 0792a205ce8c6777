#!/usr/bin/env bash
# CI stage: every mutation of tests/mutations/list.txt must be caught by the test suite (see
# scripts/mutate.py); a missed or stale mutation fails the stage. Bounded in time: the stage
# fails rather than run on when the machine is too slow to finish it. Runnable by hand.
set -euo pipefail
start=$SECONDS
cd "$(dirname "$0")/../.."
PELTA_SETUP_NO_BUILD=1 source scripts/setup.sh
timeout --signal=INT 2400 python3 scripts/mutate.py
echo "mutate: $((SECONDS - start)) s"
