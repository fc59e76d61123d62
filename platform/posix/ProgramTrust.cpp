#include "platform/Platform.h"
#include "safefile/TrustedProgram.h"

namespace platform {

QString programRefusalForRoot(const QString &path)
{
    const QByteArray bytes = encodeFileName(path);
    return decodeFileName(QByteArray::fromStdString(
        safefile::programRefusalForRoot(std::string(bytes.constData(), size_t(bytes.size())))));
}

} // namespace platform
