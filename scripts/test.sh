#!/usr/bin/env bash
# Builds Pelta if needed and runs the whole test suite, the window tests on the offscreen platform.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$PELTA_BUILD" --output-on-failure --timeout 600 -j "$(nproc)"
