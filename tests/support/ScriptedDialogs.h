#pragma once

// A UserDialogs stand-in for tests: it records every box and dialog that
// would have been shown and answers from a script. When the script runs
// dry, a message is answered with its escape button and a file or folder
// dialog is cancelled, so no test ever blocks on a modal box.

#include "base/UserDialogs.h"

#include <QList>
#include <QQueue>
#include <QUrl>

#include <functional>

struct ShownMessage {
    MessageKind kind;
    QString caption;
    QString text;
    DialogButtons buttons;
    DialogButton defaultButton;
    DialogButton escapeButton;
};

struct ShownDialog {
    enum Kind { OpenFile, SaveFile, Folder, OpenFiles } kind;
    QString caption;
    QString prompt;    // folder dialogs
    QString filter;    // file dialogs
    QString startPath;
    QString defaultSuffix;
    QString selectedFilter;   // open dialogs
};

class ScriptedDialogs final : public UserDialogs {
public:
    QList<ShownMessage> messages;
    QList<ShownDialog> dialogs;

    QList<QUrl> openedUrls;

    QQueue<DialogButton> messageAnswers;
    QQueue<std::optional<QString>> fileAnswers;    // open and save dialogs
    QQueue<std::optional<QString>> folderAnswers;
    QQueue<std::optional<QStringList>> filesAnswers;   // dialogs that pick several files
    // Runs while a message is "shown", before it is answered.
    std::function<void(const ShownMessage &)> onMessage;

    DialogButton showMessage(const MessageRequest &request) override;
    std::optional<QString> getOpenFileName(const OpenFileRequest &request) override;
    std::optional<QStringList> getOpenFileNames(const OpenFileRequest &request) override;
    std::optional<QString> getSaveFileName(const SaveFileRequest &request) override;
    std::optional<QString> getExistingFolder(const FolderRequest &request) override;
    void openUrl(const QUrl &url) override { openedUrls.append(url); }

    QStringList messageTexts() const;
};

// Installs a ScriptedDialogs for the life of the guard and puts the previous
// dialogs back afterwards.
class ScriptedDialogsGuard {
public:
    ScriptedDialogsGuard();
    ~ScriptedDialogsGuard();
    ScriptedDialogs &operator*() { return *m_dialogs; }
    ScriptedDialogs *operator->() { return m_dialogs; }
    ScriptedDialogs &get() { return *m_dialogs; }

private:
    ScriptedDialogs *m_dialogs;
    std::unique_ptr<UserDialogs> m_previous;
};
