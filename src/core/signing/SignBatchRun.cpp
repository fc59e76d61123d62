#include "signing/SignBatchRun.h"

#include "signing/CommandLine.h"
#include "signing/ConsoleText.h"
#include "signing/SignProgress.h"
#include "signing/ToolRunner.h"

#include <algorithm>

SignRunOutcome RunSignBatches(ConsoleText &console, const SignRunRequest &request,
                              const SignRunWatchers &watchers)
{
    SignRunOutcome outcome;
    const QList<FileBatch> batches = PlanSignBatches(
        request.program, SplitArguments(request.options), request.files, request.limits);
    const int total = int(request.files.size());
    auto progress = [&](int done) {
        if (watchers.progress)
            watchers.progress(done, total);
    };
    const bool headed = batches.size() > 1;
    int signedFiles = 0;
    for (const FileBatch &batch : batches) {
        if ((watchers.cancelled && watchers.cancelled()) || (watchers.stopNow && watchers.stopNow())) {
            outcome.cancelled = true;
            break;
        }
        if (headed) {
            // A blank line parts a batch's output from the next header.
            if (batch.first > 0)
                console.addLine(QString());
            console.addLine(BatchHeader(batch, total));
        }
        // The count moves as the tool prints each file's outcome.
        OutcomeLineCounter counter;
        auto outputGrew = [&](const QByteArray &added) {
            if (watchers.outputGrew)
                watchers.outputGrew(added);
            const int before = counter.count();
            counter.feed(added);
            if (counter.count() != before)
                progress(batch.first + std::min(counter.count(), batch.count));
        };
        const QString arguments =
            request.options + BuildFileArguments(request.files.mid(batch.first, batch.count));
        const qsizetype linesBefore = console.lines().size();
        ToolExit exit;
        RunAndCapture(console, request.workingFolder, request.program, arguments,
                      request.minimised, outputGrew, &exit, watchers.toolRunning,
                      request.captureFolder, watchers.stopNow);
        if (exit.stopped)
            outcome.stopped = true;
        if (!exit.started)
            outcome.startFailed = true;
        else if (exit.code != 0 && outcome.exitCode == 0)
            outcome.exitCode = exit.code;
        // The run has ended, so its files are dealt with, whatever it printed.
        progress(batch.first + batch.count);
        // Counted from what the run printed in full, whatever reached the
        // progress while it ran.
        signedFiles += std::min(CountSignedFiles(console.lines().mid(linesBefore)), batch.count);
    }
    if (headed)
        console.addLine(SignedTotalLine(signedFiles, total));
    outcome.signedFiles = signedFiles;
    return outcome;
}
