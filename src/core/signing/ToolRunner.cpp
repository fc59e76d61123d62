#include "signing/ToolRunner.h"

#include "base/AppError.h"
#include "base/UserDialogs.h"
#include "platform/Platform.h"
#include "signing/ConsoleText.h"
#include "signing/ToolSecrets.h"

#include <QCoreApplication>

#include <cerrno>

namespace {

const QString kConsoleCaption = QStringLiteral("Quillmark - Console Output");

bool g_toolRunning = false;

// The system's error texts end in a full stop on some systems and in a line
// break on others; the message puts its own text after them.
QString trimmedSystemText(QString text)
{
    while (!text.isEmpty()) {
        const QChar last = text.back();
        if (last == u' ' || last == u'.' || last.unicode() < 0x20 || last.unicode() == 0x7f)
            text.chop(1);
        else
            break;
    }
    return text;
}

// Marks the run, and tells the caller, for as long as the scope lives.
class RunScope {
public:
    explicit RunScope(const std::function<void(bool running)> &runningChanged)
        : m_runningChanged(runningChanged)
    {
        g_toolRunning = true;
        if (m_runningChanged)
            m_runningChanged(true);
    }
    ~RunScope()
    {
        g_toolRunning = false;
        if (m_runningChanged)
            m_runningChanged(false);
    }
    RunScope(const RunScope &) = delete;
    RunScope &operator=(const RunScope &) = delete;

private:
    const std::function<void(bool running)> &m_runningChanged;
};

} // namespace

QStringList SplitCaptureLines(const QByteArray &bytes)
{
    qsizetype end = bytes.indexOf('\0');
    if (end < 0)
        end = bytes.size();
    // Line ends are single bytes below 0x80, so splitting the decoded text
    // is the same as splitting the bytes.
    const QString text = QString::fromUtf8(bytes.constData(), end);

    QStringList lines;
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text.at(i);
        if (c == u'\r' || c == u'\n') {
            lines.append(text.mid(start, i - start));
            if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
                ++i;
            start = ++i;
        } else {
            ++i;
        }
    }
    if (start < text.size())
        lines.append(text.mid(start));
    return lines;
}

QStringList SplitArguments(const QString &arguments)
{
    QStringList result;
    const qsizetype n = arguments.size();
    qsizetype i = 0;
    while (i < n) {
        if (arguments.at(i) == u' ') {
            ++i;
            continue;
        }
        if (arguments.at(i) == u'"') {
            const qsizetype valueStart = i + 1;
            qsizetype close = -1;
            for (qsizetype k = valueStart; k < n; ++k) {
                if (arguments.at(k) == u'"' && (k + 1 == n || arguments.at(k + 1) == u' ')) {
                    close = k;
                    break;
                }
            }
            if (close < 0) {
                result.append(arguments.mid(valueStart));
                i = n;
            } else {
                result.append(arguments.mid(valueStart, close - valueStart));
                i = close + 1;
            }
        } else {
            qsizetype end = i;
            while (end < n && arguments.at(end) != u' ')
                ++end;
            result.append(arguments.mid(i, end - i));
            i = end;
        }
    }
    return result;
}

QString CaptureFileName()
{
    return QStringLiteral("$tmp$.tmp");
}

bool IsToolRunning()
{
    return g_toolRunning;
}

QString ToolStartFailureText(const QString &systemText, bool reasonExplained)
{
    QString text = QStringLiteral("Unable to retrieve the Console Output!\n\nSystem Error Message: ")
        + trimmedSystemText(systemText);
    if (!reasonExplained)
        text += QStringLiteral("\n\n(Your firewall may be preventing this process)");
    return text;
}

QString UntrustedToolText(const QString &programPath, const QString &reason)
{
    const QString name = programPath.mid(programPath.lastIndexOf(u'/') + 1);
    return QStringLiteral("%1 is not used: %2.\n\nRunning as root, Quillmark starts only a tool "
                          "that no other user can have placed or changed: the file and every "
                          "folder above it must be owned by root and writable by no one else.")
        .arg(platform::displayFileName(name), platform::displayFileName(reason));
}

bool RunAndCapture(ConsoleText &console, const QString &workingFolder,
                   const QString &programPath, const QString &arguments, bool minimised,
                   const std::function<void(const QByteArray &added)> &outputGrew,
                   ToolExit *exit, const std::function<void(bool running)> &runningChanged,
                   const QString &captureFolder, const std::function<bool()> &stopNow)
{
    Q_UNUSED(minimised); // console tools have no window of their own here

    // Processing events during a run could reach a second run through a
    // timer; one capture file cannot serve two tools.
    if (g_toolRunning)
        throw AppError(QStringLiteral("A console tool is still running; wait until it has ended"));

    // As root, a program that another user could have placed or changed
    // would run with root's rights: it is not started at all.
    if (const QString refusal = platform::programRefusalForRoot(programPath); !refusal.isEmpty()) {
        Messages::error(kConsoleCaption, UntrustedToolText(programPath, refusal), /*topMost*/ true);
        return false;
    }

    // Fixed now, so that whatever happens to the current folder during the
    // run, the file read back and deleted is the one the tool wrote.
    // (Through the platform layer, which keeps a folder name that is not
    // UTF-8; QDir would name another folder. A current folder that is gone
    // leaves the bare name, which then cannot be created.)
    const QString folder = captureFolder.isEmpty() ? platform::currentFolder() : captureFolder;
    const QString capturePath = folder.isEmpty() ? CaptureFileName()
        : folder.endsWith(u'/')                  ? folder + CaptureFileName()
                                                 : folder + u'/' + CaptureFileName();

    platform::ProcessRequest request;
    request.program = programPath;
    // The passwords go through inherited pipes, never on the tool's
    // argument list; the console shows the command line as it was built.
    ToolSecretHandOver handOver = HandSecretsOver(programPath, SplitArguments(arguments));
    request.arguments = handOver.arguments;
    request.secretInputs = std::move(handOver.secrets);
    request.workingFolder = workingFolder;
    request.outputFile = capturePath;
    request.lowestPriority = true;
    request.outputGrew = outputGrew;
    request.removeOutputFile = true;
    request.stopRequested = stopNow;

    platform::ProcessOutcome outcome;
    {
        RunScope scope(runningChanged);
        std::function<void()> whileWaiting;
        if (QCoreApplication::instance())
            whileWaiting = [] { QCoreApplication::processEvents(); };
        outcome = platform::runProcess(request, whileWaiting);
    }
    WipeSecrets(request.secretInputs);
    if (exit)
        *exit = {outcome.started, outcome.exitCode, outcome.stopped};

    if (!outcome.started) {
        if (outcome.outputFileFailed) {
            // Without a capture file the tool's output would be lost, or an
            // older file would be shown as its output; so it is not run.
            Messages::error(kConsoleCaption,
                            QStringLiteral("Unable to create the capture file for the Console "
                                           "Output!\n\nFile: %1\n\nSystem Error Message: %2\n\n"
                                           "(The tool was not started)")
                                .arg(platform::displayFileName(capturePath),
                                     trimmedSystemText(outcome.errorText)),
                            /*topMost*/ true);
            return false;
        }
        Messages::error(kConsoleCaption,
                        ToolStartFailureText(outcome.errorText,
                                             platform::startErrorIsExplained(outcome.errorCode)),
                        /*topMost*/ true);
        return false;
    }

    // Read back through the runner's own descriptor of the file it made,
    // so nothing put in its place by name during the run is read.
    if (outcome.outputReadError != 0) {
        const QString reason = outcome.outputReadError == EINVAL
            ? QStringLiteral("it is no longer a regular file")
            : trimmedSystemText(platform::systemErrorText(outcome.outputReadError));
        throw AppError(QStringLiteral("Unable to read the Console Output back from %1: %2")
                           .arg(platform::displayFileName(outcome.outputFileUsed), reason));
    }
    const QByteArray &captured = outcome.output;

    console.addLines(SplitCaptureLines(captured));
    return outcome.exitCode == 0;
}
