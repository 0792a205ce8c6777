// The pelta-denoise executable: a run on real files, its exit statuses and its messages.
#include "gui/testutils.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PELTA_SANITIZED 1
#endif

struct Outcome
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray standardError;
};

// Runs the tool, or with `shellPrefix` the shell command that then execs it with its arguments.
static Outcome runTool(const QStringList &arguments, const QString &shellPrefix = QString())
{
    QProcess process;
    // Under the leak sanitizer, keep its list of used suppressions off the tool's stderr.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (environment.contains(QStringLiteral("LSAN_OPTIONS"))) {
        environment.insert(QStringLiteral("LSAN_OPTIONS"),
            environment.value(QStringLiteral("LSAN_OPTIONS"))
                + QStringLiteral(":print_suppressions=0"));
    }
    process.setProcessEnvironment(environment);
    if (shellPrefix.isEmpty()) {
        process.start(QStringLiteral(PELTA_DENOISE_EXECUTABLE), arguments);
    } else {
        process.start(QStringLiteral("/bin/sh"),
            QStringList {QStringLiteral("-c"),
                shellPrefix + QStringLiteral(" && exec \"$0\" \"$@\""),
                QStringLiteral(PELTA_DENOISE_EXECUTABLE)}
                + arguments);
    }
    Outcome outcome;
    if (!process.waitForFinished(300'000)) {
        process.kill();
        process.waitForFinished();
        return outcome;
    }
    outcome.exitCode = process.exitCode();
    outcome.exitStatus = process.exitStatus();
    outcome.standardError = process.readAllStandardError();
    return outcome;
}

// Two halves and a few stripes: large when decoded, a few kilobytes as a PNG.
static QImage stripedImage(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(qRgb(40, 90, 200));
    for (int y = 0; y < h; y += 7)
        std::fill_n(reinterpret_cast<QRgb *>(image.scanLine(y)), w / 2, qRgb(200, 90, 40));
    return image;
}

class tst_PeltaDenoise : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void denoisesAFile_data();
    void denoisesAFile();
    void sameSeedSameResult();
    void svgWithText();
    void helpAndVersion();
    void failures_data();
    void failures();
    void notEnoughMemoryUnderAnAddressSpaceLimit();

private:
    QString path(const QString &name) const { return dir.filePath(name); }

    QTemporaryDir dir;
};

void tst_PeltaDenoise::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(noiseImage(80, 60, 3).save(path(QStringLiteral("rgb.png"))));
    QVERIFY(noiseImage(80, 60, 4)
                .convertToFormat(QImage::Format_Indexed8)
                .save(path(QStringLiteral("indexed.png"))));
    QVERIFY(putFile(path(QStringLiteral("text.png")), "not an image\n"));
}

void tst_PeltaDenoise::denoisesAFile_data()
{
    QTest::addColumn<QImage>("input");
    QTest::addColumn<QString>("outputName");
    QImage rgba = noiseImage(70, 50, 5).convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < rgba.height(); ++y)
        for (int x = 0; x < rgba.width(); ++x)
            rgba.setPixel(x, y, (rgba.pixel(x, y) & 0xffffff) | quint32((x * 3 + y) & 255) << 24);
    QTest::newRow("RGB to JPEG") << noiseImage(70, 50, 6) << QStringLiteral("out.jpg");
    QTest::newRow("RGBA to PNG") << rgba << QStringLiteral("out.png");
    QTest::newRow("gray to PNG") << noiseImage(70, 50, 7).convertToFormat(QImage::Format_Grayscale8)
                                 << QStringLiteral("out.png");
    QTest::newRow("16-bit gray to PNG") << noiseImage(70, 50, 8).convertToFormat(
        QImage::Format_Grayscale16) << QStringLiteral("out.png");
}

void tst_PeltaDenoise::denoisesAFile()
{
    QFETCH(QImage, input);
    QFETCH(QString, outputName);
    const QString in = path(QStringLiteral("in.png"));
    const QString out = path(outputName);
    QFile::remove(out);
    QVERIFY(input.save(in));
    input = QImage(in);

    const Outcome outcome = runTool({QStringLiteral("--sigma"), QStringLiteral("20"),
        QStringLiteral("--seed"), QStringLiteral("5"), in, out});
    QCOMPARE(outcome.exitStatus, QProcess::NormalExit);
    QCOMPARE(outcome.exitCode, 0);
    // Not a terminal: no progress bar, and nothing else either.
    QCOMPARE(outcome.standardError, QByteArray());
    const QImage result(out);
    QCOMPARE(result.size(), input.size());
    QVERIFY(result != input);
    if (outputName.endsWith(QLatin1String(".png"))) {
        QCOMPARE(result.format(), input.format());
        for (int y = 0; y < input.height(); ++y)
            for (int x = 0; x < input.width(); ++x)
                QCOMPARE(qAlpha(result.pixel(x, y)), qAlpha(input.pixel(x, y)));
    }
}

void tst_PeltaDenoise::sameSeedSameResult()
{
    // Larger than 256 on both sides, so that --threads 2 splits it.
    const QString in = path(QStringLiteral("split.png"));
    QVERIFY(noiseImage(260, 258, 9).convertToFormat(QImage::Format_Grayscale8).save(in));
    const QString seeds[] = {QStringLiteral("77"), QStringLiteral("77"), QStringLiteral("78")};
    QByteArray outputs[3];
    for (int i = 0; i < 3; ++i) {
        const QString out = path(QStringLiteral("split-out.png"));
        const Outcome outcome = runTool({QStringLiteral("--sigma"), QStringLiteral("5"),
            QStringLiteral("--threads"), QStringLiteral("2"), QStringLiteral("--seed"), seeds[i],
            QStringLiteral("-q"), in, out});
        QCOMPARE(outcome.exitCode, 0);
        outputs[i] = fileBytes(out);
        QFile::remove(out);
    }
    QVERIFY(!outputs[0].isEmpty());
    QVERIFY(outputs[0] == outputs[1]);
    QVERIFY(outputs[0] != outputs[2]);
}

void tst_PeltaDenoise::svgWithText()
{
    if (!QImageReader::supportedImageFormats().contains("svg"))
        QSKIP("No SVG image plug-in");
    // Laying out the text needs a GUI application: without one the reader ends the process.
    const QString in = path(QStringLiteral("text.svg"));
    QVERIFY(putFile(in,
        "<svg xmlns='http://www.w3.org/2000/svg' width='64' height='48'>"
        "<rect width='64' height='48' fill='#3a6' fill-opacity='0.5'/>"
        "<text x='4' y='30' font-size='16'>Hi</text></svg>"));
    const QString out = path(QStringLiteral("text-out.png"));
    const Outcome outcome = runTool({QStringLiteral("-q"), QStringLiteral("--sigma"),
        QStringLiteral("10"), QStringLiteral("--seed"), QStringLiteral("2"), in, out});
    QCOMPARE(outcome.exitStatus, QProcess::NormalExit);
    QCOMPARE(outcome.exitCode, 0);
    QCOMPARE(outcome.standardError, QByteArray());
    QCOMPARE(QImage(out).size(), QSize(64, 48));
}

void tst_PeltaDenoise::helpAndVersion()
{
    Outcome outcome = runTool({QStringLiteral("--help")});
    QCOMPARE(outcome.exitCode, 0);
    outcome = runTool({QStringLiteral("--version")});
    QCOMPARE(outcome.exitCode, 0);
}

void tst_PeltaDenoise::failures_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    const QString in = QStringLiteral("@/rgb.png");
    const QString out = QStringLiteral("@/result.png");
    QTest::newRow("unknown option") << QStringList {QStringLiteral("--bogus"), in, out} << 1
                                    << QStringLiteral("Unknown option 'bogus'");
    QTest::newRow("sigma 0") << QStringList {QStringLiteral("--sigma"), QStringLiteral("0"), in,
        out} << 1 << QStringLiteral("--sigma");
    QTest::newRow("sigma 100") << QStringList {QStringLiteral("--sigma"), QStringLiteral("100"), in,
        out} << 1 << QStringLiteral("--sigma");
    QTest::newRow("sigma not a number")
        << QStringList {QStringLiteral("--sigma"), QStringLiteral("ten"), in, out} << 1
        << QStringLiteral("--sigma");
    QTest::newRow("threads 0") << QStringList {QStringLiteral("--threads"), QStringLiteral("0"), in,
        out} << 1 << QStringLiteral("--threads");
    QTest::newRow("negative seed") << QStringList {QStringLiteral("--seed"), QStringLiteral("-3"),
        in, out} << 1 << QStringLiteral("--seed");
    QTest::newRow("one file name") << QStringList {in} << 1 << QStringLiteral("two file names");
    QTest::newRow("three file names") << QStringList {in, out, QStringLiteral("@/more.png")} << 1
                                      << QStringLiteral("two file names");
    QTest::newRow("missing input")
        << QStringList {QStringLiteral("@/missing.png"), out} << 2 << QStringLiteral("cannot read");
    QTest::newRow("not an image") << QStringList {QStringLiteral("@/text.png"), out} << 2
                                  << QStringLiteral("cannot read");
    QTest::newRow("indexed input") << QStringList {QStringLiteral("@/indexed.png"), out} << 3
                                   << QStringLiteral("only RGB and grayscale");
    QTest::newRow("unknown suffix")
        << QStringList {in, QStringLiteral("@/result.xyz")} << 4 << QStringLiteral("cannot write");
    QTest::newRow("missing directory") << QStringList {in, QStringLiteral("@/none/result.png")} << 4
                                       << QStringLiteral("cannot write");
}

void tst_PeltaDenoise::failures()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    arguments.replaceInStrings(QStringLiteral("@"), dir.path());

    const Outcome outcome = runTool(QStringList {QStringLiteral("--sigma"), QStringLiteral("5"),
                                        QStringLiteral("--seed"), QStringLiteral("1")}
        + arguments);
    QCOMPARE(outcome.exitStatus, QProcess::NormalExit);
    QCOMPARE(outcome.exitCode, exitCode);
    const QString error = QString::fromUtf8(outcome.standardError);
    QVERIFY2(error.startsWith(QLatin1String("pelta-denoise: "))
            && error.count(QLatin1Char('\n')) == 1 && error.contains(message),
        qPrintable(error));
    QStringList written
        = QDir(dir.path()).entryList({QStringLiteral("result*"), QStringLiteral("more*")});
    QCOMPARE(written, QStringList());
}

void tst_PeltaDenoise::notEnoughMemoryUnderAnAddressSpaceLimit()
{
#ifdef PELTA_SANITIZED
    QSKIP("The sanitizers reserve more address space than the limit allows");
#endif
    // 3000 x 3000 needs some 500 MB to denoise, 80 x 60 far less than the 300 MB allowed.
    const QString big = path(QStringLiteral("big.png"));
    QVERIFY(stripedImage(3000, 3000).save(big));
    const QString limit = QStringLiteral("ulimit -v 300000");
    const QString out = path(QStringLiteral("big-out.png"));

    Outcome outcome = runTool(
        {QStringLiteral("-q"), QStringLiteral("--threads"), QStringLiteral("2"), big, out}, limit);
    QCOMPARE(outcome.exitStatus, QProcess::NormalExit);
    QCOMPARE(outcome.exitCode, 5);
    QVERIFY2(
        outcome.standardError.contains("not enough memory"), outcome.standardError.constData());
    QVERIFY(!QFileInfo::exists(out));

    outcome = runTool({QStringLiteral("-q"), QStringLiteral("--sigma"), QStringLiteral("5"),
                          path(QStringLiteral("rgb.png")), out},
        limit);
    QCOMPARE(outcome.exitCode, 0);
    QVERIFY(QFileInfo::exists(out));
}

QTEST_GUILESS_MAIN(tst_PeltaDenoise)
#include "tst_pelta_denoise.moc"
