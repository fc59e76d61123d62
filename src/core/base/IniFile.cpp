#include "base/IniFile.h"

#include "base/AppError.h"

#include "platform/Platform.h"

#include <QFileInfo>

#include <cerrno>

#include <QHash>
#include <QSet>

#include <limits>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArray trimBlanks(const QByteArray &bytes)
{
    qsizetype first = 0;
    qsizetype last = bytes.size();
    while (first < last && isBlank(bytes.at(first)))
        ++first;
    while (last > first && isBlank(bytes.at(last - 1)))
        --last;
    return bytes.mid(first, last - first);
}

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

std::optional<qint32> parseHex(QStringView digits)
{
    if (digits.isEmpty())
        return std::nullopt;
    quint32 value = 0;
    for (QChar c : digits) {
        const int d = hexDigit(c);
        if (d < 0)
            return std::nullopt;
        if (value > (std::numeric_limits<quint32>::max() >> 4))
            return std::nullopt;
        value = (value << 4) | quint32(d);
    }
    // Hexadecimal is a bit pattern: all 32 bits are taken, so the high
    // half of the range reads as negative, and never as zero.
    return static_cast<qint32>(value);
}

std::optional<qint32> parseDecimal(QStringView text)
{
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text = text.mid(1);
    }
    if (text.isEmpty())
        return std::nullopt;
    const qint64 limit = negative ? qint64(std::numeric_limits<qint32>::max()) + 1
                                  : qint64(std::numeric_limits<qint32>::max());
    qint64 value = 0;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u < '0' || u > '9')
            return std::nullopt;
        value = value * 10 + (u - '0');
        if (value > limit)
            return std::nullopt;
    }
    return static_cast<qint32>(negative ? -value : value);
}

bool isValidUtf8(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// A value cannot span lines; whatever follows a line break is dropped.
QByteArray singleLine(QByteArray bytes)
{
    const qsizetype cr = bytes.indexOf('\r');
    const qsizetype lf = bytes.indexOf('\n');
    qsizetype cut = -1;
    if (cr >= 0 && lf >= 0)
        cut = qMin(cr, lf);
    else
        cut = qMax(cr, lf);
    if (cut >= 0)
        bytes.truncate(cut);
    return bytes;
}

QByteArray singleLine(const QString &value)
{
    return singleLine(value.toUtf8());
}

} // namespace

std::optional<qint32> parseIniInteger(const QString &text)
{
    const QString t = text.trimmed();
    if (t.size() > 2 && t.at(0) == u'0' && (t.at(1) == u'x' || t.at(1) == u'X'))
        return parseHex(QStringView(t).mid(2));
    if (t.startsWith(u'$'))
        return parseHex(QStringView(t).mid(1));
    return parseDecimal(t);
}

QByteArray cutUtf8(const QByteArray &bytes, int maxBytes)
{
    if (bytes.size() <= maxBytes)
        return bytes;
    qsizetype cut = maxBytes;
    // Step back over continuation bytes to the start of the character that
    // straddles the limit, and leave that character out.
    while (cut > 0 && (static_cast<unsigned char>(bytes.at(cut)) & 0xC0) == 0x80)
        --cut;
    return bytes.left(cut);
}

QByteArray cleanIniBytes(const QByteArray &rawValue)
{
    QByteArray value = trimBlanks(rawValue);
    if (value.size() >= 2) {
        const char first = value.front();
        if ((first == '"' || first == '\'') && value.back() == first)
            value = value.mid(1, value.size() - 2);
    }
    return cutUtf8(value, IniMaxTextBytes);
}

QString cleanIniText(const QByteArray &rawValue)
{
    return QString::fromUtf8(cleanIniBytes(rawValue));
}

// ---- IniFile -----------------------------------------------------------------

IniFile::IniFile(const QString &fileName, qint64 maxBytes)
    : m_fileName(fileName)
{
    const platform::FileReadResult read = platform::readRegularFile(fileName, maxBytes);
    if (!read.exists)
        return;
    m_existed = true;
    if (!read.ok) {
        m_readFailed = true;
        m_tooLarge = read.errorCode == EFBIG;
        return;
    }
    QByteArray data = read.data;
    if (data.startsWith("\xEF\xBB\xBF")) {
        m_bom = data.left(3);
        data.remove(0, 3);
    }

    qsizetype start = 0;
    while (start < data.size()) {
        const qsizetype lf = data.indexOf('\n', start);
        if (lf < 0) {
            m_lines.push_back(parseLine(data.mid(start), QByteArray()));
            break;
        }
        qsizetype end = lf;
        if (end > start && data.at(end - 1) == '\r')
            --end;
        m_lines.push_back(parseLine(data.mid(start, end - start), data.mid(end, lf + 1 - end)));
        start = lf + 1;
    }
    if (!m_lines.empty() && !m_lines.front().eol.isEmpty())
        m_newLine = m_lines.front().eol;
}

IniFile::Line IniFile::parseLine(const QByteArray &text, const QByteArray &eol)
{
    Line line;
    line.text = text;
    line.eol = eol;
    const QByteArray t = trimBlanks(text);
    if (t.isEmpty() || t.startsWith(';') || t.startsWith('#')) {
        line.kind = Kind::Filler;
        return line;
    }
    if (t.startsWith('[')) {
        const qsizetype close = t.indexOf(']');
        if (close > 0) {
            line.kind = Kind::Section;
            line.name = foldName(QString::fromUtf8(trimBlanks(t.mid(1, close - 1))));
        }
        return line;
    }
    const qsizetype eq = text.indexOf('=');
    if (eq >= 0) {
        line.kind = Kind::Key;
        line.name = foldName(QString::fromUtf8(trimBlanks(text.left(eq))));
        // Blanks after the "=" are not part of the value.
        qsizetype start = eq + 1;
        while (start < text.size() && isBlank(text.at(start)))
            ++start;
        line.valueStart = int(start);
    }
    return line;
}

QString IniFile::foldName(const QString &name)
{
    return name.trimmed().toCaseFolded();
}

int IniFile::findSection(const QString &foldedSection) const
{
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if (m_lines[i].kind == Kind::Section && m_lines[i].name == foldedSection)
            return int(i);
    }
    return -1;
}

int IniFile::sectionEnd(int header) const
{
    size_t i = size_t(header) + 1;
    while (i < m_lines.size() && m_lines[i].kind != Kind::Section)
        ++i;
    return int(i);
}

int IniFile::findKey(int header, const QString &foldedKey) const
{
    const int end = sectionEnd(header);
    for (int i = header + 1; i < end; ++i) {
        if (m_lines[i].kind == Kind::Key && m_lines[i].name == foldedKey)
            return i;
    }
    return -1;
}

int IniFile::lastContentLine(int header) const
{
    int i = sectionEnd(header) - 1;
    while (i > header && m_lines[size_t(i)].kind == Kind::Filler)
        --i;
    return i;
}

const IniFile::Line *IniFile::findKeyLine(const QString &section, const QString &key) const
{
    const int header = findSection(foldName(section));
    if (header < 0)
        return nullptr;
    const int index = findKey(header, foldName(key));
    return index < 0 ? nullptr : &m_lines[size_t(index)];
}

bool IniFile::sectionExists(const QString &section) const
{
    return findSection(foldName(section)) >= 0;
}

bool IniFile::valueExists(const QString &section, const QString &key) const
{
    return findKeyLine(section, key) != nullptr;
}

QStringList IniFile::sectionKeys(const QString &section) const
{
    QStringList keys;
    const int header = findSection(foldName(section));
    if (header < 0)
        return keys;
    const int end = sectionEnd(header);
    for (int i = header + 1; i < end; ++i) {
        const Line &line = m_lines[size_t(i)];
        if (line.kind == Kind::Key)
            keys << QString::fromUtf8(trimBlanks(line.text.left(line.text.indexOf('='))));
    }
    return keys;
}

QString IniFile::readString(const QString &section, const QString &key,
                            const QString &defaultValue) const
{
    const Line *line = findKeyLine(section, key);
    if (!line)
        return defaultValue;
    return cleanIniText(line->text.mid(line->valueStart));
}

int IniFile::readInteger(const QString &section, const QString &key, int defaultValue) const
{
    const Line *line = findKeyLine(section, key);
    if (!line)
        return defaultValue;
    return parseIniInteger(cleanIniText(line->text.mid(line->valueStart))).value_or(defaultValue);
}

bool IniFile::readBool(const QString &section, const QString &key, bool defaultValue) const
{
    return readInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void IniFile::appendLine(int position, const QByteArray &text)
{
    // The line before the new one may be the file's last line without a
    // line end; it needs one now.
    if (position > 0 && m_lines[size_t(position - 1)].eol.isEmpty())
        m_lines[size_t(position - 1)].eol = m_newLine;
    m_lines.insert(m_lines.begin() + position, parseLine(text, m_newLine));
    m_modified = true;
}

QString IniFile::readFileName(const QString &section, const QString &key,
                              const QString &defaultValue) const
{
    const Line *line = findKeyLine(section, key);
    if (!line)
        return defaultValue;
    return platform::decodeFileName(cleanIniBytes(line->text.mid(line->valueStart)));
}

void IniFile::writeString(const QString &section, const QString &key, const QString &value)
{
    QByteArray bytes = singleLine(value);
    // A value that is not UTF-8 (a Latin-1 text, say) reads with
    // replacement characters. Written back unchanged, it keeps the bytes it
    // had, not the replacement characters.
    if (const Line *line = findKeyLine(section, key)) {
        const QByteArray stored = line->text.mid(line->valueStart);
        if (!isValidUtf8(stored) && cleanIniText(stored) == value)
            bytes = cleanIniBytes(stored);
    }
    writeBytes(section, key, bytes);
}

void IniFile::writeFileName(const QString &section, const QString &key, const QString &name)
{
    writeBytes(section, key, singleLine(platform::encodeFileName(name)));
}

void IniFile::writeBytes(const QString &section, const QString &key, const QByteArray &bytes)
{
    const QString foldedSection = foldName(section);
    int header = findSection(foldedSection);
    if (header < 0) {
        const int end = int(m_lines.size());
        appendLine(end, "[" + section.toUtf8() + "]");
        appendLine(end + 1, key.toUtf8() + "=" + bytes);
        return;
    }
    const int index = findKey(header, foldName(key));
    if (index >= 0) {
        Line &line = m_lines[size_t(index)];
        // The replaced line is "key=value", the key as the file spells it.
        const QByteArray keyPart = trimBlanks(line.text.left(line.text.indexOf('=')));
        const QByteArray text = keyPart + "=" + bytes;
        if (text != line.text) {
            line.text = text;
            line.valueStart = int(keyPart.size()) + 1;
            m_modified = true;
        }
        return;
    }
    appendLine(lastContentLine(header) + 1, key.toUtf8() + "=" + bytes);
}

void IniFile::writeInteger(const QString &section, const QString &key, int value)
{
    writeString(section, key, QString::number(value));
}

void IniFile::writeBool(const QString &section, const QString &key, bool value)
{
    writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void IniFile::eraseSection(const QString &section)
{
    const QString folded = foldName(section);
    for (int header = findSection(folded); header >= 0; header = findSection(folded)) {
        // Blank lines and comments after the section's last key are left:
        // they separate or describe what follows.
        m_lines.erase(m_lines.begin() + header, m_lines.begin() + lastContentLine(header) + 1);
        m_modified = true;
    }
}

QByteArray IniFile::contents() const
{
    QByteArray data = m_bom;
    for (const Line &line : m_lines) {
        data += line.text;
        data += line.eol;
    }
    return data;
}

void IniFile::commit()
{
    if (!m_modified)
        return;
    const QString fullPath = QFileInfo(m_fileName).absoluteFilePath();
    const AppError failure(QStringLiteral("Unable to write to ") + fullPath);
    // A file that exists but could not be read is not replaced by what
    // little we know of it.
    if (m_readFailed)
        throw failure;

    // The file is replaced as a whole through a temporary beside it, or,
    // where only that is possible, rewritten in place; links and read-only
    // marks are honoured as the platform layer describes.
    if (platform::rewriteFile(fullPath, contents()) != 0)
        throw failure;
    m_modified = false;
    m_existed = true;
}

std::vector<IniEntry> IniFile::sectionEntries(const QString &section, Sections sections) const
{
    std::vector<IniEntry> entries;
    const QString folded = foldName(section);
    QSet<QString> seen;
    bool inSection = false;
    for (const Line &line : m_lines) {
        if (line.kind == Kind::Section) {
            if (inSection && sections == Sections::First)
                break;
            inSection = line.name == folded;
            continue;
        }
        if (!inSection || line.kind != Kind::Key || seen.contains(line.name))
            continue;
        seen.insert(line.name);
        entries.push_back(
            {platform::decodeFileName(trimBlanks(line.text.left(line.text.indexOf('=')))),
             trimBlanks(line.text.mid(line.valueStart))});
    }
    return entries;
}

void IniFile::replaceSection(const QString &section, const std::vector<IniEntry> &entries)
{
    eraseSection(section);
    if (entries.empty())
        return;
    appendLine(int(m_lines.size()), "[" + section.toUtf8() + "]");
    // Where each key went, so that a key named again is found without a
    // search of the section.
    QHash<QString, size_t> written;
    written.reserve(qsizetype(entries.size()));
    for (const IniEntry &entry : entries) {
        const QByteArray value = singleLine(entry.value);
        const QString folded = foldName(entry.key);
        const auto found = written.constFind(folded);
        if (found != written.cend()) {
            // A key named again replaces the value, as writeString does:
            // "key=value", without the blanks that stood after "=".
            Line &line = m_lines[*found];
            const QByteArray keyPart = line.text.left(line.text.indexOf('='));
            line.text = keyPart + "=" + value;
            line.valueStart = int(keyPart.size()) + 1;
            continue;
        }
        written.insert(folded, m_lines.size());
        appendLine(int(m_lines.size()), platform::encodeFileName(entry.key) + "=" + value);
    }
}
