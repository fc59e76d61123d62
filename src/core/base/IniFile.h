#pragma once

// The INI files of Quillmark: the settings file beside the program and the
// project files. A small module of our own rather than QSettings, because
// QSettings escapes values and rewrites and reorders whole files, while
// these files must keep every line we do not touch exactly as it was.
//
// Usage is one batch per opening: construct an IniFile (the file is read
// once, or found missing, which reads as all defaults), read and write
// values in memory, then commit() once. Nothing is held open in between.
// An IniFile that is destroyed without commit() leaves the file alone.
//
// Section and key names are the program's own; they hold no "]", "=" or
// line break.
//
// Conventions:
// - Section and key names match without regard to letter case. When a name
//   occurs more than once, the first section and the first key in it count.
// - Flags are written "1"/"0" and read as integers (parseIniInteger); any
//   non-zero integer is on; a missing key or a value that is not an integer
//   gives the caller's default.
// - Texts are read without leading/trailing blanks and without one pair of
//   enclosing quotes (single or double), at most IniMaxTextBytes bytes of
//   UTF-8, never cut inside a character. Texts are written exactly as given.
//   A line break cannot live inside an INI value: a written text is cut at
//   its first CR or LF, so the file's structure can never be altered through
//   a value.
// - Writing an existing key replaces its line with "key=value" (the key as
//   the file spells it; its line end stays). A value that is not UTF-8 and
//   is written back as it reads keeps its bytes. A new key goes after
//   the last line of its section that is neither blank nor a comment; a new
//   section goes to the end of the file. Every other byte of the file stays.
// - New lines take the file's own line end (CR LF or LF, as its first line
//   has it); a new file gets LF.
// - commit() writes through platform::rewriteFile: a temporary file in the
//   same folder, synced and renamed over the old file, so the old file is
//   either fully replaced or untouched; owner, group and mode are kept; a
//   link is followed only when the running user or root made it; a file
//   without write permission is never written. A failure raises
//   AppError("Unable to write to <full path>").

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// Longest text, in bytes of UTF-8, that a read returns.
inline constexpr int IniMaxTextBytes = 2047;

// Reads an INI integer: surrounding blanks are ignored; a value longer than
// two characters that starts with "0x"/"0X" is hexadecimal; otherwise a
// decimal number with an optional sign, or hexadecimal after a leading "$".
// The result is a 32-bit integer: hexadecimal takes up to 32 bits (so
// "0xFFFFFFFF" is -1); a decimal outside the 32-bit range, a longer
// hexadecimal number, anything else or an empty text gives nothing.
std::optional<qint32> parseIniInteger(const QString &text);

// What a read makes of a stored value: blanks trimmed, one pair of enclosing
// quotes removed, cut to IniMaxTextBytes bytes on a character boundary.
QByteArray cleanIniBytes(const QByteArray &rawValue);
// The same as text; bytes that are not UTF-8 become replacement characters.
QString cleanIniText(const QByteArray &rawValue);

// Cuts UTF-8 bytes to at most maxBytes without splitting a character.
QByteArray cutUtf8(const QByteArray &bytes, int maxBytes);

// One key of a section with its value: as stored (sectionEntries) or to be
// written (replaceSection).
struct IniEntry {
    QString key;
    QByteArray value;
};

class IniFile {
public:
    // Reads the file at once. A missing file is an empty one; it is
    // created by the first commit that has something to write. A file of
    // more than `maxBytes` (when given) is not read at all: it is judged by
    // the size of the opened file, and then readFailed() and tooLarge().
    explicit IniFile(const QString &fileName, qint64 maxBytes = -1);

    QString fileName() const { return m_fileName; }
    // Whether the file was there when it was read (or has been committed).
    bool fileExisted() const { return m_existed; }
    // Whether something was there that could not be read: a folder, a FIFO
    // or device (never opened, so never waited on), a file without read
    // permission. Such a file reads as empty and is never written.
    bool readFailed() const { return m_readFailed; }
    // Whether the read failed for the file's size (see the constructor).
    bool tooLarge() const { return m_tooLarge; }

    bool sectionExists(const QString &section) const;
    bool valueExists(const QString &section, const QString &key) const;
    // The key names of the section, in file order, as written in the file.
    QStringList sectionKeys(const QString &section) const;

    QString readString(const QString &section, const QString &key,
                       const QString &defaultValue) const;
    // A text that names a file or folder. Read as readString does, but its
    // bytes are kept as platform::decodeFileName keeps them, so that a name
    // that is not UTF-8 (a Latin-1 path written by another program) still
    // finds its file, and is written back byte for byte by writeFileName.
    QString readFileName(const QString &section, const QString &key,
                         const QString &defaultValue) const;
    // A missing key or a value that is not an integer gives defaultValue.
    int readInteger(const QString &section, const QString &key, int defaultValue) const;
    bool readBool(const QString &section, const QString &key, bool defaultValue) const;

    void writeString(const QString &section, const QString &key, const QString &value);
    // Writes the name's own bytes (platform::encodeFileName).
    void writeFileName(const QString &section, const QString &key, const QString &name);
    void writeInteger(const QString &section, const QString &key, int value);
    void writeBool(const QString &section, const QString &key, bool value);
    // Removes the header and every line under it of each section of that name.
    void eraseSection(const QString &section);

    // Whole sections at once, in time linear in the size of the file, for
    // sections of many keys (a project's file list), where a read or write
    // per key would search the section each time.
    //
    // The keys of the first section of that name (as a read finds them), or
    // of every section of that name (as eraseSection removes them), in file
    // order, each name once (its first line), with the key as written (its
    // bytes kept as platform::decodeFileName keeps them) and the value as
    // stored: blanks around it dropped, nothing else changed (cleanIniText
    // makes of it what readString returns).
    enum class Sections { First, Every };
    std::vector<IniEntry> sectionEntries(const QString &section,
                                         Sections sections = Sections::First) const;
    // The same as eraseSection followed by a write of each entry in order
    // (the value as given, the key through platform::encodeFileName): one
    // new section at the end of the file, a key named twice written once,
    // with the later value.
    void replaceSection(const QString &section, const std::vector<IniEntry> &entries);

    // True when the in-memory contents differ from what was read.
    bool isModified() const { return m_modified; }

    // The whole file as commit() would write it.
    QByteArray contents() const;

    // Writes the file when anything changed. Throws AppError on failure,
    // leaving the old file as it was.
    void commit();

private:
    // Filler: blank lines and comments (";" or "#"); Other: any other line
    // that is neither a section header nor a key.
    enum class Kind { Other, Filler, Section, Key };
    struct Line {
        QByteArray text;   // without its line end
        QByteArray eol;    // "\r\n", "\n", "\r" or empty for a last line without one
        Kind kind = Kind::Other;
        QString name;      // case-folded section or key name
        int valueStart = 0; // Key lines: offset of the value in text
    };

    static Line parseLine(const QByteArray &text, const QByteArray &eol);
    static QString foldName(const QString &name);

    // Index of the first header of the section, or -1.
    int findSection(const QString &foldedSection) const;
    // One past the last line that belongs to the section starting at header.
    int sectionEnd(int header) const;
    int findKey(int header, const QString &foldedKey) const;
    // The section's last line that is not blank or a comment (at least the
    // header): new keys go after it, and erasing stops there.
    int lastContentLine(int header) const;
    const Line *findKeyLine(const QString &section, const QString &key) const;
    void appendLine(int position, const QByteArray &text);
    // Writes the value's bytes as they are (already a single line).
    void writeBytes(const QString &section, const QString &key, const QByteArray &bytes);

    QString m_fileName;
    QByteArray m_bom;          // a UTF-8 byte-order mark found at the start, kept
    QByteArray m_newLine = "\n";
    std::vector<Line> m_lines;
    bool m_existed = false;
    bool m_readFailed = false;
    bool m_tooLarge = false;
    bool m_modified = false;
};
