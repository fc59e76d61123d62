// The Qt side of the dialog seam: the real boxes, answered by key presses.

#include "base/UserDialogs.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTreeView>
#include <QTimer>
#include <QtTest>

namespace {

// Runs `answer` on the modal box as soon as it is up.
void whenModalShown(std::function<void(QWidget *)> answer)
{
    QTimer::singleShot(0, [answer] {
        QWidget *box = QApplication::activeModalWidget();
        if (!box) {
            whenModalShown(answer);
            return;
        }
        answer(box);
    });
}

} // namespace

class TestUserDialogs : public QObject {
    Q_OBJECT
private slots:
    void confirmDefaultsToYesAndEscapeAnswersNo();
    void boxesStayAboveATopMostWindow();
    void openDialogSelectsTheFilterAskedFor();
    void fileDialogsShowEveryColumnWhole();
    void addFilesDialogTakesSeveralExistingFiles();
};

void TestUserDialogs::confirmDefaultsToYesAndEscapeAnswersNo()
{
    QString caption;
    whenModalShown([&](QWidget *box) {
        caption = box->windowTitle();
        QTest::keyClick(box, Qt::Key_Return);
    });
    QVERIFY(Messages::confirm(QStringLiteral("Do you want to clear all files from the list?")));
    QCOMPARE(caption, QStringLiteral("Confirm"));

    whenModalShown([](QWidget *box) { QTest::keyClick(box, Qt::Key_Escape); });
    QVERIFY(!Messages::confirm(QStringLiteral("Again?")));
}

void TestUserDialogs::boxesStayAboveATopMostWindow()
{
    bool onTop = true;
    auto noteAndClose = [&](QWidget *box) {
        onTop = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        QTest::keyClick(box, Qt::Key_Escape);
    };
    whenModalShown(noteAndClose);
    Messages::information(QStringLiteral("plain"));
    QVERIFY(!onTop);

    QWidget topMost(nullptr, Qt::Window | Qt::WindowStaysOnTopHint);
    topMost.show();
    whenModalShown(noteAndClose);
    Messages::information(QStringLiteral("above"));
    QVERIFY(onTop);

    onTop = false;
    whenModalShown(noteAndClose);
    FolderRequest folder;
    folder.caption = QStringLiteral("Select Folder");
    QVERIFY(!UserDialogs::current().getExistingFolder(folder));
    QVERIFY(onTop);
}

void TestUserDialogs::openDialogSelectsTheFilterAskedFor()
{
    OpenFileRequest request;
    request.filter = QStringLiteral("PVK (*.pvk);;SPC (*.spc)");
    QStringList seen;
    auto noteAndCancel = [&](QWidget *box) {
        auto *dialog = qobject_cast<QFileDialog *>(box);
        seen << (dialog ? dialog->nameFilters().join(";;") + " / " + dialog->selectedNameFilter()
                        : QStringLiteral("no file dialog"));
        QTest::keyClick(box, Qt::Key_Escape);
    };
    whenModalShown(noteAndCancel);
    QVERIFY(!UserDialogs::current().getOpenFileName(request));
    request.selectedFilter = QStringLiteral("SPC (*.spc)");
    whenModalShown(noteAndCancel);
    QVERIFY(!UserDialogs::current().getOpenFileName(request));
    QCOMPARE(seen, (QStringList{"PVK (*.pvk);;SPC (*.spc) / PVK (*.pvk)",
                                "PVK (*.pvk);;SPC (*.spc) / SPC (*.spc)"}));
}

// Qt's own file dialog opened too narrow: of Name, Size, Type and Date
// Modified the last was cut. Each dialog of the seam shows all four, each
// as wide as its texts.
void TestUserDialogs::fileDialogsShowEveryColumnWhole()
{
    QTemporaryDir folder;
    QFile file(folder.filePath(QStringLiteral("a-program-with-a-long-name-to-show.exe")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("x") == 1);
    file.close();

    QStringList problems = {QStringLiteral("<not looked at>")};
    auto lookAndCancel = [&](QWidget *box) {
        problems.clear();
        auto *details = box->findChild<QTreeView *>(QStringLiteral("treeView"));
        if (!details || !details->isVisible()) {
            problems << QStringLiteral("no details view");
        } else {
            QHeaderView *header = details->header();
            // The folder is read in the background.
            QTRY_VERIFY(details->model()->rowCount(details->rootIndex()) > 0);
            QApplication::processEvents();
            if (header->count() != 4)
                problems << QStringLiteral("%1 columns").arg(header->count());
            for (int column = 0; column < header->count(); ++column) {
                const int right = header->sectionViewportPosition(column) + header->sectionSize(column);
                if (header->isSectionHidden(column) || right > details->viewport()->width())
                    problems << QStringLiteral("column %1 out of view").arg(column);
                const QModelIndex cell = details->model()->index(0, column, details->rootIndex());
                const int need = details->fontMetrics().horizontalAdvance(cell.data().toString());
                if (column > 0 && header->sectionSize(column) < need)
                    problems << QStringLiteral("column %1 cut: %2 < %3")
                                    .arg(column).arg(header->sectionSize(column)).arg(need);
            }
        }
        QTest::keyClick(box, Qt::Key_Escape);
    };

    SaveFileRequest save;
    save.caption = QStringLiteral("Save your PFX file as...");
    save.filter = QStringLiteral("All Files (*)");
    save.startFolder = folder.path();
    whenModalShown(lookAndCancel);
    QVERIFY(!UserDialogs::current().getSaveFileName(save));
    QCOMPARE(problems, QStringList());

    OpenFileRequest open;
    open.startFolder = folder.path();
    problems = QStringList{QStringLiteral("<not looked at>")};
    whenModalShown(lookAndCancel);
    QVERIFY(!UserDialogs::current().getOpenFileNames(open));
    QCOMPARE(problems, QStringList());
}

void TestUserDialogs::addFilesDialogTakesSeveralExistingFiles()
{
    OpenFileRequest request;
    request.caption = QStringLiteral("Add Files");
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    whenModalShown([&](QWidget *box) {
        if (auto *dialog = qobject_cast<QFileDialog *>(box))
            mode = dialog->fileMode();
        QTest::keyClick(box, Qt::Key_Escape);
    });
    QVERIFY(!UserDialogs::current().getOpenFileNames(request));
    QCOMPARE(mode, QFileDialog::ExistingFiles);
}

QTEST_MAIN(TestUserDialogs)
#include "tst_userdialogs.moc"
