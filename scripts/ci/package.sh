#!/usr/bin/env bash
# CI stage: installs the release build into a scratch root, validates the desktop entry, the
# AppStream metainfo, the icons and the man pages there, then builds the .deb with CPack and checks
# its Depends and that it holds exactly the installed files. Runnable by hand from anywhere.
set -euo pipefail
start=$SECONDS
cd "$(dirname "$0")/../.."
source scripts/setup.sh
pelta_install_packages desktop-file-utils appstream dpkg-dev file man-db

fail() {
    echo "package: $*" >&2
    exit 1
}

app_id=io.github.pelta.Pelta
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root

echo "--- cmake --install into $root"
DESTDIR=$root cmake --install "$PELTA_BUILD" --prefix /usr >/dev/null
(cd "$root" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort) >"$scratch/installed"
cat "$scratch/installed"

echo "--- desktop entry, metainfo, icons, man pages"
desktop=$root/usr/share/applications/$app_id.desktop
metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
[ -f "$desktop" ] || fail "$desktop not installed"
[ -f "$metainfo" ] || fail "$metainfo not installed"
desktop-file-validate "$desktop"
appstreamcli validate --no-net "$metainfo"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
icon_name=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon_name.svg" ] || fail "scalable icon missing"
for size in 16 32 48 64 128 256; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$icon_name.png
    [ -f "$png" ] || fail "$png missing"
    file "$png" | grep -q "PNG image data, $size x $size," || fail "$png is not $size x $size"
done
for page in pelta pelta-denoise; do
    man_file=$root/usr/share/man/man1/$page.1
    [ -f "$man_file" ] || fail "$man_file missing"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$man_file" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page.1: $warnings"
done
echo "desktop entry, metainfo, icons and man pages are valid"

echo "--- programs"
for name in pelta pelta-denoise; do
    [ -x "$root/usr/bin/$name" ] || fail "$name is not installed into bin"
done
[ "$exec_name" = pelta ] || fail "the desktop entry starts $exec_name, not pelta"
QT_QPA_PLATFORM=offscreen "$root/usr/bin/pelta" --help | grep -q '\[file\]' ||
    fail "the installed pelta does not start"
"$root/usr/bin/pelta-denoise" --version || fail "the installed pelta-denoise does not start"

echo "--- cpack"
rm -f "$PELTA_BUILD"/pelta_*.deb
(cd "$PELTA_BUILD" && cpack -G DEB >/dev/null)
debs=("$PELTA_BUILD"/pelta_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no pelta_*.deb"
deb=${debs[0]}
dpkg-deb -f "$deb"

[ "$(dpkg-deb -f "$deb" Package)" = pelta ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Section)" = graphics ] || fail "section"
version=$(dpkg-deb -f "$deb" Version)
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo names no release $version"
depends=$(dpkg-deb -f "$deb" Depends)
for dependency in qt5-image-formats-plugins kimageformat-plugins libqt5svg5 libexiv2-27 \
    libqt5widgets5 libqt5gui5; do
    grep -Eq "(^|, )$dependency( |,|$)" <<<"$depends" || fail "Depends lacks $dependency: $depends"
done

# The package must hold exactly what cmake --install put into the scratch root.
dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./||' | sort >"$scratch/packaged"
if ! diff -u "$scratch/installed" "$scratch/packaged"; then
    fail "the package and cmake --install disagree (above)"
fi
echo "$(basename "$deb"): $(wc -l <"$scratch/packaged") files, Depends: $depends"
echo "package: $((SECONDS - start)) s"
