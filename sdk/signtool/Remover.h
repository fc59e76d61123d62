#pragma once

// "remove": signatures, or parts of them, taken out of files.
//
//   /s  the whole signature: a program file loses its certificate table
//       (its directory entry emptied, the checksum made anew) and ends
//       where the table began; other formats through "osslsigncode
//       remove-signature";
//   /c  every certificate of the signature but the signers' (an appended
//       signature's too), program files only;
//   /u  the unauthenticated attributes: time stamps and appended
//       signatures, program files only.
//
// Each file is opened, refused and replaced under the same rules as when it
// is signed (OpenedFile.h, SafeReplace.h): read-only files and links of
// other users are refused, the new content is written into the private
// folder beside the file, checked, synced, and renamed over the file with
// its owner and mode. The check of a program file's copy: the content its
// digest covers is the original's, and every signature that verified
// before (against its own signer) still does; with /s none is left.
// osslsigncode's copy must carry no signature by its own verify.
//
// Lines: "Successfully removed ...: FILE" on standard output, errors
// "SignTool Error: ..." on standard error, files in command-line order.

#include "Signer.h"

#include <functional>
#include <string>

namespace signtool {

struct SignArgs;

struct RemoveCounts {
    int removed = 0;
    int warnings = 0;
    int errors = 0;
};

RemoveCounts removeFromFiles(const SignArgs &args, const std::function<void(const FileOutcome &)> &print);

// The line for a file done: "Successfully removed the signature: FILE" and
// alike for /c and /u.
std::string removedLine(const SignArgs &args, const std::string &file);

} // namespace signtool
