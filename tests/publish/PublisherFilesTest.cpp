#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestFiles.h"
#include "kernel/TextConvert.h"
#include "patch/DetachedSignature.h"
#include "publish/PublisherFiles.h"
#include "publish/PublisherSigningKey.h"

namespace
{
namespace fs = std::filesystem;
using testfiles::ReadFile;
using testfiles::WriteFile;

class PublisherFilesTest : public ::testing::Test
{
protected:
    std::wstring Path(const std::string &name) const { return NativeToPath(m_dir / name); }

    testfiles::TempDirectory m_dir;
};
} // namespace

TEST_F(PublisherFilesTest, KeyPairFilesRoundTripAndAreNeverReplaced)
{
    const PublisherSigningKey key = PublisherSigningKey::Generate();
    std::string error;
    ASSERT_TRUE(WriteNewKeyPair(key, Path("private.pem"), Path("public.txt"), error)) << error;
    // Only the owner may read the private key; the public line is for everyone.
    EXPECT_EQ(fs::status(m_dir / "private.pem").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ReadFile(m_dir / "public.txt"), key.PublicKey().ToText() + "\n");

    PublisherSigningKey loaded;
    ASSERT_TRUE(LoadSigningKeyFile(Path("private.pem"), loaded, error)) << error;
    PublisherKey publicKey;
    ASSERT_TRUE(LoadPublicKeyFile(Path("public.txt"), publicKey, error)) << error;
    EXPECT_EQ(loaded.PublicKey(), key.PublicKey());
    EXPECT_EQ(publicKey, key.PublicKey());

    // A second key pair over either file is refused and changes nothing.
    const std::string privateBytes = ReadFile(m_dir / "private.pem");
    const PublisherSigningKey other = PublisherSigningKey::Generate();
    EXPECT_FALSE(WriteNewKeyPair(other, Path("private.pem"), Path("public2.txt"), error));
    EXPECT_NE(error.find("exists already"), std::string::npos) << error;
    EXPECT_FALSE(WriteNewKeyPair(other, Path("private2.pem"), Path("public.txt"), error));
    EXPECT_EQ(ReadFile(m_dir / "private.pem"), privateBytes);
    EXPECT_FALSE(fs::exists(m_dir / "public2.txt"));
    EXPECT_FALSE(fs::exists(m_dir / "private2.pem"));

    // The public file cannot be written: no private key is left without its public half.
    EXPECT_FALSE(WriteNewKeyPair(other, Path("private3.pem"), Path("no/such/dir/public.txt"), error));
    EXPECT_FALSE(fs::exists(m_dir / "private3.pem"));
}

TEST_F(PublisherFilesTest, SignedFilesVerifyOnlyAsSigned)
{
    const PublisherSigningKey key = PublisherSigningKey::Generate();
    const PublisherSigningKey next = PublisherSigningKey::Generate();
    WriteFile(m_dir / "patches.txt", "source-version: 1\n");
    std::string error;
    ASSERT_TRUE(SignFile({&key, &next}, Path("patches.txt"), error)) << error;
    EXPECT_EQ(VerifyFileSignature(key.PublicKey(), Path("patches.txt")), SignatureVerdict::Good);
    EXPECT_EQ(VerifyFileSignature(next.PublicKey(), Path("patches.txt")), SignatureVerdict::Good);
    EXPECT_EQ(VerifyFileSignature(PublisherSigningKey::Generate().PublicKey(), Path("patches.txt")),
              SignatureVerdict::Wrong);

    WriteFile(m_dir / "patches.txt", "source-version: 2\n");
    EXPECT_EQ(VerifyFileSignature(key.PublicKey(), Path("patches.txt")), SignatureVerdict::Wrong);
    fs::remove(m_dir / "patches.txt.sig");
    EXPECT_EQ(VerifyFileSignature(key.PublicKey(), Path("patches.txt")), SignatureVerdict::Missing);
    EXPECT_EQ(VerifyFileSignature(key.PublicKey(), Path("missing.txt")), SignatureVerdict::Unreadable);
    EXPECT_FALSE(SignFile({&key}, Path("missing.txt"), error));
    EXPECT_FALSE(fs::exists(m_dir / "missing.txt.sig"));
}

TEST_F(PublisherFilesTest, KeyFilesThatAreNotKeys)
{
    WriteFile(m_dir / "two-lines.txt", PublisherSigningKey::Generate().PublicKey().ToText() + "\n" +
                                           PublisherSigningKey::Generate().PublicKey().ToText() + "\n");
    WriteFile(m_dir / "huge", std::string(100000, 'A'));
    fs::create_directory(m_dir / "directory");
    const std::pair<const char *, const char *> publicCases[] = {
        {"two-lines.txt", "does not hold a public key"},
        {"huge", "is larger than"},
        {"directory", "Is a directory"},
        {"missing", "No such file or directory"},
    };
    for (const auto &[name, message] : publicCases)
    {
        PublisherKey key;
        std::string error;
        EXPECT_FALSE(LoadPublicKeyFile(Path(name), key, error));
        EXPECT_NE(error.find(message), std::string::npos) << name << ": " << error;
    }
    PublisherSigningKey key;
    std::string error;
    EXPECT_FALSE(LoadSigningKeyFile(Path("two-lines.txt"), key, error));
    EXPECT_NE(error.find("two-lines.txt: not a PEM private key"), std::string::npos) << error;
}
