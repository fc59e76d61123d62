#include "base/AppError.h"
#include "signing/ConsoleText.h"
#include "signing/SignProgress.h"
#include "signing/ToolRunner.h"
#include "support/FifoRescuer.h"
#include "support/FileContents.h"
#include "support/OtherUser.h"
#include "support/ScriptedDialogs.h"
#include "support/TestData.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kChild = QStringLiteral(QUILLMARK_RUNNER_CHILD);
const QString kCaption = QStringLiteral("Quillmark - Console Output");

// The quoting of the argument builders: the value in double quotes and a blank.
QString quoted(const QString &value)
{
    return value.isEmpty() ? QString() : QLatin1Char('"') + value + QStringLiteral("\" ");
}

QString captureInCurrentFolder()
{
    return QDir::current().absoluteFilePath(CaptureFileName());
}

} // namespace

class TestToolRunner : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_previousFolder = QDir::currentPath();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QVERIFY(QDir::setCurrent(m_dir->path()));
    }

    void cleanup()
    {
        QDir::setCurrent(m_previousFolder);
        QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner
                                                 | QFile::ExeOwner);
        m_dir.reset();
    }

    void splitCaptureLines_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");

        QTest::newRow("empty") << QByteArray() << QStringList();
        QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << QStringList{"a", "b"};
        QTest::newRow("lone LF") << QByteArray("a\nb\n") << QStringList{"a", "b"};
        QTest::newRow("lone CR") << QByteArray("a\rb\r") << QStringList{"a", "b"};
        QTest::newRow("mixed") << QByteArray("a\r\nb\nc\rd") << QStringList{"a", "b", "c", "d"};
        QTest::newRow("last line without end") << QByteArray("a\nlast") << QStringList{"a", "last"};
        QTest::newRow("one line end only") << QByteArray("\n") << QStringList{""};
        QTest::newRow("empty lines kept") << QByteArray("a\n\n\r\n\rb")
                                          << QStringList{"a", "", "", "", "b"};
        QTest::newRow("LF CR is two ends") << QByteArray("a\n\rb") << QStringList{"a", "", "b"};
        QTest::newRow("NUL ends the text") << QByteArray("a\nb\0c\nd", 7) << QStringList{"a", "b"};
        QTest::newRow("NUL first") << QByteArray("\0abc", 4) << QStringList();
        QTest::newRow("NUL after a line end") << QByteArray("a\r\n\0b", 5) << QStringList{"a"};
        QTest::newRow("UTF-8") << QByteArray("Gr\xc3\xbc\xc3\x9f" "e\r\n\xe2\x82\xac")
                               << QStringList{QString::fromUtf8("Grüße"), QString::fromUtf8("€")};
    }
    void splitCaptureLines()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QCOMPARE(SplitCaptureLines(bytes), lines);
    }

    void splitArguments_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("empty") << QString() << QStringList();
        QTest::newRow("blanks only") << QStringLiteral("   ") << QStringList();
        QTest::newRow("switches") << QStringLiteral("sign /a /v ")
                                  << QStringList{"sign", "/a", "/v"};
        QTest::newRow("runs of blanks") << QStringLiteral("  a   b ") << QStringList{"a", "b"};
        QTest::newRow("quoted with blanks")
            << QStringLiteral("\"a b\" ") << QStringList{"a b"};
        QTest::newRow("empty quoted") << QStringLiteral("\"\"") << QStringList{""};
        QTest::newRow("empty quoted between")
            << QStringLiteral("x \"\" y") << QStringList{"x", "", "y"};
        QTest::newRow("sign command line")
            << QStringLiteral("sign /f \"/keys/my key.pfx\" /p \"pass word\" /t "
                              "\"http://ts.example\" \"/build/app.exe\" \"/build/My Lib.dll\" ")
            << QStringList{"sign",       "/f", "/keys/my key.pfx", "/p", "pass word", "/t",
                           "http://ts.example", "/build/app.exe", "/build/My Lib.dll"};
        // A description typed with quotes gets a second pair from the builder
        // and must still reach the tool as one argument.
        QTest::newRow("value with its own quotes")
            << QStringLiteral("/d \"\"Release build\"\" /du ") << QStringList{"/d", "\"Release build\"", "/du"};
        QTest::newRow("quote inside a value")
            << QStringLiteral("\"say \"hi\"now\" x") << QStringList{"say \"hi\"now", "x"};
        QTest::newRow("unclosed quote") << QStringLiteral("a \"b c") << QStringList{"a", "b c"};
        QTest::newRow("quotes inside an unquoted word")
            << QStringLiteral("a\"b c") << QStringList{"a\"b", "c"};
        QTest::newRow("no blank after a closing quote")
            << QStringLiteral("\"a\"b\" c") << QStringList{"a\"b", "c"};
    }
    void splitArguments()
    {
        QFETCH(QString, arguments);
        QFETCH(QStringList, expected);
        QCOMPARE(SplitArguments(arguments), expected);
    }

    void silentToolAppendsNothing()
    {
        ConsoleLines console;
        console.addLine(QStringLiteral("kept"));
        QVERIFY(RunAndCapture(console, {}, kChild, {}, true));
        QCOMPARE(console.lines(), QStringList{"kept"});
        QVERIFY(!QFile::exists(captureInCurrentFolder()));
    }

    // Started from a folder whose name is not UTF-8 (Latin-1 "café"): the
    // capture file lies there, under that very name, and goes again.
    void currentFolderNamedInLatin1()
    {
        const QByteArray folder = QFile::encodeName(m_dir->path()) + "/caf\xE9";
        QCOMPARE(::mkdir(folder.constData(), 0700), 0);
        QCOMPARE(::chdir(folder.constData()), 0);
        ScriptedDialogsGuard dialogs;
        ConsoleLines console;
        const bool ran = RunAndCapture(console, {}, kChild,
                                       quoted(QStringLiteral("out:captured")), false);
        QVERIFY2(dialogs->messages.isEmpty(), qPrintable(dialogs->messageTexts().join('|')));
        QVERIFY(ran);
        QCOMPARE(console.lines(), QStringList{"captured"});
        QCOMPARE(::access((folder + "/$tmp$.tmp").constData(), F_OK), -1);
        QCOMPARE(::rmdir(folder.constData()), 0);   // nothing left behind
    }

    void outputAppendedLineByLineAfterExistingLines()
    {
        ConsoleLines console;
        console.addLines({QStringLiteral("first"), QStringLiteral("second")});
        QVERIFY(RunAndCapture(console, {}, kChild,
                              quoted(QStringLiteral("out:one\\r\\ntwo\\nthree\\rfour")), false));
        QCOMPARE(console.lines(),
                 (QStringList{"first", "second", "one", "two", "three", "four"}));
        QVERIFY(!QFile::exists(captureInCurrentFolder()));
    }

    void existingCaptureFileOverwrittenAndRemoved()
    {
        QFile stale(CaptureFileName());
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("stale line one\nstale line two\nstale line three\n");
        stale.close();

        ConsoleLines console;
        QVERIFY(RunAndCapture(console, {}, kChild, quoted(QStringLiteral("out:new\\n")), false));
        QCOMPARE(console.lines(), QStringList{"new"});
        QVERIFY(!QFile::exists(captureInCurrentFolder()));
    }

    // Root runs a tool in a folder of another user, who made the capture
    // file first, open to all (or kept a hard link to it): root's output
    // (certificate subjects, file names) never lands in their file, their
    // file is not read back as the tool's output, and it stays theirs.
    void anotherUsersCaptureFileIsNeitherWrittenNorRead()
    {
        QM_SKIP_UNLESS_ROOT(nobody);
        const QByteArray folder = QFile::encodeName(m_dir->path());
        QCOMPARE(::chmod(folder.constData(), 0755), 0);
        QCOMPARE(::chown(folder.constData(), nobody->uid, nobody->gid), 0);
        const QByteArray theirs = QFile::encodeName(captureInCurrentFolder());
        QCOMPARE(otheruser::runAs(*nobody, [&] {
                     QFile planted(QFile::decodeName(theirs));
                     if (!planted.open(QIODevice::WriteOnly) || planted.write("planted\n") != 8)
                         return 1;
                     planted.close();
                     return ::chmod(theirs.constData(), 0666) == 0 ? 0 : 1;
                 }),
                 0);
        struct stat before {};
        QCOMPARE(::lstat(theirs.constData(), &before), 0);

        ScriptedDialogsGuard dialogs;
        ConsoleLines console;
        QVERIFY(RunAndCapture(console, {}, kChild, quoted(QStringLiteral("out:CN=Root Signing\\n")), false));
        QVERIFY2(dialogs->messages.isEmpty(), qPrintable(dialogs->messageTexts().join('|')));
        QCOMPARE(console.lines(), QStringList{"CN=Root Signing"});

        struct stat after {};
        QCOMPARE(::lstat(theirs.constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_uid, nobody->uid);
        QFile planted(QFile::decodeName(theirs));
        QVERIFY(planted.open(QIODevice::ReadOnly));
        QCOMPARE(planted.readAll(), QByteArray("planted\n"));
        // Nothing of root's is left beside it.
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{CaptureFileName()});
        QCOMPARE(::chown(folder.constData(), 0, 0), 0);
    }

    void nonZeroExitGivesFalseWithOutputShown()
    {
        ConsoleLines console;
        QVERIFY(!RunAndCapture(console, {}, kChild,
                               quoted(QStringLiteral("out:SignTool Error: failed\\n")) + "exit:1 ",
                               false));
        QCOMPARE(console.lines(), QStringList{"SignTool Error: failed"});
        QVERIFY(!QFile::exists(captureInCurrentFolder()));
    }

    void killedToolGivesFalse()
    {
        ConsoleLines console;
        QVERIFY(!RunAndCapture(console, {}, kChild, QStringLiteral("out:partial raise:9 "), false));
        QCOMPARE(console.lines(), QStringList{"partial"});
    }

    void argumentsReachTheToolSplitByTheirQuotes()
    {
        ConsoleLines console;
        QVERIFY(RunAndCapture(console, {}, kChild,
                              QStringLiteral("argv /a ") + quoted(QStringLiteral("/build/My Lib.dll"))
                                  + quoted(QStringLiteral("\"quoted\"")),
                              false));
        QCOMPARE(console.lines(),
                 (QStringList{"argc=5", "arg[0]=<" + kChild + ">", "arg[1]=<argv>", "arg[2]=</a>",
                              "arg[3]=</build/My Lib.dll>", "arg[4]=<\"quoted\">"}));
    }

    void workingFolderHonouredWhileCaptureStaysInCurrentFolder()
    {
        const QString work = m_dir->filePath(QStringLiteral("sdk bin"));
        QVERIFY(QDir().mkpath(work));
        const QString current = QDir::currentPath();

        ConsoleLines console;
        QVERIFY(RunAndCapture(console, work + QLatin1Char('/'), kChild,
                              QStringLiteral("cwd ") + quoted("exists:" + captureInCurrentFolder())
                                  + quoted(QStringLiteral("exists:$tmp$.tmp")),
                              false));
        QCOMPARE(console.lines(), (QStringList{"cwd=" + QDir(work).canonicalPath(), "exists=1",
                                               "exists=0"}));
        QCOMPARE(QDir::currentPath(), current);
        QVERIFY(!QFile::exists(captureInCurrentFolder()));
    }

    void programPathWithBlanks()
    {
        const QString folder = m_dir->filePath(QStringLiteral("Program Files/SDK Tools"));
        QVERIFY(QDir().mkpath(folder));
        const QString program = folder + QStringLiteral("/runner child");
        QVERIFY(QFile::copy(kChild, program));
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));

        ConsoleLines console;
        QVERIFY(RunAndCapture(console, folder + QLatin1Char('/'), program,
                              QStringLiteral("argv "), false));
        QCOMPARE(console.lines(), (QStringList{"argc=2", "arg[0]=<" + program + ">",
                                               "arg[1]=<argv>"}));
    }

    void relativeProgramPathIsTakenFromTheCurrentFolder()
    {
        QVERIFY(QDir().mkpath(QStringLiteral("tools")));
        QVERIFY(QDir().mkpath(QStringLiteral("elsewhere")));
        QVERIFY(QFile::copy(kChild, QStringLiteral("tools/child")));
        QVERIFY(QFile::setPermissions(QStringLiteral("tools/child"),
                                      QFile::ReadOwner | QFile::ExeOwner));

        ConsoleLines console;
        QVERIFY(RunAndCapture(console, m_dir->filePath(QStringLiteral("elsewhere")),
                              QStringLiteral("tools/child"), QStringLiteral("out:ran"), false));
        QCOMPARE(console.lines(), QStringList{"ran"});
    }

    void standardErrorCapturedInWriteOrder()
    {
        ConsoleLines console;
        QVERIFY(!RunAndCapture(console, {}, kChild,
                               quoted(QStringLiteral("out:Signing\\n"))
                                   + quoted(QStringLiteral("err:SignTool Error: no certificate\\n"))
                                   + quoted(QStringLiteral("out:Number of errors: 1\\n"))
                                   + QStringLiteral("exit:1 "),
                               false));
        QCOMPARE(console.lines(), (QStringList{"Signing", "SignTool Error: no certificate",
                                               "Number of errors: 1"}));
    }

    void toolRunsAtLowestPriorityWithoutInput()
    {
        ConsoleLines console;
        QVERIFY(RunAndCapture(console, {}, kChild, QStringLiteral("nice stdin"), false));
        QCOMPARE(console.lines(), (QStringList{"nice=19", "stdin=0"}));
    }

    void startFailureIsReported_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("workingFolder");
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("systemText");
        QTest::addColumn<bool>("firewallHint");

        const QString plain = QStringLiteral("sign /a ");
        QTest::newRow("missing tool") << QStringLiteral("/nonexistent/signtool.exe") << QString()
                                      << plain << QStringLiteral("No such file or directory") << false;
        QTest::newRow("missing working folder")
            << kChild << QStringLiteral("/nonexistent/bin/") << plain
            << QStringLiteral("No such file or directory") << false;
        QTest::newRow("tool is a folder") << QStringLiteral("/") << QString() << plain
                                          << QStringLiteral("Permission denied") << false;
        // One argument beyond what the system passes (128 KiB on Linux).
        QTest::newRow("argument too long")
            << kChild << QString() << quoted(QString(200 * 1024, u'x'))
            << QStringLiteral("Argument list too long") << false;
        // A cause the system's text does not pin down keeps the hint.
        QTest::newRow("working folder is a file")
            << kChild << kChild + QStringLiteral("/") << plain << QStringLiteral("Not a directory")
            << true;
    }
    void startFailureIsReported()
    {
        QFETCH(QString, program);
        QFETCH(QString, workingFolder);
        QFETCH(QString, arguments);
        QFETCH(QString, systemText);
        QFETCH(bool, firewallHint);

        ScriptedDialogsGuard dialogs;
        bool runningWhileShown = true;
        dialogs->onMessage = [&](const ShownMessage &) { runningWhileShown = IsToolRunning(); };
        ConsoleLines console;
        console.addLine(QStringLiteral("before"));

        QVERIFY(!RunAndCapture(console, workingFolder, program, arguments, true));

        QCOMPARE(console.lines(), QStringList{"before"});
        QCOMPARE(dialogs->messages.size(), 1);
        const ShownMessage &shown = dialogs->messages.first();
        QCOMPARE(shown.kind, MessageKind::Error);
        QCOMPARE(shown.caption, kCaption);
        QCOMPARE(shown.text, "Unable to retrieve the Console Output!\n\nSystem Error Message: "
                                 + systemText
                                 + (firewallHint
                                        ? QStringLiteral("\n\n(Your firewall may be preventing this process)")
                                        : QString()));
        QCOMPARE(shown.buttons, DialogButtons(DialogButton::Ok));
        // The box must be answerable: user input is back by the time it shows.
        QVERIFY(!runningWhileShown);
        QVERIFY(!QFile::exists(captureInCurrentFolder()));
    }

    void startFailureTextTrimsTheSystemText()
    {
        QCOMPARE(ToolStartFailureText(QStringLiteral("Exec format error.\r\n"), true),
                 QStringLiteral("Unable to retrieve the Console Output!\n\nSystem Error Message: "
                                "Exec format error"));
        QCOMPARE(ToolStartFailureText(QStringLiteral("Input/output error"), false),
                 QStringLiteral("Unable to retrieve the Console Output!\n\nSystem Error Message: "
                                "Input/output error\n\n(Your firewall may be preventing this "
                                "process)"));
    }

    void finishedFilesCounted_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("finished");

        QTest::newRow("nothing yet") << QByteArray() << 0;
        QTest::newRow("signed and failed")
            << QByteArray("Signing: a\nSuccessfully signed: a\r\nSignTool Error: b is not a PE "
                          "file.\rSuccessfully signed: c\n")
            << 3;
        QTest::newRow("summary and warnings are no outcome")
            << QByteArray("SignTool Warning: expires soon.\nNumber of files successfully Signed: 2\n"
                          "Number of errors: 1\n successfully signed: x\n  SignTool Error: x\n")
            << 0;
        QTest::newRow("outcome words inside a line") << QByteArray("x Successfully signed: a\n") << 0;
        QTest::newRow("last line cut inside the opening words")
            << QByteArray("Successfully signed: a\nSuccessfully sig") << 1;
        QTest::newRow("last line cut after the opening words")
            << QByteArray("Successfully signed: a\nSignTool Error: ") << 2;
        QTest::newRow("last line cut in its path")
            << QByteArray("Successfully signed: a\nSuccessfully signed: /pa") << 2;
        QTest::newRow("empty lines between") << QByteArray("\n\nSignTool Error: x\n\n\n") << 1;
    }
    void finishedFilesCounted()
    {
        QFETCH(QByteArray, output);
        QFETCH(int, finished);
        QCOMPARE(CountFinishedFiles(output), finished);
        // Output arriving in pieces, cut anywhere, counts the same.
        for (qsizetype cut = 0; cut <= output.size(); ++cut) {
            OutcomeLineCounter counter;
            counter.feed(QByteArrayView(output).first(cut));
            QVERIFY(counter.count() <= finished);
            counter.feed(QByteArrayView(output).sliced(cut));
            QCOMPARE(counter.count(), finished);
        }
        OutcomeLineCounter byteByByte;
        for (char c : output)
            byteByByte.feed(QByteArrayView(&c, 1));
        QCOMPARE(byteByByte.count(), finished);
    }

    void progressText()
    {
        QCOMPARE(ProgressText(0, 3), QStringLiteral("0 of 3 files done"));
        QCOMPARE(ProgressText(1234, 12000), QStringLiteral("1,234 of 12,000 files done"));
        // More outcomes than files (a tool's general error counts too) stop at the total.
        QCOMPARE(ProgressText(5, 3), QStringLiteral("3 of 3 files done"));
        QCOMPARE(ProgressText(-1, 3), QStringLiteral("0 of 3 files done"));
    }

    // The runner hands over the output while the tool still runs, in the
    // order written and only as far as written, through the capture file.
    void outputFollowedWhileTheToolRuns()
    {
        ConsoleLines console;
        QByteArray seen;
        QList<int> counts;
        QElapsedTimer clock;
        clock.start();
        qint64 firstOutcomeAt = -1;
        auto grew = [&](const QByteArray &added) {
            seen += added;
            const int count = CountFinishedFiles(seen);
            if (counts.isEmpty() || counts.constLast() != count)
                counts.append(count);
            if (count > 0 && firstOutcomeAt < 0)
                firstOutcomeAt = clock.elapsed();
        };
        const QString arguments = quoted(QStringLiteral("out:Successfully signed: /a.exe\\n"))
            + QStringLiteral("sleep:400 ")
            + quoted(QStringLiteral("err:SignTool Error: /b.exe is not a PE file.\\n"))
            + QStringLiteral("sleep:400 ") + quoted(QStringLiteral("out:Successfully sig"))
            + QStringLiteral("sleep:400 ") + quoted(QStringLiteral("out:ned: /c.exe\\n"))
            + QStringLiteral("sleep:400");
        QVERIFY(RunAndCapture(console, {}, kChild, arguments, false, grew));
        const qint64 total = clock.elapsed();

        QCOMPARE(counts, (QList<int>{1, 2, 3}));
        QVERIFY2(firstOutcomeAt >= 0 && firstOutcomeAt < total - 800,
                 qPrintable(QStringLiteral("first outcome seen at %1 ms of %2 ms")
                                .arg(firstOutcomeAt).arg(total)));
        QCOMPARE(seen, QByteArray("Successfully signed: /a.exe\nSignTool Error: /b.exe is not a PE "
                                  "file.\nSuccessfully signed: /c.exe\n"));
        QCOMPARE(console.lines(), QString::fromUtf8(seen).split(u'\n', Qt::SkipEmptyParts));
        QVERIFY(!QFile::exists(captureInCurrentFolder()));
    }

    void captureFileBlockedByAFolder()
    {
        QVERIFY(QDir().mkdir(CaptureFileName()));
        const QString marker = m_dir->filePath(QStringLiteral("tool-ran"));

        ScriptedDialogsGuard dialogs;
        ConsoleLines console;
        QVERIFY(!RunAndCapture(console, {}, kChild, quoted("touch:" + marker), false));

        QVERIFY2(!QFile::exists(marker), "the tool ran without a capture file");
        QVERIFY(console.lines().isEmpty());
        QCOMPARE(dialogs->messages.size(), 1);
        QCOMPARE(dialogs->messages.first().kind, MessageKind::Error);
        QCOMPARE(dialogs->messages.first().caption, kCaption);
        const QString text = dialogs->messages.first().text;
        QVERIFY2(text.contains(captureInCurrentFolder()), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("System Error Message: Is a directory\n")),
                 qPrintable(text));
        // Not ours: the folder of that name is left alone.
        QVERIFY(QFileInfo(CaptureFileName()).isDir());
    }

    void captureFileThatIsASymbolicLinkIsNotFollowed()
    {
        QVERIFY(QDir().mkdir(QStringLiteral("elsewhere")));
        const QString victim = m_dir->filePath(QStringLiteral("elsewhere/precious.txt"));
        {
            QFile file(victim);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("keep me\n");
        }
        QVERIFY(QFile::link(victim, CaptureFileName()));
        const QString marker = m_dir->filePath(QStringLiteral("tool-ran"));

        ScriptedDialogsGuard dialogs;
        ConsoleLines console;
        QVERIFY(!RunAndCapture(console, {}, kChild,
                               QStringLiteral("out:overwritten ") + quoted("touch:" + marker),
                               false));

        QVERIFY2(!QFile::exists(marker), "the tool ran without a capture file of its own");
        QFile file(victim);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep me\n"));
        QCOMPARE(dialogs->messages.size(), 1);
        QCOMPARE(dialogs->messages.first().caption, kCaption);
        QVERIFY(dialogs->messages.first().text.contains(captureInCurrentFolder()));
        // Not ours: the link is left as it was.
        QCOMPARE(QFileInfo(CaptureFileName()).symLinkTarget(), victim);
    }

    void captureFileThatIsAFifoDoesNotHang()
    {
        QVERIFY(::mkfifo(QFile::encodeName(CaptureFileName()).constData(), 0600) == 0);
        const QString marker = m_dir->filePath(QStringLiteral("tool-ran"));

        // Should the run block on the FIFO, readers and writers turn up after
        // a while to free it, so the test fails instead of hanging.
        const QByteArray fifo = QFile::encodeName(captureInCurrentFolder());
        std::atomic<bool> done{false};
        std::thread rescuer([fifo, &done] {
            for (int i = 0; i < 50 && !done; ++i)
                ::usleep(100 * 1000);
            while (!done) {
                const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
                const int writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
                char buffer[256];
                if (reader >= 0)
                    while (::read(reader, buffer, sizeof buffer) > 0) {
                    }
                if (writer >= 0)
                    ::close(writer);
                if (reader >= 0)
                    ::close(reader);
                ::usleep(100 * 1000);
            }
        });

        ScriptedDialogsGuard dialogs;
        ConsoleLines console;
        QElapsedTimer timer;
        timer.start();
        const bool ok = RunAndCapture(console, {}, kChild, quoted("touch:" + marker), false);
        const qint64 elapsed = timer.elapsed();
        done = true;
        rescuer.join();

        QVERIFY(!ok);
        QVERIFY2(elapsed < 4000, "the run waited on the FIFO");
        QVERIFY2(!QFile::exists(marker), "the tool ran without a capture file of its own");
        QCOMPARE(dialogs->messages.size(), 1);
        QCOMPARE(dialogs->messages.first().caption, kCaption);
        QVERIFY(dialogs->messages.first().text.contains(captureInCurrentFolder()));
        QVERIFY(QFileInfo(CaptureFileName()).exists());
    }

    void captureFileSwappedForAFifoDuringTheRunIsNotWaitedOn()
    {
        // Someone who may write the current folder swaps a FIFO in for the
        // capture file while the tool runs (here the tool itself does).
        FifoRescuer fifo(captureInCurrentFolder(), FifoRescuer::WatchOnly);
        ConsoleLines console;
        QString raised;
        try {
            RunAndCapture(console, {}, kChild,
                          QStringLiteral("out:lost ") + quoted("rm:" + captureInCurrentFolder())
                              + QLatin1Char(' ') + quoted("mkfifo:" + captureInCurrentFolder()),
                          false);
        } catch (const AppError &error) {
            raised = error.message();
        }
        QVERIFY2(!fifo.rescued(), "the read-back waited on a FIFO until it was freed");
        QCOMPARE(raised, QStringLiteral("Unable to read the Console Output back from %1: it is "
                                        "no longer a regular file")
                             .arg(captureInCurrentFolder()));
        QVERIFY(console.lines().isEmpty());
        QVERIFY(!QFileInfo::exists(captureInCurrentFolder()));
    }

    void captureFileInReadOnlyFolder()
    {
        if (::geteuid() == 0)
            QSKIP("root may write into a read-only folder");
        QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::ExeOwner));
        const QString marker = QDir::tempPath() + QStringLiteral("/quillmark-runner-marker-")
                               + QString::number(::getpid());
        QFile::remove(marker);

        ScriptedDialogsGuard dialogs;
        ConsoleLines console;
        QVERIFY(!RunAndCapture(console, {}, kChild, quoted("touch:" + marker), false));

        const bool ran = QFile::exists(marker);
        QFile::remove(marker);
        QVERIFY2(!ran, "the tool ran without a capture file");
        QCOMPARE(dialogs->messages.size(), 1);
        QCOMPARE(dialogs->messages.first().caption, kCaption);
        QVERIFY(dialogs->messages.first().text.contains(captureInCurrentFolder()));
        QVERIFY(dialogs->messages.first().text.contains(
            QStringLiteral("System Error Message: Permission denied\n")));
    }

    void readBackFailureRaisesAfterCleanUp()
    {
        // The tool itself deletes the capture file before it ends.
        ConsoleLines console;
        console.addLine(QStringLiteral("before"));
        bool raised = false;
        try {
            RunAndCapture(console, {}, kChild,
                          QStringLiteral("out:lost ") + quoted("rm:" + captureInCurrentFolder()),
                          false);
        } catch (const AppError &error) {
            raised = true;
            QVERIFY2(error.message().contains(captureInCurrentFolder()),
                     qPrintable(error.message()));
        }
        QVERIFY(raised);
        QCOMPARE(console.lines(), QStringList{"before"});
        QVERIFY(!IsToolRunning());

        // The runner is usable again afterwards.
        QVERIFY(RunAndCapture(console, {}, kChild, QStringLiteral("out:again"), false));
        QCOMPARE(console.lines(), (QStringList{"before", "again"}));
    }

    // ---- what root starts -------------------------------------------------

    void untrustedToolIsNotStartedAsRoot_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("onFolder");
        QTest::addColumn<QString>("reason");
        QTest::newRow("tool of another user") << "chown nobody" << false << "is owned by user nobody";
        QTest::newRow("folder of another user") << "chown nobody" << true << "is owned by user nobody";
        QTest::newRow("group may write the folder") << "chmod g+w" << true << "is writable by group root";
        QTest::newRow("ACL lets a group write the folder") << "setfacl -m g:nogroup:rwx" << true
                                                           << "is writable by group nogroup";
        QTest::newRow("ACL lets a user write the tool") << "setfacl -m u:nobody:rwx" << false
                                                        << "is writable by user nobody";
        // (A sticky folder of root's keeps root's tool: see tst_TrustedProgram.)
        QTest::newRow("folder every user may write") << "chmod 0777" << true << "is writable by every user";
    }
    void untrustedToolIsNotStartedAsRoot()
    {
        QFETCH(QString, change);
        QFETCH(bool, onFolder);
        QFETCH(QString, reason);
        QM_SKIP_UNLESS_ROOT(nobody);
        const QString sdk = m_dir->filePath(QStringLiteral("sdk-bin"));
        QVERIFY(QDir().mkpath(sdk));
        const QString tool = sdk + QStringLiteral("/signtool.exe");
        const QString ran = m_dir->filePath(QStringLiteral("ran"));
        testfiles::writeScript(tool, "echo ran > '" + QFile::encodeName(ran) + "'\necho output\n");
        // The tool runs while it is root's alone...
        ConsoleLines console;
        QVERIFY(RunAndCapture(console, QString(), tool, QStringLiteral("sign /a "), true));
        QVERIFY(QFile::remove(ran));

        // ...and not once another user could have changed it.
        const QStringList words = change.split(u' ');
        const QString target = onFolder ? sdk : tool;
        QVERIFY(testdata::runProgram(QStandardPaths::findExecutable(words.first()), words.mid(1) + QStringList{target})
                    .ok());
        ScriptedDialogsGuard dialogs;
        ConsoleLines refused;
        QVERIFY(!RunAndCapture(refused, QString(), tool, QStringLiteral("sign /a "), true));
        QVERIFY(!QFile::exists(ran));
        QVERIFY(refused.lines().isEmpty());
        QCOMPARE(dialogs->messages.size(), 1);
        const ShownMessage &shown = dialogs->messages.first();
        QCOMPARE(shown.kind, MessageKind::Error);
        QCOMPARE(shown.caption, kCaption);
        QCOMPARE(shown.text, UntrustedToolText(tool, target + u' ' + reason));
        QVERIFY2(shown.text.startsWith(QStringLiteral("signtool.exe is not used: ") + target + u' ' + reason + u'.'),
                 qPrintable(shown.text));
        QVERIFY(!QFile::exists(captureInCurrentFolder()));
    }

    // ---- passwords ----------------------------------------------------------

    // A stand-in tool records what other users could read of it (its
    // argument list; its environment, which the same user can read) and what
    // came through descriptors 3 and 4.
    void passwordsReachTheToolThroughDescriptors_data()
    {
        QTest::addColumn<QString>("toolName");
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("seenArguments");
        QTest::addColumn<QStringList>("secrets");
        QTest::newRow("signtool.exe /p")
            << "signtool.exe" << R"(sign /f "/keys/my key.pfx" /p "pass word" /v "/files/app.exe" )"
            << "sign /f /keys/my key.pfx /pfd 3 /v /files/app.exe" << QStringList{"pass word"};
        QTest::newRow("/p after the first file is a file")
            << "SignTool.EXE" << R"(sign /f "k.pfx" /p "s3cret" app.exe /p )"
            << "sign /f k.pfx /pfd 3 app.exe /p" << QStringList{"s3cret"};
        QTest::newRow("pvk2pfx.exe -pi and -po")
            << "pvk2pfx.exe" << R"(-pvk "/c/Team.pvk" -pi "pvk secret" -spc "/c/Team.spc" -pfx "/c/Team.pfx" -po "New Secret" -f)"
            << "-pvk /c/Team.pvk -pifd 3 -spc /c/Team.spc -pfx /c/Team.pfx -pofd 4 -f"
            << QStringList{"pvk secret", "New Secret"};
    }
    void passwordsReachTheToolThroughDescriptors()
    {
        QFETCH(QString, toolName);
        QFETCH(QString, arguments);
        QFETCH(QString, seenArguments);
        QFETCH(QStringList, secrets);
        const QString tool = m_dir->filePath(toolName);
        testfiles::writeScript(tool, "tr '\\000' '\\n' < /proc/$$/cmdline > cmdline\n"
                                     "tr '\\000' '\\n' < /proc/$$/environ > environ\n"
                                     "cat <&3 > fd3 2>/dev/null\ncat <&4 > fd4 2>/dev/null\n"
                                     "ls /proc/$$/fd > fds\n");
        ConsoleLines console;
        QVERIFY(RunAndCapture(console, m_dir->path(), tool, arguments, true));

        const QStringList argv = QString::fromUtf8(testdata::fileBytes(m_dir->filePath("cmdline"))).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(argv.mid(2).join(u' '), seenArguments); // after "/bin/sh" and the script
        const QByteArray environment = testdata::fileBytes(m_dir->filePath("environ"));
        QVERIFY(!environment.isEmpty());
        for (const QString &secret : secrets) {
            QVERIFY2(!argv.join(u' ').contains(secret), qPrintable(argv.join(u' ')));
            QVERIFY(!environment.contains(secret.toUtf8()));
        }
        QCOMPARE(testdata::fileBytes(m_dir->filePath("fd3")), secrets.value(0).toUtf8());
        QCOMPARE(testdata::fileBytes(m_dir->filePath("fd4")), secrets.value(1).toUtf8());
    }

    // The real signtool.exe while it runs: its osslsigncode (a stand-in on
    // PATH) reads the tool's argument list and environment in /proc.
    void realSigntoolShowsNoPasswordWhileItRuns()
    {
        const QString bin = m_dir->filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin));
        const QString seen = m_dir->filePath(QStringLiteral("seen"));
        testfiles::writeScript(bin + "/osslsigncode",
                               "{ tr '\\000' ' ' < /proc/$PPID/cmdline; echo; tr '\\000' ' ' < /proc/$PPID/environ; }"
                               " > '" + QFile::encodeName(seen) + "'\nexit 1\n");
        const QString pfx = m_dir->filePath(QStringLiteral("key.pfx"));
        QVERIFY(testdata::writePkcs12(pfx, testdata::makeCertificate(), QStringLiteral("Top Secret 42")));
        const QString file = m_dir->filePath(QStringLiteral("app.exe"));
        QVERIFY(testdata::writePeFile(file, 3));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin) + ':' + path);
        // Program files signed by osslsigncode, as this asks (otherwise the
        // tool signs them itself and starts no child).
        qputenv("QUILLMARK_PE_SIGNER", "osslsigncode");
        ConsoleLines console;
        const bool signedOk = RunAndCapture(console, QString(), testdata::sdkToolPath("signtool.exe"),
                                            QStringLiteral("sign /f \"%1\" /p \"Top Secret 42\" /ph \"%2\" ").arg(pfx, file),
                                            true);
        qunsetenv("QUILLMARK_PE_SIGNER");
        qputenv("PATH", path);
        QVERIFY(!signedOk); // the stand-in fails the signature
        const QByteArray report = testdata::fileBytes(seen);
        QVERIFY2(report.contains("signtool.exe sign /f " + QFile::encodeName(pfx) + " /pfd 3 "), report.constData());
        QVERIFY2(!report.contains("Top Secret"), report.constData());
    }

    void secondRunDuringARunIsRefused()
    {
        bool refused = false;
        bool secondRan = false;
        QTimer::singleShot(30, [&] {
            ConsoleLines other;
            try {
                secondRan = RunAndCapture(other, {}, kChild, QStringLiteral("out:x"), false);
            } catch (const AppError &) {
                refused = true;
            }
        });
        ConsoleLines console;
        QVERIFY(RunAndCapture(console, {}, kChild, QStringLiteral("sleep:200 out:first"), false));
        QVERIFY(refused);
        QVERIFY(!secondRan);
        QCOMPARE(console.lines(), QStringList{"first"});
    }

private:
    QString m_previousFolder;
    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_MAIN(TestToolRunner)
#include "tst_ToolRunner.moc"
