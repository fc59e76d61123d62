// The folder dialog behind DivBrowseForFolder, and the shared dialog object
// that remembers the last choice.

#include "dialogs/FolderDialog.h"
#include "filelist/TDivBrowseForFolder.h"
#include "support/ScriptedDialogs.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <QtTest>

class TestFolderDialog : public QObject {
    Q_OBJECT
private slots:
    void showsPromptAndOpensAtTheGivenFolder();
    void okIsAlwaysEnabledAndGivesTheSelection();
    void cancelGivesNothing();
    void sharedObjectSeedsTheNextShowing();
};

void TestFolderDialog::showsPromptAndOpensAtTheGivenFolder()
{
    QTemporaryDir folder;
    FolderDialog dialog;
    dialog.setPrompt(QStringLiteral("Select the Folder to copy the files to..."));
    dialog.selectPath(folder.path());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Select Folder"));
    QCOMPARE(dialog.findChild<QLabel *>("lbPrompt")->text(),
             QStringLiteral("Select the Folder to copy the files to..."));
    QCOMPARE(dialog.selectedPath(), folder.path());
}

void TestFolderDialog::okIsAlwaysEnabledAndGivesTheSelection()
{
    QTemporaryDir folder;
    FolderDialog dialog;
    dialog.selectPath(folder.path());
    auto *buttons = dialog.findChild<QDialogButtonBox *>("bbButtons");
    QPushButton *ok = buttons->button(QDialogButtonBox::Ok);
    QTimer::singleShot(0, &dialog, [&] {
        QVERIFY(ok->isEnabled());
        ok->click();
    });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(dialog.selectedPath(), folder.path());

    // With nothing chosen, the root is the answer.
    FolderDialog fresh;
    QCOMPARE(fresh.selectedPath(), QStringLiteral("/"));
}

void TestFolderDialog::cancelGivesNothing()
{
    FolderDialog dialog;
    QTimer::singleShot(0, &dialog, [&] { QTest::keyClick(&dialog, Qt::Key_Escape); });
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
}

void TestFolderDialog::sharedObjectSeedsTheNextShowing()
{
    ScriptedDialogsGuard dialogs;
    TDivBrowseForFolder browse;
    browse.Title = QStringLiteral("first prompt");
    dialogs->folderAnswers.enqueue(QStringLiteral("/srv/out"));
    QVERIFY(browse.Execute());
    QCOMPARE(browse.Path, QStringLiteral("/srv/out"));

    browse.Title = QStringLiteral("second prompt");
    QVERIFY(!browse.Execute());   // cancelled: the last choice stays
    QCOMPARE(browse.Path, QStringLiteral("/srv/out"));
    QCOMPARE(dialogs->dialogs.size(), 2);
    QCOMPARE(dialogs->dialogs[1].prompt, QStringLiteral("second prompt"));
    QCOMPARE(dialogs->dialogs[1].startPath, QStringLiteral("/srv/out"));
    QCOMPARE(dialogs->dialogs[1].caption, QStringLiteral("Select Folder"));
}

QTEST_MAIN(TestFolderDialog)
#include "tst_folderdialog.moc"
