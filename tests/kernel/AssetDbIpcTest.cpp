#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "RunningProgram.h"
#include "TestFiles.h"
#include "kernel/AssetDbIpc.h"
#include "kernel/FileUtil.h"
#include "kernel/LockWait.h"
#include "kernel/TextConvert.h"

namespace
{
const char kKeyPrefix[] = "09731AC6-B611-4e2a-B181-578073F64F24";

std::string Sha256Hex(const std::string &text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i)
    {
        std::snprintf(pair, sizeof(pair), "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

// A folder below root of about length bytes in directories of ten.
std::string DeepFolder(const std::string &root, size_t length)
{
    std::string folder = root;
    for (int level = 0; folder.size() < length; ++level)
        folder += "/level-" + std::to_string(level % 100) + std::string(level < 10 ? 2 : 1, 'x');
    return folder;
}

const std::string kStandIn = std::string(ZELK_BUILD_DIR) + "/zelk-product-instance";

class AssetDbIpcTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_temp.Path().empty());
        m_root = m_temp.Path().string();
        m_folder = m_root + "/Korvil";
        ASSERT_TRUE(MakeDirectory(NativeToPath(m_folder)));
    }

    void TearDown() override { AssetDbIpc::Close(); }

    std::string Database() const { return m_folder + "/assets.kdx"; }

    // A stand-in product program registered for the installation.
    std::unique_ptr<RunningProgram> StartProduct(std::vector<std::string> options = {})
    {
        std::vector<std::string> arguments = {kStandIn, m_folder};
        arguments.insert(arguments.end(), options.begin(), options.end());
        auto product = std::make_unique<RunningProgram>(arguments);
        EXPECT_TRUE(product->WaitForOutput("ready")) << product->Output();
        return product;
    }

    bool RegistryExists() const
    {
        AssetDbBlock block;
        return AssetDbIpc::PeekBlock(Database(), block);
    }

    testfiles::TempDirectory m_temp{"assetdb"};
    std::string m_root;
    std::string m_folder;
};
} // namespace

TEST_F(AssetDbIpcTest, FirstOpenCreatesTheRegistryAndTakesTheExclusiveHold)
{
    ASSERT_TRUE(AssetDbIpc::Open(Database(), false));
    EXPECT_TRUE(AssetDbIpc::IsMaster());
    EXPECT_EQ(AssetDbIpc::UserCount(), 1);
    ASSERT_TRUE(AssetDbIpc::RequestExclusive());

    AssetDbBlock block;
    ASSERT_TRUE(AssetDbIpc::PeekBlock(Database(), block));
    EXPECT_EQ(block.masterPid, getpid());
    EXPECT_EQ(block.exclusivePid, getpid());
    EXPECT_EQ(block.ownerPid, getpid());
    EXPECT_EQ(block.requesterPid, -1);
    EXPECT_EQ(block.countingEnabled, 2u);

    // A product started now is kept out while the hold lasts.
    RunningProgram refused({kStandIn, m_folder});
    EXPECT_EQ(refused.Wait(), 2) << refused.Output();

    // Lent and reclaimed: the hold comes back with the ownership.
    ASSERT_TRUE(AssetDbIpc::Lend());
    ASSERT_TRUE(AssetDbIpc::PeekBlock(Database(), block));
    EXPECT_EQ(block.lentFlag, 1);
    EXPECT_EQ(block.ownerPid, -1);
    EXPECT_TRUE(AssetDbIpc::Reclaim());
    ASSERT_TRUE(AssetDbIpc::PeekBlock(Database(), block));
    EXPECT_EQ(block.lentFlag, 0);
    EXPECT_EQ(block.ownerPid, getpid());

    AssetDbIpc::EndExclusive();
    ASSERT_TRUE(AssetDbIpc::PeekBlock(Database(), block));
    EXPECT_EQ(block.exclusivePid, 0);
    EXPECT_EQ(block.ownerPid, -1);

    AssetDbIpc::Close();
    EXPECT_FALSE(AssetDbIpc::IsOpen());
    EXPECT_FALSE(RegistryExists()) << "the last program to close removes the objects";
}

TEST_F(AssetDbIpcTest, ARunningProductMakesTheRegistryJoinedAndRefusesTheHold)
{
    auto product = StartProduct();
    ASSERT_TRUE(AssetDbIpc::Open(Database(), false));
    EXPECT_FALSE(AssetDbIpc::IsMaster());
    EXPECT_EQ(AssetDbIpc::UserCount(), 2);
    EXPECT_FALSE(AssetDbIpc::RequestExclusive());

    // A joiner leaves the count as it found it.
    AssetDbIpc::Close();
    AssetDbBlock block;
    ASSERT_TRUE(AssetDbIpc::PeekBlock(Database(), block));
    EXPECT_EQ(block.userCount, 2);
    EXPECT_EQ(block.masterPid, product->Pid());

    product->Signal(SIGTERM);
    EXPECT_EQ(product->Wait(), 0);
    EXPECT_FALSE(RegistryExists());
}

TEST_F(AssetDbIpcTest, TheMasterLowersTheCountWhenItCloses)
{
    ASSERT_TRUE(AssetDbIpc::Open(Database(), false));
    auto product = StartProduct();
    AssetDbBlock block;
    ASSERT_TRUE(AssetDbIpc::PeekBlock(Database(), block));
    EXPECT_EQ(block.userCount, 2);

    AssetDbIpc::Close();
    ASSERT_TRUE(AssetDbIpc::PeekBlock(Database(), block)) << "the product still holds the registry";
    EXPECT_EQ(block.userCount, 1);
    EXPECT_EQ(block.masterPid, -1);

    product->Signal(SIGINT);
    EXPECT_EQ(product->Wait(), 0);
    EXPECT_FALSE(RegistryExists());
}

TEST_F(AssetDbIpcTest, ARegistryWithoutCountingReportsTheCountAsNotKept)
{
    auto product = StartProduct({"--no-counting"});
    ASSERT_TRUE(AssetDbIpc::Open(Database(), false));
    EXPECT_EQ(AssetDbIpc::UserCount(), kUserCountNotKept);
}

TEST_F(AssetDbIpcTest, PathsAreComparedWithoutCase)
{
    const std::string lowerFolder = m_root + "/korvil";
    ASSERT_TRUE(MakeDirectory(NativeToPath(lowerFolder)));
    EXPECT_EQ(AssetDbIpc::RegistryKey(m_folder + "/ASSETS.KDX"), AssetDbIpc::RegistryKey(lowerFolder + "/assets.kdx"));

    auto product = StartProduct();
    ASSERT_TRUE(AssetDbIpc::Open(lowerFolder + "/ASSETS.KDX", false));
    EXPECT_EQ(AssetDbIpc::UserCount(), 2) << "both spellings name the product's registry";
}

TEST_F(AssetDbIpcTest, OnlyAnExistingAssetDatabaseFolderIsAccepted)
{
    const std::string refused[] = {
        m_folder + "/assets.kdx.bak",
        m_folder + "/assets.kdx/other",
        m_folder + "/missing/assets.kdx",
        "assets.kdx",
    };
    for (const std::string &path : refused)
    {
        SCOPED_TRACE(path);
        EXPECT_FALSE(AssetDbIpc::Open(path, false));
        EXPECT_FALSE(AssetDbIpc::IsOpen());
    }
    EXPECT_EQ(AssetDbIpc::RegistryKey("/Games/Korvil/assets.kdx"), "09731AC6-B611-4e2a-B181-578073F64F24/games/korvil");
}

TEST_F(AssetDbIpcTest, AKilledHolderLeavesNeitherTheMutexHeldNorAStaleRegistry)
{
    auto product = StartProduct({"--hold-mutex"});
    product->Signal(SIGKILL);
    EXPECT_EQ(product->Wait(), 128 + SIGKILL);

    ASSERT_TRUE(AssetDbIpc::Open(Database(), false));
    EXPECT_TRUE(AssetDbIpc::IsMaster()) << "nobody is registered any more";
    EXPECT_EQ(AssetDbIpc::UserCount(), 1);
    // Taking the ownership waits for the mutex; it must not wait for the dead holder.
    auto acquired = std::async(std::launch::async, [] { return AssetDbIpc::RequestExclusive(); });
    ASSERT_EQ(acquired.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(acquired.get());
}

TEST_F(AssetDbIpcTest, AProductThatTakesNoLockIsSeenThroughItsProcessIdAndKeepsItsObjects)
{
    auto product = StartProduct({"--no-lock"});
    ASSERT_TRUE(AssetDbIpc::Open(Database(), false));
    EXPECT_FALSE(AssetDbIpc::IsMaster()) << "the product's registry is live, not a leftover";
    EXPECT_EQ(AssetDbIpc::UserCount(), 2);
    EXPECT_FALSE(AssetDbIpc::RequestExclusive());

    AssetDbIpc::Close();
    AssetDbBlock block;
    ASSERT_TRUE(AssetDbIpc::PeekBlock(Database(), block)) << "the objects stay while the product lives";
    EXPECT_EQ(block.masterPid, product->Pid());

    product->Signal(SIGTERM);
    EXPECT_EQ(product->Wait(), 0);
    EXPECT_FALSE(RegistryExists()) << "the product, last to close, removes them";
}

TEST_F(AssetDbIpcTest, TheObjectsOfProductsThatDiedAreTakenOverAsNew)
{
    const std::vector<std::string> options[] = {{}, {"--no-lock"}, {"--no-counting"}};
    for (const auto &option : options)
    {
        SCOPED_TRACE(option.empty() ? "locking" : option[0]);
        auto product = StartProduct(option);
        product->Signal(SIGKILL);
        EXPECT_EQ(product->Wait(), 128 + SIGKILL);
        ASSERT_TRUE(RegistryExists()) << "a killed program cannot remove its objects";

        ASSERT_TRUE(AssetDbIpc::Open(Database(), false));
        EXPECT_TRUE(AssetDbIpc::IsMaster());
        EXPECT_EQ(AssetDbIpc::UserCount(), 1);
        AssetDbBlock block;
        ASSERT_TRUE(AssetDbIpc::PeekBlock(Database(), block));
        EXPECT_EQ(block.masterPid, getpid());
        EXPECT_EQ(block.countingEnabled, 2u);
        EXPECT_TRUE(AssetDbIpc::RequestExclusive());
        AssetDbIpc::Close();
        EXPECT_FALSE(RegistryExists());
    }
}

TEST_F(AssetDbIpcTest, NamesKeepBytesOutsideAsciiAndOnlyLowerCaseAsciiLetters)
{
    struct Case
    {
        const char *path;
        const char *key;
    };
    const Case cases[] = {
        {"/Spiele/\xc3\x89T\xc3\x89/assets.kdx", "/spiele/\xc3\x89t\xc3\x89"},
        {"/D\xd0\x98SK/Korvil/ASSETS.KDX", "/d\xd0\x98sk/korvil"},
        {"C:\\Games\\Korvil\\assets.kdx", "/c:/games/korvil"},
    };
    for (const Case &test : cases)
        EXPECT_EQ(AssetDbIpc::RegistryKey(test.path), kKeyPrefix + std::string(test.key)) << test.path;
}

TEST_F(AssetDbIpcTest, DeepAndNonAsciiInstallationPathsGetARegistry)
{
    struct Case
    {
        const char *name;
        std::string folder;
        bool hashed;
    };
    const Case cases[] = {
        {"non-ASCII", m_root + "/Sp\xc3\xa9le/\xd0\x9a\xd0\xbe\xd1\x80\xd0\xb2\xd0\xb8\xd0\xbb", false},
        {"200 characters", DeepFolder(m_root, 200), true},
        {"2000 characters", DeepFolder(m_root, 2000), true},
    };
    for (const Case &test : cases)
    {
        SCOPED_TRACE(test.name);
        ASSERT_TRUE(MakeDirectory(NativeToPath(test.folder)));
        const std::string database = test.folder + "/assets.kdx";
        RunningProgram product({kStandIn, test.folder});
        ASSERT_TRUE(product.WaitForOutput("ready")) << product.Output();

        ASSERT_TRUE(AssetDbIpc::Open(database, false));
        EXPECT_EQ(AssetDbIpc::UserCount(), 2) << "the patcher and the product meet in one registry";
        EXPECT_FALSE(AssetDbIpc::RequestExclusive());

        // Other programs derive the same names: the encoded key, or the digest of a long one.
        const std::string key = AssetDbIpc::RegistryKey(database);
        if (test.hashed)
        {
            EXPECT_TRUE(std::filesystem::exists("/dev/shm/pelmo-" + Sha256Hex(key)));
            EXPECT_TRUE(std::filesystem::exists("/dev/shm/pelmo-" + Sha256Hex(key + "/-ipc2")));
        }
        else
        {
            EXPECT_LE(key.size(), 200u);
            EXPECT_EQ(key.find('%'), std::string::npos);
        }
        AssetDbIpc::Close();
        product.Signal(SIGTERM);
        EXPECT_EQ(product.Wait(), 0);
        AssetDbBlock block;
        EXPECT_FALSE(AssetDbIpc::PeekBlock(database, block));
        EXPECT_FALSE(std::filesystem::exists("/dev/shm/pelmo-" + Sha256Hex(key)));
    }

    // Two deep folders that share their first 240 bytes are still two registries.
    const std::string first = DeepFolder(m_root + "/a", 400);
    const std::string second = first.substr(0, first.size() - 1) + "y";
    ASSERT_TRUE(MakeDirectory(NativeToPath(first)));
    ASSERT_TRUE(MakeDirectory(NativeToPath(second)));
    RunningProgram product({kStandIn, first});
    ASSERT_TRUE(product.WaitForOutput("ready")) << product.Output();
    ASSERT_TRUE(AssetDbIpc::Open(second + "/assets.kdx", false));
    EXPECT_TRUE(AssetDbIpc::IsMaster());
    EXPECT_EQ(AssetDbIpc::UserCount(), 1);
    product.Signal(SIGTERM);
    EXPECT_EQ(product.Wait(), 0);
}

namespace
{
// The objects of the registry for an installation, named as every product program names them.
std::string EncodedObjectPath(const std::string &name)
{
    std::string path = "/dev/shm/";
    for (char c : name)
        path += c == '%' ? std::string("%25") : c == '/' ? std::string("%2F") : std::string(1, c);
    return path;
}

class HostileObjectsTest : public AssetDbIpcTest
{
protected:
    void TearDown() override
    {
        AssetDbIpc::Close();
        unsetenv(kLockWaitDeadlineOverride);
        std::error_code ignored;
        std::filesystem::remove_all(BlockPath(), ignored);
        std::filesystem::remove(MutexPath(), ignored);
    }

    std::string MutexPath() const { return EncodedObjectPath(AssetDbIpc::RegistryKey(Database())); }
    std::string BlockPath() const { return EncodedObjectPath(AssetDbIpc::RegistryKey(Database()) + "/-ipc2"); }
};
} // namespace

// Every account may write the block: one cut short under an open registry is no block (a mapping
// would have raised SIGBUS here), and nobody holding it, the last one out still removes it.
TEST_F(HostileObjectsTest, ABlockCutShortUnderTheRegistryIsNoBlock)
{
    ASSERT_TRUE(AssetDbIpc::Open(Database(), false));
    ASSERT_TRUE(AssetDbIpc::RequestExclusive());
    ASSERT_EQ(truncate(BlockPath().c_str(), 0), 0);
    EXPECT_EQ(AssetDbIpc::UserCount(), 0);
    EXPECT_FALSE(AssetDbIpc::Lend());
    EXPECT_FALSE(AssetDbIpc::Reclaim());
    EXPECT_FALSE(AssetDbIpc::TryAcquireOwnership(true));
    AssetDbIpc::EndExclusive();
    AssetDbIpc::Close();
    EXPECT_FALSE(std::filesystem::exists(BlockPath()));
}

// What another account left in the block's place is not taken over, nor used: "in use".
TEST_F(HostileObjectsTest, ABlockOfTheWrongSizeOrTypeMeansInUse)
{
    struct Planted
    {
        const char *what;
        std::function<void(const std::string &)> plant;
    };
    const Planted planted[] = {
        {"a short block", [](const std::string &path) { std::ofstream(path) << "short"; }},
        {"a long block", [](const std::string &path) { std::ofstream(path) << std::string(64, '\0'); }},
        {"a FIFO", [](const std::string &path) { mkfifo(path.c_str(), 0666); }},
        {"a directory", [](const std::string &path) { mkdir(path.c_str(), 0777); }},
    };
    for (const Planted &row : planted)
    {
        SCOPED_TRACE(row.what);
        row.plant(BlockPath());
        EXPECT_FALSE(AssetDbIpc::Open(Database(), false));
        EXPECT_FALSE(AssetDbIpc::IsOpen());
        EXPECT_TRUE(std::filesystem::exists(BlockPath())) << "left as it was";
        std::filesystem::remove(BlockPath());
    }
    // A running product's block cut to nothing is still that product's.
    auto product = StartProduct();
    ASSERT_EQ(truncate(BlockPath().c_str(), 0), 0);
    EXPECT_FALSE(AssetDbIpc::Open(Database(), false));
}

TEST_F(HostileObjectsTest, AHeldMutexEndsTheWaitAtTheDeadline)
{
    auto product = StartProduct({"--hold-mutex"});
    setenv(kLockWaitDeadlineOverride, "200", 1);
    EXPECT_FALSE(AssetDbIpc::Open(Database(), false));
    EXPECT_EQ(LastLockWaitResult(), LockWaitResult::TimedOut);
    EXPECT_FALSE(AssetDbIpc::IsOpen());
}
