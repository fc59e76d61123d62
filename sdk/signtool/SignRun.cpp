#include "SignRun.h"

#include "ProcessPool.h"
#include "SafeReplace.h"
#include "TimeStampRelay.h"

#include <unistd.h>

#include <deque>
#include <memory>
#include <optional>

namespace signtool {

namespace {

class SignRun {
public:
    SignRun(const Signer &signer, const std::vector<std::string> &files, size_t poolSize, bool oneSignatureAtATime,
            const std::function<void(const FileOutcome &)> &print)
        : m_signer(signer), m_files(files), m_oneSignatureAtATime(oneSignatureAtATime), m_print(print),
          m_outcomes(files.size()), m_jobs(files.size()), m_pool(poolSize > 0 ? poolSize : defaultPoolSize())
    {
        std::vector<std::string> environment;
        for (char **entry = environ; *entry; ++entry)
            environment.emplace_back(*entry);
        m_pool.setChildEnvironment(environmentForRelayClients(environment));
    }

    RunCounts run()
    {
        for (size_t i = 0; i < m_files.size(); ++i) {
            // A job waiting for the token counts as running: files are not
            // opened faster than they can be signed.
            while (m_pool.running() + m_waitingForToken.size() >= m_pool.size())
                m_pool.waitForOne();
            m_jobs[i] = prepareAlone(i);
            if (m_jobs[i]->needsChild)
                runNext(i);
            else
                finished(i);
        }
        m_pool.waitForAll();
        return m_counts;
    }

private:
    bool inFlight(dev_t device, ino_t inode) const
    {
        for (const auto &job : m_jobs) {
            if (job && job->opened.st.st_dev == device && job->opened.st.st_ino == inode)
                return true;
        }
        return false;
    }

    // The same file named twice (or by two hard links) is signed after the
    // other one is done, and opened anew then, as one by one.
    std::unique_ptr<SignJob> prepareAlone(size_t i)
    {
        std::unique_ptr<SignJob> job = m_signer.prepare(m_files[i]);
        while (job->needsChild && inFlight(job->opened.st.st_dev, job->opened.st.st_ino)) {
            const dev_t device = job->opened.st.st_dev;
            const ino_t inode = job->opened.st.st_ino;
            job.reset();
            while (inFlight(device, inode))
                m_pool.waitForOne();
            job = m_signer.prepare(m_files[i]);
        }
        return job;
    }

    // Only the signing step uses the key; counting, time stamps and checks
    // do not.
    bool needsToken(const SignJob &job) const
    {
        return m_oneSignatureAtATime && job.step == SignJob::Step::Signing;
    }

    // Runs the job's next child, or queues it while another signs on the
    // token; when the job needs no more, it is done.
    void runNext(size_t i)
    {
        if (needsToken(*m_jobs[i])) {
            if (m_signingOnToken) {
                m_waitingForToken.push_back(i);
                return;
            }
            m_signingOnToken = i;
        }
        m_pool.start(m_jobs[i]->child, [this, i](ChildExit exit) {
            if (m_signingOnToken == i)
                m_signingOnToken.reset();
            m_signer.childEnded(*m_jobs[i], exit);
            if (m_jobs[i]->needsChild)
                runNext(i);
            else
                finished(i);
            // The queued one takes the slot the queue held for it.
            while (!m_signingOnToken && !m_waitingForToken.empty()) {
                const size_t next = m_waitingForToken.front();
                m_waitingForToken.pop_front();
                runNext(next);
            }
        });
    }

    void finished(size_t i)
    {
        m_replaced.add(std::move(m_jobs[i]->replaced), m_jobs[i]->opened.st.st_size);
        m_outcomes[i] = std::move(m_jobs[i]->outcome);
        m_jobs[i].reset();
        printReady();
    }

    // Hands on every outcome whose predecessors are all handed on.
    void printReady()
    {
        while (m_printed < m_outcomes.size() && m_outcomes[m_printed]) {
            const FileOutcome &outcome = *m_outcomes[m_printed];
            m_print(outcome);
            m_counts.warnings += outcome.warnings;
            ++(outcome.signedOk ? m_counts.signedFiles : m_counts.errors);
            m_outcomes[m_printed].reset();
            ++m_printed;
        }
    }

    const Signer &m_signer;
    const std::vector<std::string> &m_files;
    const bool m_oneSignatureAtATime;
    const std::function<void(const FileOutcome &)> &m_print;
    std::vector<std::optional<FileOutcome>> m_outcomes;
    std::vector<std::unique_ptr<SignJob>> m_jobs;
    ReplacedFiles m_replaced;
    // After the jobs, so that it goes first: its destructor kills the
    // children and joins the task threads, which work on the jobs' files
    // and descriptors, before the jobs go (an exception that unwinds the
    // run included).
    ProcessPool m_pool;
    size_t m_printed = 0;
    std::optional<size_t> m_signingOnToken;
    std::deque<size_t> m_waitingForToken;
    RunCounts m_counts;
};

} // namespace

RunCounts signInOrder(const Signer &signer, const std::vector<std::string> &files, size_t poolSize,
                      bool oneSignatureAtATime, const std::function<void(const FileOutcome &)> &print)
{
    return SignRun(signer, files, poolSize, oneSignatureAtATime, print).run();
}

} // namespace signtool
