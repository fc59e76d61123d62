#include "pipeline/StreamedConsole.h"

#include "platform/Platform.h"

#include <QIODevice>

void WriteLine(QIODevice &device, const QString &line)
{
    device.write(line.toUtf8() + '\n');
}

void StreamedConsole::addLine(const QString &line)
{
    const QString shown = platform::shownText(line);
    m_lines.append(shown);
    WriteLine(m_out, shown);
}

void StreamedConsole::addLines(const QStringList &lines)
{
    for (const QString &line : lines)
        m_lines.append(platform::shownText(line));
    for (qsizetype i = m_stream.completed(); i < lines.size(); ++i)
        WriteLine(m_out, platform::shownText(lines.at(i)));
    // The next run's output starts afresh.
    m_stream = CaptureLineStream();
}

void StreamedConsole::outputGrew(const QByteArray &added)
{
    for (const QString &line : m_stream.feed(added))
        WriteLine(m_out, platform::shownText(line));
}
