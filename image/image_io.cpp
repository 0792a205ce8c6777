// Reading through QImageReader behind the memory guard, writing through QSaveFile.
#include "image/image_io.h"

#include "core/system_memory.h"
#include "image/file_safety.h"

#include <QBuffer>
#include <QColorSpace>
#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>
#include <QTransform>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <unistd.h>

std::int64_t displayFootprintBytes(const QSize &size)
{
    if (!size.isValid() || size.isEmpty())
        return -1;
    // Both sides are below 2^31, so the pixel count fits; the byte count would not always.
    const std::int64_t pixels = std::int64_t(size.width()) * size.height();
    const std::int64_t bytesPerPixel = 4 * 2;
    if (pixels > INT64_MAX / bytesPerPixel)
        return INT64_MAX;
    return pixels * bytesPerPixel;
}

bool exceedsMemory(const QSize &declaredSize, std::int64_t memoryLimitBytes)
{
    const std::int64_t needed = displayFootprintBytes(declaredSize);
    return memoryLimitBytes >= 0 && needed > memoryLimitBytes;
}

QString tooLargeErrorText()
{
    return QCoreApplication::translate(
        "ImageIo", "The image is too large for the available memory");
}

namespace {

// The EXIF orientation (1 to 8) as the reader's transformation.
QImageIOHandler::Transformations transformationOf(int orientation)
{
    using T = QImageIOHandler::Transformation;
    const T byOrientation[] = {T::TransformationNone, T::TransformationNone,
        T::TransformationMirror, T::TransformationRotate180, T::TransformationFlip,
        T::TransformationFlipAndRotate90, T::TransformationRotate90,
        T::TransformationMirrorAndRotate90, T::TransformationRotate270};
    return byOrientation[orientation >= 1 && orientation <= 8 ? orientation : 1];
}

// The image turned upright. Qt's own rotation by a quarter turn drops the colour profile and the
// texts, so that a portrait photograph in Adobe RGB would be shown and saved as sRGB.
QImage oriented(const QImage &image, QImageIOHandler::Transformations transformation)
{
    if (transformation == QImageIOHandler::TransformationNone)
        return image;
    QImage upright = image.mirrored(transformation & QImageIOHandler::TransformationMirror,
        transformation & QImageIOHandler::TransformationFlip);
    if (transformation & QImageIOHandler::TransformationRotate90)
        upright = upright.transformed(QTransform().rotate(90));
    upright.setColorSpace(image.colorSpace());
    upright.setDotsPerMeterX(image.dotsPerMeterX());
    upright.setDotsPerMeterY(image.dotsPerMeterY());
    const QStringList keys = image.textKeys();
    for (const QString &key : keys)
        upright.setText(key, image.text(key));
    return upright;
}

// Every byte of the device the reader decoded from, or nothing when it cannot seek back.
QByteArray deviceBytes(QIODevice *device)
{
    if (!device || !device->isOpen() || device->isSequential() || !device->seek(0))
        return {};
    return device->readAll();
}

} // namespace

ImageReadResult readImage(QImageReader &reader, std::int64_t memoryLimitBytes)
{
    ImageReadResult result;
    // Turned upright below, where the colour profile is kept.
    reader.setAutoTransform(false);
    // size() only parses the header; formats that cannot tell yet answer with an invalid size.
    if (exceedsMemory(reader.size(), memoryLimitBytes)) {
        result.errorText = tooLargeErrorText();
        return result;
    }
    // Asked before reading: after it the reader has no more image to name the format of.
    const QByteArray format = reader.format();
    QImage image = reader.read();
    if (image.isNull()) {
        result.errorText = reader.errorString();
        return result;
    }
    result.metadata = readMetadata(deviceBytes(reader.device()));
    QImageIOHandler::Transformations transformation = reader.transformation();
    // Qt's PNG and WebP readers ignore the orientation a file states; other decoders that say
    // none either have none or turn the image themselves (HEIF, AVIF, JPEG XL, raw).
    if (transformation == QImageIOHandler::TransformationNone
        && (format == "png" || format == "webp"))
        transformation = transformationOf(result.metadata.orientation);
    result.image = oriented(image, transformation);
    return result;
}

ImageReadResult readImageFile(const QString &fileName, std::int64_t memoryLimitBytes)
{
    const OpenedFile opened = openRegularFile(fileName);
    if (!opened.file) {
        ImageReadResult refused;
        refused.errorText = opened.errorText;
        return refused;
    }
    QImageReader reader(opened.file.get());
    return readImage(reader, memoryLimitBytes);
}

ImageReadResult readImageFile(const QString &fileName)
{
    return readImageFile(fileName, availableMemoryBytes());
}

ImageReadResult readImage(QIODevice *device, std::int64_t memoryLimitBytes)
{
    QImageReader reader(device);
    return readImage(reader, memoryLimitBytes);
}

namespace {

// The device's own error text, or the system's reason for the failed call (errno, read right
// after it) where the device has nothing better to say than "Unknown error".
QString failureText(const QIODevice &device, int systemError)
{
    QString text = device.errorString();
    if (systemError != 0 && (text.isEmpty() || text == QLatin1String("Unknown error")))
        return systemErrorText(systemError);
    return text;
}

// Texts that readers fill from metadata blocks (Qt's PNG reader keeps the XMP packet and
// exiv2's EXIF and IPTC chunks as texts): written as texts again, they would double the blocks
// that embedMetadata writes.
bool isMetadataText(const QString &key)
{
    return key == QLatin1String("XML:com.adobe.xmp")
        || key.startsWith(QLatin1String("Raw profile type "), Qt::CaseInsensitive);
}

// The image with only the texts to be written. setText() on a copy would first copy every
// pixel; this image reads the same pixels instead, which the encoder never writes.
QImage withWrittenTexts(const QImage &image, bool keepText)
{
    const QStringList keys = image.textKeys();
    const bool dropsAny = std::any_of(keys.begin(), keys.end(),
        [keepText](const QString &key) { return !keepText || isMetadataText(key); });
    if (!dropsAny)
        return image;
    QImage view(const_cast<uchar *>(image.constBits()), image.width(), image.height(),
        image.bytesPerLine(), image.format());
    view.setColorTable(image.colorTable());
    view.setColorSpace(image.colorSpace());
    view.setDotsPerMeterX(image.dotsPerMeterX());
    view.setDotsPerMeterY(image.dotsPerMeterY());
    view.setOffset(image.offset());
    for (const QString &key : keys) {
        if (keepText && !isMetadataText(key))
            view.setText(key, image.text(key));
    }
    return view;
}

// Qt's PNG encoder reads a quality q as zlib's level (100 - q) * 9 / 91: 50 is level 4. On
// photographs level 4 writes files within 1 % of zlib's default 6 (a denoised 6000 x 4000 one:
// 33.1 MB at 4, 33.4 MB at 6), smooth pictures up to about 9 % larger, and it is three times as
// fast; the encoder runs alone on one thread after the denoise. Level 1 would be faster again
// but 14 % larger on the photograph.
constexpr int kPngQuality = 50;

// Lossy encoders take the quality; PNG always takes its own (a user's 95 would leave it hardly
// compressed).
void setEncoding(QImageWriter &writer, const QByteArray &format, int quality)
{
    static const QByteArrayList lossy {"jpg", "jpeg", "webp", "avif", "heif", "heic", "jxl"};
    if (lossy.contains(format))
        writer.setQuality(quality);
    if (format == "png")
        writer.setQuality(kPngQuality);
    // Qt's TIFF encoder: 0 uncompressed, 1 LZW.
    if (format == "tif" || format == "tiff")
        writer.setCompression(1);
}

// Encodes the image into memory in the given format, with the options' quality and metadata;
// the reason in *errorText on failure.
bool encodeImage(const QImage &image, const QByteArray &format, const ImageWriteOptions &options,
    QByteArray *bytes, QString *errorText)
{
    try {
        QBuffer buffer(bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format);
        setEncoding(writer, format, options.quality);
        if (writer.write(withWrittenTexts(image, options.keepText))) {
            buffer.close();
            embedMetadata(bytes, options.metadata, image.size());
            return true;
        }
        *errorText = writer.errorString();
    } catch (const std::bad_alloc &) {
        *errorText = QCoreApplication::translate("ImageIo", "Not enough memory");
    }
    return false;
}

// Puts the bytes into the save file and makes them durable: every byte written, flushed, synced
// to the disk, then renamed over the target. An empty result means success.
QString storeBytes(const QByteArray &bytes, QSaveFile &file)
{
    errno = 0;
    if (!file.open(QIODevice::WriteOnly))
        return failureText(file, errno);
    errno = 0;
    if (file.write(bytes) != bytes.size() || !file.flush())
        return failureText(file, errno);
    // A full disk may only show at the sync (delayed allocation, network file systems).
    if (::fsync(file.handle()) != 0)
        return systemErrorText(errno);
    errno = 0;
    if (!file.commit())
        return failureText(file, errno);
    return {};
}

} // namespace

bool writeImage(
    const QImage &image, QSaveFile &file, QString *errorText, const ImageWriteOptions &options)
{
    // QImageWriter guesses the format from the suffix of a QFile only, and QSaveFile is none.
    const QByteArray format = QFileInfo(file.fileName()).suffix().toLower().toLatin1();
    // The whole file is encoded in memory before the target is touched. Encoders that write
    // straight into a file cannot be trusted with a full disk: the TIFF encoder seeks back to
    // patch its header, a seek forgets that a buffered write failed, and it reports success over
    // a truncated file. Here one write, one flush and one sync are checked, whatever the format.
    QByteArray bytes;
    QString error;
    if (encodeImage(image, format, options, &bytes, &error))
        error = storeBytes(bytes, file);
    if (error.isEmpty())
        return true;
    file.cancelWriting();
    if (errorText)
        *errorText = error;
    return false;
}

bool writeImageFile(const QImage &image, const QString &fileName, QString *errorText,
    const ImageWriteOptions &options)
{
    if (options.replaceExisting) {
        QSaveFile file(fileName);
        return writeImage(image, file, errorText, options);
    }
    const QByteArray format = QFileInfo(fileName).suffix().toLower().toLatin1();
    QByteArray bytes;
    QString error;
    if (encodeImage(image, format, options, &bytes, &error))
        error = storeNewFile(bytes, fileName);
    if (errorText)
        *errorText = error;
    return error.isEmpty();
}

QStringList readableMimeTypes()
{
    QStringList types;
    const QList<QByteArray> supported = QImageReader::supportedMimeTypes();
    for (const QByteArray &type : supported)
        types.append(QString::fromLatin1(type));
    std::sort(types.begin(), types.end());
    return types;
}
