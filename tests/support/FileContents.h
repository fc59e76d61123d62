#pragma once

// Whole-file reads and writes for tests that set up and check small text
// files (settings, projects) and stand-in tool scripts.

#include "support/TestData.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtTest>

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

} // namespace testfiles
