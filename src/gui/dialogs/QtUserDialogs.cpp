#include "dialogs/QtUserDialogs.h"

#include "base/UserDialogs.h"

#include "dialogs/FolderDialog.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeView>

namespace {

QMessageBox::Icon iconFor(MessageKind kind)
{
    switch (kind) {
    case MessageKind::Information: return QMessageBox::Information;
    case MessageKind::Warning: return QMessageBox::Warning;
    case MessageKind::Error: return QMessageBox::Critical;
    case MessageKind::Question: return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

// A box opened while a window stays on top of all others would open behind
// it and leave a modal box nobody can see; it stays on top too then.
bool topMostWindowShown()
{
    for (const QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && window->windowFlags().testFlag(Qt::WindowStaysOnTopHint))
            return true;
    }
    return false;
}

void keepAboveTopMostWindows(QWidget *dialog, bool topMost = false)
{
    if (topMost || topMostWindowShown())
        dialog->setWindowFlag(Qt::WindowStaysOnTopHint);
}

// Qt's own file dialog (where the desktop offers none) opens narrower than
// its detail columns: Name, Size, Type and Date Modified did not all show,
// and the date was cut. It opens wide enough for them, the name taking what
// the others leave.
void fitFileDialog(QFileDialog &dialog)
{
    dialog.resize(dialog.sizeHint().expandedTo(QSize(760, 460)));
    auto *details = dialog.findChild<QTreeView *>(QStringLiteral("treeView"));
    if (!details)
        return;
    QHeaderView *header = details->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < header->count(); ++column)
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
}

// QFileDialog wants "A (*.a);;B (*.b)"; callers hand over exactly that.
class QtUserDialogs final : public UserDialogs {
public:
    DialogButton showMessage(const MessageRequest &request) override
    {
        // No parent: the box stands alone, as the program's message boxes do.
        QMessageBox box(iconFor(request.kind), request.caption, request.text);
        box.setWindowModality(Qt::ApplicationModal);

        struct Choice { DialogButton button; const char *label; };
        static const Choice choices[] = {{DialogButton::Ok, "OK"}, {DialogButton::Yes, "&Yes"},
                                         {DialogButton::No, "&No"}, {DialogButton::All, "&All"}};
        QHash<QAbstractButton *, DialogButton> answers;
        for (const Choice &choice : choices) {
            if (!request.buttons.testFlag(choice.button))
                continue;
            QPushButton *button = box.addButton(QString::fromLatin1(choice.label),
                                                QMessageBox::AcceptRole);
            answers.insert(button, choice.button);
            if (choice.button == request.defaultButton)
                box.setDefaultButton(button);
            if (choice.button == request.escapeButton)
                box.setEscapeButton(button);
        }
        // Set last: the box settles its own window flags as it is built.
        keepAboveTopMostWindows(&box, request.topMost);
        box.exec();
        return answers.value(box.clickedButton(), request.escapeButton);
    }

    std::optional<QString> getOpenFileName(const OpenFileRequest &request) override
    {
        QFileDialog dialog(nullptr, request.caption, request.startFolder, request.filter);
        keepAboveTopMostWindows(&dialog);
        if (!request.selectedFilter.isEmpty())
            dialog.selectNameFilter(request.selectedFilter);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setOption(QFileDialog::ReadOnly, false);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
        fitFileDialog(dialog);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    }

    std::optional<QStringList> getOpenFileNames(const OpenFileRequest &request) override
    {
        QFileDialog dialog(nullptr, request.caption, request.startFolder, request.filter);
        keepAboveTopMostWindows(&dialog);
        if (!request.selectedFilter.isEmpty())
            dialog.selectNameFilter(request.selectedFilter);
        dialog.setFileMode(QFileDialog::ExistingFiles);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        fitFileDialog(dialog);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles();
    }

    std::optional<QString> getSaveFileName(const SaveFileRequest &request) override
    {
        QFileDialog dialog(nullptr, request.caption, request.startFolder, request.filter);
        keepAboveTopMostWindows(&dialog);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix(request.defaultSuffix);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);
        fitFileDialog(dialog);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().constFirst();
    }

    std::optional<QString> getExistingFolder(const FolderRequest &request) override
    {
        FolderDialog dialog(nullptr);
        keepAboveTopMostWindows(&dialog);
        dialog.setWindowTitle(request.caption);
        dialog.setPrompt(request.prompt);
        dialog.selectPath(request.startPath);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        return dialog.selectedPath();
    }

    void openUrl(const QUrl &url) override { QDesktopServices::openUrl(url); }
};

} // namespace

void InstallQtUserDialogs()
{
    UserDialogs::install(std::make_unique<QtUserDialogs>());
}
