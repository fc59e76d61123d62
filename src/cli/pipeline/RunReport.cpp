#include "pipeline/RunReport.h"

#include "platform/Platform.h"
#include "safefile/ShownText.h"

#include <QJsonDocument>

namespace {

const QString SignedPrefix = QStringLiteral("Successfully signed: ");
const QString VerifiedPrefix = QStringLiteral("Successfully verified: ");
const QString ErrorPrefix = QStringLiteral("SignTool Error: ");

// The tools print a file as it was passed, with control characters shown
// escaped; either spelling names it.
bool namesFile(const QString &text, const QString &file)
{
    return text == file || text == platform::displayFileName(file);
}

// The name as a whole word of the line: "Cannot sign NAME: ...", "NAME is
// not validly signed", not as the start of a longer name.
bool containsName(const QString &line, const QString &name)
{
    for (qsizetype at = line.indexOf(name); at >= 0; at = line.indexOf(name, at + 1)) {
        const qsizetype end = at + name.size();
        const bool startsWord = at == 0 || line.at(at - 1) == u' ';
        const bool endsWord = end == line.size() || line.at(end) == u':' || line.at(end) == u' ';
        if (startsWord && endsWord)
            return true;
    }
    return false;
}

bool lineNamesFile(const QString &line, const QString &file)
{
    return containsName(line, file) || containsName(line, platform::displayFileName(file));
}

QString errorLineFor(const QStringList &lines, const QString &file)
{
    for (const QString &line : lines) {
        if (line.startsWith(ErrorPrefix) && lineNamesFile(line, file))
            return line.mid(ErrorPrefix.size());
    }
    return {};
}

QString valueAfter(const QString &line, const QString &label)
{
    const QString trimmed = line.trimmed();
    return trimmed.startsWith(label) ? trimmed.mid(label.size()).trimmed() : QString();
}

} // namespace

QString StatusName(FileStatus status)
{
    switch (status) {
    case FileStatus::Signed:
        return QStringLiteral("signed");
    case FileStatus::Failed:
        return QStringLiteral("failed");
    case FileStatus::Skipped:
        return QStringLiteral("skipped");
    case FileStatus::NotVerified:
        return QStringLiteral("not-verified");
    }
    return QStringLiteral("failed");
}

QList<FileOutcome> SignOutcomes(const QStringList &files, const QStringList &toolLines,
                                const QString &fallback)
{
    QList<FileOutcome> outcomes;
    for (const QString &file : files) {
        FileOutcome outcome;
        outcome.file = file;
        for (const QString &line : toolLines) {
            if (line.startsWith(SignedPrefix) && namesFile(line.mid(SignedPrefix.size()), file)) {
                outcome.status = FileStatus::Signed;
                break;
            }
        }
        if (outcome.status != FileStatus::Signed) {
            outcome.message = errorLineFor(toolLines, file);
            if (outcome.message.isEmpty())
                outcome.message = fallback;
        }
        outcomes.append(outcome);
    }
    return outcomes;
}

void ApplyVerifyOutcomes(QList<FileOutcome> &outcomes, const QStringList &verifyLines,
                         const QString &fallback)
{
    for (FileOutcome &outcome : outcomes) {
        if (outcome.status != FileStatus::Signed)
            continue;
        // The verbose lines of a file come before its outcome line, after
        // the previous file's; the first signature listed is the primary.
        QString signer;
        QString stamp;
        bool verified = false;
        for (const QString &line : verifyLines) {
            if (line.startsWith(VerifiedPrefix) || line.startsWith(ErrorPrefix)) {
                if (line.startsWith(VerifiedPrefix)
                    && namesFile(line.mid(VerifiedPrefix.size()), outcome.file)) {
                    verified = true;
                    break;
                }
                signer.clear();
                stamp.clear();
                continue;
            }
            if (const QString value = valueAfter(line, QStringLiteral("Signed by:"));
                !value.isEmpty() && signer.isEmpty())
                signer = value;
            if (const QString value = valueAfter(line, QStringLiteral("Time stamp:"));
                !value.isEmpty() && stamp.isEmpty()) {
                // "kind, time": the time alone; "none" is no time stamp.
                const qsizetype comma = value.indexOf(QLatin1String(", "));
                stamp = comma < 0 ? QString() : value.mid(comma + 2);
                if (stamp.isEmpty())
                    stamp = QStringLiteral("-");
            }
        }
        if (verified) {
            outcome.signer = signer == QLatin1String("unknown") ? QString() : signer;
            outcome.timestamp = stamp == QLatin1String("-") ? QString() : stamp;
        } else {
            outcome.status = FileStatus::NotVerified;
            outcome.message = errorLineFor(verifyLines, outcome.file);
            if (outcome.message.isEmpty())
                outcome.message = fallback;
        }
    }
}

QJsonObject FileOutcomeJson(const FileOutcome &outcome)
{
    QJsonObject object;
    object.insert(QStringLiteral("file"), outcome.file);
    object.insert(QStringLiteral("status"), StatusName(outcome.status));
    object.insert(QStringLiteral("message"), outcome.message);
    object.insert(QStringLiteral("signer"),
                  outcome.signer.isEmpty() ? QJsonValue() : QJsonValue(outcome.signer));
    object.insert(QStringLiteral("timestamp"),
                  outcome.timestamp.isEmpty() ? QJsonValue() : QJsonValue(outcome.timestamp));
    return object;
}

QJsonObject SummaryJson(const QList<FileOutcome> &outcomes, const RunSummary &summary)
{
    int counts[4] = {};
    for (const FileOutcome &outcome : outcomes)
        ++counts[int(outcome.status)];
    QJsonObject totals;
    totals.insert(QStringLiteral("files"), int(outcomes.size()));
    totals.insert(QStringLiteral("signed"), counts[int(FileStatus::Signed)]);
    totals.insert(QStringLiteral("failed"), counts[int(FileStatus::Failed)]);
    totals.insert(QStringLiteral("skipped"), counts[int(FileStatus::Skipped)]);
    totals.insert(QStringLiteral("not-verified"), counts[int(FileStatus::NotVerified)]);
    totals.insert(QStringLiteral("verified"), summary.verified);
    totals.insert(QStringLiteral("exit-code"), summary.exitCode);
    totals.insert(QStringLiteral("tool-exit-code"), summary.toolExitCode);
    totals.insert(QStringLiteral("stopped-by-signal"),
                  summary.stoppedBy ? QJsonValue(summary.stoppedBy) : QJsonValue());
    QJsonObject object;
    object.insert(QStringLiteral("summary"), totals);
    return object;
}

QByteArray JsonLine(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray ShellQuoted(const QByteArray &argument)
{
    if (argument.isEmpty())
        return "''";
    const std::string_view text(argument.constData(), size_t(argument.size()));
    bool bare = true;
    bool control = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (safefile::escapedLengthAt(text, i) > 0)
            control = true;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
              || QByteArray("_./:=@%+,-").contains(c)))
            bare = false;
    }
    if (bare)
        return argument;
    if (!control) {
        QByteArray quoted = "'";
        for (const char c : argument)
            quoted += c == '\'' ? QByteArray("'\\''") : QByteArray(1, c);
        return quoted + "'";
    }
    // Every character that would be shown escaped (C0 and C1 controls, DEL,
    // line separators, bidirectional controls) goes in as its bytes, so the
    // line can neither end early nor turn around on a terminal.
    const auto hex = [](char c) {
        return "\\x" + QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0');
    };
    QByteArray quoted = "$'";
    for (size_t i = 0; i < text.size();) {
        size_t length = safefile::escapedLengthAt(text, i);
        if (length == 0 && (text[i] == '\'' || text[i] == '\\'))
            length = 1;
        if (length == 0) {
            quoted += text[i++];
            continue;
        }
        for (; length > 0; --length)
            quoted += hex(text[i++]);
    }
    return quoted + "'";
}

QByteArray ShellCommandLine(const QList<QByteArray> &arguments)
{
    QByteArray line;
    for (const QByteArray &argument : arguments) {
        if (!line.isEmpty())
            line += ' ';
        line += ShellQuoted(argument);
    }
    return line;
}
