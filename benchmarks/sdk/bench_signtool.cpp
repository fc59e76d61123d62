// signtool.exe's signing pool against osslsigncode run once per file, one
// after another, in the same run:
//
//   bench_signtool [all|timestamp|plain] [files] [rounds]
//
// timestamp  100 files (or `files`), each time-stamped (RFC 3161, /tr) by a
//            local test server on 127.0.0.1 that answers after 200 ms and
//            serves requests in parallel (quillmark_tsa_server):
//              signtool.exe sign /f PFX /p PW /tr URL FILE...
//            against, per file,
//              osslsigncode sign -pkcs12 PFX -pass PW -h sha256 -ts URL -in F -out F.signed
//            Target: a ratio of at most 0.3.
// plain      200 small files (or `files`) without a time stamp; target: at
//            most 0.7 on 2 cores.
//
// Both sides are started the same way (posix_spawn, output to /dev/null)
// and timed with a monotonic clock; the order alternates between rounds.
// Prints the median of each side and the ratio signtool / one by one. The
// files signtool.exe signed are checked with "osslsigncode verify".

#include "support/TestData.h"
#include "support/TsaServer.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
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

struct Setup {
    QTemporaryDir dir;
    std::string pfx;
    std::string password = "bench-pass";
    QString signerPem, tsaPem, tsaKey;
    std::string signtool;
};

bool prepare(Setup &setup)
{
    const auto signer = testdata::makeCertificate();
    testdata::CertOptions tsaOptions;
    tsaOptions.commonName = QStringLiteral("Quillmark Bench Time Stamping");
    tsaOptions.usage = testdata::Usage::TimeStamping;
    const auto tsa = testdata::makeCertificate(tsaOptions);
    const QString pfx = setup.dir.filePath(QStringLiteral("bench.pfx"));
    setup.signerPem = setup.dir.filePath(QStringLiteral("signer.pem"));
    setup.tsaPem = setup.dir.filePath(QStringLiteral("tsa.pem"));
    setup.tsaKey = setup.dir.filePath(QStringLiteral("tsa.key"));
    setup.pfx = pfx.toStdString();
    setup.signtool = testdata::sdkToolPath(QStringLiteral("signtool.exe")).toStdString();
    return setup.dir.isValid() && !signer.isNull() && !tsa.isNull()
           && testdata::writePkcs12(pfx, signer, QString::fromStdString(setup.password))
           && testdata::writeCertificatePem(setup.signerPem, signer) && testdata::writeCertificatePem(setup.tsaPem, tsa)
           && testdata::writePrivateKeyPem(setup.tsaKey, tsa);
}

// One benchmark: `files` files per round, signed by signtool.exe in one run
// and by osslsigncode once per file; `url` empty for no time stamp.
bool compare(Setup &setup, const char *name, int files, int rounds, const std::string &url, double target)
{
    std::vector<double> viaSigntool, oneByOne;
    std::string checkFile;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::string> setA, setB;
        for (int i = 0; i < files; ++i) {
            const QString a = setup.dir.filePath(QStringLiteral("%1-r%2-a%3.exe").arg(name).arg(round).arg(i));
            const QString b = setup.dir.filePath(QStringLiteral("%1-r%2-b%3.exe").arg(name).arg(round).arg(i));
            testdata::writePeFile(a, static_cast<quint32>(i));
            testdata::writePeFile(b, static_cast<quint32>(i));
            setA.push_back(a.toStdString());
            setB.push_back(b.toStdString());
        }
        checkFile = setA.back();

        auto runSigntool = [&] {
            std::vector<std::string> args{setup.signtool, "sign", "/f", setup.pfx, "/p", setup.password};
            if (!url.empty())
                args.insert(args.end(), {"/tr", url});
            args.insert(args.end(), setA.begin(), setA.end());
            const auto start = std::chrono::steady_clock::now();
            const int rc = spawnAndWait(args);
            viaSigntool.push_back(secondsSince(start));
            return rc == 0;
        };
        auto runOneByOne = [&] {
            bool ok = true;
            const auto start = std::chrono::steady_clock::now();
            for (const auto &file : setB) {
                std::vector<std::string> args{"osslsigncode", "sign", "-pkcs12", setup.pfx, "-pass", setup.password,
                                              "-h", "sha256"};
                if (!url.empty())
                    args.insert(args.end(), {"-ts", url});
                args.insert(args.end(), {"-in", file, "-out", file + ".signed"});
                ok = spawnAndWait(args) == 0 && ok;
            }
            oneByOne.push_back(secondsSince(start));
            return ok;
        };
        const bool ok = round % 2 ? (runOneByOne() && runSigntool()) : (runSigntool() && runOneByOne());
        if (!ok) {
            std::fprintf(stderr, "%s: signing failed in round %d\n", name, round + 1);
            return false;
        }
    }

    // The timed work must have produced real, time-stamped signatures.
    QStringList verify{"verify", "-in", QString::fromStdString(checkFile), "-CAfile", setup.signerPem};
    if (!url.empty())
        verify << "-TSA-CAfile" << setup.tsaPem;
    const auto check = testdata::runProgram(QStringLiteral("osslsigncode"), verify);
    if (!check.ok() || (!url.empty() && !check.output.contains(QLatin1String("Timestamp Server Signature verification: ok")))) {
        std::fprintf(stderr, "%s: signtool.exe's output does not verify:\n%s\n", name, qPrintable(check.output));
        return false;
    }

    const double s = median(viaSigntool);
    const double d = median(oneByOne);
    std::printf("%s: %d files per round, %d round(s), %u cores\n", name, files, rounds,
                std::thread::hardware_concurrency());
    std::printf("  signtool.exe (pool):        %7.3f s  (%6.1f ms per file, median)\n", s, 1000 * s / files);
    std::printf("  osslsigncode one by one:    %7.3f s  (%6.1f ms per file, median)\n", d, 1000 * d / files);
    std::printf("  ratio signtool / one by one: %.3f  (target: at most %.1f)%s\n", s / d, target,
                s / d <= target ? "" : "  ABOVE TARGET");
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const std::string which = argc > 1 ? argv[1] : "all";
    const int files = argc > 2 ? std::max(1, std::atoi(argv[2])) : 0;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 0;
    if (which != "all" && which != "timestamp" && which != "plain") {
        std::fprintf(stderr, "usage: bench_signtool [all|timestamp|plain] [files] [rounds]\n");
        return 2;
    }

    Setup setup;
    if (!prepare(setup)) {
        std::fprintf(stderr, "cannot prepare the test data\n");
        return 1;
    }
    // Token modules play no part here.
    qputenv("QUILLMARK_PKCS11_MODULE", "/nonexistent");

    bool ok = true;
    if (which != "plain") {
        // Answers after 200 ms, a thread per request.
        const testdata::TsaServer server(QStringLiteral("rfc3161"), setup.tsaPem, setup.tsaKey, QString(),
                                         testdata::TsaServer::Timing{200, 900});
        if (server.url().isEmpty()) {
            std::fprintf(stderr, "the time-stamp server did not start\n");
            return 1;
        }
        ok = compare(setup, "timestamp", files ? files : 100, rounds ? rounds : 1, server.url().toStdString(), 0.3) && ok;
    }
    if (which != "timestamp")
        ok = compare(setup, "plain", files ? files : 200, rounds ? rounds : 3, std::string(), 0.7) && ok;
    return ok ? 0 : 1;
}
