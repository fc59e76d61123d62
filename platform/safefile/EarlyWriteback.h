#pragma once

// Starts the disk writes of a file that another process is still writing,
// so that the fsync(2) after it has little left to wait for: a file of a
// gigabyte is otherwise written out only when it is synced, long after its
// last byte. A thread looks for the file by name in a folder, then asks the
// kernel every tenth of a second to write out what is dirty
// (sync_file_range, SYNC_FILE_RANGE_WRITE), without waiting for it. A hint
// only: it neither writes nor syncs, and a name that never appears costs
// nothing but the looking. Writing out takes processor time of its own: it
// may wait until other work beside the writer is done (`startWhen`).

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace safefile {

class EarlyWriteback {
public:
    EarlyWriteback() = default;
    ~EarlyWriteback() { stop(); }
    EarlyWriteback(const EarlyWriteback &) = delete;
    EarlyWriteback &operator=(const EarlyWriteback &) = delete;

    // Watches `name` in the folder open on `folderFd`, which must stay open
    // until stop(), once `startWhen` (asked on the thread every few
    // milliseconds; none: at once) returns true. False when no thread could
    // be started (nothing is lost but the head start).
    bool start(int folderFd, const std::string &name, std::function<bool()> startWhen = {});
    // Ends the thread and waits for it: a tenth of a second at most.
    void stop();
    // How many times writing out was asked for, for the tests.
    int kicks() const;

private:
    void run(int folderFd, std::string name, std::function<bool()> startWhen);
    bool stopping(std::unique_lock<std::mutex> &lock, std::chrono::milliseconds wait);

    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    int m_kicks = 0;
};

} // namespace safefile
