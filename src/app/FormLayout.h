#pragma once

// Placing controls on a fixed-layout form, the way the program's windows
// were designed: every control at its bounds, in the form's font.

#include <QFont>
#include <QList>
#include <QPair>
#include <QString>
#include <QWidget>

// The forms' font: Tahoma where installed, else the nearest in width.
inline QFont FormFont(bool bold = false)
{
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(11);
    font.setBold(bold);
    return font;
}

// Names a control and puts it at its bounds.
template <typename Control>
Control *place(Control *control, const char *name, int left, int top, int width, int height)
{
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(left, top, width, height);
    return control;
}

// Labels are as wide as their caption (at least `width`), so a font other
// than the designers' grows them to the right instead of cutting the text.
template <typename Label>
Label *placeLabel(Label *label, const char *name, const QString &caption, int left, int top,
                  int width = 0, int height = 13)
{
    label->setText(caption);
    place(label, name, left, top, width, height);
    label->resize(qMax(width, label->sizeHint().width()), height);
    return label;
}

// Tab moves through the controls in the order given.
inline void setTabChain(const QList<QWidget *> &chain)
{
    for (qsizetype i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
}

// Each control's hint, kept up long enough to read the longer ones.
inline void setHints(const QList<QPair<QWidget *, QString>> &hints)
{
    for (const auto &[control, hint] : hints) {
        control->setToolTip(hint);
        control->setToolTipDuration(20000);
    }
}
