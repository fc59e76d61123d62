#include "signing/SignRun.h"

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
    for (const FileBatch &batch : batches) {
        if (batches.size() > 1)
            console.addLine(BatchHeader(batch, total));
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
        ToolExit exit;
        RunAndCapture(console, request.workingFolder, request.program, arguments,
                      request.minimised, outputGrew, &exit);
        if (!exit.started)
            outcome.startFailed = true;
        else if (exit.code != 0 && outcome.exitCode == 0)
            outcome.exitCode = exit.code;
        // The run has ended, so its files are dealt with, whatever it printed.
        progress(batch.first + batch.count);
    }
    return outcome;
}
