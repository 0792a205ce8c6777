// Denoising QImages: colour models, alpha, 16-bit precision, write-back rounding, failure paths.
#include "core/sample_tables.h"
#include "image/image_denoise.h"
#include "support/recording_observer.h"
#include "support/test_images.h"

#include <QColorSpace>
#include <QtTest>

#include <algorithm>
#include <iterator>
#include <memory>

Q_DECLARE_METATYPE(DenoisePath)

// The same pixels, format and size; the first difference in the failure message.
static bool samePixels(const QImage &a, const QImage &b, QString *difference)
{
    if (a.format() != b.format() || a.size() != b.size()) {
        *difference = QStringLiteral("format or size differ");
        return false;
    }
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgba64 p = a.pixelColor(x, y).rgba64();
            const QRgba64 q = b.pixelColor(x, y).rgba64();
            if (p != q) {
                *difference = QStringLiteral("(%1, %2): %3 against %4")
                                  .arg(x)
                                  .arg(y)
                                  .arg(quint64(p), 16, 16, QLatin1Char('0'))
                                  .arg(quint64(q), 16, 16, QLatin1Char('0'));
                return false;
            }
        }
    }
    return true;
}

#define COMPARE_PIXELS(a, b)                                                                       \
    do {                                                                                           \
        QString difference;                                                                        \
        QVERIFY2(samePixels(a, b, &difference), qPrintable(difference));                           \
    } while (false)

static QImage filled(int w, int h, QImage::Format format, const QColor &color)
{
    QImage image(w, h, format);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixelColor(x, y, color);
    return image;
}

static QImage toImage(const ColorPlane &plane)
{
    QImage image(plane.width(), plane.height(), QImage::Format_RGB32);
    for (int y = 0; y < plane.height(); ++y)
        for (int x = 0; x < plane.width(); ++x) {
            const Vec3 v = plane.row(y)[x];
            image.setPixel(x, y, qRgb(int(v.r), int(v.g), int(v.b)));
        }
    return image;
}

static double imagePsnr(const QImage &a, const QImage &b)
{
    return psnr(colorPlaneOf(a), colorPlaneOf(b));
}

class tst_ImageDenoise : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void colorModels_data();
    void colorModels();
    void refusedImageIsUntouched_data();
    void refusedImageIsUntouched();
    void constantImageComesBackUnchanged_data();
    void constantImageComesBackUnchanged();
    void alphaIsKeptAndColourNotDarkened_data();
    void alphaIsKeptAndColourNotDarkened();
    void noisyImageIsDenoisedIntoANewImage();
    void grayStaysGray();
    void writeBackRounding();
    void cancelledRunLeavesTheImage();
    void memoryEstimateDecidesBeforeTheRun();

private:
    RunOptions seeded() const
    {
        RunOptions options;
        options.table = table.get();
        return options;
    }

    std::unique_ptr<NormalTable> table;
};

void tst_ImageDenoise::initTestCase()
{
    table = std::make_unique<NormalTable>(20240611u);
}

void tst_ImageDenoise::colorModels_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::addColumn<DenoisePath>("path");
    QTest::newRow("RGB32") << QImage::Format_RGB32 << DenoisePath::Color;
    QTest::newRow("ARGB32_Premultiplied")
        << QImage::Format_ARGB32_Premultiplied << DenoisePath::Color;
    QTest::newRow("RGB16") << QImage::Format_RGB16 << DenoisePath::Color;
    QTest::newRow("RGB888") << QImage::Format_RGB888 << DenoisePath::Color;
    QTest::newRow("RGB30") << QImage::Format_RGB30 << DenoisePath::Color;
    QTest::newRow("RGBA64") << QImage::Format_RGBA64 << DenoisePath::Color;
    QTest::newRow("Grayscale8") << QImage::Format_Grayscale8 << DenoisePath::Gray;
    QTest::newRow("Grayscale16") << QImage::Format_Grayscale16 << DenoisePath::Gray;
    QTest::newRow("Mono") << QImage::Format_Mono << DenoisePath::Unsupported;
    QTest::newRow("MonoLSB") << QImage::Format_MonoLSB << DenoisePath::Unsupported;
    QTest::newRow("Indexed8") << QImage::Format_Indexed8 << DenoisePath::Unsupported;
    QTest::newRow("Alpha8") << QImage::Format_Alpha8 << DenoisePath::Unsupported;
    QTest::newRow("BGR888") << QImage::Format_BGR888 << DenoisePath::Unsupported;
    QTest::newRow("BGR30") << QImage::Format_BGR30 << DenoisePath::Unsupported;
    QTest::newRow("A2BGR30_Premultiplied")
        << QImage::Format_A2BGR30_Premultiplied << DenoisePath::Unsupported;
    QTest::newRow("Invalid") << QImage::Format_Invalid << DenoisePath::Unsupported;
}

void tst_ImageDenoise::colorModels()
{
    QFETCH(QImage::Format, format);
    QFETCH(DenoisePath, path);
    QCOMPARE(denoisePathOf(format), path);
}

void tst_ImageDenoise::refusedImageIsUntouched_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::newRow("Indexed8") << QImage::Format_Indexed8;
    QTest::newRow("Mono") << QImage::Format_Mono;
    QTest::newRow("Alpha8") << QImage::Format_Alpha8;
    QTest::newRow("BGR888") << QImage::Format_BGR888;
}

void tst_ImageDenoise::refusedImageIsUntouched()
{
    QFETCH(QImage::Format, format);
    QImage image = QImage(40, 30, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgba(x * 6, y * 8, 90, 100 + x));
    image = image.convertToFormat(format);
    QVERIFY(!image.isNull());
    const QImage before = image.copy();
    const uchar *bits = image.constBits();

    QCOMPARE(denoiseQImage(image, 30, seeded()), ImageDenoiseStatus::UnsupportedColorModel);
    QCOMPARE(image.constBits(), bits);
    QCOMPARE(image, before);
}

void tst_ImageDenoise::constantImageComesBackUnchanged_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::addColumn<QColor>("color");
    // Premultiplied formats: a reader through pixel() and a writer through setPixelColor would
    // premultiply twice and halve these values.
    QTest::newRow("ARGB32_Premultiplied, half transparent")
        << QImage::Format_ARGB32_Premultiplied << QColor(200, 120, 40, 128);
    QTest::newRow("RGBA8888_Premultiplied, faint")
        << QImage::Format_RGBA8888_Premultiplied << QColor(37, 250, 91, 17);
    QTest::newRow("ARGB4444_Premultiplied")
        << QImage::Format_ARGB4444_Premultiplied << QColor(170, 85, 255, 136);
    QTest::newRow("ARGB32, half transparent") << QImage::Format_ARGB32 << QColor(200, 120, 40, 128);
    QTest::newRow("RGB16") << QImage::Format_RGB16 << QColor(200, 120, 40);
    // 16-bit values that 8 bits cannot hold: 0x1234 would come back as 0x1212.
    QTest::newRow("RGBA64") << QImage::Format_RGBA64
                            << QColor(QRgba64::fromRgba64(0x1234, 0xabcd, 0x0101, 0x8001));
    QTest::newRow("RGBA64_Premultiplied")
        << QImage::Format_RGBA64_Premultiplied
        << QColor(QRgba64::fromRgba64(0x1234, 0xabcd, 0x0101, 0x8001));
    QTest::newRow("RGB30") << QImage::Format_RGB30
                           << QColor(QRgba64::fromRgba64(0x1234, 0xabcd, 0x0101, 0xffff));
    QTest::newRow("Grayscale8") << QImage::Format_Grayscale8 << QColor(77, 77, 77);
    QTest::newRow("Grayscale16") << QImage::Format_Grayscale16
                                 << QColor(QRgba64::fromRgba64(0x1234, 0x1234, 0x1234, 0xffff));
}

void tst_ImageDenoise::constantImageComesBackUnchanged()
{
    QFETCH(QImage::Format, format);
    QFETCH(QColor, color);
    QImage image = filled(24, 20, format, color);
    if (format == QImage::Format_Grayscale16) {
        // setPixelColor cuts Grayscale16 to 8 bits; write the 16-bit value itself.
        for (int y = 0; y < image.height(); ++y)
            std::fill_n(reinterpret_cast<quint16 *>(image.scanLine(y)), image.width(), 0x1234);
    }
    const QImage before = image.copy();

    QCOMPARE(denoiseQImage(image, 25, seeded()), ImageDenoiseStatus::Done);
    COMPARE_PIXELS(image, before);
}

void tst_ImageDenoise::alphaIsKeptAndColourNotDarkened_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::newRow("ARGB32") << QImage::Format_ARGB32;
    QTest::newRow("RGBA8888") << QImage::Format_RGBA8888;
    QTest::newRow("ARGB32_Premultiplied") << QImage::Format_ARGB32_Premultiplied;
    QTest::newRow("RGBA64_Premultiplied") << QImage::Format_RGBA64_Premultiplied;
}

void tst_ImageDenoise::alphaIsKeptAndColourNotDarkened()
{
    QFETCH(QImage::Format, format);
    // One colour under an alpha that changes at every pixel.
    QImage image(30, 26, format);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixelColor(x, y, QColor(200, 120, 40, 20 + (x * 7 + y * 13) % 236));
    const QImage before = image.copy();

    QCOMPARE(denoiseQImage(image, 20, seeded()), ImageDenoiseStatus::Done);
    QCOMPARE(image.format(), format);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor was = before.pixelColor(x, y);
            const QColor now = image.pixelColor(x, y);
            QCOMPARE(now.alpha(), was.alpha());
            // Straight formats keep the colour exactly; premultiplied ones may move by the
            // rounding of one premultiplied level, never by a darkening.
            const int slack = format == QImage::Format_ARGB32 || format == QImage::Format_RGBA8888
                ? 0
                : 255 / was.alpha() + 1;
            const auto close = [slack](int a, int b) { return std::abs(a - b) <= slack; };
            QVERIFY2(close(now.red(), 200) && close(now.green(), 120) && close(now.blue(), 40),
                qPrintable(QStringLiteral("(%1, %2): %3 at alpha %4")
                               .arg(x)
                               .arg(y)
                               .arg(now.name())
                               .arg(was.alpha())));
        }
    }
}

void tst_ImageDenoise::noisyImageIsDenoisedIntoANewImage()
{
    const ColorPlane clean = sceneColor(64, 48);
    QImage image = toImage(addNoise(clean, 20.0f, 7));
    image.setDotsPerMeterX(3937);
    image.setDotsPerMeterY(2000);
    image.setText(QStringLiteral("Description"), QStringLiteral("cups"));
    image.setColorSpace(QColorSpace::DisplayP3);
    const QImage undo = image;
    const QImage before = image.copy();
    const double noisyPsnr = imagePsnr(toImage(clean), image);

    QCOMPARE(denoiseQImage(image, 20, seeded()), ImageDenoiseStatus::Done);
    // The copy that shared the pixels (the window's Undo image) still holds the input.
    QCOMPARE(undo, before);
    QCOMPARE(image.format(), QImage::Format_RGB32);
    QCOMPARE(image.dotsPerMeterX(), 3937);
    QCOMPARE(image.dotsPerMeterY(), 2000);
    QCOMPARE(image.text(QStringLiteral("Description")), QStringLiteral("cups"));
    QCOMPARE(image.colorSpace(), QColorSpace(QColorSpace::DisplayP3));
    const double denoisedPsnr = imagePsnr(toImage(clean), image);
    QVERIFY2(denoisedPsnr > noisyPsnr + 8.0,
        qPrintable(QStringLiteral("%1 dB noisy, %2 dB denoised").arg(noisyPsnr).arg(denoisedPsnr)));
}

void tst_ImageDenoise::grayStaysGray()
{
    const ColorPlane clean = sceneColor(50, 40);
    const QImage noisy
        = toImage(addNoise(clean, 20.0f, 3)).convertToFormat(QImage::Format_Grayscale8);
    QImage image = noisy;

    QCOMPARE(denoiseQImage(image, 20, seeded()), ImageDenoiseStatus::Done);
    QCOMPARE(image.format(), QImage::Format_Grayscale8);
    QVERIFY(image != noisy);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            QVERIFY(qRed(p) == qGreen(p) && qGreen(p) == qBlue(p) && qAlpha(p) == 255);
        }
    }
}

void tst_ImageDenoise::writeBackRounding()
{
    const float values[] = {254.5f, -3.0f, 300.0f, 18.5f, 127.49f, 0.4f};
    const int levels[] = {255, 0, 255, 19, 127, 0};
    // 16-bit formats keep fractions: 18.5 * 257 = 4754.5, 127.49 * 257 = 32764.93.
    const int sixteen[] = {65407, 0, 65535, 4755, 32765, 103};
    const int n = int(std::size(values));

    GrayPlane gray(n, 1);
    ColorPlane color(n, 1);
    for (int x = 0; x < n; ++x) {
        gray.row(0)[x] = values[x];
        color.row(0)[x] = Vec3(values[x], 255.0f - values[x], values[x]);
    }

    const QImage gray8(n, 1, QImage::Format_Grayscale8);
    QImage out = blankCopyOf(gray8);
    writeGray(gray, gray8, out);
    for (int x = 0; x < n; ++x)
        QCOMPARE(int(out.constScanLine(0)[x]), levels[x]);

    const QImage gray16(n, 1, QImage::Format_Grayscale16);
    out = blankCopyOf(gray16);
    writeGray(gray, gray16, out);
    for (int x = 0; x < n; ++x)
        QCOMPARE(int(reinterpret_cast<const quint16 *>(out.constScanLine(0))[x]), sixteen[x]);

    QImage argb(n, 1, QImage::Format_ARGB32);
    argb.fill(qRgba(0, 0, 0, 77));
    out = blankCopyOf(argb);
    writeColor(color, argb, out);
    for (int x = 0; x < n; ++x) {
        const int inverse = int(std::roundf(std::clamp(255.0f - values[x], 0.0f, 255.0f)));
        QCOMPARE(out.pixel(x, 0), qRgba(levels[x], inverse, levels[x], 77));
    }

    QImage rgba64(n, 1, QImage::Format_RGBA64);
    rgba64.fill(QColor(QRgba64::fromRgba64(0, 0, 0, 0x1234)));
    out = blankCopyOf(rgba64);
    writeColor(color, rgba64, out);
    for (int x = 0; x < n; ++x) {
        const QRgba64 p = out.pixelColor(x, 0).rgba64();
        QCOMPARE(int(p.red()), sixteen[x]);
        QCOMPARE(int(p.blue()), sixteen[x]);
        QCOMPARE(int(p.alpha()), 0x1234);
    }
}

void tst_ImageDenoise::cancelledRunLeavesTheImage()
{
    QImage image = toImage(addNoise(sceneColor(40, 200), 20.0f, 5));
    const QImage before = image.copy();
    const uchar *bits = image.constBits();
    RecordingObserver observer;
    observer.cancelAtReport = 3;
    RunOptions options = seeded();
    options.observer = &observer;

    QCOMPARE(denoiseQImage(image, 30, options), ImageDenoiseStatus::Cancelled);
    QCOMPARE(image.constBits(), bits);
    QCOMPARE(image, before);
    QCOMPARE(observer.reports, (std::vector<int> {0, 10, 20}));
}

void tst_ImageDenoise::memoryEstimateDecidesBeforeTheRun()
{
    QImage image = toImage(addNoise(sceneColor(40, 30), 20.0f, 9));
    const QImage before = image.copy();
    const std::int64_t needed = imageDenoiseBytes(image, false);
    // The working set, the source plane and the result image, at the least.
    QVERIFY(needed >= runWorkingSetBytes(40, 30, true, false) + 40 * 30 * 12 + image.sizeInBytes());

    RecordingObserver observer;
    RunOptions options = seeded();
    options.observer = &observer;
    options.memoryLimit = needed - 1;
    QCOMPARE(denoiseQImage(image, 30, options), ImageDenoiseStatus::OutOfMemory);
    QCOMPARE(image, before);
    QVERIFY(observer.reports.empty());

    options.memoryLimit = needed + 1000;
    options.callerBytes = 1001;
    QCOMPARE(denoiseQImage(image, 30, options), ImageDenoiseStatus::OutOfMemory);
    QCOMPARE(image, before);

    options.callerBytes = 1000;
    QCOMPARE(denoiseQImage(image, 30, options), ImageDenoiseStatus::Done);
    QVERIFY(image != before);
    QCOMPARE(observer.reports.back(), 100);

    // A table the run builds itself is counted too.
    QCOMPARE(imageDenoiseBytes(image, true) - needed, std::int64_t(kNormalTableSize) * 4);
    QCOMPARE(imageDenoiseBytes(QImage(8, 8, QImage::Format_Indexed8), false), std::int64_t(-1));
}

QTEST_GUILESS_MAIN(tst_ImageDenoise)
#include "tst_image_denoise.moc"
