// Command-line parsing of the stand-in signtool.exe, as plain logic.

#include "SignArgs.h"
#include "TimeStamp.h"
#include "TokenChoice.h"

#include <QTest>

using signtool::DigestAlgorithm;
using signtool::parseSignArgs;
using signtool::ParseResult;
using signtool::Verb;

namespace {

std::vector<std::string> words(const QStringList &list)
{
    std::vector<std::string> result;
    for (const QString &word : list)
        result.push_back(word.toStdString());
    return result;
}

ParseResult parse(const QStringList &list)
{
    return parseSignArgs(words(list));
}

QStringList files(const ParseResult &result)
{
    QStringList list;
    for (const std::string &file : result.args->files)
        list << QString::fromStdString(file);
    return list;
}

} // namespace

class TestSignArgs : public QObject {
    Q_OBJECT

private slots:
    void usageFitsTheConsole();
    void valueSwitchTakesNextArgumentWhateverItLooksLike();
    void everythingAfterFirstFileIsAFile();
    void timeStampSwitches();
    void digestAlgorithms_data();
    void digestAlgorithms();
    void certificateSelectors();
    void thumbprintNormalization_data();
    void thumbprintNormalization();
    void scriptSwitches();
    void jobCount_data();
    void jobCount();
    void usageSwitch_data();
    void usageSwitch();
    void verifyVerb();
    void nonAsciiDescriptionIsNamed();
    void timeStampRequests();
    void timeStampFallbackAndFailures();
    void refusals_data();
    void refusals();
    void storeCertificateAndVerifySwitches();
    void tokenSwitchesParse();
    void pinInKeyContainerIsRefusedUnrepeated_data();
    void pinInKeyContainerIsRefusedUnrepeated();
    void providerNamesModuleOrToken();
    void keyContainerNamesKey();
};

void TestSignArgs::valueSwitchTakesNextArgumentWhateverItLooksLike()
{
    const ParseResult result = parse({"sign", "/f", "/a", "/p", "/v", "/d", "-tr", "app.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QCOMPARE(result.args->pfxFile.value(), std::string("/a"));
    QCOMPARE(result.args->password.value(), std::string("/v"));
    QCOMPARE(result.args->description.value(), std::string("-tr"));
    QVERIFY(!result.args->autoSelect);
    QVERIFY(!result.args->verbose);
    QCOMPARE(files(result), QStringList{"app.exe"});
}

void TestSignArgs::everythingAfterFirstFileIsAFile()
{
    const ParseResult result = parse({"SIGN", "/A", "/home/u/one.exe", "/v", "-a", "/mt", "/?"});
    QVERIFY2(result.args, result.error.c_str());
    QVERIFY(result.args->autoSelect);
    QVERIFY(!result.args->verbose);
    QVERIFY(!result.args->showUsage);
    QCOMPARE(files(result), (QStringList{"/home/u/one.exe", "/v", "-a", "/mt", "/?"}));
}

void TestSignArgs::timeStampSwitches()
{
    ParseResult result = parse({"sign", "/a", "/tr", "http://127.0.0.1:8/ts", "/td", "SHA384", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QCOMPARE(result.args->rfc3161Url.value(), std::string("http://127.0.0.1:8/ts"));
    QVERIFY(!result.args->timestampUrl);
    QCOMPARE(result.args->timestampDigest, DigestAlgorithm::Sha384);

    result = parse({"sign", "/a", "/t", "http://127.0.0.1:8/", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QCOMPARE(result.args->timestampUrl.value(), std::string("http://127.0.0.1:8/"));
    QCOMPARE(result.args->timestampDigest, DigestAlgorithm::Sha256);

    // /nph asks for no page hashes, which is what signing without /ph does.
    result = parse({"sign", "/a", "/NPH", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QVERIFY(result.args->noPageHashes && !result.args->pageHashes);

    // timestamp /tp N: the signature to stamp, 0 the primary.
    result = parse({"timestamp", "/tr", "u", "/TP", "1", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QCOMPARE(result.args->timestampIndex.value(), 1);
    result = parse({"timestamp", "/t", "u", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QVERIFY(!result.args->timestampIndex);
}

void TestSignArgs::digestAlgorithms_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("expected"); // -1: refused
    QTest::newRow("sha256") << "sha256" << int(DigestAlgorithm::Sha256);
    QTest::newRow("SHA384") << "SHA384" << int(DigestAlgorithm::Sha384);
    QTest::newRow("Sha512") << "Sha512" << int(DigestAlgorithm::Sha512);
    QTest::newRow("sha1, for old systems") << "sha1" << int(DigestAlgorithm::Sha1);
    QTest::newRow("md5") << "md5" << -1;
    QTest::newRow("sha2") << "sha2" << -1;
    QTest::newRow("empty") << "" << -1;
}

void TestSignArgs::digestAlgorithms()
{
    QFETCH(QString, name);
    QFETCH(int, expected);
    const ParseResult result = parse({"sign", "/a", "/fd", name, "x.exe"});
    if (expected < 0) {
        QVERIFY(!result.args);
        // Refused by name, so a script's author sees what to change.
        QVERIFY2(QString::fromStdString(result.error).contains("digest algorithm " + name + " given with /fd"),
                 result.error.c_str());
    } else {
        QVERIFY2(result.args, result.error.c_str());
        QCOMPARE(int(result.args->fileDigest), expected);
        QCOMPARE(result.args->timestampDigest, DigestAlgorithm::Sha256);
    }
}

void TestSignArgs::certificateSelectors()
{
    const ParseResult result = parse({"sign", "/sha1", "ab cd ef 01 23 45 67 89 ab cd ef 01 23 45 67 89 ab cd ef 01",
                                      "/n", "Quillmark Test", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QCOMPARE(result.args->certSha1.value(), std::string("ABCDEF0123456789ABCDEF0123456789ABCDEF01"));
    QCOMPARE(result.args->subjectName.value(), std::string("Quillmark Test"));
    QVERIFY(!result.args->autoSelect);
}

void TestSignArgs::thumbprintNormalization_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");
    const QString hash = "0123456789abcdef0123456789ABCDEF01234567";
    QTest::newRow("plain") << hash << hash.toUpper();
    QTest::newRow("blanks") << "01 23 45 67 89 ab cd ef 01 23 45 67 89 AB CD EF 01 23 45 67" << hash.toUpper();
    QTest::newRow("viewer mark") << QString(QChar(0x200E)) + hash << hash.toUpper();
    QTest::newRow("too short") << hash.left(39) << QString();
    QTest::newRow("too long") << hash + "0" << QString();
    QTest::newRow("not hex") << hash.left(39) + "g" << QString();
    QTest::newRow("colons") << "01:23:45:67:89:ab:cd:ef:01:23:45:67:89:AB:CD:EF:01:23:45:67" << QString();
}

void TestSignArgs::thumbprintNormalization()
{
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(signtool::normalizeThumbprint(typed.toStdString())), expected);
}

void TestSignArgs::scriptSwitches()
{
    ParseResult result = parse({"sign", "/a", "/q", "/as", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QVERIFY(result.args->quiet);
    QVERIFY(result.args->appendSignature);
    QVERIFY(!result.args->verbose);

    result = parse({"sign", "/a", "/DEBUG", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QVERIFY(result.args->verbose);
    QVERIFY(result.args->debug);

    // /v alone does not name the PKCS#11 modules that failed.
    result = parse({"sign", "/a", "/v", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QVERIFY(result.args->verbose);
    QVERIFY(!result.args->debug);
}

void TestSignArgs::jobCount_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("expected"); // 0: refused
    QTest::newRow("one") << "1" << 1;
    QTest::newRow("eight") << "8" << 8;
    QTest::newRow("most") << "256" << 256;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("too many") << "257" << 0;
    QTest::newRow("negative") << "-2" << 0;
    QTest::newRow("word") << "many" << 0;
    QTest::newRow("huge") << "99999999999999999999" << 0;
}

void TestSignArgs::jobCount()
{
    QFETCH(QString, value);
    QFETCH(int, expected);
    QCOMPARE(parse({"sign", "/a", "x.exe"}).args->jobs, 0u); // the default
    const ParseResult result = parse({"sign", "/a", "/mt", value, "x.exe"});
    if (expected == 0) {
        QVERIFY(!result.args);
        QVERIFY2(QString::fromStdString(result.error).contains("/mt"), result.error.c_str());
    } else {
        QVERIFY2(result.args, result.error.c_str());
        QCOMPARE(result.args->jobs, unsigned(expected));
    }
}

void TestSignArgs::usageSwitch_data()
{
    QTest::addColumn<QStringList>("argv");
    QTest::newRow("alone") << QStringList{"/?"};
    QTest::newRow("dash") << QStringList{"-?"};
    QTest::newRow("after sign") << QStringList{"sign", "/?"};
    QTest::newRow("among switches") << QStringList{"sign", "/a", "/?"};
}

void TestSignArgs::usageSwitch()
{
    QFETCH(QStringList, argv);
    const ParseResult result = parse(argv);
    QVERIFY2(result.args, result.error.c_str());
    QVERIFY(result.args->showUsage);
}

void TestSignArgs::verifyVerb()
{
    const ParseResult result = parse({"verify", "/pa", "/v", "a.exe", "/pa"});
    QVERIFY2(result.args, result.error.c_str());
    QCOMPARE(result.args->verb, Verb::Verify);
    QVERIFY(result.args->authenticodePolicy);
    QVERIFY(result.args->verbose);
    QCOMPARE(files(result), (QStringList{"a.exe", "/pa"}));

    const ParseResult paged = parse({"verify", "/pa", "/PH", "a.exe"});
    QVERIFY2(paged.args, paged.error.c_str());
    QVERIFY(paged.args->pageHashes);
}

void TestSignArgs::nonAsciiDescriptionIsNamed()
{
    ParseResult result = parse({"sign", "/a", "/d", "Quillmark \"Test\" 2.0 (x64)", "/du", "https://x.test/a?b=c", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QCOMPARE(signtool::descriptionProblem(*result.args), std::string());

    result = parse({"sign", "/a", "/d", "Größenrechner", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    const QString problem = QString::fromStdString(signtool::descriptionProblem(*result.args));
    QVERIFY2(problem.startsWith(QStringLiteral("The description \"Größenrechner\" has characters outside ASCII")),
             qPrintable(problem));

    result = parse({"sign", "/a", "/d", "ok", "/du", "https://x.test/größe", "x.exe"});
    QVERIFY2(QString::fromStdString(signtool::descriptionProblem(*result.args)).startsWith("The description URL"),
             "a non-ASCII URL is refused too");
}

void TestSignArgs::timeStampRequests()
{
    using signtool::TimeStamping;
    QVERIFY(!TimeStamping(*parse({"sign", "/a", "x.exe"}).args, "x.exe").next());

    const TimeStamping rfc3161(*parse({"sign", "/a", "/tr", "http://h/", "/td", "sha512", "x.exe"}).args, "x.exe");
    QVERIFY(rfc3161.next() && rfc3161.next()->rfc3161);
    QCOMPARE(std::string(rfc3161.next()->digest), std::string("sha512"));
    QCOMPARE(signtool::timeStampArguments(true, "http://h/", rfc3161.next()->digest, "/dev/fd/6/signed",
                                          "/dev/fd/6/stamped"),
             (std::vector<std::string>{"osslsigncode", "add", "-ts", "http://h/", "-h", "sha512", "-in",
                                       "/dev/fd/6/signed", "-out", "/dev/fd/6/stamped"}));

    // /fd is the file's digest, never the time stamp's.
    const TimeStamping authenticode(*parse({"sign", "/a", "/fd", "sha384", "/t", "http://h/", "x.exe"}).args, "x.exe");
    QVERIFY(authenticode.next() && !authenticode.next()->rfc3161);
    QCOMPARE(signtool::timeStampArguments(false, "http://h/", nullptr, "in", "out"),
             (std::vector<std::string>{"osslsigncode", "add", "-t", "http://h/", "-in", "in", "-out", "out"}));
}

void TestSignArgs::timeStampFallbackAndFailures()
{
    using signtool::TimeStamping;
    using Attempt = TimeStamping::Attempt;
    qunsetenv("QUILLMARK_TIMESTAMP_TIMEOUT");
    QCOMPARE(signtool::timeStampTimeoutSeconds(), 60);
    const signtool::SignArgs args = *parse({"sign", "/a", "/t", "http://h/", "a.exe"}).args;

    // Refused: asked again with RFC 3161 and SHA-256, and the output says so.
    TimeStamping fallback(args, "a.exe");
    fallback.ended(Attempt::Failed, "bad reply");
    QVERIFY(fallback.next() && fallback.next()->rfc3161);
    QCOMPARE(fallback.next()->url, std::string("http://h/"));
    QCOMPARE(std::string(fallback.next()->digest), std::string("sha256"));
    fallback.ended(Attempt::Stamped, "");
    QVERIFY(fallback.stamped() && !fallback.next());
    QCOMPARE(fallback.warnings().size(), size_t(1));
    QVERIFY(QString::fromStdString(fallback.warnings()[0]).contains("RFC 3161 (SHA-256)"));

    TimeStamping bothFail(args, "a.exe");
    bothFail.ended(Attempt::Failed, "first");
    bothFail.ended(Attempt::Failed, "second");
    QVERIFY(!bothFail.stamped() && !bothFail.next());
    QCOMPARE(bothFail.error(), std::string("Time-stamping a.exe at http://h/ failed: first (RFC 3161 at the same address: second)"));

    // No answer: no second try at a silent server.
    qputenv("QUILLMARK_TIMESTAMP_TIMEOUT", "7");
    TimeStamping silent(args, "a.exe");
    silent.ended(Attempt::NoAnswer, "");
    QVERIFY(!silent.next() && !silent.stamped());
    QCOMPARE(silent.error(),
             std::string("Time-stamping a.exe failed: the time-stamp server did not answer (http://h/) within 7 seconds."));
    qputenv("QUILLMARK_TIMESTAMP_TIMEOUT", "0");
    QCOMPARE(signtool::timeStampTimeoutSeconds(), 60); // nonsense keeps the default
    qunsetenv("QUILLMARK_TIMESTAMP_TIMEOUT");

    TimeStamping plain(args, "a.exe");
    plain.ended(Attempt::Stamped, "");
    QVERIFY(plain.stamped() && plain.warnings().empty() && plain.error().empty());
}

void TestSignArgs::refusals_data()
{
    QTest::addColumn<QStringList>("argv");
    QTest::addColumn<QString>("message");
    QTest::newRow("no verb") << QStringList{} << "No command given";
    QTest::newRow("unknown verb") << QStringList{"sing", "x.exe"} << "Unknown command: sing";
    QTest::newRow("catdb without catalogs") << QStringList{"catdb", "/r"} << "No catalog files to remove were given.";
    QTest::newRow("remove without what") << QStringList{"REMOVE", "/v", "x.exe"}
                                         << "remove needs /s, /c or /u: what to remove";
    QTest::newRow("remove without files") << QStringList{"remove", "/u"} << "No files to remove signatures from";
    QTest::newRow("sign switch with remove") << QStringList{"remove", "/s", "/f", "c.pfx", "x.exe"}
                                             << "Unknown option: /f";
    QTest::newRow("root with f") << QStringList{"sign", "/f", "c.pfx", "/r", "Root", "x.exe"}
                                 << "/r and /c choose from the certificate store";
    QTest::newRow("template without value") << QStringList{"sign", "/a", "/c"} << "Missing value for option /c";
    QTest::newRow("unknown switch") << QStringList{"sign", "/a", "/zz", "x.exe"} << "Unknown option: /zz";
    QTest::newRow("csp with a PFX password") << QStringList{"sign", "/csp", "eToken CSP", "/kc", "k", "/p", "pw", "x.exe"}
                                             << "/p gives a PFX password; with /csp or /kc the token's PIN is asked "
                                                "for through pinentry";
    QTest::newRow("kc with a password descriptor") << QStringList{"sign", "/kc", "k", "/f", "c.cer", "/pfd", "3", "x.exe"}
                                                   << "/pfd gives a PFX password";
    QTest::newRow("csp empty") << QStringList{"sign", "/csp", "", "x.exe"} << "/csp needs a PKCS#11 module";
    QTest::newRow("kc public key") << QStringList{"sign", "/kc", "pkcs11:object=k;type=public", "x.exe"}
                                   << "names objects of the type public";
    QTest::newRow("kc unknown attribute") << QStringList{"sign", "/kc", "pkcs11:colour=blue", "x.exe"}
                                          << "the attribute colour, which is not known here";
    QTest::newRow("kc broken escape") << QStringList{"sign", "/kc", "pkcs11:object=a%4", "x.exe"}
                                      << "its pkcs11: URI cannot be read";
    QTest::newRow("kc without a name") << QStringList{"sign", "/kc", "[Token]=", "x.exe"} << "it names no key";
    QTest::newRow("catalog from two places") << QStringList{"verify", "/pa", "/c", "a.cat", "/as", "x.exe"}
                                             << "The option /c names the catalog and cannot be combined";
    QTest::newRow("sealing") << QStringList{"timestamp", "/tr", "u", "/tseal", "x.exe"}
                             << "The option /tseal is not supported: sealing";
    QTest::newRow("documented for another command") << QStringList{"timestamp", "/tr", "u", "/kp", "x.exe"}
                                                    << "Unknown option: /kp";
    QTest::newRow("ph and nph") << QStringList{"sign", "/a", "/ph", "/nph", "x.exe"} << "/ph and /nph";
    QTest::newRow("usage not an OID") << QStringList{"sign", "/a", "/u", "codeSigning", "x.exe"}
                                      << "The value of /u must be an object identifier";
    QTest::newRow("issuer with f") << QStringList{"sign", "/f", "c.pfx", "/i", "CA", "x.exe"}
                                   << "cannot be combined with /f";
    QTest::newRow("all and ds") << QStringList{"verify", "/pa", "/all", "/ds", "1", "x.exe"} << "/all and /ds";
    QTest::newRow("ds not a number") << QStringList{"verify", "/pa", "/ds", "-1", "x.exe"}
                                     << "The value of /ds must be the number of a signature";
    QTest::newRow("td sha256 without tr") << QStringList{"sign", "/a", "/td", "sha256", "x.exe"} << "/td needs /tr";
    QTest::newRow("td with t") << QStringList{"sign", "/a", "/t", "u", "/td", "sha384", "x.exe"} << "/td needs /tr";
    QTest::newRow("store with f") << QStringList{"sign", "/f", "c.pfx", "/s", "My", "x.exe"}
                                  << "cannot be combined with /f";
    QTest::newRow("sign switch all") << QStringList{"sign", "/a", "/all", "x.exe"} << "Unknown option: /all";
    QTest::newRow("sign switch with verify") << QStringList{"verify", "/pa", "/f", "c.pfx", "x.exe"}
                                             << "Unknown option: /f";
    QTest::newRow("verify switch with sign") << QStringList{"sign", "/pa", "x.exe"} << "Unknown option: /pa";
    QTest::newRow("value missing at end") << QStringList{"sign", "/a", "/tr"} << "Missing value for option /tr";
    QTest::newRow("no files") << QStringList{"sign", "/a", "/v"} << "No files to sign";
    QTest::newRow("a and f") << QStringList{"sign", "/a", "/f", "c.pfx", "x.exe"} << "/a and /f";
    QTest::newRow("p without f") << QStringList{"sign", "/p", "pw", "x.exe"} << "/p needs /f";
    QTest::newRow("sha1 with f") << QStringList{"sign", "/f", "c.pfx", "/sha1", QString(40, 'A'), "x.exe"}
                                 << "cannot be combined with /f";
    QTest::newRow("t and tr") << QStringList{"sign", "/a", "/t", "u", "/tr", "u", "x.exe"} << "/t and /tr";
    QTest::newRow("ph and nph") << QStringList{"sign", "/a", "/PH", "/nph", "x.exe"} << "/ph and /nph";
    QTest::newRow("nph with verify") << QStringList{"verify", "/pa", "/nph", "x.exe"} << "Unknown option: /nph";
    QTest::newRow("td without tr") << QStringList{"sign", "/a", "/td", "sha512", "x.exe"} << "/td needs /tr";
    QTest::newRow("v and q") << QStringList{"sign", "/a", "/v", "/q", "x.exe"} << "/v and /q";
    QTest::newRow("bad thumbprint") << QStringList{"sign", "/sha1", "1234", "x.exe"} << "not a SHA-1 thumbprint";
    QTest::newRow("empty name") << QStringList{"sign", "/n", "", "x.exe"} << "/n needs";
    QTest::newRow("verify without pa") << QStringList{"verify", "x.exe"} << "verify needs /pa";
    QTest::newRow("verify without files") << QStringList{"verify", "/pa"} << "No files to verify";
    QTest::newRow("timestamp without server") << QStringList{"timestamp", "x.exe"} << "timestamp needs a time-stamp server";
    QTest::newRow("timestamp with a sign switch") << QStringList{"timestamp", "/tr", "u", "/a", "x.exe"}
                                                  << "Unknown option: /a";
    QTest::newRow("timestamp td with t") << QStringList{"timestamp", "/t", "u", "/td", "sha256", "x.exe"}
                                         << "/td needs /tr";
    QTest::newRow("ph with sha384") << QStringList{"sign", "/a", "/fd", "sha384", "/ph", "x.exe"}
                                    << "/ph needs /fd sha256 (or sha1): page hashes exist as SHA-1 and SHA-256 only";
    QTest::newRow("ph with sha512") << QStringList{"sign", "/a", "/ph", "/fd", "SHA512", "x.exe"}
                                    << "Windows defines no form for sha512";
    QTest::newRow("tp not a number") << QStringList{"timestamp", "/tr", "u", "/tp", "first", "x.exe"}
                                     << "The value of /tp must be the number of a signature";
    QTest::newRow("tp without value") << QStringList{"timestamp", "/tr", "u", "/tp"} << "Missing value for option /tp";
    QTest::newRow("tp with sign") << QStringList{"sign", "/a", "/tp", "1", "x.exe"} << "Unknown option: /tp";
}

void TestSignArgs::refusals()
{
    QFETCH(QStringList, argv);
    QFETCH(QString, message);
    const ParseResult result = parse(argv);
    QVERIFY(!result.args);
    QVERIFY2(QString::fromStdString(result.error).contains(message), result.error.c_str());
}

void TestSignArgs::storeCertificateAndVerifySwitches()
{
    ParseResult result = parse({"sign", "/a", "/S", "my", "/sm", "/ac", "inter.pem", "/ac", "/other.cer", "/PH",
                                "/fd", "sha1", "/tr", "u", "/td", "SHA1", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QCOMPARE(result.args->storeName.value(), std::string("my"));
    QVERIFY(result.args->machineStore && result.args->pageHashes);
    QCOMPARE(result.args->additionalCertificates, (std::vector<std::string>{"inter.pem", "/other.cer"}));
    QCOMPARE(signtool::storeNameProblem(*result.args, "/opt/store"), std::string());
    const std::vector<std::string> warnings = signtool::digestWarnings(*result.args);
    QCOMPARE(warnings.size(), size_t(2));
    QVERIFY(QString::fromStdString(warnings[0]).startsWith("SignTool Warning: /fd sha1 makes a SHA-1 signature"));
    QVERIFY(QString::fromStdString(warnings[1]).startsWith("SignTool Warning: /td sha1 makes a SHA-1 signature"));

    result = parse({"sign", "/a", "/s", "Root", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    const std::string problem = signtool::storeNameProblem(*result.args, "/opt/store");
    QVERIFY2(QString::fromStdString(problem).contains("\"Root\" does not exist"), problem.c_str());
    QVERIFY(QString::fromStdString(problem).contains("the folder /opt/store"));
    // No /fd: the newest SignTool refuses, this one warns and uses SHA-256.
    const std::vector<std::string> unnamed = signtool::digestWarnings(*result.args);
    QCOMPARE(unnamed.size(), size_t(1));
    QVERIFY2(QString::fromStdString(unnamed[0]).contains("No file digest algorithm was given; SHA-256 is used")
                 && QString::fromStdString(unnamed[0]).contains("add /fd sha256"),
             unnamed[0].c_str());
    result = parse({"sign", "/a", "/fd", "SHA256", "/tr", "u", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    const std::vector<std::string> stampDigest = signtool::digestWarnings(*result.args);
    QCOMPARE(stampDigest.size(), size_t(1));
    QVERIFY2(QString::fromStdString(stampDigest[0]).contains("No time-stamp digest algorithm was given with /tr"),
             stampDigest[0].c_str());
    result = parse({"timestamp", "/tr", "u", "/td", "sha256", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QVERIFY(signtool::digestWarnings(*result.args).empty());
    result = parse({"timestamp", "/tr", "u", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QCOMPARE(signtool::digestWarnings(*result.args).size(), size_t(1));

    result = parse({"verify", "/pa", "/all", "/TW", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QVERIFY(result.args->allSignatures && result.args->warnUnstamped);

    // What Windows documents and means something here too.
    result = parse({"verify", "/pa", "/a", "/MS", "/d", "/r", "Quillmark Root", "/ds", "1", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QVERIFY(result.args->printDescription);
    QCOMPARE(result.args->rootSubject.value_or(""), std::string("Quillmark Root"));
    QCOMPARE(result.args->signatureIndex.value_or(-1), 1);
    QCOMPARE(result.args->files, std::vector<std::string>{"x.exe"});
    result = parse({"sign", "/a", "/i", "Issuing CA", "/uw", "/nph", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QCOMPARE(result.args->issuerName.value_or(""), std::string("Issuing CA"));
    QCOMPARE(result.args->usageOid.value_or(""), std::string("1.3.6.1.4.1.311.10.3.6"));
    QVERIFY(result.args->noPageHashes && !result.args->pageHashes);

    // remove: /s, /c and /u are flags of their own there, while sign's /c
    // and /r take a value (a template, a root's name).
    result = parse({"remove", "/C", "-u", "/q", "/s", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QVERIFY(result.args->remove.signature && result.args->remove.certificates
            && result.args->remove.unauthenticated && result.args->quiet);
    QCOMPARE(result.args->files, std::vector<std::string>{"x.exe"});
    result = parse({"sign", "/a", "/c", "CodeSigningV2", "/R", "Quillmark Root", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QCOMPARE(result.args->templateName.value_or(""), std::string("CodeSigningV2"));
    QCOMPARE(result.args->rootSubject.value_or(""), std::string("Quillmark Root"));
    QVERIFY(!result.args->remove.any());
    result = parse({"sign", "/a", "/u", "1.3.6.1.5.5.7.3.3", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QCOMPARE(result.args->usageOid.value_or(""), std::string("1.3.6.1.5.5.7.3.3"));
}

void TestSignArgs::tokenSwitchesParse()
{
    // As a Windows build script for an EV token writes it: the certificate
    // file with /f, the provider and the container.
    ParseResult result = parse({"sign", "/f", "ev.cer", "/CSP", "eToken Base Cryptographic Provider", "/kc",
                                "[{{}}]=te-1234", "/fd", "sha256", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QCOMPARE(result.args->cryptoProvider.value(), std::string("eToken Base Cryptographic Provider"));
    QCOMPARE(result.args->keyContainer.value(), std::string("[{{}}]=te-1234"));
    QCOMPARE(result.args->pfxFile.value(), std::string("ev.cer"));
    result = parse({"sign", "/a", "-kc", "pkcs11:token=Build%20Token;object=signing", "x.exe"});
    QVERIFY2(result.args, result.error.c_str());
    QVERIFY(!result.args->cryptoProvider);
    // Other commands do not take them.
    QVERIFY(!parse({"verify", "/pa", "/kc", "k", "x.exe"}).args);
    QVERIFY(QString::fromUtf8(signtool::usageText()).contains("/kc KEY"));
}

void TestSignArgs::pinInKeyContainerIsRefusedUnrepeated_data()
{
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("why");
    QTest::newRow("SafeNet") << "[{{Pa55-7391}}]=te-1234" << "it holds a PIN ([{{PIN}}]=NAME)";
    QTest::newRow("SafeNet with reader") << "[SafeNet Token JC 0{{Pa55-7391}}]=p11#1" << "it holds a PIN";
    QTest::newRow("pin-value") << "pkcs11:object=k?pin-value=Pa55-7391" << "pin-value in its pkcs11: URI";
    QTest::newRow("pin-source") << "pkcs11:object=k?pin-source=file:/tmp/Pa55-7391" << "it names the PIN's source";
}

// A PIN in /kc ends the run before anything else, and the message, which
// a build log keeps, never repeats it.
void TestSignArgs::pinInKeyContainerIsRefusedUnrepeated()
{
    QFETCH(QString, container);
    QFETCH(QString, why);
    const ParseResult result = parse({"sign", "/csp", "softhsm2", "/kc", container, "x.exe"});
    QVERIFY(!result.args);
    const QString error = QString::fromStdString(result.error);
    QVERIFY2(error.startsWith("The value of /kc cannot be used: ") && error.contains(why), qPrintable(error));
    QVERIFY2(error.contains("the PIN is asked for through pinentry"), qPrintable(error));
    QVERIFY2(!error.contains("Pa55"), qPrintable(error));
}

namespace {

signtool::TokenCertificate tokenCertificate(const std::string &module, const std::string &token,
                                            const std::string &certLabel, const std::string &keyLabel,
                                            std::vector<unsigned char> id)
{
    signtool::TokenCertificate c;
    c.modulePath = module;
    c.tokenLabel = token;
    c.tokenSerial = "0001";
    c.tokenManufacturer = "SoftHSM project";
    c.tokenModel = "SoftHSM v2";
    c.objectLabel = certLabel;
    c.keyLabel = keyLabel;
    c.id = std::move(id);
    return c;
}

} // namespace

void TestSignArgs::providerNamesModuleOrToken()
{
    const std::vector<std::string> modules{"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so"};
    const std::vector<std::string> names{"softhsm2", "opensc-pkcs11"};
    std::string error;
    // A p11-kit name (letter case ignored) or a library's file name.
    auto filter = signtool::tokenFilter(std::string("OpenSC-PKCS11"), std::nullopt, modules, names, error);
    QVERIFY2(filter, error.c_str());
    QCOMPARE(filter->modules, std::vector<std::string>{modules[1]});
    QVERIFY(filter->providerAsTokenLabel.empty());
    filter = signtool::tokenFilter(std::string("libsofthsm2.so"), std::nullopt, modules, names, error);
    QVERIFY2(filter && filter->modules == std::vector<std::string>{modules[0]}, error.c_str());
    // A path: that module alone, which must exist.
    filter = signtool::tokenFilter(std::string("/nonexistent/libvendor.so"), std::nullopt, modules, names, error);
    QVERIFY(!filter);
    QVERIFY2(QString::fromStdString(error).startsWith("The PKCS#11 module /nonexistent/libvendor.so named with /csp "
                                                      "cannot be used"),
             error.c_str());
    // Anything else is a token's label in every module in use; whether
    // such a token exists shows only once they are listed.
    filter = signtool::tokenFilter(std::string("Build Token"), std::nullopt, modules, names, error);
    QVERIFY2(filter, error.c_str());
    QCOMPARE(filter->modules, modules);
    QVERIFY(filter->matches(tokenCertificate(modules[0], "build token  ", "c", "k", {1})));
    QVERIFY(!filter->matches(tokenCertificate(modules[0], "Release Token", "c", "k", {1})));
    QVERIFY(filter->namesTokenAmong({"Other", "BUILD TOKEN"}));
    QVERIFY(!filter->namesTokenAmong({"eToken Base Cryptographic Provider"}));
    // The module of a URI, and one that contradicts /csp.
    filter = signtool::tokenFilter(std::nullopt, std::string("pkcs11:object=k?module-name=softhsm2"), modules, names,
                                   error);
    QVERIFY2(filter && filter->modules == std::vector<std::string>{modules[0]}, error.c_str());
    QVERIFY(!signtool::tokenFilter(std::string("opensc-pkcs11"), std::string("pkcs11:object=k?module-name=softhsm2"),
                                   modules, names, error));
    QVERIFY2(QString::fromStdString(error).contains("name different PKCS#11 modules"), error.c_str());
}

void TestSignArgs::keyContainerNamesKey()
{
    const std::vector<std::string> modules{"/m.so"};
    const auto signing = tokenCertificate("/m.so", "Build Token", "Signing cert", "te-1234", {0xa1, 0x0f});
    const auto other = tokenCertificate("/m.so", "Build Token", "Other", "Other key", {0x02});
    std::string error;
    auto named = [&](const char *kc) {
        auto filter = signtool::tokenFilter(std::nullopt, std::string(kc), modules, {}, error);
        if (!filter)
            qFatal("%s: %s", kc, error.c_str());
        return *filter;
    };
    // The key's label, its certificate's label, or its id in hex.
    QVERIFY(named("te-1234").matches(signing) && !named("te-1234").matches(other));
    QVERIFY(named("Signing cert").matches(signing));
    QVERIFY(named("A10F").matches(signing) && named("a1:0f").matches(signing) && !named("a10f").matches(other));
    QVERIFY(!named("a1").matches(signing));
    // SafeNet's form: the reader is the token's label.
    QVERIFY(named("[{{}}]=te-1234").matches(signing));
    QVERIFY(named("[build token]=te-1234").matches(signing));
    QVERIFY(!named("[Release Token]=te-1234").matches(signing));
    // A URI, %-escapes undone; each attribute must fit.
    QVERIFY(named("pkcs11:token=Build%20Token;id=%a1%0f;type=private").matches(signing));
    QVERIFY(!named("pkcs11:token=Build%20Token;id=%a1").matches(signing));
    QVERIFY(named("pkcs11:object=te-1234;serial=0001;model=SoftHSM%20v2").matches(signing));
    QVERIFY(!named("pkcs11:object=te-1234;manufacturer=Other").matches(signing));
    QVERIFY(named("pkcs11:object=Other%20key").matches(other));
    QCOMPARE(named("[Build Token]=te-1234").describe(), std::string(" with the key \"te-1234\" on the token \"Build Token\""));
}

QTEST_APPLESS_MAIN(TestSignArgs)
// The usage text shows in Quillmark's console, 80 columns wide.
void TestSignArgs::usageFitsTheConsole()
{
    const QStringList lines = QString::fromUtf8(signtool::usageText()).split('\n');
    QVERIFY(lines.size() > 40);
    for (const QString &line : lines)
        QVERIFY2(line.size() <= 80, qPrintable(QString::number(line.size()) + ": " + line));
}

#include "tst_signargs.moc"
