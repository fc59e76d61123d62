#pragma once

// Secrets handed from one process to the next through an inherited
// descriptor instead of the argument list or the environment, which every
// local user can read in /proc/PID/cmdline (and the same user in
// /proc/PID/environ). The giver fills a pipe with the secret and closes its
// end; the taker reads the descriptor to its end. Plain C++ without Qt, for
// the window and the SDK tools alike.

#include "SecretBuffer.h"

#include <string>

namespace safefile {

// The most a secret may take: far beyond any password, and what a pipe
// holds without a reader, so filling one never waits.
constexpr std::size_t kMaxSecretBytes = 16 * 1024;

// A pipe holding `secret`, closed for writing; returns its read end
// (close-on-exec), or -1 with errno set (E2BIG for a secret above
// kMaxSecretBytes).
int secretPipe(const std::string &secret);

// Reads descriptor `fd` to its end into `secret` (exactly its bytes, no
// line end removed) and closes it. Waits at most `timeoutSeconds` for the
// end. Returns why it failed ("descriptor 3 is not open", ...), or empty.
std::string readSecret(int fd, int timeoutSeconds, SecretBuffer &secret);

// The descriptor number given with a switch such as /pfd ("3"): 3 or more;
// -1 when the text is not one.
int secretDescriptorNumber(const std::string &text);

} // namespace safefile
