// Renders the main window with a few listed files into a PNG, for the
// README:  screenshot OUT.png FILE...
// Run it with QT_QPA_PLATFORM=offscreen or on a display.

#include "mainwindow/u_frmMain.h"
#include "filelist/TDivFileList.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: screenshot OUT.png [FILE...]\n");
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
