// Image file reading and writing: detection, the memory guard and safe saving.
#include "gui/testutils.h"
#include "image/image_io.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

// A save file whose device gives up once `limit` bytes have gone through it, as a full disk
// does: the write in progress fails and the save file records the error.
class FailingSaveFile : public QSaveFile
{
public:
    FailingSaveFile(const QString &name, qint64 limit)
        : QSaveFile(name)
        , limit_(limit)
    { }
    qint64 written() const { return written_; }

protected:
    qint64 writeData(const char *data, qint64 len) override
    {
        if (written_ + len > limit_) {
            cancelWriting();
            return -1;
        }
        written_ += len;
        return QSaveFile::writeData(data, len);
    }

private:
    qint64 limit_;
    qint64 written_ = 0;
};

static QStringList entries(const QTemporaryDir &dir)
{
    return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}

class tst_ImageIo : public QObject
{
    Q_OBJECT

private slots:
    void formatComesFromTheContent();
    void memoryGuard_data();
    void memoryGuard();
    void bombIsRefusedWithoutDecoding();
    void readFailureKeepsTheReaderText();
    void writesTheFormatOfTheSuffix_data();
    void writesTheFormatOfTheSuffix();
    void unknownSuffixLeavesTheOldFile();
    void failingDeviceLeavesTheOldFile();
    void fullDiskLeavesTheOldFile();
    void mimeTypesAreSorted();
};

void tst_ImageIo::formatComesFromTheContent()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("really-a-png.jpg"));
    QVERIFY(patternImage(33, 17).save(path, "png"));
    const ImageReadResult read = readImageFile(path, -1);
    QVERIFY2(!read.image.isNull(), qPrintable(read.errorText));
    QCOMPARE(read.image.convertToFormat(QImage::Format_RGB32), patternImage(33, 17));
}

void tst_ImageIo::memoryGuard_data()
{
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<bool>("loads");
    const qint64 needed = 64 * 48 * 4 * 2;
    QTest::newRow("exactly-enough") << needed << true;
    QTest::newRow("one-byte-short") << needed - 1 << false;
    QTest::newRow("image-without-display-copy") << qint64(64 * 48 * 4) << false;
    QTest::newRow("limit-unknown") << qint64(-1) << true;
}

void tst_ImageIo::memoryGuard()
{
    QFETCH(qint64, limit);
    QFETCH(bool, loads);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("small.png"));
    QVERIFY(patternImage(64, 48).save(path));

    const ImageReadResult read = readImageFile(path, limit);
    QCOMPARE(!read.image.isNull(), loads);
    QCOMPARE(read.errorText, loads ? QString() : tooLargeErrorText());
    QCOMPARE(
        tooLargeErrorText(), QStringLiteral("The image is too large for the available memory"));
}

void tst_ImageIo::bombIsRefusedWithoutDecoding()
{
    // 100000 x 100000 RGBA would take 80 GB with its display copy; a megabyte of data follows.
    QByteArray png = pngBombHeader(100000, 100000, 1 << 20);
    QBuffer buffer(&png);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    const ImageReadResult read = readImage(&buffer, qint64(16) << 30);
    QVERIFY(read.image.isNull());
    QCOMPARE(read.errorText, tooLargeErrorText());
    // Only the header was parsed: the reader never went into the image data.
    QVERIFY2(buffer.pos() < 1024, qPrintable(QString::number(buffer.pos())));
}

void tst_ImageIo::readFailureKeepsTheReaderText()
{
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("missing.png"));
    const QString text = dir.filePath(QStringLiteral("text.png"));
    QVERIFY(putFile(text, "not an image at all\n"));
    for (const QString &path : {missing, text}) {
        QImageReader reader(path);
        reader.read();
        const ImageReadResult read = readImageFile(path, -1);
        QVERIFY(read.image.isNull());
        QVERIFY(!read.errorText.isEmpty());
        QCOMPARE(read.errorText, reader.errorString());
    }
}

void tst_ImageIo::writesTheFormatOfTheSuffix_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("format");
    QTest::newRow("png") << "out.png" << QByteArray("png");
    QTest::newRow("jpeg") << "out.jpeg" << QByteArray("jpeg");
    QTest::newRow("upper-case-bmp") << "OUT.BMP" << QByteArray("bmp");
    QTest::newRow("dots-in-name") << "out.tar.ppm" << QByteArray("ppm");
}

void tst_ImageIo::writesTheFormatOfTheSuffix()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, format);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QString error;
    QVERIFY2(writeImageFile(patternImage(21, 13), path, &error), qPrintable(error));
    QCOMPARE(QImageReader(path).format(), format);
    QCOMPARE(QImage(path).size(), QSize(21, 13));
    QCOMPARE(entries(dir), QStringList {name});
}

void tst_ImageIo::unknownSuffixLeavesTheOldFile()
{
    QTemporaryDir dir;
    for (const QString &name : {QStringLiteral("old.xyz"), QStringLiteral("no-suffix")}) {
        const QString path = dir.filePath(name);
        QVERIFY(putFile(path, "precious"));
        QString error;
        QVERIFY(!writeImageFile(patternImage(8, 8), path, &error));
        QCOMPARE(error, QStringLiteral("Unsupported image format"));
        QCOMPARE(fileBytes(path), QByteArray("precious"));
    }
    QCOMPARE(entries(dir).size(), 2);
}

void tst_ImageIo::failingDeviceLeavesTheOldFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("photo.bmp"));
    QVERIFY(putFile(path, "the old photograph"));

    // A 200 x 200 BMP is 120 kB; the device fails after 50 kB.
    FailingSaveFile file(path, 50000);
    QString error;
    QVERIFY(!writeImage(noiseImage(200, 200), file, &error));
    QVERIFY(file.written() > 0);
    QVERIFY(!error.isEmpty());
    QCOMPARE(fileBytes(path), QByteArray("the old photograph"));
    QCOMPARE(entries(dir), QStringList {QStringLiteral("photo.bmp")});
}

void tst_ImageIo::fullDiskLeavesTheOldFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("photo.bmp"));
    QVERIFY(putFile(path, "the old photograph"));

    // The kernel refuses to let any file of this process grow past 64 kB, as a full disk would.
    // (BMP: Qt's PNG writer leaks a row buffer when libpng gives up on a write error.)
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit small = previous;
    small.rlim_cur = 64 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    QString error;
    const bool written = writeImageFile(noiseImage(400, 400), path, &error);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(!written);
    QVERIFY(!error.isEmpty());
    QCOMPARE(fileBytes(path), QByteArray("the old photograph"));
    QCOMPARE(entries(dir), QStringList {QStringLiteral("photo.bmp")});
}

void tst_ImageIo::mimeTypesAreSorted()
{
    const QStringList types = readableMimeTypes();
    QVERIFY(std::is_sorted(types.begin(), types.end()));
    QCOMPARE(types.size(), QImageReader::supportedMimeTypes().size());
    QVERIFY(types.contains(QStringLiteral("image/png")));
    QVERIFY(types.contains(QStringLiteral("image/jpeg")));
}

QTEST_GUILESS_MAIN(tst_ImageIo)
#include "tst_image_io.moc"
