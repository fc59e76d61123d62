// What the program adds on top of the signing tool: the whole sign action
// (checks, command line, runner with its capture file and console text)
// against running the stand-in signtool.exe alone with the same arguments.
//
//   bench_signaction [files=50] [rounds=5]
//
// Each round signs fresh copies of `files` small PE files once through the
// main window's Sign button and once through signtool.exe started directly
// (output discarded). The first round warms the caches and is not counted. Prints the median of each and the ratio.

#include "base/UserDialogs.h"
#include "mainwindow/u_frmMain.h"
#include "platform/Platform.h"
#include "filelist/TDivFileList.h"
#include "console/u_frmConsoleOutput.h"
#include "support/ScriptedDialogs.h"
#include "support/TestData.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

class CloseOnShow : public QObject {
public:
    explicit CloseOnShow(QDialog *dialog) : m_dialog(dialog) { dialog->installEventFilter(this); }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            QTimer::singleShot(0, m_dialog, [this] { m_dialog->reject(); });
        return false;
    }

private:
    QDialog *m_dialog;
};

QStringList freshFiles(const QString &folder, int count)
{
    QDir(folder).removeRecursively();
    QDir().mkpath(folder);
    QStringList files;
    for (int i = 0; i < count; ++i) {
        const QString path = QStringLiteral("%1/app%2.exe").arg(folder).arg(i);
        testdata::writePeFile(path, quint32(i));
        files << path;
    }
    return files;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int fileCount = argc > 1 ? std::atoi(argv[1]) : 50;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;

    QTemporaryDir work;
    QDir::setCurrent(work.path());
    const QString pfx = work.path() + "/bench.pfx";
    testdata::writePkcs12(pfx, testdata::makeCertificate(), QStringLiteral("bench"));
    const QString sdk = QStringLiteral(QUILLMARK_SDK_BIN_DIR);

    ScriptedDialogsGuard dialogs;
    TfrmMain window(work.path() + "/");
    TfrmConsoleOutput console(&window);
    window.setConsoleWindow(&console);
    CloseOnShow closer(&console);
    window.edPlatformSDKFolder->setText(sdk);
    window.cbUsePFXFile->setChecked(true);
    window.edCertName->setText(pfx);
    window.edPassword->setText(QStringLiteral("bench"));

    std::vector<double> program;
    std::vector<double> toolAlone;
    for (int round = 0; round <= rounds; ++round) {
        for (const QString &file : freshFiles(work.path() + "/files", fileCount))
            window.DivFileList->AddFileEntry(file);
        QElapsedTimer timer;
        timer.start();
        window.btnSignClick();
        if (round > 0)
            program.push_back(timer.nsecsElapsed() / 1e9);
        const int signedCount = console.lines().filter(QStringLiteral("Successfully signed")).size();
        if (signedCount != fileCount || !dialogs->messages.isEmpty()) {
            std::fprintf(stderr, "sign action signed %d of %d files\n", signedCount, fileCount);
            return 1;
        }
        window.DivFileList->clear();

        const QStringList files = freshFiles(work.path() + "/files", fileCount);
        QStringList arguments = {QStringLiteral("sign"), QStringLiteral("/f"), pfx,
                                 QStringLiteral("/p"), QStringLiteral("bench"), QStringLiteral("/v")};
        arguments += files;
        // Started the plainest way there is, output discarded.
        platform::ProcessRequest request;
        request.program = sdk + QStringLiteral("signtool.exe");
        request.arguments = arguments;
        request.workingFolder = sdk;
        request.outputFile = QStringLiteral("/dev/null");
        request.lowestPriority = false;
        timer.restart();
        const platform::ProcessOutcome outcome = platform::runProcess(request);
        if (round > 0)
            toolAlone.push_back(timer.nsecsElapsed() / 1e9);
        if (!outcome.started || outcome.exitCode != 0) {
            std::fprintf(stderr, "signtool.exe alone failed\n");
            return 1;
        }
    }

    const double a = median(program);
    const double b = median(toolAlone);
    std::printf("files %d, rounds %d\n", fileCount, rounds);
    std::printf("sign action       %.3f s (median)\n", a);
    std::printf("signtool.exe alone %.3f s (median)\n", b);
    std::printf("ratio %.3f (overhead %+.1f %%)\n", a / b, (a / b - 1) * 100);
    return 0;
}
