#pragma once

// Every message box and every file or folder dialog of the program goes
// through this small interface. The window installs the Qt implementation;
// tests install a scripted one that records what would have been shown and
// answers without ever blocking on a modal box.

#include <QFlags>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QUrl;
class QWidget;

enum class MessageKind { Information, Warning, Error, Question };

enum class DialogButton {
    None = 0x0,
    Ok = 0x1,
    Yes = 0x2,
    No = 0x4,
    All = 0x8,
};
Q_DECLARE_FLAGS(DialogButtons, DialogButton)
Q_DECLARE_OPERATORS_FOR_FLAGS(DialogButtons)

struct MessageRequest {
    MessageKind kind = MessageKind::Information;
    QString caption;
    QString text;
    DialogButtons buttons = DialogButton::Ok;
    DialogButton defaultButton = DialogButton::Ok;
    // The button that Escape (or closing the box) stands for.
    DialogButton escapeButton = DialogButton::Ok;
    bool topMost = false;
};

struct OpenFileRequest {
    QString caption;          // empty: the system's own caption
    QString filter;           // Qt filter text, e.g. "Personal Information Exchange (*.pfx)"
    QString startFolder;
    QString selectedFilter;   // the entry of `filter` chosen at the start; empty: the first
};

struct SaveFileRequest {
    QString caption;
    QString filter;
    QString defaultSuffix;    // without the dot; empty for none
    QString startFolder;
    bool confirmOverwrite = true;
};

struct FolderRequest {
    QString caption;          // window caption, e.g. "Select Folder"
    QString prompt;           // shown above the folder tree
    QString startPath;        // the folder selected when the dialog opens
};

class UserDialogs {
public:
    virtual ~UserDialogs() = default;

    virtual DialogButton showMessage(const MessageRequest &request) = 0;
    virtual std::optional<QString> getOpenFileName(const OpenFileRequest &request) = 0;
    // Several existing files at once; nullopt when cancelled. Dialogs that
    // cannot ask (the headless command's) answer as a cancel.
    virtual std::optional<QStringList> getOpenFileNames(const OpenFileRequest &request)
    {
        Q_UNUSED(request);
        return std::nullopt;
    }
    virtual std::optional<QString> getSaveFileName(const SaveFileRequest &request) = 0;
    virtual std::optional<QString> getExistingFolder(const FolderRequest &request) = 0;
    // Asks the desktop to open a document or web address; the outcome is
    // not reported.
    virtual void openUrl(const QUrl &url) = 0;

    // The dialogs in use; the Qt implementation unless a test installed another.
    static UserDialogs &current();
    // Installs `dialogs` and returns the one it replaces.
    static std::unique_ptr<UserDialogs> install(std::unique_ptr<UserDialogs> dialogs);
};

// The standard boxes of the program, built on UserDialogs::current().
namespace Messages {
void information(const QString &text);                   // caption "Information"
void warning(const QString &text);                       // caption "Warning"
bool confirm(const QString &text);                       // caption "Confirm"; Yes default, Escape = No
void error(const QString &caption, const QString &text, bool topMost = false);
} // namespace Messages
