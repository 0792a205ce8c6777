// The Denoise dialog: preview crop, slider, OK and Cancel, boxes and stopping a run.
#include "core/sample_tables.h"
#include "denoise/noise_plot.h"
#include "denoise/sigma.h"
#include "gui/modal_driver.h"
#include "gui/testutils.h"
#include "image/image_denoise.h"

#include <QtTest>
#include <QtWidgets>

// A shown dialog on a copy of `picture` with seeded runs, and every value its progress bar takes.
struct Fixture
{
    explicit Fixture(const QImage &picture, int startLevel = 0, qint64 memoryLimit = -1)
        : image(picture)
        , before(picture.copy())
        , level(startLevel)
        , dialog(&image, &level, seeded(memoryLimit))
    {
        QObject::connect(
            dialog.findChild<QProgressBar *>(), &QProgressBar::valueChanged, [this](int value) {
                bar.append(value);
                if (value > 0 && atFirstReport)
                    std::exchange(atFirstReport, nullptr)();
            });
        ok = dialog.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
        cancel = dialog.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Cancel);
        dialog.show();
    }

    static RunOptions seeded(qint64 memoryLimit)
    {
        static const NormalTable table(1234u);
        RunOptions options;
        options.table = &table;
        options.memoryLimit = memoryLimit;
        return options;
    }
    QSlider *slider() { return dialog.findChild<QSlider *>(); }
    template<typename W>
    W *find(const QString &start)
    {
        for (W *widget : dialog.findChildren<W *>())
            if (widget->text().startsWith(start))
                return widget;
        return nullptr;
    }
    QImage preview() { return shownImage(&dialog); }

    QImage image;
    const QImage before;
    int level;
    Sigma dialog;
    QPushButton *ok;
    QPushButton *cancel;
    QList<int> bar;
    std::function<void()> atFirstReport; // called once, at the first report after 0
};

class tst_Sigma : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QCOMPARE(leakedTopLevelWidgets(), QStringList()); }

    // Moving the slider relabels and sets the level; a release, "Use estimate", a drag of the crop
    // and keys or wheel once the value has rested preview once, Compare and C only show. OK writes
    // the pixels the preview showed: both draw from one table, and the preview denoises its crop
    // with a border of the image around it, at its place. Noise of one level everywhere has a
    // flat curve and no model to turn off; a camera's, stronger in the shadows, opens with the
    // model on: "Use estimate" goes to the model's level of the evened noise, and the preview and
    // OK even the noise out by the one transform measured on the whole image.
    void previewThenOk_data()
    {
        QTest::addColumn<bool>("camera");
        QTest::newRow("uniform noise") << false;
        QTest::newRow("camera noise, the model on") << true;
    }

    void previewThenOk()
    {
        QFETCH(bool, camera);
        Fixture f(camera ? cameraImage(600, 500, 7)
                         : noisyRamp(600, 500, 12.0, 4).convertToFormat(QImage::Format_RGB32));
        const std::optional<float> estimate = estimateImageNoise(f.before);
        const std::optional<ImageNoiseModel> model = measureImageNoiseModel(f.before);
        QVERIFY(estimate && model && (model->transform.has_value() == camera));
        QCOMPARE(f.find<QLabel>("Estimated noise: ")->text(),
            QString("Estimated noise: %1").arg(double(*estimate), 0, 'f', 1));
        const auto *evenOut = f.find<QCheckBox>("Even out camera noise");
        QCOMPARE(evenOut->isVisibleTo(&f.dialog) && evenOut->isChecked(), camera);
        const auto original = [&f](int x, int y) { return f.before.copy(x, y, 256, 256); };
        COMPARE_IMAGES(f.preview(), original(172, 122));
        QVERIFY(QTest::qWaitForWindowExposed(&f.dialog));
        f.slider()->setFocus();
        f.slider()->setSliderDown(true);
        f.slider()->setValue(25);
        QCOMPARE(f.slider()->parentWidget()->findChild<QLabel *>()->text(), "25");
        QCOMPARE(f.level, 25);
        QTest::qWait(2 * Sigma::kPreviewRest);
        QVERIFY(f.bar.isEmpty());
        f.slider()->setSliderDown(false);
        QCOMPARE(f.level, 25);
        QCOMPARE(f.bar.count(100), 1);
        QVERIFY(f.preview() != original(172, 122));
        COMPARE_IMAGES(f.image, f.before);
        // The run disabled the focused slider; it has the focus back, so Return means OK.
        QCOMPARE(f.dialog.focusWidget(), f.slider());
        f.find<QPushButton>("Use estimate")->click();
        const int estimated = camera ? model->level : noiseLevelFor(*estimate);
        QCOMPARE(f.level, estimated);

        QWidget *area = f.dialog.findChild<QScrollArea *>()->viewport();
        QTest::mousePress(area, Qt::LeftButton, {}, {100, 100});
        QMouseEvent drag(QEvent::MouseMove, {-2000, 3000}, Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(area, &drag);
        QTest::mouseRelease(area, Qt::LeftButton, {}, {-2000, 3000});
        const QImage denoised = f.preview();
        QVERIFY(denoised != original(344, 0));
        QTest::mousePress(f.find<QPushButton>("Compare"), Qt::LeftButton);
        COMPARE_IMAGES(f.preview(), original(344, 0));
        QTest::mouseRelease(f.find<QPushButton>("Compare"), Qt::LeftButton);
        COMPARE_IMAGES(f.preview(), denoised);
        QTest::keyPress(&f.dialog, Qt::Key_C);
        COMPARE_IMAGES(f.preview(), original(344, 0));
        QTest::keyRelease(&f.dialog, Qt::Key_C);
        COMPARE_IMAGES(f.preview(), denoised);

        // A key and a wheel notch (three steps) set the level at once; it is previewed once it
        // has rested, and OK applies it.
        QTest::keyClick(f.slider(), Qt::Key_PageUp);
        QWheelEvent wheel(QPointF(5, 5), f.slider()->mapToGlobal(QPoint(5, 5)), {}, {0, 120},
            Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(f.slider(), &wheel);
        QCOMPARE(f.level, estimated + 13);
        QCOMPARE(f.bar.count(100), 3);
        QTRY_COMPARE(f.bar.count(100), 4);
        const QImage rested = f.preview();
        QVERIFY(rested != denoised);
        f.ok->click();
        QCOMPARE(f.dialog.result(), int(QDialog::Accepted));
        QCOMPARE(f.bar.count(100), 5);
        QImage expected = f.before;
        QCOMPARE(denoiseQImage(expected, {f.level, Fixture::seeded(-1), model->transform}),
            RunStatus::Done);
        COMPARE_IMAGES(f.image, expected);
        // A walk may cross the border now and then: a pixel in a thousand may differ.
        QCOMPARE(imageDifference(rested, f.image.copy(344, 0, 256, 256), 1), QString());
    }

    // The curve is plotted in the channels' colours. The box turns the model off and on again,
    // and each time the preview shows the change.
    void noiseModelBox()
    {
        Fixture f(cameraImage(300, 200, 7));
        const QImage plot = f.dialog.findChild<NoisePlot *>()->grab().toImage();
        QString lines; // the channels whose colour stands out somewhere: their lines
        for (int i = 0; i < plot.width() * plot.height(); ++i) {
            const QColor p = plot.pixelColor(i % plot.width(), i / plot.width());
            const int mean = (p.red() + p.green() + p.blue()) / 3;
            for (const auto &[c, value] :
                {std::pair('r', p.red()), {'g', p.green()}, {'b', p.blue()}})
                lines += value > mean + 50 && !lines.contains(c) ? QString(c) : QString();
        }
        QCOMPARE(lines.size(), 3);
        releaseAt(f.slider(), 20);
        const QImage evened = f.preview();
        f.find<QCheckBox>("Even out camera noise")->click();
        QVERIFY(f.preview() != evened);
        f.find<QCheckBox>("Even out camera noise")->click();
        COMPARE_IMAGES(f.preview(), evened);
    }

    // An image of 256 pixels or less a side is previewed whole. Without noise there is no
    // estimate to use and no curve to plot. A level below 1 starts no run: a box says so, the
    // image stays and the window is told.
    void smallFlatImage()
    {
        QImage flat = filledImage(200, 100, QImage::Format_RGB32, qRgb(90, 120, 200));
        flat.setPixel(199, 99, qRgb(0, 0, 0));
        Fixture f(flat);
        COMPARE_IMAGES(f.preview(), flat);
        QCOMPARE(f.find<QLabel>("Estimated noise: ")->text(), "Estimated noise: none found");
        QVERIFY(!f.find<QPushButton>("Use estimate")->isEnabled());
        QVERIFY(!f.dialog.findChild<NoisePlot *>());
        ModalDriver driver;
        QString title, text;
        driver.acceptBox(&title, &text);
        QCOMPARE(f.dialog.denoiseImage(&f.image, 0), RunStatus::InvalidLevel);
        QCOMPARE(driver.problems() + title + text,
            "Error<p><center>The noise level must be 1 or more</center></p>");
        COMPARE_IMAGES(f.image, f.before);
        QVERIFY(!f.dialog.denoised());
    }

    // A run that ends early, through a box or the user's stop, leaves the image as it was and the
    // bar at 0. While it runs, the slider and OK are disabled and Cancel is not.
    void runEndsEarly_data()
    {
        QTest::addColumn<QImage::Format>("format");
        QTest::addColumn<qint64>("memoryLimit");
        QTest::addColumn<QString>("stop"); // how the user stops the run, or the box it shows
        QTest::newRow("indexed image")
            << QImage::Format_Indexed8 << qint64(-1)
            << "<p><center>This algorithm only supports RGB or Grayscale color model</center></p>";
        QTest::newRow("not enough memory")
            << QImage::Format_RGB32 << qint64(1000)
            << "<p><center>Not enough memory to denoise this image</center></p>";
        QTest::newRow("Cancel during OK") << QImage::Format_RGB32 << qint64(-1) << "cancel";
        QTest::newRow("Escape during OK") << QImage::Format_RGB32 << qint64(-1) << "escape";
        QTest::newRow("Cancel during a preview") << QImage::Format_RGB32 << qint64(-1) << "preview";
    }

    void runEndsEarly()
    {
        QFETCH(QImage::Format, format);
        QFETCH(qint64, memoryLimit);
        QFETCH(QString, stop);
        const bool box = stop.startsWith('<');
        Fixture f(
            noiseImage(600, 600).convertToFormat(format), stop == "preview" ? 0 : 30, memoryLimit);
        ModalDriver driver;
        QString title, text;
        if (box)
            driver.acceptBox(&title, &text);
        QList<bool> during; // slider, OK and Cancel enabled while the run is under way
        f.atFirstReport = [&] {
            during = {f.slider()->isEnabled(), f.ok->isEnabled(), f.cancel->isEnabled()};
            if (stop == "escape")
                QTest::keyClick(&f.dialog, Qt::Key_Escape);
            else
                QTest::mouseClick(f.cancel, Qt::LeftButton);
        };
        if (stop == "preview")
            releaseAt(f.slider(), 30);
        else
            f.ok->click();

        QCOMPARE(f.dialog.result(), int(box ? QDialog::Accepted : QDialog::Rejected));
        QCOMPARE(driver.problems(), QString());
        QCOMPARE(title + text, box ? "Error" + stop : "");
        QCOMPARE(during, box ? QList<bool>() : QList<bool>({false, false, true}));
        QCOMPARE(f.level, box ? 30 : 0);
        COMPARE_IMAGES(f.image, f.before);
        QCOMPARE(f.bar.last(), 0);
    }
};

QTEST_MAIN(tst_Sigma)
#include "tst_sigma.moc"
