#!/usr/bin/env bash
# Renders pelta.svg into the PNG sizes that are installed next to it. Run after editing the SVG;
# the PNGs are committed so that a build needs no SVG renderer.
set -euo pipefail
cd "$(dirname "$0")"
if ! command -v rsvg-convert >/dev/null; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends librsvg2-bin
fi
for size in 16 32 48 64 128 256; do
    rsvg-convert --width "$size" --height "$size" pelta.svg --output "pelta-$size.png"
done
