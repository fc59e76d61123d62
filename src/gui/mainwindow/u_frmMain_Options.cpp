// The signing options of the main window: the reactions that keep the
// option controls consistent, the two pickers, and the settings file that
// carries the options across restarts.

#include "mainwindow/u_frmMain.h"

#include "base/AppError.h"
#include "base/IniFile.h"
#include "options/OptionTable.h"
#include "app/QuillmarkApplication.h"
#include "base/UserDialogs.h"
#include "filelist/TDivFileList.h"
#include "platform/Platform.h"
#include "projects/FileUtils.h"
#include "signing/CommandLine.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>

namespace {

// The control of each stored option: a check box for a flag, an edit box
// for a text. Every key of OptionTable() has one.
struct OptionControl {
    const char *key;
    QCheckBox *TfrmMain::*box;
    QLineEdit *TfrmMain::*edit;
};

const OptionControl OptionControls[] = {
    {"SDKBinFolder", nullptr, &TfrmMain::edPlatformSDKFolder},
    {"UseBestCert", &TfrmMain::cbSelectBestCert, nullptr},
    {"UsePFXFile", &TfrmMain::cbUsePFXFile, nullptr},
    {"PFXFilename", nullptr, &TfrmMain::edCertName},
    {"AddDescription", &TfrmMain::cbAddDesc, nullptr},
    {"DescriptionText", nullptr, &TfrmMain::edAddDesc},
    {"DescriptionURL", nullptr, &TfrmMain::edAddDescURL},
    {"TimeStamp", &TfrmMain::cbTimeStamp, nullptr},
    {"TimeStampURL", nullptr, &TfrmMain::edTimeStampURL},
    {"VerboseOutput", &TfrmMain::cbVerboseOutput, nullptr},
    {"AddCmdLineToConsole", &TfrmMain::cbAddCmdLnToConsole, nullptr},
    {"KeepWndTopMost", &TfrmMain::cbStayOnTop, nullptr},
};

const OptionControl &controlOf(const OptionSpec &option)
{
    for (const OptionControl &control : OptionControls) {
        if (qstrcmp(control.key, option.key) == 0)
            return control;
    }
    qFatal("No control for the option %s", option.key);
}

// Tool tips show 100 ms after the pointer comes to rest on a control.
class ToolTipTimingStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_ToolTip_WakeUpDelay)
            return 100;
        if (hint == SH_ToolTip_FallAsleepDelay)
            return 20000;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QString withTrailingSlash(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

} // namespace

StoredOptions TfrmMain::shownOptions() const
{
    StoredOptions options;
    for (const OptionSpec &option : OptionTable()) {
        const OptionControl &control = controlOf(option);
        if (option.flag)
            options.*option.flag = (this->*control.box)->isChecked();
        else
            options.*option.text = (this->*control.edit)->text();
    }
    return options;
}

// In table order, so that the boxes' reactions leave the certificate pair
// as the stored PFX flag says.
void TfrmMain::showOptions(const StoredOptions &options, OptionScope scope)
{
    for (const OptionSpec &option : OptionTable()) {
        if (!InScope(option, scope))
            continue;
        const OptionControl &control = controlOf(option);
        if (option.flag)
            (this->*control.box)->setChecked(options.*option.flag);
        else
            (this->*control.edit)->setText(options.*option.text);
    }
}

void TfrmMain::FormCreate()
{
    if (!dynamic_cast<ToolTipTimingStyle *>(QApplication::style()))
        QApplication::setStyle(new ToolTipTimingStyle);

    if (m_programFolder.isEmpty())
        m_programFolder = ExecutableProgramFolder();
    m_programFolder = withTrailingSlash(m_programFolder);

    showOptions(ReadSettingsOptions(IniFile(settingsFileName()), m_programFolder),
                OptionScope::Settings);

    // Nothing to set for the file list, which never edits an entry in
    // place, nor for the wait panel, whose title the skin paints white.
    FillProjectList();
}

bool TfrmMain::FormClose()
{
    IniFile settings(settingsFileName());
    WriteOptions(settings, shownOptions(), OptionScope::Settings);
    try {
        settings.commit();
        return true;
    } catch (const AppError &error) {
        ShowApplicationError(error.message());
    }
    // A settings file that cannot be written must not keep the user in a
    // window that can never close.
    MessageRequest question;
    question.kind = MessageKind::Question;
    question.caption = QStringLiteral("Confirm");
    question.text = QStringLiteral("Quit without saving the settings?");
    question.buttons = DialogButton::Yes | DialogButton::No;
    question.defaultButton = DialogButton::No;
    question.escapeButton = DialogButton::No;
    return UserDialogs::current().showMessage(question) == DialogButton::Yes;
}

void TfrmMain::cbTimeStampClick()
{
    edTimeStampURL->setEnabled(cbTimeStamp->isChecked());
}

void TfrmMain::cbAddDescClick()
{
    edAddDesc->setEnabled(cbAddDesc->isChecked());
    edAddDescURL->setEnabled(cbAddDesc->isChecked());
}

void TfrmMain::cbSelectBestCertClick()
{
    cbUsePFXFile->setChecked(!cbSelectBestCert->isChecked());
}

void TfrmMain::cbUsePFXFileClick()
{
    const bool usePfx = cbUsePFXFile->isChecked();
    cbSelectBestCert->setChecked(!usePfx);
    edCertName->setEnabled(usePfx);
    edPassword->setEnabled(usePfx);
    btnSelPFXFile->setEnabled(usePfx);
}

void TfrmMain::cbStayOnTopClick()
{
    setTopMost(cbStayOnTop->isChecked());
}

void TfrmMain::setTopMost(bool topMost)
{
    if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) == topMost)
        return;
    // Changing a window flag hides the window; show it again where it was.
    const bool wasVisible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, topMost);
    if (wasVisible)
        show();
}

void TfrmMain::bntSelSignToolClick()
{
    DivBrowseForFolder.Title = QStringLiteral("Select the MS Platform SDK Bin Folder...");
    if (DivBrowseForFolder.Execute())
        edPlatformSDKFolder->setText(withTrailingSlash(DivBrowseForFolder.Path));
    if (!signToolExists())
        Messages::information(SignToolNotFoundText(GetSignToolPath()));
}

bool TfrmMain::signToolExists() const
{
    return FileExists(GetSignToolPath());
}

void TfrmMain::btnSelPFXFileClick()
{
    OpenFileRequest request;
    request.filter = QStringLiteral("Personal Information Exchange (*.pfx)");
    const std::optional<QString> chosen = UserDialogs::current().getOpenFileName(request);
    if (chosen)
        edCertName->setText(*chosen);
}
