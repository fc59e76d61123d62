#pragma once

// The common ground of the black-box tests of signtool.exe: the folders of
// TestFolders.h, a signer certificate written there as a PFX file (for /f)
// and as PEM (for "osslsigncode verify -CAfile"), and the tool run with an
// argument vector. A test class derives from QObject first and from this
// second.

#include "support/TestData.h"
#include "support/TestFolders.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace testdata {

class SignToolFixture : protected TestFolders {
protected:
    // Writes `cert` as m_pfx (with `password`, none when empty) and m_caPem.
    bool useSigner(const KeyAndCert &cert, const QString &password = {});

    static RunResult signtool(const QStringList &args, const QProcessEnvironment &env = {},
                              int timeoutMs = 120000);

    // The system environment with QUILLMARK_CERT_STORE set to `store`.
    static QProcessEnvironment storeEnvironment(const QString &store);

    // A certificate valid since 400 days (or from `startsInDays` on, when
    // above 0) for `daysLeft` more days.
    static KeyAndCert certificate(const QString &commonName, int daysLeft, Usage usage = Usage::CodeSigning,
                                  int startsInDays = 0);

    // The signer's subject as "osslsigncode verify" prints it ("/CN=..."),
    // empty when the report names none.
    static QString signerSubject(const RunResult &verify);

    KeyAndCert m_cert;
    QString m_pfx;
    QString m_caPem;
};

} // namespace testdata
