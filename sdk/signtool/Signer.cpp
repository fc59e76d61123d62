#include "Signer.h"

#include "SafeReplace.h"
#include "SignArgs.h"
#include "TimeStamp.h"
#include "ToolSupport.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

// Returns the error text, empty on success.
std::string signInPlace(const SigningIdentity &identity, const SignArgs &args, const std::string &file,
                        std::vector<std::string> &warnings)
{
    char resolved[PATH_MAX];
    if (!realpath(file.c_str(), resolved)) {
        if (errno == ENOENT)
            return "File not found: " + file;
        return "Cannot open " + file + ": " + errnoText(errno);
    }
    const std::string target = resolved;
    struct stat st {};
    if (stat(target.c_str(), &st) != 0)
        return "Cannot open " + file + ": " + errnoText(errno);
    if (!S_ISREG(st.st_mode))
        return file + " is not a file.";
    if (access(target.c_str(), R_OK | W_OK) != 0)
        return "Cannot sign " + file + ": " + (errno == EACCES ? std::string("the file is read-only or not readable")
                                                               : errnoText(errno))
               + ".";
    // access() lets root write anything, but a file with no write permission
    // for anyone has been marked read-only on purpose: root is refused too.
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return "Cannot sign " + file + ": the file is read-only.";

    // osslsigncode will not write over an existing file, so the signed copy
    // gets a fresh unguessable name beside the original; should the name
    // exist after all, osslsigncode fails and nothing is lost.
    std::string nameError;
    const std::string tmpFile = temporaryNameBeside(target, nameError);
    if (tmpFile.empty())
        return nameError.empty() ? "The path of " + file + " is too long." : nameError;
    rememberTemporary(tmpFile);

    const std::vector<std::string> argv = osslsigncodeArguments(identity, args, target, tmpFile);
    const ChildResult run = runChild(argv, identity.password.empty() ? nullptr : &identity.password);

    std::string error;
    struct stat signedStat {};
    if (!run.started)
        error = "Cannot start osslsigncode: " + errnoText(run.startErrno) + ".";
    else if (run.exitCode != 0 || stat(tmpFile.c_str(), &signedStat) != 0 || signedStat.st_size == 0)
        error = "Signing " + file + " failed: " + signerMessage(run.output);
    std::string finalCopy = tmpFile;
    if (error.empty() && wantsTimeStamp(args)) {
        // The time stamp goes into a second copy; the file itself stays as
        // it was until that copy is complete.
        finalCopy = temporaryNameBeside(target, error);
        if (!finalCopy.empty()) {
            TimeStampOutcome stamped = addTimeStamp(args, tmpFile, finalCopy, file);
            error = std::move(stamped.error);
            warnings = std::move(stamped.warnings);
            unlink(tmpFile.c_str());
            rememberTemporary(finalCopy);
        } else if (error.empty()) {
            error = "The path of " + file + " is too long.";
        }
    }
    if (error.empty())
        error = replaceWithCopy(finalCopy, target, st, file);
    if (!error.empty()) {
        unlink(tmpFile.c_str());
        if (!finalCopy.empty())
            unlink(finalCopy.c_str());
    }
    forgetTemporary();
    return error;
}

} // namespace

std::vector<std::string> osslsigncodeArguments(const SigningIdentity &identity, const SignArgs &args,
                                               const std::string &in, const std::string &out)
{
    std::vector<std::string> argv{"osslsigncode", "sign"};
    if (identity.token) {
        // osslsigncode signs through the pkcs11 engine, which logs in with
        // the PIN read from descriptor 3; the key never leaves the token.
        argv.insert(argv.end(), {"-pkcs11module", identity.token->modulePath, "-pkcs11cert",
                                 identity.token->certificateUri(), "-key", identity.token->privateKeyUri()});
    } else {
        argv.insert(argv.end(), {"-pkcs12", identity.pfxPath});
    }
    if (!identity.password.empty()) {
        argv.push_back("-readpass");
        argv.push_back("/dev/fd/3");
    }
    argv.insert(argv.end(), {"-h", digestName(args.fileDigest)});
    if (args.appendSignature)
        argv.push_back("-nest");
    if (args.description && !args.description->empty())
        argv.insert(argv.end(), {"-n", *args.description});
    if (args.descriptionUrl && !args.descriptionUrl->empty())
        argv.insert(argv.end(), {"-i", *args.descriptionUrl});
    argv.insert(argv.end(), {"-in", in, "-out", out});
    return argv;
}

std::string signerMessage(const std::string &output)
{
    std::string message;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        std::string line = output.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (line.empty() || line == "Failed" || line == "Succeeded" || line.find(":error:") != std::string::npos
            || line.rfind("Connecting to ", 0) == 0 || line.rfind("Use the \"-ts\" option", 0) == 0)
            continue;
        if (!message.empty())
            message += "; ";
        message += line;
    }
    if (message.size() > 400)
        message = message.substr(0, 397) + "...";
    return message.empty() ? "osslsigncode reported no reason" : message;
}

FileOutcome signFile(const SigningIdentity &identity, const SignArgs &args, const std::string &file)
{
    FileOutcome outcome;
    if (args.verbose) {
        outcome.lines.push_back({OutputLine::Out, "Signing: " + file});
        for (auto &line : certificateLines(identity))
            outcome.lines.push_back({OutputLine::Out, std::move(line)});
    }
    std::vector<std::string> warnings;
    const std::string error = signInPlace(identity, args, file, warnings);
    for (auto &warning : warnings)
        outcome.lines.push_back({OutputLine::Err, std::move(warning)});
    outcome.warnings = static_cast<int>(warnings.size());
    outcome.signedOk = error.empty();
    if (outcome.signedOk)
        outcome.lines.push_back({OutputLine::Out, "Successfully signed: " + file});
    else
        outcome.lines.push_back({OutputLine::Err, "SignTool Error: " + error});
    if (args.verbose)
        outcome.lines.push_back({OutputLine::Out, std::string()});
    return outcome;
}

} // namespace signtool
