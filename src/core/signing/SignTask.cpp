#include "signing/SignTask.h"

#include "base/AppError.h"

SignTask::SignTask(ConsoleText &console, const SignRunRequest &request, QObject *parent)
    : QObject(parent), m_console(console), m_request(request)
{
}

void SignTask::cancel()
{
    m_cancelled = true;
}

void SignTask::stop()
{
    m_cancelled = true;
    m_stopped = true;
}

SignRunOutcome SignTask::run()
{
    if (m_ran)
        throw AppError(QStringLiteral("A sign task runs once; make a new one for another run"));
    m_ran = true;

    SignRunWatchers watchers;
    watchers.progress = [this](int done, int total) { emit progress(done, total); };
    watchers.outputGrew = [this](const QByteArray &added) { emit outputGrew(added); };
    watchers.toolRunning = [this](bool running) { emit toolRunningChanged(running); };
    watchers.cancelled = [this] { return m_cancelled; };
    watchers.stopNow = [this] { return m_stopped; };

    struct RunningFlag {
        bool &flag;
        explicit RunningFlag(bool &f) : flag(f) { flag = true; }
        ~RunningFlag() { flag = false; }
    } running(m_running);

    m_result = RunSignBatches(m_console, m_request, watchers);
    m_running = false;
    emit finished(m_result);
    return m_result;
}
