#include "TsaServer.h"

namespace testdata {

TsaServer::TsaServer(const QString &mode, const QString &certPem, const QString &keyPem, const QString &log,
                     const Timing &timing, const Https &https, const QString &folder)
{
    QStringList arguments{"--mode", mode, "--cert", certPem, "--key", keyPem, "--lifetime",
                          QString::number(timing.lifetimeSeconds)};
    if (!log.isEmpty())
        arguments << "--log" << log;
    if (timing.answerDelayMs > 0)
        arguments << "--delay-ms" << QString::number(timing.answerDelayMs);
    if (!folder.isEmpty())
        arguments << "--folder" << folder;
    if (!https.certPem.isEmpty())
        arguments << "--tls-cert" << https.certPem << "--tls-key" << https.keyPem;
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(QUILLMARK_TSA_SERVER), arguments);
    if (!m_process.waitForStarted(10000))
        return;
    QByteArray line;
    while (!line.endsWith('\n') && m_process.waitForReadyRead(10000))
        line += m_process.readLine();
    if (line.startsWith("PORT "))
        m_url = QStringLiteral("%1://127.0.0.1:%2/tsa")
                    .arg(https.certPem.isEmpty() ? "http" : "https")
                    .arg(line.mid(5).trimmed().toInt());
}

TsaServer::~TsaServer()
{
    // The server ends as its standard input closes.
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

} // namespace testdata
