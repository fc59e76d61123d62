#pragma once
// Placeholder until the list lands; the real list replaces this file.
#include <QWidget>
#include <QStringList>
class QMenu;
class TDivFileList : public QWidget {
    Q_OBJECT
public:
    enum class ViewStyle { LargeIcons, SmallIcons, List, Details };
    explicit TDivFileList(QWidget *parent = nullptr) : QWidget(parent) {}
    int AddFileEntry(const QString &) { return -1; }
    int count() const { return 0; }
    QString fullPath(int) const { return {}; }
    bool isSelected(int) const { return false; }
    int selectedCount() const { return 0; }
    void deleteEntry(int) {}
    void clear() {}
    void setViewStyle(ViewStyle) {}
    void setPopupMenu(QMenu *) {}
signals:
    void addItem(int row, bool &canAdd);
    void addPath(const QString &path, bool &canAdd);
    void changed();
    void filesDropped(const QStringList &paths);
    void popupAboutToShow();
};
