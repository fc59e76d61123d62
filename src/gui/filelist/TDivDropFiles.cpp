#include "filelist/TDivDropFiles.h"

#include "platform/Platform.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

TDivDropFiles::TDivDropFiles(QObject *parent)
    : QObject(parent)
{
}

void TDivDropFiles::attach(QWidget *widget)
{
    widget->setAcceptDrops(true);
    widget->installEventFilter(this);
}

QString TDivDropFiles::localPath(const QUrl &url)
{
    // QUrl decodes the path as UTF-8 and turns any other byte into U+FFFD,
    // which names no file. The bytes of the percent-encoded path are the
    // file's name exactly; the platform's decoding keeps them (and reads
    // UTF-8 as QUrl does).
    if (!url.host().isEmpty())
        return url.toLocalFile();
    return platform::decodeFileName(
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
}

QStringList TDivDropFiles::localPaths(const QMimeData *data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    const QList<QUrl> urls = data->urls();
    for (const QUrl &url : urls)
        if (url.isLocalFile())
            paths.append(localPath(url));
    return paths;
}

namespace {

bool offersCopy(const QDropEvent *event)
{
    return event->possibleActions().testFlag(Qt::CopyAction);
}

} // namespace

bool TDivDropFiles::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        if (event->type() == QEvent::DragEnter || m_draggedPaths.isEmpty())
            m_draggedPaths = localPaths(drag->mimeData());
        // A copy is all the list takes. A source that offers only a move
        // (or a link) is refused from the start: accepted, it would be told
        // "moved" and might delete its files.
        if (m_enabled && !m_draggedPaths.isEmpty() && offersCopy(drag)) {
            drag->setDropAction(Qt::CopyAction);
            drag->accept();
        } else {
            drag->ignore();
        }
        // The views' own drag handling would offer an internal move.
        return true;
    }
    case QEvent::DragLeave:
        m_draggedPaths.clear();
        return true;
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        // The paths read when the drag entered: a drop's data comes from
        // the source again, which is slow for a large drag and can fail
        // on a busy machine, losing a drop that was accepted. Read here
        // only for a drop that came without an entry.
        const QStringList paths =
            m_draggedPaths.isEmpty() ? localPaths(drop->mimeData()) : m_draggedPaths;
        m_draggedPaths.clear();
        if (!offersCopy(drop)) {
            drop->ignore();
            return true;
        }
        if (m_enabled && !paths.isEmpty())
            emit filesDropped(paths);
        // Accepted with no effect: the source must not delete anything.
        drop->setDropAction(Qt::IgnoreAction);
        drop->accept();
        return true;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
