#include <gtest/gtest.h>

#include <string>

#include "TestFiles.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "patch/SHA256.h"

namespace
{
using testfiles::Pattern;

std::string Digest(const std::string &text)
{
    SHA256 sha;
    sha.Update(text.data(), text.size());
    return DigestToHex(sha.Finish());
}
} // namespace

TEST(SHA256, PublishedVectors)
{
    const std::pair<std::string, const char *> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &[input, digest] : vectors)
        EXPECT_EQ(Digest(input), digest) << input.size() << " bytes";
}

TEST(SHA256, FinishStartsOver)
{
    SHA256 sha;
    sha.Update("ab", 2);
    sha.Update("c", 1);
    EXPECT_EQ(DigestToHex(sha.Finish()), Digest("abc"));
    EXPECT_EQ(DigestToHex(sha.Finish()), Digest(""));
}

TEST(SHA256, HexReadsOnlyWholeDigests)
{
    const std::string lower = Digest("abc");
    std::string upper = lower;
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Sha256Digest digest{};
    ASSERT_TRUE(HexToDigest(upper, digest));
    EXPECT_EQ(DigestToHex(digest), lower);

    const std::string refused[] = {"", lower.substr(1), lower + "0", "g" + lower.substr(1), " " + lower.substr(1),
                                   lower.substr(0, 63) + "-"};
    for (const std::string &text : refused)
    {
        Sha256Digest untouched{};
        EXPECT_FALSE(HexToDigest(text, untouched)) << text;
        EXPECT_EQ(untouched, Sha256Digest{});
    }
}

// Sizes around the 128 KiB pieces in which files and buffers are read.
TEST(SHA256, FilesAndBuffersHashWhole)
{
    testfiles::TempDirectory dir;
    for (size_t size : {size_t(0), size_t(131071), size_t(131072), size_t(131073), size_t(400000)})
    {
        SCOPED_TRACE(size);
        const std::string bytes = Pattern(size);
        testfiles::WriteFile(dir / "file", bytes);
        Sha256Digest digest{};
        uint64_t fileSize = 1;
        ASSERT_EQ(HashFileSHA256(NativeToPath(dir / "file"), digest, fileSize), ZELKRESULT_OK);
        EXPECT_EQ(DigestToHex(digest), Digest(bytes));
        EXPECT_EQ(fileSize, size);
    }

    // A part of a buffer from its position; asking for more than it holds fails.
    const std::string bytes = Pattern(300000);
    ZelkDataBufferMemoryDynamic buffer;
    ASSERT_EQ(buffer.Write(bytes.data(), static_cast<uint32_t>(bytes.size())), ZELKRESULT_OK);
    ASSERT_EQ(buffer.Seek(1000), ZELKRESULT_OK);
    Sha256Digest digest{};
    ASSERT_EQ(HashBufferSHA256(buffer, 200000, digest), ZELKRESULT_OK);
    EXPECT_EQ(DigestToHex(digest), Digest(bytes.substr(1000, 200000)));
    ASSERT_EQ(buffer.Seek(1000), ZELKRESULT_OK);
    EXPECT_NE(HashBufferSHA256(buffer, 300000, digest), ZELKRESULT_OK);

    uint64_t size = 0;
    EXPECT_EQ(HashFileSHA256(NativeToPath(dir / "missing"), digest, size), ZELKRESULT_IO);
}
