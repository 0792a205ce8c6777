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

// A w x h camera-like image: a clean scene (a ramp across, a little different in each channel)
// taken to linear light through the sRGB curve, given Poisson-Gaussian noise (variance
// 0.01 L + 0.0005, L on 0..1: about ISO 3200), taken back and rounded to 8 bits. Its noise is
// about twice as strong in the shadows as in the highlights.
inline QImage cameraImage(int w, int h, unsigned seed, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(w, h, format);
    std::mt19937 random(seed);
    std::normal_distribution<double> noise;
    const auto noisy = [&](double v) {
        const double c = v / 255.0;
        const double l = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        const double n = std::clamp(l + std::sqrt(0.01 * l + 0.0005) * noise(random), 0.0, 1.0);
        return int(std::lround(
            255.0 * (n <= 0.0031308 ? 12.92 * n : 1.055 * std::pow(n, 1.0 / 2.4) - 0.055)));
    };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double v = 10.0 + 235.0 * x / (w - 1);
            const int r = noisy(v);
            image.setPixel(x, y,
                format == QImage::Format_Grayscale8
                    ? qRgb(r, r, r)
                    : qRgb(r, noisy(0.9 * v + 12), noisy(0.8 * v + 30)));
        }
    }
    return image;
}

// "" when the images are equal, else how they differ: their sizes or formats, or the first pixel
// that differs ("(x, y): #aarrggbb, expected #aarrggbb"). With `perMille`, up to that many
// pixels in a thousand may differ (a count above it is reported with the first one).
inline QString imageDifference(const QImage &actual, const QImage &expected, int perMille = 0)
{
    if (actual == expected)
        return {};
    if (actual.size() != expected.size() || actual.format() != expected.format())
        return QString("%1x%2 format %3, expected %4x%5 format %6")
            .arg(actual.width())
            .arg(actual.height())
            .arg(actual.format())
            .arg(expected.width())
            .arg(expected.height())
            .arg(expected.format());
    QString first;
    qint64 differing = 0;
    for (int y = 0; y < actual.height(); ++y) {
        for (int x = 0; x < actual.width(); ++x) {
            const QColor a = actual.pixelColor(x, y), e = expected.pixelColor(x, y);
            if (a.rgba64() == e.rgba64())
                continue;
            if (differing++ == 0)
                first = QString("(%1, %2): %3, expected %4")
                            .arg(x)
                            .arg(y)
                            .arg(a.name(QColor::HexArgb), e.name(QColor::HexArgb));
        }
    }
    if (differing * 1000 <= qint64(perMille) * actual.width() * actual.height())
        return {};
    return perMille ? QString("%1 pixels differ, first %2").arg(differing).arg(first) : first;
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
