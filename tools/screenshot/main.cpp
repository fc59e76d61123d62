// Pictures of Quillmark's windows, for the README and for a look by eye.
//
//   screenshot OUT.png [FILE...]
//       the main window with the files listed (the README's picture)
//   screenshot --windows FOLDER CONSOLE-TEXT [FILE...]
//       into FOLDER: main.png (the files listed), main-empty.png,
//       focus.png (the focus ring on each kind of control, cut out of the
//       main window and the wizard), console.png (the lines of the text
//       file CONSOLE-TEXT, as a signing prints them), wizard.png,
//       folder.png, save.png and add-files.png (the dialogs as the program
//       opens them), and, when a window manager runs, screen-wizard.png
//       (the whole screen with the wizard open)
//
// Run it with QT_QPA_PLATFORM=offscreen or on a display (Xvfb); set
// QT_SCALE_FACTOR=2 for the pictures of a screen scaled by two.

#include "base/UserDialogs.h"
#include "mainwindow/u_frmMain.h"
#include "filelist/TDivFileList.h"
#include "console/u_frmConsoleOutput.h"
#include "wizard/u_frmPvk2PfxWizard.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <functional>

namespace {

void settle()
{
    for (int i = 0; i < 5; ++i) {
        QApplication::processEvents();
        QThread::msleep(30);
    }
}

bool save(const QPixmap &picture, const QString &path)
{
    if (picture.save(path))
        return true;
    std::fprintf(stderr, "screenshot: cannot write %s\n", qPrintable(path));
    return false;
}

// The window as it paints itself, corners cut by its mask left clear.
QPixmap picture(QWidget *window)
{
    window->raise();
    window->activateWindow();
    settle();
    return window->grab();
}

// Runs `look` on the modal dialog that `open` shows, then cancels it.
void whileModal(const std::function<void()> &open, const std::function<void(QWidget *)> &look)
{
    QTimer::singleShot(400, [&] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog) {
            std::fprintf(stderr, "screenshot: no dialog opened\n");
            return;
        }
        settle();
        look(dialog);
        dialog->close();
    });
    open();
}

// The control and a margin around it, cut out of its window with the
// control holding the focus.
QPixmap focusCut(QWidget *control)
{
    QWidget *window = control->window();
    control->setFocus(Qt::TabFocusReason);
    settle();
    const QRect around = QRect(control->mapTo(window, QPoint(0, 0)), control->size())
                             .adjusted(-10, -8, 10, 8)
                             .intersected(window->rect());
    return window->grab(around);
}

// The cut-outs one below the other, on a neutral ground.
QPixmap stack(const QList<QPixmap> &parts)
{
    int width = 0;
    int height = 0;
    for (const QPixmap &part : parts) {
        const QSize size = part.deviceIndependentSize().toSize();
        width = qMax(width, size.width());
        height += size.height() + 6;
    }
    const qreal ratio = parts.isEmpty() ? 1 : parts.first().devicePixelRatio();
    QPixmap sheet(QSize(width, height) * ratio);
    sheet.setDevicePixelRatio(ratio);
    sheet.fill(QColor(236, 236, 236));
    QPainter painter(&sheet);
    int y = 0;
    for (const QPixmap &part : parts) {
        painter.drawPixmap(0, y, part);
        y += part.deviceIndependentSize().toSize().height() + 6;
    }
    return sheet;
}

int windows(const QString &folder, const QString &consoleText, const QStringList &files)
{
    QDir().mkpath(folder);
    const QString out = folder + QLatin1Char('/');
    bool ok = true;

    QTemporaryDir programFolder;
    TfrmMain window(programFolder.path() + "/");
    frmMain = &window;
    window.edPlatformSDKFolder->setText(QStringLiteral("/opt/quillmark/sdk-bin/"));
    window.cbxProject->addItems({QStringLiteral("Nightly build"), QStringLiteral("Release")});
    auto *console = new TfrmConsoleOutput(&window);
    auto *wizard = new TfrmPvk2PfxWizard(&window);
    window.setConsoleWindow(console);
    window.setWizardWindow(wizard);
    wizard->setMainWindow(&window);
    wizard->setConsoleWindow(console);
    window.show();
    settle();

    window.DivFileList->setFocus();
    ok &= save(picture(&window), out + "main-empty.png");
    QList<QPixmap> cuts;
    cuts << focusCut(window.DivFileList);

    for (const QString &file : files)
        window.DivFileList->AddFileEntry(file);
    window.DivFileList->setCurrentRow(0);
    window.DivFileList->setSelected(0, true);
    ok &= save(picture(&window), out + "main.png");

    for (QWidget *control : {static_cast<QWidget *>(window.cbxProject),
                             static_cast<QWidget *>(window.btnPvk2Pfx),
                             static_cast<QWidget *>(window.cbVerboseOutput),
                             static_cast<QWidget *>(window.bntSelSignTool),
                             static_cast<QWidget *>(window.btnSign),
                             static_cast<QWidget *>(window.edAddDesc)})
        cuts << focusCut(control);
    window.cbAddDesc->setChecked(true);
    cuts << focusCut(window.edAddDesc);

    QFile text(consoleText);
    if (text.open(QIODevice::ReadOnly)) {
        console->addLines(QString::fromUtf8(text.readAll()).split(QLatin1Char('\n')));
    } else {
        std::fprintf(stderr, "screenshot: cannot read %s\n", qPrintable(consoleText));
        ok = false;
    }
    whileModal([&] { console->showModal(); },
               [&](QWidget *dialog) { ok &= save(picture(dialog), out + "console.png"); });

    whileModal([&] { wizard->exec(); }, [&](QWidget *dialog) {
        ok &= save(picture(dialog), out + "wizard.png");
        if (QGuiApplication::platformName() == QLatin1String("xcb"))
            ok &= save(dialog->screen()->grabWindow(0), out + "screen-wizard.png");
        cuts << focusCut(wizard->cbOverwriteOldPfxFile);
        cuts << focusCut(wizard->btnMakePfx);
        cuts << focusCut(wizard->btnPvkFileName);
    });
    ok &= save(stack(cuts), out + "focus.png");

    FolderRequest folderRequest;
    folderRequest.caption = QStringLiteral("Select Folder");
    folderRequest.prompt = QStringLiteral("Select the Folder to copy the files to...");
    folderRequest.startPath = files.isEmpty() ? QDir::homePath()
                                              : files.first().left(files.first().lastIndexOf('/'));
    whileModal([&] { UserDialogs::current().getExistingFolder(folderRequest); },
               [&](QWidget *dialog) { ok &= save(picture(dialog), out + "folder.png"); });

    SaveFileRequest saveRequest;
    saveRequest.caption = QStringLiteral("Save your PFX file as...");
    saveRequest.filter = QStringLiteral("PFX file (*.pfx)");
    saveRequest.defaultSuffix = QStringLiteral("pfx");
    saveRequest.startFolder = folderRequest.startPath;
    whileModal([&] { UserDialogs::current().getSaveFileName(saveRequest); },
               [&](QWidget *dialog) { ok &= save(picture(dialog), out + "save.png"); });

    whileModal([&] { window.menitmAddFilesClick(); },
               [&](QWidget *dialog) { ok &= save(picture(dialog), out + "add-files.png"); });

    frmMain = nullptr;
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() >= 4 && arguments[1] == QLatin1String("--windows"))
        return windows(arguments[2], arguments[3], arguments.mid(4));
    if (arguments.size() < 2 || arguments[1].startsWith(QLatin1String("--"))) {
        std::fprintf(stderr, "usage: screenshot OUT.png [FILE...]\n"
                             "       screenshot --windows FOLDER CONSOLE-TEXT [FILE...]\n");
        return 2;
    }
    QTemporaryDir programFolder;
    TfrmMain window(programFolder.path() + "/");
    window.edPlatformSDKFolder->setText(QStringLiteral("/opt/quillmark/sdk-bin/"));
    for (int i = 2; i < argc; ++i)
        window.DivFileList->AddFileEntry(QString::fromLocal8Bit(argv[i]));
    window.show();
    app.processEvents();
    QImage image(window.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    window.render(&image);
    return image.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
