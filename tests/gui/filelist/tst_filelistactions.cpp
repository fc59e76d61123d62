// The main window's file-list actions: drops, remove, clear and copy to a
// folder, run against a real list and real files.

#include "FileListTestKit.h"

#include "support/ScriptedDialogs.h"

#include <QDirIterator>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

class TestFileListActions : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void captionTexts();
    void dropSkipsFolders();
    void dropOfOnlyAFolderAddsNothing();
    void sweepRemovesFolderEntries();

    void removeSelectedAfterYes();
    void emptyListOrNoSelectionAsksNothing();
    void noOrEscapeChangesNothing();
    void clearAfterYes();

    void copyAllToFolder();
    void sameNameUpperEntryWins();
    void copyOntoItselfLeavesFileIntact();
    void listedTargetIsNotOverwrittenFirst();
    void failedCopyKeepsEntryAndTarget();
    void failedReadKeepsExistingTarget();
    void plantedLinkInTargetIsReplacedNotFollowed();
    void readOnlyTargetIsNotReplaced();

private:
    TDivFileList *makeList(const QStringList &relativePaths);
    QTemporaryDir *m_dir = nullptr;
    QString m_root;
    TDivFileList *m_list = nullptr;
};

void TestFileListActions::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_root = m_dir->path() + QLatin1Char('/');
    m_list = new TDivFileList;
}

void TestFileListActions::cleanup()
{
    delete m_list;
    m_list = nullptr;
    delete m_dir;
    m_dir = nullptr;
}

TDivFileList *TestFileListActions::makeList(const QStringList &relativePaths)
{
    for (const QString &relative : relativePaths)
        m_list->AddFileEntry(makeFile(m_root + relative, relative.toUtf8()));
    return m_list;
}

void TestFileListActions::captionTexts()
{
    QCOMPARE(FileCountCaption(0), QStringLiteral("Files to be Digitally Signed: (0)"));
    QCOMPARE(FileCountCaption(12345), QStringLiteral("Files to be Digitally Signed: (12345)"));
    QCOMPARE(BareFileCountCaption(), QStringLiteral("Files to be Digitally Signed:"));
}

void TestFileListActions::dropSkipsFolders()
{
    AddItemSweep sweep(*m_list);
    const QString b = makeFile(m_root + "b.exe");
    const QString a = makeFile(m_root + "a.exe");
    QDir().mkpath(m_root + "folder");
    makeFile(m_root + "folder/inside.exe");
    AddDroppedPaths(*m_list, {b, m_root + "folder", a, m_root + "missing.exe", b});
    QCOMPARE(fullPaths(*m_list), (QStringList{b, a}));
    QCOMPARE(sweep.raised, 2);

    // Dropping a listed file again keeps the order.
    AddDroppedPaths(*m_list, {a, m_root + "./b.exe"});
    QCOMPARE(fullPaths(*m_list), (QStringList{b, a}));
}

void TestFileListActions::dropOfOnlyAFolderAddsNothing()
{
    AddItemSweep sweep(*m_list);
    QSignalSpy changed(m_list, &TDivFileList::changed);
    QDir().mkpath(m_root + "folder");
    AddDroppedPaths(*m_list, {m_root + "folder", m_root + "folder/"});
    QCOMPARE(m_list->count(), 0);
    QCOMPARE(sweep.raised, 0);
    QCOMPARE(changed.count(), 0);
}

void TestFileListActions::sweepRemovesFolderEntries()
{
    // Folders that enter by another route (a project file) are swept at the
    // next add.
    makeList({"one.exe"});
    QDir().mkpath(m_root + "f1");
    QDir().mkpath(m_root + "f2");
    m_list->AddFileEntry(m_root + "f1");
    makeList({"two.exe"});
    m_list->AddFileEntry(m_root + "f2");
    QCOMPARE(m_list->count(), 4);
    RemoveFolderEntries(*m_list);
    QCOMPARE(captions(*m_list), (QStringList{"one.exe", "two.exe"}));
    QCOMPARE(m_list->folderEntryCount(), 0);
}

void TestFileListActions::removeSelectedAfterYes()
{
    ScriptedDialogsGuard dialogs;
    makeList({"1.exe", "2.exe", "3.exe", "4.exe", "5.exe"});
    m_list->setSelected(1, true);
    m_list->setSelected(3, true);
    dialogs->messageAnswers.enqueue(DialogButton::Yes);
    QVERIFY(RemoveSelectedEntries(*m_list));
    QCOMPARE(dialogs->messages.size(), 1);
    const ShownMessage &asked = dialogs->messages.first();
    QCOMPARE(asked.caption, QStringLiteral("Confirm"));
    QCOMPARE(asked.text, QStringLiteral("Do you want to remove any selected files from the list?\n\n"
                                        "(To select more than one file hold down the CTRL key)"));
    QCOMPARE(asked.defaultButton, DialogButton::Yes);
    QCOMPARE(asked.escapeButton, DialogButton::No);
    QCOMPARE(captions(*m_list), (QStringList{"1.exe", "3.exe", "5.exe"}));
    QCOMPARE(FileCountCaption(m_list->count()), QStringLiteral("Files to be Digitally Signed: (3)"));
    QCOMPARE(m_list->selectedCount(), 0);
    // The files stay on disk.
    QVERIFY(QFile::exists(m_root + "2.exe") && QFile::exists(m_root + "4.exe"));
}

void TestFileListActions::emptyListOrNoSelectionAsksNothing()
{
    ScriptedDialogsGuard dialogs;
    dialogs->messageAnswers.enqueue(DialogButton::Yes);
    QVERIFY(!RemoveSelectedEntries(*m_list));
    QVERIFY(!ClearAllEntries(*m_list));
    QVERIFY(dialogs->messages.isEmpty());

    makeList({"a.exe", "b.exe"});
    QVERIFY(!RemoveSelectedEntries(*m_list));
    QVERIFY(dialogs->messages.isEmpty());
    QCOMPARE(m_list->count(), 2);
}

void TestFileListActions::noOrEscapeChangesNothing()
{
    ScriptedDialogsGuard dialogs;
    makeList({"a.exe", "b.exe", "c.exe"});
    m_list->setSelected(1, true);
    dialogs->messageAnswers.enqueue(DialogButton::No);
    QVERIFY(!RemoveSelectedEntries(*m_list));
    // An empty script answers with the escape button, as Escape would.
    QVERIFY(!RemoveSelectedEntries(*m_list));
    QVERIFY(!ClearAllEntries(*m_list));
    dialogs->messageAnswers.enqueue(DialogButton::No);
    QVERIFY(!ClearAllEntries(*m_list));
    QCOMPARE(dialogs->messages.size(), 4);
    QCOMPARE(captions(*m_list), (QStringList{"a.exe", "b.exe", "c.exe"}));
    QVERIFY(m_list->isSelected(1));
}

void TestFileListActions::clearAfterYes()
{
    ScriptedDialogsGuard dialogs;
    makeList({"a.exe", "b.exe"});
    dialogs->messageAnswers.enqueue(DialogButton::Yes);
    QVERIFY(ClearAllEntries(*m_list));
    QCOMPARE(dialogs->messageTexts(), QStringList{"Do you want to clear all files from the list?"});
    QCOMPARE(m_list->count(), 0);
    QVERIFY(m_list->watchedFolders().isEmpty());
    // Listed again after a clear: nothing of the old entries lingers.
    QCOMPARE(m_list->AddFileEntry(m_root + "a.exe"), 0);
}

void TestFileListActions::copyAllToFolder()
{
    makeList({"src/a.exe", "src/b.dll"});
    QFile::setPermissions(m_root + "src/a.exe", QFile::permissions(m_root + "src/a.exe") | QFile::ExeOwner);
    QDir().mkpath(m_root + "out");
    makeFile(m_root + "out/b.dll", "old content");

    const CopyOutcome outcome = CopyAllEntriesTo(*m_list, m_root + "out//");
    QCOMPARE(outcome.targetFolder, m_root + "out/");
    QCOMPARE(outcome.copied, 2);
    QVERIFY(outcome.allCopied());
    QCOMPARE(m_list->count(), 0);
    QCOMPARE(readFile(m_root + "out/a.exe"), QByteArray("src/a.exe"));
    QCOMPARE(readFile(m_root + "out/b.dll"), QByteArray("src/b.dll"));
    QVERIFY(QFile::permissions(m_root + "out/a.exe") & QFile::ExeOwner);
    QCOMPARE(QDir(m_root + "out").entryList(QDir::Files | QDir::Hidden).size(), 2);
    QCOMPARE(CopyReportText(outcome),
             "Your files have been copied to this folder:\n\n" + m_root + "out/");

    ScriptedDialogsGuard dialogs;
    ShowCopyReport(outcome);
    QCOMPARE(dialogs->messages.size(), 1);
    QCOMPARE(dialogs->messages.first().caption, QStringLiteral("Information"));
}

void TestFileListActions::sameNameUpperEntryWins()
{
    makeList({"one/setup.exe", "two/setup.exe", "two/other.exe"});
    QCOMPARE(m_list->count(), 3);
    QDir().mkpath(m_root + "out");
    const CopyOutcome outcome = CopyAllEntriesTo(*m_list, m_root + "out");
    QVERIFY(outcome.allCopied());
    QCOMPARE(outcome.copied, 3);
    QCOMPARE(readFile(m_root + "out/setup.exe"), QByteArray("one/setup.exe"));
    QCOMPARE(readFile(m_root + "out/other.exe"), QByteArray("two/other.exe"));
}

void TestFileListActions::copyOntoItselfLeavesFileIntact()
{
    makeList({"here/a.exe", "there/b.exe"});
    const CopyOutcome outcome = CopyAllEntriesTo(*m_list, m_root + "here");
    QVERIFY(outcome.allCopied());
    QCOMPARE(outcome.copied, 2);
    QCOMPARE(m_list->count(), 0);
    QCOMPARE(readFile(m_root + "here/a.exe"), QByteArray("here/a.exe"));
    QCOMPARE(readFile(m_root + "here/b.exe"), QByteArray("there/b.exe"));

    // Also when the list names the file through a link to its folder.
    QVERIFY(QFile::link(m_root + "here", m_root + "alias"));
    m_list->AddFileEntry(m_root + "alias/a.exe");
    QVERIFY(CopyAllEntriesTo(*m_list, m_root + "here/").allCopied());
    QCOMPARE(readFile(m_root + "here/a.exe"), QByteArray("here/a.exe"));
}

void TestFileListActions::listedTargetIsNotOverwrittenFirst()
{
    // The upper entry is the file in the target folder itself; the lower one
    // is copied first and must not destroy it before it is "copied" in place.
    makeList({"out/setup.exe", "in/setup.exe"});
    const CopyOutcome outcome = CopyAllEntriesTo(*m_list, m_root + "out");
    QVERIFY(outcome.allCopied());
    QCOMPARE(readFile(m_root + "out/setup.exe"), QByteArray("out/setup.exe"));
    QCOMPARE(m_list->count(), 0);
}

void TestFileListActions::failedCopyKeepsEntryAndTarget()
{
    m_list->setFollowDelay(600000);   // the vanished source stays listed
    makeList({"src/gone.exe", "src/fine.exe"});
    QDir().mkpath(m_root + "out");
    makeFile(m_root + "out/gone.exe", "keep me");
    QVERIFY(QFile::remove(m_root + "src/gone.exe"));

    const CopyOutcome outcome = CopyAllEntriesTo(*m_list, m_root + "out");
    QVERIFY(!outcome.allCopied());
    QCOMPARE(outcome.copied, 1);
    QCOMPARE(outcome.failures.size(), 1);
    QCOMPARE(outcome.failures.first().source, m_root + "src/gone.exe");
    QVERIFY(!outcome.failures.first().reason.isEmpty());
    QCOMPARE(captions(*m_list), QStringList{"gone.exe"});
    QCOMPARE(readFile(m_root + "out/gone.exe"), QByteArray("keep me"));
    QCOMPARE(readFile(m_root + "out/fine.exe"), QByteArray("src/fine.exe"));

    const QString report = CopyReportText(outcome);
    QVERIFY(!report.startsWith("Your files have been copied"));
    QCOMPARE(report, "Some files could not be copied to this folder:\n\n" + m_root + "out/\n\n"
                         + m_root + "src/gone.exe: " + outcome.failures.first().reason);
    ScriptedDialogsGuard dialogs;
    ShowCopyReport(outcome);
    QCOMPARE(dialogs->messages.first().caption, QStringLiteral("Warning"));

    // A folder that does not exist: every file fails, every entry stays.
    m_list->AddFileEntry(makeFile(m_root + "src/more.exe"));
    const CopyOutcome nowhere = CopyAllEntriesTo(*m_list, m_root + "no/such/folder");
    QCOMPARE(nowhere.copied, 0);
    QCOMPARE(nowhere.failures.size(), 2);
    QCOMPARE(nowhere.failures.at(0).source, m_root + "src/gone.exe");   // in list order
    QCOMPARE(m_list->count(), 2);
}

void TestFileListActions::failedReadKeepsExistingTarget()
{
    // Reading /proc/self/mem from offset 0 fails in the middle of a copy,
    // after the copy has been opened: the target must come out untouched and
    // no temporary file may be left behind.
    if (!QFile::exists("/proc/self/mem"))
        QSKIP("needs /proc");
    QCOMPARE(m_list->AddFileEntry("/proc/self/mem"), 0);
    QDir().mkpath(m_root + "out");
    makeFile(m_root + "out/mem", "precious");
    const CopyOutcome outcome = CopyAllEntriesTo(*m_list, m_root + "out");
    QCOMPARE(outcome.failures.size(), 1);
    QCOMPARE(m_list->count(), 1);
    QCOMPARE(readFile(m_root + "out/mem"), QByteArray("precious"));
    QCOMPARE(QDir(m_root + "out").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"mem"});
}

void TestFileListActions::plantedLinkInTargetIsReplacedNotFollowed()
{
    // Another user of a shared target folder plants links at the names the
    // copy will use: one to a file of the system, one to a place where a
    // new file would appear. Neither is written through.
    makeList({"src/f1.exe", "src/f2.exe"});
    QDir().mkpath(m_root + "out");
    const QString victim = makeFile(m_root + "system/shadow", "root:secret");
    QVERIFY(QFile::link(victim, m_root + "out/f1.exe"));
    QVERIFY(QFile::link(m_root + "system/new.exe", m_root + "out/f2.exe"));

    const CopyOutcome outcome = CopyAllEntriesTo(*m_list, m_root + "out");
    QVERIFY(outcome.allCopied());
    QCOMPARE(outcome.copied, 2);
    QCOMPARE(readFile(victim), QByteArray("root:secret"));
    QVERIFY(!QFile::exists(m_root + "system/new.exe"));
    for (const QString name : {"f1.exe", "f2.exe"}) {
        QVERIFY2(!QFileInfo(m_root + "out/" + name).isSymLink(), qPrintable(name));
        QCOMPARE(readFile(m_root + "out/" + name), ("src/" + name).toUtf8());
    }
    QCOMPARE(QDir(m_root + "out").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({"f1.exe", "f2.exe"}));

    // A link that leads to the listed file itself is no copy "in place".
    makeList({"src/f3.exe"});
    QVERIFY(QFile::link(m_root + "src/f3.exe", m_root + "out/f3.exe"));
    QVERIFY(CopyAllEntriesTo(*m_list, m_root + "out").allCopied());
    QVERIFY(!QFileInfo(m_root + "out/f3.exe").isSymLink());
    QCOMPARE(readFile(m_root + "out/f3.exe"), QByteArray("src/f3.exe"));
}

void TestFileListActions::readOnlyTargetIsNotReplaced()
{
    makeList({"src/a.exe", "src/b.exe"});
    QDir().mkpath(m_root + "out");
    const QString readOnly = makeFile(m_root + "out/a.exe", "kept");
    QCOMPARE(::chmod(QFile::encodeName(readOnly).constData(), 0444), 0);

    // Even root, who could write it, leaves a file without write bits.
    const CopyOutcome outcome = CopyAllEntriesTo(*m_list, m_root + "out");
    QCOMPARE(outcome.copied, 1);
    QCOMPARE(outcome.failures.size(), 1);
    QCOMPARE(outcome.failures.first().source, m_root + "src/a.exe");
    QCOMPARE(outcome.failures.first().reason, QString("Permission denied"));
    QCOMPARE(captions(*m_list), QStringList{"a.exe"});
    QCOMPARE(readFile(readOnly), QByteArray("kept"));
    QCOMPARE(QFileInfo(readOnly).permissions() & (QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther),
             QFile::Permissions());
    QCOMPARE(readFile(m_root + "out/b.exe"), QByteArray("src/b.exe"));
    QVERIFY(CopyReportText(outcome).startsWith("Some files could not be copied"));
}

QTEST_MAIN(TestFileListActions)
#include "tst_filelistactions.moc"
