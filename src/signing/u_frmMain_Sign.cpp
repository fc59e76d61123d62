// The sign action of the main window: check the request, build the signing
// tool's command line from the options and the list, run the tool behind
// the wait panel, and show what it printed.

#include "app/u_frmMain.h"

#include "app/UserDialogs.h"
#include "filelist/TDivFileList.h"
#include "projects/FileUtils.h"
#include "signing/CommandLine.h"
#include "signing/ToolRunner.h"
#include "signing/u_frmConsoleOutput.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QLineEdit>

SignOptions TfrmMain::currentSignOptions() const
{
    SignOptions options;
    options.sdkBinFolder = edPlatformSDKFolder->text();
    options.selectBestCert = cbSelectBestCert->isChecked();
    options.usePfxFile = cbUsePFXFile->isChecked();
    options.pfxFilename = edCertName->text();
    options.pfxPassword = edPassword->text();
    options.timeStamp = cbTimeStamp->isChecked();
    options.timeStampUrl = edTimeStampURL->text();
    options.addDescription = cbAddDesc->isChecked();
    options.descriptionText = edAddDesc->text();
    options.descriptionUrl = edAddDescURL->text();
    options.verboseOutput = cbVerboseOutput->isChecked();
    return options;
}

QStringList TfrmMain::listedFilePaths() const
{
    QStringList paths;
    for (int i = 0; i < DivFileList->count(); ++i)
        paths.append(DivFileList->fullPath(i));
    return paths;
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
    return ::RunAndCapture(*m_console, workingFolder, programPath, arguments, minimised);
}

void TfrmMain::showWaitPanel()
{
    pnlWait->show();
    pnlWait->raise();
    // Paint the panel before the blocking run begins.
    QCoreApplication::processEvents();
}

void TfrmMain::hideWaitPanel()
{
    pnlWait->hide();
}

void TfrmMain::btnSignClick()
{
    const SignOptions options = currentSignOptions();
    QString refusal = CheckSignRequest(options, DivFileList->count(),
                                       signToolExists());
    if (refusal.isEmpty())
        refusal = CheckForDoubleQuotes(options, listedFilePaths());
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
        const QString arguments = BuildSignOptions() + BuildFileArguments();
        RunAndCapture(edPlatformSDKFolder->text(), GetSignToolPath(), arguments, minimised);
    } catch (...) {
        // The console comes first; the error is reported once it is closed.
        hideWaitPanel();
        m_console->showModal();
        throw;
    }
    hideWaitPanel();
    m_console->showModal();
}
