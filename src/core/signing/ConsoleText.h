#pragma once

// The lines of the console output text. The console window owns them; the
// sign action, the tool runner and the wizard only clear, add one line or
// append a list of lines.

#include <QString>
#include <QStringList>

class ConsoleText {
public:
    virtual ~ConsoleText() = default;
    virtual void clear() = 0;
    virtual void addLine(const QString &line) = 0;
    virtual void addLines(const QStringList &lines) = 0;
    virtual QStringList lines() const = 0;
};

// A console text kept in memory, for code that has no window to write to.
class ConsoleLines final : public ConsoleText {
public:
    void clear() override { m_lines.clear(); }
    void addLine(const QString &line) override { m_lines.append(line); }
    void addLines(const QStringList &lines) override { m_lines.append(lines); }
    QStringList lines() const override { return m_lines; }

private:
    QStringList m_lines;
};
