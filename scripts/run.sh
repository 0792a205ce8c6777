#!/usr/bin/env bash
# Builds Pelta if needed and starts the viewer on the given image, or on the bundled sample.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "pelta is built ($PELTA_BUILD/app/pelta), but there is no display to show it on:" >&2
    echo "run this from a desktop session (or set DISPLAY)." >&2
    exit 1
fi

image=${1:-$PELTA_ROOT/data/sample.png}
exec "$PELTA_BUILD/app/pelta" "$image"
