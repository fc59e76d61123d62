#include "filelist/FileListEntry.h"

#include <QDir>

namespace filelist {

std::optional<SplitPath> splitPath(const QString &path, const QString &currentFolder)
{
    QString trimmed = path;
    if (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    if (trimmed.isEmpty())
        return std::nullopt;

    const QString absolute = QDir::cleanPath(
        QDir::isAbsolutePath(trimmed) ? trimmed : currentFolder + QLatin1Char('/') + trimmed);
    // cleanPath keeps a leading "//" on some systems; a folder text never
    // starts with two slashes here.
    QString clean = absolute;
    while (clean.startsWith(QLatin1String("//")))
        clean.remove(0, 1);
    if (!clean.startsWith(QLatin1Char('/')) || clean == QLatin1String("/"))
        return std::nullopt;

    const qsizetype slash = clean.lastIndexOf(QLatin1Char('/'));
    SplitPath split;
    split.folder = clean.left(slash + 1);
    split.name = clean.mid(slash + 1);
    if (split.name.isEmpty() || split.name == QLatin1String("..") || split.name == QLatin1String("."))
        return std::nullopt;
    return split;
}

QString folderText(const QString &folder)
{
    QString clean = QDir::cleanPath(folder);
    while (clean.startsWith(QLatin1String("//")))
        clean.remove(0, 1);
    if (!clean.endsWith(QLatin1Char('/')))
        clean.append(QLatin1Char('/'));
    return clean;
}

QUrl fileUrl(const QString &path)
{
    if (!platform::holdsUndecodableBytes(path))
        return QUrl::fromLocalFile(path);
    return QUrl::fromEncoded("file://" + platform::encodeFileName(path).toPercentEncoding("/"));
}

QString sizeText(qint64 bytes, const QLocale &locale)
{
    qint64 kilobytes = 0;
    if (bytes > 0)
        kilobytes = qMax<qint64>(1, (bytes + 512) / 1024);
    // The C locale leaves out group separators by default; this column
    // always shows them.
    QLocale withGroups = locale;
    withGroups.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return withGroups.toString(kilobytes) + QStringLiteral(" KB");
}

QString changedText(const QDateTime &when, const QLocale &locale)
{
    if (!when.isValid())
        return {};
    const QDateTime local = when.toLocalTime();
    return locale.toString(local.date(), QLocale::ShortFormat) + QLatin1Char(' ')
        + locale.toString(local.time(), QLocale::ShortFormat);
}

int naturalCompare(const QString &a, const QString &b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            // Compare the runs of digits by value: skip leading zeros, then a
            // longer run is larger, else the first differing digit decides.
            qsizetype startA = i;
            qsizetype startB = j;
            while (i < a.size() && a.at(i).isDigit())
                ++i;
            while (j < b.size() && b.at(j).isDigit())
                ++j;
            while (startA < i - 1 && a.at(startA) == QLatin1Char('0'))
                ++startA;
            while (startB < j - 1 && b.at(startB) == QLatin1Char('0'))
                ++startB;
            const qsizetype lengthA = i - startA;
            const qsizetype lengthB = j - startB;
            if (lengthA != lengthB)
                return lengthA < lengthB ? -1 : 1;
            for (qsizetype k = 0; k < lengthA; ++k) {
                const int digitA = a.at(startA + k).digitValue();
                const int digitB = b.at(startB + k).digitValue();
                if (digitA != digitB)
                    return digitA < digitB ? -1 : 1;
            }
            continue;
        }
        const char16_t charA = a.at(i).toCaseFolded().unicode();
        const char16_t charB = b.at(j).toCaseFolded().unicode();
        if (charA != charB)
            return charA < charB ? -1 : 1;
        ++i;
        ++j;
    }
    const qsizetype restA = a.size() - i;
    const qsizetype restB = b.size() - j;
    if (restA != restB)
        return restA < restB ? -1 : 1;
    return 0;
}

} // namespace filelist

QString FileCountCaption(int count)
{
    return QStringLiteral("Files to be Digitally Signed: (") + QString::number(count)
        + QLatin1Char(')');
}

QString BareFileCountCaption()
{
    return QStringLiteral("Files to be Digitally Signed:");
}
