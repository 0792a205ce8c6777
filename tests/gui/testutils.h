// Helpers shared by the QtTest binaries: seeded test images and hand-made image files.
#pragma once

#include <QtGui>

#include <algorithm>
#include <cmath>
#include <random>

// A w x h image of seeded pseudo-random pixels, opaque unless the format has alpha: a round trip
// that moves or mixes pixels shows, and a denoise always changes it.
inline QImage noiseImage(
    int w, int h, quint32 seed = 1, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(w, h, format);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            image.setPixel(
                x, y, (seed >> 8) | (image.hasAlphaChannel() ? seed << 24 : 0xff000000u));
        }
    }
    return image;
}

// A gray ramp (64 + x / 3) with seeded Gaussian noise of the given deviation, clipped to 8 bits:
// an image whose noise level is known.
inline QImage noisyRamp(int w, int h, double deviation, unsigned seed)
{
    QImage image(w, h, QImage::Format_Grayscale8);
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, deviation);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.scanLine(y)[x]
                = uchar(std::clamp(std::lround(64 + x / 3 + noise(random)), 0L, 255L));
    return image;
}

inline QByteArray bigEndian(quint32 v, int bytes = 4)
{
    QByteArray out;
    for (int k = bytes - 1; k >= 0; --k)
        out.append(char(v >> (8 * k)));
    return out;
}

inline QByteArray pngChunk(const QByteArray &type, const QByteArray &data)
{
    quint32 crc = 0xffffffffu;
    for (const char c : type + data) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return bigEndian(quint32(data.size())) + type + data + bigEndian(~crc);
}

// A PNG header declaring width x height RGBA pixels, then `idatBytes` of zeros as image data:
// a decompression bomb, or without data a truncated file.
inline QByteArray pngBomb(quint32 width, quint32 height, int idatBytes)
{
    const QByteArray ihdr = bigEndian(width) + bigEndian(height) + QByteArray("\x08\x06\0\0\0", 5);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr)
        + pngChunk("IDAT", QByteArray(idatBytes, '\0'));
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
