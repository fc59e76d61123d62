#include "base/UserDialogs.h"

#include <cstdio>

namespace {

// Without a window there is nobody to answer a box: its text goes to
// standard error and a question takes the answer that Escape gives. The
// window installs the Qt boxes (see dialogs/QtUserDialogs.h) before it
// shows anything.
class StandardErrorBoxes final : public UserDialogs {
public:
    DialogButton showMessage(const MessageRequest &request) override
    {
        std::fprintf(stderr, "%s: %s\n", qUtf8Printable(request.caption),
                     qUtf8Printable(request.text));
        return request.escapeButton;
    }
    std::optional<QString> getOpenFileName(const OpenFileRequest &) override { return {}; }
    std::optional<QString> getSaveFileName(const SaveFileRequest &) override { return {}; }
    std::optional<QString> getExistingFolder(const FolderRequest &) override { return {}; }
    void openUrl(const QUrl &) override {}
};

std::unique_ptr<UserDialogs> &installed()
{
    static std::unique_ptr<UserDialogs> dialogs;
    return dialogs;
}

DialogButton ask(MessageKind kind, const QString &caption, const QString &text,
                 DialogButtons buttons, DialogButton defaultButton, DialogButton escapeButton,
                 bool topMost = false)
{
    MessageRequest request;
    request.kind = kind;
    request.caption = caption;
    request.text = text;
    request.buttons = buttons;
    request.defaultButton = defaultButton;
    request.escapeButton = escapeButton;
    request.topMost = topMost;
    return UserDialogs::current().showMessage(request);
}

} // namespace

UserDialogs &UserDialogs::current()
{
    if (!installed())
        installed() = std::make_unique<StandardErrorBoxes>();
    return *installed();
}

std::unique_ptr<UserDialogs> UserDialogs::install(std::unique_ptr<UserDialogs> dialogs)
{
    std::unique_ptr<UserDialogs> previous = std::move(installed());
    installed() = std::move(dialogs);
    return previous;
}

namespace Messages {

void information(const QString &text)
{
    ask(MessageKind::Information, QStringLiteral("Information"), text, DialogButton::Ok,
        DialogButton::Ok, DialogButton::Ok);
}

void warning(const QString &text)
{
    ask(MessageKind::Warning, QStringLiteral("Warning"), text, DialogButton::Ok,
        DialogButton::Ok, DialogButton::Ok);
}

bool confirm(const QString &text)
{
    return ask(MessageKind::Question, QStringLiteral("Confirm"), text,
               DialogButton::Yes | DialogButton::No, DialogButton::Yes, DialogButton::No)
        == DialogButton::Yes;
}

void error(const QString &caption, const QString &text, bool topMost)
{
    ask(MessageKind::Error, caption, text, DialogButton::Ok, DialogButton::Ok, DialogButton::Ok,
        topMost);
}

} // namespace Messages
