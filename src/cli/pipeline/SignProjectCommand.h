#pragma once

// The build-server command: signs a saved project without a window, through
// the same project reading, command-line building and tool running as the
// window's sign action, and says how it went in its exit code.

#include "pipeline/CommandArguments.h"
#include "platform/Platform.h"
#include "signing/SignBatches.h"

#include <QString>

#include <optional>

class QIODevice;

// The command's own codes: a tool's code is shown, never passed on (a
// tool's 2 for warnings must not read as a usage error).
namespace CommandExit {
inline constexpr int Signed = 0;              // every file signed (and verified with --verify)
inline constexpr int NotSigned = 1;           // a file was not signed, or did not verify
inline constexpr int UsageError = 2;          // the command line, or the password, is wrong
inline constexpr int ProjectUnusable = 3;     // the project, its files or the tool cannot be used
inline constexpr int NotAdministrator = 4;
inline constexpr int StoppedBySignal = 128;   // + the signal's number
} // namespace CommandExit

// The masked password in every command line the command prints.
inline const QString MaskedPassword = QStringLiteral("********");

struct CommandContext {
    QString programFolder;                   // with its trailing "/"
    platform::UserIdentity identity;         // who runs the command
    QIODevice *out = nullptr;                // the tool's output, lists, help
    QIODevice *err = nullptr;                // messages and progress
    bool progressToErr = false;              // standard error is a terminal
    QString version;
    std::optional<ArgumentLimits> argumentLimits;   // the system's unless set
    int passwordTimeoutMs = 30000;
    // Where each run makes its private folder for the capture file; empty:
    // $TMPDIR, else /tmp.
    QString temporaryFolder;
    // The signal that asks the run to stop (0: none yet); null: never.
    int (*stopSignal)() = nullptr;
};

// Carries out what the arguments ask for and returns the exit code. Every
// message goes to context.err; boxes that the shared code would show become
// lines there too, for the time of the call.
int RunCommand(const CommandArguments &arguments, const CommandContext &context);

// The program's entry for the command: a QCoreApplication (no widgets, no
// display), standard output and error, the running user. Returns the exit
// code.
int RunCommandLine(int argc, char **argv, const QString &version);
