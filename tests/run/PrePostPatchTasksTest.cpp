#include <gtest/gtest.h>

#include <mutex>
#include <unistd.h>

#include "RecordingObserver.h"
#include "RunningProgram.h"
#include "TestFiles.h"
#include "run/PrePostPatchTasks.h"
#include "kernel/AssetDbIpc.h"
#include "kernel/TextConvert.h"
#include "patch/UninstallLog.h"

namespace
{

class PrePostPatchTasksTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_install = m_temp.Path() / "Korvil";
        std::filesystem::create_directories(m_install / "bin");
        m_installPath = NativeToPath(m_install.string());
    }

    void TearDown() override
    {
        AssetDbIpc::EndExclusive();
        AssetDbIpc::Close();
        unsetenv("ZELK_TEST_FREE_SPACE_MB");
    }

    void WriteUtility(const std::string &script)
    {
        const auto path = m_install / "bin/KorvilUtil.exe";
        testfiles::WriteFile(path, "#!/bin/sh\n" + script);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }

    std::unique_ptr<RunningProgram> StartProduct(std::vector<std::string> options = {})
    {
        std::vector<std::string> arguments = {std::string(ZELK_BUILD_DIR) + "/zelk-product-instance", m_install.string()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        auto product = std::make_unique<RunningProgram>(arguments);
        EXPECT_TRUE(product->WaitForOutput("ready")) << product->Output();
        return product;
    }

    // The running check's pauses are counted, not waited for.
    bool CheckProductNotRunning()
    {
        return ZelkPatch::CheckProductNotRunning(m_installPath,
                                                 [this](unsigned milliseconds) { m_pauses.push_back(milliseconds); });
    }

    testfiles::TempDirectory m_temp;
    std::filesystem::path m_install;
    std::wstring m_installPath;
    std::vector<unsigned> m_pauses;
};
} // namespace

TEST_F(PrePostPatchTasksTest, TheRunningCheckTakesTheHoldWhenNobodyElseHasTheInstallation)
{
    ASSERT_TRUE(CheckProductNotRunning());
    EXPECT_TRUE(m_pauses.empty());
    AssetDbBlock block;
    ASSERT_TRUE(AssetDbIpc::PeekBlock((m_install / "assets.kdx").string(), block));
    EXPECT_EQ(block.exclusivePid, getpid());
    EXPECT_EQ(block.userCount, 1);
}

TEST_F(PrePostPatchTasksTest, TheRunningCheckGivesUpAfterThreeAttemptsTwoSecondsApart)
{
    for (const std::vector<std::string> &options : {std::vector<std::string>{}, {"--no-counting"}})
    {
        SCOPED_TRACE(options.empty() ? "counting" : "not counting");
        m_pauses.clear();
        auto product = StartProduct(options);
        EXPECT_FALSE(CheckProductNotRunning());
        EXPECT_EQ(m_pauses, (std::vector<unsigned>{2000, 2000}));
        AssetDbIpc::Close();
        product->Signal(SIGTERM);
        EXPECT_EQ(product->Wait(), 0);
        AssetDbBlock block;
        EXPECT_FALSE(AssetDbIpc::PeekBlock((m_install / "assets.kdx").string(), block)) << "the last one out removes it";
    }
}

TEST_F(PrePostPatchTasksTest, DiskSpaceBelowTheLimitStopsTheRunAndAnUnknownAmountDoesNot)
{
    struct Case
    {
        const char *freeMegabytes;
        bool passes;
        bool warned;
    };
    const Case cases[] = {{"4095", false, false}, {"4096", true, false}, {"unreadable", true, true}};
    for (const Case &test : cases)
    {
        SCOPED_TRACE(test.freeMegabytes);
        testrun::RecordingObserver observer;
        setenv("ZELK_TEST_FREE_SPACE_MB", test.freeMegabytes, 1);
        EXPECT_EQ(ZelkPatch::CheckDiskSpace(m_installPath, ZelkPatch::kRequiredDiskSpaceMB, observer), test.passes);
        ASSERT_FALSE(observer.lines.empty());
        EXPECT_EQ(observer.lines.front().second, L"Checking for available disk space for patching.");
        EXPECT_EQ(observer.lines.size(), test.warned ? 2u : 1u);
    }
}

TEST_F(PrePostPatchTasksTest, TheRebuildShowsTheUtilitysStreamsAndEndsWithAFullGauge)
{
    struct Case
    {
        const char *name;
        const char *script; // empty: no utility at all
        std::vector<std::pair<int, std::wstring>> expected;
    };
    const std::wstring updating = L"\nUpdating Korvil asset database... (this may take several minutes)";
    const Case cases[] = {
        {"errors only", "echo first >&2\nsleep 0.1\necho second >&2\n",
         {{0, updating}, {2, L"first\n"}, {2, L"second\n"}}},
        {"non-zero exit", "echo done\nexit 5\n",
         {{0, updating}, {0, L"done\n"}, {2, L"ERROR 5 on exit. Asset database update failed.\n"}}},
        {"arguments", "echo \"$@\"\n", {{0, updating}, {0, L"repairdatabase patcher\n"}}},
        {"missing", "",
         {{0, updating},
          {2, L"Failed to launch KorvilUtil to repair the Korvil asset database.\nPlease repair the database "
              L"manually from Assetry."}}},
    };
    for (const Case &test : cases)
    {
        SCOPED_TRACE(test.name);
        std::filesystem::remove(m_install / "bin/KorvilUtil.exe");
        if (*test.script)
            WriteUtility(test.script);
        ASSERT_TRUE(CheckProductNotRunning());

        testrun::RecordingObserver display;
        ZelkPatch::RebuildAssetDatabase(m_installPath, display);
        EXPECT_EQ(display.Lines(), test.expected);
        // The database is back in the patcher's hands.
        AssetDbBlock block;
        ASSERT_TRUE(AssetDbIpc::PeekBlock((m_install / "assets.kdx").string(), block));
        EXPECT_EQ(block.lentFlag, 0);
        EXPECT_EQ(block.ownerPid, getpid());
        const auto gauge = display.Gauge();
        if (*test.script)
        {
            ASSERT_GE(gauge.size(), 4u);
            EXPECT_EQ(gauge[0], std::make_pair(std::string("range"), 1201000));
            EXPECT_EQ(gauge[1], std::make_pair(std::string("value"), 600000));
            EXPECT_EQ(gauge[gauge.size() - 2], std::make_pair(std::string("range"), 1));
            EXPECT_EQ(gauge.back(), std::make_pair(std::string("value"), 1));
        }
        AssetDbIpc::EndExclusive();
        AssetDbIpc::Close();
    }
}

// A step applied again (its journal outlived the run that applied it) records its files once.
TEST_F(PrePostPatchTasksTest, AStepAppliedAgainRecordsItsAddedFilesOnce)
{
    // The uninstall log of a sample installation, which records no added file yet.
    const auto sample = m_temp.Path() / "sample";
    RunningProgram maker({std::string(ZELK_BUILD_DIR) + "/zelk-mksample", sample.string(), "--version", "100"});
    ASSERT_EQ(maker.Wait(), 0) << maker.Output();
    std::filesystem::copy_file(sample / "unins000.dat", m_install / "unins000.dat");
    const std::wstring logPath = NativeToPath((m_install / "unins000.dat").string());
    UninstallLogContents before;
    std::string error;
    ASSERT_TRUE(ReadUninstallLog(logPath, before, error)) << error;
    const auto package = m_temp.Path() / "package";
    std::filesystem::create_directories(package);
    testfiles::WriteFile(package / "addedFiles.txt", "data\\added.pak\r\n0123456789abcdef0123456789abcdef\r\n\r\n");

    for (int run = 0; run < 2; ++run)
        ASSERT_TRUE(ZelkPatch::UpdateUninstallLog(m_installPath, NativeToPath(package.string())));

    UninstallLogContents after;
    ASSERT_TRUE(ReadUninstallLog(logPath, after, error)) << error;
    ASSERT_EQ(after.records.size(), before.records.size() + 1);
    const UninstallRecord &added = after.records[after.records.size() - 2];
    EXPECT_EQ(added.type, kUninstallRecordDeleteFile);
    EXPECT_EQ(added.strings, std::vector<std::wstring>{NativeToPath((m_install / "data/added.pak").string())});
    EXPECT_EQ(after.records.back().type, kUninstallRecordEndInstall);
}
