// Secrets handed to the build-server command: a password read from a
// descriptor or from a file that only its owner can read, and nothing else.

#include "platform/Platform.h"
#include "support/FileContents.h"
#include "support/OtherUser.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

class TestSecrets : public QObject {
    Q_OBJECT
private slots:
    void firstLineOfADescriptor_data();
    void firstLineOfADescriptor();
    void descriptorsThatGiveNoPassword();
    void aWriterThatNeverEndsTimesOut();
    void privateFileIsRead();
    void fileOthersCouldReadIsRefused();

private:
    QString secretFile(const QByteArray &content, QFile::Permissions permissions);
    QTemporaryDir m_folder;
};

namespace {

// A pipe holding `bytes`, its writing end closed: the reading end.
int pipeHolding(const QByteArray &bytes)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    if (::write(ends[1], bytes.constData(), size_t(bytes.size())) != bytes.size())
        qWarning("short write to the pipe");
    ::close(ends[1]);
    return ends[0];
}

} // namespace

void TestSecrets::firstLineOfADescriptor_data()
{
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("secret");
    QTest::newRow("line") << QByteArray("pa ss\n") << QByteArray("pa ss");
    QTest::newRow("CR LF") << QByteArray("pa ss\r\n") << QByteArray("pa ss");
    QTest::newRow("no line end") << QByteArray(" spaced ") << QByteArray(" spaced ");
    QTest::newRow("more lines") << QByteArray("first\nsecond\n") << QByteArray("first");
    QTest::newRow("UTF-8") << QByteArray("gr\xc3\xbc\xc3\x9f" "e\n") << QByteArray("gr\xc3\xbc\xc3\x9f" "e");
    QTest::newRow("nothing") << QByteArray() << QByteArray();
}

void TestSecrets::firstLineOfADescriptor()
{
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, secret);
    const int fd = pipeHolding(written);
    const platform::SecretRead read = platform::readSecretFromDescriptor(fd, 5000);
    ::close(fd);
    QVERIFY2(read.ok, qPrintable(read.error));
    QCOMPARE(read.secret, secret);
}

void TestSecrets::descriptorsThatGiveNoPassword()
{
    platform::SecretRead read = platform::readSecretFromDescriptor(765, 1000);
    QVERIFY(!read.ok);
    QCOMPARE(read.error, QString("descriptor 765 is not open"));

    // More than a password, with no line end: not taken in part.
    const int fd = pipeHolding(QByteArray(platform::SecretMaxBytes + 10, 'x'));
    read = platform::readSecretFromDescriptor(fd, 5000);
    ::close(fd);
    QVERIFY(!read.ok);
    QVERIFY(read.secret.isEmpty());
    QVERIFY2(read.error.contains("longer than 4096 bytes"), qPrintable(read.error));

    // A terminal would show the password as it is typed.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        QSKIP("no pseudo-terminal here");
    QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(terminal >= 0);
    read = platform::readSecretFromDescriptor(terminal, 1000);
    ::close(terminal);
    ::close(master);
    QVERIFY(!read.ok);
    QVERIFY2(read.error.contains("is a terminal"), qPrintable(read.error));
}

void TestSecrets::aWriterThatNeverEndsTimesOut()
{
    int ends[2];
    QCOMPARE(::pipe2(ends, O_CLOEXEC), 0);
    QCOMPARE(::write(ends[1], "half a passw", 12), 12);
    QElapsedTimer timer;
    timer.start();
    const platform::SecretRead read = platform::readSecretFromDescriptor(ends[0], 400);
    const qint64 waited = timer.elapsed();
    ::close(ends[0]);
    ::close(ends[1]);
    QVERIFY(!read.ok);
    QVERIFY(read.secret.isEmpty());
    QVERIFY2(read.error.startsWith("no password came through descriptor"), qPrintable(read.error));
    QVERIFY2(waited >= 350 && waited < 3000, qPrintable(QString::number(waited)));
}

QString TestSecrets::secretFile(const QByteArray &content, QFile::Permissions permissions)
{
    static int files = 0;
    const QString path = m_folder.filePath(QStringLiteral("secret%1").arg(++files));
    testfiles::writeAll(path, content);
    QFile::setPermissions(path, permissions);
    return path;
}

void TestSecrets::privateFileIsRead()
{
    const QString path = secretFile("s3cret\nignored\n", QFile::ReadOwner | QFile::WriteOwner);
    const platform::SecretRead read = platform::readPrivateSecretFile(path);
    QVERIFY2(read.ok, qPrintable(read.error));
    QCOMPARE(read.secret, QByteArray("s3cret"));
}

void TestSecrets::fileOthersCouldReadIsRefused()
{
    auto refusal = [](const QString &path) {
        const platform::SecretRead read = platform::readPrivateSecretFile(path);
        return read.ok ? QStringLiteral("<read>") : read.error;
    };
    const QFile::Permissions own = QFile::ReadOwner | QFile::WriteOwner;
    QVERIFY(refusal(secretFile("x\n", own | QFile::ReadGroup)).contains("can be read by other users (its mode is 0640"));
    QVERIFY(refusal(secretFile("x\n", own | QFile::ReadOther)).contains("can be read by other users"));

    const QString target = secretFile("x\n", own);
    const QString link = m_folder.filePath("link");
    QVERIFY(QFile::link(target, link));
    QVERIFY(refusal(link).contains("is a symbolic link"));

    // A FIFO is refused at once rather than waited on.
    const QString fifo = m_folder.filePath("fifo");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(refusal(fifo).contains("is not a regular file"));
    QVERIFY(refusal(m_folder.path()).contains("is not a regular file"));
    QVERIFY(refusal(m_folder.filePath("none")).contains("cannot be opened"));

    // A file whose access list lets another user read it.
    const QString listed = secretFile("x\n", own);
    if (QProcess::execute("setfacl", {"-m", "u:nobody:r", listed}) == 0)
        QVERIFY(refusal(listed).contains("can be read by other users"));
    else
        qWarning("setfacl failed; the access list case is not checked");

    // Its owner can always read it.
    QM_SKIP_UNLESS_ROOT(nobody);
    const QString foreign = secretFile("x\n", own);
    QCOMPARE(::chown(QFile::encodeName(foreign).constData(), nobody->uid, nobody->gid), 0);
    QVERIFY(refusal(foreign).contains("belongs to another user"));
}

QTEST_APPLESS_MAIN(TestSecrets)
#include "tst_Secrets.moc"
