// The Denoise dialog: preview crop, slider release, OK and Cancel, progress, boxes, stopping a run.
#include "core/band_runner.h"
#include "core/sample_tables.h"
#include "denoise/sigma.h"
#include "gui/modal_driver.h"
#include "gui/testutils.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QtTest>

#include <atomic>
#include <memory>

static QPushButton *button(Sigma &dialog, QDialogButtonBox::StandardButton which)
{
    return dialog.findChild<QDialogButtonBox *>()->button(which);
}

static QSlider *slider(Sigma &dialog)
{
    return dialog.findChild<QSlider *>();
}

// The label beside the slider that shows its value.
static QLabel *valueLabel(Sigma &dialog)
{
    return slider(dialog)->parentWidget()->findChild<QLabel *>();
}

static QWidget *preview(Sigma &dialog)
{
    return dialog.findChild<QScrollArea *>()->widget();
}

static QImage previewImage(Sigma &dialog)
{
    const auto *label = qobject_cast<QLabel *>(preview(dialog));
    return label ? label->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_RGB32)
                 : QImage();
}

// Every value the progress bar takes from now on.
static std::shared_ptr<QList<int>> recordBar(Sigma &dialog)
{
    auto values = std::make_shared<QList<int>>();
    QObject::connect(dialog.findChild<QProgressBar *>(), &QProgressBar::valueChanged, &dialog,
        [values](int value) { values->append(value); });
    return values;
}

static QPoint handleCentre(const QSlider *slider)
{
    QStyleOptionSlider option;
    option.initFrom(slider);
    option.orientation = slider->orientation();
    option.state |= QStyle::State_Horizontal;
    option.minimum = slider->minimum();
    option.maximum = slider->maximum();
    option.sliderPosition = slider->sliderPosition();
    option.sliderValue = slider->value();
    option.singleStep = slider->singleStep();
    option.pageStep = slider->pageStep();
    option.subControls = QStyle::SC_All;
    return slider->style()
        ->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, slider)
        .center();
}

// What a slider release does, without the mouse.
static void releaseAt(QSlider *slider, int value)
{
    slider->setSliderDown(true);
    slider->setValue(value);
    slider->setSliderDown(false);
}

class tst_Sigma : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void previewCrop_data();
    void previewCrop();
    void previewShowsTheCentreCrop();
    void releaseStoresTheLevelAndPreviewsOnce();
    void okWithoutReleaseAccepts();
    void okDenoisesAndAccepts();
    void cancelAfterPreviewLeavesTheImage();
    void progressSequence_data();
    void progressSequence();
    void boxes_data();
    void boxes();
    void stopDuringRun_data();
    void stopDuringRun();

private:
    RunOptions seeded() const
    {
        RunOptions options;
        options.table = table.get();
        return options;
    }

    std::unique_ptr<NormalTable> table;
};

void tst_Sigma::initTestCase()
{
    table = std::make_unique<NormalTable>(1234u);
}

void tst_Sigma::cleanup()
{
    QCOMPARE(leakedTopLevelWidgets(), QStringList());
}

void tst_Sigma::previewCrop_data()
{
    QTest::addColumn<QSize>("imageSize");
    QTest::addColumn<QRect>("crop");
    QTest::newRow("1000 x 800") << QSize(1000, 800) << QRect(QPoint(372, 272), QPoint(627, 527));
    QTest::newRow("200 x 100") << QSize(200, 100) << QRect(QPoint(0, 0), QPoint(198, 98));
    QTest::newRow("16 x 16") << QSize(16, 16) << QRect(0, 0, 15, 15);
    QTest::newRow("257 x 256") << QSize(257, 256) << QRect(0, 0, 256, 255);
    QTest::newRow("15 x 4000") << QSize(15, 4000) << QRect(0, 1872, 14, 256);
}

void tst_Sigma::previewCrop()
{
    QFETCH(QSize, imageSize);
    QFETCH(QRect, crop);
    QCOMPARE(::previewCrop(imageSize), crop);
}

void tst_Sigma::previewShowsTheCentreCrop()
{
    QImage image = patternImage(1000, 800);
    int level = 0;
    Sigma dialog(&image, &level);
    QCOMPARE(previewImage(dialog), image.copy(372, 272, 256, 256));
    QCOMPARE(valueLabel(dialog)->text(), QStringLiteral("0"));
    QVERIFY(dialog.isModal());
    QVERIFY(dialog.windowTitle().isEmpty());
}

void tst_Sigma::releaseStoresTheLevelAndPreviewsOnce()
{
    QImage image = noiseImage(100, 80);
    const QImage before = image.copy();
    int level = 0;
    Sigma dialog(&image, &level);
    dialog.setRunOptions(seeded());
    const auto bar = recordBar(dialog);
    const QImage crop = previewImage(dialog);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    // Drag the handle to the right until it stands at 30 or just beyond.
    QSlider *handle = slider(dialog);
    QPoint pos = handleCentre(handle);
    QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, pos);
    QVERIFY(handle->isSliderDown());
    QStringList labels;
    while (handle->value() < 30 && pos.x() < handle->width()) {
        pos.rx() += 1;
        QMouseEvent move(QEvent::MouseMove, pos, handle->mapToGlobal(pos), Qt::NoButton,
            Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(handle, &move);
        QCOMPARE(valueLabel(dialog)->text(), QString::number(handle->value()));
        if (labels.isEmpty() || labels.last() != valueLabel(dialog)->text())
            labels.append(valueLabel(dialog)->text());
    }
    const int released = handle->value();
    QVERIFY2(released >= 30 && released <= 32, qPrintable(QString::number(released)));
    QVERIFY(labels.size() > 5);
    QCOMPARE(level, 0);
    QVERIFY(bar->isEmpty());

    QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, pos);
    QCOMPARE(level, released);
    QCOMPARE(bar->count(100), 1);
    QCOMPARE(bar->last(), 0);
    const QImage denoised = previewImage(dialog);
    QCOMPARE(denoised.size(), crop.size());
    QVERIFY(denoised != crop);
    QCOMPARE(image, before);

    // The keyboard moves the value and its label only.
    handle->setFocus();
    QTest::keyClick(handle, Qt::Key_Right);
    QCOMPARE(valueLabel(dialog)->text(), QString::number(released + 1));
    QCOMPARE(level, released);
    QCOMPARE(bar->count(100), 1);
    QCOMPARE(previewImage(dialog), denoised);

    // Back to 0: the preview shows the crop as it is, and nothing is computed.
    releaseAt(handle, 0);
    QCOMPARE(level, 0);
    QCOMPARE(previewImage(dialog), crop);
    QCOMPARE(bar->count(100), 1);
}

void tst_Sigma::okWithoutReleaseAccepts()
{
    QImage image = noiseImage(60, 40);
    const QImage before = image.copy();
    int level = 0;
    Sigma dialog(&image, &level);
    dialog.setRunOptions(seeded());
    const auto bar = recordBar(dialog);
    // Moved without a release: the level stays 0.
    QTimer::singleShot(0, &dialog, [&dialog] {
        slider(dialog)->setValue(40);
        button(dialog, QDialogButtonBox::Ok)->click();
    });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(level, 0);
    QCOMPARE(image, before);
    QVERIFY(bar->isEmpty());
}

void tst_Sigma::okDenoisesAndAccepts()
{
    QImage image = noiseImage(60, 40).convertToFormat(QImage::Format_ARGB32);
    const QImage before = image.copy();
    int level = 0;
    Sigma dialog(&image, &level);
    dialog.setRunOptions(seeded());
    const auto bar = recordBar(dialog);
    QTimer::singleShot(0, &dialog, [&dialog] {
        releaseAt(slider(dialog), 20);
        button(dialog, QDialogButtonBox::Ok)->click();
    });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(level, 20);
    QCOMPARE(bar->count(100), 2); // the preview, then the image
    QCOMPARE(bar->last(), 0);
    QCOMPARE(image.format(), QImage::Format_ARGB32);
    QCOMPARE(image.size(), before.size());
    QVERIFY(image != before);
}

void tst_Sigma::cancelAfterPreviewLeavesTheImage()
{
    QImage image = noiseImage(60, 40);
    const QImage before = image.copy();
    int level = 0;
    Sigma dialog(&image, &level);
    dialog.setRunOptions(seeded());
    const auto bar = recordBar(dialog);
    QTimer::singleShot(0, &dialog, [&dialog] {
        releaseAt(slider(dialog), 25);
        button(dialog, QDialogButtonBox::Cancel)->click();
    });
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QCOMPARE(bar->count(100), 1);
    QCOMPARE(level, 0);
    QCOMPARE(image, before);
}

void tst_Sigma::progressSequence_data()
{
    QTest::addColumn<QSize>("imageSize");
    QTest::addColumn<QList<int>>("values");
    QTest::newRow("200 rows") << QSize(40, 200)
                              << QList<int> {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 0};
    QTest::newRow("15 rows") << QSize(
        30, 15) << QList<int> {0, 6, 13, 20, 26, 33, 40, 46, 53, 60, 66, 73, 80, 86, 93, 100, 0};
}

void tst_Sigma::progressSequence()
{
    QFETCH(QSize, imageSize);
    QFETCH(QList<int>, values);
    QImage image = noiseImage(imageSize.width(), imageSize.height());
    int level = 0;
    Sigma dialog(&image, &level);
    dialog.setRunOptions(seeded());
    const auto bar = recordBar(dialog);
    dialog.denoiseImage(&image, 30);
    QCOMPARE(*bar, values);
}

void tst_Sigma::boxes_data()
{
    QTest::addColumn<QImage::Format>("format");
    QTest::addColumn<qint64>("memoryLimit");
    QTest::addColumn<QString>("text");
    QTest::newRow("indexed image")
        << QImage::Format_Indexed8 << qint64(-1)
        << QStringLiteral(
               "<p><center>This algorithm only supports RGB or Grayscale color model</center></p>");
    QTest::newRow("not enough memory")
        << QImage::Format_RGB32 << qint64(1000)
        << QStringLiteral("<p><center>Not enough memory to denoise this image</center></p>");
}

void tst_Sigma::boxes()
{
    QFETCH(QImage::Format, format);
    QFETCH(qint64, memoryLimit);
    QFETCH(QString, text);
    QImage image = noiseImage(60, 40).convertToFormat(format);
    const QImage before = image.copy();
    int level = 30;
    Sigma dialog(&image, &level);
    RunOptions options = seeded();
    options.memoryLimit = memoryLimit;
    dialog.setRunOptions(options);
    const auto bar = recordBar(dialog);

    ModalDriver driver;
    QString shownTitle;
    QString shownText;
    QWidget *parent = nullptr;
    driver.expect<QMessageBox>([&](QMessageBox *box) {
        shownTitle = box->windowTitle();
        shownText = box->text();
        parent = box->parentWidget();
        box->button(QMessageBox::Ok)->click();
    });
    QTimer::singleShot(0, &dialog, [&dialog] { button(dialog, QDialogButtonBox::Ok)->click(); });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(driver.unexpected(), QStringList());
    QCOMPARE(driver.pendingSteps(), 0);
    QCOMPARE(shownTitle, QStringLiteral("Error"));
    QCOMPARE(shownText, text);
    QCOMPARE(parent, &dialog);
    QCOMPARE(image, before);
    QCOMPARE(*bar, QList<int> {0});
}

void tst_Sigma::stopDuringRun_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("duringPreview");
    QTest::newRow("Cancel during OK") << QStringLiteral("cancel") << false;
    QTest::newRow("Escape during OK") << QStringLiteral("escape") << false;
    QTest::newRow("close button during OK") << QStringLiteral("close") << false;
    QTest::newRow("Cancel during a preview") << QStringLiteral("cancel") << true;
}

void tst_Sigma::stopDuringRun()
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
    RunOptions options = seeded();
    options.threads = 2;
    options.seams = &seams;
    dialog.setRunOptions(options);
    const auto bar = recordBar(dialog);
    const QWidget *previewBefore = preview(dialog);

    // At the second progress report, while the run is under way, the user stops it.
    bool stopped = false;
    bool sliderEnabled = true;
    bool okEnabled = true;
    bool cancelEnabled = false;
    connect(
        dialog.findChild<QProgressBar *>(), &QProgressBar::valueChanged, &dialog, [&](int value) {
            if (value == 0 || stopped)
                return;
            stopped = true;
            sliderEnabled = slider(dialog)->isEnabled();
            okEnabled = button(dialog, QDialogButtonBox::Ok)->isEnabled();
            cancelEnabled = button(dialog, QDialogButtonBox::Cancel)->isEnabled();
            QTimer::singleShot(0, &dialog, [&dialog, how] {
                if (how == QLatin1String("cancel"))
                    QTest::mouseClick(button(dialog, QDialogButtonBox::Cancel), Qt::LeftButton);
                else if (how == QLatin1String("escape"))
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
    QVERIFY(stopped);
    QVERIFY(!sliderEnabled);
    QVERIFY(!okEnabled);
    QVERIFY(cancelEnabled);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(level, 0);
    QCOMPARE(image.constBits(), bits);
    QCOMPARE(image, before);
    QCOMPARE(bar->count(100), 0);
    QCOMPARE(bar->last(), 0);
    QCOMPARE(preview(dialog), previewBefore);
    // Stopped early: a full run starts every row once (256 for the preview crop).
    const int fullRun = duringPreview ? 256 : 600;
    QVERIFY2(rows.load() < fullRun / 2,
        qPrintable(QStringLiteral("%1 of %2 rows").arg(rows.load()).arg(fullRun)));
}

QTEST_MAIN(tst_Sigma)
#include "tst_sigma.moc"
