#include "FormatStrategy.h"

#include "PeImage.h"

namespace signtool {

namespace {

// The layout of a program file to be signed or changed; nullopt with
// `refusal` saying why when it is truncated or damaged.
std::optional<PeLayout> layoutToChange(int fd, std::string &refusal)
{
    std::string problem;
    auto layout = readPeLayout(fd, problem);
    if (!layout)
        refusal = "the file is truncated or damaged (" + problem + ")";
    return layout;
}

class PeFormat final : public FormatStrategy {
public:
    const char *name() const override { return "program file"; }
    bool readsSignaturesInProcess() const override { return true; }

    std::string damage(int fd) const override
    {
        std::string problem;
        const auto layout = readPeLayout(fd, problem);
        if (!layout)
            return problem;
        return layout->trailingBytes != 0 ? kTrailingDataProblem : std::string();
    }

    std::optional<int> signatureCount(int fd) const override { return countPeSignatures(fd); }

    // Every key the tool holds signs here: a PFX or store key, or a
    // token's through libp11; osslsigncode only when asked to.
    bool signsInProcess(const SigningNeeds &needs) const override
    {
        return needs.keyInMemory && !needs.osslsigncodeAsked;
    }

    PeSignResult sign(int fd, int copyFd, const SigningKey &key, const PeSignOptions &options) const override
    {
        PeSignResult refused;
        const auto layout = layoutToChange(fd, refused.error);
        if (!layout)
            return refused;
        return signPeFile(fd, *layout, copyFd, key, options);
    }

    PeSignResult stamp(int fd, int copyFd, const PeStampOptions &options) const override
    {
        PeSignResult refused;
        const auto layout = layoutToChange(fd, refused.error);
        if (!layout)
            return refused;
        return stampPeFile(fd, *layout, copyFd, options);
    }

    std::string remove(int fd, int copyFd) const override
    {
        std::string refusal;
        const auto layout = layoutToChange(fd, refusal);
        if (!layout)
            return refusal;
        return removePeSignature(fd, *layout, copyFd);
    }

    std::string trimSignature(int fd, int copyFd, const SignatureCut &cut) const override
    {
        std::string refusal;
        const auto layout = layoutToChange(fd, refusal);
        if (!layout)
            return refusal;
        if (layout->certTableOffset == 0)
            return "it carries no signature";
        return replacePeSignature(fd, *layout, copyFd, [&cut](const Bytes &der, std::string &error) {
                   return cutSignature(der, cut, error);
               }).error;
    }

    PeJudgement verify(int fd, const TrustPolicy &policy, const KnownDigest *known) const override
    {
        return judgePeFile(fd, policy, known);
    }

    std::optional<KnownDigest> digest(int fd, const EVP_MD *md) const override
    {
        std::string problem;
        const auto layout = readPeLayout(fd, problem);
        auto value = layout && md ? authenticodeDigest(fd, *layout, md) : std::nullopt;
        if (!value)
            return std::nullopt;
        return KnownDigest{EVP_MD_get_type(md), std::move(*value)};
    }
};

// MSI, CAB, CAT, APPX and scripts: osslsigncode signs and reads them, in
// children that the signer and the verifier start.
class OsslsigncodeFormat final : public FormatStrategy {
public:
    const char *name() const override { return "osslsigncode format"; }
    bool readsSignaturesInProcess() const override { return false; }
    std::string damage(int) const override { return {}; }
    std::optional<int> signatureCount(int) const override { return std::nullopt; }
    bool signsInProcess(const SigningNeeds &) const override { return false; }

    PeSignResult sign(int, int, const SigningKey &, const PeSignOptions &) const override
    {
        PeSignResult result;
        result.error = "this format is signed by osslsigncode";
        return result;
    }

    PeSignResult stamp(int, int, const PeStampOptions &) const override
    {
        PeSignResult result;
        result.error = "this format is time-stamped by osslsigncode";
        return result;
    }

    std::string remove(int, int) const override { return "this format's signatures are removed by osslsigncode"; }

    // osslsigncode takes whole signatures out, never parts of one.
    std::string trimSignature(int, int, const SignatureCut &) const override
    {
        return "osslsigncode, which signs this format, can only remove its signature as a whole (/s)";
    }

    PeJudgement verify(int, const TrustPolicy &, const KnownDigest *) const override
    {
        PeJudgement judgement;
        judgement.status = PeJudgement::Status::Damaged;
        judgement.problem = "this format is judged by osslsigncode";
        return judgement;
    }

    std::optional<KnownDigest> digest(int, const EVP_MD *) const override { return std::nullopt; }
};

} // namespace

const FormatStrategy &formatOf(int fd)
{
    static const PeFormat pe;
    static const OsslsigncodeFormat other;
    if (startsLikePe(fd))
        return pe;
    return other;
}

} // namespace signtool
