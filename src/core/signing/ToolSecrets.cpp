#include "signing/ToolSecrets.h"

#include "platform/Platform.h"

#include <openssl/crypto.h>

namespace {

// A switch as the SDK tools read it: "/" or "-", then letters and digits
// only (or "?"); its name in lower case, else empty.
QString switchName(const QString &argument)
{
    if (argument.size() < 2 || (argument.front() != u'/' && argument.front() != u'-'))
        return {};
    const QString name = argument.mid(1);
    if (name == u"?")
        return name;
    for (const QChar c : name) {
        if (!(c.isDigit() || (c.toLatin1() >= 'a' && c.toLatin1() <= 'z') || (c.toLatin1() >= 'A' && c.toLatin1() <= 'Z')))
            return {};
    }
    return name.toLower();
}

QString fileNameOf(const QString &path)
{
    return path.mid(path.lastIndexOf(u'/') + 1).toLower();
}

// Moves the value at `index` into the secrets and puts the descriptor's
// switch and number in place of the switch and value.
void takeSecret(ToolSecretHandOver &handOver, qsizetype index, const QString &descriptorSwitch)
{
    handOver.secrets.append(platform::encodeFileName(handOver.arguments.at(index + 1)));
    handOver.arguments[index] = descriptorSwitch;
    handOver.arguments[index + 1] = QString::number(2 + handOver.secrets.size());
}

// signtool.exe: the verb, then switches up to the first file; a switch that
// takes a value takes the next argument whatever it looks like.
void handOverSigntool(ToolSecretHandOver &handOver)
{
    static const QStringList takesValue{QStringLiteral("f"),  QStringLiteral("p"),  QStringLiteral("pfd"),
                                        QStringLiteral("sha1"), QStringLiteral("n"), QStringLiteral("fd"),
                                        QStringLiteral("t"),  QStringLiteral("tr"), QStringLiteral("td"),
                                        QStringLiteral("d"),  QStringLiteral("du"), QStringLiteral("mt")};
    QStringList &arguments = handOver.arguments;
    if (arguments.isEmpty() || arguments.front().compare(u"sign", Qt::CaseInsensitive) != 0)
        return;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString name = switchName(arguments.at(i));
        if (name.isEmpty())
            return; // the first file: the rest are files
        if (!takesValue.contains(name) || i + 1 >= arguments.size())
            continue;
        if (name == u"p")
            takeSecret(handOver, i, arguments.at(i).front() + QStringLiteral("pfd"));
        ++i;
    }
}

// pvk2pfx.exe: switches and their values in any order.
void handOverPvk2pfx(ToolSecretHandOver &handOver)
{
    static const QStringList takesValue{QStringLiteral("pvk"), QStringLiteral("pi"),   QStringLiteral("spc"),
                                        QStringLiteral("pfx"), QStringLiteral("po"),   QStringLiteral("pifd"),
                                        QStringLiteral("pofd")};
    QStringList &arguments = handOver.arguments;
    for (qsizetype i = 0; i + 1 < arguments.size(); ++i) {
        const QString name = switchName(arguments.at(i));
        if (!takesValue.contains(name))
            continue;
        if (name == u"pi" || name == u"po")
            takeSecret(handOver, i, arguments.at(i) + QStringLiteral("fd"));
        ++i;
    }
}

} // namespace

ToolSecretHandOver HandSecretsOver(const QString &programPath, const QStringList &arguments)
{
    ToolSecretHandOver handOver;
    handOver.arguments = arguments;
    const QString program = fileNameOf(programPath);
    if (program == u"signtool.exe")
        handOverSigntool(handOver);
    else if (program == u"pvk2pfx.exe")
        handOverPvk2pfx(handOver);
    return handOver;
}

void WipeSecrets(QList<QByteArray> &secrets)
{
    for (QByteArray &secret : secrets) {
        if (!secret.isEmpty())
            OPENSSL_cleanse(secret.data(), size_t(secret.size()));
    }
    secrets.clear();
}
