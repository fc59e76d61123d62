#pragma once

// The switches Microsoft documents for signtool.exe that this tool does not
// take, each with the reason it has no meaning here (or is not made here),
// so that a build script written for Windows fails with a reason instead of
// "Unknown option". sdk/README.md lists every documented switch.

#include <optional>
#include <string>

namespace signtool {

// The reason a documented switch `name` (lower case, without "/") of the
// command `verb` ("sign", "timestamp", "verify") is refused; nullopt for a
// switch Microsoft does not document for that command.
std::optional<std::string> refusedSwitchReason(const std::string &verb, const std::string &name);

} // namespace signtool
