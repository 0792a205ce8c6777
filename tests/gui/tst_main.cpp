// Start-up: the command line, the first file, the exit status of a file that cannot be loaded.
#include "gui/modal_driver.h"
#include "gui/testutils.h"
#include "viewer/pelta.h"
#include "viewer/startup.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

// The visible Pelta window, if there is one.
static Pelta *shownWindow()
{
    const QWidgetList widgets = QApplication::topLevelWidgets();
    for (QWidget *widget : widgets) {
        if (auto *window = qobject_cast<Pelta *>(widget); window && window->isVisible())
            return window;
    }
    return nullptr;
}

// Runs `look` on the window once the event loop shows it, then closes it.
static void whenShown(std::function<void(Pelta *)> look)
{
    auto *timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, look] {
        if (Pelta *window = shownWindow()) {
            timer->deleteLater();
            look(window);
            window->close();
        }
    });
    timer->start();
}

class tst_Main : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void helpNamesTheFileArgument();
    void withoutArgumentsTheWindowIsEmpty();
    void opensTheFirstArgumentOnly();
    void unloadableFileExitsWithMinusOne();

private:
    QTemporaryDir dir_;
};

void tst_Main::cleanup()
{
    const QStringList leaked = leakedTopLevelWidgets();
    QVERIFY2(leaked.isEmpty(), qPrintable(leaked.join(QStringLiteral(", "))));
}

void tst_Main::helpNamesTheFileArgument()
{
    // --help prints and ends the process, so it runs in a process of its own.
    QProcess pelta;
    pelta.start(QStringLiteral(PELTA_EXECUTABLE), {QStringLiteral("--help")});
    QVERIFY(pelta.waitForFinished(30000));
    QCOMPARE(pelta.exitStatus(), QProcess::NormalExit);
    QCOMPARE(pelta.exitCode(), 0);
    const QString help = QString::fromLocal8Bit(pelta.readAllStandardOutput());
    QVERIFY2(help.contains(QStringLiteral("[file]")), qPrintable(help));
    QVERIFY2(help.contains(QStringLiteral("Image file to open.")), qPrintable(help));
    QVERIFY2(help.contains(QStringLiteral("--help")), qPrintable(help));
    QVERIFY2(!help.contains(QStringLiteral("--version")), qPrintable(help));
}

void tst_Main::withoutArgumentsTheWindowIsEmpty()
{
    bool saveAsEnabled = true;
    QString filePath = QStringLiteral("unset");
    whenShown([&](Pelta *window) {
        filePath = window->windowFilePath();
        const QList<QAction *> file = window->menuBar()->actions().first()->menu()->actions();
        saveAsEnabled = file.at(1)->isEnabled();
    });
    QCOMPARE(runPelta({QStringLiteral("pelta")}), 0);
    QCOMPARE(QGuiApplication::applicationDisplayName(), QStringLiteral("pelta"));
    QVERIFY(filePath.isEmpty());
    QVERIFY(!saveAsEnabled);
}

void tst_Main::opensTheFirstArgumentOnly()
{
    const QString first = dir_.filePath(QStringLiteral("first.png"));
    const QString second = dir_.filePath(QStringLiteral("second.png"));
    QVERIFY(patternImage(30, 20).save(first));
    QVERIFY(patternImage(50, 40).save(second));

    QString filePath, status;
    whenShown([&](Pelta *window) {
        filePath = window->windowFilePath();
        status = window->statusBar()->currentMessage();
    });
    QCOMPARE(runPelta({QStringLiteral("pelta"), first, second}), 0);
    QCOMPARE(filePath, first);
    QCOMPARE(status, QStringLiteral("Opened \"%1\", 30x20, Depth: 32").arg(first));
}

void tst_Main::unloadableFileExitsWithMinusOne()
{
    const QString missing = dir_.filePath(QStringLiteral("missing.png"));
    ModalDriver driver;
    QString title, text;
    bool windowShown = true;
    driver.expect<QMessageBox>([&](QMessageBox *box) {
        windowShown = shownWindow() != nullptr;
        title = box->windowTitle();
        text = box->text();
        box->button(QMessageBox::Ok)->click();
    });
    QCOMPARE(runPelta({QStringLiteral("pelta"), missing}), -1);

    QCOMPARE(driver.pendingSteps(), 0);
    QVERIFY(!windowShown);
    QCOMPARE(title, QStringLiteral("pelta"));
    QVERIFY2(text.startsWith(QStringLiteral("Cannot load %1: ").arg(missing)), qPrintable(text));
}

QTEST_MAIN(tst_Main)
#include "tst_main.moc"
