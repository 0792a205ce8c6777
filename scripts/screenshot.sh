#!/usr/bin/env bash
# Makes the README's screenshots on a virtual 1280x800 screen, playing a user with xdotool:
# docs/window.png (the bundled sample as opened), docs/denoise-dialog.png (the dialog after the
# slider was released at a level, with its preview) and docs/denoised.png (the window after OK).
# Then zooms in, undoes and redoes, and keeps those views in /tmp/pelta-shots for a look.
# Needs xvfb, imagemagick and xdotool; run after a release build. The slider handle and the OK
# button are found from the dialog's geometry, so a different widget style may need new offsets.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
shots=/tmp/pelta-shots
mkdir -p "$shots"

xvfb-run -a -s '-screen 0 1280x800x24' bash -c '
    set -euo pipefail
    shots=$1
    shoot() { import -window root "$shots/$1.png"; }
    build/release/app/pelta data/sample.png &
    pid=$!
    trap "kill $pid 2>/dev/null || true" EXIT
    sleep 3
    window=$(xdotool search --onlyvisible --class pelta | head -1)
    # Without a window manager nothing gives the window the keyboard back after a dialog.
    focus() { xdotool windowfocus --sync "$window"; sleep 0.3; }
    focus
    shoot before

    # Filters > Denoise... with the mouse on the menu bar, then the first entry.
    xdotool mousemove 102 10 click 1
    sleep 0.5
    xdotool key Down Return
    sleep 2
    dialog=$(xdotool search --onlyvisible --class pelta | grep -v "^$window\$" | head -1)
    eval "$(xdotool getwindowgeometry --shell "$dialog")"
    echo "${WIDTH}x${HEIGHT}+${X}+${Y}" > "$shots/dialog-geometry"

    # Drag the handle from level 0 to about 14 and let go: the preview is computed.
    hx=$((X + 18))
    hy=$((Y + HEIGHT - 51))
    xdotool mousemove $hx $hy mousedown 1
    for dx in 5 10 15 20 25 30; do
        xdotool mousemove $((hx + dx)) $hy
        sleep 0.1
    done
    xdotool mouseup 1
    sleep 4
    shoot dialog

    # OK with the mouse; wait until the run has finished and the dialog is gone.
    xdotool mousemove $((X + 143)) $((Y + HEIGHT - 24)) click 1
    for _ in $(seq 1 120); do
        [ "$(xdotool search --onlyvisible --class pelta | wc -l)" = 1 ] && break
        sleep 1
    done
    sleep 1
    focus
    shoot after
    xdotool key ctrl+plus
    sleep 1
    shoot zoomed
    xdotool key ctrl+z
    sleep 1
    shoot undone
    xdotool key ctrl+shift+z
    sleep 1
    shoot redone
' screenshot "$shots"

# The window takes three fifths of the screen from the top left. A palette keeps the files small;
# no dithering, which would add a grain of its own to the smooth result.
convert "$shots/before.png" -crop 768x480+0+0 +repage -strip -colors 256 PNG8:docs/window.png
convert "$shots/after.png" -crop 768x480+0+0 +repage -strip -dither None -colors 256 \
    PNG8:docs/denoised.png
convert "$shots/dialog.png" -crop "$(cat "$shots/dialog-geometry")" +repage -strip -dither None \
    -colors 256 PNG8:docs/denoise-dialog.png
ls -l docs/window.png docs/denoised.png docs/denoise-dialog.png
