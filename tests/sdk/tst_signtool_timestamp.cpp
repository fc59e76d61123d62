// signtool.exe time stamps against a time-stamp server that the test runs on
// 127.0.0.1 (quillmark_tsa_server: RFC 3161 through OpenSSL's TS responder,
// and the Authenticode protocol). Every result is checked with
// "osslsigncode verify", which checks the time stamp against the test's TSA
// certificate too.

#include "support/FakeTools.h"
#include "support/RefusingPort.h"
#include "support/SignToolFixture.h"
#include "support/TestData.h"
#include "support/TsaServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace testdata;

class TestSignToolTimeStamp : public QObject, private SignToolFixture {
    Q_OBJECT

private:
    QString m_tsaPem, m_tsaKey;

    QString peFile()
    {
        const QString file = newFolder() + QStringLiteral("/app.exe");
        if (!writePeFile(file, ++m_files))
            qFatal("cannot write a PE file");
        return file;
    }

    // `trustedPem`: the only certificates an HTTPS server may chain to.
    // `proxy`: the HTTP proxy of the environment.
    RunResult signtool(const QStringList &options, const QString &file, const QString &timeoutSeconds = {},
                       const QString &trustedPem = {}, const QString &proxy = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy", "NO_PROXY"})
            env.remove(QString::fromLatin1(name));
        if (!proxy.isEmpty())
            env.insert(QStringLiteral("http_proxy"), proxy);
        env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"), QStringLiteral("/nonexistent"));
        if (!timeoutSeconds.isEmpty())
            env.insert(QStringLiteral("QUILLMARK_TIMESTAMP_TIMEOUT"), timeoutSeconds);
        if (!trustedPem.isEmpty()) {
            env.insert(QStringLiteral("SSL_CERT_FILE"), trustedPem);
            env.insert(QStringLiteral("SSL_CERT_DIR"), newFolder());
        }
        // The digest named, as the newest SignTool requires (options may name another).
        return SignToolFixture::signtool(QStringList{"sign", "/f", m_pfx, "/fd", "sha256"} + options
                                             + QStringList{file},
                                         env);
    }

    // osslsigncode's verdict on the signature and its time stamp.
    RunResult verifyWithTimeStamp(const QString &file)
    {
        return runProgram(QStringLiteral("osslsigncode"),
                          {"verify", "-in", file, "-CAfile", m_caPem, "-TSA-CAfile", m_tsaPem});
    }

    quint32 m_files = 0;

    QStringList requests(const QString &log) { return QString::fromUtf8(fileBytes(log)).split('\n', Qt::SkipEmptyParts); }

private slots:
    void initTestCase();
    void rfc3161WithChosenDigests_data();
    void rfc3161WithChosenDigests();
    void authenticodeProtocol();
    void authenticodeFallsBackToRfc3161();
    void appendedSignatureGetsTheTimeStamp();
    void serverThatNeverAnswersLeavesFileUntouched_data();
    void serverThatNeverAnswersLeavesFileUntouched();
    void refusedEverywhereLeavesFileUntouched();
    void signingCallMakesTheTimeStamp_data();
    void signingCallMakesTheTimeStamp();
    void failedSignatureIsNotCalledATimeStampFailure();
    void endlessAnswerIsCutAndLeavesFileUntouched_data();
    void endlessAnswerIsCutAndLeavesFileUntouched();
    void httpsServerMustProveItsName_data();
    void httpsServerMustProveItsName();
    void serverIsReachedThroughTheProxy();
    void refusedPortFailsAtOnce_data();
    void refusedPortFailsAtOnce();
    void tricklingServerCostsOneDeadline_data();
    void tricklingServerCostsOneDeadline();
    void retryOfSlashTSharesTheDeadline();
};

void TestSignToolTimeStamp::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(QFileInfo(sdkToolPath(QStringLiteral("signtool.exe"))).isExecutable(), "signtool.exe not built");
    QVERIFY(useSigner(makeCertificate()));
    CertOptions tsa;
    tsa.commonName = QStringLiteral("Quillmark Test Time Stamping");
    tsa.usage = Usage::TimeStamping;
    const KeyAndCert tsaPair = makeCertificate(tsa);
    QVERIFY(!tsaPair.isNull());
    m_tsaPem = m_root.filePath(QStringLiteral("tsa.pem"));
    m_tsaKey = m_root.filePath(QStringLiteral("tsa.key"));
    QVERIFY(writeCertificatePem(m_tsaPem, tsaPair));
    QVERIFY(writePrivateKeyPem(m_tsaKey, tsaPair));
}

void TestSignToolTimeStamp::rfc3161WithChosenDigests_data()
{
    QTest::addColumn<QString>("fileDigest");
    QTest::addColumn<QString>("stampDigest");
    QTest::addColumn<QString>("shownDigest"); // as osslsigncode verify names the file's
    QTest::newRow("defaults") << QString() << QString() << "SHA256";
    QTest::newRow("sha512 file, sha384 stamp") << "sha512" << "sha384" << "SHA512";
    QTest::newRow("sha384 file, sha512 stamp") << "SHA384" << "SHA512" << "SHA384";
}

void TestSignToolTimeStamp::rfc3161WithChosenDigests()
{
    QFETCH(QString, fileDigest);
    QFETCH(QString, stampDigest);
    QFETCH(QString, shownDigest);
    const QString log = newFolder() + QStringLiteral("/requests");
    TsaServer server(QStringLiteral("rfc3161"), m_tsaPem, m_tsaKey, log);
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");

    QStringList options{"/tr", server.url()};
    if (!fileDigest.isEmpty())
        options << "/fd" << fileDigest;
    if (!stampDigest.isEmpty())
        options << "/td" << stampDigest;
    const QString file = peFile();
    const RunResult run = signtool(options, file);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(run.output.contains(QStringLiteral("Successfully signed: ") + file));
    QCOMPARE(requests(log),
             QStringList{QStringLiteral("rfc3161 ") + (stampDigest.isEmpty() ? QStringLiteral("sha256") : stampDigest.toLower())});

    const RunResult verify = verifyWithTimeStamp(file);
    QVERIFY2(verify.ok(), qPrintable(verify.output));
    QVERIFY2(verify.output.contains(QLatin1String("Timestamp Server Signature verification: ok")), qPrintable(verify.output));
    QVERIFY2(verify.output.contains(QStringLiteral("Message digest algorithm  : ") + shownDigest), qPrintable(verify.output));
}

void TestSignToolTimeStamp::authenticodeProtocol()
{
    const QString log = newFolder() + QStringLiteral("/requests");
    TsaServer server(QStringLiteral("authenticode"), m_tsaPem, m_tsaKey, log);
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = peFile();
    const RunResult run = signtool({"/t", server.url()}, file);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY(!run.output.contains(QLatin1String("SignTool Warning")));
    QCOMPARE(requests(log), QStringList{"authenticode"});
    const RunResult verify = verifyWithTimeStamp(file);
    QVERIFY2(verify.ok(), qPrintable(verify.output));
    QVERIFY2(verify.output.contains(QLatin1String("Timestamp Server Signature verification: ok")), qPrintable(verify.output));
}

// Most servers speak only RFC 3161 today; a URL given with /t still gets a
// time stamp, and the output says how.
void TestSignToolTimeStamp::authenticodeFallsBackToRfc3161()
{
    const QString log = newFolder() + QStringLiteral("/requests");
    TsaServer server(QStringLiteral("rfc3161"), m_tsaPem, m_tsaKey, log);
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = peFile();
    const RunResult run = signtool({"/t", server.url(), "/v"}, file);
    QVERIFY2(run.ok(), qPrintable(run.output));
    QVERIFY2(run.output.contains(QStringLiteral("SignTool Warning: ") + server.url()
                                 + " did not answer the Authenticode time-stamp protocol"),
             qPrintable(run.output));
    QVERIFY(run.output.contains(QLatin1String("RFC 3161 (SHA-256)")));
    QVERIFY2(run.output.contains(QLatin1String("Number of warnings: 1")), qPrintable(run.output));
    QCOMPARE(requests(log), (QStringList{"refused authenticode", "rfc3161 sha256"}));
    const RunResult verify = verifyWithTimeStamp(file);
    QVERIFY2(verify.ok(), qPrintable(verify.output));
    QVERIFY2(verify.output.contains(QLatin1String("Timestamp Server Signature verification: ok")), qPrintable(verify.output));
}

// With /as the time stamp belongs to the signature just appended, not to the
// one the file had before.
void TestSignToolTimeStamp::appendedSignatureGetsTheTimeStamp()
{
    const QString log = newFolder() + QStringLiteral("/requests");
    TsaServer server(QStringLiteral("rfc3161"), m_tsaPem, m_tsaKey, log);
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = peFile();
    RunResult run = signtool({}, file);
    QVERIFY2(run.ok(), qPrintable(run.output));
    run = signtool({"/as", "/fd", "sha512", "/tr", server.url()}, file);
    QVERIFY2(run.ok(), qPrintable(run.output));

    const RunResult verify = verifyWithTimeStamp(file);
    QVERIFY2(verify.ok(), qPrintable(verify.output));
    const QStringList sections = verify.output.split(QStringLiteral("Signature Index: "));
    QCOMPARE(sections.size(), 3); // text before, signature 0, signature 1
    QVERIFY2(sections[1].startsWith('0') && !sections[1].contains(QLatin1String("Timestamp time")),
             qPrintable(sections[1]));
    QVERIFY2(sections[2].startsWith('1') && sections[2].contains(QLatin1String("Timestamp time"))
                 && sections[2].contains(QLatin1String("SHA512")),
             qPrintable(sections[2]));
}

void TestSignToolTimeStamp::serverThatNeverAnswersLeavesFileUntouched_data()
{
    QTest::addColumn<QString>("timestampSwitch");
    QTest::newRow("/t") << "/t";
    QTest::newRow("/tr") << "/tr";
}

// The time-out is 60 s; the test shortens it through the environment.
void TestSignToolTimeStamp::serverThatNeverAnswersLeavesFileUntouched()
{
    QFETCH(QString, timestampSwitch);
    const QString log = newFolder() + QStringLiteral("/requests");
    TsaServer server(QStringLiteral("silent"), m_tsaPem, m_tsaKey, log);
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = peFile();
    const QByteArray original = fileBytes(file);
    const QStringList before = entries(QFileInfo(file).path());

    QElapsedTimer timer;
    timer.start();
    const RunResult run = signtool({timestampSwitch, server.url()}, file, QStringLiteral("2"));
    QVERIFY2(timer.elapsed() < 30000, "the time-out did not end the request");
    QVERIFY(timer.elapsed() >= 1900);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QStringLiteral("SignTool Error: Time-stamping ") + file
                                 + " failed: the time-stamp server did not answer (" + server.url() + ")"),
             qPrintable(run.output));
    QVERIFY(!run.output.contains(QLatin1String("Successfully signed")));
    QCOMPARE(requests(log), QStringList{"silent"}); // no second try at a silent server
    QCOMPARE(fileBytes(file), original);
    QCOMPARE(entries(QFileInfo(file).path()), before);
}

void TestSignToolTimeStamp::refusedEverywhereLeavesFileUntouched()
{
    const QString log = newFolder() + QStringLiteral("/requests");
    // An Authenticode-only server refuses the RFC 3161 request of /tr.
    TsaServer server(QStringLiteral("authenticode"), m_tsaPem, m_tsaKey, log);
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = peFile();
    const QByteArray original = fileBytes(file);
    const RunResult run = signtool({"/tr", server.url()}, file);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QStringLiteral("SignTool Error: Time-stamping ") + file + " at " + server.url()
                                 + " failed"),
             qPrintable(run.output));
    QCOMPARE(fileBytes(file), original);
}

// Where one signature is made, osslsigncode asks for the time stamp while
// it signs: one run over the file, no second "add" run that reads and writes
// it all again. A time stamp of its own digest (/td) or for an appended
// signature still takes the "add" step, and so does the RFC 3161 retry of
// a /t server that does not speak the Authenticode protocol.
void TestSignToolTimeStamp::signingCallMakesTheTimeStamp_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("options"); // URL appended
    QTest::addColumn<QStringList>("calls");   // osslsigncode's, by verb
    QTest::newRow("/tr") << "rfc3161" << QStringList{"/tr"} << QStringList{"sign"};
    QTest::newRow("/tr, /td as /fd") << "rfc3161" << QStringList{"/fd", "sha384", "/td", "sha384", "/tr"}
                                     << QStringList{"sign"};
    QTest::newRow("/tr, /td of its own") << "rfc3161" << QStringList{"/td", "sha512", "/tr"}
                                         << QStringList{"sign", "add"};
    QTest::newRow("/t") << "authenticode" << QStringList{"/t"} << QStringList{"sign"};
    // The signature without a time stamp tells a failed signature from a
    // failed time stamp; then the retry.
    QTest::newRow("/t answered with RFC 3161") << "rfc3161" << QStringList{"/t"}
                                               << QStringList{"sign", "sign", "add"};
}

void TestSignToolTimeStamp::signingCallMakesTheTimeStamp()
{
    QFETCH(QString, mode);
    QFETCH(QStringList, options);
    QFETCH(QStringList, calls);
    const QString record = newFolder();
    QProcessEnvironment env = fakeOsslsigncode(
        newFolder(), QStringLiteral("echo \"$1\" >> '%1/calls'\nexec \"$real\" \"$@\"\n").arg(record).toUtf8());
    env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"), QStringLiteral("/nonexistent"));
    TsaServer server(mode, m_tsaPem, m_tsaKey, QString());
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = peFile();
    // osslsigncode signs program files as the environment asks (without,
    // the tool signs and stamps them itself).
    const RunResult run = SignToolFixture::signtool(QStringList{"sign", "/f", m_pfx} + options
                                                        + QStringList{server.url(), file},
                                                    osslsigncodeForProgramFiles(env));
    QVERIFY2(run.ok(), qPrintable(run.output));
    QCOMPARE(requests(record + "/calls"), calls);
    const RunResult verify = verifyWithTimeStamp(file);
    QVERIFY2(verify.output.contains(QLatin1String("Timestamp Server Signature verification: ok")), qPrintable(verify.output));
}

// A signature that fails while a time stamp was asked for in the same call
// is reported as what it is, with osslsigncode's reason.
void TestSignToolTimeStamp::failedSignatureIsNotCalledATimeStampFailure()
{
    const QString record = newFolder();
    QProcessEnvironment env = fakeOsslsigncode(
        newFolder(), QStringLiteral("echo \"$1\" >> '%1/calls'\necho 'Simulated signing failure'\nexit 1\n")
                         .arg(record)
                         .toUtf8());
    env.insert(QStringLiteral("QUILLMARK_PKCS11_MODULE"), QStringLiteral("/nonexistent"));
    const QString file = peFile();
    const QByteArray original = fileBytes(file);
    const QStringList before = entries(QFileInfo(file).path());
    const RunResult run =
        SignToolFixture::signtool({"sign", "/f", m_pfx, "/tr", "http://127.0.0.1:9/tsa", file},
                                  osslsigncodeForProgramFiles(env));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QStringLiteral("SignTool Error: Signing ") + file
                                 + " failed: Simulated signing failure"),
             qPrintable(run.output));
    QVERIFY2(!run.output.contains(QLatin1String("Time-stamping")), qPrintable(run.output));
    QCOMPARE(requests(record + "/calls"), (QStringList{"sign", "sign"}));
    QCOMPARE(fileBytes(file), original);
    QTRY_COMPARE_WITH_TIMEOUT(entries(QFileInfo(file).path()), before, 5000);
}

void TestSignToolTimeStamp::endlessAnswerIsCutAndLeavesFileUntouched_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("timestampSwitch");
    QTest::newRow("4 GB Content-Length, /tr") << "huge-length" << "/tr";
    QTest::newRow("endless chunked body, /tr") << "endless-chunked" << "/tr";
    QTest::newRow("4 GB Content-Length, /t") << "huge-length" << "/t";
}

// A server that answers without end: the answer is cut at 1 MB, long before
// the time-out, and the file is left as it was; no second request is made.
void TestSignToolTimeStamp::endlessAnswerIsCutAndLeavesFileUntouched()
{
    QFETCH(QString, mode);
    QFETCH(QString, timestampSwitch);
    const QString log = newFolder() + QStringLiteral("/requests");
    TsaServer server(mode, m_tsaPem, m_tsaKey, log);
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = peFile();
    const QByteArray original = fileBytes(file);
    const QStringList before = entries(QFileInfo(file).path());

    QElapsedTimer timer;
    timer.start();
    const RunResult run = signtool({timestampSwitch, server.url()}, file, QStringLiteral("20"));
    QVERIFY2(timer.elapsed() < 15000, "the answer was not cut before the time-out");
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QStringLiteral("SignTool Error: Time-stamping ") + file
                                 + " failed: the time-stamp server's answer was too large (" + server.url()
                                 + " sent more than 1 MB); the file was left as it was."),
             qPrintable(run.output));
    QVERIFY(!run.output.contains(QLatin1String("Successfully signed")));
    QCOMPARE(requests(log), QStringList{mode});
    QCOMPARE(fileBytes(file), original);
    QTRY_COMPARE_WITH_TIMEOUT(entries(QFileInfo(file).path()), before, 5000);
}

// Over HTTPS the server's certificate must chain to a trusted one and name
// the host of the URL (here the address 127.0.0.1); otherwise nothing is
// sent to it and the file stays as it was.
void TestSignToolTimeStamp::httpsServerMustProveItsName_data()
{
    QTest::addColumn<QString>("name");    // the server certificate's subjectAltName
    QTest::addColumn<bool>("trusted");    // whether it is the trusted certificate
    QTest::addColumn<QString>("reason");  // empty: time-stamped
    QTest::newRow("trusted, names the address") << "IP:127.0.0.1" << true << QString();
    QTest::newRow("not trusted") << "IP:127.0.0.1" << false << "self-signed certificate";
    QTest::newRow("names another host") << "DNS:tsa.example.org" << true << "IP address mismatch";
    QTest::newRow("names another address") << "IP:127.0.0.2" << true << "IP address mismatch";
}

void TestSignToolTimeStamp::httpsServerMustProveItsName()
{
    QFETCH(QString, name);
    QFETCH(bool, trusted);
    QFETCH(QString, reason);
    const QString folder = newFolder();
    CertOptions options;
    options.commonName = QStringLiteral("127.0.0.1");
    options.usage = Usage::ServerAuthOnly;
    options.subjectAltName = name;
    const KeyAndCert server = makeCertificate(options);
    options.subjectAltName = QStringLiteral("IP:127.0.0.1");
    const KeyAndCert other = makeCertificate(options);
    const QString serverPem = folder + "/server.pem", serverKey = folder + "/server.key",
                  trustedPem = folder + "/trusted.pem";
    QVERIFY(writeCertificatePem(serverPem, server) && writePrivateKeyPem(serverKey, server)
            && writeCertificatePem(trustedPem, trusted ? server : other));
    const QString log = folder + "/requests";
    TsaServer tsa(QStringLiteral("rfc3161"), m_tsaPem, m_tsaKey, log, TsaServer::Timing{}, {serverPem, serverKey});
    QVERIFY2(tsa.url().startsWith(QLatin1String("https://")), "the time-stamp server did not start");

    const QString file = peFile();
    const QByteArray original = fileBytes(file);
    const RunResult run = signtool({"/tr", tsa.url()}, file, QStringLiteral("20"), trustedPem);
    if (reason.isEmpty()) {
        QVERIFY2(run.ok(), qPrintable(run.output));
        // A server name is a host name, never an address (RFC 6066).
        QCOMPARE(requests(log), (QStringList{"tls server name (none)", "rfc3161 sha256"}));
        const RunResult verify = verifyWithTimeStamp(file);
        QVERIFY2(verify.output.contains(QLatin1String("Timestamp Server Signature verification: ok")),
                 qPrintable(verify.output));
        return;
    }
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QStringLiteral("its certificate was refused: ") + reason), qPrintable(run.output));
    QCOMPARE(fileBytes(file), original);
    // The server notes the refused handshake once the tool has gone, which
    // may be after the tool's exit was seen here.
    QTRY_COMPARE_WITH_TIMEOUT(requests(log), QStringList{QStringLiteral("tls refused")}, 5000);
}

// A proxy in the environment (http_proxy) carries the request to the
// server, here to a name that only the proxy could resolve; the test server
// answers a proxy's request as its own.
void TestSignToolTimeStamp::serverIsReachedThroughTheProxy()
{
    const QString log = newFolder() + QStringLiteral("/requests");
    TsaServer proxy(QStringLiteral("rfc3161"), m_tsaPem, m_tsaKey, log);
    QVERIFY2(!proxy.url().isEmpty(), "the time-stamp server did not start");
    const QString proxyUrl = proxy.url().chopped(int(qstrlen("tsa")));
    const QString file = peFile();
    const RunResult run = signtool({"/tr", QStringLiteral("http://tsa.invalid/tsa")}, file, QStringLiteral("20"), {},
                                   proxyUrl);
    QVERIFY2(run.ok(), qPrintable(run.output));
    // The relay's checked request, not osslsigncode's own to the relay.
    QCOMPARE(requests(log), (QStringList{"proxied to tsa.invalid", "rfc3161 sha256"}));
    const RunResult verify = verifyWithTimeStamp(file);
    QVERIFY2(verify.output.contains(QLatin1String("Timestamp Server Signature verification: ok")), qPrintable(verify.output));
}


void TestSignToolTimeStamp::refusedPortFailsAtOnce_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("timestampSwitch");
    QTest::newRow("http, /tr") << "http" << "/tr";
    QTest::newRow("https, /tr") << "https" << "/tr";
    QTest::newRow("http, /t") << "http" << "/t";
    QTest::newRow("https, /t") << "https" << "/t";
}

// A server whose port refuses the connection fails the file at once, over
// https as over http, and /t's RFC 3161 retry is refused at once too: none
// of them waits for the time-out (here 20 s).
void TestSignToolTimeStamp::refusedPortFailsAtOnce()
{
    QFETCH(QString, scheme);
    QFETCH(QString, timestampSwitch);
    const RefusingPort refusing;
    QVERIFY2(refusing.port() != 0, "no free port was found");
    const QString url = QStringLiteral("%1://127.0.0.1:%2/tsa").arg(scheme).arg(refusing.port());
    const QString file = peFile();
    const QByteArray original = fileBytes(file);

    QElapsedTimer timer;
    timer.start();
    const RunResult run = signtool({timestampSwitch, url}, file, QStringLiteral("20"));
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QStringLiteral("SignTool Error: Time-stamping ") + file + " at " + url + " failed: "),
             qPrintable(run.output));
    QVERIFY2(run.output.contains(QLatin1String("Connection refused")), qPrintable(run.output));
    QVERIFY2(elapsed < 10000, qPrintable(QStringLiteral("a refused port took %1 ms").arg(elapsed)));
    QCOMPARE(fileBytes(file), original);
}

void TestSignToolTimeStamp::tricklingServerCostsOneDeadline_data()
{
    QTest::addColumn<QString>("timestampSwitch");
    QTest::newRow("/tr") << "/tr";
    QTest::newRow("/t") << "/t";
}

// A server that answers at once but sends its reply a byte a second has the
// time-out once, counted from the request, and the message names that
// time-out: no fresh one for the body, none for /t's retry.
void TestSignToolTimeStamp::tricklingServerCostsOneDeadline()
{
    QFETCH(QString, timestampSwitch);
    const QString log = newFolder() + QStringLiteral("/requests");
    TsaServer server(QStringLiteral("trickle"), m_tsaPem, m_tsaKey, log);
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = peFile();
    const QByteArray original = fileBytes(file);

    QElapsedTimer timer;
    timer.start();
    const RunResult run = signtool({timestampSwitch, server.url()}, file, QStringLiteral("6"));
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QStringLiteral("SignTool Error: Time-stamping ") + file
                                 + " failed: the time-stamp server did not answer (" + server.url()
                                 + ") within 6 seconds."),
             qPrintable(run.output));
    QVERIFY2(elapsed >= 5500 && elapsed < 9000,
             qPrintable(QStringLiteral("a time-out of 6 s took %1 ms").arg(elapsed)));
    QCOMPARE(requests(log), QStringList{"trickle"});
    QCOMPARE(fileBytes(file), original);
}

// /t's RFC 3161 retry has what is left of the first request's time-out:
// a server that refuses the Authenticode request after 5 s and would answer
// the retry after 5 s more fails within the 8 s the message names.
void TestSignToolTimeStamp::retryOfSlashTSharesTheDeadline()
{
    TsaServer::Timing slow;
    slow.answerDelayMs = 5000;
    TsaServer server(QStringLiteral("rfc3161"), m_tsaPem, m_tsaKey, QString(), slow);
    QVERIFY2(!server.url().isEmpty(), "the time-stamp server did not start");
    const QString file = peFile();
    const QByteArray original = fileBytes(file);

    QElapsedTimer timer;
    timer.start();
    const RunResult run = signtool({"/t", server.url()}, file, QStringLiteral("8"));
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains(QStringLiteral("SignTool Error: Time-stamping ") + file
                                 + " failed: the time-stamp server did not answer (" + server.url()
                                 + ") within 8 seconds."),
             qPrintable(run.output));
    QVERIFY2(elapsed < 9800, qPrintable(QStringLiteral("a time-out of 8 s took %1 ms").arg(elapsed)));
    QCOMPARE(fileBytes(file), original);
}

QTEST_GUILESS_MAIN(TestSignToolTimeStamp)

#include "tst_signtool_timestamp.moc"
