#include "SoftHsmToken.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <openssl/bio.h>
#include <openssl/x509.h>

namespace testdata {

namespace {

bool writeCertDer(const QString &path, X509 *cert)
{
    BIO *bio = BIO_new_file(QFile::encodeName(path).constData(), "wb");
    if (!bio)
        return false;
    const bool ok = i2d_X509_bio(bio, cert) == 1;
    BIO_free(bio);
    return ok;
}

} // namespace

QString SoftHsmToken::modulePath()
{
    for (const char *candidate : {"/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so",
                                  "/usr/lib/aarch64-linux-gnu/softhsm/libsofthsm2.so", "/usr/lib/softhsm/libsofthsm2.so"}) {
        if (QFileInfo::exists(QString::fromLatin1(candidate)))
            return QString::fromLatin1(candidate);
    }
    return {};
}

QString SoftHsmToken::missingTools()
{
    if (modulePath().isEmpty() || QStandardPaths::findExecutable(QStringLiteral("softhsm2-util")).isEmpty())
        return QStringLiteral("SoftHSM2 is not installed (Debian package softhsm2; see scripts/install-deps.sh)");
    if (QStandardPaths::findExecutable(QStringLiteral("pkcs11-tool")).isEmpty())
        return QStringLiteral("pkcs11-tool is not installed (Debian package opensc; see scripts/install-deps.sh)");
    return {};
}

SoftHsmToken::SoftHsmToken(const QString &folder, const QString &label, const QString &pin)
    : m_folder(folder), m_label(label), m_pin(pin), m_config(folder + QStringLiteral("/softhsm2.conf"))
{
    const QString tokens = folder + QStringLiteral("/tokens");
    if (!QDir().mkpath(tokens)) {
        m_error = QStringLiteral("cannot make ") + tokens;
        return;
    }
    const QByteArray config = "directories.tokendir = " + QFile::encodeName(tokens)
        + "\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n";
    if (!writeBytes(m_config, config)) {
        m_error = QStringLiteral("cannot write ") + m_config;
        return;
    }
    run(QStringLiteral("softhsm2-util"), {QStringLiteral("--init-token"), QStringLiteral("--free"),
                                          QStringLiteral("--label"), label, QStringLiteral("--pin"), pin,
                                          QStringLiteral("--so-pin"), QStringLiteral("87654321")});
}

bool SoftHsmToken::run(const QString &program, const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    addTo(env);
    const RunResult result = runProgram(program, arguments, env);
    if (!result.ok() && m_error.isEmpty())
        m_error = program + QStringLiteral(" failed: ") + result.output;
    return result.ok();
}

bool SoftHsmToken::importPair(const KeyAndCert &pair, const QString &id, const QString &objectLabel)
{
    const QString keyFile = m_folder + QStringLiteral("/key-") + id + QStringLiteral(".pem");
    if (!writePrivateKeyPem(keyFile, pair))
        return false;
    const bool imported = run(QStringLiteral("softhsm2-util"),
                              {QStringLiteral("--import"), keyFile, QStringLiteral("--token"), m_label,
                               QStringLiteral("--label"), objectLabel, QStringLiteral("--id"), id,
                               QStringLiteral("--pin"), m_pin});
    QFile::remove(keyFile);
    return imported && importCertificate(pair, id, objectLabel);
}

bool SoftHsmToken::importCertificate(const KeyAndCert &pair, const QString &id, const QString &objectLabel)
{
    const QString certFile = m_folder + QStringLiteral("/cert-") + id + QStringLiteral(".der");
    if (!writeCertDer(certFile, pair.cert.get()))
        return false;
    return run(QStringLiteral("pkcs11-tool"),
               {QStringLiteral("--module"), modulePath(), QStringLiteral("--token-label"), m_label,
                QStringLiteral("--login"), QStringLiteral("--pin"), m_pin, QStringLiteral("--write-object"), certFile,
                QStringLiteral("--type"), QStringLiteral("cert"), QStringLiteral("--id"), id,
                QStringLiteral("--label"), objectLabel});
}

bool SoftHsmToken::deletePrivateKey(const QString &id)
{
    return run(QStringLiteral("pkcs11-tool"),
               {QStringLiteral("--module"), modulePath(), QStringLiteral("--token-label"), m_label,
                QStringLiteral("--login"), QStringLiteral("--pin"), m_pin, QStringLiteral("--delete-object"),
                QStringLiteral("--type"), QStringLiteral("privkey"), QStringLiteral("--id"), id});
}

void SoftHsmToken::addTo(QProcessEnvironment &env) const
{
    env.insert(QStringLiteral("SOFTHSM2_CONF"), m_config);
}

ScriptedPinentry::ScriptedPinentry(const QString &folder, Answer answer, const QString &pin)
    : m_program(folder + QStringLiteral("/pinentry")), m_record(folder + QStringLiteral("/pinentry.log"))
{
    // The PIN goes out percent-encoded, as pinentry sends "%" itself.
    QByteArray encoded;
    for (const char c : pin.toUtf8()) {
        if (c == '%')
            encoded += "%25";
        else
            encoded += c;
    }
    const QByteArray getPin = answer == Answer::Pin    ? "printf 'D %s\\nOK\\n' '" + encoded + "'"
                              : answer == Answer::Hang ? QByteArray("exec sleep 600")
                                                       : QByteArray("echo 'ERR 83886179 Operation cancelled <Pinentry>'");
    const QByteArray script = "#!/bin/sh\n"
                              "log='" + QFile::encodeName(m_record) + "'\n"
                              "echo 'OK Pleased to meet you'\n"
                              "while IFS= read -r line; do\n"
                              "  case \"$line\" in\n"
                              "    GETPIN) echo GETPIN >> \"$log\"; " + getPin + " ;;\n"
                              "    SETDESC\\ *) echo \"$line\" >> \"$log\"; echo OK ;;\n"
                              "    BYE) echo OK; exit 0 ;;\n"
                              "    *) echo OK ;;\n"
                              "  esac\n"
                              "done\n";
    if (!writeBytes(m_program, script)
        || !QFile::setPermissions(m_program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        qFatal("cannot write the scripted pinentry");
}

int ScriptedPinentry::timesAsked() const
{
    return int(fileBytes(m_record).split('\n').count("GETPIN"));
}

QString ScriptedPinentry::lastDescription() const
{
    QString last;
    for (const QByteArray &line : fileBytes(m_record).split('\n')) {
        if (line.startsWith("SETDESC "))
            last = QString::fromUtf8(QByteArray::fromPercentEncoding(line.mid(8)));
    }
    return last;
}

void ScriptedPinentry::addTo(QProcessEnvironment &env) const
{
    env.insert(QStringLiteral("QUILLMARK_PINENTRY"), m_program);
}

} // namespace testdata
