// The main window and its start-up: menus, files, clipboard, zoom, folder walk, Denoise history.
#include "denoise/sigma.h"
#include "gui/modal_driver.h"
#include "gui/testutils.h"
#include "image/image_io.h"
#include "viewer/pelta.h"
#include "viewer/startup.h"
#include "viewer/zoom.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>

// The commands by a one-letter key: Open, Save As, Exit, Undo, Redo, Denoise, Zoom In, Zoom Out,
// Normal Size, Fit to Window.
static QAction *action(const Pelta &window, QChar key)
{
    const QString text
        = QStringList({"&Open...", "&Save As...", "E&xit", "&Undo", "&Redo", "Denoise...",
                          "Zoom &In (25%)", "Zoom &Out (25%)", "&Normal Size", "&Fit to Window"})
              .value(QString("osxurd+-nf").indexOf(key));
    const QList<QAction *> actions = window.findChildren<QAction *>();
    return *std::find_if(
        actions.begin(), actions.end(), [&](const QAction *a) { return a->text() == text; });
}

static void press(const Pelta &window, const QString &keys)
{
    for (const QChar key : keys)
        action(window, key)->trigger();
}

// The keys of the enabled commands among those that change, then F while fitting: "sd+-nf" with
// an image shown and no history.
static QString states(const Pelta &window)
{
    QString on;
    for (const QChar key : QString("surd+-nf"))
        on += action(window, key)->isEnabled() ? QString(key) : QString();
    return action(window, 'f')->isChecked() ? on + 'F' : on;
}

// Opens Denoise..., releases the slider at `level` (not at all for 0) and clicks `button`.
// Returns the level the dialog showed when it opened, or what went wrong.
static QString denoiseWith(const Pelta &window, int level, QDialogButtonBox::StandardButton button)
{
    ModalDriver driver;
    QString startLevel;
    driver.expect<Sigma>([&](Sigma *dialog) {
        QSlider *slider = dialog->findChild<QSlider *>();
        startLevel = slider->parentWidget()->findChild<QLabel *>()->text();
        if (level > 0)
            releaseAt(slider, level);
        dialog->findChild<QDialogButtonBox *>()->button(button)->click();
    });
    press(window, "d");
    return driver.problems().isEmpty() ? startLevel : driver.problems();
}

class tst_Pelta : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;

    QString file(const QString &name) const { return dir_.filePath(name); }
    QString imageFile(const QImage &image, const QString &name = "image.png")
    {
        return image.save(file(name)) ? file(name) : QString();
    }
    static QScrollArea *scroll(const Pelta &window) { return window.findChild<QScrollArea *>(); }
    static QString status(const Pelta &window) { return window.statusBar()->currentMessage(); }
    // The label's place in the viewport: its size and, negated, both scroll-bar values.
    static QRect view(const Pelta &window) { return scroll(window)->widget()->geometry(); }
    static QImage shownImage(const Pelta &window)
    {
        const QPixmap shown
            = qobject_cast<QLabel *>(scroll(window)->widget())->pixmap(Qt::ReturnByValue);
        return shown.toImage().convertToFormat(QImage::Format_RGB32);
    }
    static std::unique_ptr<Pelta> shownWindow(const QString &path)
    {
        auto window = std::make_unique<Pelta>();
        window->loadImageFile(path);
        window->show();
        QTest::qVerify(
            QTest::qWaitForWindowExposed(window.get()), "exposed", "", __FILE__, __LINE__);
        return window;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(file("Pictures")));
        QVERIFY(putFile(
            file("user-dirs.dirs"), "XDG_PICTURES_DIR=\"" + file("Pictures").toUtf8() + '"'));
        qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8());
        QGuiApplication::setApplicationDisplayName("pelta");
    }

    void cleanup() { QCOMPARE(leakedTopLevelWidgets(), QStringList()); }

    // First of all: the first Open dialog of the process goes to the pictures folder.
    void menusFilesAndClipboard()
    {
        Pelta window;
        // The menus, then each entry's text and shortcut; "-" a separator. All that needs an
        // image is off.
        QStringList menus;
        const QList<QAction *> titles = window.menuBar()->actions();
        for (const QAction *title : titles) {
            menus << title->text();
            for (const QAction *a : title->menu()->actions())
                menus << (a->isSeparator() ? "-" : a->text() + ' ' + a->shortcut().toString());
        }
        const auto key = [](QKeySequence::StandardKey k) { return QKeySequence(k).toString(); };
        QCOMPARE(menus.join('|'),
            QString(
                "&File|&Open... %1|&Save As... |-|E&xit Ctrl+Q|&Edit|&Undo %2|&Redo %3|&Filters|"
                "Denoise... |-|Zoom &In (25%) %4|Zoom &Out (25%) %5|&Normal Size Ctrl+S|-|"
                "&Fit to Window Ctrl+F|&Help|&About... ")
                .arg(key(QKeySequence::Open), key(QKeySequence::Undo), key(QKeySequence::Redo),
                    key(QKeySequence::ZoomIn), key(QKeySequence::ZoomOut)));
        QCOMPARE(states(window), QString());
        QVERIFY(!scroll(window)->isVisibleTo(&window));

        // A drop takes a single image file, and as a copy: Shift proposes a move, after which a
        // file manager deletes the file. It is opened once the drop has returned.
        const QUrl dropped = QUrl::fromLocalFile(imageFile(noiseImage(30, 20), "drop.png"));
        QMimeData data;
        const auto enter = [&](const QList<QUrl> &urls) {
            data.setUrls(urls);
            QDragEnterEvent event(
                {5, 5}, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::ShiftModifier);
            QApplication::sendEvent(&window, &event);
            return event.isAccepted() ? event.dropAction() : Qt::IgnoreAction;
        };
        QCOMPARE(enter({QUrl::fromLocalFile(file("user-dirs.dirs"))}), Qt::IgnoreAction);
        QCOMPARE(enter({dropped, dropped}), Qt::IgnoreAction);
        QCOMPARE(enter({dropped}), Qt::CopyAction);
        action(window, 'u')->setEnabled(true);
        QDropEvent drop({5, 5}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &drop);
        QTRY_COMPARE(status(window), "Opened \"" + dropped.toLocalFile() + "\", 30x20, Depth: 32");
        QVERIFY(scroll(window)->isVisibleTo(&window));
        QCOMPARE(view(window), QRect(0, 0, 30, 20));
        QCOMPARE(states(window), "sd+-nf");

        // An unreadable choice shows its box, changes nothing and brings the dialog back; a load
        // ends the history. A '%' in the name is no place marker of the box's text.
        const QString good = imageFile(noiseImage(31, 17), "good.png");
        const QString bad = file("100%1 %2.png");
        QVERIFY(putFile(bad, "text, not pixels"));
        const QString opened = status(window);
        action(window, 'u')->setEnabled(true);
        action(window, 'r')->setEnabled(true);
        ModalDriver driver;
        QString seen, title, text;
        QStringList filters;
        driver.expect<QFileDialog>([&](QFileDialog *dialog) {
            seen = dialog->directory().absolutePath() + ' ' + dialog->selectedMimeTypeFilter();
            filters = dialog->mimeTypeFilters();
            acceptFile(dialog, bad);
        });
        driver.acceptBox(&title, &text);
        driver.expect<QFileDialog>([&](QFileDialog *dialog) {
            seen += ' ' + status(window);
            acceptFile(dialog, good);
        });
        press(window, "o");
        QCOMPARE(driver.problems() + seen, file("Pictures") + " image/jpeg " + opened);
        QCOMPARE(filters, readableMimeTypes());
        QCOMPARE(
            title + ' ' + text, "pelta Cannot load " + bad + ": " + readImageFile(bad).errorText);
        QCOMPARE(shownImage(window), noiseImage(31, 17));
        QCOMPARE(states(window), "sd+-nf");

        // Save As writes the image on display and leaves the window's file as it was.
        driver.expect<QFileDialog>([&](QFileDialog *dialog) { acceptFile(dialog, file("a.bmp")); });
        press(window, "s");
        QCOMPARE(driver.problems() + status(window), "Wrote \"" + file("a.bmp") + '"');
        QCOMPARE(QImage(file("a.bmp")).convertToFormat(QImage::Format_RGB32), noiseImage(31, 17));
        QCOMPARE(window.windowFilePath(), good);
        driver.acceptBox(&title, &text);
        QVERIFY(!window.writeImageFile(file("notes.xyz")));
        QCOMPARE(driver.problems() + text,
            "Cannot write " + file("notes.xyz") + ": Unsupported image format");

        // A pasted image has no file, so no folder to walk, and is no part of the history.
        QGuiApplication::clipboard()->setText("only words");
        QVERIFY(QMetaObject::invokeMethod(&window, "paste"));
        QCOMPARE(status(window), "No image in clipboard");
        QVERIFY(QMetaObject::invokeMethod(&window, "copy"));
        QVERIFY(window.loadImageFile(dropped.toLocalFile()));
        action(window, 'u')->setEnabled(true);
        QVERIFY(QMetaObject::invokeMethod(&window, "paste"));
        QTest::keyClick(scroll(window), Qt::Key_Space);
        QCOMPARE(status(window), "Obtained image from clipboard, 31x17, Depth: 32");
        QCOMPARE(shownImage(window), noiseImage(31, 17));
        QCOMPARE(window.windowFilePath() + states(window), "sud+-nf");
    }

    // A missing file gets the load failure's box, titled with the name start-up gives, and no
    // window; with files the window shows the first.
    void startup()
    {
        const QString first = imageFile(noiseImage(30, 20), "first.png");
        QGuiApplication::setApplicationDisplayName(QString());
        // The first event loop to run notes the shown window's file and ends it with Exit.
        QString shown = "no window";
        const auto exitShownWindow = [&shown] {
            const QWidgetList widgets = QApplication::topLevelWidgets();
            for (QWidget *widget : widgets) {
                if (auto *window = qobject_cast<Pelta *>(widget); window && window->isVisible()) {
                    shown = window->windowFilePath();
                    press(*window, "x");
                }
            }
        };
        QTimer::singleShot(0, this, exitShownWindow);
        ModalDriver driver;
        QString title, text;
        driver.acceptBox(&title, &text);
        QCOMPARE(runPelta({"pelta", file("missing.png")}), -1);
        QCOMPARE(driver.problems() + title + ", " + shown, "pelta, no window");
        QTimer::singleShot(0, this, exitShownWindow);
        QCOMPARE(runPelta({"pelta", first, file("good.png")}), 0);
        QCOMPARE(shown, first);
    }

    // Value, page step, factor, then the scroll-bar value that keeps the centre (truncated
    // toward zero) and the one that keeps the point at half a page (rounded).
    void zoomArithmetic()
    {
        const double rows[][5] = {{100, 400, kZoomInStep, 175, 175}, {3, 7, kZoomInStep, 4, 5},
            // -39.99999999999999 in doubles, truncated toward zero; the bar clamps it.
            {0, 400, kZoomOutStep, -39, -40}, {INT_MAX, 400, kZoomInStep, INT_MAX, INT_MAX}};
        for (const auto &r : rows) {
            QCOMPARE(rescaledScrollValue(int(r[0]), int(r[1]), r[2]), int(r[3]));
            QCOMPARE(anchoredScrollValue(int(r[0]), int(r[1]) / 2, r[2]), int(r[4]));
        }
    }

    void zoom_data()
    {
        // Keys as for press(), and L loads a 90 x 70 image. An empty label size: the viewport's.
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QSize>("label");
        QTest::addColumn<QString>("states");
        QTest::newRow("in 4") << "++++" << QSize(1563, 1172) << "sd+-nf";
        QTest::newRow("in 5") << "+++++" << QSize(1953, 1465) << "sd-nf";
        QTest::newRow("out 4") << "----" << QSize(262, 197) << "sd+-nf";
        QTest::newRow("out 5") << "-----" << QSize(210, 157) << "sd+nf";
        // Normal Size sets the factor back to 1 but leaves the limits as they were.
        QTest::newRow("normal") << "+++++n" << QSize(640, 480) << "sd-nf";
        QTest::newRow("normal, out") << "+++++n-" << QSize(512, 384) << "sd+-nf";
        QTest::newRow("fit") << "-----f" << QSize() << "sfF";
        QTest::newRow("fit, load") << "-----fL" << QSize() << "sfF";
        QTest::newRow("fit off, in") << "-----ff+" << QSize(800, 600) << "sd+-nf";
    }

    void zoom()
    {
        QFETCH(QString, keys);
        QFETCH(QSize, label);
        QFETCH(QString, states);
        const auto window = shownWindow(imageFile(noiseImage(640, 480)));
        press(*window, keys.section('L', 0, 0));
        if (keys.endsWith('L'))
            QVERIFY(window->loadImageFile(imageFile(noiseImage(90, 70), "L.png")));
        const QScrollArea *area = scroll(*window);
        QCOMPARE(area->widget()->size(), label.isEmpty() ? area->maximumViewportSize() : label);
        QCOMPARE(::states(*window), states);
    }

    // The menu's zoom keeps the centre of the view, Ctrl + wheel the point under the mouse.
    void zoomKeepsItsPoint()
    {
        const auto window = shownWindow(imageFile(noiseImage(640, 480)));
        QScrollBar *horizontal = scroll(*window)->horizontalScrollBar();
        QScrollBar *vertical = scroll(*window)->verticalScrollBar();
        // At the far end of the old range: only a range already grown with the label allows
        // the new value, so a bar moved before the label was resized would stay clamped.
        horizontal->setValue(horizontal->maximum());
        vertical->setValue(vertical->maximum() / 2);
        const int h = horizontal->value(), v = vertical->value(), end = horizontal->maximum();
        press(*window, "+");
        QCOMPARE(horizontal->value(), rescaledScrollValue(h, horizontal->pageStep(), kZoomInStep));
        QCOMPARE(vertical->value(), rescaledScrollValue(v, vertical->pageStep(), kZoomInStep));
        QVERIFY(v > 0 && horizontal->value() > end);

        // Turns the wheel at (100, 60) in the viewport; returns the label's width.
        QWidget *viewport = scroll(*window)->viewport();
        const auto wheel = [&](int angle, Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
            QWheelEvent event(QPointF(100, 60), viewport->mapToGlobal(QPoint(100, 60)), {},
                {0, angle}, Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
            QApplication::sendEvent(viewport, &event);
            return scroll(*window)->widget()->width();
        };
        press(*window, "n");
        horizontal->setValue(50);
        vertical->setValue(40);
        // Two half notches make one step about the mouse: the label point (150, 100) under it
        // moves to 1.25 times that, still under it within a rounding.
        QCOMPARE(wheel(60), 640);
        QCOMPARE(wheel(60), 800);
        QVERIFY(qAbs(horizontal->value() + 100 - 150 * 1.25) <= 0.5);
        QVERIFY(qAbs(vertical->value() + 60 - 100 * 1.25) <= 0.5);
        // Only with Ctrl; ten notches at once stop at the menu's limit.
        QCOMPARE(wheel(-120, Qt::NoModifier), 800);
        QCOMPARE(wheel(-1200), 210);
    }

    // In walk/: a1, a2, a10 (240 x 150), a broken b.png and a text file.
    void walkAndDenoise()
    {
        const QString walk = file("walk");
        QVERIFY(QDir().mkpath(walk));
        for (const int n : {1, 2, 10})
            imageFile(noiseImage(240, 150, quint32(n)), QString("walk/a%1.png").arg(n));
        QVERIFY(putFile(walk + "/b.png", "text, not pixels") && putFile(walk + "/notes.txt", "w"));
        const auto window = shownWindow(walk + "/a2.png");
        action(*window, 'u')->setEnabled(true);
        QString asked;
        // Sends `key` to the scroll area, which has the focus once an image is shown; a question
        // must then come if there is an `answer` for it. Returns the status after the folder.
        const auto step = [&](Qt::Key key, QMessageBox::StandardButton answer = {}) {
            ModalDriver driver;
            if (answer) {
                driver.expect<QMessageBox>([&asked, answer](QMessageBox *box) {
                    const bool safe = box->defaultButton() == box->button(QMessageBox::Cancel);
                    asked += box->text() + (safe ? "|" : " (Cancel not the default)|");
                    box->button(answer)->click();
                });
            }
            QTest::keyClick(scroll(*window), key);
            return status(*window).remove("Opened \"" + walk + '/') + driver.problems();
        };
        // Natural order a1 a2 a10 b, wrapping past the broken b; notes.txt is no image.
        const QString size = "\", 240x150, Depth: 32";
        const QString skip = size + "; skipped \"b.png\" (Unsupported image format)";
        QCOMPARE(step(Qt::Key_Space), "a10.png" + size);
        QCOMPARE(step(Qt::Key_Space), "a1.png" + skip);
        QCOMPARE(step(Qt::Key_Backspace), "a10.png" + skip);
        QCOMPARE(step(Qt::Key_Backspace), "a2.png" + size);
        QCOMPARE(states(*window), "sd+-nf");

        // Accepted, undone and redone in the same view; the dialog opens at 0 every time.
        press(*window, "++++");
        scroll(*window)->horizontalScrollBar()->setValue(17);
        scroll(*window)->verticalScrollBar()->setValue(INT_MAX);
        const QRect before = view(*window);
        QVERIFY(before.x() == -17 && before.y() < 0);
        QCOMPARE(denoiseWith(*window, 30, QDialogButtonBox::Ok), "0");
        const QImage original = noiseImage(240, 150, 2), denoised = shownImage(*window);
        QVERIFY(denoised != original);
        for (const QString keys : {"", "u", "r", "u", "r"}) {
            press(*window, keys);
            QCOMPARE(shownImage(*window), keys == "u" ? original : denoised);
            QCOMPARE(view(*window), before);
            QCOMPARE(states(*window), keys == "u" ? "srd+-nf" : "sud+-nf");
        }

        // Only a Denoise not saved since asks before it is replaced; Cancel keeps it, Undo
        // leaves it, Redo brings it back, Discard moves on.
        QCOMPARE(step(Qt::Key_Space, QMessageBox::Cancel), "a2.png" + size);
        press(*window, "u");
        QCOMPARE(step(Qt::Key_Space), "a10.png" + size);
        QCOMPARE(denoiseWith(*window, 30, QDialogButtonBox::Ok), "0");
        press(*window, "ur");
        QCOMPARE(step(Qt::Key_Backspace, QMessageBox::Discard), "a2.png" + size);
        QCOMPARE(denoiseWith(*window, 30, QDialogButtonBox::Ok), "0");
        QVERIFY(window->writeImageFile(file("saved.png")));
        QCOMPARE(step(Qt::Key_Space), "a10.png" + size);
        QCOMPARE(asked, "Discard the denoised image?|Discard the denoised image?|");

        // Cancel, after a preview, leaves the image and ends the history.
        action(*window, 'u')->setEnabled(true);
        QCOMPARE(denoiseWith(*window, 40, QDialogButtonBox::Cancel), "0");
        QCOMPARE(shownImage(*window), noiseImage(240, 150, 10));
        QCOMPARE(states(*window), "sd+-nf");

        // The denoiser needs 16 pixels each way: a smaller image gets a box, not the dialog.
        for (const QSize size : {QSize(15, 200), QSize(200, 15)}) {
            QVERIFY(window->loadImageFile(imageFile(noiseImage(size.width(), size.height()))));
            ModalDriver driver;
            QString title, text;
            driver.acceptBox(&title, &text);
            press(*window, "d");
            QCOMPARE(driver.problems() + title + ": " + text,
                "Error: <p><center>The size of the image is to small to apply "
                "algorithm</center></p>");
        }
        // OK without a release runs nothing and accepts.
        QVERIFY(window->loadImageFile(imageFile(noiseImage(16, 16))));
        QCOMPARE(denoiseWith(*window, 0, QDialogButtonBox::Ok), "0");
        QCOMPARE(shownImage(*window), noiseImage(16, 16));
        QCOMPARE(states(*window), "sud+-nf");
    }
};

QTEST_MAIN(tst_Pelta)
#include "tst_pelta.moc"
