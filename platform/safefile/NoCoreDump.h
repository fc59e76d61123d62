#pragma once

// Keeps the secrets a process holds (passwords, PINs) out of core dumps and
// away from other processes of the same user: no core file is written
// (RLIMIT_CORE 0) and the process is not dumpable, which also bars
// ptrace and reading its memory through /proc by anyone but root.
// Called first thing in main(); a program it starts is dumpable again
// after exec but keeps the core limit. Plain C++ without Qt.

namespace safefile {

// Returns 0, or the errno of the first step that failed (both are tried).
int forbidCoreDumps();

} // namespace safefile
