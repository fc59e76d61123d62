#pragma once

// The one place where Quillmark touches the operating system directly:
// starting a console tool, asking who the user is, and telling whether two
// paths are the same file. Everything else in the program uses Qt or plain
// C++ and is portable; a port to another system adds one folder beside
// platform/posix/ that implements these functions.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

namespace platform {

// ---- Processes -------------------------------------------------------------

struct ProcessRequest {
    QString program;          // path of the executable, used as given (not searched on PATH)
    QStringList arguments;    // argv[1..], already split; no shell is involved
    QString workingFolder;    // empty: the caller's current folder
    QString outputFile;       // receives standard output and standard error, in write order
    bool lowestPriority = true;
    // Called while the child runs with what it has added to outputFile
    // since the last call (read through our own descriptor of that file, so
    // nothing put in its place by name is read), at most every few
    // milliseconds and only when something was added.
    std::function<void(const QByteArray &added)> outputGrew = nullptr;
};

struct ProcessOutcome {
    bool started = false;
    int exitCode = -1;        // valid when started; a child killed by a signal gives 128 + signal
    int errorCode = 0;        // errno of the failed start, when !started
    QString errorText;        // the system's text for errorCode
    // The output file could not be opened (created or truncated); the
    // program was then not started and errorCode says why.
    bool outputFileFailed = false;
};

// Runs the program and returns once it has ended. `whileWaiting` is called
// repeatedly (every few milliseconds) while the child runs, so the caller
// can keep its windows painted; it must not start another run.
ProcessOutcome runProcess(const ProcessRequest &request,
                          const std::function<void()> &whileWaiting = {});

// The system's text for an error number, e.g. "No such file or directory".
QString systemErrorText(int errorCode);

// What the system lets a new program take in arguments.
struct ArgumentSpace {
    std::int64_t argMax = 0;           // argument and environment space (ARG_MAX)
    std::int64_t environmentBytes = 0; // what our environment takes of it, pointers included
    std::int64_t longestArgument = 0;  // one argument string, its NUL included
};

ArgumentSpace childArgumentSpace();

// True when a failed start's error number says why (no such program, no
// permission, not a program, arguments too long), so that nothing outside,
// such as a firewall, needs to be suspected.
bool startErrorIsExplained(int errorCode);

// ---- Users and groups -------------------------------------------------------

struct UserIdentity {
    unsigned effectiveUserId = 0;
    QStringList groupNames;   // names of the real, effective and supplementary groups
};

UserIdentity currentUserIdentity();

// ---- File identity ------------------------------------------------------------

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
};

// Identity of whatever the path names, following symbolic links; nothing
// when the path names nothing.
std::optional<FileIdentity> fileIdentity(const QString &path);

// True when the path names an entry of any kind (file, folder, device...).
bool pathExists(const QString &path);

// True when the path names a folder (following symbolic links).
bool folderExists(const QString &path);

} // namespace platform
