#include "signing/u_frmConsoleOutput.h"

#include "app/KeyPreview.h"

#include <QFontDatabase>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTextBlock>
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
    memoConsoleOutput->clear();
    m_hasLines = false;
}

void TfrmConsoleOutput::addLine(const QString &line)
{
    addLines({line});
}

void TfrmConsoleOutput::addLines(const QStringList &newLines)
{
    if (newLines.isEmpty())
        return;
    // An empty document still holds one empty paragraph, so the first lines
    // replace it instead of following it.
    const QString text = newLines.join(QLatin1Char('\n'));
    if (m_hasLines)
        memoConsoleOutput->appendPlainText(text);
    else
        memoConsoleOutput->setPlainText(text);
    m_hasLines = true;
}

QStringList TfrmConsoleOutput::lines() const
{
    QStringList result;
    if (!m_hasLines)
        return result;
    for (QTextBlock block = memoConsoleOutput->document()->firstBlock(); block.isValid();
         block = block.next())
        result.append(block.text());
    return result;
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
