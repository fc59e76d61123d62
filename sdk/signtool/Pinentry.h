#pragma once

// Asks the user for a token PIN through pinentry, the desktop's standard PIN
// dialog (the program in $QUILLMARK_PINENTRY, else "pinentry" on PATH),
// speaking its Assuan protocol over two pipes: SETTITLE, SETDESC, SETPROMPT,
// then GETPIN. The PIN only ever lives in this process's memory; the caller
// hands it on through a pipe.

#include <string>

namespace signtool {

struct PinRequest {
    std::string title;
    std::string description; // names the token and the certificate
    std::string prompt;
    int timeoutSeconds = 300; // the dialog is closed after this long
};

struct PinAnswer {
    enum class Status { Entered, Cancelled, Failed } status = Status::Failed;
    std::string pin;    // when Entered
    std::string detail; // why, when Failed
};

PinAnswer askForPin(const PinRequest &request);

// Assuan's escaping of a command argument: "%", CR and LF as %XX.
std::string assuanEscape(const std::string &text);
// The data of a "D" line back to bytes (%XX decoded).
std::string assuanUnescape(const std::string &data);
// The same, from data[from] on, appended to `out` without a temporary
// string (for a PIN, which must leave no copy behind).
void appendAssuanUnescaped(const std::string &data, size_t from, std::string &out);

// Overwrites a secret, all the memory its string holds, before that
// memory is given back.
void wipe(std::string &secret);

} // namespace signtool
