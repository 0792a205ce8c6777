// The main window: menus and their states, opening, saving, the clipboard and the About box.
#include "gui/modal_driver.h"
#include "gui/testutils.h"
#include "image/image_io.h"
#include "viewer/pelta.h"

#include <QAction>
#include <QClipboard>
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

QTEST_MAIN(tst_Pelta)
#include "tst_pelta.moc"
