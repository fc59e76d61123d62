// The folder dialog behind DivBrowseForFolder, and the shared dialog object
// that remembers the last choice.

#include "dialogs/FolderDialog.h"
#include "filelist/TDivBrowseForFolder.h"
#include "support/ScriptedDialogs.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QScrollBar>
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
    void longFolderNamesAreNotCut();
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

// The tree cut long folder names at its edge; now its column is as wide as
// the names shown, and the tree scrolls sideways to reach their ends.
void TestFolderDialog::longFolderNamesAreNotCut()
{
    QTemporaryDir folder;
    const QString longName = QStringLiteral(
        "release-candidate-output-for-the-windows-installer-with-every-language-and-symbols");
    QVERIFY(QDir(folder.path()).mkdir(longName));
    FolderDialog dialog;
    dialog.selectPath(folder.path() + QLatin1Char('/') + longName);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY2(dialog.width() >= 560, qPrintable(QString::number(dialog.width())));

    auto *tree = dialog.findChild<QTreeView *>(QStringLiteral("tvFolders"));
    auto *model = qobject_cast<QFileSystemModel *>(tree->model());
    QVERIFY(tree && model);
    const QModelIndex index = model->index(folder.path() + QLatin1Char('/') + longName);
    QTRY_VERIFY(tree->visualRect(index).isValid());
    const int textWidth = tree->fontMetrics().horizontalAdvance(longName);
    // Wider than the tree shows: the column takes the whole name, and the
    // tree can scroll to its end.
    QTRY_VERIFY2(tree->header()->sectionSize(0) >= tree->visualRect(index).left()
                     + tree->horizontalScrollBar()->value() + textWidth,
                 qPrintable(QStringLiteral("column %1, name ends at %2")
                                .arg(tree->header()->sectionSize(0))
                                .arg(tree->visualRect(index).left() + textWidth)));
    QTRY_VERIFY(tree->horizontalScrollBar()->maximum() > 0);
    // The chosen folder is in view once the folders above it are read
    // (each one read pushed it further down).
    QTRY_VERIFY(tree->viewport()->rect().contains(tree->visualRect(index).topLeft()));
}

QTEST_MAIN(TestFolderDialog)
#include "tst_folderdialog.moc"
