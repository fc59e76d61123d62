// The rule for the programs root may start, and the keeping of secrets
// (wiping, handing over through a descriptor, no core dumps), on real files
// and processes.

#include "platform/Platform.h"
#include "safefile/NoCoreDump.h"
#include "safefile/SecretBuffer.h"
#include "safefile/SecretChannel.h"
#include "safefile/TrustedProgram.h"
#include "support/FileContents.h"
#include "support/OtherUser.h"
#include "support/TestData.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string bytesOf(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

bool run(const QString &program, const QStringList &arguments)
{
    return testdata::runProgram(QStandardPaths::findExecutable(program), arguments).ok();
}

} // namespace

class TestTrustedProgram : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        // QTemporaryDir makes its folder 0700; a tool folder is usually 0755.
        QVERIFY(::chmod(QFile::encodeName(m_dir->path()).constData(), 0755) == 0);
        m_tools = m_dir->filePath(QStringLiteral("sdk-bin"));
        QVERIFY(QDir().mkpath(m_tools));
        m_tool = m_tools + QStringLiteral("/signtool.exe");
        testfiles::writeScript(m_tool, "exit 0\n");
    }

    void cleanup() { m_dir.reset(); }

    // The test's own folder must pass, or every refusal below means nothing.
    void rootsOwnToolPasses()
    {
        if (::geteuid() != 0)
            QSKIP("the folders above the test's own are not root's when it does not run as root");
        QCOMPARE(safefile::untrustedProgramReason(bytesOf(m_tool)), std::string());
        QCOMPARE(platform::programRefusalForRoot(m_tool), QString());
        // Nothing there: nothing can run, and no one else could put it there.
        QCOMPARE(safefile::untrustedProgramReason(bytesOf(m_tools + "/missing.exe")), std::string());
        // Through a link of root's to a program of root's.
        const QString link = m_dir->filePath(QStringLiteral("link.exe"));
        QVERIFY(QFile::link(m_tool, link));
        QCOMPARE(safefile::untrustedProgramReason(bytesOf(link)), std::string());
        QCOMPARE(safefile::untrustedProgramReason("/bin/sh"), std::string());
    }

    void otherUsersProgramsAreRefused_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("where");
        QTest::addColumn<QString>("reason");
        QTest::newRow("tool owned by nobody") << "chown nobody" << "tool" << "is owned by user nobody";
        QTest::newRow("folder owned by nobody") << "chown nobody" << "folder" << "is owned by user nobody";
        QTest::newRow("tool group-writable") << "chmod g+w" << "tool" << "is writable by group root";
        QTest::newRow("folder group-writable") << "chmod g+w" << "folder" << "is writable by group root";
        QTest::newRow("folder writable by all") << "chmod o+w" << "folder" << "is writable by every user";
        QTest::newRow("ACL entry for a group") << "setfacl -m g:nogroup:rwx" << "folder"
                                               << "is writable by group nogroup";
        QTest::newRow("ACL entry for a user") << "setfacl -m u:nobody:rw" << "tool" << "is writable by user nobody";
        QTest::newRow("ACL on the folder above") << "setfacl -m g:nogroup:rwx" << "parent"
                                                 << "is writable by group nogroup";
    }
    void otherUsersProgramsAreRefused()
    {
        QFETCH(QString, change);
        QFETCH(QString, where);
        QFETCH(QString, reason);
        QM_SKIP_UNLESS_ROOT(nobody);
        const QStringList words = change.split(u' ');
        if (QStandardPaths::findExecutable(words.first()).isEmpty())
            QSKIP("the command to change the file is missing here");
        const QString path = where == u"tool" ? m_tool : where == u"folder" ? m_tools : m_dir->path();
        QVERIFY(run(words.first(), words.mid(1) + QStringList{path}));

        const std::string refusal = safefile::untrustedProgramReason(bytesOf(m_tool));
        QCOMPARE(QString::fromStdString(refusal), path + u' ' + reason);
        QCOMPARE(platform::programRefusalForRoot(m_tool), path + u' ' + reason);
    }

    // In a sticky folder of root's (/tmp) others may add entries but not
    // rename or remove root's: root's tool there stays root's, while a name
    // that is not there yet, or theirs, is not run.
    void stickyFolderKeepsRootsEntriesOnly()
    {
        QM_SKIP_UNLESS_ROOT(nobody);
        QVERIFY(::chmod(QFile::encodeName(m_tools).constData(), 01777) == 0);
        QCOMPARE(QString::fromStdString(safefile::untrustedProgramReason(bytesOf(m_tool))), QString());
        const QString missing = m_tools + QStringLiteral("/missing.exe");
        QCOMPARE(QString::fromStdString(safefile::untrustedProgramReason(bytesOf(missing))),
                 missing + QStringLiteral(" does not exist, and every user may make it"));
        QVERIFY(::chown(QFile::encodeName(m_tool).constData(), nobody->uid, nobody->gid) == 0);
        QCOMPARE(QString::fromStdString(safefile::untrustedProgramReason(bytesOf(m_tool))),
                 m_tool + QStringLiteral(" is owned by user nobody"));
        // Without the sticky bit anyone may replace root's tool.
        QVERIFY(::chown(QFile::encodeName(m_tool).constData(), 0, 0) == 0);
        QVERIFY(::chmod(QFile::encodeName(m_tools).constData(), 0777) == 0);
        QCOMPARE(QString::fromStdString(safefile::untrustedProgramReason(bytesOf(m_tool))),
                 m_tools + QStringLiteral(" is writable by every user"));
    }

    void linkThroughAnotherUsersFolderIsRefused()
    {
        QM_SKIP_UNLESS_ROOT(nobody);
        // The link is root's and its folder too, but the program it leads to
        // lies in a folder nobody owns.
        const QString theirs = m_dir->filePath(QStringLiteral("theirs"));
        QVERIFY(QDir().mkpath(theirs));
        QVERIFY(::chown(QFile::encodeName(theirs).constData(), nobody->uid, nobody->gid) == 0);
        testfiles::writeScript(theirs + "/tool", "exit 0\n");
        const QString link = m_tools + QStringLiteral("/pvk2pfx.exe");
        QVERIFY(QFile::link(QStringLiteral("../theirs/tool"), link));
        QCOMPARE(QString::fromStdString(safefile::untrustedProgramReason(bytesOf(link))),
                 theirs + QStringLiteral(" is owned by user nobody"));
    }

    void otherUsersAreNotChecked()
    {
        QM_SKIP_UNLESS_ROOT(nobody);
        QVERIFY(::chmod(QFile::encodeName(m_tools).constData(), 0777) == 0);
        const QByteArray tool = QFile::encodeName(m_tool);
        // As nobody, a tool anyone may change is still their own choice.
        QCOMPARE(otheruser::runAs(*nobody, [&tool] {
                     return safefile::programRefusalForRoot(tool.toStdString()).empty() ? 0 : 1;
                 }),
                 0);
        QVERIFY(!safefile::programRefusalForRoot(tool.toStdString()).empty());
    }

    // ---- secrets ----------------------------------------------------------

    void wipeSecretOverwritesTheWholeBuffer()
    {
        std::string secret(100, 'p');
        secret.resize(10); // the bytes past the end still hold the earlier value
        const char *buffer = secret.data();
        const size_t capacity = secret.capacity();
        safefile::wipeSecret(secret);
        QVERIFY(secret.empty());
        QCOMPARE(secret.data(), buffer); // wiped where it was, not moved away
        for (size_t i = 0; i < capacity; ++i)
            QVERIFY2(buffer[i] != 'p', qPrintable(QStringLiteral("byte %1 survived").arg(i)));
    }

    void secretBufferWipesWhenItGoes()
    {
        std::string given(64, 's');
        const char *taken;
        {
            safefile::SecretBuffer secret(std::move(given));
            QVERIFY(given.empty());
            taken = secret.bytes().data();
            // Still owned by the buffer here: its bytes are the secret.
            QCOMPARE(secret.bytes(), std::string(64, 's'));
            safefile::SecretBuffer moved(std::move(secret));
            QVERIFY(secret.empty());
            QCOMPARE(moved.bytes().data(), taken);
            // The wipe happens in the destructor; to look at the bytes
            // afterwards the buffer is wiped the same way here, in place.
            safefile::wipeSecret(moved.bytes());
            QCOMPARE(moved.bytes().data(), taken);
            for (size_t i = 0; i < 64; ++i)
                QVERIFY(taken[i] != 's');
        }
    }

    void secretTravelsThroughAPipe()
    {
        const std::string password("pass word \xC3\xA9\n", 13);
        const int fd = safefile::secretPipe(password);
        QVERIFY(fd >= 0);
        safefile::SecretBuffer received;
        QCOMPARE(safefile::readSecret(fd, 5, received), std::string());
        QCOMPARE(received.bytes(), password); // every byte, the line end too
        QVERIFY(::fcntl(fd, F_GETFD) < 0);    // read and closed

        errno = 0;
        QCOMPARE(safefile::secretPipe(std::string(safefile::kMaxSecretBytes + 1, 'x')), -1);
        QCOMPARE(errno, E2BIG);
    }

    void secretReadingIsBounded()
    {
        safefile::SecretBuffer received;
        QCOMPARE(safefile::readSecret(97, 5, received), std::string("descriptor 97 is not open"));

        // A writer that never closes: the read gives up in time.
        int fds[2];
        QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
        QVERIFY(::write(fds[1], "abc", 3) == 3);
        QElapsedTimer timer;
        timer.start();
        const std::string problem = safefile::readSecret(fds[0], 1, received);
        QVERIFY2(timer.elapsed() < 3000, "the read waited far beyond its time-out");
        QVERIFY2(problem.find("did not reach its end") != std::string::npos, problem.c_str());
        QVERIFY(received.empty()); // a partial secret is not kept
        ::close(fds[1]);

        QCOMPARE(safefile::secretDescriptorNumber("3"), 3);
        QCOMPARE(safefile::secretDescriptorNumber("12"), 12);
        for (const char *bad : {"", "2", "0", "-3", "3x", "fd3", "99999999"})
            QCOMPARE(safefile::secretDescriptorNumber(bad), -1);
    }

    void noCoreDumpsAndNotDumpable()
    {
        // In a child, so that this test process stays as it was.
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (::prctl(PR_GET_DUMPABLE) != 1)
                ::_exit(2); // the check below would mean nothing
            if (safefile::forbidCoreDumps() != 0)
                ::_exit(3);
            rlimit core {};
            ::getrlimit(RLIMIT_CORE, &core);
            ::_exit(::prctl(PR_GET_DUMPABLE) == 0 && core.rlim_cur == 0 && core.rlim_max == 0 ? 0 : 1);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_tools;
    QString m_tool;
};

QTEST_GUILESS_MAIN(TestTrustedProgram)
#include "tst_TrustedProgram.moc"
