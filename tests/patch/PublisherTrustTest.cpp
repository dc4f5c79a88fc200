#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "TestFiles.h"
#include "kernel/TextConvert.h"
#include "kernel/UserTextIds.h"
#include "patch/PublisherTrust.h"
#include "publish/PublisherSigningKey.h"

namespace
{
namespace fs = std::filesystem;

const PublisherKey kRegistryKey = PublisherSigningKey::Generate().PublicKey();
const PublisherKey kBuiltInKey = PublisherSigningKey::Generate().PublicKey();

struct ResolveCase
{
    const char *name;
    RegistryValueState state;
    std::wstring registryText;
    std::string builtIn;
    TrustedKeyState expected;
    const PublisherKey *key; // the key taken, when expected is Key
};

class ResolveTrustedKeyTest : public ::testing::TestWithParam<ResolveCase>
{
};

TEST_P(ResolveTrustedKeyTest, ABrokenKeyNeverMeansNoKey)
{
    const ResolveCase &c = GetParam();
    const TrustedKey trusted = ResolveTrustedKey(c.state, c.registryText, c.builtIn);
    EXPECT_EQ(trusted.state, c.expected);
    if (c.key)
    {
        EXPECT_EQ(trusted.key, *c.key);
    }
    EXPECT_EQ(trusted.reason == 0, c.expected != TrustedKeyState::Unreadable) << trusted.reason;
}

const std::wstring kRegistryText = NarrowToWide(kRegistryKey.ToText());
const std::string kBuiltInText = kBuiltInKey.ToText();

INSTANTIATE_TEST_SUITE_P(
    Sources, ResolveTrustedKeyTest,
    ::testing::Values(
        ResolveCase{"Nothing", RegistryValueState::Missing, L"", "", TrustedKeyState::None, nullptr},
        ResolveCase{"BuiltInOnly", RegistryValueState::Missing, L"", kBuiltInText, TrustedKeyState::Key, &kBuiltInKey},
        ResolveCase{"RegistryOnly", RegistryValueState::Text, kRegistryText, "", TrustedKeyState::Key, &kRegistryKey},
        ResolveCase{"RegistryBeforeBuiltIn", RegistryValueState::Text, kRegistryText, kBuiltInText, TrustedKeyState::Key,
                    &kRegistryKey},
        ResolveCase{"RegistryLineWithLineEnd", RegistryValueState::Text, kRegistryText + L"\r\n", "",
                    TrustedKeyState::Key, &kRegistryKey},
        ResolveCase{"EmptyRegistryValue", RegistryValueState::Text, L"", kBuiltInText, TrustedKeyState::Unreadable,
                    nullptr},
        ResolveCase{"CutRegistryValue", RegistryValueState::Text, kRegistryText.substr(0, 30), kBuiltInText,
                    TrustedKeyState::Unreadable, nullptr},
        ResolveCase{"RegistryValueOfOtherType", RegistryValueState::OtherType, L"", kBuiltInText,
                    TrustedKeyState::Unreadable, nullptr},
        ResolveCase{"UnreadableRegistry", RegistryValueState::Unreadable, L"", "", TrustedKeyState::Unreadable,
                    nullptr},
        ResolveCase{"BrokenBuiltIn", RegistryValueState::Missing, L"", "AAAA", TrustedKeyState::Unreadable, nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

// The registry is a file of the test's own.
class RegistryTrustTest : public ::testing::Test
{
protected:
    void SetUp() override { setenv("PELMO_REGISTRY", (m_dir / "registry.reg").c_str(), 1); }
    void TearDown() override { unsetenv("PELMO_REGISTRY"); }

    void WriteRegistry(const std::string &values)
    {
        testfiles::WriteFile(m_dir / "registry.reg",
                             "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n" + values);
    }

    testfiles::TempDirectory m_dir;
};
} // namespace

TEST_F(RegistryTrustTest, TrustedKeyComesFromTheRegistry)
{
    // Without the value, the key built in, if this build has one.
    const TrustedKeyState withoutValue =
        BuiltInPublisherKey().empty() ? TrustedKeyState::None : TrustedKeyState::Key;
    EXPECT_EQ(LoadTrustedKey().state, withoutValue);
    WriteRegistry("\"PatcherPageHost\"=\"example\"\n");
    EXPECT_EQ(LoadTrustedKey().state, withoutValue);

    WriteRegistry("\"publisherkey\"=\"" + kRegistryKey.ToText() + "\"\n");
    TrustedKey trusted = LoadTrustedKey();
    EXPECT_EQ(trusted.state, TrustedKeyState::Key);
    EXPECT_EQ(trusted.key, kRegistryKey);

    WriteRegistry("\"PublisherKey\"=dword:00000001\n");
    EXPECT_EQ(LoadTrustedKey().state, TrustedKeyState::Unreadable);
    WriteRegistry("\"PublisherKey\"=\"not a key\"\n");
    EXPECT_EQ(LoadTrustedKey().state, TrustedKeyState::Unreadable);

    // A registry that is there but cannot be read may hold a key: nothing may be trusted.
    fs::remove(m_dir / "registry.reg");
    fs::create_directory(m_dir / "registry.reg");
    trusted = LoadTrustedKey();
    EXPECT_EQ(trusted.state, TrustedKeyState::Unreadable);
    EXPECT_EQ(trusted.reason, ZelkPatch::kIdRegistryUnreadable);
}

TEST_F(RegistryTrustTest, ListSerialsNeverGoBack)
{
    struct Case
    {
        const char *name;
        std::string kept; // registry lines under SOFTWARE\Pelmo
        uint64_t serial;
        ListSerialVerdict verdict;
        uint64_t newest;
    };
    const Case cases[] = {
        {"nothing kept", "", 0, ListSerialVerdict::Accepted, 0},
        {"nothing kept, a serial", "", 5, ListSerialVerdict::Accepted, 0},
        {"same", "\"PatchListSerial\"=\"7\"\n", 7, ListSerialVerdict::Accepted, 7},
        {"newer", "\"PatchListSerial\"=\"7\"\n", 8, ListSerialVerdict::Accepted, 7},
        {"older", "\"PatchListSerial\"=\"7\"\n", 6, ListSerialVerdict::Replayed, 7},
        {"no serial after one was kept", "\"PatchListSerial\"=\"7\"\n", 0, ListSerialVerdict::Replayed, 7},
        {"64-bit", "\"PatchListSerial\"=\"18446744073709551615\"\n", 18446744073709551614ull,
         ListSerialVerdict::Replayed, 18446744073709551615ull},
        {"kept value damaged", "\"PatchListSerial\"=\"7x\"\n", 8, ListSerialVerdict::Unreadable, 0},
        {"kept value of other type", "\"PatchListSerial\"=dword:00000007\n", 8, ListSerialVerdict::Unreadable, 0},
        {"kept value too large", "\"PatchListSerial\"=\"18446744073709551616\"\n", 8, ListSerialVerdict::Unreadable,
         0},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        WriteRegistry(c.kept);
        uint64_t newest = 12345;
        EXPECT_EQ(CheckListSerial(c.serial, newest), c.verdict);
        EXPECT_EQ(newest, c.newest);
    }
}

TEST_F(RegistryTrustTest, RememberKeepsOnlyTheNewest)
{
    uint64_t newest = 0;
    ASSERT_TRUE(RememberListSerial(0));
    EXPECT_FALSE(fs::exists(m_dir / "registry.reg")); // nothing newer than nothing to keep
    ASSERT_TRUE(RememberListSerial(20240102));
    ASSERT_TRUE(RememberListSerial(20240101));
    EXPECT_EQ(CheckListSerial(20240101, newest), ListSerialVerdict::Replayed);
    EXPECT_EQ(newest, 20240102u);
    EXPECT_NE(testfiles::ReadFile(m_dir / "registry.reg").find("\"PatchListSerial\"=\"20240102\""), std::string::npos);

    // A kept value that cannot be read is not overwritten by a guess.
    WriteRegistry("\"PatchListSerial\"=\"garbage\"\n");
    EXPECT_FALSE(RememberListSerial(5));
    EXPECT_EQ(CheckListSerial(5, newest), ListSerialVerdict::Unreadable);
}
