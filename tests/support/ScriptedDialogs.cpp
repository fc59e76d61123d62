#include "support/ScriptedDialogs.h"

DialogButton ScriptedDialogs::showMessage(const MessageRequest &request)
{
    const ShownMessage shown{request.kind,    request.caption,       request.text,
                             request.buttons, request.defaultButton, request.escapeButton};
    messages.append(shown);
    if (onMessage)
        onMessage(shown);
    return messageAnswers.isEmpty() ? request.escapeButton : messageAnswers.dequeue();
}

std::optional<QString> ScriptedDialogs::getOpenFileName(const OpenFileRequest &request)
{
    dialogs.append({ShownDialog::OpenFile, request.caption, {}, request.filter,
                    request.startFolder, {}, request.selectedFilter});
    return fileAnswers.isEmpty() ? std::nullopt : fileAnswers.dequeue();
}

std::optional<QStringList> ScriptedDialogs::getOpenFileNames(const OpenFileRequest &request)
{
    dialogs.append({ShownDialog::OpenFiles, request.caption, {}, request.filter,
                    request.startFolder, {}, request.selectedFilter});
    return filesAnswers.isEmpty() ? std::nullopt : filesAnswers.dequeue();
}

std::optional<QString> ScriptedDialogs::getSaveFileName(const SaveFileRequest &request)
{
    dialogs.append({ShownDialog::SaveFile, request.caption, {}, request.filter,
                    request.startFolder, request.defaultSuffix, {}});
    return fileAnswers.isEmpty() ? std::nullopt : fileAnswers.dequeue();
}

std::optional<QString> ScriptedDialogs::getExistingFolder(const FolderRequest &request)
{
    dialogs.append({ShownDialog::Folder, request.caption, request.prompt, {}, request.startPath,
                    {}, {}});
    return folderAnswers.isEmpty() ? std::nullopt : folderAnswers.dequeue();
}

QStringList ScriptedDialogs::messageTexts() const
{
    QStringList texts;
    for (const ShownMessage &message : messages)
        texts.append(message.text);
    return texts;
}

ScriptedDialogsGuard::ScriptedDialogsGuard()
{
    auto dialogs = std::make_unique<ScriptedDialogs>();
    m_dialogs = dialogs.get();
    m_previous = UserDialogs::install(std::move(dialogs));
}

ScriptedDialogsGuard::~ScriptedDialogsGuard()
{
    UserDialogs::install(std::move(m_previous));
}
