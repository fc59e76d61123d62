// signtool.exe against osslsigncode in the same run, on the same kind of
// files (each side gets its own copies):
//
//   bench_signtool [all|timestamp|stamp-verb|plain|large|large-stamp|many|token] [count] [rounds]
//
// timestamp    100 small files (or `count`), each time-stamped (RFC 3161, /tr)
//              by a local test server on 127.0.0.1 that answers after 200 ms
//              and serves requests in parallel (quillmark_tsa_server):
//                signtool.exe sign /f PFX /p PW /tr URL FILE...
//              against, one file after another,
//                osslsigncode sign -pkcs12 PFX -pass PW -h sha256 -ts URL -in F -out F.signed
//              Target: a ratio of at most 0.3.
// stamp-verb   100 signed small files (or `count`) time-stamped afterwards
//              through the same server:
//                signtool.exe timestamp /tr URL /td sha256 FILE...
//              (program files stamped in signtool.exe's own process) against
//              the same command with QUILLMARK_PE_SIGNER=osslsigncode, which
//              runs one "osslsigncode add" per file as the tool did before it
//              stamped them itself. Target: at most 1.0 (no slower).
// plain        200 small files (or `count`) without a time stamp, against
//              osslsigncode one file after another; target at most 0.7.
// large        one PE file of 200 MB (or `count` MB) without a time stamp,
//              against osslsigncode signing it alone; signtool.exe signs
//              program files itself: targets at most 1.0 in CPU time and
//              1.1 in wall time.
// large-stamp  one PE file of 200 MB (or `count` MB) with /tr through the
//              server above, against osslsigncode sign -ts; target at most
//              1.3.
// many         1,000 small files (or `count`) without a time stamp, against
//              `xargs -P2` running osslsigncode once per file (two at a
//              time); targets at most 0.3 in CPU time and 0.5 in wall time.
// token        100 small files (or `count`) signed with the key of a SoftHSM2
//              token (signtool.exe sign /a /mt 2, the PIN from a scripted
//              pinentry), against another signtool.exe doing the same:
//              the build named in QUILLMARK_BENCH_BASELINE (say, one that
//              still signed every token file through osslsigncode). Only
//              with QUILLMARK_BENCH_BASELINE set; no target.
//
// Every side is started the same way (posix_spawn, output to /dev/null) and
// timed with a monotonic clock; the order alternates between rounds (3 by
// default, 1 for timestamp). Prints the minimum and the median of each side
// and their ratios, the CPU time each side used (user + system, its children
// included) and the load average before and after: on a busy machine whose
// scheduler shares the cores between sessions, wall time follows the CPU
// time, and work done side by side gains nothing. The last file
// signtool.exe signed is checked with "osslsigncode verify".
//
// QUILLMARK_BENCH_SIGNTOOL names another signtool.exe to measure (an older
// build, say) instead of this build's.
//
// What else moves the figures on a shared VM:
// - memory the host has taken back from the guest: writing a gigabyte into
//   such pages took osslsigncode ten times the CPU of writing into pages
//   the guest kept, whichever side it signed for (the rounds line shows
//   each round's CPU time beside the others');
// - on ext4 without a journal, files removed in the last 30 s: every file
//   made meanwhile passes over their inodes (leave half a minute between
//   two runs of "many").

#include "support/SoftHsmToken.h"
#include "support/TestData.h"
#include "support/TsaServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

// CPU seconds (user and system) of the programs run since the last reset,
// their children included.
double g_cpuSeconds = 0;

// `stdinFile` empty: /dev/null. `extraEnvironment`: NAME=VALUE entries
// added to this process's environment.
int spawnAndWait(const std::vector<std::string> &argv, const std::string &stdinFile = std::string(),
                 const std::vector<std::string> &extraEnvironment = {})
{
    std::vector<char *> environment;
    for (const auto &entry : extraEnvironment)
        environment.push_back(const_cast<char *>(entry.c_str()));
    for (char **e = environ; *e; ++e)
        environment.push_back(*e);
    environment.push_back(nullptr);
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinFile.empty() ? "/dev/null" : stdinFile.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    rusage usage {};
    wait4(pid, &status, 0, &usage);
    g_cpuSeconds += usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
                    + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
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

double minimum(const std::vector<double> &values)
{
    return *std::min_element(values.begin(), values.end());
}

std::string loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return "?";
    return file.readAll().trimmed().split(' ').mid(0, 3).join(' ').toStdString();
}

struct Setup {
    QTemporaryDir dir;
    // The token of "token": its certificate signs with /a.
    std::unique_ptr<testdata::SoftHsmToken> token;
    std::unique_ptr<testdata::ScriptedPinentry> pinentry;
    std::string baseline;
    testdata::KeyAndCert signer;
    std::string pfx;
    std::string password = "bench-pass";
    QString signerPem, tsaPem, tsaKey;
    std::string signtool;
};

bool prepare(Setup &setup)
{
    auto signer = testdata::makeCertificate();
    testdata::CertOptions tsaOptions;
    tsaOptions.commonName = QStringLiteral("Quillmark Bench Time Stamping");
    tsaOptions.usage = testdata::Usage::TimeStamping;
    const auto tsa = testdata::makeCertificate(tsaOptions);
    const QString pfx = setup.dir.filePath(QStringLiteral("bench.pfx"));
    setup.signerPem = setup.dir.filePath(QStringLiteral("signer.pem"));
    setup.tsaPem = setup.dir.filePath(QStringLiteral("tsa.pem"));
    setup.tsaKey = setup.dir.filePath(QStringLiteral("tsa.key"));
    setup.pfx = pfx.toStdString();
    const char *other = std::getenv("QUILLMARK_BENCH_SIGNTOOL");
    setup.signtool = other && *other ? std::string(other)
                                     : testdata::sdkToolPath(QStringLiteral("signtool.exe")).toStdString();
    const bool ok = setup.dir.isValid() && !signer.isNull() && !tsa.isNull()
                    && testdata::writePkcs12(pfx, signer, QString::fromStdString(setup.password))
                    && testdata::writeCertificatePem(setup.signerPem, signer)
                    && testdata::writeCertificatePem(setup.tsaPem, tsa) && testdata::writePrivateKeyPem(setup.tsaKey, tsa);
    setup.signer = std::move(signer);
    return ok;
}

struct Work {
    const char *name;
    int files;
    qint64 megabytes;    // 0: the small test PE file
    std::string url;     // empty: no time stamp
    enum class Peer { OneByOne, Alone, XargsP2, Baseline, StampThroughOsslsigncode } peer;
    double target;           // wall time
    double cpuTarget = 0;    // CPU time; 0: none
};

const char *peerName(Work::Peer peer)
{
    switch (peer) {
    case Work::Peer::OneByOne:
        return "osslsigncode one by one";
    case Work::Peer::Alone:
        return "osslsigncode alone";
    case Work::Peer::XargsP2:
        return "xargs -P2 of osslsigncode";
    case Work::Peer::Baseline:
        return "the baseline signtool.exe";
    case Work::Peer::StampThroughOsslsigncode:
        return "timestamp via osslsigncode add";
    }
    return "";
}

std::vector<std::string> osslsigncodeSign(const Setup &setup, const std::string &url)
{
    std::vector<std::string> args{"osslsigncode", "sign", "-pkcs12", setup.pfx, "-pass", setup.password,
                                  "-h", "sha256"};
    if (!url.empty())
        args.insert(args.end(), {"-ts", url});
    return args;
}

// signtool.exe's command line for `files`: the PFX, or with a token /a.
std::vector<std::string> signtoolSign(const std::string &program, const Setup &setup, const Work &work,
                                      const std::vector<std::string> &files)
{
    std::vector<std::string> args{program, "sign"};
    if (work.peer == Work::Peer::Baseline)
        args.insert(args.end(), {"/a", "/fd", "sha256", "/mt", "2"});
    else
        args.insert(args.end(), {"/f", setup.pfx, "/p", setup.password});
    if (!work.url.empty())
        args.insert(args.end(), {"/tr", work.url});
    args.insert(args.end(), files.begin(), files.end());
    return args;
}

// "timestamp" of `files` by signtool.exe; `viaOsslsigncode`: as before it
// stamped program files itself.
std::vector<std::string> stampCommand(const Setup &setup, const Work &work, const std::vector<std::string> &files)
{
    std::vector<std::string> args{setup.signtool, "timestamp", "/tr", work.url, "/td", "sha256"};
    args.insert(args.end(), files.begin(), files.end());
    return args;
}

bool runPeer(const Setup &setup, const Work &work, const std::vector<std::string> &files, const std::string &list)
{
    if (work.peer == Work::Peer::Baseline)
        return spawnAndWait(signtoolSign(setup.baseline, setup, work, files)) == 0;
    if (work.peer == Work::Peer::StampThroughOsslsigncode)
        return spawnAndWait(stampCommand(setup, work, files), {}, {"QUILLMARK_PE_SIGNER=osslsigncode"}) == 0;
    if (work.peer == Work::Peer::XargsP2) {
        std::vector<std::string> args{"xargs", "-P2", "-d", "\\n", "-I{}"};
        const auto sign = osslsigncodeSign(setup, work.url);
        args.insert(args.end(), sign.begin(), sign.end());
        args.insert(args.end(), {"-in", "{}", "-out", "{}.signed"});
        return spawnAndWait(args, list) == 0;
    }
    bool ok = true;
    for (const auto &file : files) {
        auto args = osslsigncodeSign(setup, work.url);
        args.insert(args.end(), {"-in", file, "-out", file + ".signed"});
        ok = spawnAndWait(args) == 0 && ok;
    }
    return ok;
}

bool verified(const Setup &setup, const Work &work, const std::string &file)
{
    QStringList verify{"verify", "-in", QString::fromStdString(file), "-CAfile", setup.signerPem};
    if (!work.url.empty())
        verify << "-TSA-CAfile" << setup.tsaPem;
    const auto check = testdata::runProgram(QStringLiteral("osslsigncode"), verify);
    if (!check.ok() || (!work.url.empty() && !check.output.contains(QLatin1String("Timestamp Server Signature verification: ok")))) {
        std::fprintf(stderr, "%s: %s does not verify:\n%s\n", work.name, file.c_str(), qPrintable(check.output));
        return false;
    }
    return true;
}

bool compare(Setup &setup, const Work &work, int rounds)
{
    std::vector<double> viaSigntool, viaPeer, cpuSigntool, cpuPeer;
    const std::string loadBefore = loadAverage();
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::string> setA, setB;
        std::string listB;
        for (int i = 0; i < work.files; ++i) {
            const QString a = setup.dir.filePath(QStringLiteral("%1-r%2-a%3.exe").arg(work.name).arg(round).arg(i));
            const QString b = setup.dir.filePath(QStringLiteral("%1-r%2-b%3.exe").arg(work.name).arg(round).arg(i));
            const bool written = work.megabytes > 0 ? testdata::writeLargePeFile(a, quint32(i), work.megabytes)
                                                          && testdata::writeLargePeFile(b, quint32(i), work.megabytes)
                                                    : testdata::writePeFile(a, quint32(i)) && testdata::writePeFile(b, quint32(i));
            if (!written) {
                std::fprintf(stderr, "%s: cannot write the test files\n", work.name);
                return false;
            }
            setA.push_back(a.toStdString());
            setB.push_back(b.toStdString());
            listB += b.toStdString() + "\n";
        }
        if (work.peer == Work::Peer::StampThroughOsslsigncode) {
            // Signed beforehand, untimed: only the time stamps are measured.
            std::vector<std::string> sign{setup.signtool, "sign", "/f", setup.pfx, "/p", setup.password, "/fd", "sha256"};
            sign.insert(sign.end(), setA.begin(), setA.end());
            sign.insert(sign.end(), setB.begin(), setB.end());
            if (spawnAndWait(sign) != 0) {
                std::fprintf(stderr, "%s: cannot sign the test files\n", work.name);
                return false;
            }
        }
        const std::string list = setup.dir.filePath(QStringLiteral("%1-r%2.list").arg(work.name).arg(round)).toStdString();
        if (!testdata::writeBytes(QString::fromStdString(list), QByteArray::fromStdString(listB)))
            return false;

        auto runSigntool = [&] {
            std::vector<std::string> args = signtoolSign(setup.signtool, setup, work, setA);
            if (work.peer == Work::Peer::StampThroughOsslsigncode)
                args = stampCommand(setup, work, setA);
            g_cpuSeconds = 0;
            const auto start = std::chrono::steady_clock::now();
            const int rc = spawnAndWait(args);
            viaSigntool.push_back(secondsSince(start));
            cpuSigntool.push_back(g_cpuSeconds);
            return rc == 0;
        };
        auto runOther = [&] {
            g_cpuSeconds = 0;
            const auto start = std::chrono::steady_clock::now();
            const bool ok = runPeer(setup, work, setB, list);
            viaPeer.push_back(secondsSince(start));
            cpuPeer.push_back(g_cpuSeconds);
            return ok;
        };
        const bool ok = round % 2 ? (runOther() && runSigntool()) : (runSigntool() && runOther());
        if (!ok) {
            std::fprintf(stderr, "%s: signing failed in round %d\n", work.name, round + 1);
            return false;
        }
        // The timed work must have produced real signatures.
        // A peer that is signtool.exe too (another build, or the same through
        // osslsigncode) signs in place: its files are checked the same way.
        const bool peerInPlace
            = work.peer == Work::Peer::Baseline || work.peer == Work::Peer::StampThroughOsslsigncode;
        if (!verified(setup, work, setA.back()) || (peerInPlace && !verified(setup, work, setB.back())))
            return false;
        // Small files stay until the end: on ext4 without a journal, making a
        // file passes over every inode freed in the last 30 s, so removing
        // 3,000 files here would slow every file the next round makes, the
        // bench's own and both sides' alike.
        if (work.megabytes > 0) {
            for (size_t i = 0; i < setA.size(); ++i) {
                QFile::remove(QString::fromStdString(setA[i]));
                QFile::remove(QString::fromStdString(setB[i]));
                QFile::remove(QString::fromStdString(setB[i] + ".signed"));
            }
        }
    }

    const double sMin = minimum(viaSigntool), sMed = median(viaSigntool);
    const double pMin = minimum(viaPeer), pMed = median(viaPeer);
    std::printf("%s: %d file(s) of %s per round, %d round(s), %u cores, load average %s before, %s after\n",
                work.name, work.files,
                work.megabytes > 0 ? (std::to_string(work.megabytes) + " MB").c_str() : "1 KB", rounds,
                std::thread::hardware_concurrency(), loadBefore.c_str(), loadAverage().c_str());
    std::printf("  signtool.exe:                  min %8.3f s  median %8.3f s  (%7.2f ms per file)\n", sMin, sMed,
                1000 * sMed / work.files);
    std::printf("  %-30s min %8.3f s  median %8.3f s  (%7.2f ms per file)\n", (std::string(peerName(work.peer)) + ":").c_str(),
                pMin, pMed, 1000 * pMed / work.files);
    if (work.target > 0)
        std::printf("  ratio signtool / peer: median %.3f, min %.3f  (target: at most %.2f)%s\n", sMed / pMed,
                    sMin / pMin, work.target, sMed / pMed <= work.target ? "" : "  ABOVE TARGET");
    else
        std::printf("  ratio signtool / peer: median %.3f, min %.3f\n", sMed / pMed, sMin / pMin);
    const double cpuRatio = median(cpuSigntool) / median(cpuPeer);
    std::printf("  CPU time (median): signtool.exe %.3f s, peer %.3f s, ratio %.3f", median(cpuSigntool),
                median(cpuPeer), cpuRatio);
    if (work.cpuTarget > 0)
        std::printf("  (target: at most %.2f)%s", work.cpuTarget, cpuRatio <= work.cpuTarget ? "" : "  ABOVE TARGET");
    std::printf("\n");
    // Each round, so that one the machine made costly stands out.
    std::printf("  rounds (wall / CPU s):");
    for (size_t i = 0; i < viaSigntool.size(); ++i)
        std::printf("  %.2f/%.2f vs %.2f/%.2f", viaSigntool[i], cpuSigntool[i], viaPeer[i], cpuPeer[i]);
    std::printf("\n");
    std::fflush(stdout);
    return true;
}

// A SoftHSM2 token holding the signer's key and certificate, the only
// module; a pinentry that gives its PIN; an empty store.
bool useToken(Setup &setup)
{
    const QString pin = QStringLiteral("2468");
    const QString folder = setup.dir.filePath(QStringLiteral("token"));
    if (!QDir().mkpath(folder + "/pinentry"))
        return false;
    setup.token = std::make_unique<testdata::SoftHsmToken>(folder, QStringLiteral("Bench Token"), pin);
    if (!setup.token->ok() || !setup.token->importPair(setup.signer, "b1", "bench")) {
        std::fprintf(stderr, "token: %s\n", qPrintable(setup.token->error()));
        return false;
    }
    setup.pinentry = std::make_unique<testdata::ScriptedPinentry>(folder + "/pinentry",
                                                                  testdata::ScriptedPinentry::Answer::Pin, pin);
    QProcessEnvironment env;
    setup.token->addTo(env);
    setup.pinentry->addTo(env);
    for (const QString &name : env.keys())
        qputenv(qPrintable(name), env.value(name).toUtf8());
    qputenv("QUILLMARK_PKCS11_MODULE", testdata::SoftHsmToken::modulePath().toUtf8());
    const QString store = setup.dir.filePath(QStringLiteral("empty-store"));
    qputenv("QUILLMARK_CERT_STORE", store.toUtf8());
    return QDir().mkpath(store);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const std::string which = argc > 1 ? argv[1] : "all";
    const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 0;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 0;
    const std::vector<std::string> known{"all",   "timestamp",   "stamp-verb", "plain",
                                         "large", "large-stamp", "many",       "token"};
    if (std::find(known.begin(), known.end(), which) == known.end()) {
        std::fprintf(stderr, "usage: bench_signtool [all|timestamp|stamp-verb|plain|large|large-stamp|many|token] "
                             "[count] [rounds]\n");
        return 2;
    }

    Setup setup;
    if (!prepare(setup)) {
        std::fprintf(stderr, "cannot prepare the test data\n");
        return 1;
    }
    // Token modules play no part here.
    qputenv("QUILLMARK_PKCS11_MODULE", "/nonexistent");

    // Answers after 200 ms, a thread per request.
    const testdata::TsaServer server(QStringLiteral("rfc3161"), setup.tsaPem, setup.tsaKey, QString(),
                                     testdata::TsaServer::Timing{200, 3600});
    const std::string url = server.url().toStdString();
    if (url.empty()) {
        std::fprintf(stderr, "the time-stamp server did not start\n");
        return 1;
    }
    auto wanted = [&](const char *name) { return which == "all" || which == name; };
    auto or_ = [](int given, int otherwise) { return given ? given : otherwise; };

    bool ok = true;
    if (wanted("large"))
        ok = compare(setup, {"large", 1, or_(count, 200), {}, Work::Peer::Alone, 1.1, 1.0}, or_(rounds, 3)) && ok;
    if (wanted("large-stamp"))
        ok = compare(setup, {"large-stamp", 1, or_(count, 200), url, Work::Peer::Alone, 1.3}, or_(rounds, 3)) && ok;
    if (wanted("many"))
        ok = compare(setup, {"many", or_(count, 1000), 0, {}, Work::Peer::XargsP2, 0.5, 0.3}, or_(rounds, 3)) && ok;
    if (wanted("plain"))
        ok = compare(setup, {"plain", or_(count, 200), 0, {}, Work::Peer::OneByOne, 0.7}, or_(rounds, 3)) && ok;
    if (wanted("timestamp"))
        ok = compare(setup, {"timestamp", or_(count, 100), 0, url, Work::Peer::OneByOne, 0.3}, or_(rounds, 1)) && ok;
    if (wanted("stamp-verb"))
        ok = compare(setup, {"stamp-verb", or_(count, 100), 0, url, Work::Peer::StampThroughOsslsigncode, 1.0},
                     or_(rounds, 3))
             && ok;
    const char *baseline = std::getenv("QUILLMARK_BENCH_BASELINE");
    if (which == "token" && (!baseline || !*baseline)) {
        std::fprintf(stderr, "token: name the signtool.exe to compare with in QUILLMARK_BENCH_BASELINE\n");
        ok = false;
    } else if (wanted("token") && baseline && *baseline) {
        setup.baseline = baseline;
        ok = useToken(setup) && compare(setup, {"token", or_(count, 100), 0, {}, Work::Peer::Baseline, 0}, or_(rounds, 3))
             && ok;
    }
    return ok ? 0 : 1;
}
