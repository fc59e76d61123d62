#pragma once

// How far a signing run is, told from what the signing tool has printed so
// far. A file is done when the line with its outcome appears: a line that
// begins "Successfully signed: " or "SignTool Error: ". The count can only
// grow as more output arrives, and it moves in jumps when the tool prints
// several outcomes at once.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

// Counts outcome lines in output that arrives in pieces. A line counts as
// soon as its opening words have arrived in full, whether or not the rest
// of the line has; a line still cut short inside those words counts when
// the next piece completes them. Lines end at CR or LF.
class OutcomeLineCounter {
public:
    void feed(QByteArrayView bytes);
    int count() const { return m_count; }
    // Of those, the lines that tell a file was signed.
    int signedCount() const { return m_signed; }

private:
    QByteArray m_lineStart;    // the current line's first bytes, up to the longest prefix
    bool m_lineDecided = false; // the current line is counted or cannot be an outcome
    int m_count = 0;
    int m_signed = 0;
};

// The number of outcome lines in the output so far.
int CountFinishedFiles(QByteArrayView outputSoFar);

// The number of lines that tell a file was signed.
int CountSignedFiles(const QStringList &lines);

// "n of N files done", the numbers grouped by thousands; n is held to 0..N.
QString ProgressText(int done, int total);
