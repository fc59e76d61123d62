#pragma once

// Splits a tool's output into lines while it arrives in pieces, giving each
// line as soon as its line end has come, exactly as SplitCaptureLines gives
// the lines of the whole output: a line ends at CR LF, a lone CR or a lone
// LF (a CR LF cut between two pieces is still one line end), a NUL byte
// ends the text, and the bytes are read as UTF-8. The last line, which has
// no line end, is left to whoever reads the whole output at the end.

#include <QByteArray>
#include <QByteArrayView>
#include <QStringList>

class CaptureLineStream {
public:
    // The lines that this piece completed, in order.
    QStringList feed(QByteArrayView bytes);

    // How many lines have been completed so far.
    qsizetype completed() const { return m_completed; }

private:
    QByteArray m_partial;          // the current line's bytes so far
    bool m_afterCarriageReturn = false;
    bool m_ended = false;          // a NUL has come: nothing after it counts
    qsizetype m_completed = 0;
};
