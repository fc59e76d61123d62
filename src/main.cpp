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
        std::fputs("Quillmark is a desktop program and needs a display, but neither DISPLAY nor "
                   "WAYLAND_DISPLAY is set.\nStart it from a desktop session, or under a "
                   "virtual display:\n  xvfb-run -a ./quillmark\n",
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
