// The pelta-denoise executable: runs on real files, its exit statuses and its messages.
#include "gui/testutils.h"

#include <QtGui>
#include <QtTest>

#include <csignal>
#include <functional>

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
    // when given, and with `whileRunning` called once it has started. False when it crashed or
    // hung.
    bool run(const QString &arguments, const QString &shellPrefix = "true",
        const std::function<void(QProcess &)> &whileRunning = {})
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
        if (whileRunning)
            whileRunning(process);
        const bool finished = process.waitForFinished(300'000);
        exitCode_ = process.exitCode();
        stderr_ = process.readAllStandardError();
        return finished && process.exitStatus() == QProcess::NormalExit;
    }

    // A fresh folder below the directory, its path.
    QString freshFolder(const QString &name)
    {
        QDir(dir_.filePath(name)).removeRecursively();
        return QDir(dir_.path()).mkpath(name) ? dir_.filePath(name) : QString();
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

    // One batch of a folder: every file that can be denoised is written, every other one fails
    // with a line naming it, and the status is the highest of the files'. Levels are estimated
    // and said per file, unless -q.
    void batchOfMixedFiles_data()
    {
        QTest::addColumn<QString>("quiet");
        QTest::newRow("levels said") << "--sigma auto";
        QTest::newRow("quiet") << "-q";
    }

    void batchOfMixedFiles()
    {
        QFETCH(QString, quiet);
        const QString in = freshFolder("mixed"), out = freshFolder("mixed-out");
        const QImage gray = noisyRamp(60, 40, 10.0, 4);
        const QImage written[] = {noiseImage(60, 40, 2), gray,
            gray.convertToFormat(QImage::Format_Grayscale16), noiseImage(2, 1, 5)};
        const QStringList names = {"good.jpg", "gray.png", "gray16.png", "tiny.bmp"};
        for (int i = 0; i < 4; ++i)
            QVERIFY(written[i].save(in + "/" + names[i]));
        QVERIFY(
            noiseImage(9, 9).convertToFormat(QImage::Format_Indexed8).save(in + "/indexed.png"));
        QVERIFY(putFile(in + "/broken.png", pngBomb(60, 40, 0)));
        QStringList failures {"broken.png", "indexed.png"};
        QString limit = "true";
#ifndef PELTA_SANITIZED
        // Too large to denoise within the limit (some 500 MB), while reading it (72 MB) fits
        // beside the address space the threads of a batch reserve; it runs alone.
        QImage big(3000, 3000, QImage::Format_RGB32);
        big.fill(Qt::blue);
        QVERIFY(big.save(in + "/big.png"));
        failures << "big.png";
        limit = "ulimit -v 400000";
#endif
        QVERIFY(run(quiet + " --seed 4 @/mixed -o @/mixed-out", limit));
        QCOMPARE(exitCode_, failures.contains("big.png") ? 5 : 3);
        const QStringList lines = QString::fromUtf8(stderr_).split('\n');
        const QStringList failed = lines.filter("pelta-denoise: ");
        QCOMPARE(failed.size(), failures.size());
        for (const QString &name : failures)
            QCOMPARE(failed.filter(in + "/" + name).size(), 1);
        QCOMPARE(QDir(out).entryList(QDir::Files), names);
        for (int i = 0; i < 4; ++i) {
            const QImage result(out + "/" + names[i]);
            QCOMPARE(result.size(), written[i].size());
            QCOMPARE(result.format(), QImage(in + "/" + names[i]).format());
            QCOMPARE(
                lines.filter(in + "/" + names[i] + ": noise level ").size(), quiet == "-q" ? 0 : 1);
        }
    }

    // What a batch may not write: an existing output without --overwrite, an output that two
    // inputs map to (the second fails), an input; and an output folder that is a file.
    void batchRefusals_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("file"); // keeps its bytes, or is the new output
        QTest::addColumn<bool>("replaced");
        QTest::newRow("existing output") << "@/r/a.png -o @/r/out" << 4 << "out/a.png" << false;
        QTest::newRow("--overwrite")
            << "--overwrite @/r/a.png -o @/r/out" << 0 << "out/a.png" << true;
        QTest::newRow("same output twice")
            << "--overwrite @/r/sub/a.png @/r/a.png -o @/r/out" << 4 << "out/a.png" << true;
        QTest::newRow("output is an input")
            << "--overwrite @/r/a.png -o @/r" << 4 << "a.png" << false;
        QTest::newRow("folder is a file")
            << "@/r/a.png -o @/r/out/a.png" << 4 << "out/a.png" << false;
    }

    void batchRefusals()
    {
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, file);
        QFETCH(bool, replaced);
        const QString r = freshFolder("r");
        QVERIFY(QDir(r).mkpath("sub") && QDir(r).mkpath("out"));
        QVERIFY(noiseImage(30, 20).save(r + "/a.png") && noiseImage(30, 20).save(r + "/sub/a.png"));
        QVERIFY(putFile(r + "/out/a.png", "old"));
        const QByteArray before = fileBytes(r + "/" + file);
        QVERIFY(run("-q --sigma 10 --seed 1 " + arguments));
        QCOMPARE(exitCode_, exitCode);
        QCOMPARE(fileBytes(r + "/" + file) != before, replaced);
        QCOMPARE(QImage(r + "/out/a.png").isNull(), !replaced);
        QCOMPARE(QDir(r + "/out").entryList(QDir::Files), QStringList {"a.png"});
    }

    // A signal after the first output: the run in progress stops, the outputs already written
    // stay complete, no temporary file is left, and the status is the signal's.
    void interruptedBatch_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
    }

    void interruptedBatch()
    {
        QFETCH(int, signal);
        const QString in = freshFolder("many"), out = freshFolder("many-out");
        constexpr int kFiles = 12;
        for (int i = 0; i < kFiles; ++i)
            QVERIFY(noiseImage(300, 300, quint32(i)).save(QString("%1/%2.png").arg(in).arg(i)));
        QVERIFY(run("-q --sigma 40 @/many -o @/many-out", "true", [&](QProcess &process) {
            QTRY_VERIFY_WITH_TIMEOUT(!QDir(out).entryList({"*.png"}).isEmpty(), 120'000);
            QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
        }));
        QCOMPARE(exitCode_, 128 + signal);
        const QStringList left = QDir(out).entryList(QDir::Files);
        QVERIFY2(left.size() < kFiles, qPrintable(left.join(' ')));
        for (const QString &name : left)
            QCOMPARE(QImage(out + "/" + name).size(), QSize(300, 300));
    }
};

QTEST_GUILESS_MAIN(tst_PeltaDenoise)
#include "tst_pelta_denoise.moc"
