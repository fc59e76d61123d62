// How long the file list takes to take in large drops: 1,000, 5,000 and
// 10,000 files in one drop (with the main window's folder sweep and count
// caption on every add, as in the program), the same paths added one by one
// through AddFileEntry, a second drop of files already listed, and sorting
// the largest list by each column.
//
// Usage: bench_filelist [files]   (default 10000; runs on the offscreen platform)

#include "filelist/FileListActions.h"
#include "filelist/TDivFileList.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>

#include <cstdio>

namespace {

struct Window {
    QWidget face;
    QLabel *caption = new QLabel(&face);
    TDivFileList *list = new TDivFileList(&face);

    Window()
    {
        face.resize(800, 600);
        list->setGeometry(384, 135, 377, 386);
        caption->setGeometry(385, 118, 300, 13);
        auto update = [this] { caption->setText(FileCountCaption(list->count())); };
        QObject::connect(list, &TDivFileList::addItem, list, [this, update](int, bool &) {
            RemoveFolderEntries(*list);
            update();
        });
        QObject::connect(list, &TDivFileList::changed, list, update);
        face.show();
        QApplication::processEvents();
    }
};

double milliseconds(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int total = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;

    QTemporaryDir dir;
    QStringList paths;
    paths.reserve(total);
    for (int n = 0; n < total; ++n) {
        const QString path = dir.path() + QStringLiteral("/file%1.exe").arg(n, 5, 10, QLatin1Char('0'));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write("MZ") != 2) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
        paths.append(path);
    }

    std::printf("%8s  %14s  %14s  %14s  %16s\n", "files", "drop (ms)", "+ layout (ms)",
                "one by one (ms)", "drop again (ms)");
    for (int count : {1000, 5000, 10000}) {
        if (count > total)
            break;
        const QStringList some = paths.mid(0, count);

        Window dropped;
        QElapsedTimer timer;
        timer.start();
        AddDroppedPaths(*dropped.list, some);
        const double drop = milliseconds(timer);
        QApplication::processEvents();
        const double withLayout = milliseconds(timer);
        timer.restart();
        AddDroppedPaths(*dropped.list, some);
        const double again = milliseconds(timer);

        Window single;
        timer.restart();
        for (const QString &path : some)
            single.list->AddFileEntry(path);
        QApplication::processEvents();
        const double oneByOne = milliseconds(timer);

        if (dropped.list->count() != count || single.list->count() != count) {
            std::fprintf(stderr, "listed %d and %d of %d\n", dropped.list->count(),
                         single.list->count(), count);
            return 1;
        }
        std::printf("%8d  %14.1f  %14.1f  %14.1f  %16.1f\n", count, drop, withLayout, oneByOne, again);

        if (count == qMin(total, 10000)) {
            std::printf("\nsorting %d entries (first sort by a column, then the reverse):\n", count);
            const char *names[] = {"Name", "In Folder", "Size", "Type", "Changed"};
            for (int column = 0; column < 5; ++column) {
                timer.restart();
                dropped.list->sortByColumn(column, Qt::AscendingOrder);
                const double first = milliseconds(timer);
                timer.restart();
                dropped.list->sortByColumn(column, Qt::DescendingOrder);
                QApplication::processEvents();
                std::printf("%12s  %8.1f ms  %8.1f ms\n", names[column], first, milliseconds(timer));
            }
        }
    }
    return 0;
}
