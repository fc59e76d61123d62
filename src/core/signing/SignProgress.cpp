#include "signing/SignProgress.h"

#include "signing/SignBatches.h"

#include <algorithm>

namespace {

constexpr QByteArrayView SignedPrefix("Successfully signed: ");
constexpr QByteArrayView FailedPrefix("SignTool Error: ");

bool couldStillBe(QByteArrayView start, QByteArrayView prefix)
{
    return prefix.startsWith(start);
}

} // namespace

void OutcomeLineCounter::feed(QByteArrayView bytes)
{
    const qsizetype longest = std::max(SignedPrefix.size(), FailedPrefix.size());
    for (const char c : bytes) {
        if (c == '\r' || c == '\n') {
            m_lineStart.clear();
            m_lineDecided = false;
            continue;
        }
        if (m_lineDecided)
            continue;
        m_lineStart.append(c);
        if (m_lineStart == SignedPrefix || m_lineStart == FailedPrefix) {
            ++m_count;
            if (m_lineStart == SignedPrefix)
                ++m_signed;
            m_lineDecided = true;
        } else if (m_lineStart.size() >= longest
                   || (!couldStillBe(m_lineStart, SignedPrefix)
                       && !couldStillBe(m_lineStart, FailedPrefix))) {
            m_lineDecided = true;
        }
    }
}

int CountFinishedFiles(QByteArrayView outputSoFar)
{
    OutcomeLineCounter counter;
    counter.feed(outputSoFar);
    return counter.count();
}

int CountSignedFiles(const QStringList &lines)
{
    OutcomeLineCounter counter;
    for (const QString &line : lines) {
        counter.feed(line.toUtf8());
        counter.feed("\n");
    }
    return counter.signedCount();
}

QString ProgressText(int done, int total)
{
    const int shown = std::clamp(done, 0, std::max(total, 0));
    return QStringLiteral("%1 of %2 files done").arg(GroupedNumber(shown), GroupedNumber(total));
}
