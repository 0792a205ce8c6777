// The Denoise dialog: preview crop, slider, OK and Cancel, progress, boxes and stopping a run.
#include "core/run_hooks.h"
#include "core/sample_tables.h"
#include "denoise/sigma.h"
#include "gui/modal_driver.h"
#include "gui/testutils.h"

#include <QtTest>
#include <QtWidgets>

#include <atomic>

// A dialog on a copy of `picture` with seeded runs, and every value its progress bar takes.
struct Fixture
{
    explicit Fixture(const QImage &picture, int startLevel = 0, RunOptions options = {})
        : image(picture)
        , before(picture.copy())
        , level(startLevel)
        , dialog(&image, &level)
    {
        static const NormalTable table(1234u);
        options.table = &table;
        dialog.setRunOptions(options);
        QObject::connect(dialog.findChild<QProgressBar *>(), &QProgressBar::valueChanged,
            [this](int value) { bar.append(value); });
    }

    QSlider *slider() { return dialog.findChild<QSlider *>(); }
    QString label() { return slider()->parentWidget()->findChild<QLabel *>()->text(); }
    QPushButton *button(int which)
    {
        return dialog.findChild<QDialogButtonBox *>()->button(
            QDialogButtonBox::StandardButton(which));
    }
    QPushButton *button(const QString &text)
    {
        for (QPushButton *button : dialog.findChildren<QPushButton *>())
            if (button->text() == text)
                return button;
        return nullptr;
    }
    QStringList estimateTexts()
    {
        QStringList all;
        for (const QLabel *label : dialog.findChildren<QLabel *>())
            all << label->text();
        return all.filter("Estimated noise: ");
    }
    QImage preview()
    {
        const auto *shown = qobject_cast<QLabel *>(dialog.findChild<QScrollArea *>()->widget());
        return shown->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_RGB32);
    }

    QImage image;
    const QImage before;
    int level;
    Sigma dialog;
    QList<int> bar;
};

class tst_Sigma : public QObject
{
    Q_OBJECT

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

    // The preview shows the pixels OK then writes: both draw from the dialog's table, and the
    // preview denoises its crop with a border of the image around it, at the crop's place.
    void previewIsTheResult_data()
    {
        QTest::addColumn<QImage>("picture");
        QTest::addColumn<int>("level");
        QTest::newRow("colour 500 x 420, level 25") << noiseImage(500, 420, 7) << 25;
        QTest::newRow("gray 460 x 300, level 60")
            << noiseImage(460, 300, 8).convertToFormat(QImage::Format_Grayscale8) << 60;
    }

    void previewIsTheResult()
    {
        QFETCH(QImage, picture);
        QFETCH(int, level);
        Fixture f(picture);
        QTimer::singleShot(0, &f.dialog, [&f, level] {
            releaseAt(f.slider(), level);
            f.button(QDialogButtonBox::Ok)->click();
        });
        QCOMPARE(f.dialog.exec(), int(QDialog::Accepted));
        const QImage preview = f.preview();
        const QImage result = f.image.convertToFormat(QImage::Format_RGB32);
        const QImage before = f.before.convertToFormat(QImage::Format_RGB32);
        const QRect crop = ::previewCrop(picture.size());
        QCOMPARE(preview.size(), crop.size());
        int same = 0;
        int unchanged = 0;
        for (int y = 0; y < crop.height(); ++y) {
            for (int x = 0; x < crop.width(); ++x) {
                const QRgb shownPixel = preview.pixel(x, y);
                same += shownPixel == result.pixel(crop.x() + x, crop.y() + y);
                unchanged += shownPixel == before.pixel(crop.x() + x, crop.y() + y);
            }
        }
        const int pixels = crop.width() * crop.height();
        QVERIFY2(
            same * 1000 >= pixels * 999, qPrintable(QString("%1 of %2").arg(same).arg(pixels)));
        QVERIFY(unchanged * 2 < pixels); // it was denoised
    }

    // Dragging in the preview moves the crop, never beyond the image, and a release previews
    // the new place once at the stored level; Compare and the C key show the undenoised crop
    // while held and recompute nothing.
    void dragAndCompare()
    {
        Fixture f(noiseImage(600, 500, 5)); // the crop starts at (172, 122)
        f.dialog.show();
        QWidget *area = f.dialog.findChild<QScrollArea *>()->viewport();
        const auto mouse = [area](QEvent::Type type, QPoint pos, Qt::MouseButtons buttons) {
            QMouseEvent event(type, pos, type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                buttons, Qt::NoModifier);
            QApplication::sendEvent(area, &event);
        };
        const auto original = [&f](int x, int y) { return f.before.copy(x, y, 256, 256); };
        releaseAt(f.slider(), 20);
        QCOMPARE(f.bar.count(100), 1);

        mouse(QEvent::MouseButtonPress, {100, 100}, Qt::LeftButton);
        mouse(QEvent::MouseMove, {40, 70}, Qt::LeftButton);
        QCOMPARE(f.preview(), original(232, 152));
        mouse(QEvent::MouseMove, {-2000, 3000}, Qt::LeftButton);
        QCOMPARE(f.preview(), original(344, 0));
        QCOMPARE(f.bar.count(100), 1);
        mouse(QEvent::MouseButtonRelease, {-2000, 3000}, Qt::NoButton);
        QCOMPARE(f.bar.count(100), 2);
        const QImage denoised = f.preview();
        QVERIFY(denoised != original(344, 0));

        QPushButton *compare = f.button("Compare");
        QVERIFY(compare);
        QTest::mousePress(compare, Qt::LeftButton);
        QCOMPARE(f.preview(), original(344, 0));
        QTest::mouseRelease(compare, Qt::LeftButton);
        QCOMPARE(f.preview(), denoised);
        QTest::keyPress(&f.dialog, Qt::Key_C);
        QCOMPARE(f.preview(), original(344, 0));
        QTest::keyRelease(&f.dialog, Qt::Key_C);
        QCOMPARE(f.preview(), denoised);
        QCOMPARE(f.bar.count(100), 2);
        QVERIFY(f.dialog.isVisible());
        QCOMPARE(f.level, 20);
        f.dialog.hide();
    }

    // The noise measured in the image is shown before any preview; "Use estimate" sets the
    // slider to its level and previews once, as a release does. Without noise there is none.
    void estimate()
    {
        const QImage noisy = noisyRamp(320, 240, 12.0, 4);
        Fixture f(noisy);
        QCOMPARE(f.estimateTexts().size(), 1);
        const double shown = f.estimateTexts().first().mid(17).toDouble();
        QVERIFY2(shown > 11.0 && shown < 13.0, qPrintable(f.estimateTexts().first()));
        QVERIFY(f.bar.isEmpty());
        QPushButton *use = f.button("Use estimate");
        QVERIFY(use && use->isEnabled());
        use->click();
        QCOMPARE(f.slider()->value(), 12);
        QCOMPARE(f.level, 12);
        QCOMPARE(f.bar.count(100), 1);

        QImage flat(320, 240, QImage::Format_RGB32);
        flat.fill(qRgb(90, 120, 200));
        Fixture none(flat);
        QCOMPARE(none.estimateTexts(), QStringList {"Estimated noise: none found"});
        QVERIFY(!none.button("Use estimate")->isEnabled());
    }

    void releaseStoresTheLevelAndPreviewsOnce()
    {
        Fixture f(noiseImage(100, 80));
        const QImage crop = f.preview();
        QCOMPARE(crop, f.image.copy(::previewCrop(f.image.size())));
        QCOMPARE(f.label(), "0");
        QVERIFY(f.dialog.isModal() && f.dialog.windowTitle().isEmpty());
        f.dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.dialog));
        f.slider()->setFocus();

        // Dragging only relabels; the release stores the level and computes the preview once.
        f.slider()->setSliderDown(true);
        f.slider()->setValue(30);
        QCOMPARE(f.label(), "30");
        QCOMPARE(f.level, 0);
        QCOMPARE(f.bar, QList<int>());
        f.slider()->setSliderDown(false);
        QCOMPARE(f.level, 30);
        QCOMPARE(f.bar.count(100), 1);
        QCOMPARE(f.bar.last(), 0);
        const QImage denoised = f.preview();
        QCOMPARE(denoised.size(), crop.size());
        QVERIFY(denoised != crop);
        QCOMPARE(f.image, f.before);
        // The run disabled the focused slider; it has the focus back, so Return means OK.
        QCOMPARE(f.dialog.focusWidget(), f.slider());

        // The keyboard moves the value and its label only.
        QTest::keyClick(f.slider(), Qt::Key_Right);
        QCOMPARE(f.label(), "31");
        QCOMPARE(f.level, 30);
        QCOMPARE(f.preview(), denoised);

        // Released at 0: the crop as it is, and nothing computed.
        releaseAt(f.slider(), 0);
        QCOMPARE(f.level, 0);
        QCOMPARE(f.preview(), crop);
        QCOMPARE(f.bar.count(100), 1);
    }

    void buttons_data()
    {
        QTest::addColumn<int>("release"); // -1: moved to 40 without a release
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("level");
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
        QFETCH(int, level);
        QFETCH(int, runs);
        Fixture f(noiseImage(60, 40, 1, QImage::Format_ARGB32));
        QTimer::singleShot(0, &f.dialog, [&] {
            if (release < 0)
                f.slider()->setValue(40);
            else
                releaseAt(f.slider(), release);
            f.button(button)->click();
        });
        QCOMPARE(f.dialog.exec(), result);
        QCOMPARE(f.level, level);
        QCOMPARE(f.bar.isEmpty(), runs == 0);
        QCOMPARE(f.bar.count(100), runs);
        QCOMPARE(f.image.format(), QImage::Format_ARGB32);
        QCOMPARE(f.image != f.before, runs == 2);
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
        RunOptions options;
        options.memoryLimit = memoryLimit;
        Fixture f(noiseImage(60, 40).convertToFormat(format), 30, options);
        ModalDriver driver;
        QString shownTitle, shownText;
        driver.acceptBox(&shownTitle, &shownText);
        QTimer::singleShot(0, &f.dialog, [&f] { f.button(QDialogButtonBox::Ok)->click(); });
        QCOMPARE(f.dialog.exec(), int(QDialog::Accepted));
        QCOMPARE(driver.problems(), QString());
        QCOMPARE(shownTitle, "Error");
        QCOMPARE(shownText, text);
        QCOMPARE(f.image, f.before);
        QCOMPARE(f.bar, QList<int> {0});
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
        std::atomic<int> rows {0};
        RunHooks hooks;
        hooks.atRow = [&rows](int, int) { ++rows; };
        RunOptions options;
        options.threads = 2;
        options.hooks = &hooks;
        Fixture f(noiseImage(600, 600), duringPreview ? 0 : 30, options);

        // At the first report after 0, while the run is under way, the user stops it.
        QString during;
        connect(f.dialog.findChild<QProgressBar *>(), &QProgressBar::valueChanged, &f.dialog,
            [&](int value) {
                if (value == 0 || !during.isEmpty())
                    return;
                during = QString("slider %1, OK %2, Cancel %3")
                             .arg(f.slider()->isEnabled())
                             .arg(f.button(QDialogButtonBox::Ok)->isEnabled())
                             .arg(f.button(QDialogButtonBox::Cancel)->isEnabled());
                QTimer::singleShot(0, &f.dialog, [&f, how] {
                    if (how == "cancel")
                        QTest::mouseClick(f.button(QDialogButtonBox::Cancel), Qt::LeftButton);
                    else if (how == "escape")
                        QTest::keyClick(&f.dialog, Qt::Key_Escape);
                    else
                        f.dialog.close();
                });
            });
        QTimer::singleShot(0, &f.dialog, [&f, duringPreview] {
            if (duringPreview)
                releaseAt(f.slider(), 30);
            else
                f.button(QDialogButtonBox::Ok)->click();
        });

        QCOMPARE(f.dialog.exec(), int(QDialog::Rejected));
        QCOMPARE(during, "slider 0, OK 0, Cancel 1");
        QVERIFY(!f.dialog.isVisible());
        QCOMPARE(f.level, 0);
        QCOMPARE(f.image, f.before);
        QCOMPARE(f.bar.count(100), 0);
        QCOMPARE(f.bar.last(), 0);
        // Stopped early: a full run starts every row once (256 for the preview crop).
        const int fullRun = duringPreview ? 256 : 600;
        QVERIFY2(
            rows < fullRun / 2, qPrintable(QString("%1 of %2 rows").arg(rows.load()).arg(fullRun)));
    }
};

QTEST_MAIN(tst_Sigma)
#include "tst_sigma.moc"
