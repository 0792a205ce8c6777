# CPack: `cpack` in a build tree makes pelta_<version>_<arch>.deb from the install rules.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelta)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Pelta developers")
set(CPACK_PACKAGE_CONTACT "The Pelta developers <pelta@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "image viewer with a random-walk denoiser")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack puts the summary above this long description, indents its lines and turns the empty one
# into " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Pelta shows images in every format the Qt image plug-ins read, zooms them and
removes noise from them with a non-local-means denoiser driven by random walks
that do not cross edges of the image. The noise level is chosen on a slider
with a live preview, and the last step can be undone.

The package also holds pelta-denoise, the same denoiser on the command line.")
# The Qt libraries come from the programs' links; the image plug-ins are loaded at run time, so
# they are named here. libqt5svg5 reads SVG images, which the desktop entry says Pelta opens.
# libexiv2-27 (EXIF, IPTC and XMP) is linked and would be found by shlibdeps too; it is named so
# that a build without dpkg-shlibdeps still depends on it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt5-image-formats-plugins, kimageformat-plugins, libqt5svg5, libexiv2-27")

include(CPack)
