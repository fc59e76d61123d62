#include "wizard/Pvk2PfxRequest.h"

#include "signing/CommandLine.h"

namespace {

QString quoteRefusal(const char *field)
{
    return DoubleQuoteRefusal(QStringLiteral("The ") + QLatin1String(field),
                              QStringLiteral("conversion tool"));
}

} // namespace

QString GetPvk2PfxPath(const QString &sdkBinFolder)
{
    return sdkBinFolder + QStringLiteral("pvk2pfx.exe");
}

QString Pvk2PfxToolNotFoundText(const QString &toolPath)
{
    return QStringLiteral("Sorry, unable to locate the Pvk2Pfx Tool in the following location:\n\n")
        + toolPath + QStringLiteral("\n\n") + SdkReinstallAdvice();
}

QString CheckPvk2PfxInputs(const Pvk2PfxInputs &inputs, const QString &toolPath, bool toolExists)
{
    if (!toolExists)
        return Pvk2PfxToolNotFoundText(toolPath);
    if (inputs.pvkFileName.isEmpty())
        return QStringLiteral("Please select the PVK file!");
    if (inputs.pvkPassword.isEmpty())
        return QStringLiteral("Please enter the PVK file password!");
    if (inputs.spcFileName.isEmpty())
        return QStringLiteral("Please select the SPC file!");
    if (inputs.newPfxPassword != inputs.newPfxPasswordConfirm)
        return QStringLiteral("Sorry, the New PFX file password entries do not match!");
    return QString();
}

QString CheckPvk2PfxQuotes(const Pvk2PfxInputs &inputs)
{
    struct Field {
        const QString &value;
        const char *label;
    };
    const Field fields[] = {
        {inputs.pvkFileName, "PVK file path"},
        {inputs.pvkPassword, "PVK file password"},
        {inputs.spcFileName, "SPC file path"},
        {inputs.newPfxPassword, "new PFX file password"},
    };
    for (const Field &field : fields) {
        if (field.value.contains(u'"'))
            return quoteRefusal(field.label);
    }
    return QString();
}

QString CheckPfxFileNameQuotes(const QString &pfxFileName)
{
    return pfxFileName.contains(u'"') ? quoteRefusal("PFX file path") : QString();
}

QString PfxOutputName(const QString &chosenName)
{
    // "pfx" holds no slash, so a name ending in ".pfx" has it as the last
    // extension of its last component.
    const QString extension = QStringLiteral(".pfx");
    return chosenName.endsWith(extension) ? chosenName : chosenName + extension;
}

QString BuildPvk2PfxArgs(const Pvk2PfxInputs &inputs, const QString &newPfxFileName)
{
    QString args = QStringLiteral("-pvk ") + AddQuotes(inputs.pvkFileName)
        + QStringLiteral("-pi ") + AddQuotes(inputs.pvkPassword)
        + QStringLiteral("-spc ") + AddQuotes(inputs.spcFileName)
        + QStringLiteral("-pfx ") + AddQuotes(newPfxFileName);
    // Without -po the tool protects the PFX with the PVK password.
    if (!inputs.newPfxPassword.isEmpty())
        args += QStringLiteral("-po ") + AddQuotes(inputs.newPfxPassword);
    if (inputs.overwrite)
        args += QStringLiteral("-f");
    return args;
}

PfxVerdict JudgePfxOutput(const PfxFileState &before, const PfxFileState &after)
{
    if (!after.exists)
        return PfxVerdict::NotGenerated;
    if (after.digest.isEmpty()) {
        // Comparing the empty text with the earlier digest would call a
        // truncated or unreadable file "saved" (or a brand-new empty one
        // "already there").
        return before.exists && before.digest.isEmpty() ? PfxVerdict::NotOverwritten
                                                        : PfxVerdict::NotGenerated;
    }
    return after.digest == before.digest ? PfxVerdict::NotOverwritten : PfxVerdict::Saved;
}

QStringList PfxVerdictLines(PfxVerdict verdict, const QString &pfxFileName)
{
    switch (verdict) {
    case PfxVerdict::Saved:
        return {QString(), QStringLiteral("The PFX was saved as filename: "), QString(), pfxFileName};
    case PfxVerdict::NotOverwritten:
        return {QString(), QStringLiteral("The PFX already exists here and was not overwritten: "),
                QString(), pfxFileName};
    case PfxVerdict::NotGenerated:
        break;
    }
    return {QString(),
            QStringLiteral("The PFX file was not generated, check your PVK/SPC files and password!")};
}
