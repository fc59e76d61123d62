// Overhead of the stand-in signtool.exe over osslsigncode itself.
//
//   bench_signtool [files=50] [rounds=5]
//
// Each round signs `files` small PE files once through
//   signtool.exe sign /f PFX /p PASSWORD FILE...        (one run)
// and once through
//   osslsigncode sign -pkcs12 PFX -pass PASSWORD -h sha256 -in F -out F.signed
// per file, the work the stand-in hands to osslsigncode. Both are started
// the same way (posix_spawn, output to /dev/null) and timed with a monotonic
// clock; the order alternates between rounds. Prints the median of each and
// the ratio signtool / osslsigncode.

#include "support/TestData.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace {

int spawnAndWait(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int files = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

    QTemporaryDir dir;
    const auto cert = testdata::makeCertificate();
    const QString pfx = dir.filePath(QStringLiteral("bench.pfx"));
    const QString password = QStringLiteral("bench-pass");
    if (!dir.isValid() || cert.isNull() || !testdata::writePkcs12(pfx, cert, password)) {
        std::fprintf(stderr, "cannot prepare the test data\n");
        return 1;
    }
    const std::string signtool = testdata::sdkToolPath(QStringLiteral("signtool.exe")).toStdString();

    std::vector<double> viaSigntool, direct;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::string> setA, setB;
        for (int i = 0; i < files; ++i) {
            const QString a = dir.filePath(QStringLiteral("r%1-a%2.exe").arg(round).arg(i));
            const QString b = dir.filePath(QStringLiteral("r%1-b%2.exe").arg(round).arg(i));
            testdata::writePeFile(a, static_cast<quint32>(i));
            testdata::writePeFile(b, static_cast<quint32>(i));
            setA.push_back(a.toStdString());
            setB.push_back(b.toStdString());
        }

        auto runSigntool = [&] {
            std::vector<std::string> args{signtool, "sign", "/f", pfx.toStdString(), "/p", password.toStdString()};
            args.insert(args.end(), setA.begin(), setA.end());
            const auto start = std::chrono::steady_clock::now();
            const int rc = spawnAndWait(args);
            viaSigntool.push_back(secondsSince(start));
            return rc == 0;
        };
        auto runDirect = [&] {
            bool ok = true;
            const auto start = std::chrono::steady_clock::now();
            for (const auto &file : setB) {
                ok = spawnAndWait({"osslsigncode", "sign", "-pkcs12", pfx.toStdString(), "-pass",
                                   password.toStdString(), "-h", "sha256", "-in", file, "-out", file + ".signed"})
                         == 0
                     && ok;
            }
            direct.push_back(secondsSince(start));
            return ok;
        };
        const bool ok = round % 2 ? (runDirect() && runSigntool()) : (runSigntool() && runDirect());
        if (!ok) {
            std::fprintf(stderr, "signing failed in round %d\n", round + 1);
            return 1;
        }
    }

    // The timed work must have produced real signatures.
    if (!testdata::verifySignature(QString::fromStdString(dir.filePath("r0-a0.exe").toStdString())).started
        || testdata::fileBytes(dir.filePath("r0-a0.exe")) == testdata::peFileBytes(0)) {
        std::fprintf(stderr, "signtool.exe did not sign the files\n");
        return 1;
    }

    const double s = median(viaSigntool);
    const double d = median(direct);
    std::printf("files per round:            %d (rounds: %d)\n", files, rounds);
    std::printf("signtool.exe /f /p:         %.3f s  (%.1f ms per file, median)\n", s, 1000 * s / files);
    std::printf("osslsigncode direct:        %.3f s  (%.1f ms per file, median)\n", d, 1000 * d / files);
    std::printf("ratio signtool / direct:    %.3f  (overhead %+.1f %%)\n", s / d, 100 * (s / d - 1));
    return 0;
}
