#pragma once

// Splitting a long file list into consecutive runs of the signing tool, so
// that no run asks for more argument space than the system gives a new
// program. Pure functions over byte counts; the system's figures come from
// platform::childArgumentSpace().
//
// What a run costs is what the kernel copies for exec: every argument
// string with its terminating NUL and its pointer in argv, the program's
// path once more (exec copies the file name too), and the terminating null
// pointer. The environment is taken off the space beforehand.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

struct ArgumentLimits {
    // Bytes left for argv (strings, NULs and pointers) after the
    // environment and the safety margin.
    std::int64_t total = 0;
    // Longest single argument, its NUL included, that the system takes.
    std::int64_t perArgument = 0;
};

// One run: files first .. first + count - 1 of the list (0-based).
struct FileBatch {
    int first = 0;
    int count = 0;
    friend bool operator==(const FileBatch &, const FileBatch &) = default;
};

// The space a program may use for its arguments, given the system's
// ARG_MAX and what the environment takes (strings, NULs and pointers): a
// margin of a sixteenth, at least 4 KiB, is kept back for what exec adds
// that is not counted here (alignment, the auxiliary vector, a changed
// environment). Never negative.
std::int64_t UsableArgumentSpace(std::int64_t argMax, std::int64_t environmentBytes);

// Bytes that one argument of `length` bytes costs: the bytes, the NUL and
// the pointer.
std::int64_t ArgumentCost(std::int64_t length);

// Consecutive batches, in list order, of the files whose argument costs
// are given, each as long as the fixed part (program and options) plus its
// files fits into the budget. A file that fits into no batch (alone too
// big, or longer than perArgument) goes into a batch of its own, shared
// only with such neighbours, so that their run fails alone and once. When
// the fixed part alone exceeds the budget, every run would fail the same
// way: then all files form one batch and the failure is reported once. No
// files give no batch.
QList<FileBatch> SplitIntoBatches(std::int64_t fixedCost, const QList<std::int64_t> &fileLengths,
                                  const ArgumentLimits &limits);

// The batches for running `program` with the option arguments and one
// argument per file, as the runner encodes them for exec.
QList<FileBatch> PlanSignBatches(const QString &program, const QStringList &optionArguments,
                                 const QStringList &files, const ArgumentLimits &limits);

// 12000 -> "12,000": digits in groups of three, whatever the locale, as
// the console line of a batch shows them.
QString GroupedNumber(std::int64_t number);

// The console line before a batch: "Files 1 to 5,000 of 12,000:".
QString BatchHeader(const FileBatch &batch, int totalFiles);

// The console's last line after several batches: "Files signed: 11,998 of
// 12,000".
QString SignedTotalLine(int signedFiles, int totalFiles);
