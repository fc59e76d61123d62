// The Qt side of the dialog seam: the real boxes, answered by key presses.

#include "base/UserDialogs.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QKeyEvent>
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

QTEST_MAIN(TestUserDialogs)
#include "tst_userdialogs.moc"
