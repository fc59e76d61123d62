#pragma once

// The one place where Quillmark touches the operating system directly:
// starting a console tool, asking who the user is, keeping file names that
// are not UTF-8, telling what a path names, and reading, rewriting and
// copying files without trusting names. Everything else in the program uses
// Qt or plain C++ and is portable; a port to another system adds one folder
// beside platform/posix/ that implements these functions.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

namespace platform {

// ---- Processes -------------------------------------------------------------

struct ProcessRequest {
    QString program;          // path of the executable, used as given (not searched on PATH)
    QStringList arguments;    // argv[1..], already split; no shell is involved
    QString workingFolder;    // empty: the caller's current folder
    // Receives standard output and standard error, in write order. It is
    // made anew and exclusively (mode 0600): a plain file already there is
    // removed first when it is the running user's or root's (their folder,
    // link or FIFO there fails the start); another user's entry stays, and
    // a private name beside it is used instead.
    QString outputFile;
    bool lowestPriority = true;
    // Called while the child runs with what it has added to outputFile
    // since the last call (read through our own descriptor of that file, so
    // nothing put in its place by name is read), at most every few
    // milliseconds and only when something was added.
    std::function<void(const QByteArray &added)> outputGrew = nullptr;
    // Remove the output file once the run has ended (it is read back first).
    bool removeOutputFile = false;
    // Secrets for the child, never on its argument list or in its
    // environment, where other users could read them: each is put in a pipe
    // that the child inherits, the first at descriptor 3, the next at 4...,
    // closed for writing so that the child reads it to its end. At most 8,
    // each at most 16 KiB.
    QList<QByteArray> secretInputs = {};
    // Asked while the child runs: once it gives true the child is told to
    // end (SIGTERM, which a signing tool takes to abandon the file in hand
    // and remove its temporaries), and killed if it has not ended 5 seconds
    // later. The child dies with this process in any case.
    std::function<bool()> stopRequested = nullptr;
};

struct ProcessOutcome {
    bool started = false;
    int exitCode = -1;        // valid when started; a child killed by a signal gives 128 + signal
    int errorCode = 0;        // errno of the failed start, when !started
    QString errorText;        // the system's text for errorCode
    // The output file could not be opened (created or truncated); the
    // program was then not started and errorCode says why.
    bool outputFileFailed = false;
    // When started with an output file: the path of the file made (the one
    // asked for, or the private name beside it), everything the child wrote
    // there, read back through the runner's own descriptor once it ended
    // (never by name), and the errno of a failed read (0: read whole;
    // ENOENT, or EINVAL for something else than a plain file, when the name
    // no longer names the file the child wrote: the output is then empty).
    QString outputFileUsed;
    QByteArray output;
    int outputReadError = 0;
    // The child was told to end because stopRequested gave true.
    bool stopped = false;
};

// Runs the program and returns once it has ended. `whileWaiting` is called
// repeatedly (every few milliseconds) while the child runs, so the caller
// can keep its windows painted; it must not start another run.
ProcessOutcome runProcess(const ProcessRequest &request,
                          const std::function<void()> &whileWaiting = {});

// The system's text for an error number, e.g. "No such file or directory".
QString systemErrorText(int errorCode);

// Running as root: why the program at `path` must not be started, because
// a user other than root could have placed or changed it (the file or a
// folder above it is not root's, or others may write it), as a clause that
// names the path at fault. Empty when it may be started, and always empty
// for other users, who run only what they could run themselves.
QString programRefusalForRoot(const QString &path);

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

// ---- File names ---------------------------------------------------------------
//
// A file name here is a string of bytes, usually but not always UTF-8 (a
// file copied from an old archive may carry a Latin-1 "é" as the one byte
// E9). Qt's own conversion turns every such byte into U+FFFD, and the name
// is lost: the file can then be neither found nor passed on. These two
// functions keep it: a byte that is not part of valid UTF-8 becomes the lone
// surrogate U+DC80 + (byte - 0x80) in the QString, and goes back to the
// same byte. Valid UTF-8 never holds a lone surrogate, so every byte string
// comes back exactly, and ordinary names convert as plain UTF-8.
// Every function of this header that takes a path encodes it this way.

QString decodeFileName(const QByteArray &bytes);
QByteArray encodeFileName(const QString &name);

// The name as a person should see it: each kept byte shown as U+FFFD, and
// control characters escaped (shownText).
QString displayFileName(const QString &name);

// `text` with its control characters escaped ("\n", "\x1b", "\u2028"), as
// every line of output shows a name or a tool's text: see
// safefile/ShownText.h, whose rules these are.
QString shownText(const QString &text);

// True when the name holds bytes that are not UTF-8.
bool holdsUndecodableBytes(const QString &name);

// ---- File identity ------------------------------------------------------------

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
};

// Identity of whatever the path names, following symbolic links; nothing
// when the path names nothing.
std::optional<FileIdentity> fileIdentity(const QString &path);

struct FileFacts {
    FileIdentity identity;
    bool isFolder = false;
    qint64 size = 0;
    qint64 modifiedMs = 0;   // last write, milliseconds since the epoch (UTC)
};

// What a listing shows of the file the path names (following links);
// nothing when the path names nothing.
std::optional<FileFacts> fileFacts(const QString &path);

// The names in a folder (without "." and ".."), in no particular order;
// names that are not UTF-8 included (QDir leaves them out).
QStringList folderEntryNames(const QString &folder);

// The names in a folder with the identity of the file each names
// (following links, as fileIdentity does), in no particular order; names
// that name nothing (a dangling link) are left out. One pass over the
// folder, each name looked up relative to it.
QList<std::pair<QString, FileIdentity>> folderEntryIdentities(const QString &folder);

// True when the path names an entry of any kind (file, folder, device...).
bool pathExists(const QString &path);

// The process's current folder, without a trailing "/" (but "/" itself);
// its name kept byte for byte, where QDir::currentPath() would turn bytes
// that are not UTF-8 into U+FFFD and so name another folder. Empty when
// the folder is gone.
QString currentFolder();

// The folder of the running program's executable, without a trailing "/",
// its name kept byte for byte (QCoreApplication::applicationDirPath()
// would turn bytes that are not UTF-8 into U+FFFD). Empty when the system
// cannot tell.
QString executableFolder();

// Removes the directory entry (a link itself, not what it leads to).
// Returns 0 on success, else the errno of the failure.
int removeEntry(const QString &path);

// True when the path names a folder (following symbolic links).
bool folderExists(const QString &path);

// Identity of the directory entry itself: a symbolic link is not followed.
std::optional<FileIdentity> entryIdentity(const QString &path);

// ---- Reading and writing files safely -------------------------------------
//
// The program may run as root in folders that other users can write to.
// These functions work on descriptors, create temporaries exclusively and
// never follow a symbolic link that another user could have planted; the
// writing is done by the safe-file layer that the tools share
// (safefile/SafeWrite.h).

struct FileReadResult {
    bool exists = false;      // the path names something (a link counts)
    bool ok = false;          // a regular file, read whole
    QByteArray data;
    int errorCode = 0;        // errno when exists && !ok
};

// Reads a regular file whole. Anything else (a folder, a FIFO that would
// block for good, a device) is not read, nor is a file of more than
// `maxBytes` (when it is 0 or more): errorCode EFBIG, judged by the size of
// the opened file before any of it is read.
FileReadResult readRegularFile(const QString &path, qint64 maxBytes = -1);

// Opens a regular file for reading and returns its descriptor
// (close-on-exec; the caller closes it), following links. The open never
// waits: a FIFO, which a plain open would wait on for good until someone
// writes to it, is refused, as is anything else that is not a regular
// file. On failure -1, and *errorCode (when given) says why: EISDIR for a
// folder, EINVAL for a FIFO or device, else the errno of the open.
int openRegularFile(const QString &path, int *errorCode = nullptr);

// Replaces the contents of the file at `path` with `data`, as one step: a
// temporary file beside it is written, synced and renamed over the name,
// so that the file is either wholly new or wholly as it was.
// - A symbolic link, at the name or in place of any folder on the path, is
//   followed only when it belongs to the running user or to root (EACCES
//   otherwise); the file a link leads to is rewritten and the link stays.
// - A file without any write permission bit is never written, not even by
//   root; nor is one that the running user may not write.
// - The owner, group, mode, ACL and extended attributes of a rewritten
//   file are kept exactly. Where
//   the temporary cannot be given them (changing the owner is not
//   permitted), or the folder takes no new file while the file itself is
//   writable, the file is written in place through its descriptor.
// - A new file is created with the usual mode (0666 less the umask).
// Returns 0 on success, else the errno of the failure.
int rewriteFile(const QString &path, const QByteArray &data);

// Copies the regular file `source` to the name `target`. The copy is made
// in an exclusively created temporary file in the target's folder and
// renamed over the name; an existing name is never opened for writing, and
// a symbolic link there is replaced, not followed. Another user's link in
// place of a folder of the target path is not followed (EACCES). A file at the target
// that the running user may not write, or that has no write permission
// bit, stays and the copy fails with EACCES; a folder there fails with
// EISDIR. The copy gets the source's permission bits (rwx) and its time of
// last writing. Returns 0 on success, else the errno of the failure.
int copyFileReplacing(const QString &source, const QString &target);

// ---- Secrets handed to the build-server command -------------------------------

struct SecretRead {
    bool ok = false;
    QByteArray secret;        // the first line, without its line end
    QString error;            // why nothing was read, one line
};

// Reads a secret (a password) from an open descriptor: its first line, or
// everything up to the end when there is no line end. A descriptor that is
// not open or is a terminal (where the secret would show as it is typed) is
// refused; so is more than SecretMaxBytes, or nothing within timeoutMs.
SecretRead readSecretFromDescriptor(int fd, int timeoutMs);

// Reads a secret from a file, which must be a regular file of the running
// user's own (not reached through a symbolic link) that no other user can
// read: no read permission for its group (the mask of an access control
// list, when it has one) or for others.
SecretRead readPrivateSecretFile(const QString &path);

inline constexpr int SecretMaxBytes = 4096;

// Overwrites the bytes before they are let go.
void wipe(QByteArray &bytes);
void wipe(QString &text);

// ---- The process of the build-server command --------------------------------

// No core dump of this process, and no other process of the same user may
// read its memory: a secret in it stays there.
void forbidCoreDumps();

// A reader of standard output that goes away (a log piped into `head`)
// makes writes fail instead of ending the process, which would leave a
// running tool behind without anyone to read its output or remove its
// capture file. The tools themselves start with the default again.
void ignoreClosedOutput();

// True when the descriptor is a terminal.
bool isTerminal(int fd);

} // namespace platform
