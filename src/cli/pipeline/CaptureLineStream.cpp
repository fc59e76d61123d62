#include "pipeline/CaptureLineStream.h"

#include <QString>

QStringList CaptureLineStream::feed(QByteArrayView bytes)
{
    QStringList lines;
    for (const char c : bytes) {
        if (m_ended)
            break;
        if (c == '\0') {
            m_ended = true;
            break;
        }
        const bool secondHalfOfCrLf = m_afterCarriageReturn && c == '\n';
        m_afterCarriageReturn = c == '\r';
        if (secondHalfOfCrLf)
            continue;
        if (c == '\r' || c == '\n') {
            lines.append(QString::fromUtf8(m_partial));
            m_partial.clear();
            continue;
        }
        m_partial.append(c);
    }
    m_completed += lines.size();
    return lines;
}
