#include "wizard/u_frmPvk2PfxWizard.h"

#include "widgets/ClickableLabel.h"
#include "widgets/FormLayout.h"
#include "widgets/KeyPreview.h"
#include "widgets/Skin.h"
#include "base/UserDialogs.h"
#include "projects/FileUtils.h"
#include "console/u_frmConsoleOutput.h"
#include "wizard/CryptoAPI.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QWindow>

#include <exception>

TfrmPvk2PfxWizard *frmPvk2PfxWizard = nullptr;

namespace {

QPushButton *placeButton(QWidget *parent, const char *name, const QString &caption, int left,
                         int top, int width, int height)
{
    auto *button = place(new QPushButton(caption, parent), name, left, top, width, height);
    // Enter in a field must not press whichever button happens to be first.
    button->setAutoDefault(false);
    return button;
}

QLineEdit *placeEdit(QWidget *parent, const char *name, int left, int top, int width,
                     bool pathField)
{
    auto *edit = place(new QLineEdit(parent), name, left, top, width, 19);
    if (pathField) {
        // Filled only through the "..." buttons; clickable to select text
        // but skipped by Tab.
        edit->setReadOnly(true);
        edit->setFocusPolicy(Qt::ClickFocus);
    } else {
        edit->setEchoMode(QLineEdit::Password);
    }
    return edit;
}

constexpr quint32 kVerdictSelector = DigestSelector::CRC32Reversed;

const QString PvkFilter = QStringLiteral("PVK (*.pvk)");
const QString SpcFilter = QStringLiteral("SPC (*.spc)");
const QString OpenDialogFilter = PvkFilter + QStringLiteral(";;") + SpcFilter;

} // namespace

TfrmPvk2PfxWizard::TfrmPvk2PfxWizard(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmPvk2PfxWizard"));
    setWindowTitle(QStringLiteral("PVK2PFX Wizard"));
    // Under a window manager a frame would add its own title above the
    // painted one; the face's title strip is the only one.
    setWindowFlag(Qt::FramelessWindowHint);
    setModal(true);
    setFixedSize(Skin::WizardFaceWidth, Skin::WizardFaceHeight);
    setFont(FormFont());
    setAutoFillBackground(true);
    QPalette face = palette();
    face.setColor(QPalette::Window, QColor(Skin::FaceColour));
    setPalette(face);
    setStyleSheet(Skin::styleSheet());

    lbPvkFileName = placeLabel(new QLabel(this), "lbPvkFileName",
                               QStringLiteral("PVK File Path:"), 63, 68);
    edPvkFileName = placeEdit(this, "edPvkFileName", 63, 84, 314, true);
    btnPvkFileName = placeButton(this, "btnPvkFileName", QStringLiteral("..."), 383, 83, 20, 20);

    lbPvkPassword = placeLabel(new QLabel(this), "lbPvkPassword",
                               QStringLiteral("PVK File Password:"), 63, 116);
    edPvkPassword = placeEdit(this, "edPvkPassword", 63, 132, 340, false);

    lbSpcFilename = placeLabel(new QLabel(this), "lbSpcFilename",
                               QStringLiteral("SPC File Path:"), 63, 164);
    edSpcFilename = placeEdit(this, "edSpcFilename", 63, 180, 314, true);
    btnSpcFilename = placeButton(this, "btnSpcFilename", QStringLiteral("..."), 383, 179, 20, 20);

    lbNewPfxPassword = placeLabel(new QLabel(this), "lbNewPfxPassword",
                                  QStringLiteral("New PFX File Password (Optional):"), 63, 212);
    edNewPfxPassword = placeEdit(this, "edNewPfxPassword", 63, 228, 165, false);
    lbNewPFXPasswordConfirm = placeLabel(new QLabel(this), "lbNewPFXPasswordConfirm",
                                         QStringLiteral("Confirm New PFX File Password:"), 238,
                                         212);
    edNewPFXPasswordConfirm = placeEdit(this, "edNewPFXPasswordConfirm", 238, 228, 165, false);

    cbOverwriteOldPfxFile = place(new QCheckBox(QStringLiteral("Overwite Exisiting PFX File"), this),
                                  "cbOverwriteOldPfxFile", 63, 262, 149, 19);
    cbOverwriteOldPfxFile->resize(qMax(149, cbOverwriteOldPfxFile->sizeHint().width()), 19);
    cbOverwriteOldPfxFile->setChecked(false);

    btnMakePfx = placeButton(this, "btnMakePfx", QStringLiteral("Save &PFX"), 267, 308, 80, 27);
    btnMakePfx->setIcon(Skin::glyph(Skin::Glyph::SavePfx));
    btnMakePfx->setIconSize(QSize(16, 16));
    btnExit = placeButton(this, "btnExit", QStringLiteral("&Cancel"), 355, 308, 80, 27);
    btnExit->setIcon(Skin::glyph(Skin::Glyph::Cancel));
    btnExit->setIconSize(QSize(16, 16));

    lbCopyRight = placeLabel(new ClickableLabel(this), "lbCopyRight",
                             QStringLiteral("\u00A9 2026 The Quillmark Developers"), 41, 315);
    lbCopyRight->setFont(FormFont(true));
    lbCopyRight->setStyleSheet(QStringLiteral("color: rgb(7, 61, 107);"));
    lbCopyRight->resize(lbCopyRight->sizeHint().width(), 13);
    lbCopyRight->setCursor(Qt::PointingHandCursor);

    const QList<QWidget *> tabOrder = {
        edPvkFileName,    btnPvkFileName,        edPvkPassword, edSpcFilename,
        btnSpcFilename,   edNewPfxPassword,      cbOverwriteOldPfxFile,
        btnMakePfx,       btnExit,               edNewPFXPasswordConfirm,
    };
    setTabChain(tabOrder);

    const QString pvkHint =
        QStringLiteral("Select the PVK file you wish to use to make the PFX file.");
    const QString spcHint =
        QStringLiteral("Select the SPC file you wish to use to make the PFX file.");
    const QList<QPair<QWidget *, QString>> hints = {
        {edPvkFileName, pvkHint},
        {btnPvkFileName, pvkHint},
        {edPvkPassword, QStringLiteral("Enter the PVK password (masked).")},
        {edSpcFilename, spcHint},
        {btnSpcFilename, spcHint},
        {edNewPfxPassword,
         QStringLiteral("To add a new password to the PFX file enter it here, to\n"
                        "use the same password as in the PVK file leave it blank.")},
        {edNewPFXPasswordConfirm,
         QStringLiteral("To confirm the new password for the PFX file, please re-enter it here.")},
        {cbOverwriteOldPfxFile,
         QStringLiteral("This option tells the pvk2pfx.exe to force an overwrite\n"
                        "if a PFX file with the same filename already exists.")},
        {btnMakePfx, QStringLiteral("Create a PFX file from a PVK and SPC file.")},
        {btnExit, QStringLiteral("Close the Pvk2Pfx Wizard Dialog.")},
    };
    setHints(hints);
    nameFromLabels({
        {lbPvkFileName, edPvkFileName},
        {lbPvkPassword, edPvkPassword},
        {lbSpcFilename, edSpcFilename},
        {lbNewPfxPassword, edNewPfxPassword},
        {lbNewPFXPasswordConfirm, edNewPFXPasswordConfirm},
    });
    setAccessibleNames({
        {btnPvkFileName, QStringLiteral("Browse for the PVK file")},
        {btnSpcFilename, QStringLiteral("Browse for the SPC file")},
    });

    connect(btnPvkFileName, &QPushButton::clicked, this, &TfrmPvk2PfxWizard::btnPvkFileNameClick);
    connect(btnSpcFilename, &QPushButton::clicked, this, &TfrmPvk2PfxWizard::btnSpcFilenameClick);
    connect(btnMakePfx, &QPushButton::clicked, this, &TfrmPvk2PfxWizard::btnMakePfxClick);
    connect(btnExit, &QPushButton::clicked, this, &TfrmPvk2PfxWizard::btnExitClick);
    connect(lbCopyRight, &ClickableLabel::clicked, this, &TfrmPvk2PfxWizard::lbCopyRightClick);
    new KeyPreview(this, [this](QKeyEvent *key) { return FormKeyDown(key); });
}

void TfrmPvk2PfxWizard::setMainWindow(Pvk2PfxWizardHost *mainWindow)
{
    m_main = mainWindow;
    m_mainObject = dynamic_cast<QObject *>(mainWindow);
}

void TfrmPvk2PfxWizard::setConsoleWindow(TfrmConsoleOutput *console)
{
    m_console = console;
}

QString TfrmPvk2PfxWizard::sdkBinFolder() const
{
    return host() ? host()->platformSdkFolder() : QString();
}

QString TfrmPvk2PfxWizard::GetPvk2PfxPath() const
{
    return ::GetPvk2PfxPath(sdkBinFolder());
}

QString TfrmPvk2PfxWizard::BuildPvk2PfxArgs() const
{
    return ::BuildPvk2PfxArgs(currentInputs(), NewPfxFileName);
}

Pvk2PfxInputs TfrmPvk2PfxWizard::currentInputs() const
{
    Pvk2PfxInputs inputs;
    inputs.pvkFileName = edPvkFileName->text();
    inputs.pvkPassword = edPvkPassword->text();
    inputs.spcFileName = edSpcFilename->text();
    inputs.newPfxPassword = edNewPfxPassword->text();
    inputs.newPfxPasswordConfirm = edNewPFXPasswordConfirm->text();
    inputs.overwrite = cbOverwriteOldPfxFile->isChecked();
    return inputs;
}

void TfrmPvk2PfxWizard::chooseInputFile(QLineEdit *field, const QString &selectedFilter)
{
    OpenFileRequest request;
    request.filter = OpenDialogFilter;
    request.selectedFilter = selectedFilter;
    if (!m_lastChosenFile.isEmpty())
        request.startFolder = QFileInfo(m_lastChosenFile).absolutePath();
    const std::optional<QString> chosen = UserDialogs::current().getOpenFileName(request);
    if (!chosen || chosen->isEmpty())
        return;
    m_lastChosenFile = *chosen;
    field->setText(*chosen);
}

void TfrmPvk2PfxWizard::btnPvkFileNameClick()
{
    chooseInputFile(edPvkFileName, PvkFilter);
}

void TfrmPvk2PfxWizard::btnSpcFilenameClick()
{
    chooseInputFile(edSpcFilename, SpcFilter);
}

PfxFileState TfrmPvk2PfxWizard::outputFileState(const QString &path)
{
    PfxFileState state;
    state.exists = FileExists(path);
    // A failed digest leaves the text empty, which the verdict takes into
    // account.
    if (state.exists)
        DigestFile(kVerdictSelector, path, state.digest);
    return state;
}

void TfrmPvk2PfxWizard::btnMakePfxClick()
{
    if (!host() || !m_console)
        return;

    const Pvk2PfxInputs inputs = currentInputs();
    const QString toolPath = GetPvk2PfxPath();
    QString refusal = CheckPvk2PfxInputs(inputs, toolPath, FileExists(toolPath));
    if (refusal.isEmpty())
        refusal = CheckPvk2PfxQuotes(inputs);
    if (!refusal.isEmpty()) {
        Messages::information(refusal);
        return;
    }

    SaveFileRequest request;
    request.caption = QStringLiteral("Save your PFX file as...");
    request.filter = QStringLiteral("PFX file (*.pfx)");
    request.defaultSuffix = QStringLiteral("pfx");
    request.confirmOverwrite = false;
    const std::optional<QString> chosen = UserDialogs::current().getSaveFileName(request);
    if (!chosen || chosen->isEmpty())
        return;
    const QString outputName = PfxOutputName(*chosen);
    refusal = CheckPfxFileNameQuotes(outputName);
    if (!refusal.isEmpty()) {
        Messages::information(refusal);
        return;
    }
    NewPfxFileName = outputName;

    const PfxFileState before = outputFileState(NewPfxFileName);
    m_console->clear();
    // The command line never goes to the console: it holds the passwords.
    // An error reading the tool's output back still leaves a file to judge;
    // the verdict and the console come first, the error after them.
    std::exception_ptr runError;
    try {
        host()->RunAndCapture(sdkBinFolder(), toolPath, BuildPvk2PfxArgs(), true);
    } catch (...) {
        runError = std::current_exception();
    }
    const PfxFileState after = outputFileState(NewPfxFileName);
    m_console->addLines(PfxVerdictLines(JudgePfxOutput(before, after), NewPfxFileName));
    m_console->showModal();
    close();
    if (runError)
        std::rethrow_exception(runError);
}

void TfrmPvk2PfxWizard::btnExitClick()
{
    close();
}

void TfrmPvk2PfxWizard::lbCopyRightClick()
{
    if (Pvk2PfxWizardHost *main = host())
        main->lbCopyRightClick();
}

bool TfrmPvk2PfxWizard::FormKeyDown(QKeyEvent *event)
{
    if (event->key() != Qt::Key_Escape)
        return false;
    close();
    return true;
}

void TfrmPvk2PfxWizard::showEvent(QShowEvent *event)
{
    if (QWidget *owner = parentWidget() ? parentWidget()->window() : nullptr) {
        QRect frame = frameGeometry();
        frame.moveCenter(owner->frameGeometry().center());
        move(frame.topLeft());
    }
    QDialog::showEvent(event);
}

void TfrmPvk2PfxWizard::paintEvent(QPaintEvent *event)
{
    const qreal ratio = devicePixelRatioF();
    if (m_face.isNull() || m_face.devicePixelRatio() != ratio)
        m_face = Skin::wizardFace(ratio);
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_face);
    QDialog::paintEvent(event);
}

void TfrmPvk2PfxWizard::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QDialog::mousePressEvent(event);
    if (windowHandle() && windowHandle()->startSystemMove())
        return;
    m_dragging = true;
    m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void TfrmPvk2PfxWizard::mouseMoveEvent(QMouseEvent *event)
{
    if (m_dragging && (event->buttons() & Qt::LeftButton))
        move(event->globalPosition().toPoint() - m_dragOffset);
    QDialog::mouseMoveEvent(event);
}

void TfrmPvk2PfxWizard::mouseReleaseEvent(QMouseEvent *event)
{
    m_dragging = false;
    QDialog::mouseReleaseEvent(event);
}
