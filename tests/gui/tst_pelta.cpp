// The main window and its start-up: menus, files, clipboard, zoom, folder walk, Denoise history.
#include "denoise/sigma.h"
#include "gui/modal_driver.h"
#include "gui/photo_files.h"
#include "gui/testutils.h"
#include "image/image_io.h"
#include "viewer/pelta.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>

// The window's menu actions, found by name: o open, s saveAs, x exit, u undo, r redo,
// d denoise, + zoomIn, - zoomOut, n normalSize, f fitToWindow. A missing one fails the test.
static QAction *action(const Pelta &window, QChar key)
{
    const QString name = QStringList({"open", "saveAs", "exit", "undo", "redo", "denoise", "zoomIn",
                                         "zoomOut", "normalSize", "fitToWindow"})
                             .value(QString("osxurd+-nf").indexOf(key));
    if (auto *found = window.findChild<QAction *>(name))
        return found;
    QTest::qFail(qPrintable("No menu action \"" + name + '"'), __FILE__, __LINE__);
    static auto *const missing = new QAction(QCoreApplication::instance());
    return missing;
}

static void press(const Pelta &window, const QString &keys)
{
    for (const QChar key : keys)
        action(window, key)->trigger();
}

// The keys of the enabled commands that change, and F while fitting: "sd+-nf" for an image alone.
static QString states(const Pelta &window)
{
    QString on;
    for (const QChar key : QString("surd+-nf"))
        on += action(window, key)->isEnabled() ? QString(key) : QString();
    return action(window, 'f')->isChecked() ? on + 'F' : on;
}

// Denoise... with the slider released at `level` (0: not at all), then `button`; what went wrong.
static QString denoiseWith(const Pelta &window, int level, QDialogButtonBox::StandardButton button)
{
    ModalDriver driver;
    driver.expect<Sigma>([&](Sigma *dialog) {
        if (level > 0)
            releaseAt(dialog->findChild<QSlider *>(), level);
        dialog->findChild<QDialogButtonBox *>()->button(button)->click();
    });
    press(window, "d");
    return driver.problems();
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
    QString asked_; // the questions the walk asked, each followed by '|'
    inline static const QString kSize = "\", 480x300, Depth: 32";

    // A shown window on a2 in the pictures folder: a1, a2, a10 (480 x 300), a broken b.png and a
    // text file.
    std::unique_ptr<Pelta> folderWindow()
    {
        const QString walk = file("Pictures");
        for (const int n : {1, 2, 10})
            imageFile(noiseImage(480, 300, quint32(n)), QString("Pictures/a%1.png").arg(n));
        putFile(walk + "/b.png", "text, not pixels");
        putFile(walk + "/notes.txt", "w");
        return shownWindow(walk + "/a2.png");
    }
    // Presses `keys` ('d': Denoise at 30), sends `key`; `answer` goes to a box that must come.
    // The status without the folder's path.
    QString step(const Pelta &window, const QString &keys, Qt::Key key, int answer = 0)
    {
        for (const QChar c : keys)
            c == 'd' ? void(denoiseWith(window, 30, QDialogButtonBox::Ok)) : press(window, c);
        ModalDriver driver;
        if (answer) {
            driver.expect<QMessageBox>([this, answer](QMessageBox *box) {
                const bool safe = box->defaultButton() == box->button(QMessageBox::Cancel);
                asked_ += box->text() + (safe ? "|" : " (Cancel not the default)|");
                box->button(QMessageBox::StandardButton(answer))->click();
            });
        }
        QTest::keyClick(scroll(window), key);
        return status(window).remove("Opened \"" + file("Pictures") + '/') + driver.problems();
    }
    static QScrollArea *scroll(const Pelta &window) { return window.findChild<QScrollArea *>(); }
    static QString status(const Pelta &window) { return window.statusBar()->currentMessage(); }
    // The label's place in the viewport: its size and, negated, both scroll-bar values.
    static QRect view(const Pelta &window) { return scroll(window)->widget()->geometry(); }
    static std::unique_ptr<Pelta> shownWindow(const QString &path)
    {
        auto window = std::make_unique<Pelta>();
        window->loadImageFile(path);
        window->show();
        QTest::qVerify(QTest::qWaitForWindowExposed(window.get()), "shown", "", __FILE__, __LINE__);
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
        QCOMPARE(states(window), QString()); // all that needs an image is off
        QString texts;
        for (const QChar key : QString("osxurd+-nf"))
            texts += action(window, key)->text() + '|';
        QCOMPARE(texts,
            "&Open...|&Save As...|E&xit|&Undo|&Redo|Denoise...|Zoom &In (25%)|Zoom &Out (25%)|"
            "&Normal Size|&Fit to Window|");

        // A dropped file is taken as a copy (a move gets it deleted) and opened after the drop; a
        // bad choice in Open ('%' in its name) says why and brings the dialog back.
        const auto dropFile = [&window](const QString &path) {
            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(path)});
            QDragEnterEvent enter(
                {5, 5}, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::ShiftModifier);
            QApplication::sendEvent(&window, &enter);
            QDropEvent drop({5, 5}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(&window, &drop);
            return enter.isAccepted() && enter.dropAction() == Qt::CopyAction;
        };
        const QString good = imageFile(noiseImage(31, 17), "good.png"), bad = file("100%1 %2.png");
        QVERIFY(putFile(bad, "text, not pixels"));
        ModalDriver driver;
        QString seen, title, text;
        const QString dropped = imageFile(noiseImage(30, 20), "drop.png");
        QVERIFY(tagAsCamera(good, 1) && tagAsCamera(dropped, 1));
        action(window, 'u')->setEnabled(true);
        QVERIFY(dropFile(dropped));
        QTRY_COMPARE(status(window), "Opened \"" + dropped + "\", 30x20, Depth: 32");
        QVERIFY(scroll(window)->isVisibleTo(&window) && view(window) == QRect(0, 0, 30, 20));
        QCOMPARE(states(window), "sd+-nf");

        action(window, 'u')->setEnabled(true);
        action(window, 'r')->setEnabled(true);
        driver.expect<QFileDialog>([&](QFileDialog *dialog) {
            seen = dialog->directory().absolutePath() + ' ' + dialog->selectedMimeTypeFilter();
            acceptFile(dialog, bad);
        });
        driver.acceptBox(&title, &text);
        driver.expect<QFileDialog>([&](QFileDialog *dialog) { acceptFile(dialog, good); });
        press(window, "o");
        QCOMPARE(driver.problems() + seen, file("Pictures") + " image/jpeg");
        QCOMPARE(
            title + ' ' + text, "pelta Cannot load " + bad + ": " + readImageFile(bad).errorText);
        QCOMPARE(states(window), "sd+-nf");

        // Save As writes the image on display with the file's metadata and names the window
        // after the file.
        driver.expect<QFileDialog>([&](QFileDialog *dialog) { acceptFile(dialog, file("a.png")); });
        press(window, "s");
        QCOMPARE(driver.problems() + status(window) + ' ' + window.windowFilePath() + ' '
                + window.windowTitle(),
            "Wrote \"" + file("a.png") + "\" " + file("a.png") + " a.png[*]");
        COMPARE_IMAGES(
            QImage(file("a.png")).convertToFormat(QImage::Format_RGB32), noiseImage(31, 17));
        QCOMPARE(tagOf(file("a.png"), "Exif.Image.Artist"), "A. Photographer");
        driver.acceptBox(&title, &text);
        QVERIFY(!window.writeImageFile(file("notes.xyz")));
        QCOMPARE(driver.problems() + text,
            "Cannot write " + file("notes.xyz") + ": Unsupported image format");

        // A pasted image has no file, so no folder to walk and no metadata, and is no part of the
        // history.
        QGuiApplication::clipboard()->setText("only words");
        QVERIFY(QMetaObject::invokeMethod(&window, "paste"));
        QCOMPARE(status(window), "No image in clipboard");
        QVERIFY(QMetaObject::invokeMethod(&window, "copy") && window.loadImageFile(dropped));
        action(window, 'u')->setEnabled(true);
        QVERIFY(QMetaObject::invokeMethod(&window, "paste"));
        QTest::keyClick(scroll(window), Qt::Key_Space);
        COMPARE_IMAGES(shownImage(&window), noiseImage(31, 17));
        QCOMPARE(status(window) + window.windowFilePath() + ' ' + window.windowTitle() + ' '
                + states(window),
            "Obtained image from clipboard, 31x17, Depth: 32 Pasted image[*] sud+-nf");
        QVERIFY(window.writeImageFile(file("pasted.png")));
        QCOMPARE(tagOf(file("pasted.png"), "Exif.Image.Artist"), QString());
    }

    // Five steps reach either limit, where that step is no longer offered; Normal Size is 100 %;
    // Fit to Window fills the viewport with only Save As and itself on, and leaves it at 100 %.
    // The menu's zoom keeps the centre, the wheel's the point under the mouse. At the far end of
    // the old range: only a range already grown with the label allows the new value, so a bar
    // moved before the resize would stay.
    void zoom()
    {
        const auto window = folderWindow();
        const auto after = [&window](const QString &keys) {
            press(*window, keys);
            const QSize label = scroll(*window)->widget()->size();
            return QString("%1x%2 ").arg(label.width()).arg(label.height()) + states(*window);
        };
        QCOMPARE(after("+++++"), "1465x916 sd-nf");
        QCOMPARE(after("n-"), "384x240 sd+-nf");
        QCOMPARE(after("----"), "157x98 sd+nf");
        const QSize page = scroll(*window)->maximumViewportSize();
        QCOMPARE(after("f"), QString("%1x%2 sfF").arg(page.width()).arg(page.height()));
        QCOMPARE(after("f+"), "600x375 sd+-nf");

        QScrollBar *horizontal = scroll(*window)->horizontalScrollBar();
        QScrollBar *vertical = scroll(*window)->verticalScrollBar();
        horizontal->setValue(horizontal->maximum());
        vertical->setValue(vertical->maximum() / 2);
        const int h = horizontal->value(), v = vertical->value(), end = horizontal->maximum();
        press(*window, "+");
        const auto centreKept = [](const QScrollBar *bar, int before) {
            const double half = bar->pageStep() / 2.0;
            return qAbs(bar->value() + half - 1.25 * (before + half)) <= 1.0;
        };
        QVERIFY(centreKept(horizontal, h) && centreKept(vertical, v));
        QVERIFY(v > 0 && horizontal->value() > end);

        // Ctrl + wheel: two half notches make one step about the point under the mouse; nothing
        // without Ctrl, nothing past the limit.
        press(*window, "++");
        horizontal->setValue(17);
        vertical->setValue(INT_MAX);
        QWidget *viewport = scroll(*window)->viewport();
        const auto wheel = [&](int angle, Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
            QWheelEvent event(QPointF(100, 60), viewport->mapToGlobal(QPoint(100, 60)), {},
                {0, angle}, Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
            QApplication::sendEvent(viewport, &event);
            return scroll(*window)->widget()->width();
        };
        const int x = horizontal->value() + 100, y = vertical->value() + 60;
        QCOMPARE(wheel(60), 1172);
        QCOMPARE(wheel(60), 1465);
        QVERIFY(qAbs(horizontal->value() + 100 - 1.25 * x) <= 0.5
            && qAbs(vertical->value() + 60 - 1.25 * y) <= 0.5);
        QCOMPARE(wheel(-120, Qt::NoModifier), 1465);
        QCOMPARE(wheel(-1440), 157); // the limit
    }

    // Space and Backspace walk the pictures folder (a1, a2, a10, a broken b.png, a text file) in
    // natural order, wrapping past the broken file; notes.txt is no image. An accepted Denoise,
    // undone and redone, stays in the view the user had. Only an unsaved Denoise asks before the
    // walk leaves it: Cancel keeps it, Undo leaves it, Redo brings it back, saving ends it.
    // Cancel in the dialog, after a preview, leaves the image and the history as they were: Redo
    // still brings back the denoised image, unsaved.
    void folderWalkAndDenoiseHistory()
    {
        const auto window = folderWindow();
        action(*window, 'u')->setEnabled(true);
        const QString skip = kSize + "; skipped \"b.png\" (Unsupported image format)";
        QCOMPARE(step(*window, "", Qt::Key_Space), "a10.png" + kSize);
        QCOMPARE(step(*window, "", Qt::Key_Space), "a1.png" + skip);
        QCOMPARE(step(*window, "", Qt::Key_Backspace), "a10.png" + skip);
        QCOMPARE(step(*window, "", Qt::Key_Backspace), "a2.png" + kSize);
        QCOMPARE(states(*window), "sd+-nf");

        press(*window, "++++");
        scroll(*window)->horizontalScrollBar()->setValue(17);
        scroll(*window)->verticalScrollBar()->setValue(INT_MAX);
        const QRect before = view(*window);
        QVERIFY(before.x() == -17 && before.y() < 0);
        QCOMPARE(denoiseWith(*window, 30, QDialogButtonBox::Ok), QString());
        const QImage original = noiseImage(480, 300, 2), denoised = shownImage(window.get());
        QVERIFY(denoised != original);
        for (const QString keys : {"", "u", "r", "u", "r"}) {
            press(*window, keys);
            COMPARE_IMAGES(shownImage(window.get()), keys == "u" ? original : denoised);
            QCOMPARE(view(*window), before);
        }

        QCOMPARE(step(*window, "", Qt::Key_Space, QMessageBox::Cancel), "a2.png" + kSize);
        QCOMPARE(step(*window, "u", Qt::Key_Space), "a10.png" + kSize);
        QCOMPARE(step(*window, "dur", Qt::Key_Backspace, QMessageBox::Discard), "a2.png" + kSize);
        QCOMPARE(denoiseWith(*window, 30, QDialogButtonBox::Ok), QString());
        QVERIFY(window->writeImageFile(file("saved.png")) && !window->isWindowModified());
        QCOMPARE(step(*window, "", Qt::Key_Space), "a10.png" + kSize);
        QCOMPARE(asked_, "Discard the denoised image?|Discard the denoised image?|");

        QCOMPARE(denoiseWith(*window, 30, QDialogButtonBox::Ok), QString());
        const QImage redone = shownImage(window.get());
        press(*window, "u");
        QCOMPARE(denoiseWith(*window, 40, QDialogButtonBox::Cancel), QString());
        COMPARE_IMAGES(shownImage(window.get()), noiseImage(480, 300, 10));
        QCOMPARE(states(*window), "srd+-nf");
        press(*window, "r");
        QVERIFY(shownImage(window.get()) == redone && window->isWindowModified());
    }

    // The denoiser needs 16 pixels each way and RGB or Grayscale: any other image gets a box
    // when Denoise is chosen, not the dialog, and the history stays. OK without a release runs
    // nothing and accepts.
    void denoiseRefused()
    {
        const auto window = shownWindow(imageFile(noiseImage(16, 16)));
        action(*window, 'u')->setEnabled(true);
        QCOMPARE(denoiseWith(*window, 0, QDialogButtonBox::Ok), QString());
        COMPARE_IMAGES(shownImage(window.get()), noiseImage(16, 16));
        for (const QImage &image : {noiseImage(15, 200), noiseImage(200, 15),
                 noiseImage(40, 40).convertToFormat(QImage::Format_Indexed8)}) {
            QVERIFY(window->loadImageFile(imageFile(image)));
            ModalDriver driver;
            QString title, text;
            driver.acceptBox(&title, &text);
            press(*window, "d");
            QCOMPARE(driver.problems() + title + ": " + text,
                image.colorCount() ? "Error: <p><center>This algorithm only supports RGB or "
                                     "Grayscale color model</center></p>"
                                   : "Error: <p><center>The size of the image is to small to "
                                     "apply algorithm</center></p>");
            QCOMPARE(states(*window), "sud+-nf");
        }
    }
};

QTEST_MAIN(tst_Pelta)
#include "tst_pelta.moc"
