// The pelta process: an application object, then the viewer's start-up.
#include "viewer/startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    return runPelta(QCoreApplication::arguments());
}
