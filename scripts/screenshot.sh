#!/usr/bin/env bash
# Makes docs/window.png: the window showing the bundled sample, on a virtual 1280x800 screen.
# Needs xvfb and imagemagick; run after a release build.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

xvfb-run -a -s '-screen 0 1280x800x24' bash -c '
    build/release/app/pelta data/sample.png &
    pid=$!
    sleep 3
    import -window root /tmp/pelta-root.png
    kill $pid'
# The window takes three fifths of the screen from the top left; a palette keeps the file small.
convert /tmp/pelta-root.png -crop 768x480+0+0 +repage -colors 256 PNG8:docs/window.png
rm -f /tmp/pelta-root.png
