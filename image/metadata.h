// A photograph's EXIF, IPTC and XMP, read from the file opened and written into the file saved,
// through exiv2.
#pragma once

#include <QByteArray>
#include <QSize>

#include <memory>

// The metadata of one image file: what exiv2 read of its EXIF (descriptive tags only, no
// thumbnail and none of the tags that describe how a TIFF stores its pixels), IPTC and XMP.
// A small value: copies share the same data, which nobody changes after reading, so any thread
// may hold and write from a copy.
struct ImageMetadata
{
    struct Blocks; // exiv2's containers, known to metadata.cpp only

    std::shared_ptr<const Blocks> blocks; // null when the file held none or exiv2 could not read it
    int orientation = 1; // the EXIF orientation, 1 (upright) to 8

    bool isEmpty() const { return !blocks; }
};

// Sets exiv2 up once for the whole process: its log silenced (standard error belongs to the
// programs' own messages) and its XMP parser initialised with a lock, as exiv2 requires before
// several threads parse XMP. Every function below calls it; a program that starts threads calls
// it first.
void prepareMetadataLibrary();

// The metadata of an image file whose bytes are in memory. A format exiv2 does not know, or a
// file it cannot parse, gives empty metadata; this never throws but std::bad_alloc.
ImageMetadata readMetadata(const QByteArray &fileBytes);

// Writes the metadata into an image file encoded in memory, for an image of `size` whose
// pixels are upright: the orientation becomes 1 (in EXIF and XMP), the EXIF pixel dimensions
// follow `size`, no thumbnail is written, and IPTC goes into XMP where the format holds XMP
// but not IPTC. A block that the format cannot hold, or that exiv2 fails to write (a JPEG's EXIF
// segment holds at most 64 KB), is left out; the file is always left a valid image. Never
// throws but std::bad_alloc.
void embedMetadata(QByteArray *fileBytes, const ImageMetadata &metadata, const QSize &size);
