// The start-up of the viewer process after the application object exists.
#pragma once

#include <QStringList>

// Names the application, parses the command line (the help option and "[file]" are handled
// and end the process here), builds the window, opens the first positional argument if any,
// shows the window and runs the event loop. Returns the event loop's result, or -1 without
// showing a window when the file cannot be loaded. Needs a QApplication.
int runPelta(const QStringList &arguments);
