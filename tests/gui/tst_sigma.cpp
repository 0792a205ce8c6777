// The Denoise dialog: preview crop, slider, OK and Cancel, progress, boxes and stopping a run.
#include "core/band_runner.h"
#include "core/sample_tables.h"
#include "denoise/sigma.h"
#include "gui/modal_driver.h"
#include "gui/testutils.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QProgressBar>
#include <QScrollArea>
#include <QSlider>
#include <QtTest>

#include <atomic>
#include <memory>

static QPushButton *button(Sigma &dialog, int which)
{
    return dialog.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::StandardButton(which));
}

static QSlider *slider(Sigma &dialog)
{
    return dialog.findChild<QSlider *>();
}

// The text of the label beside the slider.
static QString level(Sigma &dialog)
{
    return slider(dialog)->parentWidget()->findChild<QLabel *>()->text();
}

static QImage preview(Sigma &dialog)
{
    const auto *label = qobject_cast<QLabel *>(dialog.findChild<QScrollArea *>()->widget());
    return label->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_RGB32);
}

// What a release of the slider at `value` does, without the mouse.
static void releaseAt(QSlider *slider, int value)
{
    slider->setSliderDown(true);
    slider->setValue(value);
    slider->setSliderDown(false);
}

class tst_Sigma : public QObject
{
    Q_OBJECT

    std::unique_ptr<NormalTable> table_ = std::make_unique<NormalTable>(1234u);

    // Gives the dialog seeded runs and returns every value its progress bar takes from now on.
    std::shared_ptr<QList<int>> watch(Sigma &dialog, RunOptions options = {})
    {
        options.table = table_.get();
        dialog.setRunOptions(options);
        auto values = std::make_shared<QList<int>>();
        connect(dialog.findChild<QProgressBar *>(), &QProgressBar::valueChanged, &dialog,
            [values](int value) { values->append(value); });
        return values;
    }

private slots:
    void cleanup() { QCOMPARE(leakedTopLevelWidgets(), QStringList()); }

    void previewCrop_data()
    {
        QTest::addColumn<QSize>("imageSize");
        QTest::addColumn<QRect>("crop");
        QTest::newRow("1000x800") << QSize(1000, 800) << QRect(QPoint(372, 272), QPoint(627, 527));
        QTest::newRow("200x100") << QSize(200, 100) << QRect(QPoint(0, 0), QPoint(198, 98));
        QTest::newRow("16x16") << QSize(16, 16) << QRect(QPoint(0, 0), QPoint(14, 14));
    }

    void previewCrop()
    {
        QFETCH(QSize, imageSize);
        QFETCH(QRect, crop);
        QCOMPARE(::previewCrop(imageSize), crop);
    }

    void releaseStoresTheLevelAndPreviewsOnce()
    {
        QImage image = noiseImage(100, 80);
        const QImage before = image.copy();
        int sigma = 0;
        Sigma dialog(&image, &sigma);
        const auto bar = watch(dialog);
        const QImage crop = preview(dialog);
        QCOMPARE(crop, image.copy(::previewCrop(image.size())));
        QCOMPARE(level(dialog), "0");
        QVERIFY(dialog.isModal() && dialog.windowTitle().isEmpty());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        slider(dialog)->setFocus();

        // Dragging only relabels; the release stores the level and computes the preview once.
        slider(dialog)->setSliderDown(true);
        slider(dialog)->setValue(30);
        QCOMPARE(level(dialog), "30");
        QCOMPARE(sigma, 0);
        QCOMPARE(*bar, QList<int>());
        slider(dialog)->setSliderDown(false);
        QCOMPARE(sigma, 30);
        QCOMPARE(bar->count(100), 1);
        QCOMPARE(bar->last(), 0);
        const QImage denoised = preview(dialog);
        QCOMPARE(denoised.size(), crop.size());
        QVERIFY(denoised != crop);
        QCOMPARE(image, before);
        // The run disabled the focused slider; it has the focus back, so Return means OK.
        QCOMPARE(dialog.focusWidget(), slider(dialog));

        // The keyboard moves the value and its label only.
        QTest::keyClick(slider(dialog), Qt::Key_Right);
        QCOMPARE(level(dialog), "31");
        QCOMPARE(sigma, 30);
        QCOMPARE(preview(dialog), denoised);

        // Released at 0: the crop as it is, and nothing computed.
        releaseAt(slider(dialog), 0);
        QCOMPARE(sigma, 0);
        QCOMPARE(preview(dialog), crop);
        QCOMPARE(bar->count(100), 1);
    }

    void buttons_data()
    {
        QTest::addColumn<int>("release"); // -1: moved to 40 without a release
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("sigma");
        QTest::addColumn<int>("runs");
        QTest::newRow("OK, never released")
            << -1 << int(QDialogButtonBox::Ok) << int(QDialog::Accepted) << 0 << 0;
        QTest::newRow("OK after a preview")
            << 20 << int(QDialogButtonBox::Ok) << int(QDialog::Accepted) << 20 << 2;
        QTest::newRow("Cancel after a preview")
            << 25 << int(QDialogButtonBox::Cancel) << int(QDialog::Rejected) << 0 << 1;
    }

    void buttons()
    {
        QFETCH(int, release);
        QFETCH(int, button);
        QFETCH(int, result);
        QFETCH(int, sigma);
        QFETCH(int, runs);
        QImage image = noiseImage(60, 40).convertToFormat(QImage::Format_ARGB32);
        const QImage before = image.copy();
        int level = 0;
        Sigma dialog(&image, &level);
        const auto bar = watch(dialog);
        QTimer::singleShot(0, &dialog, [&] {
            if (release < 0)
                slider(dialog)->setValue(40);
            else
                releaseAt(slider(dialog), release);
            ::button(dialog, button)->click();
        });
        QCOMPARE(dialog.exec(), result);
        QCOMPARE(level, sigma);
        QCOMPARE(bar->isEmpty(), runs == 0);
        QCOMPARE(bar->count(100), runs);
        QCOMPARE(bar->value(bar->size() - 1, 0), 0);
        QCOMPARE(image.format(), QImage::Format_ARGB32);
        QCOMPARE(image != before, runs == 2);
    }

    void progressSequence_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<QList<int>>("values");
        QTest::newRow("200 rows") << 200
                                  << QList<int> {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 0};
        QTest::newRow("15 rows") << 15
                                 << QList<int> {0, 6, 13, 20, 26, 33, 40, 46, 53, 60, 66, 73, 80,
                                        86, 93, 100, 0};
    }

    void progressSequence()
    {
        QFETCH(int, rows);
        QFETCH(QList<int>, values);
        QImage image = noiseImage(30, rows);
        int level = 0;
        Sigma dialog(&image, &level);
        const auto bar = watch(dialog);
        dialog.denoiseImage(&image, 30);
        QCOMPARE(*bar, values);
    }

    void boxes_data()
    {
        QTest::addColumn<QImage::Format>("format");
        QTest::addColumn<qint64>("memoryLimit");
        QTest::addColumn<QString>("text");
        QTest::newRow("indexed image") << QImage::Format_Indexed8 << qint64(-1)
                                       << "<p><center>This algorithm only supports RGB or "
                                          "Grayscale color model</center></p>";
        QTest::newRow("not enough memory")
            << QImage::Format_RGB32 << qint64(1000)
            << "<p><center>Not enough memory to denoise this image</center></p>";
    }

    void boxes()
    {
        QFETCH(QImage::Format, format);
        QFETCH(qint64, memoryLimit);
        QFETCH(QString, text);
        QImage image = noiseImage(60, 40).convertToFormat(format);
        const QImage before = image.copy();
        int level = 30;
        Sigma dialog(&image, &level);
        RunOptions options;
        options.memoryLimit = memoryLimit;
        const auto bar = watch(dialog, options);
        ModalDriver driver;
        QString shownTitle, shownText;
        QWidget *parent = nullptr;
        driver.expect<QMessageBox>([&](QMessageBox *box) {
            parent = box->parentWidget();
            shownTitle = box->windowTitle();
            shownText = box->text();
            box->button(QMessageBox::Ok)->click();
        });
        QTimer::singleShot(
            0, &dialog, [&dialog] { button(dialog, QDialogButtonBox::Ok)->click(); });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QCOMPARE(driver.problems(), QString());
        QCOMPARE(shownTitle, "Error");
        QCOMPARE(shownText, text);
        QCOMPARE(parent, &dialog);
        QCOMPARE(image, before);
        QCOMPARE(*bar, QList<int> {0});
    }

    void stopDuringRun_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("duringPreview");
        QTest::newRow("Cancel during OK") << "cancel" << false;
        QTest::newRow("Escape during OK") << "escape" << false;
        QTest::newRow("close button during OK") << "close" << false;
        QTest::newRow("Cancel during a preview") << "cancel" << true;
    }

    void stopDuringRun()
    {
        QFETCH(QString, how);
        QFETCH(bool, duringPreview);
        // Large enough to be split over two threads, and to take a while.
        QImage image = noiseImage(600, 600);
        const QImage before = image.copy();
        const uchar *bits = image.constBits();
        int level = duringPreview ? 0 : 30;
        Sigma dialog(&image, &level);
        std::atomic<int> rows {0};
        BandSeams seams;
        seams.atRow = [&rows](int, int) { ++rows; };
        RunOptions options;
        options.threads = 2;
        options.seams = &seams;
        const auto bar = watch(dialog, options);
        const QImage previewBefore = preview(dialog);

        // At the first report after 0, while the run is under way, the user stops it.
        QString during;
        connect(dialog.findChild<QProgressBar *>(), &QProgressBar::valueChanged, &dialog,
            [&](int value) {
                if (value == 0 || !during.isEmpty())
                    return;
                during = QStringLiteral("slider %1, OK %2, Cancel %3")
                             .arg(slider(dialog)->isEnabled())
                             .arg(button(dialog, QDialogButtonBox::Ok)->isEnabled())
                             .arg(button(dialog, QDialogButtonBox::Cancel)->isEnabled());
                QTimer::singleShot(0, &dialog, [&dialog, how] {
                    if (how == "cancel")
                        QTest::mouseClick(button(dialog, QDialogButtonBox::Cancel), Qt::LeftButton);
                    else if (how == "escape")
                        QTest::keyClick(&dialog, Qt::Key_Escape);
                    else
                        dialog.close();
                });
            });
        QTimer::singleShot(0, &dialog, [&dialog, duringPreview] {
            if (duringPreview)
                releaseAt(slider(dialog), 30);
            else
                button(dialog, QDialogButtonBox::Ok)->click();
        });

        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QCOMPARE(during, "slider 0, OK 0, Cancel 1");
        QVERIFY(!dialog.isVisible());
        QCOMPARE(level, 0);
        QCOMPARE(image.constBits(), bits);
        QCOMPARE(image, before);
        QCOMPARE(bar->count(100), 0);
        QCOMPARE(bar->last(), 0);
        QCOMPARE(preview(dialog), previewBefore);
        // Stopped early: a full run starts every row once (256 for the preview crop).
        const int fullRun = duringPreview ? 256 : 600;
        QVERIFY2(
            rows < fullRun / 2, qPrintable(QString("%1 of %2 rows").arg(rows.load()).arg(fullRun)));
    }
};

QTEST_MAIN(tst_Sigma)
#include "tst_sigma.moc"
