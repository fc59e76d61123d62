#pragma once

// The folder dialog object that the main window owns and its callers share:
// each caller sets Title (the prompt), calls Execute, and reads Path. The
// last choice seeds the next showing.

#include <QString>

class TDivBrowseForFolder {
public:
    QString Title = QStringLiteral("Select the MS .NET SDK Bin Folder...");
    QString WindowTitle = QStringLiteral("Select Folder");
    QString Path;   // as the system gives it: no trailing "/" except for "/" itself

    // Shows the dialog modally; true when the user chose a folder with OK.
    bool Execute();
};
