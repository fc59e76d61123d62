#pragma once

// What the PVK to PFX wizard decides, as plain functions of its control
// values: the tool path, the checks before a run, the output name, the
// argument text of pvk2pfx.exe and the verdict on the output file.

#include <QString>
#include <QStringList>

struct Pvk2PfxInputs {
    QString pvkFileName;
    QString pvkPassword;
    QString spcFileName;
    QString newPfxPassword;
    QString newPfxPasswordConfirm;
    bool overwrite = false;
};

// The folder text followed directly by "pvk2pfx.exe" (no separator added).
QString GetPvk2PfxPath(const QString &sdkBinFolder);

QString Pvk2PfxToolNotFoundText(const QString &toolPath);

// The input checks in their fixed order: the tool (toolExists tells whether
// anything exists at toolPath), the PVK file, the PVK password, the SPC
// file, the two new-password entries (compared exactly, letter case
// included). The message of the first that fails, or empty.
QString CheckPvk2PfxInputs(const Pvk2PfxInputs &inputs, const QString &toolPath, bool toolExists);

// The argument text splits at blanks outside double quotes and a quoted
// value ends at its closing quote, so a value holding a double quote cannot
// reach the tool intact. The message names the first such field, or empty.
// The confirmation entry is never passed and needs no check.
QString CheckPvk2PfxQuotes(const Pvk2PfxInputs &inputs);
QString CheckPfxFileNameQuotes(const QString &pfxFileName);

// The name chosen in the save dialog with ".pfx" appended unless its
// extension (from the last dot of the last path component) is exactly
// ".pfx", letter case included.
QString PfxOutputName(const QString &chosenName);

// "-pvk ", "-pi ", "-spc ", "-pfx " with their quoted values, then "-po "
// and the new password when one was typed, then "-f" when overwriting.
QString BuildPvk2PfxArgs(const Pvk2PfxInputs &inputs, const QString &newPfxFileName);

// The output file as the wizard saw it: whether anything exists at the path,
// and its digest text (empty when it could not be digested).
struct PfxFileState {
    bool exists = false;
    QString digest;
};

enum class PfxVerdict { Saved, NotOverwritten, NotGenerated };

// Judged from the output file alone. A file that exists after the run but
// could not be digested whole (empty, unreadable, or failing part-way) is
// no saved PFX: it is reported as not generated, unless an undigestable
// file was there before too, in which case nothing shows that it changed.
PfxVerdict JudgePfxOutput(const PfxFileState &before, const PfxFileState &after);

// The console lines of a verdict: an empty line, then the verdict; the two
// verdicts that name the file add an empty line and the path.
QStringList PfxVerdictLines(PfxVerdict verdict, const QString &pfxFileName);
