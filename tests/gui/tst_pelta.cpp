// The main window: menus and their states, opening, saving, the clipboard and the About box.
#include "denoise/sigma.h"
#include "gui/modal_driver.h"
#include "gui/testutils.h"
#include "image/image_io.h"
#include "viewer/pelta.h"
#include "viewer/zoom.h"

#include <QAction>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QImageReader>
#include <QImageWriter>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

static QAction *findAction(const Pelta &window, const QString &text)
{
    const QList<QAction *> menus = window.menuBar()->actions();
    for (const QAction *menu : menus) {
        const QList<QAction *> actions = menu->menu()->actions();
        for (QAction *action : actions) {
            if (action->text() == text)
                return action;
        }
    }
    return nullptr;
}

static bool enabled(const Pelta &window, const QString &text)
{
    const QAction *action = findAction(window, text);
    return action && action->isEnabled();
}

static QImage shownImage(const Pelta &window)
{
    const QLabel *label = qobject_cast<QLabel *>(window.findChild<QScrollArea *>()->widget());
    return label->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_RGB32);
}

static void trigger(const Pelta &window, const QString &text, int times = 1)
{
    QAction *action = findAction(window, text);
    QVERIFY2(action, qPrintable(text));
    for (int i = 0; i < times; ++i)
        action->trigger();
}

static QWidget *pictureLabel(const Pelta &window)
{
    return window.findChild<QScrollArea *>()->widget();
}

// What a user sees of a Denoise dialog and does with it: the level shown when it opens, a
// slider dragged to `level` and released there (one preview run; none for 0), then `button`.
struct DenoiseRun
{
    int level = 0;
    QDialogButtonBox::StandardButton button = QDialogButtonBox::Ok;
    QString startLabel;
    int startSlider = -1;
};

// Triggers Denoise... and plays `run` on the dialog; false when no dialog or another came up.
static bool denoiseWith(const Pelta &window, DenoiseRun &run)
{
    ModalDriver driver;
    driver.expect<Sigma>([&run](Sigma *dialog) {
        QSlider *slider = dialog->findChild<QSlider *>();
        run.startSlider = slider->value();
        run.startLabel = slider->parentWidget()->findChild<QLabel *>()->text();
        if (run.level > 0) {
            slider->setSliderDown(true);
            slider->setValue(run.level);
            slider->setSliderDown(false);
        }
        dialog->findChild<QDialogButtonBox *>()->button(run.button)->click();
    });
    findAction(window, QStringLiteral("Denoise..."))->trigger();
    return driver.pendingSteps() == 0 && driver.unexpected().isEmpty();
}

static bool denoiseWith(const Pelta &window, int level, QDialogButtonBox::StandardButton button)
{
    DenoiseRun run;
    run.level = level;
    run.button = button;
    return denoiseWith(window, run);
}

// The view a Denoise, Undo or Redo must keep: label size and both scroll-bar values.
struct View
{
    QSize label;
    int horizontal;
    int vertical;
    bool operator==(const View &other) const
    {
        return label == other.label && horizontal == other.horizontal && vertical == other.vertical;
    }
};

static View view(const Pelta &window)
{
    const QScrollArea *scroll = window.findChild<QScrollArea *>();
    return {scroll->widget()->size(), scroll->horizontalScrollBar()->value(),
        scroll->verticalScrollBar()->value()};
}

namespace QTest {
template<>
char *toString(const View &v)
{
    return qstrdup(QStringLiteral("%1x%2 at (%3, %4)")
                       .arg(v.label.width())
                       .arg(v.label.height())
                       .arg(v.horizontal)
                       .arg(v.vertical)
                       .toLatin1());
}
} // namespace QTest

static QString statusText(Pelta &window)
{
    return window.statusBar()->currentMessage();
}

class tst_Pelta : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    // The first Open of the process must come first: only it chooses the directory.
    void openDialogRetriesUntilAnImageLoads();
    void laterOpenLeavesTheDirectoryAlone();

    void menus_data();
    void menus();
    void slotsAreDeclaredInOrder();
    void startsAtThreeFifthsOfTheScreen_data();
    void startsAtThreeFifthsOfTheScreen();
    void exitClosesTheWindow();
    void aboutBox();

    void loadShowsTheImage();
    void loadFailureChangesNothing_data();
    void loadFailureChangesNothing();
    void bombIsRefusedWithTheBox();
    void orientationTagTurnsTheImage();
    void newImageWhileFittingKeepsZoomOff();

    void saveAsWritesTheSuffixFormat();
    void writeFailureKeepsTheOldFile();

    void copyThenPasteBringsTheImageBack();
    void pasteOfTextOnlyKeepsTheImage();

    void zoomArithmetic();
    void scrollValues_data();
    void scrollValues();
    void zoomSteps_data();
    void zoomSteps();
    void zoomKeepsTheCentre();
    void normalSizeKeepsTheLimits();
    void fitToWindowSwitchesTheZoomCommands();

    void denoiseRefusesSmallImages_data();
    void denoiseRefusesSmallImages();
    void denoiseAtLevelZeroStillAccepts();
    void acceptedDenoiseKeepsTheView();
    void undoAndRedoAlternateTwoImages();
    void cancelledDenoiseEndsTheHistory();
    void historyWhileFitting();
    void eachDialogStartsAtLevelZero();

private:
    QString writeImage(const QString &name, const QImage &image);

    QTemporaryDir dir_;
    QString pictures_;
};

void tst_Pelta::initTestCase()
{
    QVERIFY(dir_.isValid());
    // Point the pictures location somewhere known: the first Open dialog starts there.
    pictures_ = dir_.filePath(QStringLiteral("Pictures"));
    QVERIFY(QDir().mkpath(pictures_));
    QVERIFY(QDir().mkpath(dir_.filePath(QStringLiteral("config"))));
    QVERIFY(putFile(dir_.filePath(QStringLiteral("config/user-dirs.dirs")),
        "XDG_PICTURES_DIR=\"" + pictures_.toUtf8() + "\"\n"));
    qputenv("XDG_CONFIG_HOME", dir_.filePath(QStringLiteral("config")).toUtf8());
    QCOMPARE(QStandardPaths::standardLocations(QStandardPaths::PicturesLocation).last(), pictures_);
    QGuiApplication::setApplicationDisplayName(QStringLiteral("pelta"));
}

void tst_Pelta::cleanup()
{
    const QStringList leaked = leakedTopLevelWidgets();
    QVERIFY2(leaked.isEmpty(), qPrintable(leaked.join(QStringLiteral(", "))));
}

QString tst_Pelta::writeImage(const QString &name, const QImage &image)
{
    const QString path = dir_.filePath(name);
    QImageWriter writer(path);
    return writer.write(image) ? path : QString();
}

void tst_Pelta::openDialogRetriesUntilAnImageLoads()
{
    const QString good = writeImage(QStringLiteral("good.png"), patternImage(31, 17));
    const QString bad = dir_.filePath(QStringLiteral("bad.png"));
    QVERIFY(putFile(bad, "text, not pixels"));

    Pelta window;
    findAction(window, QStringLiteral("&Undo"))->setEnabled(true);
    findAction(window, QStringLiteral("&Redo"))->setEnabled(true);

    ModalDriver driver;
    QString directory, selectedFilter, boxText;
    QStringList filters;
    driver.expect<QFileDialog>([&](QFileDialog *dialog) {
        directory = dialog->directory().absolutePath();
        filters = dialog->mimeTypeFilters();
        selectedFilter = dialog->selectedMimeTypeFilter();
        acceptFile(dialog, bad);
    });
    driver.acceptBox(nullptr, &boxText);
    driver.expect<QFileDialog>([&](QFileDialog *dialog) { acceptFile(dialog, good); });
    findAction(window, QStringLiteral("&Open..."))->trigger();

    QVERIFY2(driver.unexpected().isEmpty(), qPrintable(driver.unexpected().join("; ")));
    QCOMPARE(driver.pendingSteps(), 0);
    QCOMPARE(directory, pictures_);
    QCOMPARE(filters, readableMimeTypes());
    QVERIFY(std::is_sorted(filters.begin(), filters.end()));
    QCOMPARE(selectedFilter, QStringLiteral("image/jpeg"));
    QVERIFY2(boxText.startsWith(QStringLiteral("Cannot load %1: ").arg(bad)), qPrintable(boxText));
    QCOMPARE(window.windowFilePath(), good);
    QCOMPARE(shownImage(window), patternImage(31, 17));
    QVERIFY(!enabled(window, QStringLiteral("&Undo")));
    QVERIFY(!enabled(window, QStringLiteral("&Redo")));
}

void tst_Pelta::laterOpenLeavesTheDirectoryAlone()
{
    Pelta window;
    findAction(window, QStringLiteral("&Undo"))->setEnabled(true);
    ModalDriver driver;
    QString directory;
    driver.expect<QFileDialog>([&](QFileDialog *dialog) {
        directory = dialog->directory().absolutePath();
        dialog->reject();
    });
    findAction(window, QStringLiteral("&Open..."))->trigger();

    QCOMPARE(driver.pendingSteps(), 0);
    QVERIFY(!directory.isEmpty());
    QVERIFY(directory != pictures_);
    // Cancelling still ends the history.
    QVERIFY(!enabled(window, QStringLiteral("&Undo")));
    QVERIFY(window.windowFilePath().isEmpty());
}

void tst_Pelta::menus_data()
{
    QTest::addColumn<int>("menu");
    QTest::addColumn<int>("position");
    QTest::addColumn<QKeySequence>("shortcut");
    QTest::addColumn<bool>("isEnabled");
    QTest::addColumn<bool>("checkable");

    const QKeySequence none;
    QTest::newRow("&Open...") << 0 << 0 << QKeySequence(QKeySequence::Open) << true << false;
    QTest::newRow("&Save As...") << 0 << 1 << none << false << false;
    QTest::newRow("E&xit") << 0 << 3 << QKeySequence(QStringLiteral("Ctrl+Q")) << true << false;
    QTest::newRow("&Undo") << 1 << 0 << QKeySequence(QKeySequence::Undo) << false << false;
    QTest::newRow("&Redo") << 1 << 1 << QKeySequence(QKeySequence::Redo) << false << false;
    QTest::newRow("Denoise...") << 2 << 0 << none << false << false;
    QTest::newRow("Zoom &In (25%)")
        << 2 << 2 << QKeySequence(QKeySequence::ZoomIn) << false << false;
    QTest::newRow("Zoom &Out (25%)")
        << 2 << 3 << QKeySequence(QKeySequence::ZoomOut) << false << false;
    QTest::newRow("&Normal Size") << 2 << 4 << QKeySequence(QStringLiteral("Ctrl+S")) << false
                                  << false;
    QTest::newRow("&Fit to Window")
        << 2 << 6 << QKeySequence(QStringLiteral("Ctrl+F")) << false << true;
    QTest::newRow("&About...") << 3 << 0 << none << true << false;
}

void tst_Pelta::menus()
{
    QFETCH(int, menu);
    QFETCH(int, position);
    QFETCH(QKeySequence, shortcut);
    QFETCH(bool, isEnabled);
    QFETCH(bool, checkable);

    Pelta window;
    const QList<QAction *> menus = window.menuBar()->actions();
    QStringList titles;
    for (const QAction *entry : menus)
        titles.append(entry->text());
    QCOMPARE(titles, (QStringList {"&File", "&Edit", "&Filters", "&Help"}));

    // Separators sit after Save As and after Denoise and Normal Size; nothing else is there.
    QStringList layout;
    const QList<QAction *> entries = menus.at(menu)->menu()->actions();
    for (const QAction *entry : entries)
        layout.append(entry->isSeparator() ? QStringLiteral("-") : entry->text());
    const QList<QStringList> layouts
        = {{"&Open...", "&Save As...", "-", "E&xit"}, {"&Undo", "&Redo"},
            {"Denoise...", "-", "Zoom &In (25%)", "Zoom &Out (25%)", "&Normal Size", "-",
                "&Fit to Window"},
            {"&About..."}};
    QCOMPARE(layout, layouts.at(menu));

    const QAction *action = entries.at(position);
    QCOMPARE(action->text(), QString::fromLatin1(QTest::currentDataTag()));
    QCOMPARE(action->shortcut(), shortcut);
    QCOMPARE(action->isEnabled(), isEnabled);
    QCOMPARE(action->isCheckable(), checkable);
    QVERIFY(!action->isChecked());
    QVERIFY(!window.findChild<QScrollArea *>()->isVisibleTo(&window));
}

void tst_Pelta::slotsAreDeclaredInOrder()
{
    const QMetaObject &meta = Pelta::staticMetaObject;
    QCOMPARE(meta.className(), "Pelta");
    const QStringList expected = {"open", "saveAs", "copy", "paste", "undo", "redo", "zoomIn",
        "zoomOut", "normalSize", "fitToWindow", "about", "denoise"};
    QCOMPARE(meta.methodCount() - meta.methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(QString::fromLatin1(method.name()), expected.at(i));
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(method.parameterCount(), 0);
    }
}

void tst_Pelta::startsAtThreeFifthsOfTheScreen_data()
{
    QTest::addColumn<QSize>("available");
    QTest::addColumn<QSize>("window");
    QTest::newRow("1440x900") << QSize(1440, 900) << QSize(864, 540);
    QTest::newRow("1366x728-rounds-to-nearest") << QSize(1366, 728) << QSize(820, 437);
    QTest::newRow("1x1") << QSize(1, 1) << QSize(1, 1);
}

void tst_Pelta::startsAtThreeFifthsOfTheScreen()
{
    QFETCH(QSize, available);
    QFETCH(QSize, window);
    QCOMPARE(initialWindowSize(available), window);

    Pelta pelta;
    QCOMPARE(pelta.size(), initialWindowSize(QGuiApplication::primaryScreen()->availableSize()));
}

void tst_Pelta::exitClosesTheWindow()
{
    Pelta window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    findAction(window, QStringLiteral("E&xit"))->trigger();
    QVERIFY(!window.isVisible());
}

void tst_Pelta::aboutBox()
{
    Pelta window;
    ModalDriver driver;
    QString title, text;
    driver.acceptBox(&title, &text);
    findAction(window, QStringLiteral("&About..."))->trigger();

    QCOMPARE(driver.pendingSteps(), 0);
    QCOMPARE(title, QStringLiteral("About pelta 1.0.1"));
    QCOMPARE(text,
        QStringLiteral("<p><center><font size = 8> pelta</font></center></p>"
                       "<p><center><font size = 2> Version 1.0.1 (")
            + QCoreApplication::applicationVersion()
            + QStringLiteral(")</font></center></p><p><center>Denoising algorithm is "
                             "based on theory of backward stochastic differential "
                             "equations</center></p><p><center>The Pelta "
                             "developers</center></p>"));
}

void tst_Pelta::loadShowsTheImage()
{
    QVERIFY(QDir().mkpath(dir_.filePath(QStringLiteral("sub"))));
    writeImage(QStringLiteral("shown.png"), patternImage(64, 48));
    // The window keeps the path as given, not cleaned up or made absolute.
    const QString path = dir_.filePath(QStringLiteral("sub/../shown.png"));

    Pelta window;
    QVERIFY(window.loadImageFile(path));
    QCOMPARE(statusText(window),
        QStringLiteral("Opened \"%1\", 64x48, Depth: 32").arg(QDir::toNativeSeparators(path)));
    QCOMPARE(window.windowFilePath(), path);
    QCOMPARE(shownImage(window), patternImage(64, 48));
    QVERIFY(window.findChild<QScrollArea *>()->isVisibleTo(&window));
    QCOMPARE(window.findChild<QScrollArea *>()->widget()->size(), QSize(64, 48));
    for (const char *text : {"&Save As...", "Denoise...", "Zoom &In (25%)", "Zoom &Out (25%)",
             "&Normal Size", "&Fit to Window", "&Open...", "E&xit", "&About..."})
        QVERIFY2(enabled(window, QString::fromLatin1(text)), text);
    QVERIFY(!enabled(window, QStringLiteral("&Undo")));
    QVERIFY(!enabled(window, QStringLiteral("&Redo")));
}

void tst_Pelta::loadFailureChangesNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("missing") << "missing.png" << QByteArray();
    QTest::newRow("not-an-image") << "words.png" << QByteArray("just words");
    QTest::newRow("percent-in-name") << "100%1 %2.png" << QByteArray("just words");
    QTest::newRow("truncated-png") << "cut.png" << pngBombHeader(64, 64);
}

void tst_Pelta::loadFailureChangesNothing()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    const QString path = dir_.filePath(name);
    if (!bytes.isEmpty())
        QVERIFY(putFile(path, bytes));
    const QString good = writeImage(QStringLiteral("before.png"), patternImage(20, 10));

    Pelta window;
    QVERIFY(window.loadImageFile(good));
    const QString status = statusText(window);

    ModalDriver driver;
    QString title, text;
    driver.acceptBox(&title, &text);
    QVERIFY(!window.loadImageFile(path));

    QCOMPARE(driver.pendingSteps(), 0);
    QCOMPARE(title, QStringLiteral("pelta"));
    QCOMPARE(text,
        QStringLiteral("Cannot load ") + QDir::toNativeSeparators(path) + QStringLiteral(": ")
            + readImageFile(path).errorText);
    QVERIFY(!readImageFile(path).errorText.isEmpty());
    QCOMPARE(window.windowFilePath(), good);
    QCOMPARE(statusText(window), status);
    QCOMPARE(shownImage(window), patternImage(20, 10));
}

void tst_Pelta::bombIsRefusedWithTheBox()
{
    // 1000000 x 1000000 pixels would need 8 TB: refused before decoding on any machine.
    const QString path = dir_.filePath(QStringLiteral("bomb.png"));
    QVERIFY(putFile(path, pngBombHeader(1000000, 1000000, 64)));
    Pelta window;
    ModalDriver driver;
    QString text;
    driver.acceptBox(nullptr, &text);
    QVERIFY(!window.loadImageFile(path));
    QCOMPARE(text,
        QStringLiteral("Cannot load %1: The image is too large for the available memory")
            .arg(path));
    QVERIFY(!enabled(window, QStringLiteral("&Save As...")));
}

void tst_Pelta::orientationTagTurnsTheImage()
{
    const QString path = dir_.filePath(QStringLiteral("turned.jpg"));
    QVERIFY(putFile(path, jpegWithOrientation(halvesImage(40, 20), 6)));
    Pelta window;
    QVERIFY(window.loadImageFile(path));
    QVERIFY2(statusText(window).endsWith(QStringLiteral(", 20x40, Depth: 32")),
        qPrintable(statusText(window)));
    const QImage shown = shownImage(window);
    QCOMPARE(shown.size(), QSize(20, 40));
    QVERIFY(qRed(shown.pixel(10, 5)) > 200 && qBlue(shown.pixel(10, 5)) < 50);
    QVERIFY(qBlue(shown.pixel(10, 35)) > 200 && qRed(shown.pixel(10, 35)) < 50);
}

void tst_Pelta::newImageWhileFittingKeepsZoomOff()
{
    const QString path = writeImage(QStringLiteral("fit.png"), patternImage(300, 200));
    Pelta window;
    QVERIFY(window.loadImageFile(path));
    findAction(window, QStringLiteral("&Fit to Window"))->setChecked(true);
    const QWidget *label = window.findChild<QScrollArea *>()->widget();
    const QSize before = label->size();

    const QString other = writeImage(QStringLiteral("fit2.png"), patternImage(90, 70));
    QVERIFY(window.loadImageFile(other));
    for (const char *text : {"Denoise...", "Zoom &In (25%)", "Zoom &Out (25%)", "&Normal Size"})
        QVERIFY2(!enabled(window, QString::fromLatin1(text)), text);
    QVERIFY(enabled(window, QStringLiteral("&Save As...")));
    QVERIFY(enabled(window, QStringLiteral("&Fit to Window")));
    // No return to natural size while fitting.
    QCOMPARE(label->size(), before);
}

void tst_Pelta::saveAsWritesTheSuffixFormat()
{
    const QString source = writeImage(QStringLiteral("to-save.png"), patternImage(25, 15));
    const QString target = dir_.filePath(QStringLiteral("saved.bmp"));
    Pelta window;
    QVERIFY(window.loadImageFile(source));

    ModalDriver driver;
    driver.expect<QFileDialog>([&](QFileDialog *dialog) { acceptFile(dialog, target); });
    findAction(window, QStringLiteral("&Save As..."))->trigger();

    QVERIFY2(driver.unexpected().isEmpty(), qPrintable(driver.unexpected().join("; ")));
    QCOMPARE(driver.pendingSteps(), 0);
    QCOMPARE(statusText(window), QStringLiteral("Wrote \"%1\"").arg(target));
    QCOMPARE(QImageReader(target).format(), QByteArray("bmp"));
    QCOMPARE(QImage(target).convertToFormat(QImage::Format_RGB32), patternImage(25, 15));
    QCOMPARE(window.windowFilePath(), source);
}

void tst_Pelta::writeFailureKeepsTheOldFile()
{
    const QString source = writeImage(QStringLiteral("keep.png"), patternImage(25, 15));
    const QString target = dir_.filePath(QStringLiteral("notes.xyz"));
    QVERIFY(putFile(target, "precious notes"));
    Pelta window;
    QVERIFY(window.loadImageFile(source));
    const QString status = statusText(window);

    ModalDriver driver;
    QString title, text;
    driver.acceptBox(&title, &text);
    QVERIFY(!window.writeImageFile(target));

    QCOMPARE(driver.pendingSteps(), 0);
    QCOMPARE(title, QStringLiteral("pelta"));
    QCOMPARE(text, QStringLiteral("Cannot write %1: Unsupported image format").arg(target));
    QCOMPARE(fileBytes(target), QByteArray("precious notes"));
    QCOMPARE(statusText(window), status);
}

void tst_Pelta::copyThenPasteBringsTheImageBack()
{
    const QString first = writeImage(QStringLiteral("copied.png"), patternImage(64, 48));
    const QString second = writeImage(QStringLiteral("replaced.png"), patternImage(10, 10));
    Pelta window;
    QVERIFY(window.loadImageFile(first));
    QVERIFY(QMetaObject::invokeMethod(&window, "copy"));
    QVERIFY(window.loadImageFile(second));
    findAction(window, QStringLiteral("&Undo"))->setEnabled(true);

    QVERIFY(QMetaObject::invokeMethod(&window, "paste"));
    QCOMPARE(shownImage(window), patternImage(64, 48));
    QCOMPARE(statusText(window), QStringLiteral("Obtained image from clipboard, 64x48, Depth: 32"));
    QVERIFY(window.windowFilePath().isEmpty());
    QVERIFY(enabled(window, QStringLiteral("&Save As...")));
    // The clipboard is no part of the history.
    QVERIFY(enabled(window, QStringLiteral("&Undo")));
}

void tst_Pelta::pasteOfTextOnlyKeepsTheImage()
{
    const QString path = writeImage(QStringLiteral("kept.png"), patternImage(12, 34));
    Pelta window;
    QVERIFY(window.loadImageFile(path));
    QGuiApplication::clipboard()->setText(QStringLiteral("only words"));

    QVERIFY(QMetaObject::invokeMethod(&window, "paste"));
    QCOMPARE(statusText(window), QStringLiteral("No image in clipboard"));
    QCOMPARE(shownImage(window), patternImage(12, 34));
    QCOMPARE(window.windowFilePath(), path);
}

void tst_Pelta::zoomArithmetic()
{
    // The zoom-in steps are exact in binary; in twice and out twice is exactly 1.0 again.
    double zoom = 1.0;
    for (const double expected : {1.25, 1.5625, 1.953125, 2.44140625, 3.0517578125}) {
        QVERIFY(canZoomIn(zoom));
        zoom *= kZoomInStep;
        QVERIFY2(zoom == expected, qPrintable(QString::number(zoom, 'g', 17)));
    }
    QVERIFY(!canZoomIn(zoom));
    QVERIFY(canZoomOut(zoom));
    QVERIFY(canZoomIn(2.9999999));
    QVERIFY(!canZoomIn(3.0));

    zoom = 1.0;
    for (const double expected : {0.8, 0.64, 0.512, 0.4096, 0.32768}) {
        QVERIFY(canZoomOut(zoom));
        zoom *= kZoomOutStep;
        QCOMPARE(zoom, expected);
    }
    QVERIFY(!canZoomOut(zoom));
    QVERIFY(canZoomIn(zoom));
    // 0.333 is the limit, not one third: a factor between them may still zoom out.
    QVERIFY(canZoomOut(0.3331));
    QVERIFY(!canZoomOut(0.333));

    QVERIFY(1.0 * kZoomInStep * kZoomInStep * kZoomOutStep * kZoomOutStep == 1.0);

    QCOMPARE(zoomedSize(QSize(640, 480), kZoomOutStep * kZoomOutStep), QSize(410, 307));
    QCOMPARE(zoomedSize(QSize(640, 480), 3.0517578125), QSize(1953, 1465));
    // Halves go away from zero.
    QCOMPARE(zoomedSize(QSize(1, 3), 0.5), QSize(1, 2));
    QCOMPARE(zoomedSize(QSize(0, 0), 1.25), QSize(0, 0));
}

void tst_Pelta::scrollValues_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("pageStep");
    QTest::addColumn<double>("factor");
    QTest::addColumn<int>("expected");
    QTest::newRow("in") << 100 << 400 << kZoomInStep << 175;
    QTest::newRow("out") << 100 << 400 << kZoomOutStep << 40;
    QTest::newRow("in-truncates-4.625") << 3 << 7 << kZoomInStep << 4;
    // -39.99999999999999 in doubles, truncated toward zero; the bar clamps it to its minimum.
    QTest::newRow("out-at-0-truncates-up") << 0 << 400 << kZoomOutStep << -39;
    QTest::newRow("beyond-int") << INT_MAX << 400 << kZoomInStep << INT_MAX;
}

void tst_Pelta::scrollValues()
{
    QFETCH(int, value);
    QFETCH(int, pageStep);
    QFETCH(double, factor);
    QFETCH(int, expected);
    QCOMPARE(rescaledScrollValue(value, pageStep, factor), expected);
}

void tst_Pelta::zoomSteps_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("steps");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<bool>("inEnabled");
    QTest::addColumn<bool>("outEnabled");
    const QString in = QStringLiteral("Zoom &In (25%)");
    const QString out = QStringLiteral("Zoom &Out (25%)");
    QTest::newRow("in1") << in << 1 << 1.25 << true << true;
    QTest::newRow("in4") << in << 4 << 2.44140625 << true << true;
    QTest::newRow("in5") << in << 5 << 3.0517578125 << false << true;
    QTest::newRow("out2") << out << 2 << 0.64 << true << true;
    QTest::newRow("out4") << out << 4 << 0.4096 << true << true;
    QTest::newRow("out5") << out << 5 << 0.32768 << true << false;
}

void tst_Pelta::zoomSteps()
{
    QFETCH(QString, command);
    QFETCH(int, steps);
    QFETCH(double, zoom);
    QFETCH(bool, inEnabled);
    QFETCH(bool, outEnabled);

    const QString path = writeImage(QStringLiteral("zoom.png"), patternImage(640, 480));
    Pelta window;
    QVERIFY(window.loadImageFile(path));
    trigger(window, command, steps);

    QCOMPARE(pictureLabel(window)->size(), zoomedSize(QSize(640, 480), zoom));
    QCOMPARE(enabled(window, QStringLiteral("Zoom &In (25%)")), inEnabled);
    QCOMPARE(enabled(window, QStringLiteral("Zoom &Out (25%)")), outEnabled);
    QVERIFY(enabled(window, QStringLiteral("&Normal Size")));
    QVERIFY(enabled(window, QStringLiteral("Denoise...")));
    // The label shows the whole image, stretched: nothing is resampled into the pixmap.
    QCOMPARE(shownImage(window), patternImage(640, 480));
}

void tst_Pelta::zoomKeepsTheCentre()
{
    const QString path = writeImage(QStringLiteral("centre.png"), patternImage(900, 700));
    Pelta window;
    QVERIFY(window.loadImageFile(path));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QScrollBar *horizontal = window.findChild<QScrollArea *>()->horizontalScrollBar();
    QScrollBar *vertical = window.findChild<QScrollArea *>()->verticalScrollBar();

    // At the far end of the old range: only a range already grown with the label allows the
    // new value, so a bar moved before the label was resized would stay clamped.
    horizontal->setValue(horizontal->maximum());
    vertical->setValue(vertical->maximum() / 2);
    const int oldMaximum = horizontal->maximum();
    int h = horizontal->value(), v = vertical->value();
    QVERIFY(h > 0 && v > 0);
    trigger(window, QStringLiteral("Zoom &In (25%)"));
    QCOMPARE(horizontal->value(), rescaledScrollValue(h, horizontal->pageStep(), kZoomInStep));
    QCOMPARE(vertical->value(), rescaledScrollValue(v, vertical->pageStep(), kZoomInStep));
    QVERIFY(horizontal->value() > oldMaximum);

    // Back out: the range shrinks with the label first, so a value beyond the new end is
    // clamped to it before it is scaled; one inside (the vertical) scales as it is.
    h = horizontal->value();
    v = vertical->value();
    trigger(window, QStringLiteral("Zoom &Out (25%)"));
    QVERIFY(h > horizontal->maximum());
    QCOMPARE(horizontal->value(),
        rescaledScrollValue(horizontal->maximum(), horizontal->pageStep(), kZoomOutStep));
    QVERIFY(v < vertical->maximum());
    QCOMPARE(vertical->value(), rescaledScrollValue(v, vertical->pageStep(), kZoomOutStep));
    QCOMPARE(pictureLabel(window)->size(), QSize(900, 700));
}

void tst_Pelta::normalSizeKeepsTheLimits()
{
    const QString path = writeImage(QStringLiteral("normal.png"), patternImage(64, 48));
    Pelta window;
    QVERIFY(window.loadImageFile(path));
    trigger(window, QStringLiteral("Zoom &In (25%)"), 5);
    QVERIFY(!enabled(window, QStringLiteral("Zoom &In (25%)")));

    trigger(window, QStringLiteral("&Normal Size"));
    QCOMPARE(pictureLabel(window)->size(), QSize(64, 48));
    QVERIFY(!enabled(window, QStringLiteral("Zoom &In (25%)")));

    // The factor is 1.0 again: one Zoom Out gives 0.8 and Zoom In comes back.
    trigger(window, QStringLiteral("Zoom &Out (25%)"));
    QCOMPARE(pictureLabel(window)->size(), zoomedSize(QSize(64, 48), 0.8));
    QVERIFY(enabled(window, QStringLiteral("Zoom &In (25%)")));
}

void tst_Pelta::fitToWindowSwitchesTheZoomCommands()
{
    const QString path = writeImage(QStringLiteral("fitted.png"), patternImage(64, 48));
    Pelta window;
    QVERIFY(window.loadImageFile(path));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QScrollArea *scroll = window.findChild<QScrollArea *>();
    trigger(window, QStringLiteral("Zoom &Out (25%)"), 5);

    trigger(window, QStringLiteral("&Fit to Window"));
    QVERIFY(findAction(window, QStringLiteral("&Fit to Window"))->isChecked());
    QVERIFY(scroll->widgetResizable());
    QCOMPARE(pictureLabel(window)->size(), scroll->viewport()->size());
    for (const char *text : {"Denoise...", "Zoom &In (25%)", "Zoom &Out (25%)", "&Normal Size"})
        QVERIFY2(!enabled(window, QString::fromLatin1(text)), text);

    trigger(window, QStringLiteral("&Fit to Window"));
    QVERIFY(!scroll->widgetResizable());
    QCOMPARE(pictureLabel(window)->size(), QSize(64, 48));
    for (const char *text : {"Denoise...", "Zoom &In (25%)", "Zoom &Out (25%)", "&Normal Size"})
        QVERIFY2(enabled(window, QString::fromLatin1(text)), text);
    trigger(window, QStringLiteral("Zoom &In (25%)"));
    QCOMPARE(pictureLabel(window)->size(), QSize(80, 60));
}

void tst_Pelta::denoiseRefusesSmallImages_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("15x200") << QSize(15, 200);
    QTest::newRow("200x15") << QSize(200, 15);
}

void tst_Pelta::denoiseRefusesSmallImages()
{
    QFETCH(QSize, size);
    const QString path
        = writeImage(QStringLiteral("small.png"), patternImage(size.width(), size.height()));
    Pelta window;
    QVERIFY(window.loadImageFile(path));
    trigger(window, QStringLiteral("Zoom &In (25%)"));
    findAction(window, QStringLiteral("&Undo"))->setEnabled(true);
    const View before = view(window);

    ModalDriver driver;
    QString title, text;
    driver.acceptBox(&title, &text);
    trigger(window, QStringLiteral("Denoise..."));

    QVERIFY2(driver.unexpected().isEmpty(), qPrintable(driver.unexpected().join("; ")));
    QCOMPARE(driver.pendingSteps(), 0);
    QCOMPARE(title, QStringLiteral("Error"));
    QCOMPARE(text,
        QStringLiteral(
            "<p><center>The size of the image is to small to apply algorithm</center></p>"));
    QCOMPARE(view(window), before);
    QCOMPARE(shownImage(window), patternImage(size.width(), size.height()));
    QVERIFY(enabled(window, QStringLiteral("&Undo")));
    QVERIFY(!enabled(window, QStringLiteral("&Redo")));
}

void tst_Pelta::denoiseAtLevelZeroStillAccepts()
{
    // 16 x 16 is the smallest image the dialog opens for; OK without a release runs nothing.
    const QString path = writeImage(QStringLiteral("tiny.png"), patternImage(16, 16));
    Pelta window;
    QVERIFY(window.loadImageFile(path));
    DenoiseRun run;
    QVERIFY(denoiseWith(window, run));
    QCOMPARE(run.startLabel, QStringLiteral("0"));
    QCOMPARE(shownImage(window), patternImage(16, 16));
    QVERIFY(enabled(window, QStringLiteral("&Undo")));
    QVERIFY(!enabled(window, QStringLiteral("&Redo")));
}

void tst_Pelta::acceptedDenoiseKeepsTheView()
{
    const QImage original = patternImage(320, 240);
    const QString path = writeImage(QStringLiteral("noisy.png"), original);
    Pelta window;
    QVERIFY(window.loadImageFile(path));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    trigger(window, QStringLiteral("Zoom &In (25%)"), 2);
    QScrollArea *scroll = window.findChild<QScrollArea *>();
    scroll->horizontalScrollBar()->setValue(17);
    scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
    const View before = view(window);
    QCOMPARE(before.label, zoomedSize(QSize(320, 240), 1.5625));
    QVERIFY(before.horizontal == 17 && before.vertical > 0);

    QVERIFY(denoiseWith(window, 30, QDialogButtonBox::Ok));
    QCOMPARE(view(window), before);
    const QImage denoised = shownImage(window);
    QCOMPARE(denoised.size(), original.size());
    QVERIFY(denoised != original);
    QVERIFY(enabled(window, QStringLiteral("&Undo")));
    QVERIFY(!enabled(window, QStringLiteral("&Redo")));
    QVERIFY(enabled(window, QStringLiteral("Zoom &In (25%)")));

    // A zoom after the run scales the label from the restored factor, not from 1.0.
    trigger(window, QStringLiteral("Zoom &In (25%)"));
    QCOMPARE(view(window).label, zoomedSize(QSize(320, 240), 1.953125));
}

void tst_Pelta::undoAndRedoAlternateTwoImages()
{
    const QImage original = patternImage(320, 240);
    const QString path = writeImage(QStringLiteral("history.png"), original);
    Pelta window;
    QVERIFY(window.loadImageFile(path));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    trigger(window, QStringLiteral("Zoom &Out (25%)"));
    trigger(window, QStringLiteral("Zoom &In (25%)"), 3);
    window.findChild<QScrollArea *>()->horizontalScrollBar()->setValue(40);
    window.findChild<QScrollArea *>()->verticalScrollBar()->setValue(25);
    const View before = view(window);

    QVERIFY(denoiseWith(window, 25, QDialogButtonBox::Ok));
    const QImage denoised = shownImage(window);
    QVERIFY(denoised != original);

    for (int round = 0; round < 2; ++round) {
        trigger(window, QStringLiteral("&Undo"));
        QCOMPARE(shownImage(window), original);
        QCOMPARE(view(window), before);
        QVERIFY(!enabled(window, QStringLiteral("&Undo")));
        QVERIFY(enabled(window, QStringLiteral("&Redo")));

        trigger(window, QStringLiteral("&Redo"));
        QCOMPARE(shownImage(window), denoised);
        QCOMPARE(view(window), before);
        QVERIFY(enabled(window, QStringLiteral("&Undo")));
        QVERIFY(!enabled(window, QStringLiteral("&Redo")));
    }
}

void tst_Pelta::cancelledDenoiseEndsTheHistory()
{
    const QImage original = patternImage(64, 48);
    const QString path = writeImage(QStringLiteral("cancelled.png"), original);
    Pelta window;
    QVERIFY(window.loadImageFile(path));
    QVERIFY(denoiseWith(window, 20, QDialogButtonBox::Ok));
    const QImage denoised = shownImage(window);
    QVERIFY(denoised != original);
    trigger(window, QStringLiteral("Zoom &In (25%)"));
    const View before = view(window);

    // Cancelled after a preview: nothing changes but the history, which is gone.
    QVERIFY(denoiseWith(window, 40, QDialogButtonBox::Cancel));
    QCOMPARE(shownImage(window), denoised);
    QCOMPARE(view(window), before);
    QVERIFY(!enabled(window, QStringLiteral("&Undo")));
    QVERIFY(!enabled(window, QStringLiteral("&Redo")));

    // From the Redoable state too.
    QVERIFY(denoiseWith(window, 20, QDialogButtonBox::Ok));
    trigger(window, QStringLiteral("&Undo"));
    QVERIFY(enabled(window, QStringLiteral("&Redo")));
    QVERIFY(denoiseWith(window, 0, QDialogButtonBox::Cancel));
    QCOMPARE(shownImage(window), denoised);
    QVERIFY(!enabled(window, QStringLiteral("&Undo")));
    QVERIFY(!enabled(window, QStringLiteral("&Redo")));
}

void tst_Pelta::historyWhileFitting()
{
    const QString path = writeImage(QStringLiteral("fitting.png"), patternImage(64, 48));
    Pelta window;
    QVERIFY(window.loadImageFile(path));
    trigger(window, QStringLiteral("Zoom &In (25%)"), 5);
    QVERIFY(denoiseWith(window, 20, QDialogButtonBox::Ok));
    trigger(window, QStringLiteral("&Fit to Window"));

    // Undo and Redo re-show the image at the factor from before the fit: Zoom In stays off at
    // 3.05, Zoom Out is on, while the fitted view keeps Normal Size and Denoise off.
    for (const char *command : {"&Undo", "&Redo"}) {
        trigger(window, QString::fromLatin1(command));
        QVERIFY2(!enabled(window, QStringLiteral("&Normal Size")), command);
        QVERIFY2(!enabled(window, QStringLiteral("Denoise...")), command);
        QVERIFY2(!enabled(window, QStringLiteral("Zoom &In (25%)")), command);
        QVERIFY2(enabled(window, QStringLiteral("Zoom &Out (25%)")), command);
        QVERIFY(findAction(window, QStringLiteral("&Fit to Window"))->isChecked());
    }
}

void tst_Pelta::eachDialogStartsAtLevelZero()
{
    const QString path = writeImage(QStringLiteral("levels.png"), patternImage(40, 30));
    Pelta window;
    QVERIFY(window.loadImageFile(path));

    DenoiseRun first;
    first.level = 30;
    QVERIFY(denoiseWith(window, first));
    QCOMPARE(first.startLabel, QStringLiteral("0"));

    // The label opens at the level the window hands over: 30 would show if it were kept.
    DenoiseRun second;
    second.level = 12;
    second.button = QDialogButtonBox::Cancel;
    QVERIFY(denoiseWith(window, second));
    QCOMPARE(second.startLabel, QStringLiteral("0"));
    QCOMPARE(second.startSlider, 0);

    QVERIFY(denoiseWith(window, 9, QDialogButtonBox::Ok));
    trigger(window, QStringLiteral("&Undo"));
    DenoiseRun afterUndo;
    QVERIFY(denoiseWith(window, afterUndo));
    QCOMPARE(afterUndo.startLabel, QStringLiteral("0"));
}

QTEST_MAIN(tst_Pelta)
#include "tst_pelta.moc"
