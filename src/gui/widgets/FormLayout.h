#pragma once

// Placing controls on a fixed-layout form, the way the program's windows
// were designed: every control at its bounds, in the form's font.

#include <QFont>
#include <QLabel>
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

// The tops of rows of the given heights stacked in the band from `top` to
// `bottom` (exclusive) with equal gaps above, between and below them; what
// cannot be shared evenly goes to the gaps from the top down.
inline QList<int> evenRowTops(int top, int bottom, const QList<int> &heights)
{
    int free = bottom - top;
    for (int height : heights)
        free -= height;
    const int gaps = int(heights.size()) + 1;
    const int gap = free / gaps;
    int extra = free - gap * gaps;
    QList<int> tops;
    int y = top;
    for (int height : heights) {
        y += gap + (extra > 0 ? 1 : 0);
        extra = qMax(0, extra - 1);
        tops.append(y);
        y += height;
    }
    return tops;
}

// Tab moves through the controls in the order given.
inline void setTabChain(const QList<QWidget *> &chain)
{
    for (qsizetype i = 1; i < chain.size(); ++i)
        QWidget::setTabOrder(chain[i - 1], chain[i]);
}

// A hint as a screen reader reads it: one line, its breaks (set for the
// tool tip's shape) made blanks.
inline QString hintDescription(const QString &hint)
{
    return QString(hint).replace(QLatin1Char('\n'), QLatin1Char(' ')).simplified();
}

// Each control's hint, kept up long enough to read the longer ones, and
// read out as the control's description.
inline void setHints(const QList<QPair<QWidget *, QString>> &hints)
{
    for (const auto &[control, hint] : hints) {
        control->setToolTip(hint);
        control->setToolTipDuration(20000);
        control->setAccessibleDescription(hintDescription(hint));
    }
}

// A label's caption as the name of the control beside it: without the
// closing colon ("TimeStamp URL:" names the box "TimeStamp URL").
inline QString nameFromCaption(QString caption)
{
    caption = caption.trimmed();
    if (caption.endsWith(QLatin1Char(':')))
        caption.chop(1);
    return caption.trimmed();
}

// Names each control after the label that stands beside it, which becomes
// its buddy. Nothing on the screen changes as long as the captions hold no
// "&", which a label with a buddy would show as an underline.
inline void nameFromLabels(const QList<QPair<QLabel *, QWidget *>> &pairs)
{
    for (const auto &[label, control] : pairs) {
        label->setBuddy(control);
        control->setAccessibleName(nameFromCaption(label->text()));
    }
}

// Names the controls that have no label beside them (a "..." button, an
// image button).
inline void setAccessibleNames(const QList<QPair<QWidget *, QString>> &names)
{
    for (const auto &[control, name] : names)
        control->setAccessibleName(name);
}
