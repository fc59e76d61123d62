#pragma once

// The drop target of the file list. It watches the list's widgets for drags
// of local files that the source lets be copied, tells the source that a
// copy is on offer while the drag moves over the list, and on the drop
// hands the dropped paths over, in the source's order, through
// filesDropped. The drag's data is read once, when it enters. The source is
// then told that nothing was done, so a move never deletes the user's files;
// a drop that added nothing to the list is refused outright, so the source
// does not take it for a copy either. A drag that offers no copy is refused.
// Files pasted from the clipboard take the same way as a drop.

#include <QObject>
#include <QStringList>

#include <functional>

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

    // How many files the list has taken so far; a drop that leaves it
    // unchanged added nothing. Without one, every drop counts as taken.
    void setTakenCounter(std::function<quint64()> counter) { m_takenCounter = std::move(counter); }

    // Hands `paths` over as a drop does (nothing while disabled); true when
    // the list took at least one of them.
    bool deliver(const QStringList &paths);

    // The local files a drag carries, in the source's order.
    static QStringList localPaths(const QMimeData *data);
    // The local files pasted data names: its file URLs (text/uri-list, as
    // file managers copy files), else its plain text read as one path or
    // file URL a line. Lines that are neither are passed over.
    static QStringList pastedPaths(const QMimeData *data);
    static QStringList pathsInText(const QString &text);
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
    std::function<quint64()> m_takenCounter;
};
