#include "Pkcs7Files.h"

#include "CertSelect.h"
#include "CertStore.h"
#include "DerWriter.h"
#include "DigestSigning.h"
#include "OpenedFile.h"
#include "PeSignatures.h"
#include "SignArgs.h"
#include "TimeStamp.h"
#include "TimeStampClient.h"
#include "ToolSupport.h"
#include "safefile/SafeWrite.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace sdktool;

namespace signtool {

namespace {

const char kSignedDataOid[] = "1.2.840.113549.1.7.2";

using CmsPtr = std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)>;

void failed(FileOutcome &outcome, const std::string &message)
{
    outcome.signedOk = false;
    outcome.lines.push_back({OutputLine::Err, "SignTool Error: " + message});
}

// The element at the start of `der`: where its content starts and ends;
// false when it is none.
bool elementAt(const Bytes &der, size_t at, int &tag, int &cls, size_t &contentStart, size_t &end)
{
    if (at >= der.size())
        return false;
    const unsigned char *start = der.data() + at;
    const unsigned char *p = start;
    long length = 0;
    if (ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(der.size() - at)) & 0x80)
        return false;
    contentStart = at + static_cast<size_t>(p - start);
    end = contentStart + static_cast<size_t>(length);
    return end <= der.size();
}

// The SignedData inside a ContentInfo: SEQUENCE { OID, [0] { SignedData } }.
Bytes bareSignedData(const Bytes &contentInfo)
{
    int tag = 0, cls = 0;
    size_t content = 0, end = 0, oidContent = 0, oidEnd = 0, wrapped = 0, wrappedEnd = 0;
    if (!elementAt(contentInfo, 0, tag, cls, content, end) || tag != V_ASN1_SEQUENCE
        || !elementAt(contentInfo, content, tag, cls, oidContent, oidEnd) || tag != V_ASN1_OBJECT
        || !elementAt(contentInfo, oidEnd, tag, cls, wrapped, wrappedEnd) || cls != V_ASN1_CONTEXT_SPECIFIC)
        return {};
    return Bytes(contentInfo.begin() + static_cast<long>(wrapped), contentInfo.begin() + static_cast<long>(wrappedEnd));
}

// The file a detached signature signs: its own name without ".p7".
std::string contentPathOf(const std::string &file)
{
    const std::string suffix = ".p7";
    if (file.size() > suffix.size() && file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0)
        return file.substr(0, file.size() - suffix.size());
    return {};
}

// The embedded content's bytes: the OCTET STRING of data or of another type.
const ASN1_OCTET_STRING *embeddedContent(PKCS7 *p7)
{
    PKCS7 *inner = p7->d.sign ? p7->d.sign->contents : nullptr;
    if (!inner)
        return nullptr;
    if (OBJ_obj2nid(inner->type) == NID_pkcs7_data)
        return inner->d.data;
    if (inner->d.other && inner->d.other->type == V_ASN1_OCTET_STRING)
        return inner->d.other->value.octet_string;
    return nullptr;
}

// What a signature of `p7` signs: its embedded content, else the file open
// on `contentFd` from its start.
BIO *embeddedContentBio(PKCS7 *p7, int contentFd)
{
    if (const ASN1_OCTET_STRING *embedded = embeddedContent(p7))
        return BIO_new_mem_buf(ASN1_STRING_get0_data(embedded), ASN1_STRING_length(embedded));
    if (lseek(contentFd, 0, SEEK_SET) != 0)
        return nullptr;
    return BIO_new_fd(contentFd, BIO_NOCLOSE);
}

struct Pkcs7Key {
    Pkcs12Contents contents;
    std::vector<CertPtr> extra; // of /ac
    const SigningIdentity *identity = nullptr; // whose useKey runs each signature
};

// The signature of `der` (a ContentInfo) with a time stamp of /t or /tr,
// checked as verify judges one: the token's imprint is the digest of the
// signature value, the token is signed by a time-stamping certificate.
// Empty, with the reason in `outcome`, when it cannot be had.
Bytes withTimeStamp(const Bytes &der, const std::string &file, const SignArgs &args, FileOutcome &outcome,
                    int contentFd)
{
    const unsigned char *p = der.data();
    Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    ERR_clear_error();
    PKCS7_SIGNER_INFO *si = p7 && PKCS7_type_is_signed(p7.get())
                                ? sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0)
                                : nullptr;
    TimeStamping stamping(args, file);
    if (!si || !stampSignature(p7.get(), si, stamping)) {
        failed(outcome, si ? stamping.error() : "Signing " + file + " failed: its signature cannot be read back.");
        return {};
    }
    for (const std::string &warning : stamping.warnings()) {
        outcome.lines.push_back({OutputLine::Err, warning});
        ++outcome.warnings;
    }
    Bytes out(static_cast<size_t>(std::max(i2d_PKCS7(p7.get(), nullptr), 0)));
    unsigned char *q = out.data();
    if (out.empty() || i2d_PKCS7(p7.get(), &q) <= 0) {
        failed(outcome, "Signing " + file + " failed: the time-stamped signature cannot be written out.");
        return {};
    }
    // Judged as verify /p7 would, but for the chains: the store of this
    // check trusts nothing, so only a failed stamp or signature counts.
    TrustPolicy policy;
    policy.stampChains = false;
    policy.now = std::time(nullptr);
    const StorePtr none(X509_STORE_new());
    policy.anchors = none.get();
    BioPtr content(embeddedContentBio(p7.get(), contentFd));
    const PeSignature judged = content ? judgeStreamedContentSignature(p7.get(), content.get(), policy) : PeSignature();
    const Verdict verdict = judged.finding.verdict;
    if (!content || judged.finding.stampKind == StampKind::None || verdict == Verdict::Damaged
        || verdict == Verdict::SignatureInvalid || verdict == Verdict::DigestMismatch
        || verdict == Verdict::TimeStampInvalid) {
        failed(outcome, "Signing " + file + " failed: the time-stamped signature does not verify ("
                            + (judged.finding.detail.empty() ? verdictText(judged.finding) : judged.finding.detail)
                            + "); nothing was written.");
        return {};
    }
    return out;
}

FileOutcome signOne(const std::string &file, const SignArgs &args, const Pkcs7Key &key, int folder,
                    const std::string &folderShown)
{
    FileOutcome outcome;
    if (args.verbose)
        outcome.lines.push_back({OutputLine::Out, "Signing: " + file});
    std::string error;
    const OpenedFile opened = openFileToSign(file, error);
    if (!opened.file) {
        failed(outcome, error);
        return outcome;
    }
    const bool detached = args.pkcs7Embedding != Pkcs7Embedding::Embedded;
    if (!detached && opened.st.st_size > kMaxPkcs7Bytes) {
        failed(outcome, "Cannot sign " + file + ": it is larger than " + sizeText(kMaxPkcs7Bytes)
                        + ", the most a PKCS#7 file with the content inside holds here (/p7ce "
                          "Pkcs7DetachedSignedData leaves it out).");
        return outcome;
    }
    const unsigned flags = CMS_BINARY | CMS_NOSMIMECAP | (detached ? CMS_DETACHED : 0u);
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags | CMS_PARTIAL), CMS_ContentInfo_free);
    const EVP_MD *md = EVP_get_digestbyname(digestName(args.fileDigest));
    OsslPtr<ASN1_OBJECT> type(OBJ_txt2obj(args.pkcs7ContentType.value_or(kPkcs7DataOid).c_str(), 1));
    bool ok = cms && type && CMS_add1_signer(cms.get(), key.contents.cert.get(), key.contents.key.get(), md, flags);
    for (const CertPtr &cert : key.contents.others)
        ok = ok && CMS_add1_cert(cms.get(), cert.get()) == 1;
    for (const CertPtr &cert : key.extra)
        ok = ok && CMS_add1_cert(cms.get(), cert.get()) == 1;
    ok = ok && CMS_set1_eContentType(cms.get(), type.get()) == 1;
    BioPtr content(BIO_new_fd(opened.file.get(), BIO_NOCLOSE));
    // CMS_final hashes the content and makes the signature value.
    ok = ok && content && key.identity->useKey(file, [&] {
        return CMS_final(cms.get(), content.get(), nullptr, flags) == 1;
    });
    const Bytes der = ok ? derOf<CMS_ContentInfo, i2d_CMS_ContentInfo>(cms.get()) : Bytes();
    if (der.empty()) {
        failed(outcome, "Signing " + file + " failed: " + takeOpensslError() + ".");
        return outcome;
    }
    Bytes stamped;
    if (wantsTimeStamp(args)) {
        stamped = withTimeStamp(der, file, args, outcome, opened.file.get());
        if (stamped.empty())
            return outcome;
    }
    const Bytes &made = stamped.empty() ? der : stamped;
    const Bytes written = args.pkcs7Embedding == Pkcs7Embedding::DetachedSignedData ? bareSignedData(made) : made;
    const std::string target = fileNameOf(file) + ".p7";
    const std::string shown = folderShown + (folderShown.empty() || folderShown.back() == '/' ? "" : "/") + target;
    if (const std::string problem = writeInFolder(folder, target, std::string(written.begin(), written.end()));
        !problem.empty()) {
        failed(outcome, "Cannot write " + shown + ": " + problem + ".");
        return outcome;
    }
    outcome.signedOk = true;
    outcome.lines.push_back({OutputLine::Out, "Successfully signed: " + file});
    if (isDemoCertificate(key.contents.cert.get()))
        outcome.lines.push_back(
            {OutputLine::Out, "Signed with the demo certificate, which is for trying Quillmark out only."});
    if (args.verbose) {
        outcome.lines.push_back({OutputLine::Out, "    PKCS#7 file: " + shown});
        outcome.lines.push_back({OutputLine::Out, std::string()});
    }
    return outcome;
}

} // namespace

Bytes asContentInfo(const Bytes &der)
{
    const unsigned char *p = der.data();
    Pkcs7Ptr parsed(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    ERR_clear_error();
    if (parsed && PKCS7_type_is_signed(parsed.get()))
        return der;
    int tag = 0, cls = 0;
    size_t content = 0, end = 0;
    if (!elementAt(der, 0, tag, cls, content, end) || tag != V_ASN1_SEQUENCE || end != der.size())
        return {};
    return derElement(0x30, concat({oidDer(kSignedDataOid), derElement(0xA0, der)}));
}

RunCounts signPkcs7Files(const SignArgs &args, const SigningIdentity &identity,
                         const std::function<void(const FileOutcome &)> &print)
{
    RunCounts counts;
    Pkcs7Key key;
    std::string detail, error;
    safefile::WalkProblem problem;
    Fd folder;
    key.identity = &identity;
    if (identity.tokenKey) {
        // The token's key and certificate, held as the PFX's would be; the
        // key is only used through identity.useKey.
        EVP_PKEY *tokenKey = identity.tokenKey->key();
        if (tokenKey && EVP_PKEY_up_ref(tokenKey) == 1)
            key.contents.key.reset(tokenKey);
        if (X509_up_ref(identity.cert.get()) == 1)
            key.contents.cert.reset(identity.cert.get());
        if (!key.contents.key || !key.contents.cert)
            error = "The key of the token's certificate cannot be used (" + identity.where() + ").";
    } else if (identity.token || identity.pfxData.empty()
               || parsePkcs12(identity.pfxData, identity.password, key.contents, detail) != Pkcs12Status::Ok)
        error = "The private key of " + identity.pfxPath + " cannot be read.";
    if (error.empty() && safefile::openFolder(*args.pkcs7Folder, folder, &problem) != 0)
        error = "Cannot open the folder " + *args.pkcs7Folder + " given with /p7: " + safefile::walkProblemText(problem)
                + ".";
    for (const std::string &path : args.additionalCertificates) {
        if (!error.empty())
            break;
        const std::string pem = additionalCertificatesPem(path, error);
        BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
        while (X509 *cert = bio && !pem.empty() ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr)
            key.extra.emplace_back(cert);
        ERR_clear_error();
    }
    if (!error.empty()) {
        FileOutcome outcome;
        failed(outcome, error);
        print(outcome);
        counts.errors = 1;
        return counts;
    }
    for (const std::string &file : args.files) {
        const FileOutcome outcome = signOne(file, args, key, folder.get(), *args.pkcs7Folder);
        print(outcome);
        ++(outcome.signedOk ? counts.signedFiles : counts.errors);
    }
    return counts;
}

namespace {

// The file a detached .p7 signs, opened for reading; invalid when it
// cannot be (`problem` says why).
Fd openDetachedContent(const std::string &file, std::string &problem)
{
    const std::string contentPath = contentPathOf(file);
    if (contentPath.empty()) {
        problem = "it is a detached signature, whose content is the file of its name without \".p7\", and its "
                  "name does not end in \".p7\"";
        return Fd();
    }
    Fd content(open(contentPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!content || fstat(content.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = "it is a detached signature, and the file it signs, " + contentPath + ", "
                  + (content ? std::string("is not a regular file") : "cannot be opened (" + errnoText(errno) + ")");
        return Fd();
    }
    return content;
}

FileOutcome stampOne(const std::string &file, const SignArgs &args)
{
    FileOutcome outcome;
    if (args.verbose)
        outcome.lines.push_back({OutputLine::Out, "Time-stamping: " + file});
    safefile::Place place;
    safefile::WalkProblem walk;
    std::string der, problem;
    if (safefile::walkToPlace(file, safefile::FinalLink::Follow, place, &walk) != 0) {
        failed(outcome, walk.error == ENOENT ? "File not found: " + file
                                             : "Cannot open " + file + ": " + safefile::walkProblemText(walk) + ".");
        return outcome;
    }
    if (!readInFolder(place.folder.get(), place.name, static_cast<size_t>(kMaxPkcs7Bytes), der, problem)) {
        failed(outcome, "Cannot time-stamp " + file + ": " + problem + ".");
        return outcome;
    }
    const Bytes original(der.begin(), der.end());
    const Bytes contentInfo = asContentInfo(original);
    const unsigned char *p = contentInfo.data();
    Pkcs7Ptr p7(contentInfo.empty() ? nullptr : d2i_PKCS7(nullptr, &p, static_cast<long>(contentInfo.size())));
    ERR_clear_error();
    PKCS7_SIGNER_INFO *si = p7 && PKCS7_type_is_signed(p7.get()) && sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7.get())) == 1
                                ? sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0)
                                : nullptr;
    if (!si) {
        failed(outcome, "Cannot time-stamp " + file + ": it is no PKCS#7 signature of one signer.");
        return outcome;
    }
    if (sk_X509_ATTRIBUTE_num(PKCS7_get_attributes(si)) > 0) {
        failed(outcome, "Cannot time-stamp " + file + ": its signature already carries unsigned attributes (a time "
                        "stamp).");
        return outcome;
    }
    Fd content;
    if (!embeddedContent(p7.get())) {
        content = openDetachedContent(file, problem);
        if (!content) {
            failed(outcome, "Cannot time-stamp " + file + ": " + problem + ".");
            return outcome;
        }
    }
    const Bytes stamped = withTimeStamp(contentInfo, file, args, outcome, content.get());
    if (stamped.empty())
        return outcome;
    // In the form it had: a bare SignedData stays bare.
    const Bytes written = contentInfo == original ? stamped : bareSignedData(stamped);
    safefile::Temporary temporary;
    int err = temporary.create(place.folder.get(), "." + place.name + ".", ".tmp", 0600);
    if (err == 0 && (fchmod(temporary.fd(), place.info.st_mode & 07777) != 0
                     || !writeAll(temporary.fd(), std::string(written.begin(), written.end()))))
        err = errno ? errno : EIO;
    if (err == 0)
        err = temporary.commit(place.name, &place.info);
    if (err != 0) {
        failed(outcome, "Cannot write the time-stamped " + file + ": " + errnoText(err) + ".");
        return outcome;
    }
    outcome.signedOk = true;
    outcome.lines.push_back({OutputLine::Out, "Successfully timestamped: " + file});
    return outcome;
}

} // namespace

RunCounts stampPkcs7Files(const SignArgs &args, const std::function<void(const FileOutcome &)> &print)
{
    RunCounts counts;
    for (const std::string &file : args.files) {
        const FileOutcome outcome = stampOne(file, args);
        print(outcome);
        counts.warnings += outcome.warnings;
        ++(outcome.signedOk ? counts.signedFiles : counts.errors);
    }
    return counts;
}

Pkcs7Verdict judgePkcs7File(int fd, const std::string &file, const TrustPolicy &policy)
{
    Pkcs7Verdict verdict;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size > kMaxPkcs7Bytes) {
        verdict.fileProblem = "it is larger than " + sizeText(kMaxPkcs7Bytes) + ", more than a PKCS#7 file is read";
        return verdict;
    }
    Bytes der(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < der.size()) {
        const ssize_t got = pread(fd, der.data() + done, der.size() - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            verdict.fileProblem = "it cannot be read";
            return verdict;
        }
        done += static_cast<size_t>(got);
    }
    const Bytes contentInfo = asContentInfo(der);
    const unsigned char *p = contentInfo.data();
    Pkcs7Ptr p7(contentInfo.empty() ? nullptr : d2i_PKCS7(nullptr, &p, static_cast<long>(contentInfo.size())));
    ERR_clear_error();
    if (!p7 || !PKCS7_type_is_signed(p7.get())) {
        verdict.fileProblem = "it is no PKCS#7 signature (SignedData)";
        return verdict;
    }
    BioPtr content;
    Fd contentFile;
    if (const ASN1_OCTET_STRING *embedded = embeddedContent(p7.get())) {
        content.reset(BIO_new_mem_buf(ASN1_STRING_get0_data(embedded), ASN1_STRING_length(embedded)));
    } else {
        contentFile = openDetachedContent(file, verdict.fileProblem);
        if (!contentFile)
            return verdict;
        content.reset(BIO_new_fd(contentFile.get(), BIO_NOCLOSE));
    }
    if (!content) {
        verdict.fileProblem = "its content cannot be read";
        return verdict;
    }
    verdict.findings.push_back(judgeStreamedContentSignature(p7.get(), content.get(), policy).finding);
    return verdict;
}

} // namespace signtool
