#pragma once

// A time-stamp server for one test, on 127.0.0.1 and a free port: the
// program quillmark_tsa_server (tests/sdk/tsa_server.cpp), which answers RFC
// 3161 through OpenSSL's TS responder and the Authenticode protocol, or, in
// mode "silent", accepts and never answers. It ends when this object goes,
// and by itself after a few minutes.

#include <QProcess>
#include <QString>

namespace testdata {

class TsaServer {
public:
    // `mode`: "rfc3161", "authenticode", "both" or "silent"; each request is
    // logged as a line to `log` ("rfc3161 sha256", "authenticode",
    // "refused authenticode", "silent").
    TsaServer(const QString &mode, const QString &certPem, const QString &keyPem, const QString &log);
    ~TsaServer();
    TsaServer(const TsaServer &) = delete;
    TsaServer &operator=(const TsaServer &) = delete;

    // "http://127.0.0.1:PORT/tsa"; empty when the server did not start.
    QString url() const { return m_url; }

private:
    QProcess m_process;
    QString m_url;
};

} // namespace testdata
