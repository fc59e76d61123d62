#include "wizard/CryptoUtils.h"

namespace {

constexpr char kDigits[] = "0123456789abcdef";

} // namespace

QString HexText(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size() * 2);
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        text += QLatin1Char(kDigits[value >> 4]);
        text += QLatin1Char(kDigits[value & 0x0F]);
    }
    return text;
}

QString HexText32(quint32 value)
{
    QString text(8, u'0');
    for (int i = 7; i >= 0; --i) {
        text[i] = QLatin1Char(kDigits[value & 0x0F]);
        value >>= 4;
    }
    return text;
}

quint32 ReverseBytes32(quint32 value)
{
    return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u)
        | (value << 24);
}
