#pragma once

// Test PKCS#11 tokens and PIN dialogs, made at run time in a folder the test
// chooses:
//   - SoftHsmToken: a SoftHSM2 token of its own (its own softhsm2.conf and
//     token folder, reached through SOFTHSM2_CONF), into which a test imports
//     key pairs and certificates with matching CKA_IDs;
//   - ScriptedPinentry: a stand-in pinentry that speaks the Assuan protocol,
//     answers GETPIN with a given PIN or cancels, and records each GETPIN and
//     SETDESC so a test can count how often the PIN was asked.

#include "support/TestData.h"

#include <QProcessEnvironment>
#include <QString>

namespace testdata {

class SoftHsmToken {
public:
    // Initializes a token labelled `label` with user PIN `pin` in `folder`.
    SoftHsmToken(const QString &folder, const QString &label, const QString &pin);

    bool ok() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }

    // The key (its private and public halves) and the certificate, all with
    // CKA_ID `id` (hex, e.g. "01").
    bool importPair(const KeyAndCert &pair, const QString &id, const QString &objectLabel);
    // Only the certificate: a token certificate without its key.
    bool importCertificate(const KeyAndCert &pair, const QString &id, const QString &objectLabel);

    // Deletes the private key with CKA_ID `id`, leaving its public half.
    bool deletePrivateKey(const QString &id);

    // SOFTHSM2_CONF for this token added to `env`.
    void addTo(QProcessEnvironment &env) const;

    // SoftHSM2's PKCS#11 module; empty when SoftHSM2 is not installed.
    static QString modulePath();
    // Why token tests cannot run here, or empty when they can.
    static QString missingTools();

private:
    bool run(const QString &program, const QStringList &arguments);

    QString m_folder;
    QString m_label;
    QString m_pin;
    QString m_config;
    QString m_error;
};

class ScriptedPinentry {
public:
    enum class Answer { Pin, Cancel, Hang }; // Hang: never answers GETPIN
    ScriptedPinentry(const QString &folder, Answer answer, const QString &pin = {});

    QString program() const { return m_program; }
    int timesAsked() const;       // GETPIN commands seen
    QString lastDescription() const; // the SETDESC text, decoded
    // QUILLMARK_PINENTRY for this pinentry added to `env`.
    void addTo(QProcessEnvironment &env) const;

private:
    QString m_program;
    QString m_record;
};

} // namespace testdata
