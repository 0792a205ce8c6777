#!/usr/bin/env bash
# Makes the README's screenshots on a virtual 1280x800 screen, playing a user with xdotool:
# docs/window.png (the bundled sample as opened) and docs/denoised.png (the window after OK in the
# dialog, whose preview was dragged and "Use estimate" pressed). Then zooms in, undoes and redoes,
# and keeps those views in /tmp/pelta-shots for a look. docs/denoise-dialog.png shows the dialog on
# the sample's photograph with a camera's noise instead (its noise curve is not flat), made by
# bench/dialog_shot on the offscreen platform; it needs the photograph from Debian's
# plasma-workspace-wallpapers (see data/README.md).
# Needs xvfb, imagemagick and xdotool; run after a release build. The preview, "Use estimate" and OK
# are found from the dialog's geometry, so a different widget style may need new offsets.
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

    # Drag the preview to another part of the image, then let the dialog use its estimate:
    # the slider moves to the estimated level and the preview is computed there.
    px=$((X + 140))
    py=$((Y + 140))
    xdotool mousemove $px $py mousedown 1
    for d in 10 20 30 40 50 60; do
        xdotool mousemove $((px - d)) $((py - d / 2))
        sleep 0.1
    done
    xdotool mouseup 1
    sleep 3
    xdotool mousemove $((X + WIDTH - 164)) $((Y + HEIGHT - 123)) click 1
    sleep 4
    shoot dialog

    # OK with the mouse; wait until the run has finished and the dialog is gone.
    xdotool mousemove $((X + WIDTH - 138)) $((Y + HEIGHT - 26)) click 1
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
QT_QPA_PLATFORM=offscreen build/release/bench/dialog_shot \
    /usr/share/wallpapers/ColorfulCups/contents/images/2560x1600.jpg "$shots/camera.png" \
    docs/denoise-dialog.png
ls -l docs/window.png docs/denoised.png docs/denoise-dialog.png
