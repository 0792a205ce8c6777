// The batch of pelta-denoise through its library: the outputs a plan names (--suffix, --format,
// -r, a walk around its output folder), those it may not write, and files on parallel lanes
// written as one at a time.
#include "core/run_hooks.h"
#include "gui/testutils.h"
#include "tools/batch_plan.h"
#include "tools/tool_forms.h"

#include <QtTest>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

Q_DECLARE_METATYPE(BatchNaming)

class tst_Batch : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;

private slots:
    void initTestCase()
    {
        // in/clean/a-c.png: what an earlier run with --suffix -c -o in/clean wrote. r/a.png, and
        // what its output may not be: a hard link to it, a link to a FIFO.
        for (const QString file : {"in/a.png", "in/b.jpg", "in/sub/c.png", "in/clean/a-c.png",
                 "r/a.png", "r/sub/a.png", "r/out/a.png"}) {
            QVERIFY(QDir(dir_.path()).mkpath(QFileInfo(file).path()));
            QVERIFY(noiseImage(30, 20).save(dir_.filePath(file)));
        }
        QVERIFY(QDir(dir_.path()).mkpath("r/linked") && QDir(dir_.path()).mkpath("r/pipe"));
        QCOMPARE(::link(qPrintable(dir_.filePath("r/a.png")),
                     qPrintable(dir_.filePath("r/linked/a.png"))),
            0);
        QCOMPARE(::mkfifo(qPrintable(dir_.filePath("r/fifo")), 0600), 0);
        QVERIFY(QFile::link(dir_.filePath("r/fifo"), dir_.filePath("r/pipe/a.png")));
    }

    // Each file of the plan as "input > output", "input >> output" (replaced) or "input ! its
    // refusal", below the directory.
    void naming_data()
    {
        QTest::addColumn<QStringList>("inputs");
        QTest::addColumn<BatchNaming>("naming"); // its folder below the directory
        QTest::addColumn<QStringList>("plan");
        const QStringList in {"in"}, a {"r/a.png"};
        QTest::newRow("--suffix, --format")
            << QStringList {"in/a.png", "in/b.jpg"} << BatchNaming {"out", "-c", "bmp"}
            << QStringList {"in/a.png > out/a-c.bmp", "in/b.jpg > out/b-c.bmp"};
        QTest::newRow("-r, own formats")
            << in << BatchNaming {"out", "", "", true}
            << QStringList {"in/a.png > out/a.png", "in/b.jpg > out/b.jpg",
                   "in/clean/a-c.png > out/clean/a-c.png", "in/sub/c.png > out/sub/c.png"};
        // The walk never reads the output folder below it; the earlier output is not replaced.
        QTest::newRow("-r around the output folder")
            << in << BatchNaming {"in/clean", "-c", "", true}
            << QStringList {"in/a.png ! cannot write in/clean/a-c.png: it exists (--overwrite "
                            "replaces it)",
                   "in/b.jpg > in/clean/b-c.jpg", "in/sub/c.png > in/clean/sub/c-c.png"};
        QTest::newRow("output folder given")
            << in << BatchNaming {"in", "", ""}
            << QStringList {"in ! cannot read in: it is the output folder"};
        QTest::newRow("same output twice")
            << QStringList {"r/sub/a.png", "r/a.png"} << BatchNaming {"r/out", "", "", false, true}
            << QStringList {"r/sub/a.png >> r/out/a.png",
                   "r/a.png ! cannot write r/out/a.png: an earlier input of the batch is written "
                   "there"};
        QTest::newRow("output is an input by another name")
            << a << BatchNaming {"r/linked", "", "", false, true}
            << QStringList {"r/a.png ! cannot write r/linked/a.png: it is one of the inputs"};
        QTest::newRow("output links to a FIFO")
            << a << BatchNaming {"r/pipe", "", "", false, true}
            << QStringList {"r/a.png ! cannot write r/pipe/a.png: it is not a regular file"};
    }

    void naming()
    {
        QFETCH(QStringList, inputs);
        QFETCH(BatchNaming, naming);
        QFETCH(QStringList, plan);
        const QString root = dir_.path() + "/";
        for (QString &input : inputs)
            input.prepend(root);
        naming.outputDir.prepend(root);
        QStringList planned;
        for (const BatchItem &item : planBatch(inputs, naming)) {
            const QString output = (item.replace ? " >> " : " > ") + item.output;
            planned.append(QString(item.input + (item.refusal != 0 ? " ! " + item.failure : output))
                               .remove(root));
        }
        QCOMPARE(planned, plan);
    }

    // Files on four lanes, two of which meet inside their runs, come out byte for byte as the
    // one-file form writes each by itself on all threads; another seed draws other samples.
    void lanesWriteWhatOneAtATimeWrites()
    {
        QVERIFY(QDir(dir_.path()).mkpath("lanes") && QDir(dir_.path()).mkpath("one"));
        FileSettings settings;
        settings.level = 30;
        settings.quiet = true;
        const auto one = [this](int k) { return dir_.filePath(QString("one/%1.png").arg(k)); };
        QStringList inputs;
        for (int k = 0; k < 4; ++k) {
            inputs.append(dir_.filePath(QString("lanes/%1.png").arg(k)));
            QVERIFY(noiseImage(90 + 8 * k, 70, quint32(k)).save(inputs.last()));
            QCOMPARE(runOneFile({inputs[k], one(k), QString()}, settings, 77u), 0);
        }

        // Each lane's first row waits (a minute at most) until a second lane is in a run.
        std::mutex mutex;
        std::condition_variable met;
        std::set<std::thread::id> lanes;
        RunHooks hooks;
        hooks.atRow = [&](int, int) {
            std::unique_lock<std::mutex> lock(mutex);
            if (lanes.insert(std::this_thread::get_id()).second) {
                met.notify_all();
                met.wait_for(lock, std::chrono::minutes(1), [&] { return lanes.size() > 1; });
            }
        };
        settings.options.threads = 4;
        settings.options.hooks = &hooks;
        QCOMPARE(runBatchFiles(
                     inputs, {dir_.filePath("lanes-out"), "", "", false, false}, settings, 77u),
            0);
        QVERIFY(lanes.size() > 1);
        for (int k = 0; k < 4; ++k)
            QVERIFY2(
                fileBytes(dir_.filePath(QString("lanes-out/%1.png").arg(k))) == fileBytes(one(k)),
                qPrintable(inputs[k]));
        settings.options.hooks = nullptr;
        QCOMPARE(runOneFile({inputs[0], dir_.filePath("other.png"), QString()}, settings, 78u), 0);
        QVERIFY(fileBytes(dir_.filePath("other.png")) != fileBytes(one(0)));
    }
};

QTEST_MAIN(tst_Batch)
#include "tst_batch.moc"
