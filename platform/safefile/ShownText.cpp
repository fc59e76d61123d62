#include "ShownText.h"

namespace safefile {

namespace {

// The code point of the UTF-8 sequence at `at` (of `length` bytes) when it
// is a well-formed one of two or three bytes, else 0.
char32_t sequenceAt(std::string_view text, size_t at, size_t &length)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const auto continuation = [&](size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
    const unsigned char lead = byte(at);
    if (lead >= 0xC2 && lead <= 0xDF && continuation(at + 1)) {
        length = 2;
        return char32_t(lead & 0x1F) << 6 | (byte(at + 1) & 0x3F);
    }
    if (lead >= 0xE0 && lead <= 0xEF && continuation(at + 1) && continuation(at + 2)) {
        const char32_t code = char32_t(lead & 0x0F) << 12 | char32_t(byte(at + 1) & 0x3F) << 6 | (byte(at + 2) & 0x3F);
        length = 3;
        return code >= 0x800 ? code : 0;
    }
    return 0;
}

} // namespace

bool isEscapedWhenShown(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E)
           || (c >= 0x2066 && c <= 0x2069);
}

std::string escapeOf(char32_t c)
{
    static const char digits[] = "0123456789abcdef";
    switch (c) {
    case '\t':
        return "\\t";
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    default:
        break;
    }
    if (c < 0x80)
        return {'\\', 'x', digits[c >> 4 & 0xF], digits[c & 0xF]};
    return {'\\', 'u', digits[c >> 12 & 0xF], digits[c >> 8 & 0xF], digits[c >> 4 & 0xF], digits[c & 0xF]};
}

size_t escapedLengthAt(std::string_view utf8, size_t at)
{
    const auto lead = static_cast<unsigned char>(utf8[at]);
    if (lead < 0x80)
        return isEscapedWhenShown(lead) ? 1 : 0;
    size_t length = 0;
    const char32_t code = sequenceAt(utf8, at, length);
    return code && isEscapedWhenShown(code) ? length : 0;
}

std::string shownText(std::string_view utf8)
{
    std::string shown;
    shown.reserve(utf8.size());
    for (size_t at = 0; at < utf8.size();) {
        const unsigned char byte = static_cast<unsigned char>(utf8[at]);
        if (byte < 0x80) {
            if (isEscapedWhenShown(byte))
                shown += escapeOf(byte);
            else
                shown += static_cast<char>(byte);
            ++at;
            continue;
        }
        size_t length = 1;
        const char32_t code = sequenceAt(utf8, at, length);
        if (code != 0 && isEscapedWhenShown(code))
            shown += escapeOf(code);
        else
            shown.append(utf8.substr(at, length));
        at += length;
    }
    return shown;
}

} // namespace safefile
