#pragma once

// Small helpers shared by the file-list tests: files with known content in
// a temporary folder, and reading them back.

#include "filelist/FileListActions.h"
#include "filelist/TDivFileList.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QTest>

inline QString makeFile(const QString &path, const QByteArray &content = "content")
{
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write test file %s", qPrintable(path));
    return path;
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

inline QStringList captions(const TDivFileList &list)
{
    QStringList result;
    for (int row = 0; row < list.count(); ++row)
        result.append(list.caption(row));
    return result;
}

inline QStringList fullPaths(const TDivFileList &list)
{
    QStringList result;
    for (int row = 0; row < list.count(); ++row)
        result.append(list.fullPath(row));
    return result;
}

// The main window's add-item handler: sweep folders, count the adds.
struct AddItemSweep {
    int raised = 0;
    explicit AddItemSweep(TDivFileList &list)
    {
        QObject::connect(&list, &TDivFileList::addItem, &list, [this, &list](int, bool &) {
            ++raised;
            RemoveFolderEntries(list);
        });
    }
};
