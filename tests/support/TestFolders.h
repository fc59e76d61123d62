#pragma once

// A temporary root for a black-box test of a tool, with a fresh folder per
// case ("case1", "case2", ...) so that cases never see each other's files.
// A test class derives from QObject first and from this second.

#include <QDir>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace testdata {

class TestFolders {
protected:
    QString newFolder()
    {
        const QString path = m_root.filePath(QStringLiteral("case%1").arg(++m_folders));
        if (!QDir().mkpath(path))
            qFatal("cannot make the test folder %s", qPrintable(path));
        return path;
    }

    // Every entry of `folder`, hidden ones included, sorted by name: what a
    // tool left behind shows here.
    static QStringList entries(const QString &folder)
    {
        return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                      QDir::Name);
    }

    QTemporaryDir m_root;

private:
    int m_folders = 0;
};

} // namespace testdata
