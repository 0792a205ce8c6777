// Reading through QImageReader behind the memory guard, writing through QSaveFile.
#include "image/image_io.h"

#include "core/system_memory.h"
#include "image/file_safety.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>

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

ImageReadResult readImage(QImageReader &reader, std::int64_t memoryLimitBytes)
{
    ImageReadResult result;
    reader.setAutoTransform(true);
    // size() only parses the header; formats that cannot tell yet answer with an invalid size.
    if (exceedsMemory(reader.size(), memoryLimitBytes)) {
        result.errorText = tooLargeErrorText();
        return result;
    }
    result.image = reader.read();
    if (result.image.isNull())
        result.errorText = reader.errorString();
    return result;
}

ImageReadResult readImageFile(const QString &fileName, std::int64_t memoryLimitBytes)
{
    const OpenedFile opened = openRegularFile(fileName);
    if (!opened.file)
        return {QImage(), opened.errorText};
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
        return QString::fromLocal8Bit(std::strerror(systemError));
    return text;
}

// Encodes the image into memory in the given format; the reason in *errorText on failure.
bool encodeImage(
    const QImage &image, const QByteArray &format, QByteArray *bytes, QString *errorText)
{
    try {
        QBuffer buffer(bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format);
        if (writer.write(image))
            return true;
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
        return QString::fromLocal8Bit(std::strerror(errno));
    errno = 0;
    if (!file.commit())
        return failureText(file, errno);
    return {};
}

} // namespace

bool writeImage(const QImage &image, QSaveFile &file, QString *errorText)
{
    // QImageWriter guesses the format from the suffix of a QFile only, and QSaveFile is none.
    const QByteArray format = QFileInfo(file.fileName()).suffix().toLower().toLatin1();
    // The whole file is encoded in memory before the target is touched. Encoders that write
    // straight into a file cannot be trusted with a full disk: the TIFF encoder seeks back to
    // patch its header, a seek forgets that a buffered write failed, and it reports success over
    // a truncated file. Here one write, one flush and one sync are checked, whatever the format.
    QByteArray bytes;
    QString error;
    if (encodeImage(image, format, &bytes, &error))
        error = storeBytes(bytes, file);
    if (error.isEmpty())
        return true;
    file.cancelWriting();
    if (errorText)
        *errorText = error;
    return false;
}

bool writeImageFile(
    const QImage &image, const QString &fileName, QString *errorText, bool replaceExisting)
{
    if (replaceExisting) {
        QSaveFile file(fileName);
        return writeImage(image, file, errorText);
    }
    const QByteArray format = QFileInfo(fileName).suffix().toLower().toLatin1();
    QByteArray bytes;
    QString error;
    if (encodeImage(image, format, &bytes, &error))
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
