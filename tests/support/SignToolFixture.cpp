#include "SignToolFixture.h"

namespace testdata {

bool SignToolFixture::useSigner(const KeyAndCert &cert, const QString &password)
{
    m_cert = cert;
    m_pfx = m_root.filePath(QStringLiteral("signer.pfx"));
    m_caPem = m_root.filePath(QStringLiteral("signer.pem"));
    return m_root.isValid() && !cert.isNull() && writePkcs12(m_pfx, cert, password)
           && writeCertificatePem(m_caPem, cert);
}

RunResult SignToolFixture::signtool(const QStringList &args, const QProcessEnvironment &env, int timeoutMs)
{
    return runProgram(sdkToolPath(QStringLiteral("signtool.exe")), args, env, timeoutMs);
}

QProcessEnvironment SignToolFixture::storeEnvironment(const QString &store)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUILLMARK_CERT_STORE"), store);
    return env;
}

KeyAndCert SignToolFixture::certificate(const QString &commonName, int daysLeft, Usage usage, int startsInDays)
{
    CertOptions options;
    options.commonName = commonName;
    options.usage = usage;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    options.notBefore = startsInDays > 0 ? now.addDays(startsInDays) : now.addDays(-400);
    options.notAfter = now.addDays(daysLeft);
    return makeCertificate(options);
}

QString SignToolFixture::signerSubject(const RunResult &verify)
{
    for (const QString &line : verify.output.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1String("Subject:")))
            return trimmed.mid(int(qstrlen("Subject:"))).trimmed();
    }
    return {};
}

} // namespace testdata
