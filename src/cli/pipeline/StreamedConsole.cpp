#include "pipeline/StreamedConsole.h"

#include <QIODevice>

void WriteLine(QIODevice &device, const QString &line)
{
    device.write(line.toUtf8() + '\n');
}

void StreamedConsole::addLine(const QString &line)
{
    m_lines.append(line);
    WriteLine(m_out, line);
}

void StreamedConsole::addLines(const QStringList &lines)
{
    m_lines.append(lines);
    for (qsizetype i = m_stream.completed(); i < lines.size(); ++i)
        WriteLine(m_out, lines.at(i));
    // The next run's output starts afresh.
    m_stream = CaptureLineStream();
}

void StreamedConsole::outputGrew(const QByteArray &added)
{
    for (const QString &line : m_stream.feed(added))
        WriteLine(m_out, line);
}
