// Image files in one place: reading with format detection, orientation and a memory guard, and
// writing that never leaves a half-written file behind.
#pragma once

#include "image/metadata.h"

#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>

#include <cstdint>

class QIODevice;
class QImageReader;
class QSaveFile;

// What a read produced: the image, or a null image and the reason in errorText, worded for a
// user (the decoder's own error text, or the memory guard's); with an image, the file's
// metadata, for a save to carry on.
struct ImageReadResult
{
    QImage image;
    QString errorText;
    ImageMetadata metadata;
};

// How an image is encoded: the quality of lossy formats and what goes with the pixels. The
// colour profile, resolution and 16-bit depth always stay where the format holds them.
struct ImageWriteOptions
{
    // 1 to 100, for the lossy formats only (JPEG, WebP, AVIF, HEIF, JPEG XL); lossless ones are
    // compressed as well as their encoder can (a TIFF with LZW).
    int quality = 95;
    // Written where the format holds it (see embedMetadata); empty for a pasted image.
    ImageMetadata metadata;
    // The image's texts (PNG text chunks, JPEG comments); off to share a picture without them.
    bool keepText = true;
    // False: a file of that name, made at any time before the commit, is never replaced; the
    // write fails with "exists" (see storeNewFile). writeImageFile only.
    bool replaceExisting = true;
};

// Bytes that showing an image of this size needs: the decoded image and its display copy, four
// bytes per pixel each. -1 for an empty or invalid size.
std::int64_t displayFootprintBytes(const QSize &size);

// True when an image of the declared size cannot be decoded and shown within memoryLimitBytes.
// A negative limit means no limit is known; an invalid size (the format does not say before
// decoding) never exceeds it.
bool exceedsMemory(const QSize &declaredSize, std::int64_t memoryLimitBytes);

// The memory guard's refusal text.
QString tooLargeErrorText();

// Reads with the reader as it is set up (file or device, format or detection), applying the
// orientation stored in the file exactly once (the reader's, or for PNG and WebP, whose readers
// ignore it, exiv2's) and keeping the colour profile across it; the metadata comes from the
// bytes the image was decoded from (none from a device that cannot seek back). Before decoding, an
// image whose declared size exceeds memoryLimitBytes (see exceedsMemory) is refused without
// decoding anything.
ImageReadResult readImage(QImageReader &reader, std::int64_t memoryLimitBytes);

// Reads the file, the format detected by the reader, within the given memory limit or, without
// one, within the memory available to this process now. Only a regular file is opened, without
// ever blocking; anything else fails with the reason ("is a folder", see openRegularFile).
ImageReadResult readImageFile(const QString &fileName, std::int64_t memoryLimitBytes);
ImageReadResult readImageFile(const QString &fileName);

// Reads from an open device (the fuzz target hands in a buffer); format detected from content.
ImageReadResult readImage(QIODevice *device, std::int64_t memoryLimitBytes);

// Writes the image in the format that the suffix of file.fileName() names. The image is encoded
// in memory first; the bytes then go to a temporary file beside the target, which replaces the
// target only once every byte has been written and synced, so a failure at any point (a full
// disk included) leaves an existing file as it was. The file must not be open. On failure
// returns false and sets *errorText (if given) to the encoder's error text or, where that says
// nothing, the system's reason ("No space left on device"). The options say how to encode.
bool writeImage(const QImage &image, QSaveFile &file, QString *errorText,
    const ImageWriteOptions &options = ImageWriteOptions());
bool writeImageFile(const QImage &image, const QString &fileName, QString *errorText,
    const ImageWriteOptions &options = ImageWriteOptions());

// The MIME types the reader accepts, sorted case-sensitively: the Open dialog's filter list.
QStringList readableMimeTypes();
