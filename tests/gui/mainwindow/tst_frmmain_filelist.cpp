// The main window's file-list handlers wired into the real window: drops,
// the count caption, Remove (button and Delete key), Clear List, the popup
// menu, "Copy File(s) To..." and the keyboard's ways to add files.

#include "gui/filelist/FileListTestKit.h"

#include "mainwindow/u_frmMain.h"
#include "support/ScriptedDialogs.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeView>
#include <QUrl>

class TestMainWindowFileList : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void dropThroughTheWindow();
    void captionFollowsADropOnce();
    void removeByButtonAndDeleteKey();
    void clearLeavesTheBareCaption();
    void popupEnablesCopyOnlyWithEntries();
    void copyToChosenFolder();
    void copyCancelledChangesNothing();
    void pasteAddsFilesAsADropDoes();
    void insertAndAddFilesPickSeveralFiles();
    void shiftF10OpensTheListsMenu();

private:
    void drop(const QStringList &paths);

    QTemporaryDir *m_folder = nullptr;
    QString m_root;
    ScriptedDialogsGuard *m_dialogs = nullptr;
    TfrmMain *m_window = nullptr;
    TDivFileList *m_list = nullptr;
    QLabel *m_caption = nullptr;
};

void TestMainWindowFileList::init()
{
    m_folder = new QTemporaryDir;
    QVERIFY(m_folder->isValid());
    m_root = m_folder->path() + QLatin1Char('/');
    m_dialogs = new ScriptedDialogsGuard;
    m_window = new TfrmMain(m_root + "program/");
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    m_list = m_window->findChild<TDivFileList *>("DivFileList");
    m_caption = m_window->findChild<QLabel *>("lbDivFileList");
    QVERIFY(m_list && m_caption);
}

void TestMainWindowFileList::cleanup()
{
    delete m_window;
    delete m_dialogs;
    delete m_folder;
}

void TestMainWindowFileList::drop(const QStringList &paths)
{
    QMimeData data;
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls.append(QUrl::fromLocalFile(path));
    data.setUrls(urls);
    QWidget *viewport = m_list->currentView()->viewport();
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(viewport, &enter);
    QDropEvent dropped(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(viewport, &dropped);
    QCOMPARE(dropped.dropAction(), Qt::IgnoreAction);
}

void TestMainWindowFileList::dropThroughTheWindow()
{
    QCOMPARE(m_caption->text(), QStringLiteral("Files to be Digitally Signed:"));
    QDir().mkpath(m_root + "folder");
    drop({m_root + "folder"});
    QCOMPARE(m_list->count(), 0);

    const QString a = makeFile(m_root + "a.exe");
    const QString b = makeFile(m_root + "b.exe");
    drop({b, m_root + "folder", a});
    QCOMPARE(fullPaths(*m_list), (QStringList{b, a}));
    QCOMPARE(m_caption->text(), QStringLiteral("Files to be Digitally Signed: (2)"));

    // A folder that reached the list another way goes at the next add.
    m_list->AddFileEntry(m_root + "folder");
    drop({makeFile(m_root + "c.exe")});
    QCOMPARE(captions(*m_list), (QStringList{"b.exe", "a.exe", "c.exe"}));
    QCOMPARE(m_caption->text(), QStringLiteral("Files to be Digitally Signed: (3)"));
}

// The count is measured once for a whole drop, not at every file: during
// the drop the caption keeps the count it had, and then shows the new one.
void TestMainWindowFileList::captionFollowsADropOnce()
{
    drop({makeFile(m_root + "first.exe")});
    QStringList files;
    for (int n = 0; n < 20; ++n)
        files.append(makeFile(m_root + QStringLiteral("f%1.exe").arg(n)));
    QStringList shownWhileAdding;
    connect(m_list, &TDivFileList::addItem, m_window,
            [&](int, bool &) { shownWhileAdding.append(m_caption->text()); });
    drop(files);
    QCOMPARE(shownWhileAdding.size(), 20);
    QCOMPARE(shownWhileAdding.removeDuplicates(), 19);
    QCOMPARE(shownWhileAdding, QStringList{"Files to be Digitally Signed: (1)"});
    QCOMPARE(m_caption->text(), QStringLiteral("Files to be Digitally Signed: (21)"));
    // Wide enough for the whole count, as before.
    QCOMPARE(m_caption->width(), m_caption->sizeHint().width());
}

void TestMainWindowFileList::removeByButtonAndDeleteKey()
{
    drop({makeFile(m_root + "1.exe"), makeFile(m_root + "2.exe"), makeFile(m_root + "3.exe"),
          makeFile(m_root + "4.exe"), makeFile(m_root + "5.exe")});
    auto *remove = m_window->findChild<QPushButton *>("btnRemSel");

    // Nothing selected: no question.
    remove->click();
    QVERIFY(m_dialogs->get().messages.isEmpty());

    m_list->setSelected(0, true);
    m_list->setSelected(4, true);
    m_dialogs->get().messageAnswers.enqueue(DialogButton::Yes);
    remove->click();
    QCOMPARE(captions(*m_list), (QStringList{"2.exe", "3.exe", "4.exe"}));
    QCOMPARE(m_caption->text(), QStringLiteral("Files to be Digitally Signed: (3)"));

    m_list->setSelected(1, true);
    m_list->currentView()->setFocus();
    m_dialogs->get().messageAnswers.enqueue(DialogButton::Yes);
    QTest::keyClick(m_list->currentView(), Qt::Key_Delete);
    QCOMPARE(captions(*m_list), (QStringList{"2.exe", "4.exe"}));
    QCOMPARE(m_dialogs->get().messages.size(), 2);
    // The whole caption shows, count included.
    QVERIFY(m_caption->width() >= m_caption->sizeHint().width());

    // Delete in the password box asks about the selected entries first and
    // still deletes a character there after the answer.
    m_window->findChild<QCheckBox *>("cbUsePFXFile")->setChecked(true);
    auto *password = m_window->findChild<QLineEdit *>("edPassword");
    password->setText("pw");
    password->setFocus();
    password->setCursorPosition(0);
    m_list->setSelected(0, true);
    m_dialogs->get().messageAnswers.enqueue(DialogButton::No);
    QTest::keyClick(password, Qt::Key_Delete, Qt::ControlModifier | Qt::AltModifier);
    QCOMPARE(m_dialogs->get().messages.size(), 3);
    QCOMPARE(captions(*m_list), (QStringList{"2.exe", "4.exe"}));
    m_dialogs->get().messageAnswers.enqueue(DialogButton::No);
    QTest::keyClick(password, Qt::Key_Delete);
    QCOMPARE(m_dialogs->get().messages.size(), 4);
    QCOMPARE(password->text(), QStringLiteral("w"));
}

void TestMainWindowFileList::clearLeavesTheBareCaption()
{
    drop({makeFile(m_root + "a.exe")});
    auto *clear = m_window->findChild<QPushButton *>("btnClearFiles");
    clear->click();   // the empty script answers No
    QCOMPARE(m_list->count(), 1);
    QCOMPARE(m_caption->text(), QStringLiteral("Files to be Digitally Signed: (1)"));
    m_dialogs->get().messageAnswers.enqueue(DialogButton::Yes);
    clear->click();
    QCOMPARE(m_list->count(), 0);
    QCOMPARE(m_caption->text(), QStringLiteral("Files to be Digitally Signed:"));
}

void TestMainWindowFileList::popupEnablesCopyOnlyWithEntries()
{
    auto *copy = m_window->findChild<QAction *>("menitmCopyFilesTo");
    auto *menu = m_window->findChild<QMenu *>("menuFileList");
    QWidget *viewport = m_list->currentView()->viewport();
    auto rightClick = [&] {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20), viewport->mapToGlobal(QPoint(20, 20)));
        QApplication::sendEvent(viewport, &event);
        QTRY_VERIFY(menu->isVisible());
        menu->hide();
    };
    rightClick();
    QVERIFY(!copy->isEnabled());
    drop({makeFile(m_root + "a.exe")});
    rightClick();
    QVERIFY(copy->isEnabled());
}

void TestMainWindowFileList::copyToChosenFolder()
{
    drop({makeFile(m_root + "one/setup.exe", "one"), makeFile(m_root + "two/setup.exe", "two")});
    QDir().mkpath(m_root + "out");
    m_dialogs->get().folderAnswers.enqueue(m_root + "out");
    m_window->findChild<QAction *>("menitmCopyFilesTo")->trigger();

    QCOMPARE(m_dialogs->get().dialogs.size(), 1);
    QCOMPARE(m_dialogs->get().dialogs.first().prompt, QStringLiteral("Select the Folder to copy the files to..."));
    QCOMPARE(readFile(m_root + "out/setup.exe"), QByteArray("one"));
    QCOMPARE(m_list->count(), 0);
    QCOMPARE(m_caption->text(), QStringLiteral("Files to be Digitally Signed: (0)"));
    QVERIFY(!m_window->findChild<QFrame *>("pnlWait")->isVisible());
    QCOMPARE(m_dialogs->get().messageTexts(),
             QStringList{"Your files have been copied to this folder:\n\n" + m_root + "out/"});
}

void TestMainWindowFileList::copyCancelledChangesNothing()
{
    drop({makeFile(m_root + "a.exe")});
    m_window->findChild<QAction *>("menitmCopyFilesTo")->trigger();   // cancelled
    QCOMPARE(m_list->count(), 1);
    QVERIFY(m_dialogs->get().messages.isEmpty());
}

// Ctrl+V in the list takes the same way as a drop: folders and missing
// files are passed over, a listed file is not listed twice, the caption
// counts once.
void TestMainWindowFileList::pasteAddsFilesAsADropDoes()
{
    const QString a = makeFile(m_root + "a.exe");
    const QString b = makeFile(m_root + "b.exe");
    QDir().mkpath(m_root + "folder");
    drop({a});

    auto *copied = new QMimeData;
    copied->setUrls({QUrl::fromLocalFile(m_root + "folder"), QUrl::fromLocalFile(b),
                     QUrl::fromLocalFile(a), QUrl::fromLocalFile(m_root + "gone.exe")});
    QApplication::clipboard()->setMimeData(copied);
    m_list->currentView()->setFocus();
    QTest::keyClick(m_list->currentView(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(fullPaths(*m_list), (QStringList{a, b}));
    QCOMPARE(m_caption->text(), QStringLiteral("Files to be Digitally Signed: (2)"));
    QVERIFY(m_dialogs->get().messages.isEmpty());

    // Paths copied as text from a terminal, with Shift+Insert.
    const QString c = makeFile(m_root + "c.exe");
    QApplication::clipboard()->setText(c + "\n" + m_root + "folder\n");
    QTest::keyClick(m_list->currentView(), Qt::Key_Insert, Qt::ShiftModifier);
    QCOMPARE(fullPaths(*m_list), (QStringList{a, b, c}));
    QCOMPARE(m_caption->text(), QStringLiteral("Files to be Digitally Signed: (3)"));
    QVERIFY(m_dialogs->get().dialogs.isEmpty());   // a paste is no dialog
}

// Insert in the list, and "Add Files..." at the top of its menu, open one
// dialog for several existing files; what is chosen is added as a drop of
// it would be. The dialog opens where the last choice was made.
void TestMainWindowFileList::insertAndAddFilesPickSeveralFiles()
{
    auto *menu = m_window->findChild<QMenu *>("menuFileList");
    QAction *addFiles = menu->actions().value(0);
    QVERIFY(addFiles);
    QCOMPARE(addFiles->objectName(), QStringLiteral("menitmAddFiles"));
    QCOMPARE(addFiles->text(), QStringLiteral("Add Files..."));

    const QString a = makeFile(m_root + "in/a.exe");
    const QString b = makeFile(m_root + "in/b.exe");
    QDir().mkpath(m_root + "in/folder");
    ScriptedDialogs &dialogs = m_dialogs->get();
    dialogs.filesAnswers.enqueue(QStringList{a, m_root + "in/folder", b});
    m_list->currentView()->setFocus();
    QTest::keyClick(m_list->currentView(), Qt::Key_Insert);
    QCOMPARE(dialogs.dialogs.size(), 1);
    const ShownDialog shown = dialogs.dialogs.first();
    QCOMPARE(shown.kind, ShownDialog::OpenFiles);
    QCOMPARE(shown.caption, QStringLiteral("Add Files"));
    QCOMPARE(fullPaths(*m_list), (QStringList{a, b}));
    QCOMPARE(m_caption->text(), QStringLiteral("Files to be Digitally Signed: (2)"));

    // The menu item: the dialog opens in the folder of the last choice; a
    // file listed already is not added again.
    const QString c = makeFile(m_root + "in/c.exe");
    dialogs.filesAnswers.enqueue(QStringList{b, c});
    addFiles->trigger();
    QCOMPARE(dialogs.dialogs.size(), 2);
    QCOMPARE(dialogs.dialogs[1].startPath, m_root + "in/");
    QCOMPARE(fullPaths(*m_list), (QStringList{a, b, c}));

    // Cancelled: nothing changes.
    addFiles->trigger();
    QCOMPARE(dialogs.dialogs.size(), 3);
    QCOMPARE(m_list->count(), 3);
    QVERIFY(dialogs.messages.isEmpty());
}

void TestMainWindowFileList::shiftF10OpensTheListsMenu()
{
    auto *menu = m_window->findChild<QMenu *>("menuFileList");
    auto *copy = m_window->findChild<QAction *>("menitmCopyFilesTo");
    m_list->currentView()->setFocus();
    QTest::keyClick(m_list->currentView(), Qt::Key_F10, Qt::ShiftModifier);
    QTRY_VERIFY(menu->isVisible());
    QVERIFY(!copy->isEnabled());   // the popup's own handler ran: no entries
    // The key reaches the menu, whose first item is Add Files...
    QCOMPARE(menu->actions().value(0)->text(), QStringLiteral("Add Files..."));
    menu->hide();
}

QTEST_MAIN(TestMainWindowFileList)
#include "tst_frmmain_filelist.moc"
