#include "options/OptionTable.h"

#include "base/IniFile.h"
#include "platform/Platform.h"

#include <QDir>

#include <algorithm>
#include <iterator>

namespace {

using K = OptionKind;
using S = StoredOptions;

// "UsePFXFile" comes after "UseBestCert": a window that sets its controls
// in this order ends with the stored PFX flag deciding the pair, as
// ReadOptions decides it.
const OptionSpec Options[] = {
    {"SDKBinFolder", K::FileName, false, false, nullptr, &S::sdkBinFolder},
    {"UseBestCert", K::Flag, true, true, &S::selectBestCert},
    {"UsePFXFile", K::Flag, false, true, &S::usePfxFile},
    {"PFXFilename", K::FileName, false, true, nullptr, &S::pfxFilename},
    {"AddDescription", K::Flag, false, true, &S::addDescription},
    {"DescriptionText", K::Text, false, true, nullptr, &S::descriptionText},
    {"DescriptionURL", K::Text, false, true, nullptr, &S::descriptionUrl},
    {"TimeStamp", K::Flag, false, true, &S::timeStamp},
    {"TimeStampURL", K::Text, false, true, nullptr, &S::timeStampUrl},
    {"VerboseOutput", K::Flag, true, true, &S::verboseOutput},
    {"AddCmdLineToConsole", K::Flag, false, true, &S::addCmdLineToConsole},
    {"KeepWndTopMost", K::Flag, false, true, &S::keepWindowOnTop},
};

} // namespace

StoredOptions::StoredOptions()
{
    for (const OptionSpec &option : Options) {
        if (option.flag)
            this->*option.flag = option.defaultOn;
    }
}

std::span<const OptionSpec> OptionTable()
{
    return Options;
}

bool InScope(const OptionSpec &option, OptionScope scope)
{
    return scope == OptionScope::Settings || option.inProjects;
}

StoredOptions ReadOptions(const IniFile &file, OptionScope scope)
{
    StoredOptions options;
    for (const OptionSpec &option : Options) {
        if (!InScope(option, scope))
            continue;
        const QString key = QString::fromLatin1(option.key);
        switch (option.kind) {
        case OptionKind::Flag:
            options.*option.flag = file.readBool(OptionsSection, key, option.defaultOn);
            break;
        case OptionKind::Text:
            options.*option.text = file.readString(OptionsSection, key, QString());
            break;
        case OptionKind::FileName:
            options.*option.text = file.readFileName(OptionsSection, key, QString());
            break;
        }
    }
    options.selectBestCert = !options.usePfxFile;
    return options;
}

QString StandInSdkBinFolder(const QString &programFolder)
{
    if (programFolder.isEmpty())
        return {};
    const auto isFile = [](const QString &path) {
        const std::optional<platform::FileFacts> facts = platform::fileFacts(path);
        return facts && !facts->isFolder;
    };
    for (const char *place : {"sdk-bin", "../sdk-bin"}) {
        const QString folder =
            QDir::cleanPath(programFolder + QLatin1String(place)) + QLatin1Char('/');
        if (isFile(folder + QStringLiteral("signtool.exe"))
            && isFile(folder + QStringLiteral("pvk2pfx.exe")))
            return folder;
    }
    return {};
}

StoredOptions ReadSettingsOptions(const IniFile &settings, const QString &programFolder)
{
    StoredOptions options = ReadOptions(settings, OptionScope::Settings);
    const auto folderOption = std::find_if(std::begin(Options), std::end(Options),
                                           [](const OptionSpec &option) {
                                               return option.text == &S::sdkBinFolder;
                                           });
    if (!settings.valueExists(OptionsSection, QString::fromLatin1(folderOption->key)))
        options.sdkBinFolder = StandInSdkBinFolder(programFolder);
    return options;
}

void WriteOptions(IniFile &file, const StoredOptions &options, OptionScope scope)
{
    for (const OptionSpec &option : Options) {
        if (!InScope(option, scope))
            continue;
        const QString key = QString::fromLatin1(option.key);
        switch (option.kind) {
        case OptionKind::Flag:
            file.writeBool(OptionsSection, key, options.*option.flag);
            break;
        case OptionKind::Text:
            file.writeString(OptionsSection, key, options.*option.text);
            break;
        case OptionKind::FileName:
            file.writeFileName(OptionsSection, key, options.*option.text);
            break;
        }
    }
}

SignOptions ToSignOptions(const StoredOptions &options, const QString &pfxPassword)
{
    SignOptions sign;
    sign.sdkBinFolder = options.sdkBinFolder;
    sign.selectBestCert = options.selectBestCert;
    sign.usePfxFile = options.usePfxFile;
    sign.pfxFilename = options.pfxFilename;
    sign.pfxPassword = pfxPassword;
    sign.timeStamp = options.timeStamp;
    sign.timeStampUrl = options.timeStampUrl;
    sign.addDescription = options.addDescription;
    sign.descriptionText = options.descriptionText;
    sign.descriptionUrl = options.descriptionUrl;
    sign.verboseOutput = options.verboseOutput;
    return sign;
}
