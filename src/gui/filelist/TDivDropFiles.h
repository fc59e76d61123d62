#pragma once

// The drop target of the file list. It watches the list's widgets for drags
// of local files that the source lets be copied, tells the source that a
// copy is on offer while the drag moves over the list, and on the drop
// hands the dropped paths over, in the source's order, through
// filesDropped. The drag's data is read once, when it enters. The source is then told that nothing was done, so a move
// never deletes the user's files. A drag that offers no copy is refused.

#include <QObject>
#include <QStringList>

class QDropEvent;
class QMimeData;
class QUrl;
class QWidget;

class TDivDropFiles : public QObject {
    Q_OBJECT
public:
    explicit TDivDropFiles(QObject *parent = nullptr);

    // Takes drops on `widget` (for a scroll area, pass its viewport too).
    void attach(QWidget *widget);

    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled) { m_enabled = enabled; }

    // The local paths of the drag now over the list (read when it entered).
    QStringList draggedPaths() const { return m_draggedPaths; }

    // The local files a drag carries, in the source's order.
    static QStringList localPaths(const QMimeData *data);
    // The file a local URL names; a name that is not UTF-8 is kept exactly
    // (see platform::decodeFileName).
    static QString localPath(const QUrl &url);

signals:
    void filesDropped(const QStringList &paths);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool m_enabled = true;
    QStringList m_draggedPaths;
};
