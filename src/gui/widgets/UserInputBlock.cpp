#include "widgets/UserInputBlock.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>
#include <QWindow>

// Swallows the user's input and refuses to close windows while a tool runs,
// so the windows can keep painting without the user starting a second
// action or quitting under the running tool.
class UserInputBlocker final : public QObject {
public:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
        case QEvent::NonClientAreaMouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
        case QEvent::TabletMove:
        case QEvent::ContextMenu:
        case QEvent::InputMethod:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            // A drop would change the file list under the running tool.
            event->ignore();
            return true;
        case QEvent::Close: {
            const auto *widget = qobject_cast<QWidget *>(watched);
            if ((widget && widget->isWindow()) || qobject_cast<QWindow *>(watched)) {
                event->ignore();
                return true;
            }
            return false;
        }
        default:
            return false;
        }
    }
};

UserInputBlock::UserInputBlock() : m_blocker(std::make_unique<UserInputBlocker>()) {}

UserInputBlock::~UserInputBlock()
{
    setBlocked(false);
}

void UserInputBlock::setBlocked(bool blocked)
{
    if (blocked == m_blocked)
        return;
    m_blocked = blocked;
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    if (blocked)
        app->installEventFilter(m_blocker.get());
    else
        app->removeEventFilter(m_blocker.get());
}
