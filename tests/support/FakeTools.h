#pragma once

// A stand-in osslsigncode for black-box tests of signtool.exe: a shell
// script of the test's own, found on PATH before the real program.

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>

namespace testdata {

// Writes `folder`/osslsigncode running `body` and returns the environment
// that finds it first. Before `body` runs, $in and $out hold the values of
// -in and -out and $real the path of the real osslsigncode ("exec "$real"
// "$@"" passes the call on); "$@" is left as it was.
QProcessEnvironment fakeOsslsigncode(const QString &folder, const QByteArray &body);

// `env` (the system's when empty) with program files signed by osslsigncode
// children instead of in signtool.exe's own process.
QProcessEnvironment osslsigncodeForProgramFiles(QProcessEnvironment env = {});

} // namespace testdata
