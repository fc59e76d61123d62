#pragma once

// For tests of code that must never wait on a FIFO: makes the FIFO and,
// should the code under test still be blocked on it after a few seconds,
// opens its other end now and then (reading and writing) so that the
// blocked open or read returns. The test then fails on rescued() instead
// of hanging until the test runner kills it.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class FifoRescuer {
public:
    enum Making { MakeFifo, WatchOnly };

    // WatchOnly: the code under test (or a tool it runs) makes the FIFO.
    explicit FifoRescuer(const QString &path, Making making = MakeFifo, int patienceMs = 5000)
        : m_path(QFile::encodeName(path))
    {
        m_made = making == MakeFifo && ::mkfifo(m_path.constData(), 0600) == 0;
        m_thread = std::thread([this, patienceMs] { watch(patienceMs); });
    }
    ~FifoRescuer() { stop(); }
    FifoRescuer(const FifoRescuer &) = delete;
    FifoRescuer &operator=(const FifoRescuer &) = delete;

    bool made() const { return m_made; }
    // Stops watching; true when someone had to be freed from the FIFO.
    bool rescued()
    {
        stop();
        return m_rescued;
    }

private:
    void stop()
    {
        m_done = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    void watch(int patienceMs)
    {
        for (int waited = 0; waited < patienceMs && !m_done; waited += 50)
            ::usleep(50 * 1000);
        while (!m_done) {
            // A writer opens without waiting only when someone has the
            // FIFO open for reading, or waits in such an open: that is the
            // code under test, and the writer frees it (an end of file).
            const int writer = ::open(m_path.constData(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) {
                m_rescued = true;
                ::close(writer);
            }
            // One waiting to write is freed by a reader, which drains it.
            const int reader = ::open(m_path.constData(), O_RDONLY | O_NONBLOCK);
            if (reader >= 0) {
                char buffer[256];
                while (::read(reader, buffer, sizeof buffer) > 0) {
                }
                ::close(reader);
            }
            ::usleep(100 * 1000);
        }
    }

    QByteArray m_path;
    bool m_made = false;
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_rescued{false};
    std::thread m_thread;
};
