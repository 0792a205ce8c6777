// The main window and its start-up: menus, files, clipboard, zoom and the Denoise history.
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

// The commands by a one-letter key, and the names in which states() lists those that change.
static const char *const kCommands[][3] = {{"o", "&Open...", ""}, {"s", "&Save As...", "save"},
    {"x", "E&xit", ""}, {"u", "&Undo", "undo"}, {"r", "&Redo", "redo"},
    {"d", "Denoise...", "denoise"}, {"+", "Zoom &In (25%)", "in"}, {"-", "Zoom &Out (25%)", "out"},
    {"n", "&Normal Size", "normal"}, {"f", "&Fit to Window", "fit"}, {"a", "&About...", ""}};
static const QString kAllOn = "save denoise in out normal fit";

static QAction *action(const Pelta &window, const QString &text)
{
    const QList<QAction *> actions = window.findChildren<QAction *>();
    for (QAction *action : actions) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

// Triggers the commands of the keys one after another.
static void press(const Pelta &window, const QString &keys)
{
    for (const QChar key : keys) {
        for (const auto &command : kCommands) {
            if (key == QLatin1Char(*command[0]))
                action(window, command[1])->trigger();
        }
    }
}

// The enabled commands of those that change, and "fitting" while Fit to Window is checked.
static QString states(const Pelta &window)
{
    QStringList on;
    for (const auto &command : kCommands) {
        if (*command[2] && action(window, command[1])->isEnabled())
            on.append(command[2]);
    }
    if (action(window, "&Fit to Window")->isChecked())
        on.append("fitting");
    return on.join(' ');
}

// What a Denoise, Undo or Redo must keep: the label's size and both scroll-bar values.
static QString view(const Pelta &window)
{
    const QScrollArea *area = window.findChild<QScrollArea *>();
    const QSize size = area->widget()->size();
    return QString("%1x%2 at %3, %4")
        .arg(size.width())
        .arg(size.height())
        .arg(area->horizontalScrollBar()->value())
        .arg(area->verticalScrollBar()->value());
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
    QString pictures_;

    QString file(const QString &name) const { return dir_.filePath(name); }
    QString imageFile(const QImage &image, const QString &name = "image.png")
    {
        return image.save(file(name)) ? file(name) : QString();
    }
    static QScrollArea *scroll(const Pelta &window) { return window.findChild<QScrollArea *>(); }
    static QString status(const Pelta &window) { return window.statusBar()->currentMessage(); }
    static QImage shownImage(const Pelta &window)
    {
        const QPixmap shown
            = qobject_cast<QLabel *>(scroll(window)->widget())->pixmap(Qt::ReturnByValue);
        return shown.toImage().convertToFormat(QImage::Format_RGB32);
    }

    std::unique_ptr<Pelta> windowWith(const QImage &image, bool shown = false)
    {
        auto window = std::make_unique<Pelta>();
        window->loadImageFile(imageFile(image));
        if (shown) {
            window->show();
            const bool exposed = QTest::qWaitForWindowExposed(window.get());
            QTest::qVerify(exposed, "exposed", "", __FILE__, __LINE__);
        }
        return window;
    }

private slots:
    void initTestCase()
    {
        pictures_ = file("Pictures");
        QVERIFY(QDir().mkpath(pictures_));
        QVERIFY(putFile(file("user-dirs.dirs"), "XDG_PICTURES_DIR=\"" + pictures_.toUtf8() + '"'));
        qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8());
        QGuiApplication::setApplicationDisplayName("pelta");
    }

    void cleanup() { QCOMPARE(leakedTopLevelWidgets(), QStringList()); }

    // First of all: only the first Open dialog of the process goes to the pictures folder.
    void openDialog()
    {
        const QString good = imageFile(noiseImage(31, 17), "good.png");
        QVERIFY(putFile(file("bad.png"), "text, not pixels"));
        Pelta window;
        action(window, "&Undo")->setEnabled(true);
        action(window, "&Redo")->setEnabled(true);

        // An unreadable choice shows its box and the dialog comes back.
        ModalDriver driver;
        QString directory, selected, title, text;
        QStringList filters;
        driver.expect<QFileDialog>([&](QFileDialog *dialog) {
            directory = dialog->directory().absolutePath();
            filters = dialog->mimeTypeFilters();
            selected = dialog->selectedMimeTypeFilter();
            acceptFile(dialog, file("bad.png"));
        });
        driver.acceptBox(&title, &text);
        driver.expect<QFileDialog>([&](QFileDialog *dialog) { acceptFile(dialog, good); });
        press(window, "o");
        QCOMPARE(driver.problems(), QString());
        QCOMPARE(directory, pictures_);
        QCOMPARE(filters, readableMimeTypes());
        QVERIFY(std::is_sorted(filters.begin(), filters.end()));
        QCOMPARE(filters.size(), QImageReader::supportedMimeTypes().size());
        QCOMPARE(selected, "image/jpeg");
        QVERIFY2(text.startsWith("Cannot load " + file("bad.png") + ": "), qPrintable(text));
        QCOMPARE(window.windowFilePath(), good);
        QCOMPARE(status(window), "Opened \"" + good + "\", 31x17, Depth: 32");
        QCOMPARE(shownImage(window), noiseImage(31, 17));
        QVERIFY(scroll(window)->isVisibleTo(&window));
        QCOMPARE(view(window), "31x17 at 0, 0");
        QCOMPARE(states(window), kAllOn);

        // A later dialog starts where the last one ended; a cancel only ends the history.
        action(window, "&Undo")->setEnabled(true);
        driver.expect<QFileDialog>([&](QFileDialog *dialog) {
            directory = dialog->directory().absolutePath();
            dialog->reject();
        });
        press(window, "o");
        QCOMPARE(driver.problems(), QString());
        QCOMPARE(directory, dir_.path());
        QCOMPARE(window.windowFilePath(), good);
        QCOMPARE(states(window), kAllOn);
    }

    void startup_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("no file") << QStringList() << 0;
        // The window keeps the path as given, not cleaned up or made absolute.
        QTest::newRow("first of two") << QStringList {"@/sub/../first.png", "@/image.png"} << 0;
        QTest::newRow("missing file") << QStringList {"@/missing.png"} << -1;
    }

    void startup()
    {
        QFETCH(QStringList, files);
        QFETCH(int, exitCode);
        files.replaceInStrings("@", dir_.path());
        QVERIFY(QDir().mkpath(file("sub")));
        imageFile(noiseImage(30, 20), "first.png");
        imageFile(noiseImage(50, 40));
        QGuiApplication::setApplicationDisplayName(QString());
        // The first event loop to run notes the shown window's file and closes the window.
        QString shownFile = "no window";
        QTimer::singleShot(0, this, [&shownFile] {
            const QWidgetList widgets = QApplication::topLevelWidgets();
            for (QWidget *widget : widgets) {
                if (auto *window = qobject_cast<Pelta *>(widget); window && window->isVisible()) {
                    shownFile = window->windowFilePath();
                    window->close();
                }
            }
        });
        ModalDriver driver;
        QString title, text;
        if (exitCode != 0)
            driver.acceptBox(&title, &text);

        QCOMPARE(runPelta(QStringList {"pelta"} + files), exitCode);
        QCOMPARE(driver.problems(), QString());
        QCOMPARE(QGuiApplication::applicationDisplayName(), "pelta");
        QCOMPARE(shownFile, exitCode == 0 ? files.value(0) : "no window");
        if (exitCode != 0) {
            QCOMPARE(title, "pelta");
            QVERIFY2(text.startsWith("Cannot load " + files[0] + ": "), qPrintable(text));
        }
    }

    void menus_data()
    {
        // Each entry: text, shortcut, enabled or not; "-" a separator.
        QTest::addColumn<QString>("entries");
        const auto key = [](QKeySequence::StandardKey k) { return QKeySequence(k).toString(); };
        QTest::newRow("&File") << "&Open... " + key(QKeySequence::Open)
                + " on|&Save As...  off|-|E&xit Ctrl+Q on";
        QTest::newRow("&Edit") << "&Undo " + key(QKeySequence::Undo) + " off|&Redo "
                + key(QKeySequence::Redo) + " off";
        QTest::newRow("&Filters") << "Denoise...  off|-|Zoom &In (25%) " + key(QKeySequence::ZoomIn)
                + " off|Zoom &Out (25%) " + key(QKeySequence::ZoomOut)
                + " off|&Normal Size Ctrl+S off|-|&Fit to Window Ctrl+F off checkable";
        QTest::newRow("&Help") << "&About...  on";
    }

    void menus()
    {
        QFETCH(QString, entries);
        Pelta window;
        QStringList titles, found;
        const QList<QAction *> menus = window.menuBar()->actions();
        for (const QAction *menu : menus)
            titles.append(menu->text());
        const QList<QAction *> actions = action(window, QTest::currentDataTag())->menu()->actions();
        for (const QAction *a : actions) {
            const char *kind = a->isChecked() ? " checked" : a->isCheckable() ? " checkable" : "";
            found.append(a->isSeparator() ? "-"
                                          : a->text() + ' ' + a->shortcut().toString()
                        + (a->isEnabled() ? " on" : " off") + kind);
        }
        QCOMPARE(titles.join('|'), "&File|&Edit|&Filters|&Help");
        QCOMPARE(found.join('|'), entries);
        QVERIFY(!scroll(window)->isVisibleTo(&window));
    }

    void loadFailure_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("missing") << "missing.png" << QByteArray();
        QTest::newRow("'%' in the name") << "100%1 %2.png" << QByteArray("just words");
    }

    void loadFailure()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QVERIFY(bytes.isEmpty() || putFile(file(name), bytes));
        const auto window = windowWith(noiseImage(20, 10));
        const QString before = status(*window);
        ModalDriver driver;
        QString title, text;
        driver.acceptBox(&title, &text);
        QVERIFY(!window->loadImageFile(file(name)));
        QCOMPARE(driver.problems(), QString());
        QCOMPARE(title, "pelta");
        const QString reason = readImageFile(file(name)).errorText;
        QVERIFY(!reason.isEmpty());
        QCOMPARE(text, QString("Cannot load %1: %2").arg(file(name), reason));
        QCOMPARE(window->windowFilePath(), file("image.png"));
        QCOMPARE(status(*window), before);
        QCOMPARE(shownImage(*window), noiseImage(20, 10));
    }

    void orientationTagTurnsTheImage()
    {
        // Red on the left, blue on the right; tag 6 turns it a quarter clockwise: red on top.
        QImage halves(40, 20, QImage::Format_RGB32);
        halves.fill(Qt::red);
        for (int y = 0; y < 20; ++y)
            std::fill_n(reinterpret_cast<QRgb *>(halves.scanLine(y)) + 20, 20, qRgb(0, 0, 255));
        QVERIFY(putFile(file("turned.jpg"), jpegWithOrientation(halves, 6)));
        Pelta window;
        QVERIFY(window.loadImageFile(file("turned.jpg")));
        QVERIFY2(status(window).endsWith(", 20x40, Depth: 32"), qPrintable(status(window)));
        const QImage shown = shownImage(window);
        QCOMPARE(shown.size(), QSize(20, 40));
        QVERIFY(qRed(shown.pixel(10, 5)) > 200 && qBlue(shown.pixel(10, 5)) < 50);
        QVERIFY(qBlue(shown.pixel(10, 35)) > 200 && qRed(shown.pixel(10, 35)) < 50);
    }

    void save()
    {
        const auto window = windowWith(noiseImage(25, 15));
        ModalDriver driver;
        driver.expect<QFileDialog>([&](QFileDialog *dialog) { acceptFile(dialog, file("a.bmp")); });
        press(*window, "s");
        QCOMPARE(driver.problems(), QString());
        const QString wrote = "Wrote \"" + file("a.bmp") + '"';
        QCOMPARE(status(*window), wrote);
        QCOMPARE(QImageReader(file("a.bmp")).format(), "bmp");
        QCOMPARE(QImage(file("a.bmp")).convertToFormat(QImage::Format_RGB32), noiseImage(25, 15));
        QCOMPARE(window->windowFilePath(), file("image.png"));

        // A failure shows the writer's reason in a box.
        QString title, text;
        driver.acceptBox(&title, &text);
        QVERIFY(!window->writeImageFile(file("notes.xyz")));
        QCOMPARE(driver.problems(), QString());
        QCOMPARE(text, "Cannot write " + file("notes.xyz") + ": Unsupported image format");
        QCOMPARE(status(*window), wrote);
    }

    void copyAndPaste()
    {
        const auto window = windowWith(noiseImage(12, 34));
        QGuiApplication::clipboard()->setText("only words");
        QVERIFY(QMetaObject::invokeMethod(window.get(), "paste"));
        QCOMPARE(status(*window), "No image in clipboard");
        QCOMPARE(shownImage(*window), noiseImage(12, 34));
        QCOMPARE(window->windowFilePath(), file("image.png"));

        // The clipboard is no part of the history: Undo stays as it was.
        QVERIFY(QMetaObject::invokeMethod(window.get(), "copy"));
        QVERIFY(window->loadImageFile(imageFile(noiseImage(10, 10), "other.png")));
        action(*window, "&Undo")->setEnabled(true);
        QVERIFY(QMetaObject::invokeMethod(window.get(), "paste"));
        QCOMPARE(shownImage(*window), noiseImage(12, 34));
        QCOMPARE(status(*window), "Obtained image from clipboard, 12x34, Depth: 32");
        QCOMPARE(window->windowFilePath(), QString());
        QCOMPARE(states(*window), "save undo denoise in out normal fit");
    }

    void zoomArithmetic_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("pageStep");
        QTest::addColumn<double>("factor");
        QTest::addColumn<int>("expected");
        // The wheel keeps the point under the mouse, rounded: here the centre (pageStep / 2).
        QTest::addColumn<int>("anchored");
        QTest::newRow("in") << 100 << 400 << kZoomInStep << 175 << 175;
        QTest::newRow("in, 4.625 truncated") << 3 << 7 << kZoomInStep << 4 << 5;
        // -39.99999999999999 in doubles, truncated toward zero; the bar clamps it.
        QTest::newRow("out at 0, truncated up") << 0 << 400 << kZoomOutStep << -39 << -40;
        QTest::newRow("beyond int") << INT_MAX << 400 << kZoomInStep << INT_MAX << INT_MAX;
    }

    void zoomArithmetic()
    {
        QFETCH(int, value);
        QFETCH(int, pageStep);
        QFETCH(double, factor);
        QFETCH(int, expected);
        QFETCH(int, anchored);
        QCOMPARE(rescaledScrollValue(value, pageStep, factor), expected);
        QCOMPARE(anchoredScrollValue(value, pageStep / 2, factor), anchored);
        // The limits themselves; the out limit is the decimal 0.333, not one third.
        QVERIFY(canZoomIn(2.99) && !canZoomIn(3.0));
        QVERIFY(canZoomOut(0.3331) && !canZoomOut(0.333));
    }

    void zoom_data()
    {
        // Keys as for press(), and L loads a 90 x 70 image. An empty label size: the viewport's.
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QSize>("label");
        QTest::addColumn<QString>("states");
        QTest::newRow("in 1") << "+" << QSize(800, 600) << kAllOn;
        QTest::newRow("in 4") << "++++" << QSize(1563, 1172) << kAllOn;
        QTest::newRow("in 5") << "+++++" << QSize(1953, 1465) << "save denoise out normal fit";
        QTest::newRow("out 2") << "--" << QSize(410, 307) << kAllOn;
        QTest::newRow("out 4") << "----" << QSize(262, 197) << kAllOn;
        QTest::newRow("out 5") << "-----" << QSize(210, 157) << "save denoise in normal fit";
        // Normal Size sets the factor back to 1 but leaves the limits as they were.
        QTest::newRow("normal") << "+++++n" << QSize(640, 480) << "save denoise out normal fit";
        QTest::newRow("normal, out") << "+++++n-" << QSize(512, 384) << kAllOn;
        QTest::newRow("fit") << "-----f" << QSize() << "save fit fitting";
        QTest::newRow("fit, load") << "-----fL" << QSize() << "save fit fitting";
        QTest::newRow("fit off, in") << "-----ff+" << QSize(800, 600) << kAllOn;
    }

    void zoom()
    {
        QFETCH(QString, keys);
        QFETCH(QSize, label);
        QFETCH(QString, states);
        const auto window = windowWith(noiseImage(640, 480), true);
        for (const QChar key : keys) {
            if (key == 'L')
                QVERIFY(window->loadImageFile(imageFile(noiseImage(90, 70), "L.png")));
            press(*window, key);
        }
        const QScrollArea *area = scroll(*window);
        QCOMPARE(area->widget()->size(), label.isEmpty() ? area->maximumViewportSize() : label);
        QCOMPARE(::states(*window), states);
        // The label stretches the whole image: nothing is resampled into the pixmap.
        const bool loaded = keys.contains('L');
        QCOMPARE(shownImage(*window), loaded ? noiseImage(90, 70) : noiseImage(640, 480));
    }

    void zoomKeepsTheCentre()
    {
        const auto window = windowWith(noiseImage(900, 700), true);
        QScrollBar *horizontal = scroll(*window)->horizontalScrollBar();
        QScrollBar *vertical = scroll(*window)->verticalScrollBar();
        // At the far end of the old range: only a range already grown with the label allows
        // the new value, so a bar moved before the label was resized would stay clamped.
        horizontal->setValue(horizontal->maximum());
        vertical->setValue(vertical->maximum() / 2);
        const int oldMaximum = horizontal->maximum();
        const int h = horizontal->value();
        const int v = vertical->value();
        QVERIFY(h > 0 && v > 0);
        press(*window, "+");
        QCOMPARE(horizontal->value(), rescaledScrollValue(h, horizontal->pageStep(), kZoomInStep));
        QCOMPARE(vertical->value(), rescaledScrollValue(v, vertical->pageStep(), kZoomInStep));
        QVERIFY(horizontal->value() > oldMaximum);

        press(*window, "x");
        QVERIFY(!window->isVisible());
    }

    void denoiseSizes_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("refused");
        QTest::newRow("15x200") << QSize(15, 200) << true;
        QTest::newRow("200x15") << QSize(200, 15) << true;
        // The smallest the dialog opens for; OK without a release runs nothing and accepts.
        QTest::newRow("16x16") << QSize(16, 16) << false;
    }

    void denoiseSizes()
    {
        QFETCH(QSize, size);
        QFETCH(bool, refused);
        const QImage image = noiseImage(size.width(), size.height());
        const auto window = windowWith(image);
        press(*window, "+");
        action(*window, "&Undo")->setEnabled(true);
        const QString before = view(*window);
        if (refused) {
            ModalDriver driver;
            QString title, text;
            driver.acceptBox(&title, &text);
            press(*window, "d");
            QCOMPARE(driver.problems(), QString());
            QCOMPARE(title, "Error");
            QCOMPARE(text,
                "<p><center>The size of the image is to small to apply algorithm</center></p>");
        } else {
            QCOMPARE(denoiseWith(*window, 0, QDialogButtonBox::Ok), "0");
        }
        QCOMPARE(view(*window), before);
        QCOMPARE(shownImage(*window), image);
        QCOMPARE(states(*window), "save undo denoise in out normal fit");
    }

    void drop_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("opens");
        QTest::newRow("image file") << QStringList {"drop.png"} << true;
        QTest::newRow("text file") << QStringList {"notes.txt"} << false;
        QTest::newRow("two images") << QStringList {"drop.png", "image.png"} << false;
    }

    void drop()
    {
        QFETCH(QStringList, names);
        QFETCH(bool, opens);
        imageFile(noiseImage(30, 20), "drop.png");
        QVERIFY(putFile(file("notes.txt"), "words"));
        const auto window = windowWith(noiseImage(20, 10));
        action(*window, "&Undo")->setEnabled(true);
        QList<QUrl> urls;
        for (const QString &name : names)
            urls.append(QUrl::fromLocalFile(file(name)));
        QMimeData data;
        data.setUrls(urls);
        // Shift proposes a move, after which a file manager deletes the file: a copy is taken.
        QDragEnterEvent enter(
            {5, 5}, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::ShiftModifier);
        QApplication::sendEvent(window.get(), &enter);
        QCOMPARE(enter.isAccepted() ? enter.dropAction() : Qt::IgnoreAction,
            opens ? Qt::CopyAction : Qt::IgnoreAction);
        if (!opens)
            return;
        // The file is opened once the drop has returned, as File > Open would open it.
        QDropEvent drop({5, 5}, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &drop);
        QTRY_COMPARE(status(*window), "Opened \"" + file("drop.png") + "\", 30x20, Depth: 32");
        QCOMPARE(shownImage(*window), noiseImage(30, 20));
        QCOMPARE(states(*window), kAllOn);
    }

    void ctrlWheel()
    {
        const auto window = windowWith(noiseImage(640, 480), true);
        QWidget *viewport = scroll(*window)->viewport();
        QScrollBar *horizontal = scroll(*window)->horizontalScrollBar();
        QScrollBar *vertical = scroll(*window)->verticalScrollBar();
        // Turns the wheel at (100, 60) in the viewport; returns the label's width.
        const auto wheel = [&](int angle, Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
            QWheelEvent event(QPointF(100, 60), viewport->mapToGlobal(QPoint(100, 60)), {},
                {0, angle}, Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
            QApplication::sendEvent(viewport, &event);
            return scroll(*window)->widget()->width();
        };
        horizontal->setValue(50);
        vertical->setValue(40);
        // Two half notches make one step of the menu's factor about the mouse: the label point
        // (150, 100) under it moves to 1.25 times that, still under it within a rounding.
        QCOMPARE(wheel(60), 640);
        QCOMPARE(wheel(60), 800);
        QVERIFY(qAbs(horizontal->value() + 100 - 150 * 1.25) <= 0.5);
        QVERIFY(qAbs(vertical->value() + 60 - 100 * 1.25) <= 0.5);
        // Three notches out at once; none beyond the menu's limit, none while fitting.
        QCOMPARE(wheel(-360), 410);
        QCOMPARE(wheel(-1200), 210);
        press(*window, "f");
        wheel(120);
        QCOMPARE(states(*window), "save fit fitting");
        press(*window, "f");
        QCOMPARE(wheel(-120, Qt::NoModifier), 640);
        QVERIFY(vertical->value() > 0);
    }

    // In walk/: a1, a2, a10 (24 x 24), a broken b.png and a text file.
    void walkTheFolder()
    {
        const QString walk = file("walk");
        QVERIFY(QDir().mkpath(walk));
        for (const int n : {1, 2, 10})
            imageFile(noiseImage(24, 24, quint32(n)), QString("walk/a%1.png").arg(n));
        QVERIFY(putFile(walk + "/b.png", "text, not pixels") && putFile(walk + "/notes.txt", "w"));
        Pelta window;
        QVERIFY(window.loadImageFile(walk + "/a2.png"));
        action(window, "&Undo")->setEnabled(true);
        QStringList questions;
        // The keys ("d" an accepted Denoise), then `k`, whose question must come and gets
        // `answer` unless that is NoButton. Returns the status after the folder's name.
        const auto step = [&](const QString &keys, Qt::Key k,
                              QMessageBox::StandardButton answer = QMessageBox::NoButton) {
            for (const QChar c : keys)
                c == 'd' ? void(denoiseWith(window, 30, QDialogButtonBox::Ok)) : press(window, c);
            ModalDriver driver;
            if (answer != QMessageBox::NoButton) {
                driver.expect<QMessageBox>([&questions, answer](QMessageBox *box) {
                    const bool safe = box->defaultButton() == box->button(QMessageBox::Cancel);
                    questions.append(box->text() + (safe ? "" : " (Cancel not the default)"));
                    box->button(answer)->click();
                });
            }
            // As the scroll area, which has the focus once an image is shown, receives it.
            QTest::keyClick(scroll(window), k);
            return status(window).remove("Opened \"" + walk + '/') + driver.problems();
        };
        // Natural order a1 a2 a10 b, wrapping past the broken b; notes.txt is no image.
        const QString size = "\", 24x24, Depth: 32";
        const QString skip = size + "; skipped \"b.png\" (Unsupported image format)";
        QCOMPARE(step("", Qt::Key_Space), "a10.png" + size);
        QCOMPARE(step("", Qt::Key_Space), "a1.png" + skip);
        QCOMPARE(step("", Qt::Key_Backspace), "a10.png" + skip);
        QCOMPARE(step("", Qt::Key_Backspace), "a2.png" + size);
        QCOMPARE(states(window), kAllOn);

        // Only a Denoise not saved since asks; Cancel keeps it, Undo leaves it, Redo brings
        // it back, Discard moves on.
        QCOMPARE(step("d", Qt::Key_Space, QMessageBox::Cancel), "a2.png" + size);
        QVERIFY(shownImage(window) != noiseImage(24, 24, 2));
        QCOMPARE(states(window), "save undo denoise in out normal fit");
        QCOMPARE(step("u", Qt::Key_Space), "a10.png" + size);
        QCOMPARE(step("dur", Qt::Key_Backspace, QMessageBox::Discard), "a2.png" + size);
        QCOMPARE(denoiseWith(window, 30, QDialogButtonBox::Ok), "0");
        QVERIFY(window.writeImageFile(file("saved.png")));
        QCOMPARE(step("", Qt::Key_Space), "a10.png" + size);
        QCOMPARE(
            questions, QStringList({"Discard the denoised image?", "Discard the denoised image?"}));

        // Without a file (a pasted image) there is no folder to walk.
        QVERIFY(QMetaObject::invokeMethod(&window, "copy")
            && QMetaObject::invokeMethod(&window, "paste"));
        QCOMPARE(step("", Qt::Key_Space), "Obtained image from clipboard, 24x24, Depth: 32");
    }

    void denoiseHistory()
    {
        const QImage original = noiseImage(240, 150);
        const auto window = windowWith(original, true);
        press(*window, "++++");
        QScrollBar *vertical = scroll(*window)->verticalScrollBar();
        scroll(*window)->horizontalScrollBar()->setValue(17);
        vertical->setValue(vertical->maximum());
        const QString before = view(*window);
        QVERIFY2(before.contains(" at 17, ") && vertical->value() > 0, qPrintable(before));
        const QString undoable = "save undo denoise in out normal fit";
        const QString redoable = "save redo denoise in out normal fit";

        QCOMPARE(denoiseWith(*window, 30, QDialogButtonBox::Ok), "0");
        const QImage denoised = shownImage(*window);
        QVERIFY(denoised != original);
        QCOMPARE(view(*window), before);
        QCOMPARE(states(*window), undoable);
        for (const QString step : {"u", "r", "u", "r"}) {
            press(*window, step);
            QCOMPARE(shownImage(*window), step == "u" ? original : denoised);
            QCOMPARE(view(*window), before);
            QCOMPARE(states(*window), step == "u" ? redoable : undoable);
        }
        // The factor came back with the view: one more step goes on from 2.44 to the limit.
        press(*window, "+");
        QCOMPARE(scroll(*window)->widget()->size(), QSize(732, 458));
        // While fitting, Undo leaves Normal Size and Denoise off but sets the zoom limits.
        press(*window, "fu");
        QCOMPARE(states(*window), "save redo out fit fitting");
        press(*window, "f");

        // Cancelled after a preview, right after an accepted one: the dialog opens at level 0,
        // the image stays and the history ends.
        QCOMPARE(denoiseWith(*window, 40, QDialogButtonBox::Ok), "0");
        const QImage second = shownImage(*window);
        QCOMPARE(denoiseWith(*window, 40, QDialogButtonBox::Cancel), "0");
        QCOMPARE(shownImage(*window), second);
        QCOMPARE(states(*window), kAllOn);
    }
};

QTEST_MAIN(tst_Pelta)
#include "tst_pelta.moc"
