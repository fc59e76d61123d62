// The main window's file-list handlers wired into the real window: drops,
// the count caption, Remove (button and Delete key), Clear List, the popup
// menu and "Copy File(s) To...".

#include "gui/filelist/FileListTestKit.h"

#include "mainwindow/u_frmMain.h"
#include "support/ScriptedDialogs.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
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

QTEST_MAIN(TestMainWindowFileList)
#include "tst_frmmain_filelist.moc"
