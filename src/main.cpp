#include "app/QuillmarkApplication.h"
#include "startup/Startup.h"
#include "pipeline/CommandArguments.h"
#include "pipeline/SignProjectCommand.h"
#include "platform/Platform.h"
#include "safefile/NoCoreDump.h"

#include <cstdio>
#include <cstdlib>

namespace {

bool displayAvailable()
{
    // Without a display Qt would abort with a message about platform
    // plugins; say plainly what to do instead. The offscreen platform (for
    // tests) and an explicit platform choice are left alone.
    if (std::getenv("QT_QPA_PLATFORM"))
        return true;
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char *argv[])
{
    // The window holds the PFX and PVK passwords the user types: no core
    // file, and no debugger of the same user, may read them.
    safefile::forbidCoreDumps();

    // The build-server command needs no display and makes no window; the
    // window reads no argument at all.
    if (SelectsCommand(DecodedArguments(argc, argv)))
        return RunCommandLine(argc, argv, QStringLiteral(QUILLMARK_VERSION));

    if (!displayAvailable()) {
        std::fputs(NoDisplayMessage(QString::fromLocal8Bit(argc > 0 ? argv[0] : "")).toLocal8Bit().constData(),
                   stderr);
        return 2;
    }

    QuillmarkApplication app(argc, argv);

    StartupOptions options;
    options.identity = platform::currentUserIdentity();
    if (!StartQuillmark(options))
        return 0;

    const int result = app.exec();
    DestroyQuillmarkWindows();
    return result;
}
