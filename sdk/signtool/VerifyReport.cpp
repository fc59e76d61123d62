#include "VerifyReport.h"

#include "ToolSupport.h"

#include <cctype>
#include <map>

using namespace sdktool;

namespace signtool {

namespace {

// "NAME : VALUE" -> VALUE when `line` starts with NAME followed by blanks
// and a colon.
std::optional<std::string> valueAfter(const std::string &line, const std::string &name)
{
    if (line.compare(0, name.size(), name) != 0)
        return std::nullopt;
    const size_t colon = line.find(':', name.size());
    if (colon == std::string::npos || line.find_first_not_of(" \t", name.size()) != colon)
        return std::nullopt;
    return trimmed(line.substr(colon + 1));
}

// The name of a stored or calculated digest line ("message digest",
// "DigitalSignature"), from "Current NAME : HEX" or "Calculated NAME : HEX".
bool digestLine(const std::string &line, const char *prefix, std::string &name, std::string &value)
{
    const std::string start = prefix;
    if (line.compare(0, start.size(), start) != 0)
        return false;
    const size_t colon = line.find(':');
    if (colon == std::string::npos)
        return false;
    name = trimmed(line.substr(start.size(), colon - start.size()));
    value = trimmed(line.substr(colon + 1));
    return !name.empty();
}

} // namespace

std::string normalizedSerial(std::string hex)
{
    for (char &c : hex)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const size_t first = hex.find_first_not_of('0');
    return first == std::string::npos ? std::string("0") : hex.substr(first);
}

std::vector<ReportedSignature> readVerifyReport(const std::string &report)
{
    std::vector<ReportedSignature> signatures;
    // Per signature: the stored digests of each name, in order, waiting for
    // their calculated counterparts (an APPX package has several).
    std::map<std::string, std::vector<std::string>> stored;
    std::map<std::string, size_t> compared;
    bool inChain = false;
    for (const std::string &line : trimmedLines(report)) {
        if (const auto index = valueAfter(line, "Signature Index")) {
            signatures.emplace_back();
            signatures.back().index = std::atoi(index->c_str());
            stored.clear();
            compared.clear();
            inChain = false;
            continue;
        }
        if (signatures.empty()) {
            // A report without index lines holds one signature.
            if (line.rfind("Message digest algorithm", 0) != 0 && line.rfind("Current ", 0) != 0)
                continue;
            signatures.emplace_back();
        }
        ReportedSignature &signature = signatures.back();
        std::string name, value;
        if (const auto algorithm = valueAfter(line, "Message digest algorithm")) {
            if (signature.digestAlgorithm.empty())
                signature.digestAlgorithm = *algorithm;
        } else if (digestLine(line, "Current ", name, value)) {
            stored[name].push_back(value);
        } else if (digestLine(line, "Calculated ", name, value)) {
            const auto it = stored.find(name);
            if (it != stored.end() && compared[name] < it->second.size()) {
                signature.digestsCompared = true;
                if (it->second[compared[name]++] != value)
                    signature.digestsMatch = false;
            }
        } else if (line.find("MISMATCH") != std::string::npos) {
            signature.digestsMatch = false;
        } else if (const auto subject = valueAfter(line, "Subject")) {
            if (signature.signerSubject.empty() && !inChain)
                signature.signerSubject = *subject;
        } else if (const auto serial = valueAfter(line, "Serial")) {
            if (signature.signerSerial.empty() && !inChain)
                signature.signerSerial = normalizedSerial(*serial);
        } else if (line.rfind("Signing certificate chain verified using", 0) == 0) {
            inChain = true;
        } else if (const auto error = valueAfter(line, "Error")) {
            if (inChain && signature.chainError.empty())
                signature.chainError = *error;
        } else if (const auto stampVerdict = valueAfter(line, "Timestamp Server Signature verification")) {
            signature.timeStamped = true;
            signature.timeStampVerified = *stampVerdict == "ok";
        } else if (const auto time = valueAfter(line, "Timestamp time")) {
            signature.timeStamped = true;
            signature.timeStampTime = *time;
        } else if (const auto verdict = valueAfter(line, "Signature verification")) {
            signature.verified = *verdict == "ok";
        }
    }
    return signatures;
}

} // namespace signtool
