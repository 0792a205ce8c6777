// Helpers shared by the QtTest binaries: test images and hand-made image files.
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QImageWriter>

// A w x h image whose left half is red and right half blue, opaque.
inline QImage halvesImage(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, x < w / 2 ? qRgb(255, 0, 0) : qRgb(0, 0, 255));
    return image;
}

// A w x h image whose every pixel differs from its neighbours, for exact round trips.
inline QImage patternImage(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb((x * 7 + y) & 255, (y * 5 + x * 3) & 255, (x * y) & 255));
    return image;
}

// A w x h image of seeded pseudo-random pixels: incompressible, so its files are large.
inline QImage noiseImage(int w, int h, quint32 seed = 1)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            image.setPixel(x, y, 0xff000000u | (seed >> 8));
        }
    }
    return image;
}

// The image encoded as JPEG with an Exif APP1 segment holding the given orientation tag
// (1 = as stored, 6 = turn 90 degrees clockwise to view).
inline QByteArray jpegWithOrientation(const QImage &image, quint16 orientation)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(95);
    writer.write(image);

    // Big-endian TIFF header, one IFD with one SHORT entry: tag 0x0112, count 1, value.
    const char tiff[] = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1};
    QByteArray exif = QByteArray("Exif\0\0", 6) + QByteArray(tiff, sizeof tiff);
    exif.append(char(orientation >> 8)).append(char(orientation & 0xff)).append(2, '\0');
    exif.append(4, '\0');
    QByteArray segment("\xff\xe1", 2);
    const int length = exif.size() + 2;
    segment.append(char(length >> 8)).append(char(length & 0xff)).append(exif);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

inline quint32 pngCrc(const QByteArray &bytes)
{
    quint32 crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline QByteArray pngChunk(const QByteArray &type, const QByteArray &data)
{
    auto be32 = [](quint32 v) {
        const char b[] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        return QByteArray(b, 4);
    };
    return be32(quint32(data.size())) + type + data + be32(pngCrc(type + data));
}

// A PNG that declares width x height RGBA pixels and carries `idatBytes` of zeros as its image
// data: a decompression bomb's header, with as much compressed data behind it as wanted.
inline QByteArray pngBombHeader(quint32 width, quint32 height, int idatBytes = 0)
{
    auto be32 = [](quint32 v) {
        const char b[] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        return QByteArray(b, 4);
    };
    QByteArray ihdr = be32(width) + be32(height);
    ihdr.append(char(8)).append(char(6)).append(3, '\0'); // 8 bits, RGBA, no interlace
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    png += pngChunk("IHDR", ihdr);
    if (idatBytes > 0)
        png += pngChunk("IDAT", QByteArray(idatBytes, '\0'));
    return png;
}

inline bool putFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
