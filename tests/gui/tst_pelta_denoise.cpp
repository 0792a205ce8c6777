// The pelta-denoise executable: runs on real files, its exit statuses and its messages.
#include "gui/testutils.h"

#include <QtGui>
#include <QtTest>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PELTA_SANITIZED 1
#endif

class tst_PeltaDenoise : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    int exitCode_ = -1;
    QByteArray stderr_;

    // Runs the tool on the arguments, "@" standing for the directory; after `shellPrefix`
    // when given. False when it crashed or hung.
    bool run(const QString &arguments, const QString &shellPrefix = "true")
    {
        QProcess process;
        // Under the leak sanitizer, keep its list of used suppressions off the tool's stderr.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (environment.contains("LSAN_OPTIONS"))
            environment.insert(
                "LSAN_OPTIONS", environment.value("LSAN_OPTIONS") + ":print_suppressions=0");
        process.setProcessEnvironment(environment);
        process.start("/bin/sh",
            QStringList {"-c", shellPrefix + " && exec \"$0\" \"$@\"", PELTA_DENOISE_EXECUTABLE}
                + QString(arguments).replace("@", dir_.path()).split(' '));
        const bool finished = process.waitForFinished(300'000);
        exitCode_ = process.exitCode();
        stderr_ = process.readAllStandardError();
        return finished && process.exitStatus() == QProcess::NormalExit;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(noiseImage(80, 60, 3).save(dir_.filePath("rgb.png")));
        QVERIFY(noiseImage(80, 60, 4)
                    .convertToFormat(QImage::Format_Indexed8)
                    .save(dir_.filePath("indexed.png")));
    }

    void denoisesAFile_data()
    {
        QTest::addColumn<QImage>("input");
        QTest::addColumn<QString>("output");
        QTest::newRow("RGB to JPEG") << noiseImage(70, 50, 6) << "out.jpg";
        QTest::newRow("RGBA to PNG") << noiseImage(70, 50, 5, QImage::Format_ARGB32) << "out.png";
        QTest::newRow("gray to PNG")
            << noiseImage(70, 50, 7).convertToFormat(QImage::Format_Grayscale8) << "out.png";
        QTest::newRow("16-bit gray to PNG")
            << noiseImage(70, 50, 8).convertToFormat(QImage::Format_Grayscale16) << "out.png";
    }

    void denoisesAFile()
    {
        QFETCH(QImage, input);
        QFETCH(QString, output);
        QFile::remove(dir_.filePath(output));
        QVERIFY(input.save(dir_.filePath("in.png")));
        input = QImage(dir_.filePath("in.png"));
        QVERIFY(run("--sigma 20 --seed 5 @/in.png @/" + output));
        QCOMPARE(exitCode_, 0);
        // Not a terminal: no progress bar, and nothing else either.
        QCOMPARE(stderr_, QByteArray());
        const QImage result(dir_.filePath(output));
        QCOMPARE(result.size(), input.size());
        QVERIFY(result != input);
        QCOMPARE(result.convertToFormat(QImage::Format_Alpha8),
            input.convertToFormat(QImage::Format_Alpha8));
        if (output.endsWith(".png"))
            QCOMPARE(result.format(), input.format());
    }

    // Without --sigma the level is estimated from the image and said on standard error, unless
    // -q; an image without measurable noise falls back to 20 and says so.
    void estimatesTheLevel()
    {
        const QImage noisy = noisyRamp(240, 180, 12.0, 6);
        QVERIFY(noisy.save(dir_.filePath("noisy.png")));
        QImage flat(100, 80, QImage::Format_RGB32);
        flat.fill(qRgb(10, 200, 90));
        QVERIFY(flat.save(dir_.filePath("flat.png")));
        const struct
        {
            QString arguments;
            QByteArray message;
        } cases[] = {{"--seed 3 @/noisy.png @/auto.png", "noise level 12 (estimated)\n"},
            {"-q --seed 3 @/noisy.png @/auto.png", ""},
            {"--seed 3 @/flat.png @/auto.png",
                "noise level 20 (the noise could not be estimated: too flat or too small)\n"}};
        for (const auto &c : cases) {
            QVERIFY(run(c.arguments));
            QCOMPARE(exitCode_, 0);
            QCOMPARE(stderr_, c.message);
            QVERIFY(QFile::exists(dir_.filePath("auto.png")));
        }
    }

    void sameSeedSameResult()
    {
        // Larger than 256 on both sides, so that --threads 2 splits it.
        QVERIFY(noiseImage(260, 258, 9)
                    .convertToFormat(QImage::Format_Grayscale8)
                    .save(dir_.filePath("split.png")));
        QByteArray outputs[3];
        for (int i = 0; i < 3; ++i) {
            QVERIFY(run(QString("--sigma 30 --threads 2 -q --seed %1 @/split.png @/split-%2.png")
                            .arg(i < 2 ? 77 : 78)
                            .arg(i)));
            QCOMPARE(exitCode_, 0);
            outputs[i] = fileBytes(dir_.filePath(QString("split-%1.png").arg(i)));
        }
        QVERIFY(!outputs[0].isEmpty());
        QVERIFY(outputs[0] == outputs[1]);
        QVERIFY(outputs[0] != outputs[2]);
    }

    void svgWithText()
    {
        if (!QImageReader::supportedImageFormats().contains("svg"))
            QSKIP("No SVG image plug-in");
        // Laying out the text needs a GUI application: without one the reader ends the process.
        QVERIFY(putFile(dir_.filePath("text.svg"),
            "<svg xmlns='http://www.w3.org/2000/svg' width='64' height='48'>"
            "<rect width='64' height='48' fill='#3a6' fill-opacity='0.5'/>"
            "<text x='4' y='30' font-size='16'>Hi</text></svg>"));
        QVERIFY(run("-q --sigma 10 --seed 2 @/text.svg @/text.png"));
        QCOMPARE(exitCode_, 0);
        QCOMPARE(stderr_, QByteArray());
        QCOMPARE(QImage(dir_.filePath("text.png")).size(), QSize(64, 48));
    }

    void exitCodes_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message"); // empty: nothing on standard error
        QTest::newRow("help") << "--help" << 0 << QString();
        QTest::newRow("version") << "--version" << 0 << QString();
        QTest::newRow("unknown option")
            << "--bogus @/rgb.png @/result.png" << 1 << "Unknown option 'bogus'";
        QTest::newRow("sigma 0") << "--sigma 0 @/rgb.png @/result.png" << 1 << "--sigma";
        QTest::newRow("sigma 100") << "--sigma 100 @/rgb.png @/result.png" << 1 << "--sigma";
        QTest::newRow("threads 0")
            << "--threads 0 @/rgb.png @/result.png" << 1 << "from 1 to 1048576";
        QTest::newRow("threads 2^20 + 1")
            << "--threads 1048577 @/rgb.png @/result.png" << 1 << "from 1 to 1048576";
        QTest::newRow("negative seed") << "--seed -3 @/rgb.png @/result.png" << 1 << "--seed";
        QTest::newRow("one file name") << "@/rgb.png" << 1 << "two file names";
        QTest::newRow("three file names")
            << "@/rgb.png @/result.png @/result2.png" << 1 << "two file names";
        QTest::newRow("missing input") << "@/missing.png @/result.png" << 2 << "cannot read";
        QTest::newRow("indexed input")
            << "@/indexed.png @/result.png" << 3 << "only RGB and grayscale";
        QTest::newRow("unknown suffix") << "@/rgb.png @/result.xyz" << 4 << "cannot write";
        // The output's folder is checked before the input is read, so a long run cannot be lost.
        QTest::newRow("missing folder, missing input")
            << "@/missing.png @/none/result.png" << 4 << "there is no folder";
    }

    void exitCodes()
    {
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QVERIFY(run("--sigma 40 --seed 1 " + arguments));
        QCOMPARE(exitCode_, exitCode);
        const QString error = QString::fromUtf8(stderr_);
        QVERIFY2(message.isEmpty() ? error.isEmpty()
                                   : error.startsWith("pelta-denoise: ") && error.count('\n') == 1
                    && error.contains(message),
            qPrintable(error));
        QCOMPARE(QDir(dir_.path()).entryList({"result*"}), QStringList());
    }

    void notEnoughMemoryUnderAnAddressSpaceLimit()
    {
#ifdef PELTA_SANITIZED
        QSKIP("The sanitizers reserve more address space than the limit allows");
#endif
        // 3000 x 3000 needs some 500 MB to denoise, 80 x 60 far less than the 300 MB allowed; as
        // one colour, the big one is a small file.
        QImage big(3000, 3000, QImage::Format_RGB32);
        big.fill(Qt::blue);
        QVERIFY(big.save(dir_.filePath("big.png")));
        QVERIFY(run("-q --threads 2 @/big.png @/big-out.png", "ulimit -v 300000"));
        QCOMPARE(exitCode_, 5);
        QVERIFY2(stderr_.contains("not enough memory"), stderr_.constData());
        QVERIFY(!QFile::exists(dir_.filePath("big-out.png")));
        // The limit leaves room for a small run: the exit status is the estimate's, not start-up's.
        QVERIFY(run("-q --sigma 5 @/rgb.png @/big-out.png", "ulimit -v 300000"));
        QCOMPARE(exitCode_, 0);
        QVERIFY(QFile::exists(dir_.filePath("big-out.png")));
    }
};

QTEST_GUILESS_MAIN(tst_PeltaDenoise)
#include "tst_pelta_denoise.moc"
