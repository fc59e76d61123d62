#pragma once

// The command line of the signing tool, built from the main window's option
// values. Pure functions: the window passes its control values in and runs
// what comes out.
//
// The argument text is one flat string in which every piece carries its
// own trailing blank and every value is wrapped in double quotes without
// escaping. The tool runner splits it back into arguments (a blank ends an
// unquoted argument, a double-quoted value is one argument), so a value
// holding a double quote cannot be passed faithfully: CheckForDoubleQuotes
// refuses such values before anything runs.

#include <QString>
#include <QStringList>

struct SignOptions {
    QString sdkBinFolder;      // held with a trailing "/" when chosen with the picker
    bool selectBestCert = true;
    bool usePfxFile = false;
    QString pfxFilename;
    QString pfxPassword;
    bool timeStamp = false;
    QString timeStampUrl;
    bool addDescription = false;
    QString descriptionText;
    QString descriptionUrl;
    bool verboseOutput = true;
};

// Empty stays empty; otherwise '"' + value + '"' + one blank. Nothing is
// escaped, so a value already in quotes gets a second pair.
QString AddQuotes(const QString &value);

// The folder text followed directly by "signtool.exe" (no separator added).
QString GetSignToolPath(const QString &sdkBinFolder);

// "sign ", the certificate clause, then time stamp, description and verbose
// clauses, in that fixed order; ends in a blank. The certificate clause
// follows selectBestCert alone: "/a ", or "/f " and "/p " with the PFX path
// and password. An empty description URL leaves out the whole "/du " clause,
// since a bare "/du " would take the next switch as its value.
QString BuildSignOptions(const SignOptions &options);

// One quoted argument per path, in list order.
QString BuildFileArguments(const QStringList &fullPaths);

// The four console lines that show the command line: "Full Command Line
// Used:", "", the quoted tool path followed by the options, "".
QStringList CommandLineBlock(const SignOptions &options);

// The refusal for a value that the argument text cannot carry, e.g.
// "The PFX file password" + " contains a double quote (\"), which cannot be
// passed to the " + "signing tool" + ".".
QString DoubleQuoteRefusal(const QString &subject, const QString &tool);

// The last sentence of every message about an SDK tool that is missing.
QString SdkReinstallAdvice();

// The message for a signing tool that is not where the folder says.
QString SignToolNotFoundText(const QString &toolPath);

// The checks of the sign action in their fixed order; the message of the
// first that fails, or an empty string. toolExists tells whether anything
// exists at GetSignToolPath(options.sdkBinFolder).
QString CheckSignRequest(const SignOptions &options, int fileCount, bool toolExists);

// Refuses any value that would go into the argument text inside quotes and
// holds a double quote itself; the message names the field or the file.
// Empty when all values can be passed.
QString CheckForDoubleQuotes(const SignOptions &options, const QStringList &fullPaths);
