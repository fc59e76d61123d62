// The signing options of the main window: the reactions that keep the
// option controls consistent, the two pickers, and the settings file that
// carries the options across restarts.

#include "app/u_frmMain.h"

#include "app/AppError.h"
#include "app/IniFile.h"
#include "app/QuillmarkApplication.h"
#include "app/UserDialogs.h"
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

const QString SettingsSection = QStringLiteral("Settings");

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

void TfrmMain::FormCreate()
{
    if (!dynamic_cast<ToolTipTimingStyle *>(QApplication::style()))
        QApplication::setStyle(new ToolTipTimingStyle);

    if (m_programFolder.isEmpty())
        m_programFolder = ExecutableProgramFolder();
    m_programFolder = withTrailingSlash(m_programFolder);

    const IniFile settings(settingsFileName());
    auto text = [&](const char *key) {
        return settings.readString(SettingsSection, QString::fromLatin1(key), QString());
    };
    // The two paths keep their bytes, so that a folder or file whose name
    // is not UTF-8 is still the one the tool gets.
    auto fileName = [&](const char *key) {
        return settings.readFileName(SettingsSection, QString::fromLatin1(key), QString());
    };
    edPlatformSDKFolder->setText(fileName("SDKBinFolder"));
    edTimeStampURL->setText(text("TimeStampURL"));
    edCertName->setText(fileName("PFXFilename"));
    edAddDesc->setText(text("DescriptionText"));
    edAddDescURL->setText(text("DescriptionURL"));

    // The order matters: "UsePFXFile" comes after "UseBestCert", so the
    // stored PFX flag decides the pair.
    auto flag = [&](QCheckBox *box, const char *key, bool defaultValue) {
        box->setChecked(settings.readBool(SettingsSection, QString::fromLatin1(key), defaultValue));
    };
    flag(cbVerboseOutput, "VerboseOutput", true);
    flag(cbAddCmdLnToConsole, "AddCmdLineToConsole", false);
    flag(cbStayOnTop, "KeepWndTopMost", false);
    flag(cbTimeStamp, "TimeStamp", false);
    flag(cbSelectBestCert, "UseBestCert", true);
    flag(cbUsePFXFile, "UsePFXFile", false);
    flag(cbAddDesc, "AddDescription", false);

    // Nothing to set for the file list, which never edits an entry in
    // place, nor for the wait panel, whose title the skin paints white.
    FillProjectList();
}

void TfrmMain::writeOptionKeys(IniFile &file) const
{
    auto text = [&](const char *key, const QLineEdit *edit) {
        file.writeString(SettingsSection, QString::fromLatin1(key), edit->text());
    };
    auto flag = [&](const char *key, const QCheckBox *box) {
        file.writeBool(SettingsSection, QString::fromLatin1(key), box->isChecked());
    };
    flag("UseBestCert", cbSelectBestCert);
    flag("UsePFXFile", cbUsePFXFile);
    file.writeFileName(SettingsSection, QStringLiteral("PFXFilename"), edCertName->text());
    flag("AddDescription", cbAddDesc);
    text("DescriptionText", edAddDesc);
    text("DescriptionURL", edAddDescURL);
    flag("TimeStamp", cbTimeStamp);
    text("TimeStampURL", edTimeStampURL);
    flag("VerboseOutput", cbVerboseOutput);
    flag("AddCmdLineToConsole", cbAddCmdLnToConsole);
    flag("KeepWndTopMost", cbStayOnTop);
}

bool TfrmMain::FormClose()
{
    IniFile settings(settingsFileName());
    settings.writeFileName(SettingsSection, QStringLiteral("SDKBinFolder"),
                           edPlatformSDKFolder->text());
    writeOptionKeys(settings);
    // The password is never written anywhere.
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
