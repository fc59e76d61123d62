// The file list itself: how paths become entries, duplicates, the column
// texts, sorting, views, drops and following changes on disk.

#include "FileListTestKit.h"

#include "support/FileContents.h"
#include "support/ScriptedDialogs.h"
#include "support/TestData.h"

#include "filelist/FileListEntry.h"
#include "filelist/TDivDropFiles.h"
#include "filelist/TDivFileListModel.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QScrollBar>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QMimeDatabase>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolTip>
#include <QTreeView>
#include <QUrl>

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

using namespace filelist;

class TestFileList : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void pathTexts_data();
    void pathTexts();
    void sizeTexts_data();
    void sizeTexts();
    void naturalOrder();

    void addFillsEntry();
    void duplicatesAreRefused();
    void letterCaseNamesAnotherFile();
    void missingPathAddsNothing();
    void folderTextHasOneTrailingSlash();
    void entryInTheRootFolder();
    void folderBecomesEntryUntilSwept();
    void handlersMayRefuseOrRemove();
    void detailColumns();

    void sortByFolderHeaderTwice();
    void sortOtherColumns();
    void viewStyleKeepsOrderAndSelection();

    void dropDeliversPathsAndNoEffect();
    void moveOnlyDragIsRefused();
    void dropDataIsReadOnceAtEntry();
    void droppedNameThatIsNotUtf8IsListedExactly();
    void relativePathInAFolderThatIsNotUtf8();
    void dragOutOffersFiles();
    void popupMenuOpensOnRightClickAndKey();
    void shiftF10OpensPopupAtTheCurrentEntry();
    void pastedPaths_data();
    void pastedPaths();
    void pasteKeysDeliverClipboardFilesLikeADrop();
    void insertAsksForFiles();
    void dropThatAddsNothingIsRefused();
    void columnsFitTheListUntilTheUserSizesThem();
    void fittedColumnWidthsShareTheRest();
    void doubleClickOpensSelectedFiles();
    void hintOutsideEntriesTipOnEntries();

    void followsDeletionAndRename();
    void replacedFileKeepsEntry();
    void f5DropsGoneFile();

private:
    QTemporaryDir *m_dir = nullptr;
    QString m_root;   // m_dir's path with a trailing "/"
    QString m_startFolder;
};

void TestFileList::init()
{
    m_startFolder = QDir::currentPath();
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_root = m_dir->path() + QLatin1Char('/');
}

void TestFileList::cleanup()
{
    QDir::setCurrent(m_startFolder);
    // Names that are not UTF-8 would keep QTemporaryDir from removing it.
    testdata::removeFolderContents(m_dir->path());
    delete m_dir;
    m_dir = nullptr;
}

// ---- Texts --------------------------------------------------------------------

void TestFileList::pathTexts_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << "/a/b/c.exe" << "/a/b/" << "c.exe";
    QTest::newRow("root file") << "/c.exe" << "/" << "c.exe";
    QTest::newRow("double slash at start") << "//c.exe" << "/" << "c.exe";
    QTest::newRow("double slash inside") << "/a//b///c.exe" << "/a/b/" << "c.exe";
    QTest::newRow("trailing slash dropped") << "/a/b/" << "/a/" << "b";
    QTest::newRow("dot segments") << "/a/./b/../c.exe" << "/a/" << "c.exe";
    QTest::newRow("relative") << "sub/c.exe" << "/work/here/sub/" << "c.exe";
    QTest::newRow("dot relative") << "./c.exe" << "/work/here/" << "c.exe";
    QTest::newRow("root itself") << "/" << QString() << QString();
    QTest::newRow("only slashes") << "//" << QString() << QString();
    QTest::newRow("empty") << "" << QString() << QString();
}

void TestFileList::pathTexts()
{
    QFETCH(QString, path);
    QFETCH(QString, folder);
    QFETCH(QString, name);
    const std::optional<SplitPath> split = splitPath(path, QStringLiteral("/work/here"));
    QCOMPARE(split.has_value(), !name.isEmpty());
    if (split) {
        QCOMPARE(split->folder, folder);
        QCOMPARE(split->name, name);
    }
    QCOMPARE(folderText(QStringLiteral("/")), QStringLiteral("/"));
    QCOMPARE(folderText(QStringLiteral("//")), QStringLiteral("/"));
    QCOMPARE(folderText(QStringLiteral("/a/b//")), QStringLiteral("/a/b/"));
    QCOMPARE(folderText(QStringLiteral("/a/b")), QStringLiteral("/a/b/"));
}

void TestFileList::sizeTexts_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("german");
    QTest::newRow("empty") << qint64(0) << "0 KB" << "0 KB";
    QTest::newRow("one byte") << qint64(1) << "1 KB" << "1 KB";
    QTest::newRow("1023") << qint64(1023) << "1 KB" << "1 KB";
    QTest::newRow("1024") << qint64(1024) << "1 KB" << "1 KB";
    QTest::newRow("1536 rounds up") << qint64(1536) << "2 KB" << "2 KB";
    QTest::newRow("1535 rounds down") << qint64(1535) << "1 KB" << "1 KB";
    QTest::newRow("two million") << qint64(2000000) << "1,953 KB" << "1.953 KB";
    QTest::newRow("five gigabytes") << qint64(5) * 1024 * 1024 * 1024 << "5,242,880 KB"
                                    << "5.242.880 KB";
}

void TestFileList::sizeTexts()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, english);
    QFETCH(QString, german);
    QCOMPARE(sizeText(bytes, QLocale(QLocale::English, QLocale::UnitedStates)), english);
    QCOMPARE(sizeText(bytes, QLocale(QLocale::German, QLocale::Germany)), german);
    // The C locale normally leaves separators out; the column keeps them.
    QCOMPARE(sizeText(bytes, QLocale::c()), english);
}

void TestFileList::naturalOrder()
{
    QVERIFY(naturalCompare("file9.exe", "file10.exe") < 0);
    QVERIFY(naturalCompare("File10.exe", "file9.exe") > 0);
    QVERIFY(naturalCompare("alpha.exe", "Beta.exe") < 0);
    QVERIFY(naturalCompare("Beta.exe", "alpha.exe") > 0);
    QCOMPARE(naturalCompare("Setup.EXE", "setup.exe"), 0);
    QVERIFY(naturalCompare("a", "ab") < 0);
    QVERIFY(naturalCompare("a007", "a7b") < 0);
    QCOMPARE(naturalCompare("a007", "a7"), 0);
}

// ---- Adding ----------------------------------------------------------------------

void TestFileList::addFillsEntry()
{
    TDivFileList list;
    const QString path = makeFile(m_root + "sub/Tool.EXE", QByteArray(3000, 'x'));
    QStringList addedPaths;
    QList<int> addedRows;
    connect(&list, &TDivFileList::addItem, &list, [&](int row, bool &canAdd) {
        QVERIFY(canAdd);
        // The entry is complete when the handler sees it.
        QCOMPARE(list.caption(row), QStringLiteral("Tool.EXE"));
        addedRows.append(row);
    });
    connect(&list, &TDivFileList::addPath, &list,
            [&](const QString &added, bool &) { addedPaths.append(added); });
    QSignalSpy changed(&list, &TDivFileList::changed);

    const QString given = m_root + "sub//Tool.EXE";
    QCOMPARE(list.AddFileEntry(given), 0);
    QCOMPARE(list.count(), 1);
    QCOMPARE(list.caption(0), QStringLiteral("Tool.EXE"));
    QCOMPARE(list.folder(0), m_root + "sub/");
    QCOMPARE(list.fullPath(0), path);
    QCOMPARE(list.storedPath(0), given);
    QVERIFY(!list.isFolderEntry(0));
    QCOMPARE(addedRows, QList<int>{0});
    QCOMPARE(addedPaths, QStringList{given});
    QVERIFY(changed.count() >= 1);
}

void TestFileList::duplicatesAreRefused()
{
    TDivFileList list;
    AddItemSweep sweep(list);
    const QString path = makeFile(m_root + "a.exe");
    const QString other = makeFile(m_root + "b.exe");
    QVERIFY(QFile::link(path, m_root + "link.exe"));
    QDir::setCurrent(m_dir->path());

    QCOMPARE(list.AddFileEntry(other), 0);
    QCOMPARE(list.AddFileEntry(path), 1);
    const QStringList spellings = {path, "./a.exe", "a.exe", "/" + path,
                                   m_root + "/a.exe", m_root + "./a.exe",
                                   m_root + "link.exe", m_root + "../" + QFileInfo(m_dir->path()).fileName() + "/a.exe"};
    for (const QString &spelling : spellings)
        QVERIFY2(list.AddFileEntry(spelling) == 1, qPrintable(spelling));
    QCOMPARE(list.count(), 2);
    QCOMPARE(sweep.raised, 2);
    QCOMPARE(captions(list), (QStringList{"b.exe", "a.exe"}));
    // The first spelling is the one kept.
    QCOMPARE(list.storedPath(1), path);

    // A refused duplicate refreshes the listed entry from its file.
    makeFile(path, QByteArray(5000, 'y'));
    QCOMPARE(list.AddFileEntry("./a.exe"), 1);
    QCOMPARE(list.model()->data(list.model()->index(1, SizeColumn), Qt::DisplayRole).toString(),
             QStringLiteral("5 KB"));
}

void TestFileList::letterCaseNamesAnotherFile()
{
    TDivFileList list;
    const QString lower = makeFile(m_root + "setup.exe", "lower");
    const QString upper = makeFile(m_root + "SETUP.exe", "upper");
    QCOMPARE(list.AddFileEntry(lower), 0);
    QCOMPARE(list.AddFileEntry(upper), 1);
    QCOMPARE(list.AddFileEntry(m_root + "Setup.exe"), -1);
    QCOMPARE(captions(list), (QStringList{"setup.exe", "SETUP.exe"}));
}

void TestFileList::missingPathAddsNothing()
{
    TDivFileList list;
    makeFile(m_root + "there.exe");
    QCOMPARE(list.AddFileEntry(m_root + "there.exe"), 0);
    int raised = 0;
    connect(&list, &TDivFileList::addItem, &list, [&](int, bool &) { ++raised; });
    QSignalSpy changed(&list, &TDivFileList::changed);

    QCOMPARE(list.AddFileEntry(m_root + "missing.exe"), -1);
    QCOMPARE(list.AddFileEntry(m_root + "nofolder/there.exe"), -1);
    QCOMPARE(list.AddFileEntry(QString()), -1);
    QVERIFY(QFile::link(m_root + "gone.exe", m_root + "dangling.exe"));
    QCOMPARE(list.AddFileEntry(m_root + "dangling.exe"), -1);
    QCOMPARE(list.count(), 1);
    QCOMPARE(raised, 0);
    QCOMPARE(changed.count(), 0);
}

void TestFileList::folderTextHasOneTrailingSlash()
{
    TDivFileList list;
    makeFile(m_root + "d/one.exe");
    makeFile(m_root + "d/two.exe");
    makeFile(m_root + "d/three.exe");
    QCOMPARE(list.AddFileEntry(m_root + "/d//one.exe"), 0);
    QCOMPARE(list.AddFileEntry(m_root + "d/./two.exe/"), 1);
    QDir::setCurrent(m_root + "d");
    QCOMPARE(list.AddFileEntry("three.exe"), 2);
    for (int row = 0; row < list.count(); ++row) {
        QCOMPARE(list.folder(row), m_root + "d/");
        QCOMPARE(list.fullPath(row), list.folder(row) + list.caption(row));
        QVERIFY(QFileInfo::exists(list.fullPath(row)));
    }
}

void TestFileList::entryInTheRootFolder()
{
    TDivFileList list;
    // A folder directly in "/" always exists; as an entry its folder text is
    // the root, once.
    const int row = list.AddFileEntry(QStringLiteral("//tmp/"));
    QCOMPARE(row, 0);
    QCOMPARE(list.folder(0), QStringLiteral("/"));
    QCOMPARE(list.caption(0), QStringLiteral("tmp"));
    QCOMPARE(list.fullPath(0), QStringLiteral("/tmp"));
    QVERIFY(list.isFolderEntry(0));

    // And a file, where the root holds one.
    const QStringList rootFiles = QDir("/").entryList(QDir::Files);
    if (!rootFiles.isEmpty()) {
        const int fileRow = list.AddFileEntry("/" + rootFiles.first());
        QCOMPARE(list.folder(fileRow), QStringLiteral("/"));
        QCOMPARE(list.fullPath(fileRow), "/" + rootFiles.first());
    }
    QCOMPARE(list.AddFileEntry(QStringLiteral("/")), -1);
}

void TestFileList::folderBecomesEntryUntilSwept()
{
    TDivFileList bare;
    QDir().mkpath(m_root + "Folder");
    QCOMPARE(bare.AddFileEntry(m_root + "Folder"), 0);
    QCOMPARE(bare.caption(0), QStringLiteral("Folder"));
    QCOMPARE(bare.folder(0), m_root);
    QVERIFY(bare.isFolderEntry(0));
    QCOMPARE(bare.folderEntryCount(), 1);

    TDivFileList list;
    AddItemSweep sweep(list);
    makeFile(m_root + "a.exe");
    QCOMPARE(list.AddFileEntry(m_root + "a.exe"), 0);
    QCOMPARE(list.AddFileEntry(m_root + "Folder/"), -1);
    QCOMPARE(sweep.raised, 2);
    QCOMPARE(captions(list), QStringList{"a.exe"});
    QCOMPARE(list.folderEntryCount(), 0);
}

void TestFileList::handlersMayRefuseOrRemove()
{
    makeFile(m_root + "keep.exe");
    makeFile(m_root + "refuse.exe");
    makeFile(m_root + "late.exe");
    TDivFileList list;
    connect(&list, &TDivFileList::addItem, &list, [&](int row, bool &canAdd) {
        if (list.caption(row) == QLatin1String("refuse.exe"))
            canAdd = false;
        // A handler that removes an older entry moves the new one up.
        if (list.caption(row) == QLatin1String("late.exe"))
            list.deleteEntry(0);
    });
    int pathsSeen = 0;
    connect(&list, &TDivFileList::addPath, &list, [&](const QString &, bool &) { ++pathsSeen; });
    QCOMPARE(list.AddFileEntry(m_root + "keep.exe"), 0);
    QCOMPARE(list.AddFileEntry(m_root + "refuse.exe"), -1);
    QCOMPARE(list.AddFileEntry(m_root + "late.exe"), 0);
    QCOMPARE(captions(list), QStringList{"late.exe"});
    QCOMPARE(pathsSeen, 2);
    // A refused path may be offered again and is judged again.
    QCOMPARE(list.AddFileEntry(m_root + "refuse.exe"), -1);
}

void TestFileList::detailColumns()
{
    TDivFileList list;
    TDivFileListModel *model = list.model();
    const QStringList titles = {"Name", "In Folder", "Size", "Type", "Changed"};
    QCOMPARE(model->columnCount(), 5);
    // (Their widths follow the list's: columnsFitTheListUntilTheUserSizesThem.)
    for (int column = 0; column < 5; ++column)
        QCOMPARE(model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString(), titles[column]);
    QCOMPARE(list.viewStyle(), TDivFileList::ViewStyle::Details);
    QCOMPARE(list.detailsView()->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(list.detailsView()->selectionMode(), QAbstractItemView::ExtendedSelection);

    const QString path = makeFile(m_root + "notes.txt", QByteArray(2000000, 'n'));
    QDir().mkpath(m_root + "sub");
    list.AddFileEntry(path);
    list.AddFileEntry(m_root + "sub");
    auto text = [&](int row, int column) {
        return model->data(model->index(row, column), Qt::DisplayRole).toString();
    };
    QCOMPARE(text(0, NameColumn), QStringLiteral("notes.txt"));
    QCOMPARE(text(0, FolderColumn), m_root);
    QCOMPARE(text(0, SizeColumn), sizeText(2000000));
    QCOMPARE(text(0, TypeColumn), QMimeDatabase().mimeTypeForFile(path).comment());
    QVERIFY(!text(0, TypeColumn).isEmpty());
    QCOMPARE(text(0, ChangedColumn), changedText(QFileInfo(path).lastModified()));
    QCOMPARE(text(1, SizeColumn), QString());   // a folder shows no size
    QCOMPARE(model->data(model->index(0, SizeColumn), Qt::TextAlignmentRole).value<Qt::Alignment>(),
             Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
    QVERIFY(!(model->flags(model->index(0, 0)) & Qt::ItemIsEditable));

    const QString tip = model->data(model->index(0, NameColumn), Qt::ToolTipRole).toString();
    QVERIFY(tip.contains("notes.txt"));
    QVERIFY(tip.contains(text(0, TypeColumn)));
    QVERIFY(tip.contains(text(0, SizeColumn)));
    QVERIFY(tip.contains(text(0, ChangedColumn)));
}

// ---- Sorting and views ------------------------------------------------------------

void TestFileList::sortByFolderHeaderTwice()
{
    TDivFileList list;
    list.resize(700, 300);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    const QStringList files = {"b/x.exe", "A/z.exe", "c/y.exe", "A/y.exe", "B2/a.exe"};
    for (const QString &file : files)
        list.AddFileEntry(makeFile(m_root + file));
    list.setSelected(2, true);   // c/y.exe

    QHeaderView *header = list.detailsView()->header();
    auto clickHeader = [&](int section) {
        const int x = header->sectionViewportPosition(section) + header->sectionSize(section) / 2;
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    };

    clickHeader(FolderColumn);
    QCOMPARE(list.sortColumn(), int(FolderColumn));
    QCOMPARE(list.sortOrder(), Qt::AscendingOrder);
    QCOMPARE(fullPaths(list), (QStringList{m_root + "A/y.exe", m_root + "A/z.exe", m_root + "b/x.exe",
                                           m_root + "B2/a.exe", m_root + "c/y.exe"}));
    QVERIFY(list.isSelected(4));
    QCOMPARE(list.selectedCount(), 1);

    clickHeader(FolderColumn);
    QCOMPARE(list.sortOrder(), Qt::DescendingOrder);
    QCOMPARE(fullPaths(list), (QStringList{m_root + "c/y.exe", m_root + "B2/a.exe", m_root + "b/x.exe",
                                           m_root + "A/z.exe", m_root + "A/y.exe"}));
    QVERIFY(list.isSelected(0));

    // Another header starts ascending again.
    clickHeader(NameColumn);
    QCOMPARE(list.sortOrder(), Qt::AscendingOrder);
    QCOMPARE(captions(list), (QStringList{"a.exe", "x.exe", "y.exe", "y.exe", "z.exe"}));
}

void TestFileList::sortOtherColumns()
{
    TDivFileList list;
    list.AddFileEntry(makeFile(m_root + "big.bin", QByteArray(5000, 'b')));
    list.AddFileEntry(makeFile(m_root + "file10.bin", QByteArray(10, 'b')));
    list.AddFileEntry(makeFile(m_root + "File9.bin", QByteArray(3000, 'b')));
    // Times: big.bin the oldest, File9.bin next.
    {
        QFile file(m_root + "big.bin");
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(-3), QFileDevice::FileModificationTime));
        QFile nine(m_root + "File9.bin");
        QVERIFY(nine.open(QIODevice::ReadWrite));
        QVERIFY(nine.setFileTime(QDateTime::currentDateTime().addDays(-1), QFileDevice::FileModificationTime));
    }
    list.refreshAll();

    list.sortByColumn(NameColumn, Qt::AscendingOrder);
    QCOMPARE(captions(list), (QStringList{"big.bin", "File9.bin", "file10.bin"}));
    list.sortByColumn(SizeColumn, Qt::DescendingOrder);
    QCOMPARE(captions(list), (QStringList{"big.bin", "File9.bin", "file10.bin"}));
    list.sortByColumn(SizeColumn, Qt::AscendingOrder);
    QCOMPARE(captions(list), (QStringList{"file10.bin", "File9.bin", "big.bin"}));
    list.sortByColumn(ChangedColumn, Qt::AscendingOrder);
    QCOMPARE(captions(list), (QStringList{"big.bin", "File9.bin", "file10.bin"}));
    QCOMPARE(list.detailsView()->header()->sortIndicatorSection(), int(ChangedColumn));
}

void TestFileList::viewStyleKeepsOrderAndSelection()
{
    TDivFileList list;
    list.show();
    for (const char *name : {"c.exe", "a.exe", "b.exe", "d.exe"})
        list.AddFileEntry(makeFile(m_root + name));
    list.setSelected(1, true);
    list.setSelected(3, true);
    const QStringList order = captions(list);

    using Style = TDivFileList::ViewStyle;
    for (Style style : {Style::LargeIcons, Style::SmallIcons, Style::List, Style::Details, Style::List}) {
        list.setViewStyle(style);
        QCOMPARE(list.viewStyle(), style);
        QCOMPARE(captions(list), order);
        QCOMPARE(list.count(), 4);
        QCOMPARE(list.selectedCount(), 2);
        QVERIFY(list.isSelected(1) && list.isSelected(3));
        QVERIFY(list.currentView()->isVisible());
        QVERIFY(list.currentView()->selectionModel() == list.detailsView()->selectionModel());
    }
    QCOMPARE(list.iconView()->viewMode(), QListView::ListMode);
    QCOMPARE(list.iconView()->flow(), QListView::TopToBottom);

    // A click in the icon view selects whole entries in the shared selection.
    list.setViewStyle(Style::LargeIcons);
    QCOMPARE(list.iconView()->viewMode(), QListView::IconMode);
    QCOMPARE(list.iconView()->movement(), QListView::Static);
    QApplication::processEvents();
    const QRect second = list.iconView()->visualRect(list.model()->index(2, 0));
    QVERIFY(second.isValid());
    QTest::mouseClick(list.iconView()->viewport(), Qt::LeftButton, {}, second.center());
    QCOMPARE(list.selectedCount(), 1);
    QVERIFY(list.isSelected(2));
    QTest::mouseClick(list.iconView()->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      list.iconView()->visualRect(list.model()->index(0, 0)).center());
    QCOMPARE(list.selectedCount(), 2);
    list.setViewStyle(Style::Details);
    QVERIFY(list.isSelected(0) && list.isSelected(2));
}

// ---- Gestures --------------------------------------------------------------------

void TestFileList::dropDeliversPathsAndNoEffect()
{
    TDivFileList list;
    list.show();
    AddItemSweep sweep(list);
    connect(&list, &TDivFileList::filesDropped, &list,
            [&](const QStringList &paths) { AddDroppedPaths(list, paths); });
    QSignalSpy dropped(&list, &TDivFileList::filesDropped);
    const QString second = makeFile(m_root + "second.exe");
    const QString first = makeFile(m_root + "first.exe");
    QDir().mkpath(m_root + "folder");

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(second), QUrl::fromLocalFile(m_root + "folder"),
                  QUrl("https://example.com/x.exe"), QUrl::fromLocalFile(first),
                  QUrl::fromLocalFile(m_root + "missing.exe")});
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QWidget *viewport = list.detailsView()->viewport();
    const QPoint at(10, 10);

    QDragEnterEvent enter(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    QVERIFY(enter.isAccepted());
    QCOMPARE(enter.dropAction(), Qt::CopyAction);
    QCOMPARE(list.dropTarget()->draggedPaths().size(), 4);

    QDropEvent drop(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &drop);
    QVERIFY(drop.isAccepted());
    QCOMPARE(drop.dropAction(), Qt::IgnoreAction);
    QCOMPARE(dropped.count(), 1);
    QCOMPARE(dropped.at(0).at(0).toStringList(),
             (QStringList{second, m_root + "folder", first, m_root + "missing.exe"}));
    QCOMPARE(fullPaths(list), (QStringList{second, first}));
    QVERIFY(QFile::exists(second) && QFile::exists(first));

    // The same drop on the list widget itself, in another view style: the
    // files are listed already, so nothing changes.
    list.setViewStyle(TDivFileList::ViewStyle::SmallIcons);
    const Qt::DropActions copyOrMove = Qt::CopyAction | Qt::MoveAction;
    QDropEvent again(at, copyOrMove, &data, Qt::LeftButton, Qt::NoModifier);
    // (Qt delivers a drop only to a widget that accepted the drag's entry.)
    QDragEnterEvent enterList(at, copyOrMove, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&list, &enterList);
    QVERIFY(enterList.isAccepted());
    QApplication::sendEvent(&list, &again);
    QCOMPARE(again.dropAction(), Qt::IgnoreAction);
    QCOMPARE(dropped.count(), 2);
    QCOMPARE(fullPaths(list), (QStringList{second, first}));
    QCOMPARE(sweep.raised, 2);

    // A drag without local files is refused.
    QMimeData text;
    text.setText("not a file");
    QDragEnterEvent refused(at, offered, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &refused);
    QVERIFY(!refused.isAccepted());
}

// A source that offers only a move must never hear "moved" (it would
// delete its files): such a drag is refused on entry, over the list and at
// a drop, on the views' viewports and on the list itself.
void TestFileList::moveOnlyDragIsRefused()
{
    TDivFileList list;
    list.show();
    connect(&list, &TDivFileList::filesDropped, &list,
            [&](const QStringList &paths) { AddDroppedPaths(list, paths); });
    QSignalSpy dropped(&list, &TDivFileList::filesDropped);
    const QString file = makeFile(m_root + "moved.exe");
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(file)});
    const QPoint at(10, 10);

    for (QWidget *target : {static_cast<QWidget *>(list.detailsView()->viewport()), static_cast<QWidget *>(&list)}) {
        for (const Qt::DropActions offered : {Qt::DropActions(Qt::MoveAction), Qt::MoveAction | Qt::LinkAction}) {
            QDragEnterEvent enter(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &enter);
            QVERIFY2(!enter.isAccepted(), "a move-only drag was accepted on entry");
            QDragMoveEvent move(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &move);
            QVERIFY2(!move.isAccepted(), "a move-only drag was accepted over the list");
            QDropEvent drop(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(target, &drop);
            QVERIFY2(!drop.isAccepted(), "a move-only drop was accepted");
        }
    }
    QCOMPARE(dropped.count(), 0);
    QCOMPARE(list.count(), 0);
    QVERIFY(QFile::exists(file));

    // The same files offered for copying are taken.
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list.detailsView()->viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QCOMPARE(enter.dropAction(), Qt::CopyAction);
}

namespace {

// A drag source over a busy link: its data comes across once; every later
// request finds nothing, as a fetch that timed out does.
class OnceOnlySource : public QMimeData {
public:
    explicit OnceOnlySource(const QList<QUrl> &urls) : m_urls(urls) {}
    mutable int fetches = 0;

    QStringList formats() const override { return {QStringLiteral("text/uri-list")}; }
    bool hasFormat(const QString &type) const override { return formats().contains(type); }

protected:
    QVariant retrieveData(const QString &type, QMetaType) const override
    {
        if (type != QLatin1String("text/uri-list") || ++fetches > 1)
            return {};
        QVariantList urls;
        for (const QUrl &url : m_urls)
            urls.append(url);
        return urls;
    }

private:
    QList<QUrl> m_urls;
};

} // namespace

// A drop accepted at its entry is taken whole even when the source can no
// longer deliver its data at the drop, and the data is fetched once.
void TestFileList::dropDataIsReadOnceAtEntry()
{
    TDivFileList list;
    list.show();
    connect(&list, &TDivFileList::filesDropped, &list,
            [&](const QStringList &paths) { AddDroppedPaths(list, paths); });
    const QString a = makeFile(m_root + "a.exe");
    const QString b = makeFile(m_root + "b.exe");
    OnceOnlySource data({QUrl::fromLocalFile(a), QUrl::fromLocalFile(b)});
    QWidget *viewport = list.detailsView()->viewport();
    const QPoint at(10, 10);

    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    QVERIFY(enter.isAccepted());
    QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &move);
    QVERIFY(move.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &drop);
    QVERIFY(drop.isAccepted());
    QCOMPARE(fullPaths(list), (QStringList{a, b}));
    QCOMPARE(data.fetches, 1);

    // The next drag reads its own data, not the last one's.
    const QString c = makeFile(m_root + "c.exe");
    QMimeData next;
    next.setUrls({QUrl::fromLocalFile(c)});
    QDragEnterEvent enterNext(at, Qt::CopyAction, &next, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enterNext);
    QDropEvent dropNext(at, Qt::CopyAction, &next, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &dropNext);
    QCOMPARE(fullPaths(list), (QStringList{a, b, c}));
}

void TestFileList::dragOutOffersFiles()
{
    TDivFileList list;
    const QString a = makeFile(m_root + "a b.exe");
    const QString b = makeFile(m_root + "c.exe");
    list.AddFileEntry(a);
    list.AddFileEntry(b);
    TDivFileListModel *model = list.model();
    QCOMPARE(model->supportedDragActions(), Qt::CopyAction | Qt::MoveAction | Qt::LinkAction);
    QVERIFY(list.detailsView()->dragEnabled());
    const QModelIndexList indexes = {model->index(1, 0), model->index(0, 0), model->index(0, 1)};
    std::unique_ptr<QMimeData> data(model->mimeData(indexes));
    QCOMPARE(data->urls(), (QList<QUrl>{QUrl::fromLocalFile(a), QUrl::fromLocalFile(b)}));
    // Nothing in the list is removed by a drag, whatever the target did.
    QVERIFY(!model->removeRows(0, 1));
    QCOMPARE(list.count(), 2);
}

void TestFileList::popupMenuOpensOnRightClickAndKey()
{
    TDivFileList list;
    list.resize(400, 300);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    QMenu menu;
    menu.addAction("Details");
    list.setPopupMenu(&menu);
    int aboutToShow = 0;
    bool menuHiddenThen = false;
    connect(&list, &TDivFileList::popupAboutToShow, &list, [&] {
        ++aboutToShow;
        menuHiddenThen = !menu.isVisible();
    });

    // On empty space of the details view.
    QWidget *viewport = list.detailsView()->viewport();
    QContextMenuEvent mouse(QContextMenuEvent::Mouse, QPoint(50, 100), viewport->mapToGlobal(QPoint(50, 100)));
    QApplication::sendEvent(viewport, &mouse);
    QCOMPARE(aboutToShow, 1);
    QVERIFY(menuHiddenThen);
    QTRY_VERIFY(menu.isVisible());
    menu.hide();

    // The keyboard's menu key, in another view style.
    list.setViewStyle(TDivFileList::ViewStyle::List);
    QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(5, 5),
                          list.iconView()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(list.iconView(), &key);
    QCOMPARE(aboutToShow, 2);
    QTRY_VERIFY(menu.isVisible());
    menu.hide();
}

// Shift+F10 is the menu key's twin: the popup opens at the current entry
// (or at the top of an empty list), in either kind of view.
void TestFileList::shiftF10OpensPopupAtTheCurrentEntry()
{
    TDivFileList list;
    list.resize(400, 300);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    QMenu menu;
    menu.addAction("Details");
    list.setPopupMenu(&menu);
    QSignalSpy aboutToShow(&list, &TDivFileList::popupAboutToShow);

    // Empty: the menu opens at the list's top left.
    list.detailsView()->setFocus();
    QTest::keyClick(list.detailsView(), Qt::Key_F10, Qt::ShiftModifier);
    QCOMPARE(aboutToShow.count(), 1);
    QTRY_VERIFY(menu.isVisible());
    const QPoint topLeft = list.detailsView()->viewport()->mapToGlobal(QPoint(0, 0));
    QVERIFY2((menu.pos() - topLeft).manhattanLength() < 40, "the menu opened away from the list");
    menu.hide();

    for (int i = 0; i < 8; ++i)
        list.AddFileEntry(makeFile(m_root + QStringLiteral("f%1.exe").arg(i)));
    list.setCurrentRow(5);
    QTest::keyClick(list.detailsView(), Qt::Key_F10, Qt::ShiftModifier);
    QCOMPARE(aboutToShow.count(), 2);
    QTRY_VERIFY(menu.isVisible());
    const QRect entry = list.detailsView()->visualRect(list.model()->index(5, 0));
    const QPoint below = list.detailsView()->viewport()->mapToGlobal(entry.bottomLeft());
    QVERIFY2(qAbs(menu.pos().y() - below.y()) <= 2,
             qPrintable(QStringLiteral("menu at y %1, the current entry ends at %2")
                            .arg(menu.pos().y()).arg(below.y())));
    menu.hide();

    // The menu key opens it at the same place.
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(5, 5),
                              list.detailsView()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(list.detailsView(), &menuKey);
    QCOMPARE(aboutToShow.count(), 3);
    QTRY_VERIFY(menu.isVisible());
    QVERIFY(qAbs(menu.pos().y() - below.y()) <= 2);
    menu.hide();

    // F10 alone, or with Ctrl as well, is not the menu's key.
    QTest::keyClick(list.detailsView(), Qt::Key_F10);
    QTest::keyClick(list.detailsView(), Qt::Key_F10, Qt::ShiftModifier | Qt::ControlModifier);
    QCOMPARE(aboutToShow.count(), 3);

    list.setViewStyle(TDivFileList::ViewStyle::LargeIcons);
    QTest::keyClick(list.iconView(), Qt::Key_F10, Qt::ShiftModifier);
    QCOMPARE(aboutToShow.count(), 4);
    QTRY_VERIFY(menu.isVisible());
    menu.hide();
}

void TestFileList::pastedPaths_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("paths");
    QTest::newRow("file manager's uri-list")
        << "text/uri-list" << QByteArray("file:///srv/a%20b.exe\r\n# a comment\r\nfile:///srv/c.dll\r\n")
        << QStringList{"/srv/a b.exe", "/srv/c.dll"};
    QTest::newRow("uri-list without local files")
        << "text/uri-list" << QByteArray("https://example.com/x.exe\r\n") << QStringList{};
    QTest::newRow("plain paths, one a line")
        << "text/plain" << QByteArray("/srv/a.exe\n/srv/b c.exe\r\n\n/srv/d.exe")
        << QStringList{"/srv/a.exe", "/srv/b c.exe", "/srv/d.exe"};
    QTest::newRow("blanks kept inside a path, trimmed around other lines")
        << "text/plain" << QByteArray("/srv/ends in blank \n   /srv/indented.exe  \n")
        << QStringList{"/srv/ends in blank ", "/srv/indented.exe"};
    QTest::newRow("file URLs in text")
        << "text/plain" << QByteArray("file:///srv/x%23y.exe\nfile://server/share/z.exe\nfile:///srv/a b.exe")
        << QStringList{"/srv/x#y.exe", "//server/share/z.exe", "/srv/a b.exe"};
    QTest::newRow("words and relative names are no files")
        << "text/plain" << QByteArray("setup.exe\nsign these please\n~/a.exe\nhttp://x/y.exe")
        << QStringList{};
}

void TestFileList::pastedPaths()
{
    QFETCH(QString, format);
    QFETCH(QByteArray, content);
    QFETCH(QStringList, paths);
    QMimeData data;
    data.setData(format, content);
    QCOMPARE(TDivDropFiles::pastedPaths(&data), paths);
}

// Ctrl+V and Shift+Insert in either view hand the clipboard's files over
// through filesDropped, where a drop's go; the drop target's switch holds
// for them as well.
void TestFileList::pasteKeysDeliverClipboardFilesLikeADrop()
{
    TDivFileList list;
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    AddItemSweep sweep(list);
    connect(&list, &TDivFileList::filesDropped, &list,
            [&](const QStringList &paths) { AddDroppedPaths(list, paths); });
    QSignalSpy dropped(&list, &TDivFileList::filesDropped);
    QSignalSpy askedForFiles(&list, &TDivFileList::addFilesRequested);
    const QString a = makeFile(m_root + "a.exe");
    const QString b = makeFile(m_root + "b.exe");
    QDir().mkpath(m_root + "folder");

    auto *copied = new QMimeData;
    copied->setUrls({QUrl::fromLocalFile(a), QUrl::fromLocalFile(m_root + "folder"),
                     QUrl::fromLocalFile(m_root + "missing.exe")});
    QApplication::clipboard()->setMimeData(copied);
    QTest::keyClick(list.detailsView(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(dropped.count(), 1);
    QCOMPARE(dropped.at(0).at(0).toStringList(),
             (QStringList{a, m_root + "folder", m_root + "missing.exe"}));
    QCOMPARE(fullPaths(list), QStringList{a});

    // Plain text, in the icon view, with Shift+Insert: the listed file is
    // refused as a dropped one would be.
    list.setViewStyle(TDivFileList::ViewStyle::List);
    QApplication::clipboard()->setText(a + "\n" + b + "\n");
    QTest::keyClick(list.iconView(), Qt::Key_Insert, Qt::ShiftModifier);
    QCOMPARE(dropped.count(), 2);
    QCOMPARE(fullPaths(list), (QStringList{a, b}));
    QCOMPARE(askedForFiles.count(), 0);

    // A clipboard without files delivers nothing at all.
    QApplication::clipboard()->setText(QStringLiteral("just words"));
    QVERIFY(!list.pasteFiles());
    QCOMPARE(dropped.count(), 2);

    list.dropTarget()->setEnabled(false);
    QApplication::clipboard()->setText(m_root + "c.exe");
    makeFile(m_root + "c.exe");
    QTest::keyClick(list.iconView(), Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(dropped.count(), 2);
    QCOMPARE(list.count(), 2);
}

void TestFileList::insertAsksForFiles()
{
    TDivFileList list;
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    QSignalSpy askedForFiles(&list, &TDivFileList::addFilesRequested);
    QSignalSpy dropped(&list, &TDivFileList::filesDropped);
    QApplication::clipboard()->setText(makeFile(m_root + "a.exe"));
    QTest::keyClick(list.detailsView(), Qt::Key_Insert);
    QCOMPARE(askedForFiles.count(), 1);
    list.setViewStyle(TDivFileList::ViewStyle::SmallIcons);
    QTest::keyClick(list.iconView(), Qt::Key_Insert);
    QCOMPARE(askedForFiles.count(), 2);
    // Ctrl+Insert is a copy, not an add; Insert never pastes.
    QTest::keyClick(list.iconView(), Qt::Key_Insert, Qt::ControlModifier);
    QCOMPARE(askedForFiles.count(), 2);
    QCOMPARE(dropped.count(), 0);
}

// The source of a drop that added nothing hears "none" and a refusal, so a
// file manager does not count it as copied; a drop that added files is
// taken, still with no effect.
void TestFileList::dropThatAddsNothingIsRefused()
{
    TDivFileList list;
    list.show();
    AddItemSweep sweep(list);
    connect(&list, &TDivFileList::filesDropped, &list,
            [&](const QStringList &paths) { AddDroppedPaths(list, paths); });
    const QString a = makeFile(m_root + "a.exe");
    QDir().mkpath(m_root + "folder");
    QWidget *viewport = list.detailsView()->viewport();
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction;
    auto dropOf = [&](const QStringList &paths) {
        QMimeData data;
        QList<QUrl> urls;
        for (const QString &path : paths)
            urls.append(QUrl::fromLocalFile(path));
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(5, 5), offered, &data, Qt::LeftButton, {});
        QApplication::sendEvent(viewport, &enter);
        QDropEvent drop(QPoint(5, 5), offered, &data, Qt::LeftButton, {});
        QApplication::sendEvent(viewport, &drop);
        return std::make_pair(drop.isAccepted(), drop.dropAction());
    };

    auto [taken, action] = dropOf({m_root + "folder"});
    QVERIFY2(!taken, "a drop of a folder alone was taken");
    QCOMPARE(action, Qt::IgnoreAction);
    std::tie(taken, action) = dropOf({a, m_root + "folder"});
    QVERIFY2(taken, "a drop that added a file was refused");
    QCOMPARE(action, Qt::IgnoreAction);
    std::tie(taken, action) = dropOf({a});
    QVERIFY2(!taken, "a drop of a file already listed was taken");
    QCOMPARE(action, Qt::IgnoreAction);
    std::tie(taken, action) = dropOf({m_root + "missing.exe"});
    QVERIFY2(!taken, "a drop of a file that is gone was taken");
    QCOMPARE(fullPaths(list), QStringList{a});

    // An entry that a handler removes at once was not taken either.
    connect(&list, &TDivFileList::addPath, &list, [](const QString &, bool &canAdd) { canAdd = false; });
    const QString refused = makeFile(m_root + "refused.exe");
    std::tie(taken, action) = dropOf({refused});
    QVERIFY2(!taken, "a drop whose entry a handler refused was taken");
    QCOMPARE(list.count(), 1);
}

// Every column shows in the list's width; once the user sizes a column the
// widths are his, and the list scrolls sideways when they outgrow it.
void TestFileList::columnsFitTheListUntilTheUserSizesThem()
{
    TDivFileList list;
    list.resize(377, 386);   // the main window's list
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    for (int i = 0; i < 40; ++i)   // enough for the vertical scroll bar
        list.AddFileEntry(makeFile(m_root + QStringLiteral("a-rather-long-program-name-%1.exe").arg(i)));
    QApplication::processEvents();
    QTreeView *view = list.detailsView();
    QHeaderView *header = view->header();
    const int visibleWidth = view->viewport()->width();
    for (int column = 0; column < ColumnCount; ++column) {
        const int right = header->sectionViewportPosition(column) + header->sectionSize(column);
        QVERIFY2(right <= visibleWidth,
                 qPrintable(QStringLiteral("column %1 ends at %2, the list shows %3 pixels")
                                .arg(column).arg(right).arg(visibleWidth)));
        QVERIFY2(header->sectionSize(column) >= 40, qPrintable(QString::number(column)));
    }
    QVERIFY(!view->horizontalScrollBar()->isVisible());
    // The sizes are not cut.
    const QString size = list.model()->index(0, SizeColumn).data().toString();
    QVERIFY2(view->fontMetrics().horizontalAdvance(size) < header->sectionSize(SizeColumn),
             qPrintable(size));

    // Fitting follows the list's size...
    const int narrowName = header->sectionSize(NameColumn);
    list.resize(500, 386);
    QApplication::processEvents();
    QVERIFY(header->sectionSize(NameColumn) > narrowName);
    const int right = header->sectionViewportPosition(ChangedColumn) + header->sectionSize(ChangedColumn);
    QVERIFY(right <= view->viewport()->width());

    // ...until the user widens a column: then it stays, and the list scrolls.
    header->resizeSection(FolderColumn, 600);
    list.resize(377, 386);
    QApplication::processEvents();
    QCOMPARE(header->sectionSize(FolderColumn), 600);
    QTRY_VERIFY(view->horizontalScrollBar()->isVisible());
    QVERIFY(view->horizontalScrollBar()->maximum() > 0);
}

void TestFileList::fittedColumnWidthsShareTheRest()
{
    auto sum = [](const QList<int> &widths) {
        int total = 0;
        for (int width : widths)
            total += width;
        return total;
    };
    // Needs by column: Name, In Folder, Size, Type, Changed.
    // Size and Changed as wide as they need when that is little; long
    // names and folders share the rest, the names more.
    QList<int> widths = fittedColumnWidths(360, {400, 400, 44, 60, 60});
    QCOMPARE(widths.size(), int(ColumnCount));
    QCOMPARE(widths[SizeColumn], 44);
    QCOMPARE(widths[ChangedColumn], 60);
    QCOMPARE(sum(widths), 360);
    QVERIFY(widths[NameColumn] > widths[FolderColumn]);
    QVERIFY(widths[FolderColumn] > widths[TypeColumn]);

    // No more than their share when they need much: the names keep the
    // largest part.
    widths = fittedColumnWidths(360, {400, 400, 90, 60, 160});
    QCOMPARE(sum(widths), 360);
    QVERIFY(widths[SizeColumn] < 90 && widths[ChangedColumn] < 160);
    QVERIFY(widths[NameColumn] >= 100);

    // Short names give their room to a long folder, then to a cut date.
    widths = fittedColumnWidths(360, {70, 400, 44, 60, 160});
    QCOMPARE(sum(widths), 360);
    QCOMPARE(widths[NameColumn], 70);
    QVERIFY(widths[FolderColumn] > 120);
    widths = fittedColumnWidths(360, {70, 90, 44, 60, 160});
    QCOMPARE(widths[FolderColumn], 90);
    QCOMPARE(widths[NameColumn], 70);
    QVERIFY2(widths[ChangedColumn] > 360 * 22 / 100, qPrintable(QString::number(widths[ChangedColumn])));
    QCOMPARE(sum(widths), 360);

    // A list too narrow for all keeps each column usable (and scrolls).
    for (int width : fittedColumnWidths(150, {400, 400, 60, 60, 100}))
        QVERIFY(width >= 40);
}

void TestFileList::doubleClickOpensSelectedFiles()
{
    ScriptedDialogsGuard desktop;
    QList<QUrl> &opened = desktop->openedUrls;
    TDivFileList list;
    list.resize(500, 300);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    const QString a = makeFile(m_root + "a.exe");
    const QString b = makeFile(m_root + "b.exe");
    const QString c = makeFile(m_root + "c.exe");
    for (const QString &path : {a, b, c})
        list.AddFileEntry(path);
    list.setSelected(0, true);
    list.setSelected(2, true);

    QWidget *viewport = list.detailsView()->viewport();
    const QPoint onThird = list.detailsView()->visualRect(list.model()->index(2, 0)).center();
    QTest::mouseDClick(viewport, Qt::LeftButton, Qt::ControlModifier, onThird);
    QCOMPARE(opened, (QList<QUrl>{QUrl::fromLocalFile(a), QUrl::fromLocalFile(c)}));

    // Not on empty space.
    opened.clear();
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, QPoint(20, viewport->height() - 5));
    QVERIFY(opened.isEmpty());
    // Nor with the right button.
    QTest::mouseDClick(viewport, Qt::RightButton, {}, onThird);
    QVERIFY(opened.isEmpty());
}

void TestFileList::hintOutsideEntriesTipOnEntries()
{
    TDivFileList list;
    list.resize(500, 300);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    list.setHint(QStringLiteral("Drag and drop the files you wish to sign here."));
    list.AddFileEntry(makeFile(m_root + "tip.exe"));
    QWidget *viewport = list.detailsView()->viewport();

    auto tipAt = [&](const QPoint &position) {
        QToolTip::hideText();
        QHelpEvent help(QEvent::ToolTip, position, viewport->mapToGlobal(position));
        QApplication::sendEvent(viewport, &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    QCOMPARE(tipAt(QPoint(20, viewport->height() - 10)), list.hint());
    const QString entryTip = tipAt(list.detailsView()->visualRect(list.model()->index(0, 0)).center());
    QVERIFY(entryTip.startsWith(QStringLiteral("tip.exe\n")));
    QVERIFY(entryTip.contains(QStringLiteral("Size: 1 KB")));
    QToolTip::hideText();
}

// ---- Following the disk -----------------------------------------------------------

void TestFileList::followsDeletionAndRename()
{
    TDivFileList list;
    list.setFollowDelay(20);
    QSignalSpy changed(&list, &TDivFileList::changed);
    const QString keep = makeFile(m_root + "keep.exe", "keep");
    const QString doomed = makeFile(m_root + "doomed.exe");
    const QString old = makeFile(m_root + "old.exe", "old");
    for (const QString &path : {keep, doomed, old})
        list.AddFileEntry(path);
    QVERIFY(list.watchedFolders().contains(m_root));

    QVERIFY(QFile::remove(doomed));
    QTRY_COMPARE(captions(list), (QStringList{"keep.exe", "old.exe"}));

    QVERIFY(QFile::rename(old, m_root + "New Name.exe"));
    QTRY_COMPARE(captions(list), (QStringList{"keep.exe", "New Name.exe"}));
    QCOMPARE(list.fullPath(1), m_root + "New Name.exe");
    QCOMPARE(list.storedPath(1), m_root + "New Name.exe");
    // The renamed entry is still the same file for the duplicate test.
    QCOMPARE(list.AddFileEntry(m_root + "New Name.exe"), 1);
    QCOMPARE(list.count(), 2);
    QVERIFY(changed.count() > 0);

    // The watch ends with the last entry of a folder.
    list.AddFileEntry(makeFile(m_root + "elsewhere/x.exe"));
    QVERIFY(list.watchedFolders().contains(m_root + "elsewhere/"));
    list.deleteEntry(2);
    QVERIFY(!list.watchedFolders().contains(m_root + "elsewhere/"));
}

void TestFileList::replacedFileKeepsEntry()
{
    // Signing replaces a file by a finished copy renamed over it; the entry
    // must stay and show the new file.
    TDivFileList list;
    list.setFollowDelay(20);
    const QString path = makeFile(m_root + "app.exe", "small");
    list.AddFileEntry(path);
    const QString temporary = makeFile(m_root + "app.exe.tmp", QByteArray(4096, 's'));
    QVERIFY(::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) == 0);
    QTRY_COMPARE(list.model()->data(list.model()->index(0, SizeColumn), Qt::DisplayRole).toString(),
                 QStringLiteral("4 KB"));
    QCOMPARE(captions(list), QStringList{"app.exe"});
    QCOMPARE(list.model()->entry(0).identity, *platform::fileIdentity(path));

    // A folder made in the file's place is no file to sign: the entry goes,
    // as for a deletion.
    const QString other = makeFile(m_root + "other.exe");
    list.AddFileEntry(other);
    QVERIFY(QFile::remove(path));
    QVERIFY(QDir().mkdir(path));
    QTRY_COMPARE(captions(list), QStringList{"other.exe"});
    QCOMPARE(list.folderEntryCount(), 0);
}

void TestFileList::droppedNameThatIsNotUtf8IsListedExactly()
{
    // A file named with the Latin-1 byte E9, and beside it a file whose name
    // really holds U+FFFD, which is what the first name decodes to in Qt.
    const QByteArray folder = QFile::encodeName(m_root);
    const QByteArray raw = folder + "caf\xE9.exe";
    for (const QByteArray &path : {raw, folder + "caf\xEF\xBF\xBD.exe"})
        QVERIFY(testfiles::makeRawFile(path, path));

    TDivFileList list;
    list.show();
    connect(&list, &TDivFileList::filesDropped, &list,
            [&](const QStringList &paths) { AddDroppedPaths(list, paths); });
    QMimeData data;
    data.setData("text/uri-list", "file://" + raw.toPercentEncoding("/") + "\r\n");
    QWidget *viewport = list.detailsView()->viewport();
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    QDropEvent drop(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &drop);

    // Listed, as that very file, and shown with a replacement character.
    QCOMPARE(list.count(), 1);
    QCOMPARE(platform::encodeFileName(list.fullPath(0)), raw);
    QCOMPARE(list.detailsView()->model()->index(0, 0).data().toString(),
             QString::fromUtf8("caf\uFFFD.exe"));
    QCOMPARE(list.detailsView()->model()->index(0, 1).data().toString(), m_root);

    // Dragged out again, or opened, it is named by the same bytes.
    const QUrl url = filelist::fileUrl(list.fullPath(0));
    QCOMPARE(url.toEncoded(), "file://" + raw.toPercentEncoding("/"));
    QCOMPARE(TDivDropFiles::localPath(url), list.fullPath(0));
}

void TestFileList::relativePathInAFolderThatIsNotUtf8()
{
    // A relative path is read against the current folder by its own bytes;
    // a folder name taken through Qt would hold U+FFFD and name nothing.
    const QByteArray folder = QFile::encodeName(m_root) + "d\xE9";
    QCOMPARE(::mkdir(folder.constData(), 0755), 0);
    QVERIFY(testfiles::makeRawFile(folder + "/a.exe", "MZ"));
    QCOMPARE(::chdir(folder.constData()), 0);

    TDivFileList list;
    QCOMPARE(list.AddFileEntry("a.exe"), 0);
    QCOMPARE(platform::encodeFileName(list.fullPath(0)), folder + "/a.exe");
}

void TestFileList::f5DropsGoneFile()
{
    TDivFileList list;
    list.setFollowDelay(600000);   // only F5 may notice
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    const QString a = makeFile(m_root + "a.exe", "a");
    const QString b = makeFile(m_root + "b.exe", "b");
    list.AddFileEntry(a);
    list.AddFileEntry(b);
    QVERIFY(QFile::remove(a));
    makeFile(b, QByteArray(2048, 'b'));
    QApplication::processEvents();
    QCOMPARE(list.count(), 2);

    list.detailsView()->setFocus();
    QTest::keyClick(list.detailsView(), Qt::Key_F5);
    QCOMPARE(captions(list), QStringList{"b.exe"});
    QCOMPARE(list.model()->data(list.model()->index(0, SizeColumn), Qt::DisplayRole).toString(),
             QStringLiteral("2 KB"));
}

QTEST_MAIN(TestFileList)
#include "tst_filelist.moc"
