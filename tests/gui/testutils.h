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
// an image whose noise level is known. With a `brightDeviation` the deviation goes linearly from
// `deviation` at level 64 to that at level 224, as a camera's noise after its tone curve does.
inline QImage noisyRamp(int w, int h, double deviation, unsigned seed, double brightDeviation = -1)
{
    QImage image(w, h, QImage::Format_Grayscale8);
    std::mt19937 random(seed);
    std::normal_distribution<double> noise;
    const double slope = brightDeviation < 0 ? 0.0 : (brightDeviation - deviation) / 160.0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.scanLine(y)[x] = uchar(std::clamp(
                std::lround(64 + x / 3 + (deviation + slope * (x / 3)) * noise(random)), 0L, 255L));
    return image;
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
