#include "app/PickComboBox.h"

#include <QWheelEvent>

PickComboBox::PickComboBox(QWidget *parent)
    : QComboBox(parent)
{
    // Not Qt::WheelFocus (a combo box's default): a wheel over it must not
    // make it the focused control and then change it.
    setFocusPolicy(Qt::StrongFocus);
    connect(this, &QComboBox::activated, this, [this](int index) {
        if (!m_wheeling)
            emit picked(index);
    });
}

void PickComboBox::wheelEvent(QWheelEvent *event)
{
    if (!hasFocus()) {
        // Left to the window behind it.
        event->ignore();
        return;
    }
    // QComboBox reports a wheel step as "activated", as if the name had
    // been chosen; here it only moves the selection.
    m_wheeling = true;
    QComboBox::wheelEvent(event);
    m_wheeling = false;
}
