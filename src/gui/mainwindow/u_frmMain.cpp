#include "mainwindow/u_frmMain.h"

#include "widgets/ClickableLabel.h"
#include "widgets/FormLayout.h"
#include "widgets/KeyPreview.h"
#include "widgets/Skin.h"
#include "base/UserDialogs.h"
#include "filelist/FileListEntry.h"
#include "filelist/TDivFileList.h"
#include "console/u_frmConsoleOutput.h"
#include "wizard/u_frmPvk2PfxWizard.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QBitmap>
#include <QCheckBox>
#include <QCloseEvent>
#include <QAbstractItemView>
#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QWindow>

TfrmMain *frmMain = nullptr;

namespace {

// A plain QWidget is read as a "filler" inside something else; the main
// window is a window, and a screen reader announces it as one (a frame).
QAccessibleInterface *mainWindowAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String("TfrmMain") && object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Window);
    return nullptr;
}

void announceMainWindowAsWindow()
{
    static const bool installed = [] {
        QAccessible::installFactory(mainWindowAccessible);
        return true;
    }();
    Q_UNUSED(installed);
}

QCheckBox *placeCheckBox(QWidget *parent, const char *name, const QString &caption, int left,
                         int top, int width, bool checked)
{
    auto *box = place(new QCheckBox(caption, parent), name, left, top, width, 19);
    box->resize(qMax(width, box->sizeHint().width()), 19);
    box->setChecked(checked);
    return box;
}

QPushButton *placeCommandButton(QWidget *parent, const char *name, const QString &caption,
                                int left, Skin::Glyph glyph)
{
    auto *button = place(new QPushButton(Skin::glyph(glyph), caption, parent), name, left, 553,
                         90, 27);
    button->setIconSize(QSize(16, 16));
    return button;
}

} // namespace

TfrmMain::TfrmMain(const QString &programFolder, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
    , m_programFolder(programFolder)
{
    announceMainWindowAsWindow();
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Quillmark"));
    setFixedSize(800, 600);
    setFont(FormFont());
    setAutoFillBackground(true);
    QPalette face = palette();
    face.setColor(QPalette::Window, QColor(124, 159, 187));
    setPalette(face);
    setStyleSheet(Skin::styleSheet());

    // Without a compositor the rounded corners would show black; the mask
    // cuts them off instead.
    setMask(Skin::faceMask());

    buildTitleStrip();
    buildOptionControls();
    buildProjectRow();
    buildFileListArea();
    buildCommandButtons();
    buildWaitPanel();
    buildFileListMenu();
    setTabOrderAndHints();
    nameControls();
    connectHandlers();
    new KeyPreview(this, [this](QKeyEvent *key) { return FormKeyDown(key); });

    FormCreate();
}

TfrmMain::~TfrmMain()
{
    if (frmMain == this)
        frmMain = nullptr;
}

void TfrmMain::setConsoleWindow(TfrmConsoleOutput *console)
{
    m_console = console;
}

void TfrmMain::setWizardWindow(TfrmPvk2PfxWizard *wizard)
{
    m_wizard = wizard;
}

QString TfrmMain::webSiteUrl()
{
    return QStringLiteral("https://quillmark.org/");
}

// ---- layout -----------------------------------------------------------------

void TfrmMain::buildTitleStrip()
{
    struct TitleButtonPlace { ImageButton **button; const char *name; Skin::TitleButton kind; int left; };
    const TitleButtonPlace places[] = {
        {&btnWeb, "btnWeb", Skin::TitleButton::Web, 666},
        {&btnHelp, "btnHelp", Skin::TitleButton::Help, 695},
        {&btnMinimize, "btnMinimize", Skin::TitleButton::Minimize, 724},
        {&btnClose, "btnClose", Skin::TitleButton::Close, 753},
    };
    for (const TitleButtonPlace &p : places)
        *p.button = place(new ImageButton(p.kind, this), p.name, p.left, 22, 24, 24);
}

void TfrmMain::buildOptionControls()
{
    lbPlatformSDKFolder = placeLabel(new QLabel(this), "lbPlatformSDKFolder",
                                     QStringLiteral("MS Platform SDK Bin Folder:"), 40, 73, 133);
    edPlatformSDKFolder = place(new QLineEdit(this), "edPlatformSDKFolder", 40, 90, 305, 19);
    edPlatformSDKFolder->setReadOnly(true);
    bntSelSignTool = place(new QPushButton(QStringLiteral("..."), this), "bntSelSignTool", 350,
                           89, 20, 20);

    cbSelectBestCert = placeCheckBox(this, "cbSelectBestCert",
                                     QStringLiteral("Auto Select Best Certificate"), 40, 131, 155,
                                     true);
    cbUsePFXFile = placeCheckBox(this, "cbUsePFXFile",
                                 QStringLiteral("Use Personal Information Exchange (PFX) File"), 40,
                                 154, 242, false);
    lbCertName = placeLabel(new QLabel(this), "lbCertName", QStringLiteral("PFX File Path:"), 40,
                            178, 66);
    edCertName = place(new QLineEdit(this), "edCertName", 40, 194, 305, 19);
    edCertName->setReadOnly(true);
    edCertName->setEnabled(false);
    btnSelPFXFile = place(new QPushButton(QStringLiteral("..."), this), "btnSelPFXFile", 350, 193,
                          20, 20);
    btnSelPFXFile->setEnabled(false);
    lbPassword = placeLabel(new QLabel(this), "lbPassword", QStringLiteral("PFX File Password:"),
                            40, 218, 90);
    edPassword = place(new QLineEdit(this), "edPassword", 40, 234, 330, 19);
    edPassword->setEchoMode(QLineEdit::Password);
    edPassword->setEnabled(false);

    cbAddDesc = placeCheckBox(this, "cbAddDesc", QStringLiteral("Add a Description"), 40, 270,
                              107, false);
    lbAddDesc = placeLabel(new QLabel(this), "lbAddDesc", QStringLiteral("Description:"), 40, 293,
                           57);
    edAddDesc = place(new QLineEdit(this), "edAddDesc", 40, 309, 330, 19);
    edAddDesc->setEnabled(false);
    lbAddDescURL = placeLabel(new QLabel(this), "lbAddDescURL",
                              QStringLiteral("Description URL (Optional):"), 40, 333, 130);
    edAddDescURL = place(new QLineEdit(this), "edAddDescURL", 40, 349, 330, 19);
    edAddDescURL->setEnabled(false);

    cbTimeStamp = placeCheckBox(this, "cbTimeStamp", QStringLiteral("Time Stamp Files"), 40, 384,
                                102, false);
    lbTimeStampURL = placeLabel(new QLabel(this), "lbTimeStampURL",
                                QStringLiteral("TimeStamp URL:"), 40, 406, 78);
    edTimeStampURL = place(new QLineEdit(this), "edTimeStampURL", 40, 422, 330, 19);
    edTimeStampURL->setEnabled(false);

    lblOptions = placeLabel(new QLabel(this), "lblOptions", QStringLiteral("Other Options"), 40,
                            460, 78);
    lblOptions->setFont(FormFont(true));
    cbVerboseOutput = placeCheckBox(this, "cbVerboseOutput",
                                    QStringLiteral("Verbose Console Output"), 40, 477, 140, true);
    cbStayOnTop = placeCheckBox(this, "cbStayOnTop", QStringLiteral("Keep QKM Window On Top"),
                                220, 477, 148, false);
    cbAddCmdLnToConsole = placeCheckBox(this, "cbAddCmdLnToConsole",
                                        QStringLiteral("Add Command Line to Console"), 40, 502,
                                        168, false);
    btnPvk2Pfx = place(new QPushButton(Skin::glyph(Skin::Glyph::Pvk2Pfx), QString(), this),
                       "btnPvk2Pfx", 220, 502, 17, 19);
    btnPvk2Pfx->setIconSize(QSize(13, 13));
    // Clickable, but with the window's arrow: the hand belongs to the
    // maker's line alone.
    lbPvk2Pfx = placeLabel(new ClickableLabel(this), "lbPvk2Pfx",
                           QStringLiteral("Launch PVK2PFX Wizard"), 240, 505, 115);

    lbCopyRight = placeLabel(new ClickableLabel(this), "lbCopyRight",
                             QStringLiteral("\u00A9 2026 The Quillmark Developers"), 35, 560, 201);
    lbCopyRight->setFont(FormFont(true));
    lbCopyRight->setStyleSheet(QStringLiteral("color: rgb(7, 61, 107);"));
    lbCopyRight->setCursor(Qt::PointingHandCursor);
}

void TfrmMain::buildProjectRow()
{
    lbLoadProject = placeLabel(new QLabel(this), "lbLoadProject",
                               QStringLiteral("Saved QMK Projects:"), 384, 73, 98);
    cbxProject = place(new PickComboBox(this), "cbxProject", 384, 89, 352, 21);
    cbxProject->setEditable(false);
    cbxProject->setMaxVisibleItems(20);
    cbxProject->setFont(FormFont(true));
    btnSaveProject = place(new QPushButton(QStringLiteral("..."), this), "btnSaveProject", 741, 89,
                           20, 20);
}

void TfrmMain::buildFileListArea()
{
    lbDivFileList = placeLabel(new QLabel(this), "lbDivFileList",
                               QStringLiteral("Files to be Digitally Signed:"), 385, 118, 128);
    lbDragDrop = placeLabel(new QLabel(this), "lbDragDrop",
                            QStringLiteral("(Drag & Drop Files Here)"), 644, 118, 117);
    // Right-aligned so a wider font grows the label leftwards, away from the
    // window's edge.
    lbDragDrop->move(761 - lbDragDrop->width(), 118);
    DivFileList = place(new TDivFileList(this), "DivFileList", 384, 135, 377, 386);
    // The list speaks in the desktop's own font, not the form's.
    DivFileList->setFont(QApplication::font());
}

void TfrmMain::buildCommandButtons()
{
    btnClearFiles = placeCommandButton(this, "btnClearFiles", QStringLiteral("&Clear List"), 384,
                                       Skin::Glyph::ClearList);
    btnRemSel = placeCommandButton(this, "btnRemSel", QStringLiteral("&Remove"), 479,
                                   Skin::Glyph::Remove);
    btnSign = placeCommandButton(this, "btnSign", QStringLiteral("&Sign"), 575, Skin::Glyph::Sign);
    btnExit = placeCommandButton(this, "btnExit", QStringLiteral("&Exit"), 671, Skin::Glyph::Exit);
}

void TfrmMain::buildWaitPanel()
{
    pnlWait = place(new QFrame(this), "pnlWait", 265, 262, 271, 76);
    pnlWait->setFrameShape(QFrame::Box);
    pnlWait->setAutoFillBackground(true);
    auto *title = place(new QLabel(QStringLiteral("Quillmark"), pnlWait), Skin::WaitTitleName, 0,
                        0, 271, 22);
    title->setFont(FormFont(true));
    title->setIndent(8);
    imgHourglass = place(new QLabel(pnlWait), "imgHourglass", 68, 41, 16, 16);
    imgHourglass->setPixmap(Skin::glyph(Skin::Glyph::Hourglass).pixmap(16, 16));
    lbWorking = placeLabel(new QLabel(pnlWait), "lbWorking",
                           QStringLiteral("Working, please wait..."), 90, 43, 120);
    // How far a signing run is: a bar with its count written across it, in
    // the room under lbWorking, so the panel keeps its size. Shown once the
    // tool has reported a file; hidden for every other wait.
    pbProgress = place(new QProgressBar(pnlWait), "pbProgress", 20, 60, 231, 13);
    pbProgress->setTextVisible(false);
    pbProgress->hide();
    lbProgress = place(new QLabel(pnlWait), "lbProgress", 20, 60, 231, 13);
    lbProgress->setAlignment(Qt::AlignCenter);
    lbProgress->hide();
    layOutWaitPanel(false);
    pnlWait->hide();
}

void TfrmMain::layOutWaitPanel(bool withProgress)
{
    const int bodyTop = pnlWait->findChild<QLabel *>(Skin::WaitTitleName)->geometry().bottom() + 1;
    const int bodyBottom = pnlWait->contentsRect().bottom() + 1;
    QList<int> rows = {imgHourglass->height()};
    if (withProgress)
        rows.append(pbProgress->height());
    const QList<int> tops = evenRowTops(bodyTop, bodyBottom, rows);
    // The text sits centred on the hourglass beside it.
    imgHourglass->move(imgHourglass->x(), tops[0]);
    lbWorking->move(lbWorking->x(),
                    tops[0] + (imgHourglass->height() - lbWorking->height() + 1) / 2);
    if (withProgress) {
        pbProgress->move(pbProgress->x(), tops[1]);
        lbProgress->move(lbProgress->x(), tops[1]);
    }
}

void TfrmMain::buildFileListMenu()
{
    menuFileList = new QMenu(this);
    menuFileList->setObjectName(QStringLiteral("menuFileList"));
    auto item = [this](const char *name, const QString &caption, Skin::Glyph glyph) {
        QAction *action = menuFileList->addAction(Skin::glyph(glyph), caption);
        action->setObjectName(QString::fromLatin1(name));
        return action;
    };
    // First, so that the menu key (or Shift+F10) and Enter add files.
    menitmAddFiles = item("menitmAddFiles", QStringLiteral("Add Files..."),
                          Skin::Glyph::MenuAddFiles);
    N0 = menuFileList->addSeparator();
    N0->setObjectName(QStringLiteral("N0"));
    menitmLargeIcons = item("menitmLargeIcons", QStringLiteral("Large Icons"),
                            Skin::Glyph::MenuLargeIcons);
    menitmSmallIcons = item("menitmSmallIcons", QStringLiteral("Small Icons"),
                            Skin::Glyph::MenuSmallIcons);
    menitmList = item("menitmList", QStringLiteral("List"), Skin::Glyph::MenuList);
    menitmDetails = item("menitmDetails", QStringLiteral("Details"), Skin::Glyph::MenuDetails);
    N1 = menuFileList->addSeparator();
    N1->setObjectName(QStringLiteral("N1"));
    menitmCopyFilesTo = item("menitmCopyFilesTo", QStringLiteral("Copy File(s) To..."),
                             Skin::Glyph::MenuCopyTo);
    DivFileList->setPopupMenu(menuFileList);
}

void TfrmMain::setTabOrderAndHints()
{
    // The read-only path fields can be clicked into to select text but are
    // skipped by Tab; the title buttons take no focus at all.
    edPlatformSDKFolder->setFocusPolicy(Qt::ClickFocus);
    edCertName->setFocusPolicy(Qt::ClickFocus);

    const QList<QWidget *> tabOrder = {
        edPlatformSDKFolder, bntSelSignTool,  cbSelectBestCert, cbUsePFXFile,    edCertName,
        btnSelPFXFile,       edPassword,      cbAddDesc,        edAddDesc,       edAddDescURL,
        cbTimeStamp,         edTimeStampURL,  cbVerboseOutput,  btnPvk2Pfx,      DivFileList,
        btnClearFiles,       btnRemSel,       btnSign,          btnExit,         cbAddCmdLnToConsole,
        cbxProject,          cbStayOnTop,     btnSaveProject,
    };
    setTabChain(tabOrder);

    const QString sdkHint = QStringLiteral(
        "Select the path to the MS Platform SDK Bin folder on\n"
        "your hard drive (i.e. Where the SignTool.exe resides).");
    const QString pfxHint = QStringLiteral(
        "Select this option to specify a PFX file,\nenter the file path and the password.");
    const QString descHint = QStringLiteral(
        "Select this option to add a description to\nthe signed content, the URL is optional.");
    const QString timeStampHint = QStringLiteral(
        "Select this option and enter the Time Stamp\n"
        "URL provided by your Digital Certificate Issuer.");
    const QString wizardHint =
        QStringLiteral("This Wizard helps create a PFX file from your SPC and PVK files.");
    const QList<QPair<QWidget *, QString>> hints = {
        {edPlatformSDKFolder, sdkHint},
        {bntSelSignTool, sdkHint},
        {cbSelectBestCert, QStringLiteral("This option tells the signtool.exe to select\n"
                                          "the best signing certificate automatically.")},
        {cbUsePFXFile, pfxHint},
        {edCertName, pfxHint},
        {btnSelPFXFile, pfxHint},
        {edPassword, pfxHint},
        {cbAddDesc, descHint},
        {edAddDesc, descHint},
        {edAddDescURL, descHint},
        {cbTimeStamp, timeStampHint},
        {edTimeStampURL, timeStampHint},
        {cbVerboseOutput,
         QStringLiteral("This option tells the signtool.exe to give more for details regarding\n"
                        "successful execution, failed execution, and warning messages.")},
        {cbAddCmdLnToConsole,
         QStringLiteral("This option writes the full command line used with the signtool.exe "
                        "to the\ntop line of the console output. It can then be copied and "
                        "pasted for use \nwith VS .NET as a macro or used with any other IDE of "
                        "your choice.")},
        {cbStayOnTop, QStringLiteral("Select this option to keep the Quillmark window on top.")},
        {btnPvk2Pfx, wizardHint},
        {lbPvk2Pfx, wizardHint},
        {cbxProject,
         QStringLiteral("This list displays any QMK Projects saved in the Projects folder.")},
        {btnSaveProject, QStringLiteral("Save your settings to a Quillmark Project file.")},
        {DivFileList, QStringLiteral("Drag and drop the files you wish to sign here.")},
        {btnClearFiles, QStringLiteral("Clear the list of all files.")},
        {btnRemSel, QStringLiteral("Clear any selected files from the list (to select\n"
                                   "more than one file hold down the CTRL key).")},
        {btnSign, QStringLiteral("Digitally Sign all files in the list.")},
        {btnExit, QStringLiteral("Exit this program.")},
    };
    setHints(hints);
}

void TfrmMain::nameControls()
{
    nameFromLabels({
        {lbPlatformSDKFolder, edPlatformSDKFolder},
        {lbCertName, edCertName},
        {lbPassword, edPassword},
        {lbAddDesc, edAddDesc},
        {lbAddDescURL, edAddDescURL},
        {lbTimeStampURL, edTimeStampURL},
        {lbPvk2Pfx, btnPvk2Pfx},
        {lbLoadProject, cbxProject},
        {lbDivFileList, DivFileList},
    });
    setAccessibleNames({
        {btnWeb, QStringLiteral("Quillmark Web Site")},
        {btnHelp, QStringLiteral("Help")},
        {btnMinimize, QStringLiteral("Minimize")},
        {btnClose, QStringLiteral("Close")},
        {bntSelSignTool, QStringLiteral("Browse for the SDK folder")},
        {btnSelPFXFile, QStringLiteral("Browse for the PFX file")},
        {btnSaveProject, QStringLiteral("Save as Quillmark Project")},
        {pbProgress, QStringLiteral("Signing progress")},
    });
    // The open drop-down is read as the list of the same projects.
    cbxProject->view()->setAccessibleName(cbxProject->accessibleName());
    // The list's own views are what a screen reader lands on. Its hint
    // speaks of dragging alone; the description also tells the keyboard's
    // ways in.
    DivFileList->setAccessibleText(
        DivFileList->accessibleName(),
        DivFileList->accessibleDescription()
            + QStringLiteral(" Without a mouse, press Ctrl+V to paste files you have copied, or "
                             "Insert to choose files to add; Shift+F10 opens the list's menu."));
    // The title strip's picture buttons have no hint; a screen reader says
    // what each does.
    btnWeb->setAccessibleDescription(
        QStringLiteral("Opens the Quillmark web site in your web browser."));
    btnHelp->setAccessibleDescription(QStringLiteral("Opens the Quillmark help file."));
    btnMinimize->setAccessibleDescription(
        QStringLiteral("Minimizes Quillmark and its open windows to the task bar."));
    btnClose->setAccessibleDescription(
        QStringLiteral("Closes Quillmark; the signing options are saved."));
}

void TfrmMain::connectHandlers()
{
    connect(btnWeb, &QAbstractButton::clicked, this, &TfrmMain::lbCopyRightClick);
    connect(btnHelp, &QAbstractButton::clicked, this, &TfrmMain::btnHelpClick);
    connect(btnMinimize, &QAbstractButton::clicked, this, &TfrmMain::btnMinimizeClick);
    connect(btnClose, &QAbstractButton::clicked, this, &TfrmMain::btnCloseClick);
    connect(lbCopyRight, &ClickableLabel::clicked, this, &TfrmMain::lbCopyRightClick);
    connect(btnPvk2Pfx, &QPushButton::clicked, this, &TfrmMain::btnPvk2PfxClick);
    connect(lbPvk2Pfx, &ClickableLabel::clicked, this, &TfrmMain::lbPvk2PfxClick);
    connect(btnExit, &QPushButton::clicked, this, &TfrmMain::btnExitClick);

    // Reactions follow state changes, whether a click or code made them.
    connect(cbTimeStamp, &QCheckBox::toggled, this, &TfrmMain::cbTimeStampClick);
    connect(cbAddDesc, &QCheckBox::toggled, this, &TfrmMain::cbAddDescClick);
    connect(cbSelectBestCert, &QCheckBox::toggled, this, &TfrmMain::cbSelectBestCertClick);
    connect(cbUsePFXFile, &QCheckBox::toggled, this, &TfrmMain::cbUsePFXFileClick);
    connect(cbStayOnTop, &QCheckBox::toggled, this, &TfrmMain::cbStayOnTopClick);
    connect(bntSelSignTool, &QPushButton::clicked, this, &TfrmMain::bntSelSignToolClick);
    connect(btnSelPFXFile, &QPushButton::clicked, this, &TfrmMain::btnSelPFXFileClick);

    connect(DivFileList, &TDivFileList::filesDropped, this, &TfrmMain::DivDropFilesDrop);
    connect(DivFileList, &TDivFileList::addItem, this, &TfrmMain::DivFileListAddItem);
    connect(DivFileList, &TDivFileList::changed, this, &TfrmMain::DivFileListChange);
    connect(DivFileList, &TDivFileList::popupAboutToShow, this, &TfrmMain::menuFileListPopup);
    connect(DivFileList, &TDivFileList::addFilesRequested, this, &TfrmMain::menitmAddFilesClick);
    connect(menitmAddFiles, &QAction::triggered, this, &TfrmMain::menitmAddFilesClick);
    connect(btnRemSel, &QPushButton::clicked, this, &TfrmMain::btnRemSelClick);
    connect(btnClearFiles, &QPushButton::clicked, this, &TfrmMain::btnClearFilesClick);
    connect(menitmLargeIcons, &QAction::triggered, this, &TfrmMain::menitmLargeIconsClick);
    connect(menitmSmallIcons, &QAction::triggered, this, &TfrmMain::menitmSmallIconsClick);
    connect(menitmList, &QAction::triggered, this, &TfrmMain::menitmListClick);
    connect(menitmDetails, &QAction::triggered, this, &TfrmMain::menitmDetailsClick);
    connect(menitmCopyFilesTo, &QAction::triggered, this, &TfrmMain::menitmCopyFilesToClick);

    connect(btnSign, &QPushButton::clicked, this, &TfrmMain::btnSignClick);

    // Only a user's pick loads a project (a key, a click in the list, or a
    // wheel step with the focus, so the drop-down never names a project
    // that is not loaded); selecting an item by code (after a save) must not.
    connect(btnSaveProject, &QPushButton::clicked, this, &TfrmMain::btnSaveProjectClick);
    connect(cbxProject, &PickComboBox::picked, this, &TfrmMain::cbxProjectSelect);
}

// ---- window commands ----------------------------------------------------------

void TfrmMain::btnExitClick()
{
    close();
}

void TfrmMain::btnCloseClick()
{
    close();
}

void TfrmMain::btnMinimizeClick()
{
    // The whole application goes to the task bar, not this window alone.
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible())
            window->showMinimized();
    }
}

void TfrmMain::btnHelpClick()
{
    // A program folder whose name is not UTF-8 keeps its bytes in the URL.
    UserDialogs::current().openUrl(filelist::fileUrl(helpFileName()));
}

void TfrmMain::lbCopyRightClick()
{
    UserDialogs::current().openUrl(QUrl(webSiteUrl()));
}

void TfrmMain::btnPvk2PfxClick()
{
    if (m_wizard)
        m_wizard->exec();
}

void TfrmMain::lbPvk2PfxClick()
{
    btnPvk2PfxClick();
}

bool TfrmMain::FormKeyDown(QKeyEvent *event)
{
    // Modifiers are not looked at, and the key still reaches the focused
    // control afterwards.
    if (event->key() == Qt::Key_F1)
        btnHelpClick();
    if (event->key() == Qt::Key_Delete)
        btnRemSelClick();
    return false;
}

// ---- the frameless face -------------------------------------------------------------

void TfrmMain::paintEvent(QPaintEvent *)
{
    const qreal ratio = devicePixelRatioF();
    if (m_face.isNull() || m_face.devicePixelRatio() != ratio)
        m_face = Skin::mainFace(ratio);
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_face);
}

void TfrmMain::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    // Let the window manager move the window where it can (X11 and Wayland
    // both offer it); otherwise follow the pointer ourselves.
    if (windowHandle() && windowHandle()->startSystemMove())
        return;
    m_dragging = true;
    m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void TfrmMain::mouseMoveEvent(QMouseEvent *event)
{
    if (m_dragging && (event->buttons() & Qt::LeftButton))
        move(event->globalPosition().toPoint() - m_dragOffset);
    QWidget::mouseMoveEvent(event);
}

void TfrmMain::mouseReleaseEvent(QMouseEvent *event)
{
    m_dragging = false;
    QWidget::mouseReleaseEvent(event);
}

void TfrmMain::closeEvent(QCloseEvent *event)
{
    if (FormClose())
        event->accept();
    else
        event->ignore();
}
