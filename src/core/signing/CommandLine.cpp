#include "signing/CommandLine.h"

#include "platform/Platform.h"

QString DoubleQuoteRefusal(const QString &subject, const QString &tool)
{
    return subject + QStringLiteral(" contains a double quote (\"), which cannot be passed to the ")
        + tool + u'.';
}

QString SdkReinstallAdvice()
{
    return QStringLiteral("You need to re-install the MS Platform SDK or re-select the correct "
                          "folder path.");
}

QString AddQuotes(const QString &value)
{
    if (value.isEmpty())
        return QString();
    return u'"' + value + QStringLiteral("\" ");
}

QString GetSignToolPath(const QString &sdkBinFolder)
{
    return sdkBinFolder + QStringLiteral("signtool.exe");
}

QString BuildSignOptions(const SignOptions &options)
{
    QString result = QStringLiteral("sign ");
    if (options.selectBestCert) {
        result += QStringLiteral("/a ");
    } else {
        result += QStringLiteral("/f ") + AddQuotes(options.pfxFilename);
        result += QStringLiteral("/p ") + AddQuotes(options.pfxPassword);
    }
    if (options.timeStamp)
        result += QStringLiteral("/t ") + AddQuotes(options.timeStampUrl);
    if (options.addDescription) {
        result += QStringLiteral("/d ") + AddQuotes(options.descriptionText);
        if (!options.descriptionUrl.isEmpty())
            result += QStringLiteral("/du ") + AddQuotes(options.descriptionUrl);
    }
    if (options.verboseOutput)
        result += QStringLiteral("/v ");
    return result;
}

QString BuildFileArguments(const QStringList &fullPaths)
{
    QString result;
    for (const QString &path : fullPaths)
        result += AddQuotes(path);
    return result;
}

QStringList CommandLineBlock(const SignOptions &options)
{
    // The tool path is quoted here only for the reader who pastes the line
    // elsewhere; the run itself hands the path over unquoted. Bytes of a
    // path that are not UTF-8 show as replacement characters, as in the
    // file list; the run gets the bytes themselves.
    return {QStringLiteral("Full Command Line Used:"), QString(),
            platform::displayFileName(AddQuotes(GetSignToolPath(options.sdkBinFolder))
                                      + BuildSignOptions(options)),
            QString()};
}

QString SignToolNotFoundText(const QString &toolPath)
{
    return QStringLiteral("Please note: The MS SignTool.exe was not found in the path "
                          "you have selected:\n\n")
        + platform::displayFileName(toolPath) + QStringLiteral("\n\n") + SdkReinstallAdvice();
}

QString CheckSignRequest(const SignOptions &options, int fileCount, bool toolExists)
{
    if (fileCount <= 0)
        return QStringLiteral("No files have been added to the list!");
    if (!toolExists)
        return SignToolNotFoundText(GetSignToolPath(options.sdkBinFolder));
    if (options.usePfxFile && options.pfxFilename.isEmpty())
        return QStringLiteral("Please select the PFX file!");
    if (options.usePfxFile && options.pfxPassword.isEmpty())
        return QStringLiteral("Please enter the PFX file password!");
    if (options.addDescription && options.descriptionText.isEmpty())
        return QStringLiteral("Please enter a Description for the signed file(s)!");
    // Without this, "/t " would be followed directly by the next switch and
    // the tool would take that switch for the server address.
    if (options.timeStamp && options.timeStampUrl.isEmpty())
        return QStringLiteral("Please enter the Time Stamp URL!");
    return QString();
}

QString CheckForDoubleQuotes(const SignOptions &options, const QStringList &fullPaths)
{
    // The tool path needs no check: it reaches the process start as the
    // program itself, apart from the argument text, and is never split, so
    // a quote in the folder name cannot change the arguments. The same goes
    // for the working folder. Only the console block shows it in quotes,
    // and that line is never run.
    struct Field {
        bool used;
        const QString &value;
        const char *label;
    };
    const Field fields[] = {
        {!options.selectBestCert, options.pfxFilename, "PFX file path"},
        {!options.selectBestCert, options.pfxPassword, "PFX file password"},
        {options.timeStamp, options.timeStampUrl, "Time Stamp URL"},
        {options.addDescription, options.descriptionText, "description"},
        {options.addDescription, options.descriptionUrl, "description URL"},
    };
    for (const Field &field : fields) {
        if (field.used && field.value.contains(u'"'))
            return DoubleQuoteRefusal(QStringLiteral("The ") + QLatin1String(field.label),
                                      QStringLiteral("signing tool"));
    }
    for (const QString &path : fullPaths) {
        if (path.contains(u'"'))
            return DoubleQuoteRefusal(QStringLiteral("The file \"") + path + u'"',
                                      QStringLiteral("signing tool"));
    }
    return QString();
}
