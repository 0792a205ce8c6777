// Start-up of the viewer: display name, command line, window, first file, event loop.
#include "viewer/startup.h"

#include "viewer/pelta.h"

#include <QApplication>
#include <QCommandLineParser>

int runPelta(const QStringList &arguments)
{
    QGuiApplication::setApplicationDisplayName(Pelta::tr("pelta"));

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addPositionalArgument(Pelta::tr("[file]"), Pelta::tr("Image file to open."));
    parser.process(arguments);

    Pelta window;
    const QStringList files = parser.positionalArguments();
    if (!files.isEmpty() && !window.loadImageFile(files.first()))
        return -1;
    window.show();
    return QApplication::exec();
}
