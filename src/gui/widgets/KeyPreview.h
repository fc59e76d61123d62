#pragma once

// Key preview: lets a window see every key pressed in any of its controls
// before the control does. The handler returns true to swallow the key, or
// false to let it go on to the focused control as usual.

#include <QObject>
#include <QPointer>

#include <functional>

class QKeyEvent;
class QWidget;

class KeyPreview : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<bool(QKeyEvent *)>;

    KeyPreview(QWidget *window, Handler handler);
    ~KeyPreview() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *m_window;
    Handler m_handler;
    // A key that a control ignores travels on to its parents; it is previewed
    // once, for the first control that got it.
    const QEvent *m_lastEvent = nullptr;
    QPointer<QWidget> m_lastReceiver;
};

// Closes `window` (as its close button would) on Escape, whatever modifier
// keys are held, even while one of its controls has the focus.
void CloseOnEscape(QWidget *window);
