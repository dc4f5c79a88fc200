#include <gtest/gtest.h>

#include <string>

#include "TestFiles.h"
#include "kernel/FileUtil.h"
#include "kernel/StdioFile.h"
#include "patch/MD5.h"

namespace
{
using testfiles::Pattern;

std::string Digest(const std::string &text)
{
    MD5 md5;
    md5.update(reinterpret_cast<const unsigned char *>(text.data()), static_cast<unsigned>(text.size()));
    md5.finalize();
    return md5.hex_digest();
}

struct Vector
{
    const char *input;
    const char *digest;
};

// The test suite published with the algorithm.
const Vector kSuite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};
} // namespace

TEST(MD5, PublishedSuite)
{
    for (const Vector &v : kSuite)
    {
        SCOPED_TRACE(v.input);
        EXPECT_EQ(Digest(v.input), v.digest);
    }
    EXPECT_EQ(Digest(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(MD5, AnySplitOfTheInputGivesTheSameDigest)
{
    const std::string text = kSuite[6].input + std::string(kSuite[5].input);
    const std::string whole = Digest(text);
    for (size_t first = 0; first <= text.size(); ++first)
    {
        for (size_t second : {size_t(1), size_t(63), size_t(64), size_t(65)})
        {
            if (first + second > text.size())
                continue;
            MD5 md5;
            const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
            md5.update(bytes, static_cast<unsigned>(first));
            md5.update(bytes + first, static_cast<unsigned>(second));
            md5.update(bytes + first + second, static_cast<unsigned>(text.size() - first - second));
            md5.finalize();
            ASSERT_EQ(md5.hex_digest(), whole) << first << "+" << second;
        }
    }
}

TEST(MD5, MisuseChangesNothingAndIsReported)
{
    MD5 md5;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(md5.hex_digest(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "MD5::hex_digest:  Can't get digest if you haven't finalized the digest!\n");

    md5.update(reinterpret_cast<const unsigned char *>("abc"), 3);
    md5.finalize();
    ::testing::internal::CaptureStderr();
    md5.update(reinterpret_cast<const unsigned char *>("more"), 4);
    md5.finalize();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "MD5::update:  Can't update a finalized digest!\nMD5::finalize:  Already finalized this digest!\n");
    EXPECT_EQ(md5.hex_digest(), kSuite[2].digest);
}

class HashFileMD5Test : public ::testing::Test
{
protected:

    std::wstring WriteFile(const std::wstring &name, const std::string &bytes)
    {
        const std::wstring path = JoinPath(m_dir, name);
        FILE *file = OpenStdioFile(path, "wb");
        EXPECT_NE(file, nullptr);
        if (file)
        {
            fwrite(bytes.data(), 1, bytes.size(), file);
            fclose(file);
        }
        return path;
    }

    testfiles::TempDirectory m_temp;
    std::wstring m_dir = m_temp.WidePath();
};

TEST_F(HashFileMD5Test, FilesAroundTheReadSizeHashCompletely)
{
    struct Case
    {
        size_t size;
        const wchar_t *digest;
    };
    // Digests of the pattern bytes from an independent implementation.
    const Case cases[] = {
        {0, L"d41d8cd98f00b204e9800998ecf8427e"},
        {1024, L"6cd8e81aa97eb4792758fbcb7304bf4d"},
        {1025, L"f85a696adad4e94fc175c4afe0186cb6"},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.size);
        const std::wstring path = WriteFile(L"f" + std::to_wstring(c.size), Pattern(c.size));
        std::wstring digest;
        ASSERT_TRUE(HashFileMD5(path, digest));
        EXPECT_EQ(digest, c.digest);
    }
    // Larger than the stream buffer, with an odd tail.
    const std::string big = Pattern(300001);
    std::wstring digest;
    ASSERT_TRUE(HashFileMD5(WriteFile(L"big", big), digest));
    const std::string expected = Digest(big);
    EXPECT_EQ(digest, std::wstring(expected.begin(), expected.end()));
}

TEST_F(HashFileMD5Test, NamesOutsideAsciiAndMissingFiles)
{
    std::wstring digest = L"unchanged";
    EXPECT_FALSE(HashFileMD5(JoinPath(m_dir, L"missing"), digest));
    EXPECT_FALSE(HashFileMD5(m_dir, digest));
    EXPECT_EQ(digest, L"unchanged");
    ASSERT_TRUE(HashFileMD5(WriteFile(L"Launcher \u00e9\u0436.exe", "abc"), digest));
    EXPECT_EQ(digest, L"900150983cd24fb0d6963f7d28e17f72");
}
