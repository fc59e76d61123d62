#pragma once

// The list of files to sign: one model shown by a details view (a tree view
// with the fixed columns Name, In Folder, Size, Type, Changed) or by a list
// view in large-icon, small-icon or list style, all sharing one selection.
// Paths enter only through AddFileEntry, which refuses a file already
// listed under any spelling; the list follows deletions and renames on disk,
// takes drops of local files through its drop target and lets entries be
// dragged out as files. Without a mouse, files are pasted (Ctrl+V,
// Shift+Insert) the way a drop brings them, Insert asks for files to add
// (addFilesRequested), and Shift+F10 opens the popup menu as the menu key
// does.

#include "filelist/FileListEntry.h"

#include <QHash>
#include <QPersistentModelIndex>
#include <QSet>
#include <QWidget>

#include <optional>

class QAbstractItemView;
class QFileSystemWatcher;
class QKeyEvent;
class QListView;
class QMenu;
class QStackedLayout;
class QTimer;
class QTreeView;
class TDivDropFiles;

namespace filelist {
class TDivFileListModel;
}

class TDivFileList : public QWidget {
    Q_OBJECT
public:
    enum class ViewStyle { LargeIcons, SmallIcons, List, Details };

    explicit TDivFileList(QWidget *parent = nullptr);
    ~TDivFileList() override;

    // Lists the file that `path` names and returns its row, or -1 when the
    // path names nothing or a handler of addItem/addPath refused or removed
    // the entry. A file already listed under any spelling (same stored path,
    // same absolute path, same device and inode) is refreshed and its row
    // returned, without any signal.
    int AddFileEntry(const QString &path);

    int count() const;
    QString caption(int row) const;
    QString folder(int row) const;      // with exactly one trailing "/"
    QString fullPath(int row) const;    // folder + caption
    QString storedPath(int row) const;
    bool isFolderEntry(int row) const;  // as found when the entry was last read from disk
    int folderEntryCount() const;
    bool isSelected(int row) const;
    void setSelected(int row, bool selected);
    int selectedCount() const;
    int currentRow() const;
    void setCurrentRow(int row);
    void deleteEntry(int row);
    void clear();

    // Reads an entry's file again; a file that is gone takes its entry with
    // it (the result is then false).
    bool refreshEntry(int row);
    // Every entry, from the last to the first (F5).
    void refreshAll();

    // The files on the clipboard, handed over as a drop of them would be
    // (Ctrl+V, Shift+Insert); true when the list took any.
    bool pasteFiles();
    // How many new entries AddFileEntry has made and kept so far.
    quint64 takenCount() const { return m_takenCount; }

    // Opens the popup menu at the current entry, or at the top of the list
    // when there is none, as the keyboard's menu key does.
    void showPopupFromKeyboard();

    void setViewStyle(ViewStyle style);
    ViewStyle viewStyle() const { return m_viewStyle; }

    // Sorts the entries by a column; the sorted order becomes the entry order.
    void sortByColumn(int column, Qt::SortOrder order);
    int sortColumn() const;
    Qt::SortOrder sortOrder() const;

    void setPopupMenu(QMenu *menu) { m_popupMenu = menu; }
    QMenu *popupMenu() const { return m_popupMenu; }

    // Shown when the pointer rests on the list outside any entry (an entry
    // shows its own tip). The list's tool tip is its hint.
    void setHint(const QString &hint) { setToolTip(hint); }
    QString hint() const { return toolTip(); }

    // The name and description a screen reader gives the list, in each of
    // its views.
    void setAccessibleText(const QString &name, const QString &description);

    // Entries are never edited in place; the flag is kept for the form that
    // sets it, and clearing it does not offer editing.
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }
    bool isReadOnly() const { return m_readOnly; }

    // Opens the files of the selected entries, once each, through the
    // desktop (double-click).
    void openSelectedEntries();

    // How long a burst of changes on disk is gathered before it is handled.
    void setFollowDelay(int milliseconds);
    QStringList watchedFolders() const { return m_folderUse.keys(); }

    QAbstractItemView *currentView() const;
    QTreeView *detailsView() const { return m_details; }
    QListView *iconView() const { return m_icons; }
    filelist::TDivFileListModel *model() const { return m_model; }
    TDivDropFiles *dropTarget() const { return m_dropTarget; }

signals:
    // A new entry is complete; a handler may delete entries, this one too.
    // Clearing canAdd removes the new entry.
    void addItem(int row, bool &canAdd);
    // Follows addItem with the path as given to AddFileEntry.
    void addPath(const QString &path, bool &canAdd);
    // An entry's text, icon, selection or focus changed, or entries went.
    void changed();
    // Just before the popup menu opens.
    void popupAboutToShow();
    // Local paths dropped on the list, in the order the source gave them.
    void filesDropped(const QStringList &paths);
    // Insert was pressed in the list: the user wants to pick files to add.
    void addFilesRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    std::optional<filelist::FileEntry> readFile(const QString &fullPath) const;
    void watchFolder(const QString &folder);
    void releaseFolder(const QString &folder);
    void folderChanged(const QString &folder);
    void followPendingFolders();
    void followFolder(const QString &folder);
    void showPopup(QAbstractItemView *view, const QPoint &position);
    void setUpView(QAbstractItemView *view);
    bool handleViewKey(QKeyEvent *key);
    // Shares the details view's width among the five columns so that all
    // show, until the user sizes a column himself.
    void fitColumns();

    filelist::TDivFileListModel *m_model;
    QTreeView *m_details;
    QListView *m_icons;
    QStackedLayout *m_stack;
    TDivDropFiles *m_dropTarget;
    QFileSystemWatcher *m_watcher;
    QTimer *m_followTimer;
    QTimer *m_fitTimer;
    QHash<QString, int> m_folderUse;
    QSet<QString> m_pendingFolders;
    QMenu *m_popupMenu = nullptr;
    bool m_readOnly = true;
    ViewStyle m_viewStyle = ViewStyle::Details;
    quint64 m_takenCount = 0;
    bool m_fittingColumns = false;
    bool m_columnsSizedByUser = false;
};

namespace filelist {
// Column widths that fill `available` pixels (more only when that is too
// little for every column to be usable): each column has a share, Size and
// Changed no wider than they need, and the room a column does not need goes
// to those that do. `needs` holds the width each column's texts take, by
// column (margins included).
QList<int> fittedColumnWidths(int available, const QList<int> &needs);
}
