#include "signing/CommandLine.h"
#include "signing/SignBatches.h"

#include <QDir>
#include <QTest>

namespace {

const QString kSdk = QStringLiteral("/opt/Program Files/SDK/Bin/");

SignOptions bestCertVerbose()
{
    SignOptions o;
    o.sdkBinFolder = kSdk;
    o.selectBestCert = true;
    o.usePfxFile = false;
    o.timeStamp = false;
    o.addDescription = false;
    o.verboseOutput = true;
    return o;
}

SignOptions pfxAll()
{
    SignOptions o = bestCertVerbose();
    o.selectBestCert = false;
    o.usePfxFile = true;
    o.pfxFilename = "/keys/release.pfx";
    o.pfxPassword = "s3cret";
    o.timeStamp = true;
    o.timeStampUrl = "http://timestamp.example.com";
    o.addDescription = true;
    o.descriptionText = "Release build";
    o.descriptionUrl = "https://example.com/app";
    return o;
}

QString notFound(const QString &toolPath)
{
    return "Please note: The MS SignTool.exe was not found in the path you have selected:\n\n"
        + toolPath
        + "\n\nYou need to re-install the MS Platform SDK or re-select the correct folder path.";
}

} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void addQuotes();
    void workedExampleBestCert();
    void workedExamplePfx();
    void certificateClauseFollowsBestCertOnly();
    void optionalClauses();
    void fileArguments();
    void toolPathWithoutTrailingSlash();
    void commandLineBlock();
    void checkOrder();
    void checkEmptyMeansNoCharacters();
    void doubleQuotesRefused();
    void batchesSplitAtTheLimit();
    void batchesForFilesThatFitNowhere();
    void batchCostsCountBytesNulsAndPointers();
    void usableSpaceKeepsAMargin();
    void batchHeaderGroupsThousands();
};

void TestCommandLine::addQuotes()
{
    QCOMPARE(AddQuotes(QString()), QString());
    QCOMPARE(AddQuotes("a"), QString("\"a\" "));
    QCOMPARE(AddQuotes(" "), QString("\" \" "));
    QCOMPARE(AddQuotes("/my dir/x.exe"), QString("\"/my dir/x.exe\" "));
    QCOMPARE(AddQuotes("\"quoted\""), QString("\"\"quoted\"\" "));   // no escaping
    QCOMPARE(AddQuotes("back\\slash"), QString("\"back\\slash\" "));
    QCOMPARE(AddQuotes(QString(17, u'x')).size(), 20);
}

void TestCommandLine::workedExampleBestCert()
{
    const SignOptions o = bestCertVerbose();
    const QStringList files{"/build/app.exe", "/build/My Lib.dll"};

    QCOMPARE(GetSignToolPath(o.sdkBinFolder), QString("/opt/Program Files/SDK/Bin/signtool.exe"));
    QCOMPARE(BuildSignOptions(o), QString("sign /a /v "));
    QCOMPARE(BuildFileArguments(files), QString("\"/build/app.exe\" \"/build/My Lib.dll\" "));
    QCOMPARE(GetSignToolPath(o.sdkBinFolder) + " " + BuildSignOptions(o) + BuildFileArguments(files),
             QString("/opt/Program Files/SDK/Bin/signtool.exe sign /a /v "
                     "\"/build/app.exe\" \"/build/My Lib.dll\" "));
    QCOMPARE(CommandLineBlock(o).at(2),
             QString("\"/opt/Program Files/SDK/Bin/signtool.exe\" sign /a /v "));

    SignOptions bare = o;
    bare.verboseOutput = false;
    QCOMPARE(BuildSignOptions(bare), QString("sign /a "));
    QCOMPARE(BuildSignOptions(bare).size(), 8);
}

void TestCommandLine::workedExamplePfx()
{
    // Certificate, time stamp, description, verbose: always in this order.
    QCOMPARE(BuildSignOptions(pfxAll()),
             QString("sign /f \"/keys/release.pfx\" /p \"s3cret\" "
                     "/t \"http://timestamp.example.com\" "
                     "/d \"Release build\" /du \"https://example.com/app\" /v "));

    SignOptions quiet = pfxAll();
    quiet.verboseOutput = false;
    quiet.timeStamp = false;
    QCOMPARE(BuildSignOptions(quiet),
             QString("sign /f \"/keys/release.pfx\" /p \"s3cret\" "
                     "/d \"Release build\" /du \"https://example.com/app\" "));
}

void TestCommandLine::certificateClauseFollowsBestCertOnly()
{
    SignOptions o = pfxAll();
    o.timeStamp = o.addDescription = o.verboseOutput = false;

    o.usePfxFile = false;   // the PFX switch is not what decides
    QCOMPARE(BuildSignOptions(o), QString("sign /f \"/keys/release.pfx\" /p \"s3cret\" "));

    o.selectBestCert = true;
    o.usePfxFile = true;
    QCOMPARE(BuildSignOptions(o), QString("sign /a "));

    // Best certificate off with empty fields: the bare switches remain.
    o.selectBestCert = false;
    o.pfxFilename.clear();
    o.pfxPassword.clear();
    QCOMPARE(BuildSignOptions(o), QString("sign /f /p "));
}

void TestCommandLine::optionalClauses()
{
    SignOptions o = bestCertVerbose();
    o.addDescription = true;
    o.descriptionText = "\"Release\"";
    o.descriptionUrl = "";
    // A quoted description gets a second pair; an empty URL drops "/du ".
    QCOMPARE(BuildSignOptions(o), QString("sign /a /d \"\"Release\"\" /v "));

    o.descriptionUrl = " ";
    QCOMPARE(BuildSignOptions(o), QString("sign /a /d \"\"Release\"\" /du \" \" /v "));

    // Values are taken as they are, blanks and all.
    o.addDescription = false;
    o.timeStamp = true;
    o.timeStampUrl = " http://ts ";
    QCOMPARE(BuildSignOptions(o), QString("sign /a /t \" http://ts \" /v "));
}

void TestCommandLine::fileArguments()
{
    QCOMPARE(BuildFileArguments({}), QString());
    QCOMPARE(BuildFileArguments({"/with blanks/my file.exe"}),
             QString("\"/with blanks/my file.exe\" "));
    // Not sorted or de-duplicated here.
    QCOMPARE(BuildFileArguments({"/b.exe", "/a.exe", "/b.exe"}),
             QString("\"/b.exe\" \"/a.exe\" \"/b.exe\" "));
    QCOMPARE(BuildFileArguments({QString::fromUtf8("/Grüße/файл.exe")}),
             QString::fromUtf8("\"/Grüße/файл.exe\" "));
    // An empty list leaves the options as they are.
    QCOMPARE(BuildSignOptions(bestCertVerbose()) + BuildFileArguments({}), QString("sign /a /v "));
}

void TestCommandLine::toolPathWithoutTrailingSlash()
{
    QCOMPARE(GetSignToolPath("/sdk/Bin"), QString("/sdk/Binsigntool.exe"));
    QCOMPARE(GetSignToolPath(QString()), QString("signtool.exe"));
    QCOMPARE(GetSignToolPath("/"), QString("/signtool.exe"));

    SignOptions o = bestCertVerbose();
    o.sdkBinFolder = "/sdk/Bin";
    QCOMPARE(CheckSignRequest(o, 1, false), notFound("/sdk/Binsigntool.exe"));
}

void TestCommandLine::commandLineBlock()
{
    const QStringList block = CommandLineBlock(pfxAll());
    QCOMPARE(block.size(), 4);
    QCOMPARE(block.at(0), QString("Full Command Line Used:"));
    QCOMPARE(block.at(1), QString());
    // The password shows in plain text; no file arguments.
    QCOMPARE(block.at(2), "\"/opt/Program Files/SDK/Bin/signtool.exe\" " + BuildSignOptions(pfxAll()));
    QVERIFY(block.at(2).contains("/p \"s3cret\" "));
    QCOMPARE(block.at(3), QString());

    SignOptions noFolder = bestCertVerbose();
    noFolder.sdkBinFolder.clear();
    QCOMPARE(CommandLineBlock(noFolder).at(2), QString("\"signtool.exe\" sign /a /v "));
}

void TestCommandLine::checkOrder()
{
    SignOptions pfx = pfxAll();
    pfx.pfxFilename.clear();
    pfx.pfxPassword.clear();
    pfx.descriptionText.clear();
    pfx.timeStampUrl.clear();

    // Empty list and a wrong folder: only the list is reported.
    QCOMPARE(CheckSignRequest(pfx, 0, false), QString("No files have been added to the list!"));
    QCOMPARE(CheckSignRequest(pfx, 1, false), notFound(kSdk + "signtool.exe"));
    // Both PFX fields empty: only the path is reported.
    QCOMPARE(CheckSignRequest(pfx, 1, true), QString("Please select the PFX file!"));
    pfx.pfxFilename = "/keys/release.pfx";
    QCOMPARE(CheckSignRequest(pfx, 1, true), QString("Please enter the PFX file password!"));
    pfx.pfxPassword = "pw";
    // The description is checked even when the PFX fields are fine.
    QCOMPARE(CheckSignRequest(pfx, 1, true),
             QString("Please enter a Description for the signed file(s)!"));
    pfx.descriptionText = "d";
    QCOMPARE(CheckSignRequest(pfx, 1, true), QString("Please enter the Time Stamp URL!"));
    pfx.timeStampUrl = "http://ts";
    QCOMPARE(CheckSignRequest(pfx, 1, true), QString());

    // Best certificate with empty PFX fields goes ahead; an empty
    // description URL is no reason to stop.
    SignOptions best = bestCertVerbose();
    best.addDescription = true;
    best.descriptionText = "d";
    QCOMPARE(CheckSignRequest(best, 3, true), QString());
    // Options that are off are not checked.
    best.addDescription = false;
    best.descriptionText.clear();
    best.timeStamp = false;
    QCOMPARE(CheckSignRequest(best, 1, true), QString());
}

void TestCommandLine::checkEmptyMeansNoCharacters()
{
    SignOptions o = pfxAll();
    o.pfxFilename = " ";
    o.pfxPassword = " ";
    o.descriptionText = "  ";
    o.timeStampUrl = " ";
    QCOMPARE(CheckSignRequest(o, 1, true), QString());
}

void TestCommandLine::doubleQuotesRefused()
{
    const QString tail = QStringLiteral(" contains a double quote (\"), which cannot be passed "
                                        "to the signing tool.");
    const QStringList files{"/build/app.exe", "/build/a\" /f \"x.pfx"};
    QCOMPARE(CheckForDoubleQuotes(pfxAll(), {"/build/app.exe"}), QString());
    QCOMPARE(CheckForDoubleQuotes(pfxAll(), files), "The file \"/build/a\" /f \"x.pfx\"" + tail);

    SignOptions o = pfxAll();
    o.pfxPassword = "pa\"ss";
    QCOMPARE(CheckForDoubleQuotes(o, files), "The PFX file password" + tail);   // fields first
    o.pfxFilename = "/keys/\"x\".pfx";
    QCOMPARE(CheckForDoubleQuotes(o, files), "The PFX file path" + tail);
    // With the best certificate the PFX values are not passed at all.
    o.selectBestCert = true;
    QCOMPARE(CheckForDoubleQuotes(o, {}), QString());

    o = pfxAll();
    o.timeStampUrl = "http://ts/\"";
    QCOMPARE(CheckForDoubleQuotes(o, {}), "The Time Stamp URL" + tail);
    o.timeStamp = false;
    QCOMPARE(CheckForDoubleQuotes(o, {}), QString());

    o = pfxAll();
    o.descriptionText = "\"Release\"";
    QCOMPARE(CheckForDoubleQuotes(o, {}), "The description" + tail);
    o.descriptionText = "Release";
    o.descriptionUrl = "http://x/\"";
    QCOMPARE(CheckForDoubleQuotes(o, {}), "The description URL" + tail);
    o.addDescription = false;
    QCOMPARE(CheckForDoubleQuotes(o, {}), QString());

    // The tool folder is not part of the argument text.
    o.sdkBinFolder = "/odd\"folder/";
    QCOMPARE(CheckForDoubleQuotes(o, {}), QString());
}

void TestCommandLine::batchesSplitAtTheLimit()
{
    const std::int64_t fixed = 100;
    const std::int64_t ten = ArgumentCost(10);
    ArgumentLimits limits{fixed + 2 * ten, 1 << 17};
    const QList<std::int64_t> five(5, 10);
    // Two files fit exactly; a third would be one batch too many.
    QCOMPARE(SplitIntoBatches(fixed, five, limits),
             (QList<FileBatch>{{0, 2}, {2, 2}, {4, 1}}));
    limits.total -= 1;
    QCOMPARE(SplitIntoBatches(fixed, five, limits),
             (QList<FileBatch>{{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}}));
    limits.total = 1 << 20;
    QCOMPARE(SplitIntoBatches(fixed, five, limits), (QList<FileBatch>{{0, 5}}));
    QVERIFY(SplitIntoBatches(fixed, {}, limits).isEmpty());
    // Files of different lengths fill each batch as far as it goes, in order.
    limits.total = fixed + ArgumentCost(30) + ArgumentCost(5);
    QCOMPARE(SplitIntoBatches(fixed, {30, 5, 31, 1, 1, 30}, limits),
             (QList<FileBatch>{{0, 2}, {2, 2}, {4, 2}}));
}

void TestCommandLine::batchesForFilesThatFitNowhere()
{
    const std::int64_t fixed = 50;
    ArgumentLimits limits{fixed + 2 * ArgumentCost(10), 1 << 17};
    // A file too long for any batch runs alone, between its neighbours' batches.
    QCOMPARE(SplitIntoBatches(fixed, {10, 500, 10, 10}, limits),
             (QList<FileBatch>{{0, 1}, {1, 1}, {2, 2}}));
    // Neighbours that fit nowhere fail together, once.
    QCOMPARE(SplitIntoBatches(fixed, {500, 600, 10, 700}, limits),
             (QList<FileBatch>{{0, 2}, {2, 1}, {3, 1}}));
    // So does one longer than a single argument may be, however much room.
    limits = {1 << 20, 64};
    QCOMPARE(SplitIntoBatches(fixed, {10, 63, 64, 10}, limits),
             (QList<FileBatch>{{0, 2}, {2, 1}, {3, 1}}));
    // Options that fill the space alone would fail every run: one run.
    limits = {fixed - 1, 1 << 17};
    QCOMPARE(SplitIntoBatches(fixed, {1, 1, 1}, limits), (QList<FileBatch>{{0, 3}}));
}

void TestCommandLine::batchCostsCountBytesNulsAndPointers()
{
    const std::int64_t pointer = sizeof(char *);
    QCOMPARE(ArgumentCost(0), 1 + pointer);
    QCOMPARE(ArgumentCost(10), 11 + pointer);

    const QString program = QStringLiteral("/sdk/signtool.exe");   // 17 bytes
    const QStringList options = {"sign", "/a"};
    // argv[0], the file name exec copies, argv's null pointer, the options.
    const std::int64_t fixed = ArgumentCost(17) + 18 + pointer + ArgumentCost(4) + ArgumentCost(2);
    // "é" takes two bytes in the encoding the tool is given.
    const QStringList files = {QString::fromUtf8("/f/\xC3\xA9.exe"), QStringLiteral("/f/ab.exe")};
    QCOMPARE(PlanSignBatches(program, options, files, {fixed + 2 * ArgumentCost(9), 1 << 17}),
             (QList<FileBatch>{{0, 2}}));
    QCOMPARE(PlanSignBatches(program, options, files, {fixed + 2 * ArgumentCost(9) - 1, 1 << 17}),
             (QList<FileBatch>{{0, 1}, {1, 1}}));

    // A relative program path is run from the current folder, and costs so.
    const std::int64_t folder = QFile::encodeName(QDir::currentPath()).size() + 1;
    const std::int64_t relativeFixed = fixed - 2 * 17 + 2 * (folder + 16);
    QCOMPARE(PlanSignBatches("sdk/signtool.exe", options, files,
                             {relativeFixed + 2 * ArgumentCost(9), 1 << 17}),
             (QList<FileBatch>{{0, 2}}));
    QCOMPARE(PlanSignBatches("sdk/signtool.exe", options, files,
                             {relativeFixed + 2 * ArgumentCost(9) - 1, 1 << 17}),
             (QList<FileBatch>{{0, 1}, {1, 1}}));

    // An option longer than one argument may be fails whatever the batch.
    QCOMPARE(PlanSignBatches(program, {"sign", QString(100, u'x')}, files, {1 << 20, 100}),
             (QList<FileBatch>{{0, 2}}));
}

void TestCommandLine::usableSpaceKeepsAMargin()
{
    QCOMPARE(UsableArgumentSpace(2097152, 5000), 2097152 - 5000 - 131072);
    QCOMPARE(UsableArgumentSpace(32768, 1000), 32768 - 1000 - 4096);
    QCOMPARE(UsableArgumentSpace(131072, 200000), std::int64_t(0));
}

void TestCommandLine::batchHeaderGroupsThousands()
{
    QCOMPARE(BatchHeader({0, 5000}, 12000), QStringLiteral("Files 1 to 5,000 of 12,000:"));
    QCOMPARE(BatchHeader({10000, 2000}, 12000), QStringLiteral("Files 10,001 to 12,000 of 12,000:"));
    QCOMPARE(BatchHeader({4, 1}, 5), QStringLiteral("Files 5 to 5 of 5:"));
    QCOMPARE(GroupedNumber(0), QStringLiteral("0"));
    QCOMPARE(GroupedNumber(999), QStringLiteral("999"));
    QCOMPARE(GroupedNumber(1000), QStringLiteral("1,000"));
    QCOMPARE(GroupedNumber(1234567), QStringLiteral("1,234,567"));
    QCOMPARE(GroupedNumber(-1234), QStringLiteral("-1,234"));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
