// The image library: reading behind the memory guard, safe writing with what a photograph
// carries, denoising QImages.
#include "core/noise_estimate.h"
#include "core/run_hooks.h"
#include "core/sample_tables.h"
#include "gui/photo_files.h"
#include "gui/testutils.h"
#include "image/file_safety.h"
#include "image/image_denoise.h"
#include "image/image_io.h"
#include "image/noise_model.h"
#include "support/recording_observer.h"

#include <QtGui>
#include <QtTest>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

// A save file failing past `room` bytes, as a full disk does; like a real file it forgets that at
// the next seek and takes later writes again. Only a writer checking every write notices.
struct FailingSaveFile : QSaveFile
{
    using QSaveFile::QSaveFile;
    qint64 writeData(const char *data, qint64 len) override
    {
        failing = failing || len > room;
        room -= failing ? 0 : len;
        return failing ? -1 : QSaveFile::writeData(data, len);
    }
    bool seek(qint64 pos) override
    {
        failing = false;
        return QSaveFile::seek(pos);
    }
    qint64 room = 1000;
    bool failing = false;
};

static const QString tooLarge = "The image is too large for the available memory";

// 48 x 32 in four quadrants of one colour each: what an upright photograph looks like.
static QImage quadrants()
{
    QImage image(48, 32, QImage::Format_RGB32);
    const QRgb colours[]
        = {qRgb(232, 34, 34), qRgb(9, 202, 11), qRgb(30, 40, 220), qRgb(240, 240, 240)};
    for (int i = 0; i < 48 * 32; ++i)
        image.setPixel(i % 48, i / 48, colours[(i % 48 >= 24) + 2 * (i / 48 >= 16)]);
    return image;
}

// Whether the image shows the quadrants upright, within a lossy encoder's error.
static bool isUpright(const QImage &image)
{
    const QImage reference = quadrants();
    if (image.size() != reference.size())
        return false;
    for (const QPoint p : {QPoint(12, 8), QPoint(36, 8), QPoint(12, 24), QPoint(36, 24)}) {
        const QRgb a = image.pixel(p), b = reference.pixel(p);
        if (qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b)) > 40)
            return false;
    }
    return true;
}

class tst_Image : public QObject
{
    Q_OBJECT

    const NormalTable table_ {20240611u};
    RunOptions seeded_;

private slots:
    void initTestCase() { seeded_.table = &table_; }

    // 30000 x 30000 pixels (7 GB to hold and show) over 1 MB of data, with 1 GB to spare: refused
    // before reading past the header, as a decompression bomb is whatever its format.
    void bombIsRefusedBeforeDecoding()
    {
        QByteArray ppm = QByteArray("P6\n30000 30000\n255\n") + QByteArray(1 << 20, '\0');
        QBuffer buffer(&ppm);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        QCOMPARE(readImage(&buffer, qint64(1) << 30).errorText, tooLarge);
        QVERIFY2(buffer.pos() < 1024, qPrintable(QString::number(buffer.pos())));
    }

    // The suffix names the format; the file reads back within exactly its pixels and display copy.
    // A write that fails half-way keeps the old file, and neither leaves a temporary beside it:
    // TIFF's encoder seeks back to patch its header, which hides a failed write from a file (a
    // real full disk, in every common format, is the full-disk CI stage's). PNG is written at its
    // encoder's own compression (a quality would undo it), TIFF compressed without loss.
    void writeAndReadBack()
    {
        QTemporaryDir dir;
        const QImage image = noiseImage(200, 200);
        const QString path = dir.filePath("OUT.BMP"), tiff = dir.filePath("half-way.tif");
        QVERIFY(putFile(path, "the old file") && putFile(tiff, "the old file"));
        QSaveFile file(path);
        QVERIFY(writeImage(image, file, nullptr));
        QCOMPARE(QImageReader(path).format(), "bmp");
        COMPARE_IMAGES(readImageFile(path, 320000).image.convertToFormat(image.format()), image);
        QCOMPARE(readImageFile(path, 319999).errorText, tooLarge);
        FailingSaveFile failing(tiff);
        QString error;
        QVERIFY(!writeImage(image, failing, &error) && !error.isEmpty());
        QCOMPARE(fileBytes(tiff), "the old file");
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
            QStringList({"half-way.tif", "OUT.BMP"}));
        const QImage flat = filledImage(200, 200, QImage::Format_RGB32, qRgb(20, 90, 160));
        for (const QString name : {"flat.png", "flat.tif"}) {
            QVERIFY(writeImageFile(flat, dir.filePath(name), nullptr));
            QVERIFY2(fileBytes(dir.filePath(name)).size() < 4000, qPrintable(name));
            COMPARE_IMAGES(QImage(dir.filePath(name)).convertToFormat(flat.format()), flat);
        }
    }

    // A photograph tagged by a camera, opened and saved in another format: turned upright once,
    // in its own colour profile; its EXIF (orientation 1, the new size, no thumbnail, none of a
    // TIFF's storage tags), IPTC (in XMP where the format has no IPTC) and one XMP packet (a
    // PNG's is also one of Qt's texts) kept where the format holds them.
    // Keeps: E EXIF, I IPTC, X XMP, C colour profile.
    void photographKeepsWhatItCarries_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<int>("orientation");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("keeps");
        const auto row = [](const char *input, int orientation, const char *output,
                             const char *keeps, const char *note = "") {
            QTest::addRow("%s %d to %s%s", input, orientation, output, note)
                << QString(input) << orientation << QString(output) << QString(keeps);
        };
        row("jpg", 3, "tif", "EIXC");
        row("jpg", 1, "webp", "EIXC");
        row("png", 6, "jpg", "EIXC");
        row("webp", 8, "jpg", "EXC");
        row("tif", 6, "png", "EIXC");
        row("jpg", 6, "bmp", "");
        row("tif", 1, "jpg", "IXC", ", 80 KB of EXIF");
    }

    void photographKeepsWhatItCarries()
    {
        QFETCH(QString, input);
        QFETCH(int, orientation);
        QFETCH(QString, output);
        QFETCH(QString, keeps);
        QTemporaryDir dir;
        const QString in = dir.filePath("in." + input), out = dir.filePath("out." + output);
        // Stored as the camera held it: turned back by the orientation.
        const int turn[] = {0, 0, 0, 180, 0, 0, -90, 0, 90};
        QImage stored = quadrants().transformed(QTransform().rotate(turn[orientation]));
        stored.setColorSpace(QColorSpace::AdobeRgb);
        const bool big = QByteArray(QTest::currentDataTag()).contains("80 KB");
        QVERIFY(stored.save(in, nullptr, 100) && tagAsCamera(in, orientation, big));

        const ImageReadResult read = readImageFile(in);
        QVERIFY(isUpright(read.image));
        QCOMPARE(read.image.colorSpace(), QColorSpace(QColorSpace::AdobeRgb));
        ImageWriteOptions options;
        options.metadata = read.metadata;
        QString error;
        QVERIFY2(writeImageFile(read.image, out, &error, options), qPrintable(error));

        const QImage written(out);
        QVERIFY(isUpright(written));
        QCOMPARE(written.colorSpace(),
            keeps.contains('C') ? QColorSpace(QColorSpace::AdobeRgb) : QColorSpace());
        const bool exif = keeps.contains('E');
        QCOMPARE(tagOf(out, "Exif.Image.Artist"), exif ? "A. Photographer" : "");
        QCOMPARE(tagOf(out, "Exif.GPSInfo.GPSLatitude"), exif ? "47/1 22/1 1234/100" : "");
        QCOMPARE(tagOf(out, "Exif.Image.Orientation"), exif ? "1" : "");
        QCOMPARE(tagOf(out, "Exif.Photo.PixelXDimension"), exif ? "48" : "");
        QCOMPARE(tagOf(out, "Exif.Thumbnail.JPEGInterchangeFormat"), QString());
        if (output != "tif")
            QCOMPARE(tagOf(out, "Exif.Image.StripOffsets"), QString());
        const QString keyword
            = tagOf(out, "Iptc.Application2.Keywords") + tagOf(out, "Xmp.dc.subject");
        QCOMPARE(keyword, keeps.contains('I') ? "harbour" : "");
        QCOMPARE(tagOf(out, "Xmp.dc.creator"), keeps.contains('X') ? "A. Photographer" : "");
        QCOMPARE(fileBytes(out).count("<x:xmpmeta"), keeps.contains('X') ? 1 : 0);
    }

    // Only a regular file is read; anything else is refused with its reason (the tool's tests
    // show the others), a FIFO without blocking: an alarm ends the test instead of a hang.
    void readsOnlyRegularFiles()
    {
        QTemporaryDir dir;
        QVERIFY(noiseImage(20, 10).save(dir.filePath("image.png")));
        QVERIFY(QFile::copy(dir.filePath("image.png"), dir.filePath("locked.png")));
        QVERIFY(QFile::setPermissions(dir.filePath("locked.png"), {}));
        QCOMPARE(::mkfifo(qPrintable(dir.filePath("fifo.png")), 0600), 0);
        ::alarm(20);
        QCOMPARE(readImageFile(dir.filePath("fifo.png")).errorText, "is not a regular file");
        ::alarm(0);
        if (::geteuid() != 0) // root reads any file
            QCOMPARE(readImageFile(dir.filePath("locked.png")).errorText, "permission denied");
    }

    // Without replacing, a name taken before the commit is never written over, also where the
    // file system has no RENAME_NOREPLACE (EINVAL, as FAT and exFAT answer); a new file gets the
    // mode a replacing save gives one. No temporary file stays either way.
    void neverReplacesUnasked_data()
    {
        QTest::addColumn<int>("renameError"); // injected, 0 for none
        QTest::newRow("RENAME_NOREPLACE") << 0;
        QTest::newRow("no RENAME_NOREPLACE") << EINVAL;
    }

    void neverReplacesUnasked()
    {
        QFETCH(int, renameError);
        QTemporaryDir dir;
        const QString taken = dir.filePath("taken.png"), fresh = dir.filePath("new.png");
        QVERIFY(putFile(taken, "someone else's"));
        QVERIFY(writeImageFile(noiseImage(4, 4), dir.filePath("saved.png"), nullptr));
        ImageWriteOptions noReplace;
        noReplace.replaceExisting = false;
        QString error;
        for (const QString &path : {fresh, taken}) {
            failNextNoReplaceRename(renameError);
            QCOMPARE(writeImageFile(noiseImage(30, 20), path, &error, noReplace), path == fresh);
        }
        QCOMPARE(error, "exists");
        QCOMPARE(fileBytes(taken), "someone else's");
        COMPARE_IMAGES(QImage(fresh).convertToFormat(QImage::Format_RGB32), noiseImage(30, 20));
        QCOMPARE(
            QFileInfo(fresh).permissions(), QFileInfo(dir.filePath("saved.png")).permissions());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
            QStringList({"new.png", "saved.png", "taken.png"}));
    }

    // A colour finer than 8 bits under a changing alpha comes back (premultiplied: within a level's
    // rounding), metadata too. The memory estimate decides before the run.
    void formats_data()
    {
        QTest::addColumn<QImage::Format>("format");
        QTest::newRow("ARGB32") << QImage::Format_ARGB32;
        QTest::newRow("ARGB32_Premultiplied") << QImage::Format_ARGB32_Premultiplied;
        QTest::newRow("RGBA64") << QImage::Format_RGBA64;
        QTest::newRow("Grayscale8") << QImage::Format_Grayscale8;
        QTest::newRow("Grayscale16") << QImage::Format_Grayscale16;
        QTest::newRow("Indexed8, refused") << QImage::Format_Indexed8;
    }

    void formats()
    {
        QFETCH(QImage::Format, format);
        QImage image = noiseImage(30, 26).convertToFormat(format);
        for (int i = 0; i < 30 * 26 && !image.colorCount(); ++i) // alpha from 20 to 255
            image.setPixelColor(i % 30, i / 30,
                QRgba64::fromRgba64(0x1234, 0xabcd, 0x0101, quint16(5140 + i * 7919 % 60395)));
        if (format == QImage::Format_Grayscale16)
            image.fill(0x1234u); // setPixelColor() would cut it to 8 bits
        image.setDotsPerMeterX(3937);
        image.setText("Description", "cups");
        image.setColorSpace(QColorSpace::DisplayP3);
        const QImage before = image.copy();
        const bool refused = denoisePathOf(format) == DenoisePath::Unsupported;
        // The plan ends as the denoise does: refused, level 0, a byte short, then done.
        DenoiseRequest request {20, seeded_};
        const std::int64_t bytes = planDenoise(image, request).bytes;
        for (const auto &[level, limit, status] : {std::tuple(0, bytes, RunStatus::InvalidLevel),
                 {20, bytes - 1, RunStatus::OutOfMemory}, {20, bytes, RunStatus::Done}}) {
            request.level = level;
            request.options.memoryLimit = limit;
            const RunStatus planned = planDenoise(image, request).status;
            QCOMPARE(planned, refused ? RunStatus::UnsupportedColorModel : status);
            QCOMPARE(denoiseQImage(image, request), planned);
            if (planned != RunStatus::Done)
                COMPARE_IMAGES(image, before);
        }
        QImage none; // 0 x 0: refused like any format without a path
        QCOMPARE(denoiseQImage(none, request), RunStatus::UnsupportedColorModel);
        if (refused)
            return;
        QCOMPARE(image.format(), format);
        QCOMPARE(image.dotsPerMeterX(), 3937);
        QCOMPARE(image.text("Description"), "cups");
        QCOMPARE(image.colorSpace(), QColorSpace(QColorSpace::DisplayP3));
        const bool premultiplied = image.pixelFormat().premultiplied();
        for (int i = 0; i < 30 * 26; ++i) {
            const QRgba64 now = image.pixelColor(i % 30, i / 30).rgba64();
            const QRgba64 was = before.pixelColor(i % 30, i / 30).rgba64();
            const int d = premultiplied ? (255 / was.alpha8() + 1) * 257 : 0;
            QVERIFY2(now.alpha() == was.alpha() && std::abs(now.red() - was.red()) <= d
                    && std::abs(now.green() - was.green()) <= d
                    && std::abs(now.blue() - was.blue()) <= d,
                qPrintable(QString::number(i)));
        }
        if (premultiplied)
            return;
        // Clamped, rounded half away from zero; 16-bit formats keep fractions (4754.5 = 18.5 *
        // 257).
        const float values[] = {254.5f, -3.0f, 300.0f, 18.5f, 127.49f, 0.4f};
        const int levels[] = {255, 0, 255, 19, 127, 0};
        const int sixteen[] = {65407, 0, 65535, 4755, 32765, 103};
        GrayPlane gray(30, 26);
        ColorPlane color(30, 26);
        std::copy(values, values + 6, gray.row(0));
        for (int x = 0; x < 6; ++x)
            color.row(0)[x] = Vec3(values[x], values[x], values[x]);
        QImage out = blankCopyOf(before);
        denoisePathOf(format) == DenoisePath::Gray ? writeGray(gray, before, out)
                                                   : writeColor(color, before, out);
        const bool fine = image.depth() == 16 || image.depth() == 64;
        for (int x = 0; x < 6; ++x)
            QCOMPARE(int(out.pixelColor(x, 0).rgba64().red()), fine ? sixteen[x] : levels[x] * 257);
    }

    // Reading the pixels and writing them back are stages of the denoise: reports come from 0
    // before the first worker row (reading, smoothing, directions) and after the last
    // (normalising, writing, 100). A cancel stops the reading at once (no stage after it reports),
    // and the writing before its end (no 100).
    void progressAndCancel()
    {
        const QImage before = noiseImage(30, 200);
        QImage image = before;
        RecordingObserver full;
        RunHooks hooks;
        std::size_t atFirstRow = 0, atLastRow = 0;
        hooks.atRow = [&](int, int y) { (y ? atLastRow : atFirstRow) = full.reports.size(); };
        RunOptions options = seeded_;
        options.threads = 1;
        options.observer = &full;
        options.hooks = &hooks;
        QCOMPARE(denoiseQImage(image, {20, options}), RunStatus::Done);
        const std::vector<int> &reports = full.reports;
        QVERIFY(reports.front() == 0 && atFirstRow >= 3 && reports.size() - atLastRow >= 3
            && reports.back() == 100);
        options.hooks = nullptr;
        for (const std::size_t at : {std::size_t(1), reports.size() - 1}) {
            RecordingObserver cancelling;
            cancelling.cancelAtReport = int(at);
            options.observer = &cancelling;
            image = before;
            QCOMPARE(denoiseQImage(image, {20, options}), RunStatus::Cancelled);
            COMPARE_IMAGES(image, before);
            QCOMPARE(cancelling.reports.size(), at);
        }
    }

    // The noise model: a camera-like ramp (noise from 20 at level 64 down to 8 at 224) reads the
    // same from a tall image's triples of rows as from a whole plane, its level runs above the
    // evened noise's, and its denoise runs on the evened values and maps them back (the result
    // keeps the ramp's levels).
    void noiseModel()
    {
        const QImage tall = noisyRamp(480, 1200, 20, 7, 8);
        const std::optional<ImageNoiseModel> whole
            = measureImageNoiseModel(tall.copy(0, 0, 480, 1000));
        const std::optional<ImageNoiseModel> sampled = measureImageNoiseModel(tall);
        QVERIFY(whole && whole->transform && sampled && sampled->transform);
        for (const ImageNoiseModel *model : {&*whole, &*sampled})
            QVERIFY2(std::abs(model->shadows - 19.0f) < 2.0f
                    && std::abs(model->highlights - 9.0f) < 1.0f
                    && std::abs(model->level - whole->level) <= 1,
                qPrintable(QString::asprintf(
                    "%g %g %d", double(model->shadows), double(model->highlights), model->level)));
        GrayPlane evenedPlane = grayPlaneOf(tall.copy(0, 0, 480, 1000));
        whole->transform->forward(evenedPlane);
        QVERIFY(whole->level > std::max(noiseLevelFor(whole->transform->stabilisedSigma()),
                    noiseLevelFor(estimateNoiseLevel(evenedPlane).value_or(0.0f))));
        QImage plain = tall.copy(0, 0, 480, 40), evened = plain;
        QCOMPARE(denoiseQImage(plain, {whole->level, seeded_}), RunStatus::Done);
        QCOMPARE(denoiseQImage(evened, {whole->level, seeded_, whole->transform}), RunStatus::Done);
        QVERIFY(evened != plain);
        double bias = 0.0;
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 480; ++x)
                bias += evened.constScanLine(y)[x] - (64 + x / 3);
        QVERIFY2(std::abs(bias / (40 * 480)) < 1.0, qPrintable(QString::number(bias / (40 * 480))));
    }
};

QTEST_GUILESS_MAIN(tst_Image)
#include "tst_image.moc"
