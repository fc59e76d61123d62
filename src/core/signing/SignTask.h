#pragma once

// The sign run as a task, after the jobs of KDE's Kleopatra: the caller
// sets it up, connects to its signals and runs it; it tells how far it is,
// ends with a typed result, and can be cancelled. The main window and the
// build-server command are two thin drivers of the same task: the window
// blocks its own input while a tool runs and follows the progress on its
// wait panel; the command streams the output and prints the progress.

#include "signing/SignBatchRun.h"

#include <QByteArray>
#include <QObject>

class ConsoleText;

class SignTask : public QObject {
    Q_OBJECT
public:
    SignTask(ConsoleText &console, const SignRunRequest &request, QObject *parent = nullptr);

    // Runs the batches one after the other and returns once the last has
    // ended, with the result `finished` carries too. While a tool runs the
    // application's events are processed, so cancel() can come from a
    // button or a timer. A task runs once. Errors of the tool runner
    // (AppError) pass through, and `finished` is not emitted then.
    SignRunOutcome run();

    bool isRunning() const { return m_running; }
    bool isCancelled() const { return m_cancelled; }
    const SignRunOutcome &result() const { return m_result; }

public slots:
    // No further batch is started. The tool already running finishes its
    // files: a signing tool stopped half-way through a file would leave its
    // temporary behind. The result says `cancelled` when a batch was left out.
    void cancel();
    // Cancels, and ends the tool in hand at once (a signal or a time-out of
    // the build-server command): the tool abandons the file it is on, which
    // keeps its old content, since a file is only ever replaced by its
    // complete signed copy. The result says `stopped`.
    void stop();

signals:
    // Files dealt with of all files, as the tool reports each outcome.
    void progress(int done, int total);
    // Each piece of the tool's output as it reaches the capture file.
    void outputGrew(const QByteArray &added);
    // True while a tool runs; false before any box about its run is shown.
    void toolRunningChanged(bool running);
    void finished(const SignRunOutcome &result);

private:
    ConsoleText &m_console;
    SignRunRequest m_request;
    SignRunOutcome m_result;
    bool m_running = false;
    bool m_cancelled = false;
    bool m_stopped = false;
    bool m_ran = false;
};
