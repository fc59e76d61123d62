#pragma once

// The main window: every signing option, the project drop-down, the file
// list and the command buttons on a painted, frameless face. Its handlers
// are kept thin; the work is done by the small units they call (the INI
// module, the command-line builders, the tool runner, the sign batches and
// progress, the file-list actions, the project file).
//
// The window's parts are kept together here, one file per subject: the
// window itself and its options, the file-list handlers (u_frmMain_FileList),
// the sign action (u_frmMain_Sign) and the project handlers
// (u_frmMain_Projects).

#include "widgets/PickComboBox.h"
#include "base/ProgramFolder.h"
#include "filelist/TDivBrowseForFolder.h"
#include "signing/CommandLine.h"
#include "signing/SignBatches.h"
#include "wizard/u_frmPvk2PfxWizard.h"

#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QAction;
class QProgressBar;
class QPushButton;
class ImageButton;
class ClickableLabel;
class TDivFileList;
class IniFile;
struct IniEntry;
class TfrmConsoleOutput;
class TfrmPvk2PfxWizard;
struct StoredOptions;
enum class OptionScope;

class TfrmMain : public QWidget, public Pvk2PfxWizardHost {
    Q_OBJECT
public:
    // `programFolder` is the folder that holds the settings file, the help
    // file and the Projects folder, with its trailing "/"; empty means the
    // executable's folder.
    explicit TfrmMain(const QString &programFolder = QString(), QWidget *parent = nullptr);
    ~TfrmMain() override;

    // The windows the main window opens; start-up wires them once.
    void setConsoleWindow(TfrmConsoleOutput *console);
    void setWizardWindow(TfrmPvk2PfxWizard *wizard);

    QString programFolder() const { return m_programFolder; }
    QString settingsFileName() const { return SettingsFileIn(m_programFolder); }
    QString helpFileName() const { return HelpFileIn(m_programFolder); }
    QString projectsFolder() const { return ProjectsFolderIn(m_programFolder); }

    static QString webSiteUrl();

    // ---- window commands ----
    void btnExitClick();
    void btnCloseClick();
    void btnMinimizeClick();
    void btnHelpClick();
    void lbCopyRightClick() override;
    void btnPvk2PfxClick();
    void lbPvk2PfxClick();

    // ---- signing options and settings file ----
    void FormCreate();
    // Writes the settings file; false (after telling the user) when it
    // could not be written.
    bool FormClose();
    void cbTimeStampClick();
    void cbAddDescClick();
    void cbSelectBestCertClick();
    void cbUsePFXFileClick();
    void cbStayOnTopClick();
    void bntSelSignToolClick();
    void btnSelPFXFileClick();

    // ---- file list ----
    void DivDropFilesDrop(const QStringList &paths);
    void DivFileListAddItem(int row, bool &canAdd);
    void DivFileListChange();
    void UpdateFileCountCaption();
    void setFileCountCaption(const QString &caption);
    void btnRemSelClick();
    void btnClearFilesClick();
    void menuFileListPopup();
    // "Add Files..." and Insert in the list: picks files in a dialog and adds
    // them as a drop of them would.
    void menitmAddFilesClick();
    void menitmLargeIconsClick();
    void menitmSmallIconsClick();
    void menitmListClick();
    void menitmDetailsClick();
    void menitmCopyFilesToClick();

    // ---- projects ----
    void btnSaveProjectClick();
    void cbxProjectSelect();
    void FillProjectList();
    // The project name that item `index` of cbxProject stands for.
    QString projectItemName(int index) const;
    void SaveProject(const QString &path);
    void LoadProject(const QString &path);
    void WriteProjectFileList(IniFile &project);

    // ---- signing ----
    // The argument space that sign runs are split to; the system's own
    // unless set (tests set a small one).
    void setArgumentLimits(const std::optional<ArgumentLimits> &limits) { m_argumentLimits = limits; }
    ArgumentLimits argumentLimits() const;
    QString GetSignToolPath() const;
    QString BuildSignOptions() const;
    QString BuildFileArguments() const;
    void WriteCommandLineToConsole();
    void btnSignClick();
    // Runs a tool with the window's input blocked, its output to the console.
    bool RunAndCapture(const QString &workingFolder, const QString &programPath,
                       const QString &arguments, bool minimised) override;
    QString platformSdkFolder() const override;

    // ---- controls, named as the window's designers named them ----
    ImageButton *btnWeb;
    ImageButton *btnHelp;
    ImageButton *btnMinimize;
    ImageButton *btnClose;

    QLabel *lbPlatformSDKFolder;
    QLineEdit *edPlatformSDKFolder;
    QPushButton *bntSelSignTool;
    QCheckBox *cbSelectBestCert;
    QCheckBox *cbUsePFXFile;
    QLabel *lbCertName;
    QLineEdit *edCertName;
    QPushButton *btnSelPFXFile;
    QLabel *lbPassword;
    QLineEdit *edPassword;
    QCheckBox *cbAddDesc;
    QLabel *lbAddDesc;
    QLineEdit *edAddDesc;
    QLabel *lbAddDescURL;
    QLineEdit *edAddDescURL;
    QCheckBox *cbTimeStamp;
    QLabel *lbTimeStampURL;
    QLineEdit *edTimeStampURL;

    QLabel *lblOptions;
    QCheckBox *cbVerboseOutput;
    QCheckBox *cbStayOnTop;
    QCheckBox *cbAddCmdLnToConsole;
    QPushButton *btnPvk2Pfx;
    ClickableLabel *lbPvk2Pfx;
    ClickableLabel *lbCopyRight;

    QLabel *lbLoadProject;
    PickComboBox *cbxProject;
    QPushButton *btnSaveProject;

    QLabel *lbDivFileList;
    QLabel *lbDragDrop;
    TDivFileList *DivFileList;

    QPushButton *btnClearFiles;
    QPushButton *btnRemSel;
    QPushButton *btnSign;
    QPushButton *btnExit;

    QFrame *pnlWait;
    QLabel *imgHourglass;
    QLabel *lbWorking;
    // How far a signing run is: "n of N files done" written across a bar,
    // under lbWorking, inside the panel's own bounds. Shown from the first
    // file the tool reports; hidden for every other wait.
    QLabel *lbProgress;
    QProgressBar *pbProgress;

    QMenu *menuFileList;
    QAction *menitmAddFiles;
    QAction *N0;
    QAction *menitmLargeIcons;
    QAction *menitmSmallIcons;
    QAction *menitmList;
    QAction *menitmDetails;
    QAction *N1;
    QAction *menitmCopyFilesTo;

    TDivBrowseForFolder DivBrowseForFolder;

protected:
    void closeEvent(QCloseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void buildTitleStrip();
    void buildOptionControls();
    void buildProjectRow();
    void buildFileListArea();
    void buildCommandButtons();
    void buildWaitPanel();
    void buildFileListMenu();
    void setTabOrderAndHints();
    // What a screen reader says for each control; nothing visible.
    void nameControls();
    void connectHandlers();
    bool FormKeyDown(QKeyEvent *event);
    void setTopMost(bool topMost);
    void showWaitPanel();
    void hideWaitPanel();
    // Spreads the panel's rows (hourglass and text, and the progress row
    // when it shows) evenly over the panel's body, below its title.
    void layOutWaitPanel(bool withProgress);
    // Brings the progress row up to date; it appears with the first file
    // done, so a tool that reports nothing until it ends leaves the panel
    // as it always was.
    void showProgress(int done, int total);
    void runSignTool(const QStringList &files, bool minimised);
    bool signToolExists() const;
    // The stored options as the controls show them, and the controls set
    // to show those of a scope (the others keep what they show).
    StoredOptions shownOptions() const;
    void showOptions(const StoredOptions &options, OptionScope scope);
    SignOptions currentSignOptions() const;
    QStringList listedFilePaths() const;
    // Runs `work`, which may add or remove many entries, with the count
    // caption brought up to date once at its end instead of at every
    // entry (measuring the caption's text costs more than adding a file).
    void withOneCaptionUpdate(const std::function<void()> &work);

    QString m_programFolder;
    QPointer<TfrmConsoleOutput> m_console;
    std::optional<ArgumentLimits> m_argumentLimits;
    QPointer<TfrmPvk2PfxWizard> m_wizard;
    QPixmap m_face;
    QPoint m_dragOffset;
    bool m_dragging = false;
    int m_captionBatches = 0;
    bool m_captionStale = false;
    QString m_addFilesFolder;   // where "Add Files..." last found files
};

extern TfrmMain *frmMain;
