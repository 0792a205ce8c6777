// Photographs for the tests: image files tagged by exiv2 as a camera and a photo agency tag
// them, and the tags of a written file read back.
#pragma once

#include "gui/testutils.h"

#include <QtGui>

#include <exiv2/exiv2.hpp>

#include <cstdint>
#include <string>

// Tags the image file with the orientation, camera, dates, GPS position, exposure, artist,
// copyright and a preview thumbnail in EXIF, keywords in IPTC (where the format holds IPTC) and
// a creator in XMP. `bigExif` adds 80 KB of text, more than a JPEG's EXIF segment holds.
inline bool tagAsCamera(const QString &path, int orientation, bool bigExif = false)
{
    try {
        auto image = Exiv2::ImageFactory::open(path.toStdString());
        image->readMetadata();
        Exiv2::ExifData &exif = image->exifData();
        exif["Exif.Image.Orientation"] = std::uint16_t(orientation);
        exif["Exif.Image.Make"] = "Pelta Optics";
        exif["Exif.Image.Artist"] = "A. Photographer";
        exif["Exif.Image.Copyright"] = "(c) A. Photographer";
        exif["Exif.Photo.DateTimeOriginal"] = "2026:12:07 10:11:12";
        exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 250);
        exif["Exif.Photo.PixelXDimension"] = std::uint32_t(4000);
        exif["Exif.GPSInfo.GPSLatitude"] = "47/1 22/1 1234/100";
        // exiv2 drops single tags above 4 KB to fit a JPEG; these are smaller, and too many.
        for (const char *key : {"Image.ImageDescription", "Image.Software", "Image.DocumentName",
                 "Image.HostComputer", "Image.Model", "Photo.ImageUniqueID",
                 "Photo.CameraOwnerName", "Photo.BodySerialNumber", "Photo.LensMake",
                 "Photo.LensModel", "Photo.LensSerialNumber", "Photo.UserComment",
                 "Photo.SpectralSensitivity", "Photo.SubSecTime", "Photo.SubSecTimeOriginal",
                 "Photo.SubSecTimeDigitized", "Photo.RelatedSoundFile", "GPSInfo.GPSMapDatum",
                 "GPSInfo.GPSSatellites", "GPSInfo.GPSProcessingMethod"}) {
            if (bigExif)
                exif[std::string("Exif.") + key] = std::string(4000, 'x');
        }
        const QByteArray thumbnail = encoded(QImage(16, 12, QImage::Format_RGB32), "jpg");
        Exiv2::ExifThumb(exif).setJpegThumbnail(
            reinterpret_cast<const Exiv2::byte *>(thumbnail.constData()), long(thumbnail.size()));
        if (Exiv2::ImageFactory::checkMode(
                Exiv2::ImageFactory::getType(path.toStdString()), Exiv2::mdIptc)
            & Exiv2::amWrite)
            image->iptcData()["Iptc.Application2.Keywords"] = "harbour";
        image->xmpData()["Xmp.dc.creator"] = "A. Photographer";
        image->writeMetadata();
        return true;
    } catch (const Exiv2::AnyError &) {
        return false;
    }
}

// The value of an EXIF, IPTC or XMP tag of the file ("Exif.Image.Artist"); empty when the file
// has no such tag.
inline QString tagOf(const QString &path, const QString &key)
{
    try {
        auto image = Exiv2::ImageFactory::open(path.toStdString());
        image->readMetadata();
        const auto valueIn = [](const auto &data, const auto &name) {
            const auto it = data.findKey(name);
            return it == data.end() ? QString() : QString::fromStdString(it->toString());
        };
        const std::string name = key.toStdString();
        if (key.startsWith("Exif."))
            return valueIn(image->exifData(), Exiv2::ExifKey(name));
        if (key.startsWith("Iptc."))
            return valueIn(image->iptcData(), Exiv2::IptcKey(name));
        return valueIn(image->xmpData(), Exiv2::XmpKey(name));
    } catch (const Exiv2::AnyError &) {
        return {};
    }
}
