#include "console/u_frmConsoleOutput.h"

#include "widgets/KeyPreview.h"
#include "platform/Platform.h"

#include <QFontDatabase>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextCursor>
#include <QVBoxLayout>

TfrmConsoleOutput *frmConsoleOutput = nullptr;

TfrmConsoleOutput::TfrmConsoleOutput(QWidget *parent)
    : QDialog(parent)
    , memoConsoleOutput(new QPlainTextEdit(this))
    , statBar(new QStatusBar(this))
{
    setObjectName(QStringLiteral("frmConsoleOutput"));
    setWindowTitle(QStringLiteral("Quillmark - Console Output"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setModal(true);
    setSizeGripEnabled(false);
    setMinimumSize(113, 29);
    resize(592, 443);
    setStyleSheet(QStringLiteral("QDialog#frmConsoleOutput { background: rgb(219, 219, 219); }"));

    memoConsoleOutput->setObjectName(QStringLiteral("memoConsoleOutput"));
    memoConsoleOutput->setReadOnly(true);
    memoConsoleOutput->setTextInteractionFlags(Qt::TextSelectableByMouse
                                               | Qt::TextSelectableByKeyboard);
    memoConsoleOutput->setLineWrapMode(QPlainTextEdit::NoWrap);
    memoConsoleOutput->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memoConsoleOutput->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont mono(QStringLiteral("Courier New"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setFamilies({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                      QStringLiteral("DejaVu Sans Mono"), QStringLiteral("monospace")});
    mono.setPixelSize(11);
    memoConsoleOutput->setFont(mono);
    memoConsoleOutput->setAccessibleName(QStringLiteral("Console Output"));
    memoConsoleOutput->verticalScrollBar()->setAccessibleName(
        QStringLiteral("Console Output scroll bar"));

    statBar->setObjectName(QStringLiteral("statBar"));
    statBar->setFixedHeight(19);
    statBar->setSizeGripEnabled(true);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(memoConsoleOutput, 1);
    layout->addWidget(statBar);

    CloseOnEscape(this);
}

void TfrmConsoleOutput::clear()
{
    m_lines.clear();
    memoConsoleOutput->clear();
}

void TfrmConsoleOutput::addLine(const QString &line)
{
    addLines({line});
}

void TfrmConsoleOutput::addLines(const QStringList &newLines)
{
    if (newLines.isEmpty())
        return;
    // The lines are kept apart from the text area, which cannot tell an
    // empty document from one that holds a single empty line.
    // A line holds no line break nor other control character of its own:
    // a name in a tool's output cannot forge a line or turn one around.
    QStringList shown;
    shown.reserve(newLines.size());
    for (const QString &line : newLines)
        shown.append(platform::shownText(line));
    QTextCursor cursor(memoConsoleOutput->document());
    cursor.movePosition(QTextCursor::End);
    if (!m_lines.isEmpty())
        cursor.insertBlock();
    cursor.insertText(shown.join(QLatin1Char('\n')));
    m_lines.append(shown);
}

QStringList TfrmConsoleOutput::lines() const
{
    return m_lines;
}

void TfrmConsoleOutput::showModal()
{
    if (QWidget *owner = parentWidget() ? parentWidget()->window() : nullptr) {
        QRect frame = geometry();
        frame.moveCenter(owner->geometry().center());
        move(frame.topLeft());
    }
    exec();
}
