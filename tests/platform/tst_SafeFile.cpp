// The safe-file layer that the window and the tools share: the path walk
// with its link rule, replacing a file with everything it carries, the
// capture file that no one else's entry can stand in for, and the child
// start. Cases with another user plant their entries as "nobody" (root only).

#include "safefile/CaptureFile.h"
#include "safefile/ChildStart.h"
#include "safefile/PathWalk.h"
#include "safefile/SafeWrite.h"
#include "support/OtherUser.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

std::string contentsOf(const std::string &path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return file.readAll().toStdString();
}

bool writeText(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return ok && ::chmod(path.c_str(), mode) == 0;
}

struct stat entryOf(const std::string &path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        st.st_ino = 0;
    return st;
}

std::string attribute(const std::string &path, const char *name)
{
    char value[4096];
    const ssize_t n = ::lgetxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? std::string("<none>") : std::string(value, size_t(n));
}

bool run(const QString &program, const QStringList &arguments)
{
    return QProcess::execute(program, arguments) == 0;
}

// The order a reap sees the kill list in, recorded by the waiter below.
safefile::KillList *g_list = nullptr;
bool g_listedWhileWaiting = true;

pid_t recordingWaiter(pid_t pid, int *status, int options)
{
    g_listedWhileWaiting = g_list->contains(pid);
    return ::waitpid(pid, status, options);
}

} // namespace

class TestSafeFile : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void walkFollowsOwnLinksOnly();
    void walkRefusesAnotherUsersFolderLink();
    void walkNamesOnlyFiles_data();
    void walkNamesOnlyFiles();
    void writesRefuseAnotherUsersFolderLink();
    void rewriteKeepsOwnerModeAclAndAttributes();
    void replacementDropsCapabilityWithSetIdBits();
    void ownerThatCannotBeGivenIsReported();
    void captureFileNeverTakesAnotherUsersEntry();
    void captureFileReplacesOwnStaleEntry();
    void childGetsOnlyWhatItIsGiven();
    void childIsTakenOffTheKillListBeforeItIsReaped();

private:
    std::string path(const char *name) const { return m_dir->path().toStdString() + "/" + name; }
    QTemporaryDir *m_dir = nullptr;
};

void TestSafeFile::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    // Other users must reach the folder to plant things in it.
    QCOMPARE(::chmod(QFile::encodeName(m_dir->path()).constData(), 0755), 0);
}

void TestSafeFile::cleanup()
{
    delete m_dir;
    m_dir = nullptr;
}

// Own links, on the way and at the end, lead on; Stop takes the last one
// as it is.
void TestSafeFile::walkFollowsOwnLinksOnly()
{
    QCOMPARE(::mkdir(path("real").c_str(), 0755), 0);
    QVERIFY(writeText(path("real/file"), "data"));
    QCOMPARE(::symlink("real", path("folderlink").c_str()), 0);
    QCOMPARE(::symlink("file", path("real/filelink").c_str()), 0);

    safefile::Place place;
    QCOMPARE(safefile::walkToPlace(path("folderlink/filelink"), safefile::FinalLink::Follow, place), 0);
    QVERIFY(place.exists);
    QVERIFY(S_ISREG(place.info.st_mode));
    QCOMPARE(place.name, std::string("file"));
    QCOMPARE(place.info.st_ino, entryOf(path("real/file")).st_ino);

    safefile::Place asIs;
    QCOMPARE(safefile::walkToPlace(path("folderlink/filelink"), safefile::FinalLink::Stop, asIs), 0);
    QVERIFY(S_ISLNK(asIs.info.st_mode));
    QCOMPARE(asIs.name, std::string("filelink"));

    safefile::Place missing;
    QCOMPARE(safefile::walkToPlace(path("folderlink/new"), safefile::FinalLink::Follow, missing), 0);
    QVERIFY(!missing.exists);
    QCOMPARE(safefile::walkToPlace(path("nofolder/new"), safefile::FinalLink::Follow, missing), ENOENT);
    QCOMPARE(safefile::walkToPlace(path("real/file/new"), safefile::FinalLink::Follow, missing), ENOTDIR);
}

// A link of another user in place of a folder, anywhere on the path, or at
// the end when it is followed: refused, and named.
void TestSafeFile::walkRefusesAnotherUsersFolderLink()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    QCOMPARE(::mkdir(path("vault").c_str(), 0700), 0);
    QVERIFY(writeText(path("vault/secret"), "root only", 0600));
    QCOMPARE(::symlink(path("vault").c_str(), path("Projects").c_str()), 0);
    QCOMPARE(::lchown(path("Projects").c_str(), nobody->uid, nobody->gid), 0);

    safefile::Place place;
    safefile::WalkProblem problem;
    QCOMPARE(safefile::walkToPlace(path("Projects/secret"), safefile::FinalLink::Stop, place, &problem), EACCES);
    QCOMPARE(problem.untrustedLink, std::string("Projects"));
    QCOMPARE(problem.linkOwner, nobody->uid);
    QVERIFY(safefile::walkProblemText(problem).find("belongs to another user (uid 65534)") != std::string::npos);

    safefile::Descriptor folder;
    QCOMPARE(safefile::openFolder(path("Projects"), folder), EACCES);
    QCOMPARE(safefile::openFolder(path("Projects/."), folder), EACCES);

    // The same link made by root is the system's own and leads on.
    QCOMPARE(::lchown(path("Projects").c_str(), 0, 0), 0);
    QCOMPARE(safefile::walkToPlace(path("Projects/secret"), safefile::FinalLink::Stop, place, &problem), 0);
    QCOMPARE(safefile::openFolder(path("Projects"), folder), 0);
}

void TestSafeFile::walkNamesOnlyFiles_data()
{
    QTest::addColumn<QString>("tail");
    QTest::newRow("trailing slash") << "sub/";
    QTest::newRow("dot") << "sub/.";
    QTest::newRow("dot dot") << "sub/..";
    QTest::newRow("link to a folder with a slash") << "tofolder";
}

void TestSafeFile::walkNamesOnlyFiles()
{
    QFETCH(QString, tail);
    QCOMPARE(::mkdir(path("sub").c_str(), 0755), 0);
    QCOMPARE(::symlink("sub/", path("tofolder").c_str()), 0);
    safefile::Place place;
    QCOMPARE(safefile::walkToPlace(path(tail.toLatin1().constData()), safefile::FinalLink::Follow, place), EISDIR);
}

// Project saves, Copy File(s) To and the PFX that pvk2pfx.exe writes: a
// group member who replaced Projects/ with a link to a root-only folder
// never steers the write there.
void TestSafeFile::writesRefuseAnotherUsersFolderLink()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    QCOMPARE(::mkdir(path("vault").c_str(), 0700), 0);
    QVERIFY(writeText(path("vault/Release.ini"), "root's", 0600));
    QVERIFY(writeText(path("source.exe"), "program"));
    QCOMPARE(::symlink(path("vault").c_str(), path("Projects").c_str()), 0);
    QCOMPARE(::lchown(path("Projects").c_str(), nobody->uid, nobody->gid), 0);

    safefile::WalkProblem problem;
    QCOMPARE(safefile::rewriteFile(path("Projects/Release.ini"), "new", &problem), EACCES);
    QCOMPARE(problem.untrustedLink, std::string("Projects"));
    QCOMPARE(safefile::copyFileReplacing(path("source.exe"), path("Projects/copy.exe")), EACCES);
    std::string error;
    QCOMPARE(safefile::writeFileAtomically(path("Projects/key.pfx"), "key", true, 0600, error),
             safefile::WriteResult::Failed);
    QVERIFY2(error.find("belongs to another user") != std::string::npos, error.c_str());

    QCOMPARE(contentsOf(path("vault/Release.ini")), std::string("root's"));
    QCOMPARE(entryOf(path("vault/copy.exe")).st_ino, ino_t(0));
    QCOMPARE(entryOf(path("vault/key.pfx")).st_ino, ino_t(0));
}

// Settings and project files keep owner, group, mode, ACL and extended
// attributes over a rewrite, and stay links when reached through one.
void TestSafeFile::rewriteKeepsOwnerModeAclAndAttributes()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    const std::string file = path("Quillmark.ini");
    QVERIFY(writeText(file, "old", 0640));
    QCOMPARE(::chown(file.c_str(), nobody->uid, 100), 0);
    QVERIFY(run("setfacl", {"-m", "u:root:rw,g:adm:r", QString::fromStdString(file)}));
    const std::string label = "kept";
    QCOMPARE(::setxattr(file.c_str(), "user.origin", label.data(), label.size(), 0), 0);
    const std::string acl = attribute(file, "system.posix_acl_access");
    QVERIFY(acl != "<none>");
    const struct stat before = entryOf(file);

    QCOMPARE(safefile::rewriteFile(file, "new"), 0);
    const struct stat after = entryOf(file);
    QCOMPARE(contentsOf(file), std::string("new"));
    QVERIFY(after.st_ino != before.st_ino); // replaced, not written in place
    QCOMPARE(after.st_uid, nobody->uid);
    QCOMPARE(after.st_gid, gid_t(100));
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(attribute(file, "system.posix_acl_access"), acl);
    QCOMPARE(attribute(file, "user.origin"), label);

    // A file without an ACL gets none from the folder's default ACL.
    const std::string plain = path("plain.ini");
    QVERIFY(writeText(plain, "old", 0600));
    QVERIFY(run("setfacl", {"-d", "-m", "g:adm:rw", m_dir->path()}));
    QCOMPARE(safefile::rewriteFile(plain, "new"), 0);
    QCOMPARE(attribute(plain, "system.posix_acl_access"), std::string("<none>"));
    QCOMPARE(entryOf(plain).st_mode & 07777, mode_t(0600));
}

// New content does not inherit what grants a program rights: the set-id
// bits and the security capability go together.
void TestSafeFile::replacementDropsCapabilityWithSetIdBits()
{
    if (::geteuid() != 0)
        QSKIP("setting a capability needs root");
    const std::string original = path("tool");
    QVERIFY(writeText(original, "old", 04755));
    QVERIFY(run("setcap", {"cap_net_raw+ep", QString::fromStdString(original)}));
    QCOMPARE(::chmod(original.c_str(), 04755), 0);
    QVERIFY(writeText(path("copy"), "new", 0600));
    const safefile::Descriptor from(::open(original.c_str(), O_RDONLY | O_CLOEXEC));
    const safefile::Descriptor to(::open(path("copy").c_str(), O_RDWR | O_CLOEXEC));
    safefile::Keep keep;
    keep.setIdBits = false;
    QCOMPARE(safefile::takeOverMetadata(from.get(), entryOf(original), to.get(), keep), 0);
    QCOMPARE(entryOf(path("copy")).st_mode & 07777, mode_t(0755));
    QCOMPARE(attribute(path("copy"), "security.capability"), std::string("<none>"));
}

// A user who may not give a file away hears so (EPERM), rather than the
// copy quietly keeping their own name on it.
void TestSafeFile::ownerThatCannotBeGivenIsReported()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    const std::string original = path("roots.exe");
    QVERIFY(writeText(original, "old", 0666));
    QCOMPARE(::chmod(m_dir->path().toLocal8Bit().constData(), 0777), 0);
    const struct stat info = entryOf(original);
    const std::string copy = path("copy.exe");
    const int result = otheruser::runAs(*nobody, [&] {
        const safefile::Descriptor from(::open(original.c_str(), O_RDONLY | O_CLOEXEC));
        const safefile::Descriptor to(::open(copy.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        return safefile::takeOverMetadata(from.get(), info, to.get(), safefile::Keep{});
    });
    QCOMPARE(result, EPERM);
}

// Fault: root working in a folder of another user, who made "$tmp$.tmp"
// first (mode 0666, or a hard link to keep it): root's output never goes
// into their file, and their file is never read back.
void TestSafeFile::captureFileNeverTakesAnotherUsersEntry()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    QCOMPARE(::chown(m_dir->path().toLocal8Bit().constData(), nobody->uid, nobody->gid), 0);
    const std::string theirs = path("$tmp$.tmp");
    QCOMPARE(otheruser::runAs(*nobody, [&] { return writeText(theirs, "planted\n", 0666) ? 0 : 1; }), 0);
    const struct stat before = entryOf(theirs);

    safefile::CaptureFile capture;
    QCOMPARE(capture.create(theirs), 0);
    QVERIFY(capture.name() != "$tmp$.tmp");
    QVERIFY(capture.path().rfind(path("$tmp$.tmp."), 0) == 0);
    QCOMPARE(capture.info().st_uid, uid_t(0));
    QCOMPARE(capture.info().st_mode & 07777, mode_t(0600));
    const std::string output = "CN=Root Signing, file names\n";
    QCOMPARE(::write(capture.fd(), output.data(), output.size()), ssize_t(output.size()));

    // Swapping the private name for something else after the write changes
    // nothing that is read back.
    std::string read;
    QCOMPARE(capture.readAll(read), 0);
    QCOMPARE(read, output);
    QCOMPARE(contentsOf(theirs), std::string("planted\n"));
    QCOMPARE(entryOf(theirs).st_ino, before.st_ino);
    capture.remove();
    QCOMPARE(entryOf(capture.path()).st_ino, ino_t(0));
    QCOMPARE(entryOf(theirs).st_ino, before.st_ino); // theirs stays theirs
}

// Root's own stale capture file is removed and the file made anew; a link
// or a folder of root's there is never written through, nor removed.
void TestSafeFile::captureFileReplacesOwnStaleEntry()
{
    QVERIFY(writeText(path("$tmp$.tmp"), "stale output", 0644));
    safefile::CaptureFile capture;
    QCOMPARE(capture.create(path("$tmp$.tmp")), 0);
    QCOMPARE(capture.name(), std::string("$tmp$.tmp"));
    QCOMPARE(capture.info().st_mode & 07777, mode_t(0600)); // made anew, not the 0644 one
    std::string read;
    QCOMPARE(capture.readAll(read), 0);
    QCOMPARE(read, std::string());
    QCOMPARE(capture.stillNamed(), 0);
    capture.remove();
    QCOMPARE(entryOf(path("$tmp$.tmp")).st_ino, ino_t(0));

    QVERIFY(writeText(path("target"), "keep me"));
    QCOMPARE(::symlink(path("target").c_str(), path("$tmp$.tmp").c_str()), 0);
    safefile::CaptureFile refused;
    QCOMPARE(refused.create(path("$tmp$.tmp")), ELOOP);
    QVERIFY(S_ISLNK(entryOf(path("$tmp$.tmp")).st_mode));
    QCOMPARE(contentsOf(path("target")), std::string("keep me"));
}

// Descriptors handed over at their numbers, nothing else open, no core
// dump, the limits given, and a failed start reported.
void TestSafeFile::childGetsOnlyWhatItIsGiven()
{
    int out[2];
    int report[2];
    QCOMPARE(::pipe2(out, O_CLOEXEC), 0);
    QCOMPARE(::pipe2(report, O_CLOEXEC), 0);
    const int stray = ::open("/dev/null", O_RDONLY); // without close-on-exec
    const safefile::Descriptor given(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const std::pair<int, int> handOver[] = {{given.get(), 5}};
    const char *script = "ls /proc/self/fd | sort -n | tr '\\n' ' '; echo; ulimit -c; ulimit -t";
    char *const argv[] = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"), const_cast<char *>(script), nullptr};
    safefile::ChildSetup setup;
    setup.program = "/bin/sh";
    setup.argv = argv;
    setup.output = out[1];
    setup.handOver = handOver;
    setup.handOverCount = 1;
    setup.report = report[1];
    setup.parent = ::getpid();
    setup.limits[0] = {RLIMIT_CPU, 7};
    const pid_t pid = ::fork();
    if (pid == 0)
        safefile::startChild(setup);
    ::close(out[1]);
    ::close(report[1]);
    ::close(stray);
    int error = 0;
    QVERIFY(!safefile::readStartError(report[0], error));
    ::close(report[0]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(n));
    ::close(out[0]);
    int status = 0;
    QCOMPARE(::waitpid(pid, &status, 0), pid);
    // 0 1 2, the handed-over 5, and the one ls opens to list them.
    QVERIFY2(text.rfind("0 1 2 3 5 \n", 0) == 0 || text.rfind("0 1 2 5 6 \n", 0) == 0, text.c_str());
    QVERIFY2(text.find("\n0\n7\n") != std::string::npos, text.c_str());

    QCOMPARE(::pipe2(report, O_CLOEXEC), 0);
    setup.program = "/nonexistent/tool";
    setup.report = report[1];
    const pid_t failing = ::fork();
    if (failing == 0)
        safefile::startChild(setup);
    ::close(report[1]);
    QVERIFY(safefile::readStartError(report[0], error));
    QCOMPARE(error, ENOENT);
    ::close(report[0]);
    QCOMPARE(::waitpid(failing, &status, 0), failing);
}

// Fault: a child reaped while still on the kill list leaves a moment in
// which a signal handler kills whatever process gets its id next.
void TestSafeFile::childIsTakenOffTheKillListBeforeItIsReaped()
{
    safefile::KillList list;
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(3);
    QVERIFY(list.add(pid));
    g_list = &list;
    const int status = safefile::reapChild(pid, list, recordingWaiter);
    g_list = nullptr;
    QVERIFY(!g_listedWhileWaiting);
    QVERIFY(!list.contains(pid));
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 3);
}

QTEST_GUILESS_MAIN(TestSafeFile)
#include "tst_SafeFile.moc"
