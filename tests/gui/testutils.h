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
    for (int i = 0; i < w * h; ++i) {
        seed = seed * 1664525u + 1013904223u;
        image.setPixel(
            i % w, i / w, (seed >> 8) | (image.hasAlphaChannel() ? seed << 24 : 0xff000000u));
    }
    return image;
}

// One colour everywhere: what a correct denoise gives back unchanged.
inline QImage filledImage(int w, int h, QImage::Format format, const QColor &color)
{
    QImage image(w, h, format);
    image.fill(color);
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

// A w x h camera-like RGB image: a clean ramp across that rises fast in the shadows and levels
// off in the highlights (where the uniform estimate then reads), a little different in each
// channel, taken to linear light L (0..1) through the sRGB curve, given Poisson-Gaussian noise
// of variance 0.01 L + 0.0005 (about ISO 3200) and taken back to 8 bits: twice the noise in the
// shadows.
inline QImage cameraImage(int w, int h, unsigned seed)
{
    QImage image(w, h, QImage::Format_RGB32);
    std::mt19937 random(seed);
    std::normal_distribution<double> noise;
    const auto noisy = [&](double v) {
        const double l = v <= 10.31 ? v / 3294.6 : std::pow((v / 255 + 0.055) / 1.055, 2.4);
        const double n = std::clamp(l + std::sqrt(0.01 * l + 0.0005) * noise(random), 0.0, 1.0);
        return int(
            std::lround(n <= 0.0031308 ? 3294.6 * n : 269.025 * std::pow(n, 1 / 2.4) - 14.025));
    };
    for (int i = 0; i < w * h; ++i) {
        const double t = 1.0 - double(i % w) / (w - 1), v = 245.0 - 235.0 * t * t;
        image.setPixel(i % w, i / w, qRgb(noisy(v), noisy(0.9 * v + 12), noisy(0.8 * v + 30)));
    }
    return image;
}

// "" when the images are equal, else that their sizes or formats differ, or the first pixel that
// differs and the count of those that do; with `perMille`, that many in a thousand may differ.
inline QString imageDifference(const QImage &actual, const QImage &expected, int perMille = 0)
{
    if (actual.size() != expected.size() || actual.format() != expected.format())
        return "sizes or formats differ";
    QString first;
    qint64 count = 0;
    const int w = actual.width();
    for (int i = 0, n = actual == expected ? 0 : w * actual.height(); i < n; ++i) {
        const QColor a = actual.pixelColor(i % w, i / w), e = expected.pixelColor(i % w, i / w);
        if (a.rgba64() != e.rgba64() && count++ == 0)
            first = QString::asprintf("(%d, %d): %s, expected %s", i % w, i / w,
                qPrintable(a.name(QColor::HexArgb)), qPrintable(e.name(QColor::HexArgb)));
    }
    return count * 1000 <= qint64(perMille) * w * actual.height()
        ? QString()
        : QString("%1 differ, first %2").arg(count).arg(first);
}

// Compares two images, printing the first differing pixel when they differ.
#define COMPARE_IMAGES(actual, expected) QCOMPARE(imageDifference(actual, expected), QString())

inline bool putFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, format).write(image);
    return bytes;
}

inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
