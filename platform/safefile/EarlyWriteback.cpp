#include "EarlyWriteback.h"

#include "Descriptor.h"

#include <chrono>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>

namespace safefile {

namespace {

constexpr std::chrono::milliseconds kInterval(100);
constexpr std::chrono::milliseconds kStartPoll(10);

// The file, once it is there as a regular file (never through a link).
Descriptor openWhenThere(int folderFd, const std::string &name)
{
    Descriptor fd(::openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)))
        fd.reset();
    return fd;
}

} // namespace

bool EarlyWriteback::start(int folderFd, const std::string &name, std::function<bool()> startWhen)
{
    stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = false;
    try {
        m_thread = std::thread(&EarlyWriteback::run, this, folderFd, name, std::move(startWhen));
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

void EarlyWriteback::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

int EarlyWriteback::kicks() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_kicks;
}

// Whether stop() was called, after waiting for it at most `wait`.
bool EarlyWriteback::stopping(std::unique_lock<std::mutex> &lock, std::chrono::milliseconds wait)
{
    return m_wake.wait_for(lock, wait, [this] { return m_stopping; });
}

void EarlyWriteback::run(int folderFd, std::string name, std::function<bool()> startWhen)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (startWhen && !startWhen()) {
        if (stopping(lock, kStartPoll))
            return;
    }
    Descriptor file;
    while (!stopping(lock, kInterval)) {
        lock.unlock();
        if (!file)
            file = openWhenThere(folderFd, name);
        const bool kicked = file && ::sync_file_range(file.get(), 0, 0, SYNC_FILE_RANGE_WRITE) == 0;
        lock.lock();
        if (kicked)
            ++m_kicks;
    }
}

} // namespace safefile
