#pragma once

// The rows behind every view of the file list. Besides the rows it keeps
// three look-up tables (stored path, full path, file identity) so that the
// duplicate test of an add costs a hash look-up, not a walk over the list,
// and it counts its folder entries so that the sweep after each add is free
// when there are none.

#include "filelist/FileListEntry.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QMimeDatabase>
#include <QPair>

#include <memory>
#include <vector>

class QFileIconProvider;

namespace filelist {

class TDivFileListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TDivFileListModel(QObject *parent = nullptr);
    ~TDivFileListModel() override;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;
    Qt::DropActions supportedDragActions() const override;
    Qt::DropActions supportedDropActions() const override;
    // Reorders the rows themselves: the order shown becomes the entry order.
    void sort(int column, Qt::SortOrder order) override;

    const FileEntry &entry(int row) const { return *m_rows[static_cast<size_t>(row)]; }
    int folderEntryCount() const { return m_folderEntries; }

    // The row of an entry found in a look-up table, or -1.
    int findByStoredPath(const QString &path) const;
    int findByFullPath(const QString &path) const;
    int findByIdentity(const platform::FileIdentity &identity) const;

    int append(std::unique_ptr<FileEntry> entry);
    void remove(int row);
    void removeAll();
    // Replaces the file facts of a row (after a refresh or a rename on disk)
    // and keeps the look-up tables in step.
    void update(int row, const FileEntry &facts);

private:
    using IdentityKey = QPair<quint64, quint64>;
    static IdentityKey keyOf(const platform::FileIdentity &identity)
    {
        return {identity.device, identity.inode};
    }
    int rowOf(const FileEntry *entry) const;
    void addToTables(FileEntry *entry);
    void removeFromTables(const FileEntry *entry);
    QString typeNameOf(const FileEntry &entry) const;
    QIcon iconOf(const FileEntry &entry) const;
    QString toolTipOf(const FileEntry &entry) const;

    std::vector<std::unique_ptr<FileEntry>> m_rows;
    QHash<QString, FileEntry *> m_byStoredPath;
    QHash<QString, FileEntry *> m_byFullPath;
    QHash<IdentityKey, FileEntry *> m_byIdentity;
    int m_folderEntries = 0;
    mutable bool m_rowHintsValid = true;
    QMimeDatabase m_mimeDatabase;
    std::unique_ptr<QFileIconProvider> m_iconProvider;
};

} // namespace filelist
