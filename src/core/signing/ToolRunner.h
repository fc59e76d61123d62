#pragma once

// Runs one SDK console tool, waits for it and appends what it wrote to the
// console text. The tool's output goes through a capture file in the
// program's current folder, read back once the tool has ended.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class ConsoleText;

// The captured bytes as lines of UTF-8 text. A NUL byte ends the text; a
// line ends at CR LF, a lone CR or a lone LF; a last line without a line end
// still counts, and a final line end adds no empty line.
QStringList SplitCaptureLines(const QByteArray &bytes);

// Splits an argument string built with AddQuotes back into arguments. A
// blank ends an unquoted argument and runs of blanks separate. An argument
// that starts with a double quote is one argument without its quotes; it
// ends at the first double quote followed by a blank or by the end of the
// text, so a value that itself holds quotes (a description typed as
// "Release") comes back whole. An unclosed quote runs to the end.
QStringList SplitArguments(const QString &arguments);

// "$tmp$.tmp": relative, so it lies in the current folder at the time of
// the run.
QString CaptureFileName();

// Runs programPath with the arguments in workingFolder at the lowest
// priority, blocking the caller until it ends, and appends everything it
// wrote to standard output and standard error, in write order, to the
// console. Returns true only when the tool ran and exited with code 0.
//
// While the tool runs, the application's events are processed (when there
// is an application), so windows keep painting; a window that must take no
// input meanwhile blocks it itself (UserInputBlock of the window). A tool that cannot be started, or a capture
// file that cannot be created, is reported in an error box and gives false
// with nothing appended, as is a tool that root must not start (see
// UntrustedToolText). A capture file that cannot be read back raises
// AppError. The capture file is gone when the call returns.
//
// `minimised` chose the show state of the tool's console window on the
// original system; console tools have no window of their own here, so it
// is accepted and has no effect.
//
// `outputGrew`, when given, is called while the tool runs with each piece
// of output as it reaches the capture file (before the windows are
// painted again), for a caller that shows how far the tool is.
//
// `exit`, when given, tells whether the tool started and its exit code,
// for a caller that passes the code on.
//
// `captureFolder`, when given, holds the capture file instead of the
// current folder (a private folder of one run, so that runs at once in one
// working folder never meet); the window keeps the current folder.
//
// `stopNow`, when given, is asked while the tool runs: true tells the tool
// to end at once (see platform::ProcessRequest::stopRequested); `exit`
// then says `stopped`.
//
// `runningChanged`, when given, is called with true as the tool is started
// and with false once it has ended, before any box about the run is shown:
// a window blocks its input in between (and a box must be answerable).
struct ToolExit {
    bool started = false;
    int code = -1;   // a tool killed by a signal gives 128 + signal
    bool stopped = false;
};
bool RunAndCapture(ConsoleText &console, const QString &workingFolder,
                   const QString &programPath, const QString &arguments, bool minimised,
                   const std::function<void(const QByteArray &added)> &outputGrew = {},
                   ToolExit *exit = nullptr,
                   const std::function<void(bool running)> &runningChanged = {},
                   const QString &captureFolder = {},
                   const std::function<bool()> &stopNow = {});

// The message for a tool that could not be started, with the system's text
// for the reason. The closing guess about a firewall is left out when the
// reason is known to be something else (`reasonExplained`).
QString ToolStartFailureText(const QString &systemText, bool reasonExplained);

// The message for a tool that root must not start: its file name, then
// `reason` (see platform::programRefusalForRoot).
QString UntrustedToolText(const QString &programPath, const QString &reason);

// True while RunAndCapture waits for a tool. The main window refuses to
// close meanwhile.
bool IsToolRunning();
