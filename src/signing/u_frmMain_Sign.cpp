// The sign action of the main window: check the request, build the signing
// tool's command line from the options and the list, run the tool behind
// the wait panel, and show what it printed.

#include "app/u_frmMain.h"

#include "app/OptionTable.h"
#include "app/UserDialogs.h"
#include "filelist/TDivFileList.h"
#include "projects/FileUtils.h"
#include "platform/Platform.h"
#include "signing/CommandLine.h"
#include "signing/SignBatches.h"
#include "signing/SignProgress.h"
#include "signing/ToolRunner.h"
#include "signing/u_frmConsoleOutput.h"

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

// Runs the signing tool over the files, in as many consecutive runs as the
// system's argument space needs, each run's output appended to the console
// after a line that says which files it signs. A run that fails does not
// keep the next from running: the user reads every run's output, as for a
// single run.
void TfrmMain::runSignTool(const QStringList &files, bool minimised)
{
    const QString program = GetSignToolPath();
    const QString options = BuildSignOptions();
    const QList<FileBatch> batches =
        PlanSignBatches(program, SplitArguments(options), files, argumentLimits());
    const int total = int(files.size());
    const bool headed = batches.size() > 1;
    int signedFiles = 0;
    for (const FileBatch &batch : batches) {
        if (headed) {
            // A blank line parts a batch's output from the next header.
            if (batch.first > 0)
                m_console->addLine(QString());
            m_console->addLine(BatchHeader(batch, total));
        }
        // The count moves as the tool prints each file's outcome.
        OutcomeLineCounter counter;
        auto outputGrew = [&](const QByteArray &added) {
            const int before = counter.count();
            counter.feed(added);
            if (counter.count() != before)
                showProgress(batch.first + std::min(counter.count(), batch.count), total);
        };
        const qsizetype linesBefore = m_console->lines().size();
        const QString arguments =
            options + ::BuildFileArguments(files.mid(batch.first, batch.count));
        ::RunAndCapture(*m_console, edPlatformSDKFolder->text(), program, arguments, minimised,
                        outputGrew);
        // The run has ended, so its files are dealt with, whatever it printed.
        showProgress(batch.first + batch.count, total);
        // Counted from what the run printed in full, whatever reached the
        // progress while it ran.
        signedFiles +=
            std::min(CountSignedFiles(m_console->lines().mid(linesBefore)), batch.count);
    }
    if (headed)
        m_console->addLine(SignedTotalLine(signedFiles, total));
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
