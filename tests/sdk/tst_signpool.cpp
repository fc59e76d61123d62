// signtool.exe signs several files at a time but prints as if it had signed
// them one after another: each file's lines together, in command-line order.

#include "support/FakeTools.h"
#include "support/SignToolFixture.h"
#include "support/TestData.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace testdata;

class TestSignPool : public QObject, private SignToolFixture {
    Q_OBJECT

private slots:
    void initTestCase();
    void outputFollowsCommandLine_data();
    void outputFollowsCommandLine();
    void sameFileTwiceIsSignedTwice();
    void poolAboveTheMostIsLoweredAloud();
};

void TestSignPool::initTestCase()
{
    QVERIFY(useSigner(makeCertificate()));
}

void TestSignPool::outputFollowsCommandLine_data()
{
    QTest::addColumn<QString>("jobs");
    QTest::addColumn<int>("expectedMostAtOnce"); // 0: more than one
    QTest::newRow("/mt 4") << "4" << 0;
    QTest::newRow("/mt 1") << "1" << 1;
}

// A stand-in osslsigncode that waits longer for the files early on the
// command line (the variant byte of the test program), so that later files
// end first when several run at once; it notes how many run at once.
void TestSignPool::outputFollowsCommandLine()
{
    QFETCH(QString, jobs);
    QFETCH(int, expectedMostAtOnce);
    const QString record = newFolder();
    const QProcessEnvironment env = fakeOsslsigncode(
        newFolder(), QStringLiteral("v=$(od -An -tu1 -j513 -N1 \"$in\" | tr -d ' ')\n"
                                    "[ \"$v\" -ge 1 ] 2>/dev/null && [ \"$v\" -le 8 ] || v=8\n"
                                    "touch '%1/run.'$$\n"
                                    "ls '%1' | grep -c '^run\\.' >> '%1/at-once'\n"
                                    "sleep 0.$(( 9 - v ))\n"
                                    "rm -f '%1/run.'$$\n"
                                    "exec \"$real\" \"$@\"\n")
                         .arg(record)
                         .toUtf8());

    const QString dir = newFolder();
    QStringList files;
    QStringList expected; // the outcome line of each file
    for (int i = 0; i < 8; ++i) {
        const QString file = dir + QStringLiteral("/f%1.exe").arg(i);
        files << file;
        if (i == 2) {
            expected << "SignTool Error: File not found: " + file;
        } else if (i == 5) {
            QVERIFY(writeBytes(file, QByteArray("no program, just text\n").repeated(40)));
            expected << "SignTool Error: Signing " + file + " failed: ";
        } else {
            QVERIFY(writePeFile(file, quint32(i + 1)));
            expected << "Successfully signed: " + file;
        }
    }

    // Program files signed by osslsigncode children, whose pool this is
    // about.
    const RunResult run =
        signtool(QStringList{"sign", "/f", m_pfx, "/v", "/mt", jobs, "/ph"} + files, osslsigncodeForProgramFiles(env));
    QCOMPARE(run.exitCode, 1);

    // Each "Signing:" block holds the lines of that file only, in order.
    const QStringList blocks = run.output.split(QStringLiteral("Signing: "));
    QCOMPARE(blocks.size(), files.size() + 1); // the notes before the first file
    for (int i = 0; i < files.size(); ++i) {
        const QString &block = blocks[i + 1];
        QVERIFY2(block.startsWith(files[i] + "\n"), qPrintable(run.output));
        QVERIFY2(block.contains(expected[i]), qPrintable(block));
        QCOMPARE(block.count(QLatin1String("Successfully signed: ")) + block.count(QLatin1String("SignTool Error: ")),
                 1);
    }
    QVERIFY(blocks.last().contains(QLatin1String("Number of files successfully Signed: 6")));
    QVERIFY(blocks.last().contains(QLatin1String("Number of errors: 2")));
    for (int i = 0; i < files.size(); ++i) {
        if (expected[i].startsWith(QLatin1String("Successfully")))
            QVERIFY2(verifySignature(files[i], m_caPem).ok(), qPrintable(files[i]));
    }

    int mostAtOnce = 0;
    for (const QByteArray &line : fileBytes(record + "/at-once").split('\n'))
        mostAtOnce = std::max(mostAtOnce, line.trimmed().toInt());
    if (expectedMostAtOnce == 0)
        QVERIFY2(mostAtOnce > 1, "the files were signed one by one");
    else
        QCOMPARE(mostAtOnce, expectedMostAtOnce);
}

// Named twice, a file is signed twice, one after the other, as one by one.
void TestSignPool::sameFileTwiceIsSignedTwice()
{
    const QString dir = newFolder();
    const QString file = dir + "/twice.exe";
    QVERIFY(writePeFile(file, 3));
    const RunResult run = signtool({"sign", "/f", m_pfx, "/mt", "4", file, file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(run.output.count("Successfully signed: " + file), 2);
    QVERIFY(verifySignature(file, m_caPem).ok());
    QCOMPARE(entries(dir), QStringList{"twice.exe"});
}

// More files at a time than the pool takes: the run says it signs fewer,
// rather than cutting the number without a word.
void TestSignPool::poolAboveTheMostIsLoweredAloud()
{
    const QString file = newFolder() + "/many.exe";
    QVERIFY(writePeFile(file, 4));
    const RunResult run = signtool({"sign", "/f", m_pfx, "/fd", "sha256", "/v", "/mt", "100", file});
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("SignTool Warning: /mt 100 was lowered to 64, the most files signed "
                                               "at a time.")),
             qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("Number of warnings: 1")), qPrintable(run.output));
    QVERIFY(verifySignature(file, m_caPem).ok());

    const RunResult most = signtool({"sign", "/f", m_pfx, "/mt", "64", file});
    QVERIFY2(most.ok(), qPrintable(most.output));
    QVERIFY2(!most.output.contains(QLatin1String("lowered")), qPrintable(most.output));
}

QTEST_GUILESS_MAIN(TestSignPool)
#include "tst_signpool.moc"
