#include "base/AppError.h"
#include "base/IniFile.h"

#include "support/FileContents.h"
#include "support/OtherUser.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/resource.h>

namespace {

using testfiles::readAll;
using testfiles::writeAll;

// Runs commit() and returns the error text, or "<no error>".
QString commitError(IniFile &ini)
{
    try {
        ini.commit();
    } catch (const AppError &error) {
        return error.message();
    }
    return QStringLiteral("<no error>");
}

} // namespace

class TestIniFile : public QObject {
    Q_OBJECT

private slots:
    void integers_data();
    void integers();
    void flagsReadAsIntegers();
    void namesIgnoreCase();
    void textsTrimmedAndUnquoted_data();
    void textsTrimmedAndUnquoted();
    void longTextsCutOnCharacterBoundary_data();
    void longTextsCutOnCharacterBoundary();
    void missingFileGivesDefaultsAndIsCreatedByFirstWrite();
    void batchTouchesDiskOnlyAtCommit();
    void rewriteKeepsEverythingElse();
    void crlfFileKeepsItsLineEnds();
    void lastLineWithoutLineEnd();
    void emptyTextAndLineBreaks();
    void eraseSection();
    void duplicateNamesFirstCounts();
    void replaceSectionEqualsEraseAndWrites_data();
    void replaceSectionEqualsEraseAndWrites();
    void sectionEntriesAsAReadFindsThem();
    void failedWriteKeepsOldFile();
    void unwritableFolder();
    void unreadableFileIsNotReplaced();
    void permissionsAndLinksKept();
    void replacedLineIsKeyEqualsValue();
    void valueThatIsNotUtf8KeptByteForByte();
    void readOnlyFileNotWrittenEvenByRoot();
    void otherUsersLinkNotFollowed();
    void ownerGroupAndModeKept();
    void writtenInPlaceWhenFolderTakesNoFile();
    void fullDiskLeavesAFileWrittenInPlaceWhole();
    void fifoIsNotRead();
    void linksSwappedInDuringWritesAreNeverFollowed();

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
};

void TestIniFile::integers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qint32>("value");

    QTest::newRow("one") << "1" << true << qint32(1);
    QTest::newRow("zero") << "0" << true << qint32(0);
    QTest::newRow("minus one") << "-1" << true << qint32(-1);
    QTest::newRow("plus") << "+7" << true << qint32(7);
    QTest::newRow("leading zeros") << "007" << true << qint32(7);
    QTest::newRow("0x10") << "0x10" << true << qint32(16);
    QTest::newRow("0X1f") << "0X1f" << true << qint32(31);
    QTest::newRow("0x0") << "0x0" << true << qint32(0);
    QTest::newRow("$1F") << "$1F" << true << qint32(31);
    QTest::newRow("$ff lower") << "$ff" << true << qint32(255);
    QTest::newRow("blanks around") << " 2 " << true << qint32(2);
    // 32-bit integers: hexadecimal is a bit pattern of up to 32 bits.
    QTest::newRow("all bits") << "0xFFFFFFFF" << true << qint32(-1);
    QTest::newRow("high bit") << "$80000000" << true << std::numeric_limits<qint32>::min();
    QTest::newRow("max") << "2147483647" << true << std::numeric_limits<qint32>::max();
    QTest::newRow("min") << "-2147483648" << true << std::numeric_limits<qint32>::min();
    QTest::newRow("leading zeros in hex") << "0x00000000001" << true << qint32(1);

    // "0x" is only two characters, so it is read as decimal, which it is not.
    QTest::newRow("0x alone") << "0x" << false << qint32(0);
    QTest::newRow("yes") << "yes" << false << qint32(0);
    QTest::newRow("empty") << "" << false << qint32(0);
    QTest::newRow("blank") << "   " << false << qint32(0);
    QTest::newRow("sign alone") << "-" << false << qint32(0);
    QTest::newRow("dollar alone") << "$" << false << qint32(0);
    QTest::newRow("trailing junk") << "12abc" << false << qint32(0);
    QTest::newRow("fraction") << "1.5" << false << qint32(0);
    QTest::newRow("signed hex") << "0x-1" << false << qint32(0);
    QTest::newRow("bad hex digit") << "0x1G" << false << qint32(0);
    QTest::newRow("inner blank") << "1 2" << false << qint32(0);
    QTest::newRow("decimal overflow") << "2147483648" << false << qint32(0);
    QTest::newRow("decimal underflow") << "-2147483649" << false << qint32(0);
    QTest::newRow("2^32") << "4294967296" << false << qint32(0);
    QTest::newRow("64-bit") << "9223372036854775807" << false << qint32(0);
    QTest::newRow("hex overflow") << "0x100000000" << false << qint32(0);
    QTest::newRow("64-bit hex") << "0xFFFFFFFFFFFFFFFF" << false << qint32(0);
    QTest::newRow("arabic digits") << QString::fromUtf8("\u0661") << false << qint32(0);
}

void TestIniFile::integers()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(qint32, value);
    const std::optional<qint32> parsed = parseIniInteger(text);
    QCOMPARE(parsed.has_value(), valid);
    if (valid)
        QCOMPARE(*parsed, value);
}

void TestIniFile::flagsReadAsIntegers()
{
    const QString file = path("flags.ini");
    writeAll(file, "[Settings]\n"
                   "VerboseOutput=yes\n"
                   "AddCmdLineToConsole=0x0\n"
                   "TimeStamp=2\n"
                   "UseBestCert=-1\n"
                   "UsePFXFile=\n"
                   "KeepWndTopMost=\"1\"\n"
                   "AddDescription=0x\n"
                   "Number= $1F \n"
                   "Wide=4294967296\n"
                   "WideHex=0x100000000\n");
    const IniFile ini(file);
    QCOMPARE(ini.readBool("Settings", "VerboseOutput", true), true);   // not an integer
    QCOMPARE(ini.readBool("Settings", "VerboseOutput", false), false);
    QCOMPARE(ini.readBool("Settings", "AddCmdLineToConsole", true), false);
    QCOMPARE(ini.readBool("Settings", "TimeStamp", false), true);
    QCOMPARE(ini.readBool("Settings", "UseBestCert", false), true);
    QCOMPARE(ini.readBool("Settings", "UsePFXFile", true), true);      // empty: default
    QCOMPARE(ini.readBool("Settings", "KeepWndTopMost", false), true); // quotes go first
    QCOMPARE(ini.readBool("Settings", "AddDescription", true), true);
    QCOMPARE(ini.readBool("Settings", "Missing", true), true);
    QCOMPARE(ini.readBool("Settings", "Missing", false), false);
    QCOMPARE(ini.readInteger("Settings", "Number", 0), 31);
    // Out of the 32-bit range is not an integer: the default, not "on".
    QCOMPARE(ini.readBool("Settings", "Wide", false), false);
    QCOMPARE(ini.readBool("Settings", "WideHex", false), false);
    QCOMPARE(ini.readInteger("Settings", "Wide", 7), 7);

    IniFile out(path("written-flags.ini"));
    out.writeBool("S", "On", true);
    out.writeBool("S", "Off", false);
    out.writeInteger("S", "N", -12);
    QCOMPARE(out.contents(), QByteArray("[S]\nOn=1\nOff=0\nN=-12\n"));
}

void TestIniFile::namesIgnoreCase()
{
    const QString file = path("case.ini");
    writeAll(file, "[settings]\nsdkbinfolder=/opt/sdk/\n[OTHER]\nKey=1\n");
    IniFile ini(file);
    QCOMPARE(ini.readString("Settings", "SDKBinFolder", "x"), QString("/opt/sdk/"));
    QVERIFY(ini.sectionExists("SETTINGS"));
    QVERIFY(ini.valueExists("other", "KEY"));
    QVERIFY(!ini.valueExists("Settings", "Key"));   // a key belongs to its own section

    ini.writeString("SETTINGS", "SdkBinFolder", "/usr/sdk/");
    // Replaced on its line; the stored spelling of the key stays.
    QCOMPARE(ini.contents(), QByteArray("[settings]\nsdkbinfolder=/usr/sdk/\n[OTHER]\nKey=1\n"));
}

void TestIniFile::textsTrimmedAndUnquoted_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("read");

    QTest::newRow("plain") << QByteArray("Release build") << "Release build";
    QTest::newRow("two leading blanks") << QByteArray("  Release") << "Release";
    QTest::newRow("tabs and blanks") << QByteArray("\t x y \t") << "x y";
    QTest::newRow("double quotes") << QByteArray("\"Release build\"") << "Release build";
    QTest::newRow("single quotes") << QByteArray("'Release'") << "Release";
    QTest::newRow("quoted blanks kept") << QByteArray(" \"  a  \" ") << "  a  ";
    QTest::newRow("one pair only") << QByteArray("\"\"x\"\"") << "\"x\"";
    QTest::newRow("mismatched quotes") << QByteArray("\"x'") << "\"x'";
    QTest::newRow("lone quote") << QByteArray("\"") << "\"";
    QTest::newRow("empty quotes") << QByteArray("\"\"") << "";
    QTest::newRow("inner equals") << QByteArray("a=b") << "a=b";
    QTest::newRow("utf8") << QByteArray("Gr\xC3\xBC\xC3\x9F" "e") << QString::fromUtf8("Grüße");
}

void TestIniFile::textsTrimmedAndUnquoted()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, read);
    const QString file = path("text.ini");
    writeAll(file, "[Settings]\nDescriptionText=" + stored + "\n");
    QCOMPARE(IniFile(file).readString("Settings", "DescriptionText", "default"), read);
    QCOMPARE(cleanIniText(stored), read);
}

void TestIniFile::longTextsCutOnCharacterBoundary_data()
{
    QTest::addColumn<QString>("unit");
    QTest::addColumn<int>("prefix");   // ASCII bytes before the repeated unit

    QTest::newRow("ascii") << "a" << 0;
    QTest::newRow("2-byte") << QString::fromUtf8("é") << 0;
    QTest::newRow("2-byte shifted") << QString::fromUtf8("é") << 1;
    QTest::newRow("3-byte") << QString::fromUtf8("€") << 0;
    QTest::newRow("3-byte shifted 1") << QString::fromUtf8("€") << 1;
    QTest::newRow("3-byte shifted 2") << QString::fromUtf8("€") << 2;
    QTest::newRow("4-byte") << QString::fromUtf8("\U0001F58B") << 0;
    QTest::newRow("4-byte shifted 3") << QString::fromUtf8("\U0001F58B") << 3;
}

void TestIniFile::longTextsCutOnCharacterBoundary()
{
    QFETCH(QString, unit);
    QFETCH(int, prefix);
    QString value(prefix, u'p');
    while (value.toUtf8().size() < 3000)
        value += unit;
    const QString file = path("long.ini");
    {
        IniFile ini(file);
        ini.writeString("Settings", "DescriptionText", value);
        ini.commit();
    }
    // The whole text is stored; only reading cuts.
    QVERIFY(readAll(file).contains(value.toUtf8()));

    const QString read = IniFile(file).readString("Settings", "DescriptionText", "");
    const QByteArray bytes = read.toUtf8();
    const int unitBytes = int(unit.toUtf8().size());
    QVERIFY(bytes.size() <= IniMaxTextBytes);
    QVERIFY(bytes.size() > IniMaxTextBytes - unitBytes);   // nothing more is lost than needed
    QVERIFY(value.startsWith(read));                       // whole characters, from the start
    QVERIFY(!read.contains(QChar::ReplacementCharacter));
}

void TestIniFile::missingFileGivesDefaultsAndIsCreatedByFirstWrite()
{
    const QString file = path("fresh.ini");
    QVERIFY(!QFile::exists(file));
    {
        IniFile ini(file);
        QVERIFY(!ini.fileExisted());
        QCOMPARE(ini.readString("Settings", "SDKBinFolder", "dflt"), QString("dflt"));
        QCOMPARE(ini.readBool("Settings", "VerboseOutput", true), true);
        QCOMPARE(ini.readInteger("Settings", "Any", 42), 42);
        QVERIFY(!ini.sectionExists("Settings"));
        ini.eraseSection("Settings");
        ini.commit();   // nothing written: nothing created
    }
    QVERIFY(!QFile::exists(file));

    IniFile ini(file);
    ini.writeString("Settings", "SDKBinFolder", "/opt/sdk/");
    ini.writeBool("Settings", "UseBestCert", true);
    ini.writeString("Settings", "PFXFilename", "");
    ini.writeString("Files", "File.0", "/a b/c.exe");
    ini.commit();
    QCOMPARE(readAll(file), QByteArray("[Settings]\n"
                                       "SDKBinFolder=/opt/sdk/\n"
                                       "UseBestCert=1\n"
                                       "PFXFilename=\n"
                                       "[Files]\n"
                                       "File.0=/a b/c.exe\n"));
    QCOMPARE(ini.readString("Files", "File.0", ""), QString("/a b/c.exe"));
}

void TestIniFile::batchTouchesDiskOnlyAtCommit()
{
    const QString file = path("batch.ini");
    const QByteArray original = "[Settings]\nTimeStamp=0\n";
    writeAll(file, original);
    {
        IniFile ini(file);
        ini.writeBool("Settings", "TimeStamp", true);
        ini.writeString("Settings", "TimeStampURL", "http://ts.example");
        QVERIFY(ini.isModified());
        QCOMPARE(readAll(file), original);   // still in memory
        // Values written in the batch read back before the commit.
        QCOMPARE(ini.readBool("Settings", "TimeStamp", false), true);
        // Destroyed without commit: the file is left alone.
    }
    QCOMPARE(readAll(file), original);

    IniFile same(file);
    same.writeBool("Settings", "TimeStamp", false);   // the value it already holds
    QVERIFY(!same.isModified());
}

void TestIniFile::rewriteKeepsEverythingElse()
{
    const QString file = path("keep.ini");
    const QByteArray before =
        "; Quillmark project\n"
        "  # hand-written notes\n"
        "stray=before any section\n"
        "\n"
        "[Settings]\n"
        "UseBestCert = 1\n"
        "SDKBinFolder=/ignored/in/projects/\n"
        "Custom=keep me   \n"
        "not a key line\n"
        "\n"
        "; about files\n"
        "[Extra]\n"
        "a=\"quoted\"\n"
        "[Files]\n"
        "File.0=/old/one.exe\n"
        "File.1=/old/two.exe\n"
        "\n"
        "[Tail]\n"
        "z=9\n";
    writeAll(file, before);

    IniFile ini(file);
    ini.writeBool("Settings", "UseBestCert", false);
    ini.writeString("Settings", "DescriptionText", "Release build");
    ini.eraseSection("Files");
    ini.writeString("Files", "File.0", "/new/one.exe");
    ini.writeString("Brand New", "k", "v");
    ini.commit();

    QCOMPARE(readAll(file), QByteArray(
        "; Quillmark project\n"
        "  # hand-written notes\n"
        "stray=before any section\n"
        "\n"
        "[Settings]\n"
        "UseBestCert=0\n"
        "SDKBinFolder=/ignored/in/projects/\n"
        "Custom=keep me   \n"
        "not a key line\n"
        "DescriptionText=Release build\n"
        "\n"
        "; about files\n"
        "[Extra]\n"
        "a=\"quoted\"\n"
        "\n"
        "[Tail]\n"
        "z=9\n"
        "[Files]\n"
        "File.0=/new/one.exe\n"
        "[Brand New]\n"
        "k=v\n"));
    // A key line before any section belongs to no section.
    QVERIFY(!IniFile(file).valueExists("", "stray"));
    QCOMPARE(IniFile(file).sectionKeys("settings"),
             QStringList({"UseBestCert", "SDKBinFolder", "Custom", "DescriptionText"}));
}

void TestIniFile::crlfFileKeepsItsLineEnds()
{
    const QString file = path("crlf.ini");
    // A byte-order mark and one stray LF-only line must survive as they are.
    writeAll(file, "\xEF\xBB\xBF[Settings]\r\nTimeStamp=0\r\nOdd=lf only\nTail=x\r\n");
    IniFile ini(file);
    QCOMPARE(ini.readString("Settings", "Odd", ""), QString("lf only"));
    QCOMPARE(ini.readString("Settings", "Tail", ""), QString("x"));   // no CR in the value
    ini.writeBool("Settings", "TimeStamp", true);
    ini.writeString("Settings", "TimeStampURL", "http://ts");
    ini.writeString("Files", "File.0", "/x");
    ini.commit();
    QCOMPARE(readAll(file), QByteArray("\xEF\xBB\xBF[Settings]\r\nTimeStamp=1\r\nOdd=lf only\n"
                                       "Tail=x\r\nTimeStampURL=http://ts\r\n"
                                       "[Files]\r\nFile.0=/x\r\n"));
}

void TestIniFile::lastLineWithoutLineEnd()
{
    const QString file = path("noeol.ini");
    writeAll(file, "[Settings]\r\nA=1");
    IniFile ini(file);
    QCOMPARE(ini.readBool("Settings", "A", false), true);
    ini.writeString("Settings", "B", "2");
    QCOMPARE(ini.contents(), QByteArray("[Settings]\r\nA=1\r\nB=2\r\n"));

    writeAll(file, "[Settings]\nA=1");
    IniFile other(file);
    other.writeString("New", "k", "v");
    QCOMPARE(other.contents(), QByteArray("[Settings]\nA=1\n[New]\nk=v\n"));
}

void TestIniFile::emptyTextAndLineBreaks()
{
    IniFile ini(path("breaks.ini"));
    ini.writeString("S", "Empty", "");
    ini.writeString("S", "Lf", "first\nsecond=evil\n[Injected]");
    ini.writeString("S", "Cr", "one\r\ntwo");
    ini.writeString("S", "Blanks", "  padded  ");
    QCOMPARE(ini.contents(), QByteArray("[S]\nEmpty=\nLf=first\nCr=one\nBlanks=  padded  \n"));
    QVERIFY(ini.valueExists("S", "Empty"));
    QCOMPARE(ini.readString("S", "Empty", "default"), QString());
    QVERIFY(!ini.sectionExists("Injected"));
    QVERIFY(!ini.valueExists("S", "second"));
}

void TestIniFile::eraseSection()
{
    const QString file = path("erase.ini");
    writeAll(file, "[A]\na=1\n\n[Files]\nFile.0=x\n; note inside\nFile.1=y\n\n; before B\n"
                   "[B]\nb=2\n[files]\nFile.9=dup\n");
    IniFile ini(file);
    ini.eraseSection("FILES");
    QCOMPARE(ini.contents(), QByteArray("[A]\na=1\n\n\n; before B\n[B]\nb=2\n"));
    QVERIFY(!ini.sectionExists("Files"));
    QCOMPARE(ini.readString("A", "a", ""), QString("1"));
    QCOMPARE(ini.readString("B", "b", ""), QString("2"));

    ini.eraseSection("Nothing");
    ini.writeString("Files", "File.0", "z");
    ini.commit();
    QCOMPARE(readAll(file), QByteArray("[A]\na=1\n\n\n; before B\n[B]\nb=2\n[Files]\nFile.0=z\n"));

    // Erasing and rewriting the same list again changes nothing.
    IniFile again(file);
    again.eraseSection("Files");
    again.writeString("Files", "File.0", "z");
    QCOMPARE(again.contents(), readAll(file));
}

void TestIniFile::duplicateNamesFirstCounts()
{
    const QString file = path("dup.ini");
    writeAll(file, "[S]\nk=first\nK=second\n[s]\nk=third\nother=4\n");
    IniFile ini(file);
    QCOMPARE(ini.readString("S", "k", ""), QString("first"));
    QVERIFY(!ini.valueExists("S", "other"));   // only the first [S] is searched
    ini.writeString("S", "k", "new");
    ini.writeString("S", "added", "1");
    QCOMPARE(ini.contents(), QByteArray("[S]\nk=new\nK=second\nadded=1\n[s]\nk=third\nother=4\n"));
}

void TestIniFile::replaceSectionEqualsEraseAndWrites_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::newRow("no file") << QByteArray();
    QTest::newRow("sections around and twice")
        << QByteArray("[A]\na=1\n\n[Files]\nFile.0=x\n; note\nFile.1=y\n\n; before B\n[B]\nb=2\n"
                      "[files]\nFile.9=dup\n");
    QTest::newRow("CR LF, no line end at the end")
        << QByteArray("[Settings]\r\nUseBestCert=1\r\n[Files]\r\nFile.0=old\r\n[Z]\r\nz=1");
    QTest::newRow("last line without a line end") << QByteArray("[S]\nk=1");
}

// The batch write must leave exactly the text that the key-by-key way
// leaves, keys named twice (in another letter case) and a value with a
// line break included.
void TestIniFile::replaceSectionEqualsEraseAndWrites()
{
    QFETCH(QByteArray, before);
    const QString file = path("batch.ini");
    if (!before.isNull())
        writeAll(file, before);
    const std::vector<IniEntry> entries = {
        {"File.0", "/a b/c.exe"}, {"File.1", "  padded  "}, {"file.0", "again"},
        {"Other", "x\ny"},         {"File.2", ""},           {"FILE.1", "last"},
    };

    IniFile byKey(file);
    byKey.eraseSection("Files");
    for (const IniEntry &entry : entries)
        byKey.writeString("Files", entry.key, QString::fromUtf8(entry.value));

    IniFile batch(file);
    batch.replaceSection("Files", entries);
    QCOMPARE(batch.contents(), byKey.contents());
    QCOMPARE(batch.readString("Files", "file.0", "-"), QString("again"));
    QCOMPARE(batch.readString("Files", "Other", "-"), QString("x"));
    QVERIFY(batch.isModified());

    IniFile emptied(file);
    emptied.replaceSection("Files", {});
    QVERIFY(!emptied.sectionExists("Files"));
    IniFile erased(file);
    erased.eraseSection("Files");
    QCOMPARE(emptied.contents(), erased.contents());
}

void TestIniFile::sectionEntriesAsAReadFindsThem()
{
    const QString file = path("entries.ini");
    writeAll(file, "[S]\r\nk = \"quoted\"  \r\n; c\r\nK=second\r\nnoequals\r\n e = \r\n"
                   "[s]\r\nlater=1\r\n");
    IniFile ini(file);
    const std::vector<IniEntry> entries = ini.sectionEntries("s");
    QCOMPARE(entries.size(), size_t(2));
    QCOMPARE(entries[0].key, QString("k"));
    QCOMPARE(entries[0].value, QByteArray("\"quoted\""));
    QCOMPARE(cleanIniText(entries[0].value), ini.readString("S", "k", "-"));
    QCOMPARE(entries[1].key, QString("e"));
    QCOMPARE(entries[1].value, QByteArray());
    QVERIFY(ini.sectionEntries("missing").empty());

    // Every section of the name, as an erase removes them: a name already
    // seen in an earlier one counts no more.
    writeAll(file, "[S]\nk=1\n[T]\nt=2\n[s]\nK=dup\nlater=3\n");
    IniFile twice(file);
    const std::vector<IniEntry> every = twice.sectionEntries("s", IniFile::Sections::Every);
    QCOMPARE(every.size(), size_t(2));
    QCOMPARE(every[0].key, QString("k"));
    QCOMPARE(every[0].value, QByteArray("1"));
    QCOMPARE(every[1].key, QString("later"));
    QCOMPARE(every[1].value, QByteArray("3"));
    QCOMPARE(twice.sectionEntries("s").size(), size_t(1));
}

void TestIniFile::failedWriteKeepsOldFile()
{
    // A full disk, simulated by a file size limit: writing the new contents
    // fails part-way. The old file must stay whole and no temporary remain.
    const QString folder = path("full");
    QVERIFY(QDir().mkpath(folder));
    const QString file = folder + "/Quillmark.ini";
    const QByteArray original = "[Settings]\nSDKBinFolder=/opt/sdk/\n";
    writeAll(file, original);

    IniFile ini(file);
    ini.writeString("Settings", "DescriptionText", QString(4096, u'x'));

    struct rlimit old {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 1024;
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const QString error = commitError(ini);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);

    QCOMPARE(error, "Unable to write to " + file);
    QCOMPARE(readAll(file), original);
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"Quillmark.ini"});
    QVERIFY(ini.isModified());   // still pending; a later commit may succeed
    ini.commit();
    QCOMPARE(IniFile(file).readString("Settings", "DescriptionText", "").size(), 2047);
}

void TestIniFile::unwritableFolder()
{
    // The INI path's folder is a file, so no temporary can be made beside it.
    const QString blocker = path("blocker");
    writeAll(blocker, "I am a file");
    IniFile ini(blocker + "/Quillmark.ini");
    ini.writeBool("Settings", "UseBestCert", true);
    QCOMPARE(commitError(ini), "Unable to write to " + blocker + "/Quillmark.ini");
    QCOMPARE(readAll(blocker), QByteArray("I am a file"));

    // A relative name is reported with its full path.
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    IniFile relative("blocker/x.ini");
    relative.writeString("S", "k", "v");
    const QString error = commitError(relative);
    QDir::setCurrent(previous);
    QCOMPARE(error, "Unable to write to " + QDir(m_dir.path()).canonicalPath() + "/blocker/x.ini");
}

void TestIniFile::unreadableFileIsNotReplaced()
{
    // A folder where the file should be: it cannot be read, and it must
    // not be replaced by a file made of the little we know.
    const QString folder = path("folder.ini");
    QVERIFY(QDir().mkpath(folder + "/inside"));
    IniFile ini(folder);
    QVERIFY(ini.fileExisted());
    ini.writeString("Settings", "k", "v");
    QCOMPARE(commitError(ini), "Unable to write to " + folder);
    QVERIFY(QFileInfo(folder + "/inside").isDir());
}

void TestIniFile::permissionsAndLinksKept()
{
    const QString file = path("perm.ini");
    writeAll(file, "[S]\nk=1\n");
    const auto perms = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    QVERIFY(QFile::setPermissions(file, perms));
    {
        IniFile ini(file);
        ini.writeString("S", "k", "2");
        ini.commit();
    }
    QCOMPARE(readAll(file), QByteArray("[S]\nk=2\n"));
    QCOMPARE(QFile::permissions(file) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
             perms);

    // Writing through a symbolic link updates the file it points to and
    // keeps the link.
    const QString link = path("link.ini");
    QVERIFY(QFile::link(file, link));
    {
        IniFile ini(link);
        ini.writeString("S", "k", "3");
        ini.commit();
    }
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(readAll(file), QByteArray("[S]\nk=3\n"));

    // One's own link to a file not made yet: the first write makes it.
    const QString dangling = path("dangling.ini");
    QVERIFY(QFile::link(path("made-later.ini"), dangling));
    {
        IniFile ini(dangling);
        QVERIFY(!ini.fileExisted());
        ini.writeString("S", "k", "4");
        ini.commit();
    }
    QVERIFY(QFileInfo(dangling).isSymLink());
    QCOMPARE(readAll(path("made-later.ini")), QByteArray("[S]\nk=4\n"));
}

void TestIniFile::replacedLineIsKeyEqualsValue()
{
    const QString file = path("layout.ini");
    writeAll(file, "[Settings]\n"
                   "TimeStamp =   1\n"
                   "  TimeStampURL\t=\t http://old\r\n"
                   "Same = x\n"
                   "Kept =   untouched\n");
    IniFile ini(file);
    ini.writeBool("Settings", "TimeStamp", false);
    ini.writeString("Settings", "TimeStampURL", "http://new");
    ini.writeString("Settings", "Same", "x");
    // Written as it stood: the key spelled as in the file, no blanks
    // around "=", the line end kept; a key not written stays as it was.
    QCOMPARE(ini.contents(), QByteArray("[Settings]\n"
                                        "TimeStamp=0\n"
                                        "TimeStampURL=http://new\r\n"
                                        "Same=x\n"
                                        "Kept =   untouched\n"));
    QCOMPARE(ini.readString("Settings", "TimeStampURL", ""), QString("http://new"));
    QCOMPARE(ini.readBool("Settings", "TimeStamp", true), false);
}

void TestIniFile::valueThatIsNotUtf8KeptByteForByte()
{
    // Written by another program in Latin-1: "café" with a single byte E9.
    const QString file = path("latin1.ini");
    writeAll(file, "[Settings]\n"
                   "PFXFilename=/keys/caf\xE9.pfx\n"
                   "DescriptionText= \"Gr\xFC\xDF" "e\" \n"
                   "DescriptionURL=http://x/\xE9\n");
    {
        IniFile ini(file);
        const QString pfx = ini.readString("Settings", "PFXFilename", "");
        QVERIFY(pfx.contains(QChar::ReplacementCharacter));
        // The window writes back every value as it read it, and one edited.
        ini.writeString("Settings", "PFXFilename", pfx);
        ini.writeString("Settings", "DescriptionText",
                        ini.readString("Settings", "DescriptionText", ""));
        ini.writeString("Settings", "DescriptionURL", "http://y/");
        ini.commit();
    }
    QCOMPARE(readAll(file), QByteArray("[Settings]\n"
                                       "PFXFilename=/keys/caf\xE9.pfx\n"
                                       "DescriptionText=Gr\xFC\xDF" "e\n"
                                       "DescriptionURL=http://y/\n"));

    // A value edited to a text with a replacement character of its own is
    // that text, in UTF-8.
    IniFile edited(file);
    edited.writeString("Settings", "PFXFilename", QString::fromUtf8("/keys/x\uFFFD.pfx"));
    QVERIFY(edited.contents().contains("PFXFilename=/keys/x\xEF\xBF\xBD.pfx\n"));
}

void TestIniFile::readOnlyFileNotWrittenEvenByRoot()
{
    const QString file = path("readonly.ini");
    const QByteArray original = "[Settings]\nTimeStamp=0\n";
    writeAll(file, original);
    QCOMPARE(::chmod(QFile::encodeName(file).constData(), 0444), 0);
    IniFile ini(file);
    ini.writeBool("Settings", "TimeStamp", true);
    QCOMPARE(commitError(ini), "Unable to write to " + file);
    QCOMPARE(readAll(file), original);
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(file).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0444));
    QCOMPARE(QDir(m_dir.path()).entryList({"*readonly*"}, QDir::AllEntries | QDir::Hidden),
             QStringList{"readonly.ini"});
}

void TestIniFile::otherUsersLinkNotFollowed()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    // Another user plants the settings file as a link to a system file.
    const QString victim = path("passwd");
    const QByteArray original = "root:x:0:0:root:/root:/bin/bash\n";
    writeAll(victim, original);
    const QString planted = path("planted.ini");
    QVERIFY(QFile::link(victim, planted));
    const QByteArray encoded = QFile::encodeName(planted);
    QCOMPARE(::lchown(encoded.constData(), nobody->uid, nobody->gid), 0);

    IniFile ini(planted);
    ini.writeBool("Settings", "UseBestCert", true);
    QCOMPARE(commitError(ini), "Unable to write to " + planted);
    QCOMPARE(readAll(victim), original);
    QVERIFY(QFileInfo(planted).isSymLink());

    // The same link made by root is followed, and stays a link.
    QVERIFY(QFile::remove(planted));
    QVERIFY(QFile::link(victim, planted));
    IniFile trusted(planted);
    trusted.writeBool("Settings", "UseBestCert", true);
    QCOMPARE(commitError(trusted), QString("<no error>"));
    QVERIFY(QFileInfo(planted).isSymLink());
    QCOMPARE(readAll(victim), original + "[Settings]\nUseBestCert=1\n");
}

void TestIniFile::ownerGroupAndModeKept()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    // An administrator's save must not hand the file to root.
    const QString file = path("owned.ini");
    writeAll(file, "[Settings]\nTimeStamp=0\n");
    const QByteArray encoded = QFile::encodeName(file);
    QCOMPARE(::chown(encoded.constData(), nobody->uid, nobody->gid), 0);
    QCOMPARE(::chmod(encoded.constData(), 0620), 0);

    IniFile ini(file);
    ini.writeBool("Settings", "TimeStamp", true);
    ini.commit();
    struct stat info {};
    QCOMPARE(::stat(encoded.constData(), &info), 0);
    QCOMPARE(info.st_uid, nobody->uid);
    QCOMPARE(info.st_gid, nobody->gid);
    QCOMPARE(info.st_mode & 07777, mode_t(0620));
    QCOMPARE(readAll(file), QByteArray("[Settings]\nTimeStamp=1\n"));
}

void TestIniFile::writtenInPlaceWhenFolderTakesNoFile()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    QCOMPARE(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);

    // A read-only program folder (root's, 0755) with a settings file that
    // the user may write: no temporary can be made beside it, so the file
    // is written in place and keeps its owner.
    const QString programFolder = path("program");
    QVERIFY(QDir().mkpath(programFolder));
    const QString file = programFolder + "/Quillmark.ini";
    writeAll(file, "[Settings]\nVerboseOutput=1\nOld=a long line that the new contents do not reach\n");
    QCOMPARE(::chmod(QFile::encodeName(file).constData(), 0666), 0);

    // A shared folder that takes new files, with a file of root's that the
    // user may write: the rename cannot keep the owner (root), so again
    // the file is written in place.
    const QString sharedFolder = path("shared");
    QVERIFY(QDir().mkpath(sharedFolder));
    QCOMPARE(::chmod(QFile::encodeName(sharedFolder).constData(), 0777), 0);
    const QString shared = sharedFolder + "/project.qmk";
    writeAll(shared, "[Settings]\nTimeStamp=0\n");
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 0646), 0);

    const int result = otheruser::runAs(*nobody, [&] {
        try {
            IniFile settings(file);
            settings.eraseSection("Settings");
            settings.writeBool("Settings", "VerboseOutput", false);
            settings.commit();
            IniFile project(shared);
            project.writeBool("Settings", "TimeStamp", true);
            project.commit();
        } catch (const AppError &) {
            return 1;
        }
        return 0;
    });
    QCOMPARE(result, 0);
    QCOMPARE(readAll(file), QByteArray("[Settings]\nVerboseOutput=0\n"));
    QCOMPARE(readAll(shared), QByteArray("[Settings]\nTimeStamp=1\n"));
    for (const QString &written : {file, shared}) {
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(written).constData(), &info), 0);
        QCOMPARE(info.st_uid, uid_t(0));
        QCOMPARE(info.st_mode & 07777, written == file ? mode_t(0666) : mode_t(0646));
    }
    QCOMPARE(QDir(sharedFolder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"project.qmk"});

    // Where the user may not write the file either, nothing is written.
    QCOMPARE(::chmod(QFile::encodeName(file).constData(), 0644), 0);
    const int refused = otheruser::runAs(*nobody, [&] {
        IniFile settings(file);
        settings.writeBool("Settings", "VerboseOutput", true);
        return commitError(settings) == QStringLiteral("<no error>") ? 0 : 1;
    });
    QCOMPARE(refused, 1);
    QCOMPARE(readAll(file), QByteArray("[Settings]\nVerboseOutput=0\n"));
}

// The in-place write has no old copy to fall back on: a disk that is full
// (a file size limit here) must stop it before the first byte is overwritten.
void TestIniFile::fullDiskLeavesAFileWrittenInPlaceWhole()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    QCOMPARE(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
    const QString programFolder = path("full-program");
    QVERIFY(QDir().mkpath(programFolder));
    const QString file = programFolder + "/Quillmark.ini";
    const QByteArray original = "[Settings]\nSDKBinFolder=/opt/sdk/\n";
    writeAll(file, original);
    QCOMPARE(::chmod(QFile::encodeName(file).constData(), 0666), 0);

    const int result = otheruser::runAs(*nobody, [&] {
        IniFile settings(file);
        settings.writeString("Settings", "DescriptionText", QString(4096, u'x'));
        struct rlimit small {};
        ::getrlimit(RLIMIT_FSIZE, &small);
        small.rlim_cur = 1024;
        std::signal(SIGXFSZ, SIG_IGN);
        if (::setrlimit(RLIMIT_FSIZE, &small) != 0)
            return 2;
        try {
            settings.commit();
        } catch (const AppError &) {
            return 1;
        }
        return 0;
    });
    QCOMPARE(result, 1);
    QCOMPARE(readAll(file), original);
    QCOMPARE(QDir(programFolder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"Quillmark.ini"});
}

void TestIniFile::fifoIsNotRead()
{
    // A FIFO in the file's place would block the read for good.
    const QString fifo = path("fifo.ini");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    IniFile ini(fifo);
    QVERIFY(ini.fileExisted());
    QCOMPARE(ini.readBool("Settings", "VerboseOutput", true), true);
    ini.writeBool("Settings", "VerboseOutput", false);
    QCOMPARE(commitError(ini), "Unable to write to " + fifo);
    QVERIFY(QFileInfo(fifo).exists() && !QFileInfo(fifo).isFile());
}

void TestIniFile::linksSwappedInDuringWritesAreNeverFollowed()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    QCOMPARE(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
    // A shared folder; its other user keeps swapping a link to a system
    // file in for the settings file while root saves again and again.
    const QString shared = path("race");
    QVERIFY(QDir().mkpath(shared));
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 0777), 0);
    const QString victim = path("shadow");
    const QByteArray secret = "root:$6$secret:19000:0:99999:7:::\n";
    writeAll(victim, secret);
    const QString file = shared + "/Quillmark.ini";
    writeAll(file, "[Settings]\nTimeStamp=0\n");

    const pid_t attacker = ::fork();
    QVERIFY(attacker >= 0);
    if (attacker == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->gid) != 0 || ::setuid(nobody->uid) != 0)
            ::_exit(125);
        // A plain file and the link take turns at the name, so that root
        // finds a file it may write, and then a link in its place.
        const QByteArray link = QFile::encodeName(shared + "/planted");
        const QByteArray plain = QFile::encodeName(shared + "/plain");
        const QByteArray name = QFile::encodeName(file);
        const QByteArray target = QFile::encodeName(victim);
        for (;;) {
            const int fd = ::open(plain.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (fd >= 0) {
                (void)!::write(fd, "[Settings]\n", 11);
                ::close(fd);
            }
            ::rename(plain.constData(), name.constData());
            ::usleep(100);
            ::symlink(target.constData(), link.constData());
            ::rename(link.constData(), name.constData());
            ::usleep(20);
        }
    }
    int written = 0;
    for (int round = 0; round < 2000; ++round) {
        IniFile ini(file);
        ini.writeString("Settings", "Round", QString::number(round));
        if (commitError(ini) == QStringLiteral("<no error>"))
            ++written;
    }
    ::kill(attacker, SIGKILL);
    ::waitpid(attacker, nullptr, 0);
    QCOMPARE(readAll(victim), secret);
    qInfo("%d of 2000 saves landed between the swaps", written);
}

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
