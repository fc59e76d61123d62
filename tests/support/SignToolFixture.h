#pragma once

// The common ground of the black-box tests of signtool.exe: a temporary root
// with a fresh folder per case, a signer certificate written there as a PFX
// file (for /f) and as PEM (for "osslsigncode verify -CAfile"), and the tool
// run with an argument vector. A test class derives from QObject first and
// from this second.

#include "support/TestData.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace testdata {

class SignToolFixture {
protected:
    // Writes `cert` as m_pfx (with `password`, none when empty) and m_caPem.
    bool useSigner(const KeyAndCert &cert, const QString &password = {});

    // A new empty folder under the root: "case1", "case2", ...
    QString newFolder();

    // Every entry of `folder`, hidden ones included, sorted by name.
    static QStringList entries(const QString &folder);

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

    QTemporaryDir m_root;
    KeyAndCert m_cert;
    QString m_pfx;
    QString m_caPem;

private:
    int m_folders = 0;
};

} // namespace testdata
