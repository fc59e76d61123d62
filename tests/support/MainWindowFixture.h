#pragma once

// A main window over a fresh temporary program folder, with scripted
// dialogs, for the tests that drive the window. Made in a test's init() and
// deleted in its cleanup(); start() makes the window, again for a restart.

#include "mainwindow/u_frmMain.h"
#include "support/ScriptedDialogs.h"
#include "support/TestData.h"

#include <QTemporaryDir>

class MainWindowFixture {
public:
    ~MainWindowFixture()
    {
        delete window;
        testdata::removeFolderContents(folder());
    }

    TfrmMain *start()
    {
        delete window;
        window = new TfrmMain(folder() + QLatin1Char('/'));
        return window;
    }

    // The program folder, without a trailing "/".
    QString folder() const { return m_folder.path(); }
    ScriptedDialogs &dialogs() { return *m_dialogs; }

    template <typename T = QWidget> T *find(const char *name) const
    {
        T *widget = window->findChild<T *>(QString::fromLatin1(name));
        if (!widget)
            qWarning("no control named %s", name);
        return widget;
    }

    TfrmMain *window = nullptr;

private:
    QTemporaryDir m_folder;
    ScriptedDialogsGuard m_dialogs;
};
