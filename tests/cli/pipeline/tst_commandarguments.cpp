// The command line of the build-server command: which arguments ask for it,
// and everything the parser takes or refuses.

#include "pipeline/CommandArguments.h"

#include <QtTest>

class TestCommandArguments : public QObject {
    Q_OBJECT
private slots:
    void onlyTheCommandsOwnOptionsLeaveTheWindow();
    void takesEveryOptionInBothForms();
    void aNameOrAQmkFile();
    void refusesWhatItCannotTake_data();
    void refusesWhatItCannotTake();
    void helpAndVersionWinOverEverything();
    void listProjectsStandsAlone();
};

namespace {

CommandArguments parse(const QStringList &arguments)
{
    return ParseCommandArguments(arguments);
}

} // namespace

void TestCommandArguments::onlyTheCommandsOwnOptionsLeaveTheWindow()
{
    // The window reads no argument but Qt's own: those (with one dash or
    // two, with their values) and a desktop's file arguments still open it.
    QVERIFY(!SelectsCommand({}));
    QVERIFY(!SelectsCommand({"app.exe", "-style", "fusion", "--reverse", "-"}));
    QVERIFY(!SelectsCommand({"-platform", "xcb", "--stylesheet=a.qss", "-qwindowtitle", "Q"}));
    // A misspelt or unknown option is the command's usage error, never a
    // window that a build job under a virtual display would wait on.
    for (const QStringList &misspelt : {QStringList{"--sign-projects", "--dry"},
                                        QStringList{"--sign-projct", "Release"},
                                        QStringList{"-sign-project", "Release"},
                                        QStringList{"app.exe", "--sign"}, QStringList{"-x"}}) {
        QVERIFY2(SelectsCommand(misspelt), qPrintable(misspelt.join(' ')));
        QCOMPARE(parse(misspelt).action, CommandAction::UsageError);
    }
    QVERIFY(SelectsCommand({"app.exe", "--sign-project", "Nightly"}));
    QVERIFY(SelectsCommand({"--sign-project=Nightly"}));
    QVERIFY(SelectsCommand({"--list-projects"}));
    QVERIFY(SelectsCommand({"-h"}));
    QVERIFY(SelectsCommand({"--version"}));
    // An option of the command alone is a usage error, not the window.
    QVERIFY(SelectsCommand({"--dry-run"}));
    QCOMPARE(parse({"--dry-run"}).action, CommandAction::UsageError);
}

void TestCommandArguments::takesEveryOptionInBothForms()
{
    const CommandArguments separate =
        parse({"--sign-project", "Nightly", "--skip-missing", "--dry-run", "--password-fd", "7",
               "--sdk-folder", "/opt/sdk"});
    QCOMPARE(separate.action, CommandAction::SignProject);
    QCOMPARE(separate.project, QString("Nightly"));
    QVERIFY(!separate.projectIsFile);
    QVERIFY(separate.skipMissing);
    QVERIFY(separate.dryRun);
    QCOMPARE(separate.passwordFd, std::optional<int>(7));
    QVERIFY(separate.passwordFile.isEmpty());
    // Held as the folder picker holds it.
    QCOMPARE(separate.sdkFolder, QString("/opt/sdk/"));

    const CommandArguments joined = parse({"--password-file=/run/secrets/pfx", "--sdk-folder=/opt/sdk/",
                                           "--sign-project=Nightly"});
    QCOMPARE(joined.action, CommandAction::SignProject);
    QCOMPARE(joined.passwordFile, QString("/run/secrets/pfx"));
    QVERIFY(!joined.passwordFd);
    QCOMPARE(joined.sdkFolder, QString("/opt/sdk/"));
    QVERIFY(!joined.skipMissing);
    QVERIFY(!joined.dryRun);

    // Files, overrides and the run's options; "--" ends the options.
    const CommandArguments all = parse(
        {"--sign-project", "N", "a.exe", "--pfx=k.pfx", "--timestamp-url", "http://ts", "--description",
         "Rel", "--description-url=https://d", "--verbose", "--verify-all", "--json", "--timeout", "90",
         "--password-env", "PFX_PW", "b.dll", "--", "--odd.exe"});
    QCOMPARE(all.action, CommandAction::SignProject);
    QCOMPARE(all.files, QStringList({"a.exe", "b.dll", "--odd.exe"}));
    QCOMPARE(all.pfx, std::optional<QString>("k.pfx"));
    QCOMPARE(all.timestampUrl, std::optional<QString>("http://ts"));
    QCOMPARE(all.description, std::optional<QString>("Rel"));
    QCOMPARE(all.descriptionUrl, std::optional<QString>("https://d"));
    QVERIFY(all.verbose && all.verify && all.verifyAll && all.json);
    QCOMPARE(all.timeoutSeconds, std::optional<int>(90));
    QCOMPARE(all.passwordEnv, QString("PFX_PW"));
    const CommandArguments fromList = parse({"--sign-project=N", "--files-from", "-", "--best-certificate",
                                             "--no-timestamp", "--verify"});
    QCOMPARE(fromList.filesFrom, QString("-"));
    QVERIFY(fromList.bestCertificate && fromList.noTimestamp && fromList.verify && !fromList.verifyAll);
    QVERIFY(fromList.files.isEmpty());

    // A value that looks like an option is a value when it is asked for.
    QCOMPARE(parse({"--sign-project", "--dry-run.qmk"}).project, QString("--dry-run.qmk"));
    QCOMPARE(parse({"--sign-project", "N", "--password-fd", "0"}).passwordFd, std::optional<int>(0));
}

void TestCommandArguments::aNameOrAQmkFile()
{
    const CommandArguments file = parse({"--sign-project", "jobs/release build.qmk"});
    QCOMPARE(file.action, CommandAction::SignProject);
    QVERIFY(file.projectIsFile);
    QCOMPARE(file.project, QString("jobs/release build.qmk"));
    QVERIFY(parse({"--sign-project", "Nightly.qmk"}).projectIsFile);
    // The extension is matched as the project list matches it.
    QVERIFY(!parse({"--sign-project", "Nightly.QMK"}).projectIsFile);
    QCOMPARE(parse({"--sign-project", "Release 2.0"}).project, QString("Release 2.0"));
}

void TestCommandArguments::refusesWhatItCannotTake_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason");
    QTest::newRow("unknown option") << QStringList{"--sign-project", "N", "--force"}
                                    << "unknown option '--force'";
    QTest::newRow("unknown option with value") << QStringList{"--sign-project", "N", "--mode=x"}
                                               << "unknown option '--mode'";
    QTest::newRow("stray argument") << QStringList{"--list-projects", "app.exe"}
                                    << "unexpected argument 'app.exe'";
    QTest::newRow("files twice over") << QStringList{"--sign-project", "N", "a.exe", "--files-from", "l"}
                                      << "files on the command line and --files-from exclude each other";
    QTest::newRow("stdin twice") << QStringList{"--sign-project", "N", "--files-from=-", "--password-fd=0"}
                                 << "--files-from - and --password-fd 0 both read standard input";
    QTest::newRow("pfx and best") << QStringList{"--sign-project", "N", "--pfx", "k.pfx", "--best-certificate"}
                                  << "--pfx and --best-certificate exclude each other";
    QTest::newRow("stamp and none") << QStringList{"--sign-project", "N", "--timestamp-url=http://t", "--no-timestamp"}
                                    << "--timestamp-url and --no-timestamp exclude each other";
    QTest::newRow("json dry run") << QStringList{"--sign-project", "N", "--json", "--dry-run"}
                                  << "--json and --dry-run exclude each other";
    QTest::newRow("zero timeout") << QStringList{"--sign-project", "N", "--timeout", "0"}
                                  << "--timeout needs a number of seconds from 1 to 604800, not '0'";
    QTest::newRow("timeout words") << QStringList{"--sign-project", "N", "--timeout=1m"}
                                   << "--timeout needs a number of seconds from 1 to 604800, not '1m'";
    QTest::newRow("env and fd") << QStringList{"--sign-project", "N", "--password-env", "PW", "--password-fd", "3"}
                                << "--password-fd, --password-file and --password-env exclude each other";
    QTest::newRow("no value at the end") << QStringList{"--sign-project"}
                                         << "--sign-project needs a value";
    QTest::newRow("empty value") << QStringList{"--sign-project="} << "--sign-project needs a value";
    QTest::newRow("flag with a value") << QStringList{"--sign-project", "N", "--dry-run=yes"}
                                       << "--dry-run takes no value";
    QTest::newRow("project twice") << QStringList{"--sign-project", "A", "--sign-project", "B"}
                                   << "--sign-project is given twice";
    QTest::newRow("option twice") << QStringList{"--sign-project", "A", "--sdk-folder", "/a",
                                                 "--sdk-folder", "/b"}
                                  << "--sdk-folder is given twice";
    QTest::newRow("descriptor not a number") << QStringList{"--sign-project", "N", "--password-fd", "x1"}
                                             << "--password-fd needs a descriptor number, not 'x1'";
    QTest::newRow("negative descriptor") << QStringList{"--sign-project", "N", "--password-fd=-1"}
                                         << "--password-fd needs a descriptor number, not '-1'";
    QTest::newRow("descriptor too large")
        << QStringList{"--sign-project", "N", "--password-fd", "99999999999"}
        << "--password-fd needs a descriptor number, not '99999999999'";
    QTest::newRow("two password sources")
        << QStringList{"--sign-project", "N", "--password-fd", "3", "--password-file", "/p"}
        << "--password-fd, --password-file and --password-env exclude each other";
    QTest::newRow("option without a project") << QStringList{"--skip-missing", "--dry-run"}
                                              << "--skip-missing needs --sign-project";
    QTest::newRow("name with a slash") << QStringList{"--sign-project", "../other/Nightly"}
                                       << "'../other/Nightly' is no project name (a name holds no '/'); "
                                          "give the path of its .qmk file instead";
    QTest::newRow("list and sign") << QStringList{"--list-projects", "--sign-project", "N"}
                                   << "--list-projects and --sign-project exclude each other";
    QTest::newRow("list with a sign option") << QStringList{"--list-projects", "--dry-run"}
                                             << "--dry-run needs --sign-project";
}

void TestCommandArguments::refusesWhatItCannotTake()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
    const CommandArguments parsed = parse(arguments);
    QCOMPARE(parsed.action, CommandAction::UsageError);
    QCOMPARE(parsed.usageError, reason);
}

void TestCommandArguments::helpAndVersionWinOverEverything()
{
    QCOMPARE(parse({"--sign-project", "N", "--bogus", "--help"}).action, CommandAction::Help);
    QCOMPARE(parse({"-h"}).action, CommandAction::Help);
    QCOMPARE(parse({"--version", "--list-projects"}).action, CommandAction::Version);
    QCOMPARE(parse({"--version", "--help"}).action, CommandAction::Help);
    // Every option the parser takes is in the help text.
    const QString help = CommandHelpText();
    for (const char *option :
         {"--sign-project", "--skip-missing", "--password-fd", "--password-file", "--password-env",
          "--sdk-folder", "--dry-run", "--list-projects", "--help", "--version", "--files-from", "--pfx",
          "--best-certificate", "--timestamp-url", "--no-timestamp", "--description", "--description-url",
          "--verbose", "--verify", "--verify-all", "--json", "--timeout"})
        QVERIFY2(help.contains(QLatin1String(option)), option);
}

void TestCommandArguments::listProjectsStandsAlone()
{
    QCOMPARE(parse({"--list-projects"}).action, CommandAction::ListProjects);
}

QTEST_APPLESS_MAIN(TestCommandArguments)
#include "tst_commandarguments.moc"
