// The image library: reading behind the memory guard, safe writing, denoising QImages.
#include "core/sample_tables.h"
#include "gui/testutils.h"
#include "image/image_denoise.h"
#include "image/image_io.h"
#include "support/recording_observer.h"
#include "support/test_images.h"

#include <QtGui>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

// A save file whose device gives up once `limit` bytes have gone through it, as a full disk
// does. Like a real file after a failed buffered write, it forgets the failure at the next seek
// and takes later writes again, so only a writer that checks every write notices.
struct FailingSaveFile : QSaveFile
{
    using QSaveFile::QSaveFile;
    qint64 writeData(const char *data, qint64 len) override
    {
        if (failing || written + len > limit) {
            failing = true;
            return -1;
        }
        written += len;
        return QSaveFile::writeData(data, len);
    }
    bool seek(qint64 pos) override
    {
        failing = false;
        return QSaveFile::seek(pos);
    }
    qint64 limit = 0;
    qint64 written = 0;
    bool failing = false;
};

static QStringList entries(const QTemporaryDir &dir)
{
    return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

static QImage toImage(const ColorPlane &plane)
{
    QImage image(plane.width(), plane.height(), QImage::Format_RGB32);
    for (int y = 0; y < plane.height(); ++y) {
        for (int x = 0; x < plane.width(); ++x)
            image.setPixel(x, y, qRgb(plane.row(y)[x].r, plane.row(y)[x].g, plane.row(y)[x].b));
    }
    return image;
}

class tst_Image : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    std::unique_ptr<NormalTable> table_ = std::make_unique<NormalTable>(20240611u);

    RunOptions seeded(RunObserver *observer = nullptr)
    {
        RunOptions options;
        options.table = table_.get();
        options.observer = observer;
        return options;
    }

private slots:
    void read_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("limit"); // 64 x 48 needs 24576 bytes with its display copy
        QTest::addColumn<QString>("error"); // "*": the reader's own text
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        noiseImage(64, 48).save(&buffer, "png");
        QTest::newRow("PNG named .jpg") << "png.jpg" << png << qint64(-1) << QString();
        QTest::newRow("exactly enough") << "a.png" << png << qint64(24576) << QString();
        QTest::newRow("one byte short")
            << "a.png" << png << qint64(24575) << "The image is too large for the available memory";
        QTest::newRow("missing") << "missing.png" << QByteArray() << qint64(-1) << "*";
        QTest::newRow("not an image") << "text.png" << QByteArray("words\n") << qint64(-1) << "*";
    }

    void read()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, limit);
        QFETCH(QString, error);
        const QString path = dir_.filePath(name);
        QVERIFY(bytes.isEmpty() || putFile(path, bytes));
        if (error == "*") {
            QImageReader reader(path);
            reader.read();
            error = reader.errorString();
            QVERIFY(!error.isEmpty());
        }
        const ImageReadResult read = readImageFile(path, limit);
        QCOMPARE(read.errorText, error);
        QCOMPARE(read.image.convertToFormat(QImage::Format_RGB32),
            error.isEmpty() ? noiseImage(64, 48) : QImage());
    }

    void bombIsRefusedWithoutDecoding()
    {
        // 100000 x 100000 RGBA would take 80 GB with its display copy; 1 MB of data follows.
        QByteArray png = pngBomb(100000, 100000, 1 << 20);
        QBuffer buffer(&png);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        const ImageReadResult read = readImage(&buffer, qint64(16) << 30);
        QVERIFY(read.image.isNull());
        QCOMPARE(read.errorText, tooLargeErrorText());
        // Only the header was parsed: the reader never went into the image data.
        QVERIFY2(buffer.pos() < 1024, qPrintable(QString::number(buffer.pos())));
    }

    void write_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("format"); // empty: refused, the old file left as it was
        QTest::newRow("upper-case BMP") << "OUT.BMP" << QByteArray("bmp");
        QTest::newRow("dots in the name") << "out.tar.ppm" << QByteArray("ppm");
        QTest::newRow("unknown suffix") << "old.xyz" << QByteArray();
    }

    void write()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, format);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        QVERIFY(putFile(path, "precious"));
        QString error;
        QCOMPARE(writeImageFile(noiseImage(21, 13), path, &error), !format.isEmpty());
        QCOMPARE(entries(dir), QStringList {name});
        if (format.isEmpty()) {
            QCOMPARE(error, "Unsupported image format");
            QCOMPARE(fileBytes(path), "precious");
        } else {
            QCOMPARE(QImageReader(path).format(), format);
            QCOMPARE(QImage(path).size(), QSize(21, 13));
        }
    }

    void halfWayFailureKeepsTheOldFile_data()
    {
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<bool>("atCommit");
        // Every format the writer offers and can encode here (EPS needs a program we lack).
        const QList<QByteArray> formats = QImageWriter::supportedImageFormats();
        for (const QByteArray &format : formats) {
            QBuffer probe;
            if (probe.open(QIODevice::WriteOnly) && noiseImage(2, 2).save(&probe, format))
                QTest::newRow(format + ", device fails half-way") << format << false;
        }
        // The last buffered bytes reach the disk only when the file is flushed.
        QTest::newRow("bmp, disk full at the last flush") << QByteArray("bmp") << true;
    }

    void halfWayFailureKeepsTheOldFile()
    {
        QFETCH(QByteArray, format);
        QFETCH(bool, atCommit);
        QTemporaryDir dir;
        const QString path = dir.filePath("photo." + format);
        QVERIFY(putFile(path, "the old photograph"));
        const QImage image = noiseImage(200, 200);
        QByteArray encoded;
        QBuffer buffer(&encoded);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && image.save(&buffer, format));
        QString error;
        bool written = true;
        if (atCommit) {
            // The kernel lets no file of this process grow to within 1 kB of the whole BMP.
            const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
            rlimit previous {};
            QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
            rlimit small = previous;
            small.rlim_cur = rlim_t(encoded.size() - 1000);
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
            written = writeImageFile(image, path, &error);
            setrlimit(RLIMIT_FSIZE, &previous);
            std::signal(SIGXFSZ, previousHandler);
            QCOMPARE(error, "File too large");
        } else {
            FailingSaveFile file(path);
            file.limit = encoded.size() / 2;
            written = writeImage(image, file, &error);
            QVERIFY(!error.isEmpty());
        }
        QVERIFY(!written);
        QCOMPARE(fileBytes(path), "the old photograph");
        QCOMPARE(entries(dir), QStringList {"photo." + format});
    }

    void colourAndAlphaAreKept_data()
    {
        QTest::addColumn<QImage::Format>("format");
        QTest::newRow("ARGB32") << QImage::Format_ARGB32;
        QTest::newRow("RGBA8888") << QImage::Format_RGBA8888;
        QTest::newRow("ARGB32_Premultiplied") << QImage::Format_ARGB32_Premultiplied;
        QTest::newRow("RGBA64") << QImage::Format_RGBA64;
        QTest::newRow("RGBA64_Premultiplied") << QImage::Format_RGBA64_Premultiplied;
        QTest::newRow("RGB16") << QImage::Format_RGB16;
        QTest::newRow("Grayscale8") << QImage::Format_Grayscale8;
        QTest::newRow("Grayscale16") << QImage::Format_Grayscale16;
        // Refused: the image stays exactly as it was, its pixels not even copied.
        QTest::newRow("Indexed8") << QImage::Format_Indexed8;
        QTest::newRow("BGR888") << QImage::Format_BGR888;
    }

    void colourAndAlphaAreKept()
    {
        QFETCH(QImage::Format, format);
        if (denoisePathOf(format) == DenoisePath::Unsupported) {
            QImage image = noiseImage(40, 30).convertToFormat(format);
            const QImage before = image.copy();
            const uchar *bits = image.constBits();
            QCOMPARE(denoiseQImage(image, 30, seeded()), ImageDenoiseStatus::UnsupportedColorModel);
            QCOMPARE(image.constBits(), bits);
            QCOMPARE(image, before);
            return;
        }
        // One colour that 8 bits cannot hold (0x1234 would come back as 0x1212), under an alpha
        // that changes at every pixel; `opaque` is the colour as the format keeps it.
        const QColor colour(QRgba64::fromRgba64(0x1234, 0xabcd, 0x0101, 0xffff));
        QImage image(30, 26, format);
        QImage opaque(1, 1, format);
        opaque.setPixelColor(0, 0, colour);
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                QColor c = colour;
                c.setAlpha(20 + (x * 7 + y * 13) % 236);
                image.setPixelColor(x, y, c);
            }
        }
        if (format == QImage::Format_Grayscale16) {
            image.fill(0x1234u); // setPixelColor() would cut it to 8 bits
            opaque.fill(0x1234u);
        }
        const QImage before = image.copy();
        QCOMPARE(denoiseQImage(image, 20, seeded()), ImageDenoiseStatus::Done);
        QCOMPARE(image.format(), format);
        const QRgba64 kept = opaque.pixelColor(0, 0).rgba64();
        const bool premultiplied
            = opaque.pixelFormat().premultiplied() == QPixelFormat::Premultiplied;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgba64 now = image.pixelColor(x, y).rgba64();
                const int alpha = before.pixelColor(x, y).alpha();
                // Straight formats keep the colour exactly; premultiplied ones may move by the
                // rounding of one premultiplied level, never by a darkening.
                const int d = premultiplied ? (255 / alpha + 1) * 257 : 0;
                QVERIFY2(now.alpha() == before.pixelColor(x, y).rgba64().alpha()
                        && std::abs(now.red() - kept.red()) <= d
                        && std::abs(now.green() - kept.green()) <= d
                        && std::abs(now.blue() - kept.blue()) <= d,
                    qPrintable(QString("(%1, %2): %3 at alpha %4")
                                   .arg(x)
                                   .arg(y)
                                   .arg(quint64(now), 16, 16, QChar('0'))
                                   .arg(alpha)));
            }
        }
    }

    void noisyImageIsDenoisedIntoANewImage_data()
    {
        QTest::addColumn<QImage::Format>("format");
        QTest::addColumn<double>("gain"); // dB, as measured; 1 dB either way is a change
        QTest::newRow("RGB32") << QImage::Format_RGB32 << 12.5;
        QTest::newRow("Grayscale8") << QImage::Format_Grayscale8 << 6.3;
    }

    void noisyImageIsDenoisedIntoANewImage()
    {
        QFETCH(QImage::Format, format);
        QFETCH(double, gain);
        const ColorPlane clean = sceneColor(64, 48);
        const QImage reference = toImage(clean).convertToFormat(format);
        QImage image = toImage(addNoise(clean, 20.0f, 7)).convertToFormat(format);
        image.setDotsPerMeterX(3937);
        image.setText("Description", "cups");
        image.setColorSpace(QColorSpace::DisplayP3);
        const QImage undo = image; // shares the pixels, as the window's Undo image does
        const QImage before = image.copy();
        const auto psnr = [&reference](const QImage &image) {
            return ::psnr(colorPlaneOf(reference.convertToFormat(QImage::Format_RGB32)),
                colorPlaneOf(image.convertToFormat(QImage::Format_RGB32)));
        };

        QCOMPARE(denoiseQImage(image, 20, seeded()), ImageDenoiseStatus::Done);
        QCOMPARE(undo, before);
        QCOMPARE(image.format(), format);
        QCOMPARE(image.dotsPerMeterX(), 3937);
        QCOMPARE(image.text("Description"), "cups");
        QCOMPARE(image.colorSpace(), QColorSpace(QColorSpace::DisplayP3));
        QVERIFY2(std::abs(psnr(image) - psnr(before) - gain) < 1.0,
            qPrintable(QString("%1 dB noisy, %2 dB denoised").arg(psnr(before)).arg(psnr(image))));
    }

    void writeBackRounding_data()
    {
        QTest::addColumn<QImage::Format>("format");
        QTest::newRow("Grayscale8") << QImage::Format_Grayscale8;
        QTest::newRow("Grayscale16") << QImage::Format_Grayscale16;
        QTest::newRow("ARGB32") << QImage::Format_ARGB32;
        QTest::newRow("RGBA8888") << QImage::Format_RGBA8888;
        QTest::newRow("RGBA64") << QImage::Format_RGBA64;
    }

    void writeBackRounding()
    {
        QFETCH(QImage::Format, format);
        // Clamped, then rounded half away from zero to whole levels; 16-bit formats keep the
        // fractions: 18.5 * 257 = 4754.5, 127.49 * 257 = 32764.93, 0.4 * 257 = 102.8.
        const float values[] = {254.5f, -3.0f, 300.0f, 18.5f, 127.49f, 0.4f};
        const int levels[] = {255, 0, 255, 19, 127, 0};
        const int sixteen[] = {65407, 0, 65535, 4755, 32765, 103};
        const bool fine = format == QImage::Format_Grayscale16 || format == QImage::Format_RGBA64;
        GrayPlane gray(6, 1);
        ColorPlane color(6, 1);
        for (int x = 0; x < 6; ++x) {
            gray.row(0)[x] = values[x];
            color.row(0)[x] = Vec3(values[x], values[x], values[x]);
        }
        QImage source(6, 1, format);
        source.fill(QColor(QRgba64::fromRgba64(0, 0, 0, 0x1234)));
        QImage out = blankCopyOf(source);
        if (denoisePathOf(format) == DenoisePath::Gray)
            writeGray(gray, source, out);
        else
            writeColor(color, source, out);
        for (int x = 0; x < 6; ++x) {
            const QRgba64 now = out.pixelColor(x, 0).rgba64();
            QCOMPARE(int(now.red()), fine ? sixteen[x] : levels[x] * 257);
            QCOMPARE(now.alpha(), source.pixelColor(x, 0).rgba64().alpha());
        }
    }

    void memoryEstimateDecidesBeforeTheRun()
    {
        QImage image = toImage(addNoise(sceneColor(40, 30), 20.0f, 9));
        const QImage before = image.copy();
        RecordingObserver observer;
        RunOptions options = seeded(&observer);
        const std::int64_t needed = imageDenoiseBytes(image, false, runThreads(options));
        // The working set, the source plane and the result image at the least; a table the
        // run builds itself on top.
        QVERIFY(needed
            >= runWorkingSetBytes(40, 30, true, false, 1) + 40 * 30 * 12 + image.sizeInBytes());
        QCOMPARE(imageDenoiseBytes(image, true, runThreads(options)) - needed,
            std::int64_t(kNormalTableSize) * 4);

        options.memoryLimit = needed - 1;
        QCOMPARE(denoiseQImage(image, 30, options), ImageDenoiseStatus::OutOfMemory);
        QVERIFY(observer.reports.empty());
        QCOMPARE(image, before);
        options.memoryLimit = needed;
        QCOMPARE(denoiseQImage(image, 30, options), ImageDenoiseStatus::Done);
        QVERIFY(image != before);
    }
};

QTEST_GUILESS_MAIN(tst_Image)
#include "tst_image.moc"
