#pragma once

// Closes the console as soon as it is shown, noting what the user saw then:
// its lines and, when a wait panel is given, whether that panel was still up.

#include "console/u_frmConsoleOutput.h"

#include <QEvent>
#include <QFrame>
#include <QObject>
#include <QStringList>
#include <QTimer>

class ConsoleWatcher : public QObject {
public:
    explicit ConsoleWatcher(TfrmConsoleOutput *console, QFrame *waitPanel = nullptr)
        : m_console(console)
        , m_waitPanel(waitPanel)
    {
        console->installEventFilter(this);
    }

    int shown = 0;
    bool waitPanelVisibleAtShow = false;
    QStringList linesAtShow;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            ++shown;
            waitPanelVisibleAtShow = m_waitPanel && m_waitPanel->isVisible();
            linesAtShow = m_console->lines();
            QTimer::singleShot(0, m_console, [this] { m_console->reject(); });
        }
        return false;
    }

private:
    TfrmConsoleOutput *m_console;
    QFrame *m_waitPanel;
};
