#pragma once

// The PVK to PFX wizard: a small modal dialog that turns a PVK key and an
// SPC certificate into a PFX file with the SDK's conversion tool. Like the
// main window it is frameless: its painted title strip is its one title. Created
// once at start-up and shown again and again; its entries (passwords
// included) and the last output name last until the program ends.

#include "wizard/Pvk2PfxRequest.h"

#include <QDialog>
#include <QPixmap>
#include <QPointer>

class QCheckBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class ClickableLabel;
class TfrmConsoleOutput;

// What the wizard borrows from the main window: the SDK folder, the tool
// runner and the web site. The main window implements it, so that the
// wizard needs nothing of the main window's own header.
class Pvk2PfxWizardHost {
public:
    virtual QString platformSdkFolder() const = 0;
    virtual bool RunAndCapture(const QString &workingFolder, const QString &programPath,
                               const QString &arguments, bool minimised) = 0;
    virtual void lbCopyRightClick() = 0;

protected:
    ~Pvk2PfxWizardHost() = default;
};

class TfrmPvk2PfxWizard : public QDialog {
    Q_OBJECT
public:
    explicit TfrmPvk2PfxWizard(QWidget *parent = nullptr);

    // The main window lends the SDK folder, the tool runner and the web
    // site; the console shows the tool's output and the verdict. Start-up
    // wires both once.
    void setMainWindow(Pvk2PfxWizardHost *mainWindow);
    void setConsoleWindow(TfrmConsoleOutput *console);

    QString GetPvk2PfxPath() const;
    QString BuildPvk2PfxArgs() const;

    void btnPvkFileNameClick();
    void btnSpcFilenameClick();
    // Checks the inputs (one message per press), asks where to save, runs
    // the tool through the main window's runner and adds the verdict on the
    // output file to the console, shows the console and closes. An error
    // raised by the runner is passed on after the verdict and the console.
    void btnMakePfxClick();
    void btnExitClick();
    void lbCopyRightClick();
    // Key preview: Escape closes the wizard whatever modifiers are held;
    // every other key goes on to the focused control.
    bool FormKeyDown(QKeyEvent *event);

    // The output path fixed by the last save step that was not cancelled.
    QString NewPfxFileName;

    QLabel *lbPvkFileName;
    QLineEdit *edPvkFileName;
    QPushButton *btnPvkFileName;
    QLabel *lbPvkPassword;
    QLineEdit *edPvkPassword;
    QLabel *lbSpcFilename;
    QLineEdit *edSpcFilename;
    QPushButton *btnSpcFilename;
    QLabel *lbNewPfxPassword;
    QLineEdit *edNewPfxPassword;
    QLabel *lbNewPFXPasswordConfirm;
    QLineEdit *edNewPFXPasswordConfirm;
    QCheckBox *cbOverwriteOldPfxFile;
    QPushButton *btnMakePfx;
    QPushButton *btnExit;
    ClickableLabel *lbCopyRight;

protected:
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    // Frameless, it is moved by dragging its face, as the main window is.
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    Pvk2PfxInputs currentInputs() const;
    QString sdkBinFolder() const;
    // The one open dialog of both "..." buttons, with its one filter text
    // (PVK first, then SPC) and the entry of the file asked for selected; it
    // starts in the folder of the file chosen last with either button.
    void chooseInputFile(QLineEdit *field, const QString &selectedFilter);
    static PfxFileState outputFileState(const QString &path);

    // The host, while the object behind it lives.
    Pvk2PfxWizardHost *host() const { return m_mainObject ? m_main : nullptr; }
    Pvk2PfxWizardHost *m_main = nullptr;
    QPointer<QObject> m_mainObject;
    QPointer<TfrmConsoleOutput> m_console;
    QString m_lastChosenFile;
    QPixmap m_face;   // painted once per device pixel ratio
    QPoint m_dragOffset;
    bool m_dragging = false;
};

extern TfrmPvk2PfxWizard *frmPvk2PfxWizard;
