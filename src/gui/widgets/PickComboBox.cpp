#include "widgets/PickComboBox.h"

#include <QWheelEvent>

PickComboBox::PickComboBox(QWidget *parent)
    : QComboBox(parent)
{
    // Not Qt::WheelFocus (a combo box's default): a wheel over it must not
    // make it the focused control and then change it.
    setFocusPolicy(Qt::StrongFocus);
    // QComboBox reports a key, a click in the list and a wheel step with
    // the focus as "activated"; a choice by code is not reported.
    connect(this, &QComboBox::activated, this, &PickComboBox::picked);
}

void PickComboBox::wheelEvent(QWheelEvent *event)
{
    if (!hasFocus()) {
        // Left to the window behind it.
        event->ignore();
        return;
    }
    QComboBox::wheelEvent(event);
}
