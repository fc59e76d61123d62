#pragma once

// Whole-file reads and writes for tests that set up and check small text
// files (settings, projects), stand-in tool scripts, and files named by raw
// bytes (names that are not UTF-8, which QFile cannot make).

#include "support/TestData.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace testfiles {

// The file's bytes. A file that cannot be read gives "<unreadable>", so
// that it never passes for an empty one.
inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

// Replaces the file's contents; a failure fails the running test.
inline void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

// An executable /bin/sh script running `body`, a stand-in for a tool; a
// failure fails the running test.
inline void writeScript(const QString &path, const QByteArray &body)
{
    QVERIFY(testdata::writeBytes(path, "#!/bin/sh\n" + body));
    QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner));
}

// Creates a new file (never an existing one) under the very bytes of
// `path` with `content`; false when it cannot be made or written whole.
inline bool makeRawFile(const QByteArray &path, const QByteArray &content)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    return written;
}

} // namespace testfiles
