#pragma once

// A time-stamp server for one test, on 127.0.0.1 and a free port: the
// program quillmark_tsa_server (tests/sdk/tsa_server.cpp), which answers RFC
// 3161 through OpenSSL's TS responder and the Authenticode protocol, or, in
// mode "silent", accepts and never answers. It ends when this object goes,
// and by itself after a few minutes. Tests and the signtool.exe benchmark
// share it.

#include <QProcess>
#include <QString>

namespace testdata {

class TsaServer {
public:
    struct Timing {
        int answerDelayMs = 0;    // each answer waits this long (requests run in parallel)
        int lifetimeSeconds = 200; // the server ends by itself after this long
    };

    // `mode`: "rfc3161", "authenticode", "both" or "silent"; each request is
    // logged as a line to `log` ("rfc3161 sha256", "authenticode",
    // "refused authenticode", "silent"), unless `log` is empty.
    // Served over HTTPS with this certificate (and its chain) and key.
    struct Https {
        QString certPem;
        QString keyPem;
    };

    // `folder`: for mode "revocation", where its CRLs and its list of
    // revoked serial numbers are (see tests/sdk/tsa_server.cpp).
    TsaServer(const QString &mode, const QString &certPem, const QString &keyPem, const QString &log,
              const Timing &timing, const Https &https = {}, const QString &folder = {});
    TsaServer(const QString &mode, const QString &certPem, const QString &keyPem, const QString &log)
        : TsaServer(mode, certPem, keyPem, log, Timing{})
    {
    }
    ~TsaServer();
    TsaServer(const TsaServer &) = delete;
    TsaServer &operator=(const TsaServer &) = delete;

    // "http://127.0.0.1:PORT/tsa" ("https://" with Https); empty when the
    // server did not start.
    QString url() const { return m_url; }
    // "http://127.0.0.1:PORT", to which paths such as "/crl/root.crl" are added.
    QString base() const { return m_url.left(m_url.lastIndexOf('/')); }

private:
    QProcess m_process;
    QString m_url;
};

} // namespace testdata
