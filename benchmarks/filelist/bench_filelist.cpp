// How long the file list takes to take in large drops: 1,000, 5,000,
// 10,000 and 100,000 files in one drop (with the main window's folder sweep
// and count caption on every add, as in the program), the same paths added
// one by one through AddFileEntry, a second drop of files already listed,
// and sorting the 10,000-entry list by each column. Then the main window
// loads a project of 100,000 [Files] entries: a thousand read (one in seven
// of them missing, the not-found box answered All at the first), a gap, and
// the rest past it, kept unread by the rewrite of [Files]; and saves a
// project of all the files.
//
// Usage: bench_filelist [files]   (default 100000; runs on the offscreen platform)

#include "app/u_frmMain.h"
#include "filelist/FileListActions.h"
#include "filelist/TDivFileList.h"
#include "support/ScriptedDialogs.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>

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

    std::printf("%8s  %14s  %14s  %14s  %16s\n", "files", "drop (ms)", "+ layout (ms)",
                "one by one (ms)", "drop again (ms)");
    for (int count : {1000, 5000, 10000, 100000}) {
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
    return benchProjectLoad(paths, 100000) ? 0 : 1;
}
