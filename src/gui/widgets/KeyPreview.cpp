#include "widgets/KeyPreview.h"

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QWidget>

KeyPreview::KeyPreview(QWidget *window, Handler handler)
    : QObject(window)
    , m_window(window)
    , m_handler(std::move(handler))
{
    qApp->installEventFilter(this);
}

KeyPreview::~KeyPreview()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

bool KeyPreview::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType())
        return false;
    auto *receiver = static_cast<QWidget *>(watched);
    if (receiver->window() != m_window)
        return false;
    // The same key travelling on reaches a strict ancestor of the control
    // that had it. A new key event may reuse the old one's address, but then
    // goes to the focused control again, not to its parent.
    const bool propagating = event == m_lastEvent && m_lastReceiver
        && receiver != m_lastReceiver && receiver->isAncestorOf(m_lastReceiver);
    m_lastEvent = event;
    m_lastReceiver = receiver;
    if (propagating)
        return false;
    return m_handler(static_cast<QKeyEvent *>(event));
}

void CloseOnEscape(QWidget *window)
{
    new KeyPreview(window, [window](QKeyEvent *key) {
        if (key->key() != Qt::Key_Escape)
            return false;
        if (auto *dialog = qobject_cast<QDialog *>(window))
            dialog->reject();
        else
            window->close();
        return true;
    });
}
