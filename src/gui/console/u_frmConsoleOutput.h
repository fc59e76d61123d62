#pragma once

// The console output window: what the SDK tools printed during the last
// run, as plain read-only text, optionally headed by the command line. It
// is created once, shown modally after each run, and keeps its text until
// the next run clears it.

#include "signing/ConsoleText.h"

#include <QDialog>

class QPlainTextEdit;
class QStatusBar;

class TfrmConsoleOutput : public QDialog, public ConsoleText {
    Q_OBJECT
public:
    explicit TfrmConsoleOutput(QWidget *parent = nullptr);

    // ConsoleText: the three operations callers use on the lines.
    void clear() override;
    void addLine(const QString &line) override;
    void addLines(const QStringList &lines) override;
    QStringList lines() const override;

    // Shows the window modally, centred over its owner, and returns when it
    // is closed.
    void showModal();

    QPlainTextEdit *memoConsoleOutput;
    QStatusBar *statBar;

private:
    QStringList m_lines;
};

extern TfrmConsoleOutput *frmConsoleOutput;
