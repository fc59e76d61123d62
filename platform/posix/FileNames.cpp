#include "platform/Platform.h"
#include "safefile/ShownText.h"

namespace platform {

namespace {

constexpr char16_t EscapeBase = 0xDC00;   // U+DC80..U+DCFF stand for bytes 0x80..0xFF

// Length of the valid UTF-8 sequence at `at`, or 0 when the byte there does
// not start one. Overlong forms, encoded surrogates and code points past
// U+10FFFF are not valid (QString::fromUtf8 would replace them).
int validSequenceLength(const QByteArray &bytes, qsizetype at)
{
    const auto byte = [&](qsizetype i) { return static_cast<unsigned char>(bytes.at(i)); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return 1;
    int length = 0;
    char32_t minimum = 0;
    char32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        minimum = 0x80;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        minimum = 0x800;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        minimum = 0x10000;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > bytes.size())
        return 0;
    for (int i = 1; i < length; ++i) {
        const unsigned char next = byte(at + i);
        if ((next & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

bool isEscape(const QString &name, qsizetype i)
{
    const char16_t c = name.at(i).unicode();
    if (c < EscapeBase + 0x80 || c > EscapeBase + 0xFF)
        return false;
    // A low surrogate after a high one is half of an ordinary character.
    return i == 0 || !name.at(i - 1).isHighSurrogate();
}

} // namespace

QString decodeFileName(const QByteArray &bytes)
{
    QString name;
    name.reserve(bytes.size());
    qsizetype runStart = 0;
    qsizetype i = 0;
    while (i < bytes.size()) {
        const int length = validSequenceLength(bytes, i);
        if (length > 0) {
            i += length;
            continue;
        }
        name += QString::fromUtf8(bytes.constData() + runStart, i - runStart);
        name += QChar(char16_t(EscapeBase + static_cast<unsigned char>(bytes.at(i))));
        runStart = ++i;
    }
    name += QString::fromUtf8(bytes.constData() + runStart, bytes.size() - runStart);
    return name;
}

QByteArray encodeFileName(const QString &name)
{
    QByteArray bytes;
    bytes.reserve(name.size());
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (!isEscape(name, i))
            continue;
        bytes += QStringView(name).mid(runStart, i - runStart).toUtf8();
        bytes += char(name.at(i).unicode() - EscapeBase);
        runStart = i + 1;
    }
    bytes += QStringView(name).mid(runStart).toUtf8();
    return bytes;
}

QString shownText(const QString &text)
{
    // Every escaped code point is in the Basic Multilingual Plane, and none
    // is a surrogate: a character of its own in a QString.
    QString shown;
    qsizetype runStart = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isSurrogate() || !safefile::isEscapedWhenShown(c.unicode()))
            continue;
        shown += QStringView(text).mid(runStart, i - runStart);
        shown += QString::fromLatin1(safefile::escapeOf(c.unicode()));
        runStart = i + 1;
    }
    if (runStart == 0)
        return text;
    shown += QStringView(text).mid(runStart);
    return shown;
}

QString displayFileName(const QString &name)
{
    if (!holdsUndecodableBytes(name))
        return shownText(name);
    QString shown = name;
    for (qsizetype i = 0; i < shown.size(); ++i)
        if (isEscape(name, i))
            shown[i] = QChar::ReplacementCharacter;
    return shownText(shown);
}

bool holdsUndecodableBytes(const QString &name)
{
    for (qsizetype i = 0; i < name.size(); ++i)
        if (isEscape(name, i))
            return true;
    return false;
}

} // namespace platform
