#pragma once

// A drop-down list whose choice the user makes on purpose. The mouse wheel
// changes it only while it has the keyboard focus (it does not take the
// focus by itself), so a wheel notch meant for the window never changes
// it; and `picked` reports a choice made by the user: a click in the open
// list, a key, or a wheel step with the focus (which behaves as the arrow
// keys do), never a choice made by code.

#include <QComboBox>

class PickComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit PickComboBox(QWidget *parent = nullptr);

signals:
    void picked(int index);

protected:
    void wheelEvent(QWheelEvent *event) override;
};
