// How long the main window takes to take in large drops, against a bare Qt
// list fed the same drop in the same run: 1,000, 5,000, 10,000 and 100,000
// files in one drop, through the window's real drop path (the drag enters
// the list, then drops; the folder sweep and the count caption included,
// as in the program). Then the same paths added one by one through
// AddFileEntry, a second drop of files already listed, and sorting the
// 10,000-entry list by each column. Then the main window loads a project
// of 100,000 [Files] entries: a thousand read (one in seven of them
// missing, the not-found box answered All at the first), a gap, and the
// rest past it, kept unread by the rewrite of [Files]; and saves a project
// of all the files.
//
// Processor time is what is compared: on a busy machine it says more than
// the clock. The window may take at most 1.5 times the bare list's; a
// drop above that makes the run fail.
//
// Usage: bench_filelist [files]   (default 100000; runs on the offscreen platform)

#include "mainwindow/u_frmMain.h"
#include "filelist/FileListActions.h"
#include "filelist/TDivFileList.h"
#include "support/ScriptedDialogs.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>

#include <cstdio>
#include <ctime>

namespace {

constexpr double MaxCostOverBareList = 1.5;

// The main window over a program folder of its own, shown.
struct Window {
    QTemporaryDir program;
    ScriptedDialogsGuard dialogs;
    TfrmMain window{program.path() + QLatin1Char('/')};
    TDivFileList *list = window.DivFileList;

    Window()
    {
        window.show();
        QApplication::processEvents();
    }
};

// The plainest list that takes dropped files: each local file of the drop
// becomes an item.
class BareList : public QListWidget {
public:
    BareList()
    {
        setAcceptDrops(true);
        resize(377, 386);
        show();
        QApplication::processEvents();
    }

protected:
    void dragEnterEvent(QDragEnterEvent *event) override
    {
        if (event->mimeData()->hasUrls())
            event->acceptProposedAction();
    }
    void dragMoveEvent(QDragMoveEvent *event) override { event->acceptProposedAction(); }
    void dropEvent(QDropEvent *event) override
    {
        const QList<QUrl> urls = event->mimeData()->urls();
        for (const QUrl &url : urls) {
            if (url.isLocalFile())
                addItem(url.toLocalFile());
        }
        event->acceptProposedAction();
    }
};

// The drag data as another program hands it over: a text/uri-list, which
// is decoded whenever the URLs are asked for.
void setDroppedFiles(QMimeData &data, const QStringList &paths)
{
    QByteArray uriList;
    for (const QString &path : paths)
        uriList += QUrl::fromLocalFile(path).toEncoded() + "\r\n";
    data.setData(QStringLiteral("text/uri-list"), uriList);
}

// A drag that enters `target` and drops there, as the desktop delivers it.
void dragAndDrop(QWidget *target, const QMimeData &data)
{
    const QPoint at(10, 10);
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction;
    QDragEnterEvent enter(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDragMoveEvent move(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    QDropEvent drop(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
}

double processorMilliseconds(std::clock_t since)
{
    return double(std::clock() - since) * 1000.0 / CLOCKS_PER_SEC;
}

double milliseconds(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e6;
}

// Loads a project of `entries` [Files] entries through the main window and
// prints how long the load took. File.0 to File.999 are read, every
// seventh of them missing; File.1000 is absent, and the entries after it
// are unread and must survive the rewrite.
bool benchProjectLoad(const QStringList &paths, int entries)
{
    QTemporaryDir program;
    QDir().mkpath(program.path() + QStringLiteral("/Projects"));
    const QString project = program.path() + QStringLiteral("/Projects/Big.qmk");
    const int readable = 1000;
    QByteArray text = "[Settings]\nUseBestCert=1\n[Files]\n";
    int missing = 0;
    for (int n = 0; n <= entries; ++n) {
        if (n == readable)
            continue;   // the gap
        QByteArray path = paths.at(n % paths.size()).toUtf8();
        if (n < readable && n % 7 == 3) {
            path = program.path().toUtf8() + "/gone/" + QByteArray::number(n) + ".exe";
            ++missing;
        }
        text += "File." + QByteArray::number(n) + "=" + path + "\n";
    }
    QFile file(project);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(project));
        return false;
    }
    file.close();

    ScriptedDialogsGuard dialogs;
    dialogs->messageAnswers.enqueue(DialogButton::All);
    TfrmMain window(program.path() + QLatin1Char('/'));
    QElapsedTimer timer;
    timer.start();
    // Processor time too: on a busy machine it says more than the clock.
    const std::clock_t cpuStart = std::clock();
    window.LoadProject(project);
    const double load = milliseconds(timer);
    const double loadCpu = double(std::clock() - cpuStart) * 1000.0 / CLOCKS_PER_SEC;

    QFile written(project);
    if (!written.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s back\n", qPrintable(project));
        return false;
    }
    const int kept = int(written.readAll().count("\nFile."));
    const int listed = window.DivFileList->count();
    std::printf("\nproject load, %d [Files] entries (%d read, %d of them missing, %d unread): "
                "%.1f ms (processor %.1f ms)\n  listed %d, project keeps %d entries, %lld box(es)\n",
                entries, readable, missing, entries - readable, load, loadCpu, listed, kept,
                static_cast<long long>(dialogs->messages.size()));
    if (listed != readable - missing || kept != entries - missing || dialogs->messages.size() != 1)
        return false;

    // Saving a list of all the files writes every one of them.
    window.DivDropFilesDrop(paths);
    const QString saved = program.path() + QStringLiteral("/Projects/Saved.qmk");
    timer.restart();
    window.SaveProject(saved);
    const double save = milliseconds(timer);
    QFile savedFile(saved);
    if (!savedFile.open(QIODevice::ReadOnly))
        return false;
    const int savedEntries = int(savedFile.readAll().count("\nFile."));
    std::printf("project save, %d files: %.1f ms (%d entries written)\n", window.DivFileList->count(),
                save, savedEntries);
    return savedEntries == window.DivFileList->count();
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int total = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;

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

    std::printf("%8s  %12s  %12s  %6s  %14s  %15s  %15s\n", "files", "window (cpu)",
                "bare (cpu)", "ratio", "+ layout (ms)", "one by one (ms)", "drop again (ms)");
    bool withinTarget = true;
    for (int count : {1000, 5000, 10000, 100000}) {
        if (count > total)
            break;
        const QStringList some = paths.mid(0, count);
        QMimeData data;
        setDroppedFiles(data, some);

        BareList bare;
        std::clock_t cpu = std::clock();
        dragAndDrop(bare.viewport(), data);
        QApplication::processEvents();
        const double bareCpu = processorMilliseconds(cpu);

        Window dropped;
        QElapsedTimer timer;
        timer.start();
        cpu = std::clock();
        dragAndDrop(dropped.list->currentView()->viewport(), data);
        QApplication::processEvents();
        const double windowCpu = processorMilliseconds(cpu);
        const double withLayout = milliseconds(timer);
        timer.restart();
        dragAndDrop(dropped.list->currentView()->viewport(), data);
        const double again = milliseconds(timer);

        Window single;
        timer.restart();
        for (const QString &path : some)
            single.list->AddFileEntry(path);
        QApplication::processEvents();
        const double oneByOne = milliseconds(timer);

        const QString caption = FileCountCaption(count);
        if (dropped.list->count() != count || single.list->count() != count
            || bare.count() != count || dropped.window.lbDivFileList->text() != caption) {
            std::fprintf(stderr, "listed %d, %d and %d (bare) of %d; caption \"%s\"\n",
                         dropped.list->count(), single.list->count(), bare.count(), count,
                         qPrintable(dropped.window.lbDivFileList->text()));
            return 1;
        }
        const double ratio = windowCpu / std::max(bareCpu, 0.001);
        std::printf("%8d  %12.1f  %12.1f  %6.2f  %14.1f  %15.1f  %15.1f\n", count, windowCpu,
                    bareCpu, ratio, withLayout, oneByOne, again);
        if (count == 100000 && ratio > MaxCostOverBareList) {
            std::printf("  the window took %.2fx the bare list's processor time (at most %.1fx)\n",
                        ratio, MaxCostOverBareList);
            withinTarget = false;
        }

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
            std::printf("\n");
        }
    }
    const bool projectsOk = benchProjectLoad(paths, 100000);
    return projectsOk && withinTarget ? 0 : 1;
}
