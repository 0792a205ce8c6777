// Reading through QImageReader behind the memory guard, writing through QSaveFile.
#include "image/image_io.h"

#include "core/system_memory.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>

#include <algorithm>

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
    QImageReader reader(fileName);
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

bool writeImage(const QImage &image, QSaveFile &file, QString *errorText)
{
    // QImageWriter guesses the format from the suffix of a QFile only, and QSaveFile is none.
    const QByteArray format = QFileInfo(file.fileName()).suffix().toLower().toLatin1();
    QImageWriter writer(&file, format);
    QString error;
    // canWrite() opens the save file (a temporary beside the target) and finds the encoder;
    // on failure the target has not been touched.
    if (!writer.canWrite() || !writer.write(image))
        error = writer.errorString();
    // commit() renames even when its own final flush fails, so flush and check first: a full
    // disk must not put a truncated file in place of the old one.
    else if (!file.flush() || !file.commit())
        error = file.errorString();
    if (error.isEmpty())
        return true;
    file.cancelWriting();
    if (errorText)
        *errorText = error;
    return false;
}

bool writeImageFile(const QImage &image, const QString &fileName, QString *errorText)
{
    QSaveFile file(fileName);
    return writeImage(image, file, errorText);
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
