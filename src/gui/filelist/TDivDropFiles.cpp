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

QStringList TDivDropFiles::pathsInText(const QString &text)
{
    QStringList paths;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        // A name may begin or end with blanks; only a line that is not a
        // path as it stands is trimmed (text copied from a terminal).
        if (!line.startsWith(QLatin1Char('/')) && !line.startsWith(QLatin1String("file:")))
            line = line.trimmed();
        if (line.startsWith(QLatin1Char('/'))) {
            paths.append(line);
        } else if (line.startsWith(QLatin1String("file:"))) {
            // Tolerant: text from other programs may hold blanks unencoded.
            const QUrl url(line, QUrl::TolerantMode);
            if (url.isValid() && url.isLocalFile())
                paths.append(localPath(url));
        }
    }
    return paths;
}

QStringList TDivDropFiles::pastedPaths(const QMimeData *data)
{
    if (!data)
        return {};
    if (data->hasUrls())
        return localPaths(data);
    if (data->hasText())
        return pathsInText(data->text());
    return {};
}

bool TDivDropFiles::deliver(const QStringList &paths)
{
    if (!m_enabled || paths.isEmpty())
        return false;
    const quint64 takenBefore = m_takenCounter ? m_takenCounter() : 0;
    emit filesDropped(paths);
    return !m_takenCounter || m_takenCounter() != takenBefore;
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
        // No effect either way: the source must not delete anything. A drop
        // that added nothing (folders only, files already listed) is
        // refused as well, so that the source does not count it as copied.
        const bool taken = deliver(paths);
        drop->setDropAction(Qt::IgnoreAction);
        drop->setAccepted(taken);
        return true;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
