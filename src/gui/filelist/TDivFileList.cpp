#include "filelist/TDivFileList.h"

#include "base/UserDialogs.h"
#include "filelist/TDivDropFiles.h"
#include "filelist/TDivFileListModel.h"

#include <QClipboard>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QStackedLayout>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolTip>
#include <QTreeView>
#include <QUrl>

#include <algorithm>
#include <utility>

using filelist::FileEntry;

namespace {

// Room beside a cell's text: its margins, and the sort arrow in a header.
constexpr int CellMargin = 14;
constexpr int SortArrowRoom = 16;

// Long names and folders lose their middle, not the end that tells them
// apart; a date, a size or a type keeps its start. An entry's tip shows
// every text whole.
class ColumnElideDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        option->textElideMode = index.column() <= filelist::FolderColumn ? Qt::ElideMiddle
                                                                         : Qt::ElideRight;
    }
};

QPair<quint64, quint64> identityKey(const platform::FileIdentity &identity)
{
    return {identity.device, identity.inode};
}

} // namespace

TDivFileList::TDivFileList(QWidget *parent)
    : QWidget(parent)
    , m_model(new filelist::TDivFileListModel(this))
    , m_details(new QTreeView(this))
    , m_icons(new QListView(this))
    , m_stack(new QStackedLayout(this))
    , m_dropTarget(new TDivDropFiles(this))
    , m_watcher(new QFileSystemWatcher(this))
    , m_followTimer(new QTimer(this))
    , m_fitTimer(new QTimer(this))
{
    m_stack->setContentsMargins(0, 0, 0, 0);

    m_details->setModel(m_model);
    m_details->setRootIsDecorated(false);
    m_details->setItemsExpandable(false);
    // Equal row heights let the view skip measuring every row of a big drop.
    m_details->setUniformRowHeights(true);
    m_details->setAllColumnsShowFocus(true);
    QHeaderView *header = m_details->header();
    header->setStretchLastSection(false);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    header->setMinimumSectionSize(24);
    m_details->setItemDelegate(new ColumnElideDelegate(m_details));
    // Once the user sizes a column, the columns are his: the list scrolls
    // sideways when they outgrow it.
    connect(header, &QHeaderView::sectionResized, this, [this] {
        if (!m_fittingColumns)
            m_columnsSizedByUser = true;
    });
    // A click on a header flips the indicator itself (same column: the other
    // direction; another column: ascending); the rows follow the indicator.
    connect(header, &QHeaderView::sortIndicatorChanged, this,
            [this](int column, Qt::SortOrder order) { m_model->sort(column, order); });

    m_icons->setModel(m_model);
    QItemSelectionModel *unused = m_icons->selectionModel();
    m_icons->setSelectionModel(m_details->selectionModel());
    delete unused;
    m_icons->setUniformItemSizes(true);

    setUpView(m_details);
    setUpView(m_icons);
    m_stack->addWidget(m_details);
    m_stack->addWidget(m_icons);
    m_dropTarget->attach(this);
    connect(m_dropTarget, &TDivDropFiles::filesDropped, this, &TDivFileList::filesDropped);
    m_dropTarget->setTakenCounter([this] { return m_takenCount; });
    // The columns follow the entries' texts, once per burst of changes.
    m_fitTimer->setSingleShot(true);
    m_fitTimer->setInterval(0);
    connect(m_fitTimer, &QTimer::timeout, this, &TDivFileList::fitColumns);
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(m_model, signal, m_fitTimer, qOverload<>(&QTimer::start));
    connect(m_model, &QAbstractItemModel::modelReset, m_fitTimer, qOverload<>(&QTimer::start));

    QItemSelectionModel *selection = m_details->selectionModel();
    connect(selection, &QItemSelectionModel::selectionChanged, this, &TDivFileList::changed);
    connect(selection, &QItemSelectionModel::currentChanged, this, &TDivFileList::changed);

    m_followTimer->setSingleShot(true);
    m_followTimer->setInterval(100);
    connect(m_followTimer, &QTimer::timeout, this, &TDivFileList::followPendingFolders);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &TDivFileList::folderChanged);

    setViewStyle(ViewStyle::Details);
    fitColumns();
}

TDivFileList::~TDivFileList()
{
    // The icon view borrows the details view's selection model; it goes
    // first so that it never outlives it.
    for (QAbstractItemView *view : {static_cast<QAbstractItemView *>(m_icons),
                                    static_cast<QAbstractItemView *>(m_details)}) {
        view->removeEventFilter(this);
        view->viewport()->removeEventFilter(this);
    }
    delete std::exchange(m_icons, nullptr);
    delete std::exchange(m_details, nullptr);
}

void TDivFileList::setAccessibleText(const QString &name, const QString &description)
{
    for (QWidget *widget : {static_cast<QWidget *>(this), static_cast<QWidget *>(m_details),
                            static_cast<QWidget *>(m_icons)}) {
        widget->setAccessibleName(name);
        widget->setAccessibleDescription(description);
    }
}

void TDivFileList::setUpView(QAbstractItemView *view)
{
    view->setFrameShape(QFrame::NoFrame);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setDragEnabled(true);
    view->setDefaultDropAction(Qt::CopyAction);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint &position) { showPopup(view, position); });
    view->installEventFilter(this);
    view->viewport()->installEventFilter(this);
    m_dropTarget->attach(view->viewport());
}

// ---- Entries ----------------------------------------------------------------

std::optional<FileEntry> TDivFileList::readFile(const QString &fullPath) const
{
    // Through the platform layer rather than QFileInfo, which cannot find a
    // file whose name is not UTF-8.
    const std::optional<platform::FileFacts> found = platform::fileFacts(fullPath);
    if (!found)
        return std::nullopt;
    FileEntry facts;
    facts.identity = found->identity;
    facts.isFolder = found->isFolder;
    facts.size = found->size;
    facts.modified = found->modifiedMs;
    return facts;
}

int TDivFileList::AddFileEntry(const QString &path)
{
    if (path.isEmpty())
        return -1;

    // The same file already listed: refresh it, add nothing, tell no one.
    int listed = m_model->findByStoredPath(path);
    if (listed >= 0)
        return refreshEntry(listed) ? listed : -1;

    const std::optional<filelist::SplitPath> split = filelist::splitPath(path, platform::currentFolder());
    if (!split)
        return -1;
    const QString full = split->folder + split->name;
    listed = m_model->findByFullPath(full);
    if (listed >= 0)
        return refreshEntry(listed) ? listed : -1;

    std::optional<FileEntry> facts = readFile(full);
    if (!facts)
        return -1;
    listed = m_model->findByIdentity(facts->identity);
    // The listed entry may be stale (its file replaced and the inode number
    // reused); only when it still holds this file is the path a duplicate.
    if (listed >= 0 && refreshEntry(listed) && m_model->entry(listed).identity == facts->identity)
        return listed;

    auto entry = std::make_unique<FileEntry>(std::move(*facts));
    entry->caption = split->name;
    entry->folder = split->folder;
    entry->storedPath = path;
    const QString folder = entry->folder;
    const int row = m_model->append(std::move(entry));
    watchFolder(folder);
    emit changed();

    // Handlers may delete any entry, this one included; the persistent
    // index tells where the new entry is afterwards, if anywhere.
    const QPersistentModelIndex added = m_model->index(row, 0);
    bool canAdd = true;
    emit addItem(row, canAdd);
    if (!canAdd && added.isValid())
        deleteEntry(added.row());
    if (!added.isValid())
        return -1;

    canAdd = true;
    emit addPath(path, canAdd);
    if (!canAdd && added.isValid())
        deleteEntry(added.row());
    if (!added.isValid())
        return -1;
    ++m_takenCount;
    return added.row();
}

bool TDivFileList::pasteFiles()
{
    const QClipboard *clipboard = QGuiApplication::clipboard();
    return clipboard && m_dropTarget->deliver(TDivDropFiles::pastedPaths(clipboard->mimeData()));
}

int TDivFileList::count() const
{
    return m_model->rowCount();
}

QString TDivFileList::caption(int row) const
{
    return row >= 0 && row < count() ? m_model->entry(row).caption : QString();
}

QString TDivFileList::folder(int row) const
{
    return row >= 0 && row < count() ? m_model->entry(row).folder : QString();
}

QString TDivFileList::fullPath(int row) const
{
    return row >= 0 && row < count() ? m_model->entry(row).fullPath() : QString();
}

QString TDivFileList::storedPath(int row) const
{
    return row >= 0 && row < count() ? m_model->entry(row).storedPath : QString();
}

bool TDivFileList::isFolderEntry(int row) const
{
    return row >= 0 && row < count() && m_model->entry(row).isFolder;
}

int TDivFileList::folderEntryCount() const
{
    return m_model->folderEntryCount();
}

bool TDivFileList::isSelected(int row) const
{
    return row >= 0 && row < count()
        && m_details->selectionModel()->isSelected(m_model->index(row, 0));
}

void TDivFileList::setSelected(int row, bool selected)
{
    if (row < 0 || row >= count())
        return;
    m_details->selectionModel()->select(
        m_model->index(row, 0),
        (selected ? QItemSelectionModel::Select : QItemSelectionModel::Deselect)
            | QItemSelectionModel::Rows);
}

int TDivFileList::selectedCount() const
{
    return static_cast<int>(m_details->selectionModel()->selectedRows(0).size());
}

int TDivFileList::currentRow() const
{
    return m_details->selectionModel()->currentIndex().row();
}

void TDivFileList::setCurrentRow(int row)
{
    m_details->selectionModel()->setCurrentIndex(m_model->index(row, 0),
                                                 QItemSelectionModel::NoUpdate);
}

void TDivFileList::deleteEntry(int row)
{
    if (row < 0 || row >= count())
        return;
    const QString folder = m_model->entry(row).folder;
    m_model->remove(row);
    releaseFolder(folder);
    emit changed();
}

void TDivFileList::clear()
{
    m_model->removeAll();
    const QStringList folders = m_folderUse.keys();
    if (!folders.isEmpty())
        m_watcher->removePaths(folders);
    m_folderUse.clear();
    m_pendingFolders.clear();
    emit changed();
}

bool TDivFileList::refreshEntry(int row)
{
    if (row < 0 || row >= count())
        return false;
    const FileEntry &current = m_model->entry(row);
    std::optional<FileEntry> facts = readFile(current.fullPath());
    if (!facts) {
        deleteEntry(row);
        return false;
    }
    facts->caption = current.caption;
    facts->folder = current.folder;
    facts->storedPath = current.storedPath;
    m_model->update(row, *facts);
    emit changed();
    return true;
}

void TDivFileList::refreshAll()
{
    for (int row = count() - 1; row >= 0; --row)
        refreshEntry(row);
}

// ---- Following the disk -------------------------------------------------------

void TDivFileList::setFollowDelay(int milliseconds)
{
    m_followTimer->setInterval(milliseconds);
}

void TDivFileList::watchFolder(const QString &folder)
{
    if (++m_folderUse[folder] == 1)
        m_watcher->addPath(folder);
}

void TDivFileList::releaseFolder(const QString &folder)
{
    auto use = m_folderUse.find(folder);
    if (use == m_folderUse.end())
        return;
    if (--use.value() <= 0) {
        m_folderUse.erase(use);
        m_watcher->removePath(folder);
        m_pendingFolders.remove(folder);
    }
}

void TDivFileList::folderChanged(const QString &folder)
{
    // Changes come in bursts (a copy writes, renames and touches); they are
    // gathered and each folder is looked at once.
    m_pendingFolders.insert(folder);
    if (!m_followTimer->isActive())
        m_followTimer->start();
}

void TDivFileList::followPendingFolders()
{
    const QSet<QString> folders = std::exchange(m_pendingFolders, {});
    for (const QString &folder : folders)
        if (m_folderUse.contains(folder))
            followFolder(folder);
}

void TDivFileList::followFolder(const QString &folder)
{
    // The names in the folder by file identity, read only once an entry's
    // file has left its name, to tell a rename from a deletion.
    std::optional<QHash<QPair<quint64, quint64>, QString>> namesByIdentity;

    for (int row = count() - 1; row >= 0; --row) {
        if (row >= count())
            continue;
        const FileEntry &entry = m_model->entry(row);
        if (entry.folder != folder)
            continue;
        std::optional<FileEntry> facts = readFile(entry.fullPath());
        // A folder now in the file's place means the file itself has gone
        // (deleted or renamed); a folder must never stay listed for signing.
        if (facts && facts->isFolder && !entry.isFolder)
            facts.reset();
        if (facts) {
            // Still there (perhaps replaced by a new copy, as signing does).
            if (facts->identity != entry.identity || facts->size != entry.size
                || facts->modified != entry.modified || facts->isFolder != entry.isFolder)
                refreshEntry(row);
            continue;
        }
        if (!namesByIdentity) {
            namesByIdentity.emplace();
            for (const auto &[name, identity] : platform::folderEntryIdentities(folder))
                namesByIdentity->insert(identityKey(identity), name);
        }
        const QString newName = namesByIdentity->value(identityKey(entry.identity));
        if (!newName.isEmpty() && m_model->findByFullPath(folder + newName) < 0) {
            std::optional<FileEntry> renamed = readFile(folder + newName);
            if (renamed) {
                // The stored path follows the new name so that the entry
                // stays usable for refreshes and duplicate tests.
                renamed->caption = newName;
                renamed->folder = folder;
                renamed->storedPath = folder + newName;
                m_model->update(row, *renamed);
                emit changed();
                continue;
            }
        }
        deleteEntry(row);
    }
}

// ---- Views and gestures ---------------------------------------------------------

QAbstractItemView *TDivFileList::currentView() const
{
    return m_viewStyle == ViewStyle::Details ? static_cast<QAbstractItemView *>(m_details)
                                             : static_cast<QAbstractItemView *>(m_icons);
}

void TDivFileList::setViewStyle(ViewStyle style)
{
    const bool hadFocus = currentView()->hasFocus();
    m_viewStyle = style;
    if (style != ViewStyle::Details) {
        // Setting the view mode resets flow, wrapping and movement, so it
        // comes first.
        if (style == ViewStyle::LargeIcons) {
            m_icons->setViewMode(QListView::IconMode);
            m_icons->setIconSize(QSize(32, 32));
            m_icons->setFlow(QListView::LeftToRight);
            m_icons->setWordWrap(true);
        } else {
            m_icons->setViewMode(QListView::ListMode);
            m_icons->setIconSize(QSize(16, 16));
            m_icons->setFlow(style == ViewStyle::SmallIcons ? QListView::LeftToRight
                                                             : QListView::TopToBottom);
            m_icons->setWordWrap(false);
        }
        m_icons->setWrapping(true);
        m_icons->setResizeMode(QListView::Adjust);
        // Entries keep their order: no free placement of icons.
        m_icons->setMovement(QListView::Static);
        m_icons->setDragEnabled(true);
    }
    QAbstractItemView *view = currentView();
    m_stack->setCurrentWidget(view);
    setFocusProxy(view);
    if (hadFocus)
        view->setFocus();
    const QModelIndex current = view->selectionModel()->currentIndex();
    if (current.isValid())
        view->scrollTo(current);
}

void TDivFileList::sortByColumn(int column, Qt::SortOrder order)
{
    QHeaderView *header = m_details->header();
    {
        const QSignalBlocker blocker(header);
        header->setSortIndicator(column, order);
    }
    m_model->sort(column, order);
}

int TDivFileList::sortColumn() const
{
    return m_details->header()->sortIndicatorSection();
}

Qt::SortOrder TDivFileList::sortOrder() const
{
    return m_details->header()->sortIndicatorOrder();
}

void TDivFileList::openSelectedEntries()
{
    const QModelIndexList rows = m_details->selectionModel()->selectedRows(0);
    QList<int> ordered;
    for (const QModelIndex &index : rows)
        ordered.append(index.row());
    std::sort(ordered.begin(), ordered.end());
    for (int row : ordered)
        UserDialogs::current().openUrl(filelist::fileUrl(fullPath(row)));
}

void TDivFileList::showPopupFromKeyboard()
{
    QAbstractItemView *view = currentView();
    const QModelIndex current = view->selectionModel()->currentIndex();
    QRect at = current.isValid() ? view->visualRect(current) : QRect();
    // An entry scrolled out of view is no place for the menu.
    if (!at.isValid() || !view->viewport()->rect().intersects(at))
        at = QRect(0, 0, 1, 1);
    // Just below the entry's start, where a reader's eye already is.
    showPopup(view, QPoint(at.left() + qMin(at.width(), 24), at.bottom()));
}

void TDivFileList::showPopup(QAbstractItemView *view, const QPoint &position)
{
    if (!m_popupMenu)
        return;
    emit popupAboutToShow();
    m_popupMenu->popup(view->viewport()->mapToGlobal(position));
}

bool TDivFileList::eventFilter(QObject *watched, QEvent *event)
{
    QAbstractItemView *view = nullptr;
    bool onViewport = false;
    if (!m_details || !m_icons)
        return QWidget::eventFilter(watched, event);
    for (QAbstractItemView *candidate : {static_cast<QAbstractItemView *>(m_details),
                                         static_cast<QAbstractItemView *>(m_icons)}) {
        if (watched == candidate)
            view = candidate;
        else if (watched == candidate->viewport()) {
            view = candidate;
            onViewport = true;
        }
    }
    if (!view)
        return QWidget::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::KeyPress:
        if (!onViewport && handleViewKey(static_cast<QKeyEvent *>(event)))
            return true;
        break;
    case QEvent::ContextMenu:
        // The menu key opens the menu where Shift+F10 does: at the current
        // entry, not where the text cursor of an edit box would be.
        if (!onViewport
            && static_cast<QContextMenuEvent *>(event)->reason() == QContextMenuEvent::Keyboard) {
            showPopupFromKeyboard();
            return true;
        }
        break;
    case QEvent::MouseButtonDblClick:
        if (onViewport) {
            auto *mouse = static_cast<QMouseEvent *>(event);
            if (mouse->button() == Qt::LeftButton
                && view->indexAt(mouse->position().toPoint()).isValid()) {
                openSelectedEntries();
                return true;
            }
        }
        break;
    case QEvent::ToolTip:
        if (onViewport) {
            auto *help = static_cast<QHelpEvent *>(event);
            if (!view->indexAt(help->pos()).isValid()) {
                if (toolTip().isEmpty())
                    QToolTip::hideText();
                else
                    QToolTip::showText(help->globalPos(), toolTip(), view->viewport(), QRect(),
                                       toolTipDuration());
                return true;
            }
        }
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

bool TDivFileList::handleViewKey(QKeyEvent *key)
{
    // Shift+Insert is a paste on this platform; it is looked at first.
    if (key->matches(QKeySequence::Paste)) {
        pasteFiles();
        return true;
    }
    const Qt::KeyboardModifiers modifiers =
        key->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (key->key() == Qt::Key_F5) {
        refreshAll();
        return true;
    }
    if (key->key() == Qt::Key_Insert && modifiers == Qt::NoModifier) {
        emit addFilesRequested();
        return true;
    }
    if (key->key() == Qt::Key_F10 && modifiers == Qt::ShiftModifier) {
        showPopupFromKeyboard();
        return true;
    }
    return false;
}

// ---- Columns -------------------------------------------------------------------

QList<int> filelist::fittedColumnWidths(int available, const QList<int> &needs)
{
    constexpr int narrowest = 40;
    const auto need = [&](int column) { return qMax(narrowest, needs.value(column, narrowest)); };
    // First shares of the width. Size and Changed take no more than their
    // texts need; the type is a hint (its tip tells it whole); what is left
    // goes to the names and folders, which tell the entries apart.
    QList<int> widths(ColumnCount);
    widths[SizeColumn] = qMax(narrowest, qMin(need(SizeColumn), available * 14 / 100));
    widths[ChangedColumn] = qMax(narrowest, qMin(need(ChangedColumn), available * 22 / 100));
    widths[TypeColumn] = qMax(narrowest, available * 12 / 100);
    const int rest = available - widths[SizeColumn] - widths[ChangedColumn] - widths[TypeColumn];
    widths[NameColumn] = qMax(narrowest, rest * 58 / 100);
    widths[FolderColumn] = qMax(narrowest, rest - rest * 58 / 100);

    // A column wider than its texts gives the room to those that are cut,
    // the folder first; what nobody needs goes to the names.
    int spare = 0;
    for (int column : {NameColumn, FolderColumn}) {
        if (widths[column] > need(column)) {
            spare += widths[column] - need(column);
            widths[column] = need(column);
        }
    }
    for (int column : {FolderColumn, NameColumn, ChangedColumn, SizeColumn}) {
        const int more = qBound(0, need(column) - widths[column], spare);
        widths[column] += more;
        spare -= more;
    }
    widths[NameColumn] += spare;
    return widths;
}

void TDivFileList::fitColumns()
{
    if (m_columnsSizedByUser)
        return;
    QHeaderView *header = m_details->header();
    const QFontMetrics cells(m_details->font());
    const QFontMetrics titles(header->font());
    QList<int> needs(filelist::ColumnCount);
    for (int column = 0; column < filelist::ColumnCount; ++column) {
        const QString title =
            m_model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
        needs[column] = titles.horizontalAdvance(title) + SortArrowRoom + CellMargin;
    }
    const auto atLeast = [&](int column, const QString &text, int extra = 0) {
        needs[column] = qMax(needs[column], cells.horizontalAdvance(text) + CellMargin + extra);
    };
    atLeast(filelist::SizeColumn, filelist::sizeText(99999LL * 1024));
    atLeast(filelist::ChangedColumn,
            filelist::changedText(QDateTime(QDate(2026, 12, 28), QTime(23, 58))));
    // The texts of the first entries (the type's would mean reading the
    // files, and a type shows whole in the entry's tip).
    const int iconRoom = m_details->iconSize().isValid() ? m_details->iconSize().width() + 6 : 22;
    const int measured = qMin(count(), 200);
    for (int row = 0; row < measured; ++row) {
        atLeast(filelist::NameColumn,
                m_model->index(row, filelist::NameColumn).data().toString(), iconRoom);
        atLeast(filelist::FolderColumn, m_model->index(row, filelist::FolderColumn).data().toString());
    }
    // The vertical scroll bar's room is kept free, so that a long list does
    // not push the last column out of view.
    const int available = width() - 2 * m_details->frameWidth()
        - m_details->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_details);
    const QList<int> widths = filelist::fittedColumnWidths(available, needs);
    m_fittingColumns = true;
    for (int column = 0; column < filelist::ColumnCount; ++column)
        header->resizeSection(column, widths[column]);
    m_fittingColumns = false;
}

void TDivFileList::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    fitColumns();
}
