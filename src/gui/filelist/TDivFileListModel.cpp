#include "filelist/TDivFileListModel.h"

#include <QFileIconProvider>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

#include <algorithm>
#include <set>

namespace filelist {

namespace {

const char *const columnTitles[ColumnCount] = {"Name", "In Folder", "Size", "Type", "Changed"};

int compareValues(qint64 a, qint64 b)
{
    return a < b ? -1 : (a > b ? 1 : 0);
}

} // namespace

TDivFileListModel::TDivFileListModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

TDivFileListModel::~TDivFileListModel() = default;

int TDivFileListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int TDivFileListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString TDivFileListModel::typeNameOf(const FileEntry &entry) const
{
    if (!entry.typeName)
        entry.typeName = m_mimeDatabase.mimeTypeForFile(entry.fullPath()).comment();
    return *entry.typeName;
}

QIcon TDivFileListModel::iconOf(const FileEntry &entry) const
{
    if (!entry.icon.isValid()) {
        if (!m_iconProvider)
            const_cast<TDivFileListModel *>(this)->m_iconProvider = std::make_unique<QFileIconProvider>();
        QIcon icon = m_iconProvider->icon(QFileInfo(entry.fullPath()));
        if (icon.isNull())
            icon = m_iconProvider->icon(entry.isFolder ? QAbstractFileIconProvider::Folder
                                                       : QAbstractFileIconProvider::File);
        entry.icon = QVariant::fromValue(icon);
    }
    return entry.icon.value<QIcon>();
}

QString TDivFileListModel::toolTipOf(const FileEntry &entry) const
{
    QString tip = platform::displayFileName(entry.caption) + QStringLiteral("\nType: ") + typeNameOf(entry);
    if (!entry.isFolder)
        tip += QStringLiteral("\nSize: ") + sizeText(entry.size);
    if (!entry.changedText)
        entry.changedText = changedText(QDateTime::fromMSecsSinceEpoch(entry.modified));
    tip += QStringLiteral("\nDate modified: ") + *entry.changedText;
    return tip;
}

QVariant TDivFileListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const FileEntry &row = entry(index.row());
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case NameColumn: return platform::displayFileName(row.caption);
        case FolderColumn: return platform::displayFileName(row.folder);
        case SizeColumn: return row.isFolder ? QString() : sizeText(row.size);
        case TypeColumn: return typeNameOf(row);
        case ChangedColumn:
            if (!row.changedText)
                row.changedText = changedText(QDateTime::fromMSecsSinceEpoch(row.modified));
            return *row.changedText;
        }
        break;
    case Qt::DecorationRole:
        if (index.column() == NameColumn)
            return iconOf(row);
        break;
    case Qt::ToolTipRole:
        return toolTipOf(row);
    case Qt::TextAlignmentRole:
        if (index.column() == SizeColumn)
            return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
        break;
    default:
        break;
    }
    return {};
}

QVariant TDivFileListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(columnTitles[section]);
    if (role == Qt::TextAlignmentRole && section == SizeColumn)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
    return {};
}

Qt::ItemFlags TDivFileListModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    // Never editable: the list is read-only for the user.
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled
        | Qt::ItemNeverHasChildren;
}

QStringList TDivFileListModel::mimeTypes() const
{
    return {QStringLiteral("text/uri-list")};
}

QMimeData *TDivFileListModel::mimeData(const QModelIndexList &indexes) const
{
    std::set<int> rows;
    for (const QModelIndex &index : indexes)
        if (index.isValid() && index.row() < rowCount())
            rows.insert(index.row());
    QList<QUrl> urls;
    for (int row : rows)
        urls.append(fileUrl(entry(row).fullPath()));
    auto *data = new QMimeData;
    data->setUrls(urls);
    return data;
}

Qt::DropActions TDivFileListModel::supportedDragActions() const
{
    return Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
}

Qt::DropActions TDivFileListModel::supportedDropActions() const
{
    // Drops are taken by the drop target, never by the views.
    return Qt::IgnoreAction;
}

void TDivFileListModel::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= ColumnCount || m_rows.size() < 2)
        return;

    auto compare = [this, column](const FileEntry *x, const FileEntry *y) {
        int result = 0;
        switch (column) {
        case NameColumn:
            break;
        case FolderColumn:
            result = x->folder.compare(y->folder, Qt::CaseInsensitive);
            break;
        case SizeColumn:
            // Folders show no size and come before every file.
            result = compareValues(x->isFolder ? -1 : x->size, y->isFolder ? -1 : y->size);
            break;
        case TypeColumn:
            result = typeNameOf(*x).compare(typeNameOf(*y), Qt::CaseInsensitive);
            break;
        case ChangedColumn:
            result = compareValues(x->modified, y->modified);
            break;
        }
        if (result == 0)
            result = naturalCompare(x->caption, y->caption);
        if (result == 0)
            result = x->caption.compare(y->caption);
        if (result == 0)
            result = x->folder.compare(y->folder);
        return result;
    };

    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);

    std::vector<FileEntry *> sorted;
    sorted.reserve(m_rows.size());
    for (size_t row = 0; row < m_rows.size(); ++row) {
        m_rows[row]->rowHint = static_cast<int>(row);   // the old row, read below
        sorted.push_back(m_rows[row].get());
    }
    if (order == Qt::AscendingOrder)
        std::stable_sort(sorted.begin(), sorted.end(),
                         [&](const FileEntry *x, const FileEntry *y) { return compare(x, y) < 0; });
    else
        std::stable_sort(sorted.begin(), sorted.end(),
                         [&](const FileEntry *x, const FileEntry *y) { return compare(x, y) > 0; });

    std::vector<int> newRowOf(m_rows.size());
    for (size_t row = 0; row < sorted.size(); ++row)
        newRowOf[static_cast<size_t>(sorted[row]->rowHint)] = static_cast<int>(row);

    std::vector<std::unique_ptr<FileEntry>> reordered(m_rows.size());
    for (size_t row = 0; row < m_rows.size(); ++row)
        reordered[static_cast<size_t>(newRowOf[row])] = std::move(m_rows[row]);
    m_rows = std::move(reordered);
    for (size_t row = 0; row < m_rows.size(); ++row)
        m_rows[row]->rowHint = static_cast<int>(row);
    m_rowHintsValid = true;

    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex &index : before)
        after.append(this->index(newRowOf[static_cast<size_t>(index.row())], index.column()));
    changePersistentIndexList(before, after);

    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

int TDivFileListModel::rowOf(const FileEntry *entry) const
{
    if (!entry)
        return -1;
    const int hint = entry->rowHint;
    if (hint >= 0 && static_cast<size_t>(hint) < m_rows.size() && m_rows[static_cast<size_t>(hint)].get() == entry)
        return hint;
    if (!m_rowHintsValid) {
        for (size_t row = 0; row < m_rows.size(); ++row)
            m_rows[row]->rowHint = static_cast<int>(row);
        m_rowHintsValid = true;
        return rowOf(entry);
    }
    return -1;
}

int TDivFileListModel::findByStoredPath(const QString &path) const
{
    return rowOf(m_byStoredPath.value(path));
}

int TDivFileListModel::findByFullPath(const QString &path) const
{
    return rowOf(m_byFullPath.value(path));
}

int TDivFileListModel::findByIdentity(const platform::FileIdentity &identity) const
{
    return rowOf(m_byIdentity.value(keyOf(identity)));
}

void TDivFileListModel::addToTables(FileEntry *entry)
{
    m_byStoredPath.insert(entry->storedPath, entry);
    m_byFullPath.insert(entry->fullPath(), entry);
    m_byIdentity.insert(keyOf(entry->identity), entry);
    if (entry->isFolder)
        ++m_folderEntries;
}

void TDivFileListModel::removeFromTables(const FileEntry *entry)
{
    // Two entries can briefly share a key (a file replaced on disk under
    // another listed name); only the entry's own record is taken out.
    auto eraseOwn = [entry](auto &table, const auto &key) {
        auto found = table.find(key);
        if (found != table.end() && found.value() == entry)
            table.erase(found);
    };
    eraseOwn(m_byStoredPath, entry->storedPath);
    eraseOwn(m_byFullPath, entry->fullPath());
    eraseOwn(m_byIdentity, keyOf(entry->identity));
    if (entry->isFolder)
        --m_folderEntries;
}

int TDivFileListModel::append(std::unique_ptr<FileEntry> entry)
{
    const int row = static_cast<int>(m_rows.size());
    beginInsertRows({}, row, row);
    entry->rowHint = row;
    addToTables(entry.get());
    m_rows.push_back(std::move(entry));
    endInsertRows();
    return row;
}

void TDivFileListModel::remove(int row)
{
    if (row < 0 || static_cast<size_t>(row) >= m_rows.size())
        return;
    beginRemoveRows({}, row, row);
    removeFromTables(m_rows[static_cast<size_t>(row)].get());
    m_rows.erase(m_rows.begin() + row);
    // Rows below have moved up; they are renumbered when next looked up.
    if (static_cast<size_t>(row) < m_rows.size())
        m_rowHintsValid = false;
    endRemoveRows();
}

void TDivFileListModel::removeAll()
{
    beginResetModel();
    m_rows.clear();
    m_byStoredPath.clear();
    m_byFullPath.clear();
    m_byIdentity.clear();
    m_folderEntries = 0;
    m_rowHintsValid = true;
    endResetModel();
}

void TDivFileListModel::update(int row, const FileEntry &facts)
{
    if (row < 0 || static_cast<size_t>(row) >= m_rows.size())
        return;
    FileEntry *target = m_rows[static_cast<size_t>(row)].get();
    removeFromTables(target);
    target->caption = facts.caption;
    target->folder = facts.folder;
    target->storedPath = facts.storedPath;
    target->identity = facts.identity;
    target->isFolder = facts.isFolder;
    target->size = facts.size;
    target->modified = facts.modified;
    target->forgetShownTexts();
    addToTables(target);
    emit dataChanged(this->index(row, 0), this->index(row, ColumnCount - 1));
}

} // namespace filelist
