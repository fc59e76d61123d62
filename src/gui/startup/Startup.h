#pragma once

// The program's start: the application title, the three windows in their
// order, and the administrator check that decides whether the main window
// is ever shown.

#include "platform/Platform.h"

#include <QString>

class QApplication;

struct StartupOptions {
    QString programFolder;                          // empty: the executable's folder
    platform::UserIdentity identity;                // who is running the program
};

// Creates the windows and, for an administrator, shows the main window and
// returns true: the caller then runs the event loop. Anyone else sees the
// refusal box; no window is shown, nothing is written, and the result is
// false.
bool StartQuillmark(const StartupOptions &options);

// Deletes the three windows (at the end of the program, or of a test).
void DestroyQuillmarkWindows();

// What to do without a display, naming the program as it was started
// (`startedAs`: argv[0], quoted for the shell where it needs that), so that
// the command can be run as printed: "./quillmark" is right only in the
// build folder.
QString NoDisplayMessage(const QString &startedAs);
