#include "startup/Startup.h"

#include "base/AdminCheck.h"
#include "app/QuillmarkApplication.h"
#include "base/UserDialogs.h"
#include "mainwindow/u_frmMain.h"
#include "console/u_frmConsoleOutput.h"
#include "wizard/u_frmPvk2PfxWizard.h"

#include <QApplication>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QScreen>

namespace {

void centreOnScreen(QWidget *window)
{
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
}

// `word` as one word of a shell command: as it is when it holds nothing the
// shell would act on, else in single quotes.
QString shellWord(const QString &word)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+,:=@%-]+$"));
    if (plain.match(word).hasMatch())
        return word;
    QString quoted = word;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

QString NoDisplayMessage(const QString &startedAs)
{
    return QStringLiteral("Quillmark is a desktop program and needs a display, but neither DISPLAY nor "
                          "WAYLAND_DISPLAY is set.\nStart it from a desktop session, or under a "
                          "virtual display:\n  xvfb-run -a %1\n")
        .arg(shellWord(startedAs.isEmpty() ? QStringLiteral("quillmark") : startedAs));
}

bool StartQuillmark(const StartupOptions &options)
{
    // The title goes in as the application's name, not its display name,
    // which Qt would append to every window's caption.
    QCoreApplication::setApplicationName(QString::fromLatin1(ApplicationTitle));
    // Every window without an icon of its own, message boxes included,
    // shows the application's. The desktop file name lets Wayland desktops,
    // which ignore window icons, find the menu entry and its icon.
    QApplication::setWindowIcon(ApplicationIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("quillmark"));

    // The main window comes first and reads the settings as it is made.
    frmMain = new TfrmMain(options.programFolder);
    frmConsoleOutput = new TfrmConsoleOutput(frmMain);
    frmPvk2PfxWizard = new TfrmPvk2PfxWizard(frmMain);
    frmMain->setConsoleWindow(frmConsoleOutput);
    frmMain->setWizardWindow(frmPvk2PfxWizard);
    frmPvk2PfxWizard->setMainWindow(frmMain);
    frmPvk2PfxWizard->setConsoleWindow(frmConsoleOutput);

    if (!IsAdminIdentity(options.identity)) {
        // The main window is never shown, so it never closes and never
        // writes the settings file.
        MessageRequest refusal;
        refusal.kind = MessageKind::Information;
        refusal.caption = QString::fromLatin1(ApplicationTitle);
        refusal.text = NonAdminRefusalText();
        UserDialogs::current().showMessage(refusal);
        return false;
    }

    centreOnScreen(frmMain);
    frmMain->show();
    return true;
}

void DestroyQuillmarkWindows()
{
    // The console and the wizard are children of the main window.
    delete frmMain;
    frmMain = nullptr;
    frmConsoleOutput = nullptr;
    frmPvk2PfxWizard = nullptr;
}
