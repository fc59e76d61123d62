#pragma once

// A read lease (fcntl F_SETLEASE) on a file open for reading: while it is
// held, no process can open the file for writing or truncate it, and no
// process had it open for writing when it was granted. A file that keeps its
// lease from before a read until after a later one was not written in
// between, which its times cannot prove (a write through a mapping that is
// already dirty leaves them as they were).
//
// Another process's open for writing is not kept waiting: the lease is
// given up at once from a signal handler, and held() is false from then on.
// Leases are granted only to the file's owner (or to root), on local file
// systems, and when nobody has the file open for writing; otherwise held()
// is false from the start and the caller goes the slower way.

namespace safefile {

class ReadLease {
public:
    ReadLease() = default;
    // Tries to take the lease on `fd`, which must be open read-only.
    explicit ReadLease(int fd);

    // A break is a signal to the process. Called first thing in main(),
    // before any thread, this blocks it in every thread the program starts,
    // so that it cuts short none of their waits (a poll() inside OpenSSL
    // would fail with EINTR); a thread of this class's own takes it instead.
    // Without the call, whichever thread gets it gives the lease up.
    static bool keepBreaksOffOtherThreads();
    ~ReadLease() { release(); }
    ReadLease(const ReadLease &) = delete;
    ReadLease &operator=(const ReadLease &) = delete;
    ReadLease(ReadLease &&other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    ReadLease &operator=(ReadLease &&other) noexcept;

    // Whether the lease was granted and has not been broken since.
    bool held() const;
    // Gives the lease up: before this process itself writes the file, which
    // would otherwise wait for its own lease.
    void release();

private:
    int m_fd = -1;
};

} // namespace safefile
