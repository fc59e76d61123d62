#pragma once

// One signing run over a list of files: the signing tool started in as many
// consecutive runs as the system's argument space needs, each run's output
// appended to the console after a line that says which files it signs. The
// main window's sign action and the build-server command both sign through
// this (driven by SignTask), so that the two run the tool alike and show the
// same text.

#include "signing/SignBatches.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class ConsoleText;

struct SignRunRequest {
    QString workingFolder;   // the SDK folder
    QString program;         // GetSignToolPath of that folder
    QString options;         // BuildSignOptions
    QStringList files;       // full paths, in list order
    ArgumentLimits limits;
    bool minimised = false;
    // The folder of the capture file; empty: the current folder (the
    // window's, whose users know its capture file there).
    QString captureFolder;
};

struct SignRunWatchers {
    // How far the run is: files done of all files. Called when the tool
    // reports another file's outcome and when a run ends.
    std::function<void(int done, int total)> progress;
    // Each piece of the tool's output as it reaches the capture file.
    std::function<void(const QByteArray &added)> outputGrew;
    // True as each run's tool starts, false once it has ended (see
    // RunAndCapture).
    std::function<void(bool running)> toolRunning;
    // Asked before each run: true leaves the remaining runs out.
    std::function<bool()> cancelled;
    // Asked while a tool runs: true ends it at once (it abandons the file
    // in hand; a file is only ever replaced by its complete signed copy)
    // and leaves the remaining runs out.
    std::function<bool()> stopNow;
};

struct SignRunOutcome {
    // The exit code of the first run that did not end with 0 (128 + signal
    // for a tool killed by a signal); 0 when every run ended with 0.
    int exitCode = 0;
    // A run could not be started (already reported by the tool runner).
    bool startFailed = false;
    // Runs were left out because the caller cancelled.
    bool cancelled = false;
    // A tool was ended at once through stopNow.
    bool stopped = false;
    // Files the tool reported as signed.
    int signedFiles = 0;
    bool succeeded() const { return exitCode == 0 && !startFailed && !cancelled && !stopped; }
};

// A run that fails does not keep the next from running: every run's output
// is read, as for a single run. Errors of the tool runner (AppError) pass
// through.
SignRunOutcome RunSignBatches(ConsoleText &console, const SignRunRequest &request,
                              const SignRunWatchers &watchers = {});
