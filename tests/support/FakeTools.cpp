#include "FakeTools.h"

#include "TestData.h"

#include <QFile>
#include <QStandardPaths>

namespace testdata {

QProcessEnvironment fakeOsslsigncode(const QString &folder, const QByteArray &body)
{
    const QString real = QStandardPaths::findExecutable(QStringLiteral("osslsigncode"));
    const QByteArray prelude = "#!/bin/sh\n"
                               "real='" + real.toUtf8() + "'\n"
                               "prev=\n"
                               "for a; do\n"
                               "  case \"$prev\" in -in) in=\"$a\";; -out) out=\"$a\";; esac\n"
                               "  prev=\"$a\"\n"
                               "done\n";
    const QString script = folder + "/osslsigncode";
    if (!writeBytes(script, prelude + body)
        || !QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        qFatal("cannot write the stand-in osslsigncode");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), folder + ":" + env.value(QStringLiteral("PATH")));
    return env;
}

QProcessEnvironment osslsigncodeForProgramFiles(QProcessEnvironment env)
{
    if (env.isEmpty())
        env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUILLMARK_PE_SIGNER"), QStringLiteral("osslsigncode"));
    return env;
}

} // namespace testdata
