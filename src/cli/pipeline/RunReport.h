#pragma once

// What the build-server command makes of a finished run, as pure functions
// over the lines the tools printed: each file's outcome (for --json and the
// exit code), the JSON lines, and the runnable command lines of --dry-run.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

enum class FileStatus { Signed, Failed, Skipped, NotVerified };

struct FileOutcome {
    QString file;
    FileStatus status = FileStatus::Failed;
    QString message;
    QString signer;      // empty: not known
    QString timestamp;   // empty: not known (or none)
};

// The name of a status as --json writes it.
QString StatusName(FileStatus status);

// The outcomes of the sign run for `files`, from the tool's lines: a file
// is signed when a "Successfully signed: FILE" line names it, else failed
// with the "SignTool Error:" line that names it (or `fallback`).
QList<FileOutcome> SignOutcomes(const QStringList &files, const QStringList &toolLines,
                                const QString &fallback);

// Marks signed files that the verify run (verify /pa /v) did not report as
// "Successfully verified: FILE" as not verified, with its error line, and
// takes the signer and time stamp of each file's primary signature from
// the verbose lines before its outcome.
void ApplyVerifyOutcomes(QList<FileOutcome> &outcomes, const QStringList &verifyLines,
                         const QString &fallback);

// One file's JSON object; the summary object of a run.
QJsonObject FileOutcomeJson(const FileOutcome &outcome);
struct RunSummary {
    int exitCode = 0;
    int toolExitCode = 0;   // the first non-zero code of a tool run, else 0
    int stoppedBy = 0;      // the signal that stopped the run, else 0
    bool verified = false;
};
QJsonObject SummaryJson(const QList<FileOutcome> &outcomes, const RunSummary &summary);

// The object as one line of compact JSON, with its line end. Control
// characters in strings are escaped by the encoder, so no file name can
// break or forge a line.
QByteArray JsonLine(const QJsonObject &object);

// One argument as a POSIX shell reads it back: bare when it holds only
// characters the shell takes literally, else in single quotes, and as
// $'...' with \xHH escapes when it holds control characters. The bytes are
// the file name's own (see platform::encodeFileName).
QByteArray ShellQuoted(const QByteArray &argument);

// A whole command line, each argument quoted as above.
QByteArray ShellCommandLine(const QList<QByteArray> &arguments);
