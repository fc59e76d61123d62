#pragma once

// The console text of the build-server command, written to standard
// output as it comes: a line added by the sign run at once, the tool's
// output line by line while the tool runs. When a run ends its lines come
// whole (as the console window gets them); those already written are not
// written again, so that standard output shows exactly the console's text,
// control characters escaped as there (platform::shownText).

#include "pipeline/CaptureLineStream.h"
#include "signing/ConsoleText.h"

class QIODevice;

class StreamedConsole final : public ConsoleText {
public:
    explicit StreamedConsole(QIODevice &out) : m_out(out) {}

    void clear() override { m_lines.clear(); }
    void addLine(const QString &line) override;
    void addLines(const QStringList &lines) override;
    QStringList lines() const override { return m_lines; }

    // A piece of the running tool's output.
    void outputGrew(const QByteArray &added);

private:
    QIODevice &m_out;
    QStringList m_lines;
    CaptureLineStream m_stream;
};

// One line of UTF-8 text and its line end.
void WriteLine(QIODevice &device, const QString &line);
