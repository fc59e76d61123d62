// What the build-server command makes of a run: each file's outcome from
// the tools' lines, the JSON lines, and command lines a shell reads back.

#include "pipeline/RunReport.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryFile>
#include <QtTest>

class TestRunReport : public QObject {
    Q_OBJECT
private slots:
    void signOutcomesFollowTheToolsLines();
    void verifyOutcomesTakeSignerAndTimeStamp();
    void jsonLinesEscapeControlCharacters();
    void shellReadsEveryArgumentBack();
};

void TestRunReport::signOutcomesFollowTheToolsLines()
{
    const QStringList files{"/b/a.exe", "/b/a.exe.bak.exe", "/b/c d.dll"};
    const QStringList lines{"Signing: /b/a.exe",
                            // A name that begins with another's must not count for it.
                            "SignTool Error: Cannot sign /b/a.exe.bak.exe: the file is damaged.",
                            "Successfully signed: /b/c d.dll", "Successfully signed: /b/a.exe"};
    const QList<FileOutcome> outcomes = SignOutcomes(files, lines, "fallback");
    QCOMPARE(outcomes.size(), 3);
    QCOMPARE(outcomes.at(0).status, FileStatus::Signed);
    QCOMPARE(outcomes.at(1).status, FileStatus::Failed);
    QCOMPARE(outcomes.at(1).message, QString("Cannot sign /b/a.exe.bak.exe: the file is damaged."));
    QCOMPARE(outcomes.at(2).status, FileStatus::Signed);
    // Not named at all: the caller's reason.
    const QList<FileOutcome> silent = SignOutcomes({"/b/x.exe"}, {"Number of errors: 1"}, "tool ended with 1");
    QCOMPARE(silent.at(0).status, FileStatus::Failed);
    QCOMPARE(silent.at(0).message, QString("tool ended with 1"));
    const QList<FileOutcome> longer =
        SignOutcomes({"/b/e.exe"}, {"SignTool Error: Cannot sign /b/e.exe.bak.exe: damaged."}, "fallback");
    QCOMPARE(longer.at(0).message, QString("fallback"));
}

void TestRunReport::verifyOutcomesTakeSignerAndTimeStamp()
{
    QList<FileOutcome> outcomes = SignOutcomes({"/a.exe", "/b.exe", "/c.exe"},
                                               {"Successfully signed: /a.exe", "Successfully signed: /b.exe"},
                                               "not signed");
    const QStringList verify{"        Signature 1 (primary):",
                             "            Signed by: /CN=First Signer",
                             "            Time stamp: RFC 3161, Dec  7 10:00:00 2026 GMT",
                             "Successfully verified: /a.exe",
                             "",
                             "        Signature 1 (primary):",
                             "            Signed by: /CN=Stranger",
                             "            Time stamp: none",
                             "SignTool Error: /b.exe is not validly signed: its certificate does not chain."};
    ApplyVerifyOutcomes(outcomes, verify, "fallback");
    QCOMPARE(outcomes.at(0).status, FileStatus::Signed);
    QCOMPARE(outcomes.at(0).signer, QString("/CN=First Signer"));
    QCOMPARE(outcomes.at(0).timestamp, QString("Dec  7 10:00:00 2026 GMT"));
    QCOMPARE(outcomes.at(1).status, FileStatus::NotVerified);
    QVERIFY(outcomes.at(1).message.startsWith("/b.exe is not validly signed"));
    QVERIFY(outcomes.at(1).signer.isEmpty());
    // A file that was not signed stays failed, not "not verified".
    QCOMPARE(outcomes.at(2).status, FileStatus::Failed);

    // Unstamped and verified: no time stamp, and the signer of its own lines.
    QList<FileOutcome> unstamped = SignOutcomes({"/d.exe"}, {"Successfully signed: /d.exe"}, {});
    ApplyVerifyOutcomes(unstamped, {"Signed by: /CN=Other", "Successfully verified: /x.exe",
                                    "Signed by: /CN=Own", "Time stamp: none", "Successfully verified: /d.exe"},
                        {});
    QCOMPARE(unstamped.at(0).status, FileStatus::Signed);
    QCOMPARE(unstamped.at(0).signer, QString("/CN=Own"));
    QVERIFY(unstamped.at(0).timestamp.isEmpty());
}

void TestRunReport::jsonLinesEscapeControlCharacters()
{
    FileOutcome outcome;
    outcome.file = QStringLiteral("/b/evil\n{\"file\":\"forged\"}\t\x1b.exe");
    outcome.status = FileStatus::Skipped;
    const QByteArray line = JsonLine(FileOutcomeJson(outcome));
    QVERIFY(line.endsWith('\n'));
    QCOMPARE(line.count('\n'), 1);
    QVERIFY2(!line.contains('\t') && !line.contains('\x1b'), line.constData());
    const QJsonObject back = QJsonDocument::fromJson(line).object();
    QCOMPARE(back.value("file").toString(), outcome.file);
    QCOMPARE(back.value("status").toString(), QString("skipped"));
    QVERIFY(back.value("signer").isNull());

    const QJsonObject summary =
        QJsonDocument::fromJson(JsonLine(SummaryJson({outcome, outcome}, {1, 7, 0, true}))).object();
    QCOMPARE(summary.value("summary").toObject().value("skipped").toInt(), 2);
    QCOMPARE(summary.value("summary").toObject().value("tool-exit-code").toInt(), 7);
    QVERIFY(summary.value("summary").toObject().value("stopped-by-signal").isNull());
}

void TestRunReport::shellReadsEveryArgumentBack()
{
    QCOMPARE(ShellQuoted("/opt/sdk/signtool.exe"), QByteArray("/opt/sdk/signtool.exe"));
    QCOMPARE(ShellQuoted("two words"), QByteArray("'two words'"));
    const QList<QByteArray> arguments{"plain", "", "two words", "it's", "$HOME", "`id`", "back\\slash",
                                      "tab\there", "new\nline", "esc\x1b[31m'q'", "\xff\xfe not utf-8",
                                      "*.exe", "a;b|c&d", "-n", "line\xe2\x80\xa8sep", "c1\xc2\x85 bidi\xe2\x80\xae",
                                      "caf\xc3\xa9 ok"};
    // A character shown escaped never stands raw in the line (it could end or
    // turn the line on a terminal); others, like "é", stay readable.
    const QByteArray line = ShellCommandLine(arguments);
    for (const char *raw : {"\xe2\x80\xa8", "\xc2\x85", "\xe2\x80\xae", "\n", "\t", "\x1b"})
        QVERIFY2(!line.contains(raw), line.constData());
    QVERIFY(line.contains("'caf\xc3\xa9 ok'"));
    // printf prints each argument between markers, exactly as it arrived.
    // Through a file, so that the bytes that are not UTF-8 reach bash as they are.
    QTemporaryFile script;
    QVERIFY(script.open());
    script.write("printf '<%s>' " + ShellCommandLine(arguments) + "\n");
    script.close();
    QProcess bash;
    bash.start("bash", {"--norc", "--noprofile", script.fileName()});
    QVERIFY(bash.waitForFinished(20000));
    QByteArray expected;
    for (const QByteArray &argument : arguments)
        expected += '<' + argument + '>';
    QCOMPARE(bash.readAllStandardOutput(), expected);
}

QTEST_APPLESS_MAIN(TestRunReport)
#include "tst_runreport.moc"
