#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "patch/DetachedSignature.h"
#include "publish/PublisherSigningKey.h"

namespace
{
struct Keys
{
    PublisherSigningKey publisher = PublisherSigningKey::Generate();
    PublisherSigningKey next = PublisherSigningKey::Generate();
    PublisherSigningKey stranger = PublisherSigningKey::Generate();
};

std::string Line(const PublisherSignature &signature)
{
    return EncodeBase64(signature.data(), signature.size());
}
} // namespace

TEST(DetachedSignature, VerdictsOnAList)
{
    const Keys keys;
    const std::string list = "source-version: 100\r\ntarget-version: 101\r\n";
    const PublisherSignature good = keys.publisher.Sign(list.data(), list.size());
    const PublisherSignature next = keys.next.Sign(list.data(), list.size());
    const PublisherSignature stranger = keys.stranger.Sign(list.data(), list.size());
    std::string changed = list;
    changed[16] = '2';
    const PublisherSignature otherBytes = keys.publisher.Sign(changed.data(), changed.size());

    struct Case
    {
        const char *name;
        std::string signatureFile;
        SignatureVerdict verdict;
    };
    const Case cases[] = {
        {"as written", FormatSignatureFile({good}), SignatureVerdict::Good},
        {"line ends and spaces changed on the way", "\r\n  " + Line(good) + " \r\n\r\n", SignatureVerdict::Good},
        {"no line end", Line(good), SignatureVerdict::Good},
        {"old and new key", FormatSignatureFile({next, good}), SignatureVerdict::Good},
        {"other key only", FormatSignatureFile({stranger}), SignatureVerdict::Wrong},
        {"other bytes", FormatSignatureFile({otherBytes}), SignatureVerdict::Wrong},
        {"empty", "", SignatureVerdict::Missing},
        {"blank lines", "\n \n", SignatureVerdict::Missing},
        {"raw bytes", std::string(good.begin(), good.end()), SignatureVerdict::Malformed},
        {"cut short", Line(good).substr(0, 80) + "\n", SignatureVerdict::Malformed},
        {"a good line beside a broken one", Line(good) + "\nnot a signature\n", SignatureVerdict::Malformed},
        {"an error page", "<html><body>404 Not Found</body></html>\n", SignatureVerdict::Malformed},
        {"more lines than any file needs",
         std::string() + FormatSignatureFile(std::vector<PublisherSignature>(kMaxSignatures, stranger)) + Line(good),
         SignatureVerdict::Malformed},
    };
    const PublisherKey key = keys.publisher.PublicKey();
    for (const Case &c : cases)
        EXPECT_EQ(VerifyDetachedSignature(key, list, c.signatureFile), c.verdict) << c.name;

    // The signature covers the exact bytes: the same list with other line ends is another list.
    std::string lineFeeds = list;
    for (size_t at; (at = lineFeeds.find('\r')) != std::string::npos;)
        lineFeeds.erase(at, 1);
    EXPECT_EQ(VerifyDetachedSignature(key, lineFeeds, FormatSignatureFile({good})), SignatureVerdict::Wrong);
}

TEST(DetachedSignature, FormatAndParseRoundTrip)
{
    const Keys keys;
    const std::vector<PublisherSignature> signatures = {keys.publisher.Sign("a", 1), keys.next.Sign("b", 1)};
    const std::string text = FormatSignatureFile(signatures);
    EXPECT_EQ(text, Line(signatures[0]) + "\n" + Line(signatures[1]) + "\n");
    std::vector<PublisherSignature> parsed;
    ASSERT_TRUE(ParseSignatureFile(text, parsed));
    EXPECT_EQ(parsed, signatures);
    EXPECT_FALSE(ParseSignatureFile(text + std::string(kMaxSignatureFileSize, '\n'), parsed));
}
