// Hostile and unusual image files, opened in the window and denoised by pelta-denoise.
#include "gui/modal_driver.h"
#include "gui/testutils.h"
#include "image/image_io.h"
#include "viewer/pelta.h"

#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QScrollArea>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

static QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, format).write(image);
    return bytes;
}

// One colour everywhere, so that a correct denoise gives the image back unchanged.
static QImage filled(int w, int h, QImage::Format format, const QColor &color)
{
    QImage image(w, h, format);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixelColor(x, y, color);
    return image;
}

// The Qt 5 reader's texts for a file it cannot place and for one that breaks off.
static const char kUnknownFormat[] = "Unsupported image format";
static const char kBrokenData[] = "Unable to read image data";

class tst_OddFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void openAndDenoise_data();
    void openAndDenoise();
};

void tst_OddFiles::initTestCase()
{
    QGuiApplication::setApplicationDisplayName(QStringLiteral("pelta"));
}

void tst_OddFiles::openAndDenoise_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    // What the file holds; null when it cannot be opened, and then the reason the window gives.
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QString>("loadError");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");

    const QString png = QStringLiteral("out.png");
    const QImage opaque = filled(20, 12, QImage::Format_RGB32, QColor(30, 160, 90));
    QImage gray16(16, 9, QImage::Format_Grayscale16);
    for (int y = 0; y < gray16.height(); ++y) // 0x1234: a level that 8 bits cannot hold
        std::fill_n(reinterpret_cast<quint16 *>(gray16.scanLine(y)), gray16.width(), 0x1234);
    // One colour of 16-bit precision under an alpha that changes at every pixel.
    QImage rgba64(14, 10, QImage::Format_RGBA64);
    for (int y = 0; y < rgba64.height(); ++y)
        for (int x = 0; x < rgba64.width(); ++x)
            rgba64.setPixelColor(x, y,
                QColor(QRgba64::fromRgba64(0x1234, 0xabcd, 0x0101, quint16(0x8001 + x * 997 + y))));
    const QImage premultiplied
        = filled(18, 11, QImage::Format_ARGB32_Premultiplied, QColor(200, 120, 40, 128));
    const QImage indexed = noiseImage(15, 10).convertToFormat(QImage::Format_Indexed8);
    const QImage mono = noiseImage(13, 7).convertToFormat(QImage::Format_Mono);
    const QByteArray whole = encoded(noiseImage(40, 30), "png");
    // 1000000 x 1000000 RGBA, the start of its data a valid zlib stream of zeros.
    const QByteArray bomb = pngBomb(1000000, 1000000, 0).chopped(12) // without its empty IDAT
        + pngChunk("IDAT", qCompress(QByteArray(1 << 22, '\0')).mid(4)) + pngChunk("IEND", {});
    // Qt draws SVG text with fonts, which need a GUI application even when the text is unseen.
    const QByteArray svg = "<svg xmlns='http://www.w3.org/2000/svg' width='24' height='16'>"
                           "<rect width='24' height='16' fill='#3080c0'/>"
                           "<text x='2' y='12' fill='none'>odd</text></svg>";

    QTest::newRow("zero bytes") << "empty.png" << QByteArray() << QImage() << kUnknownFormat << 2
                                << QString();
    QTest::newRow("truncated PNG")
        << "cut.png" << whole.left(whole.size() / 2) << QImage() << kBrokenData << 2 << QString();
    QTest::newRow("decompression bomb")
        << "bomb.png" << bomb << QImage() << tooLargeErrorText() << 2 << QString();
    QTest::newRow("BMP named .jpg")
        << "photo.jpg" << encoded(opaque, "bmp") << opaque << QString() << 0 << png;
    QTest::newRow("1 x N") << "column.png" << encoded(opaque.copy(0, 0, 1, 12), "png")
                           << opaque.copy(0, 0, 1, 12) << QString() << 0 << png;
    QTest::newRow("N x 1") << "row.png" << encoded(opaque.copy(0, 0, 20, 1), "png")
                           << opaque.copy(0, 0, 20, 1) << QString() << 0 << png;
    QTest::newRow("16-bit grayscale PNG")
        << "gray16.png" << encoded(gray16, "png") << gray16 << QString() << 0 << png;
    QTest::newRow("RGBA64 PNG") << "rgba64.png" << encoded(rgba64, "png") << rgba64 << QString()
                                << 0 << png;
    QTest::newRow("premultiplied semi-transparent TIFF")
        << "alpha.tif" << encoded(premultiplied, "tiff") << premultiplied << QString() << 0
        << QStringLiteral("out.tif");
    QTest::newRow("indexed PNG") << "indexed.png" << encoded(indexed, "png") << indexed << QString()
                                 << 3 << QString();
    QTest::newRow("mono PBM") << "mono.pbm" << encoded(mono, "pbm") << mono << QString() << 3
                              << QString();
    QTest::newRow("SVG with text")
        << "text.svg" << svg
        << filled(24, 16, QImage::Format_ARGB32_Premultiplied, QColor(0x30, 0x80, 0xc0))
        << QString() << 0 << QStringLiteral("out.tif");
}

void tst_OddFiles::openAndDenoise()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QImage, image);
    QFETCH(QString, loadError);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QTemporaryDir dir;
    const QString in = dir.filePath(name);
    const QString other = dir.filePath(QStringLiteral("other.png"));
    QVERIFY(putFile(in, bytes));
    QVERIFY(noiseImage(8, 8).save(other));
    const QByteArray otherBytes = fileBytes(other);

    // The window shows the image, or says why not and shows nothing.
    {
        Pelta window;
        ModalDriver driver;
        QString title;
        QString text;
        if (!loadError.isEmpty())
            driver.acceptBox(&title, &text);
        QCOMPARE(window.loadImageFile(in), loadError.isEmpty());
        QCOMPARE(driver.problems(), QString());
        if (!loadError.isEmpty()) {
            QCOMPARE(text, QStringLiteral("Cannot load %1: %2").arg(in, loadError));
        } else {
            QCOMPARE(readImageFile(in).image, image);
            QCOMPARE(window.statusBar()->currentMessage(),
                QStringLiteral("Opened \"%1\", %2x%3, Depth: %4")
                    .arg(in)
                    .arg(image.width())
                    .arg(image.height())
                    .arg(image.depth()));
            const auto *label = qobject_cast<QLabel *>(window.findChild<QScrollArea *>()->widget());
            QCOMPARE(
                label->pixmap(Qt::ReturnByValue).toImage(), QPixmap::fromImage(image).toImage());
        }
    }

    // pelta-denoise writes the image back unchanged (it is of one colour), in a format that
    // keeps its pixels as they are, or refuses with its message and writes nothing.
    const QString out = dir.filePath(output.isEmpty() ? QStringLiteral("out.png") : output);
    QProcess tool;
    tool.start(QStringLiteral(PELTA_DENOISE_EXECUTABLE),
        {QStringLiteral("--seed"), QStringLiteral("1"), QStringLiteral("-q"), in, out});
    QVERIFY2(tool.waitForFinished(60'000), "pelta-denoise hangs");
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), exitCode);
    QString message;
    if (!loadError.isEmpty())
        message = QStringLiteral("pelta-denoise: cannot read %1: %2\n").arg(in, loadError);
    else if (exitCode == 3)
        message = QStringLiteral(
            "pelta-denoise: cannot denoise %1: only RGB and grayscale images are supported\n")
                      .arg(in);
    // A decoder library may have spoken first: libpng writes to standard error itself.
    const QString error = QString::fromUtf8(tool.readAllStandardError());
    QVERIFY2(message.isEmpty() ? error.isEmpty() : error.endsWith(message), qPrintable(error));
    if (exitCode == 0) {
        const QImage result(out);
        QCOMPARE(result.format(), image.format());
        QCOMPARE(result, image);
    }

    // Nothing else was written or changed.
    QStringList expected {name, QStringLiteral("other.png")};
    if (exitCode == 0)
        expected.append(QFileInfo(out).fileName());
    expected.sort();
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
    QCOMPARE(fileBytes(in), bytes);
    QCOMPARE(fileBytes(other), otherBytes);
}

QTEST_MAIN(tst_OddFiles)
#include "tst_odd_files.moc"
