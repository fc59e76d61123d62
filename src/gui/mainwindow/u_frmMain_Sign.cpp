// The sign action of the main window: check the request, build the signing
// tool's command line from the options and the list, run the tool behind
// the wait panel, and show what it printed.

#include "mainwindow/u_frmMain.h"

#include "options/OptionTable.h"
#include "base/UserDialogs.h"
#include "filelist/TDivFileList.h"
#include "projects/FileUtils.h"
#include "platform/Platform.h"
#include "signing/CommandLine.h"
#include "signing/SignBatches.h"
#include "signing/SignProgress.h"
#include "signing/SignTask.h"
#include "signing/ToolRunner.h"
#include "console/u_frmConsoleOutput.h"
#include "widgets/UserInputBlock.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>

#include <algorithm>

SignOptions TfrmMain::currentSignOptions() const
{
    return ToSignOptions(shownOptions(), edPassword->text());
}

QStringList TfrmMain::listedFilePaths() const
{
    QStringList paths;
    for (int i = 0; i < DivFileList->count(); ++i)
        paths.append(DivFileList->fullPath(i));
    return paths;
}

QString TfrmMain::platformSdkFolder() const
{
    return edPlatformSDKFolder->text();
}

QString TfrmMain::GetSignToolPath() const
{
    return ::GetSignToolPath(edPlatformSDKFolder->text());
}

QString TfrmMain::BuildSignOptions() const
{
    return ::BuildSignOptions(currentSignOptions());
}

QString TfrmMain::BuildFileArguments() const
{
    return ::BuildFileArguments(listedFilePaths());
}

void TfrmMain::WriteCommandLineToConsole()
{
    if (m_console)
        m_console->addLines(CommandLineBlock(currentSignOptions()));
}

bool TfrmMain::RunAndCapture(const QString &workingFolder, const QString &programPath,
                             const QString &arguments, bool minimised)
{
    UserInputBlock inputBlock;
    return ::RunAndCapture(*m_console, workingFolder, programPath, arguments, minimised, {},
                           nullptr, [&](bool running) { inputBlock.setBlocked(running); });
}

ArgumentLimits TfrmMain::argumentLimits() const
{
    if (m_argumentLimits)
        return *m_argumentLimits;
    const platform::ArgumentSpace space = platform::childArgumentSpace();
    return {UsableArgumentSpace(space.argMax, space.environmentBytes), space.longestArgument};
}

void TfrmMain::showWaitPanel()
{
    lbProgress->hide();
    pbProgress->hide();
    layOutWaitPanel(false);
    pnlWait->show();
    pnlWait->raise();
    // Paint the panel before the blocking run begins.
    QCoreApplication::processEvents();
}

void TfrmMain::hideWaitPanel()
{
    pnlWait->hide();
}

void TfrmMain::showProgress(int done, int total)
{
    if (done <= 0)
        return;
    lbProgress->setText(ProgressText(done, total));
    pbProgress->setRange(0, std::max(total, 1));
    pbProgress->setValue(std::clamp(done, 0, total));
    // A screen reader reads the count as the bar's description.
    pbProgress->setAccessibleDescription(lbProgress->text());
    if (!pbProgress->isVisibleTo(pnlWait))
        layOutWaitPanel(true);
    pbProgress->show();
    lbProgress->show();
}

// Runs the signing tool over the files (in batches where the system's
// argument space needs them), the wait panel following its progress and
// the window taking no input while a tool runs.
void TfrmMain::runSignTool(const QStringList &files, bool minimised)
{
    SignRunRequest request;
    request.workingFolder = edPlatformSDKFolder->text();
    request.program = GetSignToolPath();
    request.options = BuildSignOptions();
    request.files = files;
    request.limits = argumentLimits();
    request.minimised = minimised;
    SignTask task(*m_console, request);
    UserInputBlock inputBlock;
    connect(&task, &SignTask::progress, this, &TfrmMain::showProgress);
    connect(&task, &SignTask::toolRunningChanged, this,
            [&inputBlock](bool running) { inputBlock.setBlocked(running); });
    task.run();
}

void TfrmMain::btnSignClick()
{
    const SignOptions options = currentSignOptions();
    const QStringList files = listedFilePaths();
    QString refusal = CheckSignRequest(options, DivFileList->count(),
                                       signToolExists());
    if (refusal.isEmpty())
        refusal = CheckForDoubleQuotes(options, files);
    if (!refusal.isEmpty()) {
        Messages::information(refusal);
        return;
    }

    m_console->clear();
    if (cbAddCmdLnToConsole->isChecked())
        WriteCommandLineToConsole();
    const bool minimised = !cbSelectBestCert->isChecked();
    showWaitPanel();
    try {
        runSignTool(files, minimised);
    } catch (...) {
        // The console comes first; the error is reported once it is closed.
        hideWaitPanel();
        m_console->showModal();
        throw;
    }
    hideWaitPanel();
    m_console->showModal();
}
