#include "signing/SignBatches.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace {

constexpr std::int64_t PointerSize = sizeof(char *);

// The argv terminator and the copy of the program's path that exec makes
// besides argv[0].
std::int64_t programCost(const QByteArray &program)
{
    return ArgumentCost(program.size()) + program.size() + 1 + PointerSize;
}

} // namespace

std::int64_t UsableArgumentSpace(std::int64_t argMax, std::int64_t environmentBytes)
{
    const std::int64_t margin = std::max<std::int64_t>(4096, argMax / 16);
    return std::max<std::int64_t>(0, argMax - environmentBytes - margin);
}

std::int64_t ArgumentCost(std::int64_t length)
{
    return length + 1 + PointerSize;
}

QList<FileBatch> SplitIntoBatches(std::int64_t fixedCost, const QList<std::int64_t> &fileLengths,
                                  const ArgumentLimits &limits)
{
    QList<FileBatch> batches;
    const int files = int(fileLengths.size());
    if (files == 0)
        return batches;
    if (fixedCost > limits.total) {
        batches.append({0, files});
        return batches;
    }

    auto passable = [&](std::int64_t length) {
        return length + 1 <= limits.perArgument
            && fixedCost + ArgumentCost(length) <= limits.total;
    };

    FileBatch current;
    std::int64_t used = fixedCost;
    bool lastIsUnfit = false;   // the last batch holds files that fit nowhere
    for (int i = 0; i < files; ++i) {
        const std::int64_t length = fileLengths.at(i);
        if (!passable(length)) {
            // Apart from the others, so that only these files' run fails,
            // and together with unfit neighbours, so that it fails once.
            if (current.count > 0) {
                batches.append(current);
                lastIsUnfit = false;
            }
            if (lastIsUnfit)
                ++batches.last().count;
            else
                batches.append({i, 1});
            lastIsUnfit = true;
            current = {i + 1, 0};
            used = fixedCost;
            continue;
        }
        const std::int64_t cost = ArgumentCost(length);
        if (current.count > 0 && used + cost > limits.total) {
            batches.append(current);
            current = {i, 0};
            used = fixedCost;
        }
        used += cost;
        ++current.count;
        lastIsUnfit = false;
    }
    if (current.count > 0)
        batches.append(current);
    return batches;
}

QList<FileBatch> PlanSignBatches(const QString &program, const QStringList &optionArguments,
                                 const QStringList &files, const ArgumentLimits &limits)
{
    // The runner makes a relative program path absolute before exec.
    QString absoluteProgram = program;
    if (!program.startsWith(u'/'))
        absoluteProgram = QDir::currentPath() + u'/' + program;
    std::int64_t fixedCost = programCost(QFile::encodeName(absoluteProgram));
    for (const QString &option : optionArguments) {
        const std::int64_t length = QFile::encodeName(option).size();
        // An option that the system refuses fails every run alike.
        if (length + 1 > limits.perArgument)
            fixedCost = limits.total + 1;
        else
            fixedCost += ArgumentCost(length);
    }

    QList<std::int64_t> lengths;
    lengths.reserve(files.size());
    for (const QString &file : files)
        lengths.append(QFile::encodeName(file).size());
    return SplitIntoBatches(fixedCost, lengths, limits);
}

QString GroupedNumber(std::int64_t number)
{
    const bool negative = number < 0;
    QString digits = QString::number(number);
    if (negative)
        digits.remove(0, 1);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, u',');
    return negative ? u'-' + digits : digits;
}

QString BatchHeader(const FileBatch &batch, int totalFiles)
{
    return QStringLiteral("Files %1 to %2 of %3:")
        .arg(GroupedNumber(batch.first + 1), GroupedNumber(batch.first + batch.count),
             GroupedNumber(totalFiles));
}

QString SignedTotalLine(int signedFiles, int totalFiles)
{
    return QStringLiteral("Files signed: %1 of %2")
        .arg(GroupedNumber(signedFiles), GroupedNumber(totalFiles));
}
