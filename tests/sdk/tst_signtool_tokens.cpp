// signtool.exe with certificates on PKCS#11 tokens: a SoftHSM2 token made
// per test in a temporary folder, a scripted pinentry, and every signature
// checked with "osslsigncode verify".

#include "support/FakeTools.h"
#include "support/OtherUser.h"
#include "support/SignToolFixture.h"
#include "support/SoftHsmToken.h"
#include "support/TestData.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/sha.h>
#include <openssl/x509.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace testdata;

namespace {

const QString tokenPin = QStringLiteral("4711%2");

QString thumbprint(const KeyAndCert &pair)
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    unsigned int length = 0;
    X509_digest(pair.cert.get(), EVP_sha1(), digest, &length);
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex(' ');
}

} // namespace

class TestSignToolTokens : public QObject, private SignToolFixture {
    Q_OBJECT

private:
    // An environment with the token's module as the only one, an empty
    // store folder unless one is given, and the pinentry.
    QProcessEnvironment environment(const SoftHsmToken &token, const ScriptedPinentry &pinentry,
                                    const QString &store = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        token.addTo(env);
        pinentry.addTo(env);
        env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"), SoftHsmToken::modulePath());
        env.insert(QStringLiteral("QUILLMARK_CERT_STORE"), store.isEmpty() ? newFolder() : store);
        return env;
    }

    QStringList peFiles(int count)
    {
        const QString dir = newFolder();
        QStringList files;
        for (int i = 0; i < count; ++i) {
            files << dir + QStringLiteral("/app%1.exe").arg(i);
            if (!writePeFile(files.last(), quint32(i)))
                qFatal("cannot write a PE file");
        }
        return files;
    }

    // The token "Build Token" with `signer`'s pair on it, and a pinentry that
    // gives its PIN.
    struct BuildToken {
        BuildToken(const QString &folder, const KeyAndCert &pair)
            : token(folder, QStringLiteral("Build Token"), tokenPin), signer(pair),
              imported(token.importPair(pair, QStringLiteral("a1"), QStringLiteral("signing"))),
              pinentry(folder, ScriptedPinentry::Answer::Pin, tokenPin)
        {
        }
        SoftHsmToken token;
        KeyAndCert signer;
        bool imported;
        ScriptedPinentry pinentry;
    };

    // The signer's common name as osslsigncode sees it, or why it failed.
    QString verifiedSigner(const QString &file, const KeyAndCert &signer)
    {
        const QString pem = newFolder() + QStringLiteral("/ca.pem");
        writeCertificatePem(pem, signer);
        const RunResult verify = verifySignature(file, pem);
        return verify.ok() ? signerSubject(verify).remove(QStringLiteral("/CN="))
                           : QStringLiteral("not verified: ") + verify.output;
    }

    // An osslsigncode that must not sign: it leaves a mark and fails; its
    // verify is the real one.
    QProcessEnvironment forbiddenSigning(QProcessEnvironment env, QString &mark)
    {
        const QString bin = newFolder();
        mark = bin + QStringLiteral("/osslsigncode-signed");
        const QProcessEnvironment fake = fakeOsslsigncode(
            bin, "[ \"$1\" = sign ] || exec \"$real\" \"$@\"\necho \"$@\" >> '" + QFile::encodeName(mark)
                     + "'\nexit 1\n");
        env.insert(QStringLiteral("PATH"), fake.value(QStringLiteral("PATH")));
        return env;
    }

    // The folder's entries once the cleaner of a tool that was ended has
    // removed its private folder (it works after the tool is gone).
    QStringList settledEntries(const QString &folder, const QStringList &expected)
    {
        QElapsedTimer clock;
        clock.start();
        QStringList now = entries(folder);
        while (now != expected && clock.elapsed() < 10000) {
            QTest::qWait(100);
            now = entries(folder);
        }
        return now;
    }

private slots:
    void initTestCase();
    void signsWithTokenCertificateAskingPinOnce();
    void tokenSignsOneFileAtATimeWhateverComesFirst();
    void findsTokensThroughRegistry();
    void moduleThatCannotBeLoadedIsPassedOver();
    void choosesBetweenTokenAndStoreFile();
    void sha1AndNameSelectExplicitly();
    void wrongPinIsReportedOnceAndNeverRetried();
    void cancelledPinChangesNothing();
    void hangingPinentryEndsAtTheModuleTimeout();
    void tokenThatStopsAnsweringWhileSigningChangesNothing();
    void tokenSignsProgramFilesInProcess_data();
    void tokenSignsProgramFilesInProcess();
    void tokenThatHangsInTheSignatureHereChangesNothing();
    void tokenKeySignsDigestsAndPkcs7Files();
    void wrongPinSignsNoProgramFile();
    void cspAndKcNameTheModuleTokenAndKey();
    void cspThatNamesNothingHereIsRefused();
    void pinInKcIsNeverUsed();
    void tokenCertificateWithoutKeyIsNotOffered();
    void hiddenKeyThatIsGoneIsFoundAtLogin();
    void missingPinentryIsNamed();
    void tokenLabelWithUriCharacters();
    void pinentryOfAnotherUserIsNotRun();
    void moduleOfAnotherUserIsPassedOver();
    void registeredModuleOfAnotherUserIsNeverLoaded();
    void registeredTrustedModuleIsLoaded();
};

void TestSignToolTokens::initTestCase()
{
    QVERIFY(m_root.isValid());
    if (const QString missing = SoftHsmToken::missingTools(); !missing.isEmpty())
        QSKIP(qPrintable(missing));
    QVERIFY2(QFileInfo(sdkToolPath(QStringLiteral("signtool.exe"))).isExecutable(), "signtool.exe not built");
}

void TestSignToolTokens::signsWithTokenCertificateAskingPinOnce()
{
    const BuildToken built(newFolder(), certificate(QStringLiteral("Token Code Signing"), 200));
    QVERIFY2(built.imported, qPrintable(built.token.error()));
    const SoftHsmToken &token = built.token;
    const KeyAndCert &signer = built.signer;
    const ScriptedPinentry &pinentry = built.pinentry;

    // Several files at once: the token signs them one after the other (many
    // logins at the same moment fail on some tokens, SoftHSM2 among them).
    const QStringList files = peFiles(6);
    const RunResult run = signtool(QStringList{"sign", "/a", "/v", "/mt", "6"} + files, environment(token, pinentry));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(pinentry.timesAsked(), 1); // once per run, not per file
    QVERIFY2(pinentry.lastDescription().contains(QLatin1String("\"Build Token\"")), qPrintable(pinentry.lastDescription()));
    QVERIFY(pinentry.lastDescription().contains(QLatin1String("\"Token Code Signing\"")));
    QVERIFY2(run.output.contains(QLatin1String("Stored in: token \"Build Token\" (slot ")), qPrintable(run.output));
    QVERIFY(!run.output.contains(tokenPin));
    for (const QString &file : files) {
        QVERIFY2(run.output.contains(QStringLiteral("Successfully signed: ") + file), qPrintable(run.output));
        QCOMPARE(verifiedSigner(file, signer), QStringLiteral("Token Code Signing"));
    }
}

// With /as a script is first read by "osslsigncode verify" (its signatures
// counted), which needs no token; the signing that follows still waits for
// the token, whichever step came before it. A stand-in osslsigncode fails a
// signing that overlaps another.
void TestSignToolTokens::tokenSignsOneFileAtATimeWhateverComesFirst()
{
    const BuildToken built(newFolder(), certificate(QStringLiteral("Token Code Signing"), 200));
    QVERIFY2(built.imported, qPrintable(built.token.error()));
    const SoftHsmToken &token = built.token;
    const KeyAndCert &signer = built.signer;
    const ScriptedPinentry &pinentry = built.pinentry;
    QProcessEnvironment env = environment(token, pinentry);
    const QString lock = newFolder() + QStringLiteral("/signing");
    const QProcessEnvironment fake = fakeOsslsigncode(
        newFolder(), "[ \"$1\" = sign ] || exec \"$real\" \"$@\"\n"
                     "mkdir '" + lock.toUtf8() + "' 2>/dev/null || { echo 'two signatures at once' >&2; exit 1; }\n"
                     "sleep 0.2\n\"$real\" \"$@\"\nrc=$?\nrmdir '" + lock.toUtf8() + "'\nexit $rc\n");
    env.insert(QStringLiteral("PATH"), fake.value(QStringLiteral("PATH")));

    const QString dir = newFolder();
    QStringList files;
    for (int i = 0; i < 4; ++i) {
        files << dir + QStringLiteral("/Setup%1.ps1").arg(i);
        QVERIFY(writeBytes(files.last(), QByteArray("Write-Host \"") + QByteArray::number(i) + "\"\r\n"));
    }
    const RunResult run = signtool(QStringList{"sign", "/a", "/as", "/mt", "4"} + files, env);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(pinentry.timesAsked(), 1);
    for (const QString &file : files)
        QCOMPARE(verifiedSigner(file, signer), QStringLiteral("Token Code Signing"));
}

// Without QUILLMARK_PKCS11_MODULE the modules come from p11-kit's registry,
// where the softhsm2 package registers its module.
void TestSignToolTokens::findsTokensThroughRegistry()
{
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("Registry Token"), tokenPin);
    const KeyAndCert signer = certificate(QStringLiteral("Registry Signer"), 200);
    QVERIFY2(token.importPair(signer, QStringLiteral("07"), QStringLiteral("k")), qPrintable(token.error()));
    const ScriptedPinentry pinentry(folder, ScriptedPinentry::Answer::Pin, tokenPin);
    QProcessEnvironment env = environment(token, pinentry);
    env.remove(QStringLiteral("QUILLMARK_PKCS11_MODULE"));
    if (!QFileInfo::exists(QStringLiteral("/usr/share/p11-kit/modules/softhsm2.module")))
        QSKIP("softhsm2 is not registered with p11-kit here");

    const QStringList files = peFiles(1);
    const RunResult run = signtool({"sign", "/a", files[0]}, env);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(verifiedSigner(files[0], signer), QStringLiteral("Registry Signer"));
}

// A module path that is missing, or a library that is no PKCS#11 module,
// is passed over (said with /v), and the token behind a good module and the
// store still serve.
void TestSignToolTokens::moduleThatCannotBeLoadedIsPassedOver()
{
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("Beside Broken"), tokenPin);
    const KeyAndCert signer = certificate(QStringLiteral("Beside Broken Signer"), 300);
    QVERIFY2(token.importPair(signer, QStringLiteral("0a"), QStringLiteral("k")), qPrintable(token.error()));
    const ScriptedPinentry pinentry(folder, ScriptedPinentry::Answer::Pin, tokenPin);
    const QString notAModule = folder + QStringLiteral("/not-a-module.so");
    QVERIFY(writeBytes(notAModule, "not a shared library"));
    const QString missing = folder + QStringLiteral("/missing.so");

    QProcessEnvironment env = environment(token, pinentry);
    env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"),
               missing + ":" + notAModule + ":" + SoftHsmToken::modulePath());
    const QStringList files = peFiles(1);
    const RunResult run = signtool({"sign", "/a", "/debug", files[0]}, env);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains(QStringLiteral("Passed over the PKCS#11 module ") + missing), qPrintable(run.output));
    QVERIFY2(run.output.contains(QStringLiteral("Passed over the PKCS#11 module ") + notAModule), qPrintable(run.output));
    QCOMPARE(verifiedSigner(files[0], signer), QStringLiteral("Beside Broken Signer"));

    // With /v alone a certificate was found: the modules go unmentioned.
    const QStringList verbose = peFiles(1);
    const RunResult quieter = signtool({"sign", "/a", "/v", verbose[0]}, env);
    QVERIFY2(quieter.ok(), qPrintable(quieter.output));
    QVERIFY2(quieter.output.contains(QLatin1String("Issued to: CN=Beside Broken Signer")), qPrintable(quieter.output));
    QVERIFY2(!quieter.output.contains(QLatin1String("Passed over the PKCS#11 module")), qPrintable(quieter.output));

    // Only broken modules: the store's certificate is taken.
    const QString store = newFolder();
    const KeyAndCert inStore = certificate(QStringLiteral("Store Beside Broken"), 100);
    QVERIFY(writePkcs12(store + "/in-store.pfx", inStore));
    env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"), missing + ":" + notAModule);
    env.insert(QStringLiteral("QUILLMARK_CERT_STORE"), store);
    const QStringList more = peFiles(1);
    const RunResult storeRun = signtool({"sign", "/a", more[0]}, env);
    QVERIFY2(storeRun.ok(), qPrintable(storeRun.output));
    QCOMPARE(verifiedSigner(more[0], inStore), QStringLiteral("Store Beside Broken"));

    // No certificate anywhere: /v lists every reason, the modules' too.
    env.insert(QStringLiteral("QUILLMARK_CERT_STORE"), newFolder());
    const RunResult none = signtool({"sign", "/a", "/v", more[0]}, env);
    QCOMPARE(none.exitCode, 1);
    QVERIFY2(none.output.contains(QStringLiteral("Passed over the PKCS#11 module ") + missing), qPrintable(none.output));
    QVERIFY2(none.output.contains(QStringLiteral("Passed over the PKCS#11 module ") + notAModule), qPrintable(none.output));
}

void TestSignToolTokens::choosesBetweenTokenAndStoreFile()
{
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("Choice Token"), tokenPin);
    const KeyAndCert onToken = certificate(QStringLiteral("On Token"), 400);
    QVERIFY2(token.importPair(onToken, QStringLiteral("01"), QStringLiteral("t")), qPrintable(token.error()));
    const ScriptedPinentry pinentry(folder, ScriptedPinentry::Answer::Pin, tokenPin);
    const QString store = newFolder();
    const KeyAndCert inStore = certificate(QStringLiteral("In Store"), 100);
    QVERIFY(writePkcs12(store + "/in-store.pfx", inStore));

    // The token's certificate stays valid longer: it wins.
    QStringList files = peFiles(1);
    RunResult run = signtool({"sign", "/a", files[0]}, environment(token, pinentry, store));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(verifiedSigner(files[0], onToken), QStringLiteral("On Token"));
    QCOMPARE(pinentry.timesAsked(), 1);

    // A store file that outlives it wins, and the PIN is not asked for.
    const KeyAndCert longer = certificate(QStringLiteral("Long In Store"), 900);
    QVERIFY(writePkcs12(store + "/long.pfx", longer));
    files = peFiles(1);
    run = signtool({"sign", "/a", "/v", files[0]}, environment(token, pinentry, store));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(verifiedSigner(files[0], longer), QStringLiteral("Long In Store"));
    QVERIFY2(run.output.contains(QStringLiteral("Stored in: file\n      ") + store + "/long.pfx\n"), qPrintable(run.output));
    QCOMPARE(pinentry.timesAsked(), 1);

    // Without /a, two usable certificates are one too many.
    files = peFiles(1);
    const QByteArray original = fileBytes(files[0]);
    run = signtool({"sign", files[0]}, environment(token, pinentry, store));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QLatin1String("3 usable certificates were found")), qPrintable(run.output));
    QCOMPARE(fileBytes(files[0]), original);
}

void TestSignToolTokens::sha1AndNameSelectExplicitly()
{
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("Select Token"), tokenPin);
    const KeyAndCert first = certificate(QStringLiteral("Quillmark Release Signing"), 300);
    const KeyAndCert second = certificate(QStringLiteral("Nightly Builds"), 100);
    QVERIFY2(token.importPair(first, QStringLiteral("01"), QStringLiteral("release")), qPrintable(token.error()));
    QVERIFY2(token.importPair(second, QStringLiteral("02"), QStringLiteral("nightly")), qPrintable(token.error()));
    const ScriptedPinentry pinentry(folder, ScriptedPinentry::Answer::Pin, tokenPin);
    const QString store = newFolder();
    const KeyAndCert inStore = certificate(QStringLiteral("Store Release Signing"), 900);
    QVERIFY(writePkcs12(store + "/store.pfx", inStore));

    // The thumbprint as a certificate viewer shows it: blanks, lower case.
    QStringList files = peFiles(1);
    RunResult run = signtool({"sign", "/sha1", thumbprint(second), files[0]}, environment(token, pinentry, store));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(verifiedSigner(files[0], second), QStringLiteral("Nightly Builds"));

    // A part of the name, any letter case; "release" matches two, /a takes
    // the longest valid of them.
    files = peFiles(1);
    run = signtool({"sign", "/n", "nIGHTLY", files[0]}, environment(token, pinentry, store));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(verifiedSigner(files[0], second), QStringLiteral("Nightly Builds"));
    files = peFiles(1);
    run = signtool({"sign", "/a", "/n", "RELEASE signing", files[0]}, environment(token, pinentry, store));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(verifiedSigner(files[0], inStore), QStringLiteral("Store Release Signing"));
    files = peFiles(1);
    run = signtool({"sign", "/n", "Release", files[0]}, environment(token, pinentry, store));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QLatin1String("2 usable certificates were found with \"Release\" in the subject")),
             qPrintable(run.output));

    files = peFiles(1);
    const QByteArray original = fileBytes(files[0]);
    run = signtool({"sign", "/a", "/n", "Nobody", files[0]}, environment(token, pinentry, store));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QLatin1String("No certificates were found that met all the given criteria")),
             qPrintable(run.output));
    QVERIFY(run.output.contains(QLatin1String("\"Nobody\" in the subject name")));
    QCOMPARE(fileBytes(files[0]), original);
}

void TestSignToolTokens::wrongPinIsReportedOnceAndNeverRetried()
{
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("Wrong Pin Token"), tokenPin);
    const KeyAndCert signer = certificate(QStringLiteral("Guarded"), 200);
    QVERIFY2(token.importPair(signer, QStringLiteral("01"), QStringLiteral("k")), qPrintable(token.error()));
    const ScriptedPinentry wrong(newFolder(), ScriptedPinentry::Answer::Pin, QStringLiteral("000000"));

    const QStringList files = peFiles(2);
    const QByteArray original = fileBytes(files[0]);
    const RunResult run = signtool(QStringList{"sign", "/a"} + files, environment(token, wrong));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.output.count(QLatin1String("is not correct")), 1);
    QVERIFY2(run.output.contains(QLatin1String("SignTool Error: The PIN of token \"Wrong Pin Token\"")),
             qPrintable(run.output));
    QCOMPARE(wrong.timesAsked(), 1);
    QVERIFY(!run.output.contains(QLatin1String("Successfully signed")));
    QCOMPARE(fileBytes(files[0]), original);

    // One wrong try did not lock the token: the right PIN still signs.
    const ScriptedPinentry right(newFolder(), ScriptedPinentry::Answer::Pin, tokenPin);
    const RunResult again = signtool({"sign", "/a", files[0]}, environment(token, right));
    QVERIFY2(again.ok(), qPrintable(again.output));
}

void TestSignToolTokens::cancelledPinChangesNothing()
{
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("Cancel Token"), tokenPin);
    const KeyAndCert signer = certificate(QStringLiteral("Never Used"), 200);
    QVERIFY2(token.importPair(signer, QStringLiteral("01"), QStringLiteral("k")), qPrintable(token.error()));
    const ScriptedPinentry cancel(folder, ScriptedPinentry::Answer::Cancel);

    const QStringList files = peFiles(2);
    const QByteArray original = fileBytes(files[1]);
    const QStringList before = entries(QFileInfo(files[1]).path());
    const RunResult run = signtool(QStringList{"sign", "/a"} + files, environment(token, cancel));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QLatin1String("SignTool Error: The PIN was not entered.")), qPrintable(run.output));
    QCOMPARE(cancel.timesAsked(), 1);
    QCOMPARE(fileBytes(files[1]), original);
    QCOMPARE(entries(QFileInfo(files[1]).path()), before);
}

// A PIN dialog that never answers ends after QUILLMARK_PKCS11_TIMEOUT,
// when that is set, not after the five minutes a person at the desk gets.
void TestSignToolTokens::hangingPinentryEndsAtTheModuleTimeout()
{
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("Quiet Token"), tokenPin);
    const KeyAndCert signer = certificate(QStringLiteral("Never Asked"), 200);
    QVERIFY2(token.importPair(signer, QStringLiteral("01"), QStringLiteral("k")), qPrintable(token.error()));
    const ScriptedPinentry hanging(folder, ScriptedPinentry::Answer::Hang);
    QProcessEnvironment env = environment(token, hanging);
    env.insert(QStringLiteral("QUILLMARK_PKCS11_TIMEOUT"), QStringLiteral("2"));

    const QStringList files = peFiles(1);
    const QByteArray original = fileBytes(files[0]);
    QElapsedTimer clock;
    clock.start();
    const RunResult run = signtool({"sign", "/a", files[0]}, env, 60000);
    QVERIFY2(!run.timedOut, "the PIN dialog kept the run waiting");
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QLatin1String("SignTool Error: The PIN was not entered.")), qPrintable(run.output));
    QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(fileBytes(files[0]), original);
}

// The module answers the listing and the PIN check, then hangs in the
// signature itself (played by an osslsigncode that never ends; scripts are
// still signed by osslsigncode): the run ends at the deadline, five times
// the module's answer time, with the file as it was and nothing left
// beside it.
void TestSignToolTokens::tokenThatStopsAnsweringWhileSigningChangesNothing()
{
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("Stalling Token"), tokenPin);
    const KeyAndCert signer = certificate(QStringLiteral("Stalling Signer"), 200);
    QVERIFY2(token.importPair(signer, QStringLiteral("01"), QStringLiteral("k")), qPrintable(token.error()));
    const ScriptedPinentry pinentry(folder, ScriptedPinentry::Answer::Pin, tokenPin);
    QProcessEnvironment env = environment(token, pinentry);
    const QProcessEnvironment fake = fakeOsslsigncode(newFolder(), "[ \"$1\" = sign ] && exec sleep 600\n"
                                                                   "exec \"$real\" \"$@\"\n");
    env.insert(QStringLiteral("PATH"), fake.value(QStringLiteral("PATH")));
    env.insert(QStringLiteral("QUILLMARK_PKCS11_TIMEOUT"), QStringLiteral("1"));

    const QStringList files{newFolder() + QStringLiteral("/Stalled.ps1")};
    QVERIFY(writeBytes(files[0], QByteArray("Write-Host \"stalled\"\r\n")));
    const QByteArray original = fileBytes(files[0]);
    const QStringList before = entries(QFileInfo(files[0]).path());
    QElapsedTimer clock;
    clock.start();
    const RunResult run = signtool({"sign", "/a", files[0]}, env);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QStringLiteral("did not answer within 5 seconds")), qPrintable(run.output));
    QVERIFY2(clock.elapsed() < 60000, "the deadline did not end the signature");
    QCOMPARE(fileBytes(files[0]), original);
    QCOMPARE(entries(QFileInfo(files[0]).path()), before);
}

void TestSignToolTokens::tokenSignsProgramFilesInProcess_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("digest");
    QTest::newRow("PE32 sha256") << int(PeKind::Pe32) << "sha256";
    QTest::newRow("PE32+ sha384") << int(PeKind::Pe32Plus) << "sha384";
}

// A program file is signed with the token's key in this process, as with a
// PFX key: no osslsigncode signs (one that would leaves a mark and fails),
// several files at a time share the one login, and osslsigncode, the tool's
// own verify and the independent checker accept every copy.
void TestSignToolTokens::tokenSignsProgramFilesInProcess()
{
    QFETCH(int, kind);
    QFETCH(QString, digest);
    const BuildToken built(newFolder(), certificate(QStringLiteral("Token In Process"), 200));
    QVERIFY2(built.imported, qPrintable(built.token.error()));
    QString mark;
    const QProcessEnvironment env = forbiddenSigning(environment(built.token, built.pinentry), mark);
    const QString dir = newFolder();
    QStringList files;
    for (int i = 0; i < 4; ++i) {
        files << dir + QStringLiteral("/tool%1.%2").arg(i).arg(i % 2 ? "dll" : "exe");
        QVERIFY(writeBytes(files.last(), peFileBytes(quint32(40 + i), PeKind(kind))));
    }
    const QString description = QStringLiteral("Token Signed Tool");
    const RunResult run
        = signtool(QStringList{"sign", "/a", "/fd", digest, "/d", description, "/mt", "4"} + files, env);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(!QFile::exists(mark), "osslsigncode signed a program file with the token's key");
    QCOMPARE(built.pinentry.timesAsked(), 1);
    QVERIFY(!run.output.contains(tokenPin));

    const QString store = newFolder();
    QVERIFY(writePkcs12(store + QStringLiteral("/signer.pfx"), built.signer));
    for (const QString &file : files) {
        QVERIFY2(run.output.contains(QStringLiteral("Successfully signed: ") + file), qPrintable(run.output));
        QCOMPARE(verifiedSigner(file, built.signer), QStringLiteral("Token In Process"));
        const RunResult own = signtool({"verify", "/pa", "/v", file}, storeEnvironment(store));
        QVERIFY2(own.ok() && own.output.contains(digest.toUpper()), qPrintable(own.output));
        const RunResult independent = runProgram(
            QStringLiteral("/usr/bin/python3"),
            {QStringLiteral(QUILLMARK_AUTHENTICODE_CHECKER), file, "--signatures", "1", "--digest", digest,
             "--description", description});
        QVERIFY2(independent.ok(), qPrintable(independent.output));
    }
}

// A key that never leaves its token signs in steps and makes PKCS#7 files:
// /dg with the token's certificate, /ds with its key (one PIN for the run),
// /di puts the signature in, which the tool's verify and osslsigncode
// accept; /p7 signs a text file that the tool's verify /p7 accepts.
void TestSignToolTokens::tokenKeySignsDigestsAndPkcs7Files()
{
    const BuildToken built(newFolder(), certificate(QStringLiteral("Token Steps"), 200));
    QVERIFY2(built.imported, qPrintable(built.token.error()));
    const QProcessEnvironment env = environment(built.token, built.pinentry);
    const QString file = peFiles(1).constFirst();
    const QString steps = newFolder();
    const RunResult generated = signtool({"sign", "/a", "/fd", "sha256", "/dg", steps, file}, env);
    QVERIFY2(generated.ok(), qPrintable(generated.output));
    const QString dig = steps + "/" + QFileInfo(file).fileName() + ".dig";
    QVERIFY2(QFile::exists(dig), qPrintable(generated.output));

    const int askedBefore = built.pinentry.timesAsked();
    const RunResult signedDigest = signtool({"sign", "/a", "/fd", "sha256", "/ds", dig}, env);
    QVERIFY2(signedDigest.ok(), qPrintable(signedDigest.output));
    QCOMPARE(built.pinentry.timesAsked(), askedBefore + 1);
    QVERIFY(QFile::exists(dig + ".signed"));

    const RunResult ingested = signtool({"sign", "/di", steps, file}, storeEnvironment(newFolder()));
    QVERIFY2(ingested.ok(), qPrintable(ingested.output));
    QCOMPARE(verifiedSigner(file, built.signer), QStringLiteral("Token Steps"));
    const QString store = newFolder();
    QVERIFY(writePkcs12(store + QStringLiteral("/signer.pfx"), built.signer));
    const RunResult own = signtool({"verify", "/pa", file}, storeEnvironment(store));
    QVERIFY2(own.ok(), qPrintable(own.output));

    const QString text = newFolder() + "/notes.txt";
    QVERIFY(writeBytes(text, "signed with a token\n"));
    const QString p7 = newFolder();
    const RunResult pkcs7 = signtool({"sign", "/a", "/fd", "sha256", "/p7", p7, text}, env);
    QVERIFY2(pkcs7.ok(), qPrintable(pkcs7.output));
    const RunResult checked = signtool({"verify", "/p7", p7 + "/notes.txt.p7"}, storeEnvironment(store));
    QVERIFY2(checked.ok(), qPrintable(checked.output));
}

// The module lists the token and takes the PIN, then never returns from
// C_Sign (SoftHSM2 behind a module that hangs there): the call cannot be
// interrupted, so the tool ends at the signing deadline, five times the
// module's answer time, with a message naming the file and the module;
// every file as it was and the private folder gone.
void TestSignToolTokens::tokenThatHangsInTheSignatureHereChangesNothing()
{
    const BuildToken built(newFolder(), certificate(QStringLiteral("Hanging Signer"), 200));
    QVERIFY2(built.imported, qPrintable(built.token.error()));
    const QString module = QStringLiteral(QUILLMARK_HANGING_PKCS11);
    QProcessEnvironment env = environment(built.token, built.pinentry);
    env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"), module);
    env.insert(QStringLiteral("QUILLMARK_TEST_PKCS11_HANG"), QStringLiteral("sign"));
    env.insert(QStringLiteral("QUILLMARK_TEST_PKCS11_WRAP"), SoftHsmToken::modulePath());
    env.insert(QStringLiteral("QUILLMARK_PKCS11_TIMEOUT"), QStringLiteral("1"));

    const QStringList files = peFiles(3);
    const QString dir = QFileInfo(files[0]).path();
    QList<QByteArray> originals;
    for (const QString &file : files)
        originals << fileBytes(file);
    const QStringList before = entries(dir);
    QElapsedTimer clock;
    clock.start();
    const RunResult run = signtool(QStringList{"sign", "/a", "/mt", "3"} + files, env, 60000);
    QVERIFY2(!run.timedOut, "the module kept the run waiting");
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(clock.elapsed() >= 4900, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(QRegularExpression("SignTool Error: Signing " + QRegularExpression::escape(dir)
                                + "/app[0-2]\\.exe failed: the PKCS#11 module " + QRegularExpression::escape(module)
                                + " did not answer within 5 seconds; the file was left as it was\\.")
                 .match(run.output)
                 .hasMatch(),
             qPrintable(run.output));
    QVERIFY(!run.output.contains(QLatin1String("Successfully signed")));
    QCOMPARE(built.pinentry.timesAsked(), 1);
    for (int i = 0; i < files.size(); ++i)
        QCOMPARE(fileBytes(files[i]), originals[i]);
    QCOMPARE(settledEntries(dir, before), before);
}

// A wrong PIN ends the run at its one login, before any program file is
// opened for signing: no osslsigncode was needed to find out.
void TestSignToolTokens::wrongPinSignsNoProgramFile()
{
    const BuildToken built(newFolder(), certificate(QStringLiteral("Wrong Pin In Process"), 200));
    QVERIFY2(built.imported, qPrintable(built.token.error()));
    const ScriptedPinentry wrong(newFolder(), ScriptedPinentry::Answer::Pin, QStringLiteral("999999"));
    QString mark;
    const QProcessEnvironment env = forbiddenSigning(environment(built.token, wrong), mark);
    const QStringList files = peFiles(3);
    const QByteArray original = fileBytes(files[2]);
    const RunResult run = signtool(QStringList{"sign", "/a", "/mt", "3"} + files, env);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.output.count(QLatin1String("is not correct")), 1);
    QCOMPARE(wrong.timesAsked(), 1);
    QVERIFY(!QFile::exists(mark));
    QCOMPARE(fileBytes(files[2]), original);
}

// /csp and /kc as a Windows build script for an EV token uses them, with
// the token's PKCS#11 module in place of its provider: the module (a path,
// a library's name, p11-kit's name) or the token's label, and the key by
// its label, its id, a pkcs11: URI or SafeNet's "[{{}}]=NAME"; /f beside
// them names the certificate file. The store is not searched, although its
// certificate would win with /a.
void TestSignToolTokens::cspAndKcNameTheModuleTokenAndKey()
{
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("EV Token"), tokenPin);
    const KeyAndCert release = certificate(QStringLiteral("EV Release"), 200);
    const KeyAndCert nightly = certificate(QStringLiteral("EV Nightly"), 300);
    QVERIFY2(token.importPair(release, QStringLiteral("a1"), QStringLiteral("release")), qPrintable(token.error()));
    QVERIFY2(token.importPair(nightly, QStringLiteral("b2"), QStringLiteral("nightly")), qPrintable(token.error()));
    const ScriptedPinentry pinentry(folder, ScriptedPinentry::Answer::Pin, tokenPin);
    const QString store = newFolder();
    QVERIFY(writePkcs12(store + QStringLiteral("/later.pfx"), certificate(QStringLiteral("Store Signer"), 900)));
    const QProcessEnvironment env = environment(token, pinentry, store);
    const QString module = SoftHsmToken::modulePath();
    const QString releaseCer = folder + QStringLiteral("/release.cer");
    QVERIFY(writeCertificatePem(releaseCer, release));
    const QString nightlyDer = folder + QStringLiteral("/nightly.cer");
    QByteArray der(i2d_X509(nightly.cert.get(), nullptr), '\0');
    unsigned char *end = reinterpret_cast<unsigned char *>(der.data());
    QVERIFY(!der.isEmpty() && i2d_X509(nightly.cert.get(), &end) == der.size() && writeBytes(nightlyDer, der));

    struct Case {
        QStringList switches;
        QString signer;
    };
    const QList<Case> cases{
        {{"/csp", module, "/kc", "release"}, "EV Release"},
        {{"/csp", "EV Token", "/kc", "B2"}, "EV Nightly"},
        {{"/csp", QFileInfo(module).fileName(), "/kc", "[{{}}]=release"}, "EV Release"},
        {{"/kc", "pkcs11:token=EV%20Token;object=nightly;type=private"}, "EV Nightly"},
        {{"/a", "/csp", "ev token"}, "EV Nightly"}, // expires last of the token's
        {{"/f", releaseCer, "/csp", "EV Token", "/kc", "[{{}}]=release"}, "EV Release"},
        {{"/f", nightlyDer, "/csp", "EV Token"}, "EV Nightly"},
    };
    for (const Case &c : cases) {
        const QStringList files = peFiles(1);
        const RunResult run = signtool(QStringList{"sign", "/fd", "sha256"} + c.switches + files, env);
        QVERIFY2(run.ok(), qPrintable(c.switches.join(' ') + ":\n" + run.output));
        QCOMPARE(verifiedSigner(files[0], c.signer == "EV Release" ? release : nightly), c.signer);
    }
    QCOMPARE(pinentry.timesAsked(), cases.size());

    // The certificate file must be the token's certificate of that key.
    const QStringList files = peFiles(1);
    const QByteArray original = fileBytes(files[0]);
    const RunResult mismatch = signtool({"sign", "/f", releaseCer, "/kc", "nightly", files[0]}, env);
    QCOMPARE(mismatch.exitCode, 1);
    QVERIFY2(mismatch.output.contains("No certificates were found that met all the given criteria (PKCS#11 tokens): "
                                      "a certificate with the key \"nightly\" and that is the certificate in "
                                      + releaseCer),
             qPrintable(mismatch.output));
    QCOMPARE(fileBytes(files[0]), original);

    // The p11-kit name of the module, from the registry.
    if (QFileInfo::exists(QStringLiteral("/usr/share/p11-kit/modules/softhsm2.module"))) {
        QProcessEnvironment registry = env;
        registry.remove(QStringLiteral("QUILLMARK_PKCS11_MODULE"));
        const RunResult run = signtool({"sign", "/csp", "softhsm2", "/kc", "a1", files[0]}, registry);
        QVERIFY2(run.ok(), qPrintable(run.output));
        QCOMPARE(verifiedSigner(files[0], release), QStringLiteral("EV Release"));
    }
}

// A Windows provider's name is no module and no token here: the run ends
// naming what /csp takes, before any PIN is asked for.
void TestSignToolTokens::cspThatNamesNothingHereIsRefused()
{
    const BuildToken built(newFolder(), certificate(QStringLiteral("Never Chosen"), 200));
    QVERIFY2(built.imported, qPrintable(built.token.error()));
    const QStringList files = peFiles(1);
    const QByteArray original = fileBytes(files[0]);
    const RunResult run = signtool({"sign", "/csp", "eToken Base Cryptographic Provider", "/kc", "signing", files[0]},
                                   environment(built.token, built.pinentry));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: /csp eToken Base Cryptographic Provider names no PKCS#11 module or "
                                 "token here"),
             qPrintable(run.output));
    QCOMPARE(built.pinentry.timesAsked(), 0);
    QCOMPARE(fileBytes(files[0]), original);
}

// The PIN of a Windows script's /kc "[{{PIN}}]=NAME" is never used, not
// even tried on the token: the run is refused, the PIN never shown, and the
// token not asked.
void TestSignToolTokens::pinInKcIsNeverUsed()
{
    const BuildToken built(newFolder(), certificate(QStringLiteral("Script Signer"), 200));
    QVERIFY2(built.imported, qPrintable(built.token.error()));
    const QStringList files = peFiles(1);
    const QByteArray original = fileBytes(files[0]);
    const RunResult run = signtool({"sign", "/csp", "Build Token", "/kc", "[{{" + tokenPin + "}}]=signing", files[0]},
                                   environment(built.token, built.pinentry));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("SignTool Error: The value of /kc cannot be used: it holds a PIN"),
             qPrintable(run.output));
    QVERIFY(!run.output.contains(tokenPin));
    QCOMPARE(built.pinentry.timesAsked(), 0);
    QCOMPARE(fileBytes(files[0]), original);
}

void TestSignToolTokens::tokenCertificateWithoutKeyIsNotOffered()
{
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("Half Token"), tokenPin);
    const KeyAndCert withKey = certificate(QStringLiteral("Has Its Key"), 100);
    const KeyAndCert keyless = certificate(QStringLiteral("Lost Its Key"), 900);
    QVERIFY2(token.importPair(withKey, QStringLiteral("01"), QStringLiteral("pair")), qPrintable(token.error()));
    QVERIFY2(token.importCertificate(keyless, QStringLiteral("02"), QStringLiteral("alone")),
             qPrintable(token.error()));
    const ScriptedPinentry pinentry(folder, ScriptedPinentry::Answer::Pin, tokenPin);

    QStringList files = peFiles(1);
    RunResult run = signtool({"sign", "/a", "/v", files[0]}, environment(token, pinentry));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(verifiedSigner(files[0], withKey), QStringLiteral("Has Its Key"));
    QVERIFY2(run.output.contains(QLatin1String("Passed over the certificate \"alone\" (id 02) on token \"Half Token\"")),
             qPrintable(run.output));

    // Asked for by its thumbprint, it is still not there to be had.
    files = peFiles(1);
    const QByteArray original = fileBytes(files[0]);
    run = signtool({"sign", "/sha1", thumbprint(keyless), files[0]}, environment(token, pinentry));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QLatin1String("No certificates were found that met all the given criteria")),
             qPrintable(run.output));
    QCOMPARE(fileBytes(files[0]), original);
}

// Before the login a token shows only the public half of a key pair; a
// certificate whose private key is gone is caught at the login, before
// anything is signed.
void TestSignToolTokens::hiddenKeyThatIsGoneIsFoundAtLogin()
{
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("Lost Key Token"), tokenPin);
    QVERIFY2(token.importPair(certificate(QStringLiteral("Key Deleted"), 200), QStringLiteral("0c"), QStringLiteral("k")),
             qPrintable(token.error()));
    QVERIFY2(token.deletePrivateKey(QStringLiteral("0c")), qPrintable(token.error()));
    const ScriptedPinentry pinentry(folder, ScriptedPinentry::Answer::Pin, tokenPin);

    const QStringList files = peFiles(1);
    const QByteArray original = fileBytes(files[0]);
    const RunResult run = signtool({"sign", "/a", files[0]}, environment(token, pinentry));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QLatin1String("SignTool Error: The private key of the certificate \"Key Deleted\" "
                                               "is not on token \"Lost Key Token\"")),
             qPrintable(run.output));
    QCOMPARE(fileBytes(files[0]), original);
}

void TestSignToolTokens::missingPinentryIsNamed()
{
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("No Dialog Token"), tokenPin);
    QVERIFY2(token.importPair(certificate(QStringLiteral("Unreached"), 200), QStringLiteral("01"), QStringLiteral("k")),
             qPrintable(token.error()));
    const ScriptedPinentry unused(folder, ScriptedPinentry::Answer::Pin, tokenPin);
    QProcessEnvironment env = environment(token, unused);
    env.insert(QStringLiteral("QUILLMARK_PINENTRY"), folder + QStringLiteral("/no-such-pinentry"));

    const QStringList files = peFiles(1);
    const QByteArray original = fileBytes(files[0]);
    const RunResult run = signtool({"sign", "/a", files[0]}, env);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QStringLiteral("SignTool Error: The PIN cannot be asked for: ") + folder
                                 + "/no-such-pinentry cannot be started"),
             qPrintable(run.output));
    QCOMPARE(fileBytes(files[0]), original);
}

// The token is named to osslsigncode in a pkcs11: URI; characters that mean
// something there must arrive as part of the label.
void TestSignToolTokens::tokenLabelWithUriCharacters()
{
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("R&D; Build/2 %41=x"), tokenPin);
    QVERIFY2(token.ok(), qPrintable(token.error()));
    const KeyAndCert signer = certificate(QStringLiteral("Odd Label Signer"), 200);
    QVERIFY2(token.importPair(signer, QStringLiteral("3b25"), QStringLiteral("k;%")), qPrintable(token.error()));
    const ScriptedPinentry pinentry(folder, ScriptedPinentry::Answer::Pin, tokenPin);

    const QStringList files = peFiles(1);
    const RunResult run = signtool({"sign", "/a", "/v", files[0]}, environment(token, pinentry));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(run.output.contains(QLatin1String("Stored in: token \"R&D; Build/2 %41=x\"")));
    QCOMPARE(verifiedSigner(files[0], signer), QStringLiteral("Odd Label Signer"));
}

// Running as root, the PIN dialog would run with root's rights: one that
// another user could have placed or changed is not started.
void TestSignToolTokens::pinentryOfAnotherUserIsNotRun()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("Guarded Token"), tokenPin);
    QVERIFY2(token.importPair(certificate(QStringLiteral("Guarded Signer"), 200), QStringLiteral("01"),
                              QStringLiteral("k")),
             qPrintable(token.error()));
    const QString dialogs = newFolder();
    const ScriptedPinentry pinentry(dialogs, ScriptedPinentry::Answer::Pin, tokenPin);
    QVERIFY(::chown(QFile::encodeName(dialogs).constData(), nobody->uid, nobody->gid) == 0);

    const QStringList files = peFiles(1);
    const QByteArray original = fileBytes(files[0]);
    const RunResult run = signtool({"sign", "/a", files[0]}, environment(token, pinentry));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QStringLiteral("SignTool Error: The PIN cannot be asked for: ") + pinentry.program()
                                 + " is not used: " + dialogs + " is owned by user nobody"),
             qPrintable(run.output));
    QCOMPARE(pinentry.timesAsked(), 0);
    QCOMPARE(fileBytes(files[0]), original);
}

// A module named in QUILLMARK_PKCS11_MODULE is code loaded into root's
// process: a copy in a folder another user may write is passed over, with a
// note, and the store's certificate signs.
void TestSignToolTokens::moduleOfAnotherUserIsPassedOver()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    const QString folder = newFolder();
    SoftHsmToken token(folder, QStringLiteral("Copied Module Token"), tokenPin);
    QVERIFY2(token.importPair(certificate(QStringLiteral("Token Signer"), 300), QStringLiteral("01"),
                              QStringLiteral("k")),
             qPrintable(token.error()));
    const ScriptedPinentry pinentry(folder, ScriptedPinentry::Answer::Pin, tokenPin);
    const QString modules = newFolder();
    const QString copy = modules + QStringLiteral("/libsofthsm2.so");
    QVERIFY(QFile::copy(SoftHsmToken::modulePath(), copy));
    QVERIFY(::chmod(QFile::encodeName(modules).constData(), 0775) == 0);
    const QString store = newFolder();
    const KeyAndCert inStore = certificate(QStringLiteral("Store Signer"), 100);
    QVERIFY(writePkcs12(store + "/in-store.pfx", inStore));

    QProcessEnvironment env = environment(token, pinentry, store);
    env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"), copy);
    const QStringList files = peFiles(1);
    const RunResult run = signtool({"sign", "/a", "/v", files[0]}, env);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains(QStringLiteral("Passed over the PKCS#11 module ") + copy + ": it is not used: "
                                 + modules + " is writable by group root."),
             qPrintable(run.output));
    QCOMPARE(pinentry.timesAsked(), 0);
    QCOMPARE(verifiedSigner(files[0], inStore), QStringLiteral("Store Signer"));

    // Named with /csp, without /v, the refusal is why nothing was found,
    // and the error says so.
    const RunResult named = signtool({"sign", "/csp", copy, "/kc", "k", files[0]}, env);
    QVERIFY(!named.ok());
    QVERIFY2(named.output.contains(QStringLiteral("No certificates were found"))
                 && named.output.contains(QStringLiteral("Passed over the PKCS#11 module ") + copy
                                          + ": it is not used: " + modules + " is writable by group root."),
             qPrintable(named.output));
}

namespace {

// signtool.exe with the module registrations in `registrations` (NAME.module
// files) as p11-kit's registry. Root reads no user's registry, so as root
// the folder takes the place of the packages' registry folder in a mount
// namespace of the run's own (nothing else on the machine sees it); a user
// has it as the user's own registry ($HOME/.config/pkcs11/modules). The
// result has `skipped` set when no mount namespace can be made.
RunResult signtoolWithRegistry(const QString &registrations, const QStringList &args, QProcessEnvironment env,
                               bool &skipped)
{
    const QString tool = sdkToolPath(QStringLiteral("signtool.exe"));
    skipped = false;
    if (::geteuid() != 0) {
        const QString home = registrations + QStringLiteral("/home");
        const QString folder = home + QStringLiteral("/.config/pkcs11/modules");
        QDir().mkpath(folder);
        for (const QString &name : QDir(registrations).entryList({QStringLiteral("*.module")}, QDir::Files))
            QFile::copy(registrations + "/" + name, folder + "/" + name);
        env.insert(QStringLiteral("HOME"), home);
        return runProgram(tool, args, env, 120000);
    }
    const QString script = QStringLiteral("mount --bind \"$1\" /usr/share/p11-kit/modules || exit 97\n"
                                          "shift\nexec \"$@\"\n");
    const RunResult run = runProgram(QStringLiteral("unshare"),
                                     QStringList{"--mount", "--propagation", "private", "--", "sh", "-c", script,
                                                 "sh", registrations, tool}
                                         + args,
                                     env, 120000);
    skipped = !run.started || run.exitCode == 97;
    return run;
}

} // namespace

// A module registered with p11-kit is code loaded into root's process too:
// one whose file lies in a folder another user may write is never opened
// (its constructor would run before any check could), with the same note as
// for QUILLMARK_PKCS11_MODULE, and the store's certificate signs.
void TestSignToolTokens::registeredModuleOfAnotherUserIsNeverLoaded()
{
    QM_SKIP_UNLESS_ROOT(nobody);
    const QString modules = newFolder();
    const QString planted = modules + QStringLiteral("/libplanted.so");
    QVERIFY(QFile::copy(QStringLiteral(QUILLMARK_MARKER_PKCS11), planted));
    QVERIFY(::chmod(QFile::encodeName(modules).constData(), 0775) == 0);
    const QString registrations = newFolder();
    QVERIFY(writeBytes(registrations + "/planted.module", "module: " + QFile::encodeName(planted) + "\n"));
    const QString marker = newFolder() + QStringLiteral("/loaded");
    const QString store = newFolder();
    const KeyAndCert inStore = certificate(QStringLiteral("Store Beside Planted"), 100);
    QVERIFY(writePkcs12(store + "/in-store.pfx", inStore));

    QProcessEnvironment env = storeEnvironment(store);
    env.remove(QStringLiteral("QUILLMARK_PKCS11_MODULE"));
    env.insert(QStringLiteral("QUILLMARK_TEST_PKCS11_MARKER"), marker);
    const QStringList files = peFiles(1);
    bool skipped = false;
    const RunResult run = signtoolWithRegistry(registrations, {"sign", "/a", "/v", files[0]}, env, skipped);
    if (skipped)
        QSKIP("no mount namespace can be made here for a registry of the test's own");
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(!QFileInfo::exists(marker), "root loaded a module that another user could have placed");
    QVERIFY2(run.output.contains(QStringLiteral("Passed over the PKCS#11 module ") + planted + ": it is not used: "
                                 + modules + " is writable by group root."),
             qPrintable(run.output));
    QCOMPARE(verifiedSigner(files[0], inStore), QStringLiteral("Store Beside Planted"));
}

// A registered module that no other user could have placed is loaded (and
// only then does its code run), as root or not.
void TestSignToolTokens::registeredTrustedModuleIsLoaded()
{
    const QString modules = newFolder();
    const QString module = modules + QStringLiteral("/libmarker.so");
    QVERIFY(QFile::copy(QStringLiteral(QUILLMARK_MARKER_PKCS11), module));
    QVERIFY(::chmod(QFile::encodeName(modules).constData(), 0755) == 0);
    const QString registrations = newFolder();
    QVERIFY(writeBytes(registrations + "/marker.module", "module: " + QFile::encodeName(module) + "\n"));
    const QString marker = newFolder() + QStringLiteral("/loaded");
    const QString store = newFolder();
    QVERIFY(writePkcs12(store + "/in-store.pfx", certificate(QStringLiteral("Store Beside Marker"), 100)));

    QProcessEnvironment env = storeEnvironment(store);
    env.remove(QStringLiteral("QUILLMARK_PKCS11_MODULE"));
    env.insert(QStringLiteral("QUILLMARK_TEST_PKCS11_MARKER"), marker);
    const QStringList files = peFiles(1);
    bool skipped = false;
    const RunResult run = signtoolWithRegistry(registrations, {"sign", "/a", files[0]}, env, skipped);
    if (skipped)
        QSKIP("no mount namespace can be made here for a registry of the test's own");
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(fileBytes(marker).startsWith("loaded\n"), "the registered module was not loaded");
}

QTEST_GUILESS_MAIN(TestSignToolTokens)
#include "tst_signtool_tokens.moc"
