// Whole-program runs of a standalone patcher that carries the steps 100 -> 101 -> 102, on sample
// installations made by the project's own tools, checked by exit status, output, registry file and
// the installation's bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <thread>

#include "E2eFixtures.h"
#include "RunningProgram.h"
#include "kernel/AssetDbIpc.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "patch/MD5.h"
#include "patch/PackageArchive.h"
#include "patch/UninstallLog.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace
{
const char *const kVersions[] = {"100", "101", "102"};

class StandaloneRunTest : public e2e::PatcherRunTest
{
protected:
    // The reference builds, the packages and the patcher are made once for all tests.
    static void SetUpTestSuite()
    {
        s_temp = std::make_unique<testfiles::TempDirectory>("pelmo-e2e");
        s_root = s_temp->Path();
        fs::create_directories(s_root);
        std::map<std::string, std::string> digests;
        for (const char *version : kVersions)
        {
            std::string digest;
            RunTool({kBuild + "/zelk-mksample", (s_root / ("build-" + std::string(version))).string(), "--version",
                     version},
                    &digest);
            digests[version] = digest.substr(0, digest.find('\n'));
            // A publisher's build tree has no uninstall log: that is the installer's, per installation.
            fs::remove(s_root / ("build-" + std::string(version)) / "unins000.dat");
        }
        RunTool({kBuild + "/zelk-mkpatch", (s_root / "build-100").string(), (s_root / "build-101").string(),
                 (s_root / "100_to_101.zip").string()});
        RunTool({kBuild + "/zelk-mkpatch", (s_root / "build-101").string(), (s_root / "build-102").string(),
                 (s_root / "101_to_102.zip").string()});
        s_patcher = s_root / "pelmo-patcher-102";
        RunTool({kBuild + "/zelk-mkpayload", kBuild + "/pelmo-patcher", s_patcher.string(), "--target", "102",
                 "--build", digests["100"] + "=100", "--build", digests["101"] + "=101", "--build",
                 digests["102"] + "=102", "--step",
                 "100:101:" + (s_root / "100_to_101.zip").string(), "--step",
                 "101:102:" + (s_root / "101_to_102.zip").string()});
    }

    static void TearDownTestSuite() { s_temp.reset(); }

    void SetUp() override { MakeRunDirectory(s_root); }

    std::unique_ptr<RunningProgram> StartPatcher(std::vector<std::string> extraEnvironment = {})
    {
        return std::make_unique<RunningProgram>(std::vector<std::string>{s_patcher.string(), "-u"},
                                                Environment(std::move(extraEnvironment)));
    }

    // Runs the patcher unattended to its end: exit status and output.
    int RunPatcher(std::string &output, std::vector<std::string> extraEnvironment = {})
    {
        auto patcher = StartPatcher(std::move(extraEnvironment));
        const int status = patcher->Wait();
        output = patcher->Output();
        return status;
    }

    bool PatchingMarkerSet() const
    {
        std::string text = ReadFile(m_registry);
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
        return text.find("\"ispatching\"=dword:00000001") != std::string::npos;
    }

    std::vector<std::string> DifferencesFrom(const char *version) const
    {
        return TreeDifferences(m_install, s_root / ("build-" + std::string(version)));
    }

    // Makes the patch tool take its time after its work, so that a signal surely arrives in the
    // middle of a step while no tool is left writing behind a killed patcher.
    void SlowDownPatchTool()
    {
        const fs::path tool = m_install / "bin/jpatchl-w32.exe";
        fs::copy_file(tool, m_dir / "real-jptch", fs::copy_options::overwrite_existing);
        WriteFile(tool, "#!/bin/sh\n\"" + (m_dir / "real-jptch").string() +
                            "\" \"$@\"\nstatus=$?\nsleep 0.4\nexit $status\n");
        fs::permissions(tool, fs::perms::owner_all, fs::perm_options::add);
    }

    void RestorePatchTool()
    {
        fs::copy_file(m_dir / "real-jptch", m_install / "bin/jpatchl-w32.exe", fs::copy_options::overwrite_existing);
    }

    static std::unique_ptr<testfiles::TempDirectory> s_temp;
    static fs::path s_root;
    static fs::path s_patcher;
};

std::unique_ptr<testfiles::TempDirectory> StandaloneRunTest::s_temp;
fs::path StandaloneRunTest::s_root;
fs::path StandaloneRunTest::s_patcher;
} // namespace

TEST_F(StandaloneRunTest, TwoStepsBringTheInstallationToTheTarget)
{
    UninstallLogContents before;
    std::string error;
    ASSERT_TRUE(ReadUninstallLog(NativeToPath(m_install / "unins000.dat"), before, error)) << error;

    std::string output;
    EXPECT_EQ(RunPatcher(output), 0) << output;
    EXPECT_NE(output.find("Patching from 100 to 101."), std::string::npos) << output;
    EXPECT_NE(output.find("Patching from 101 to 102."), std::string::npos) << output;
    EXPECT_NE(output.find("Patching completed."), std::string::npos) << output;
    EXPECT_EQ(output.find("Patching aborted."), std::string::npos) << output;
    EXPECT_EQ(DifferencesFrom("102"), std::vector<std::string>());
    EXPECT_EQ(ReadFile(m_utilityLog), "repairdatabase patcher\n") << "the database is rebuilt once, at the end";
    EXPECT_FALSE(PatchingMarkerSet());
    EXPECT_FALSE(fs::exists(m_install / "patch-journal.txt"));

    // One delete-file record per added file, ahead of the closing record.
    UninstallLogContents after;
    ASSERT_TRUE(ReadUninstallLog(NativeToPath(m_install / "unins000.dat"), after, error)) << error;
    ASSERT_EQ(after.records.size(), before.records.size() + 2);
    for (const char *added : {"data/addons/addon101.pak", "data/addons/addon102.pak"})
    {
        const std::wstring path = NativeToPath((m_install / added).string());
        const size_t count = std::count_if(after.records.begin(), after.records.end(), [&](const UninstallRecord &r) {
            return r.type == kUninstallRecordDeleteFile && r.strings.size() == 1 && r.strings[0] == path;
        });
        EXPECT_EQ(count, 1u) << added;
    }
    EXPECT_EQ(after.records.back().type, kUninstallRecordEndInstall);
}

TEST_F(StandaloneRunTest, ADamagedFileFailsTheStepUntilItIsRepaired)
{
    // Step 101 patches this file; a changed byte makes its digest unknown to the package.
    const fs::path damaged = m_install / "data/sounds/ambient.bnk";
    std::string content = ReadFile(damaged);
    content[1000] ^= 0x55;
    WriteFile(damaged, content);

    std::string output;
    EXPECT_EQ(RunPatcher(output), 1) << output;
    EXPECT_NE(output.find("ambient.bnk"), std::string::npos) << output;
    EXPECT_NE(output.find("Failed to apply the patch: 100_to_101"), std::string::npos) << output;
    EXPECT_NE(output.find("Patching aborted."), std::string::npos) << output;
    EXPECT_EQ(output.find("Patching from 101 to 102."), std::string::npos) << output;
    EXPECT_TRUE(PatchingMarkerSet());
    EXPECT_FALSE(fs::exists(m_utilityLog)) << "no rebuild after a failed run";

    fs::copy_file(s_root / "build-100/data/sounds/ambient.bnk", damaged, fs::copy_options::overwrite_existing);
    EXPECT_EQ(RunPatcher(output), 0) << output;
    EXPECT_NE(output.find("Patching completed."), std::string::npos) << output;
    EXPECT_EQ(DifferencesFrom("102"), std::vector<std::string>());
    EXPECT_FALSE(PatchingMarkerSet());
}

TEST_F(StandaloneRunTest, ARunningProductKeepsThePatcherOut)
{
    RunningProgram product({kBuild + "/zelk-product-instance", m_install.string()});
    ASSERT_TRUE(product.WaitForOutput("ready")) << product.Output();

    std::string output;
    EXPECT_EQ(RunPatcher(output), 1) << output;
    EXPECT_NE(output.find("Unable to patch - files in use."), std::string::npos) << output;
    EXPECT_NE(output.find("[Files In Use]\nOne or more Korvil-related executables are currently running."),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("Patching aborted."), std::string::npos) << output;
    EXPECT_EQ(DifferencesFrom("100"), std::vector<std::string>());

    // Once the product is gone the same installation patches.
    product.Signal(SIGTERM);
    EXPECT_EQ(product.Wait(), 0);
    EXPECT_EQ(RunPatcher(output), 0) << output;
    EXPECT_EQ(DifferencesFrom("102"), std::vector<std::string>());
}

// Product programs that keep the registry's rules, whether or not they take its liveness lock:
// a live one keeps the patcher out and keeps its objects; a dead one's leftovers are taken over.
TEST_F(StandaloneRunTest, ProductProgramsKeepThePatcherOutOnlyWhileTheyLive)
{
    struct Case
    {
        const char *name;
        std::vector<std::string> options;
        bool killed;
        int status;
        const char *message;
    };
    const Case cases[] = {
        {"holding the lock", {}, false, 1, "Unable to patch - files in use."},
        {"without the lock", {"--no-lock"}, false, 1, "Unable to patch - files in use."},
        {"died holding the lock", {"--hold-mutex"}, true, 0, "Patching completed."},
        {"died without the lock", {"--no-lock"}, true, 0, "Patching completed."},
    };
    const std::string database = (m_install / "assets.kdx").string();
    for (const Case &test : cases)
    {
        SCOPED_TRACE(test.name);
        fs::remove_all(m_install);
        RunTool({kBuild + "/zelk-mksample", m_install.string(), "--version", "100"});
        std::vector<std::string> arguments = {kBuild + "/zelk-product-instance", m_install.string()};
        arguments.insert(arguments.end(), test.options.begin(), test.options.end());
        RunningProgram product(arguments);
        ASSERT_TRUE(product.WaitForOutput("ready")) << product.Output();
        if (test.killed)
        {
            product.Signal(SIGKILL);
            product.Wait();
        }

        std::string output;
        EXPECT_EQ(RunPatcher(output), test.status) << output;
        EXPECT_NE(output.find(test.message), std::string::npos) << output;
        EXPECT_EQ(DifferencesFrom(test.status == 0 ? "102" : "100"), std::vector<std::string>());
        AssetDbBlock block;
        if (test.killed)
        {
            EXPECT_FALSE(AssetDbIpc::PeekBlock(database, block)) << "the leftovers are gone with the run";
            continue;
        }
        ASSERT_TRUE(AssetDbIpc::PeekBlock(database, block)) << "the patcher left the product's objects alone";
        EXPECT_EQ(block.masterPid, product.Pid());
        EXPECT_EQ(block.exclusivePid, 0);
        product.Signal(SIGTERM);
        EXPECT_EQ(product.Wait(), 0);
    }
}

TEST_F(StandaloneRunTest, ADeepInstallationPathIsPatchedAndGuarded)
{
    // 200 characters in many levels: the registry's names are too long to be used as they are.
    fs::path deep = m_dir;
    for (int level = 0; deep.string().size() < 200; ++level)
        deep /= "Level" + std::to_string(level);
    fs::create_directories(deep.parent_path());
    fs::rename(m_install, deep);
    m_install = deep;
    WriteFile(m_registry, "Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]\n"
                          "\"ProductClass\"=\"Korvil\"\n"
                          "\"ProductInstallPath\"=\"" +
                              m_install.string() + "\"\n");

    RunningProgram product({kBuild + "/zelk-product-instance", m_install.string()});
    ASSERT_TRUE(product.WaitForOutput("ready")) << product.Output();
    std::string output;
    EXPECT_EQ(RunPatcher(output), 1) << output;
    EXPECT_NE(output.find("Unable to patch - files in use."), std::string::npos) << output;
    EXPECT_EQ(DifferencesFrom("100"), std::vector<std::string>());

    product.Signal(SIGTERM);
    EXPECT_EQ(product.Wait(), 0);
    EXPECT_EQ(RunPatcher(output), 0) << output;
    EXPECT_NE(output.find("Patching completed."), std::string::npos) << output;
    EXPECT_EQ(DifferencesFrom("102"), std::vector<std::string>());
}

TEST_F(StandaloneRunTest, FreeDiskSpaceIsChecked)
{
    struct Case
    {
        const char *freeSpace;
        int status;
        const char *message;
    };
    const Case cases[] = {
        {"4095", 1, "Insufficient disk space available for patching. Please ensure that at least 4096MB are available."},
        {"unreadable", 0, "Patch installer is unable to determine whether sufficient disk space is available"},
    };
    for (const Case &test : cases)
    {
        SCOPED_TRACE(test.freeSpace);
        std::string output;
        EXPECT_EQ(RunPatcher(output, {std::string("ZELK_TEST_FREE_SPACE_MB=") + test.freeSpace}), test.status) << output;
        EXPECT_NE(output.find("Checking for available disk space for patching."), std::string::npos) << output;
        EXPECT_NE(output.find(test.message), std::string::npos) << output;
        EXPECT_EQ(DifferencesFrom(test.status == 0 ? "102" : "100"), std::vector<std::string>());
    }
}

TEST_F(StandaloneRunTest, AFailingUtilityIsReportedAndTheRunStillCompletes)
{
    std::string output;
    EXPECT_EQ(RunPatcher(output, {"KORVILUTIL_EXIT=3"}), 0) << output;
    EXPECT_NE(output.find("Updating Korvil asset database... (this may take several minutes)"), std::string::npos);
    EXPECT_NE(output.find("KorvilUtil: repairdatabase requested by patcher"), std::string::npos) << output;
    EXPECT_NE(output.find("KorvilUtil: 3 asset index entries were stale"), std::string::npos) << output;
    EXPECT_NE(output.find("ERROR 3 on exit. Asset database update failed."), std::string::npos) << output;
    EXPECT_NE(output.find("Patching completed."), std::string::npos) << output;
    EXPECT_EQ(DifferencesFrom("102"), std::vector<std::string>());
}

TEST_F(StandaloneRunTest, AnInterruptInTheMiddleOfAStepLeavesEveryFileOldOrNew)
{
    SlowDownPatchTool();
    auto patcher = StartPatcher();
    ASSERT_TRUE(patcher->WaitForOutput("Patching...")) << patcher->Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    patcher->Signal(SIGINT);
    EXPECT_EQ(patcher->Wait(), 1) << patcher->Output();
    EXPECT_NE(patcher->Output().find("Patching aborted."), std::string::npos) << patcher->Output();
    RestorePatchTool();

    // Each file is what one of the builds has at its path; nothing half-written, nothing left over.
    std::map<std::string, std::set<std::string>> known;
    for (const char *version : kVersions)
        for (const auto &[path, content] : TreeContents(s_root / ("build-" + std::string(version)), {}))
            known[path].insert(content);
    for (const auto &[path, content] : TreeContents(m_install, {"unins000.dat", "patch-journal.txt"}))
        EXPECT_TRUE(known.count(path) && known[path].count(content)) << path;
    EXPECT_NE(DifferencesFrom("102"), std::vector<std::string>()) << "the run did not finish";

    std::string output;
    EXPECT_EQ(RunPatcher(output), 0) << output;
    EXPECT_EQ(DifferencesFrom("102"), std::vector<std::string>());
}

TEST_F(StandaloneRunTest, ARunKilledInTheMiddleOfAStepIsFinishedByTheNextRun)
{
    SlowDownPatchTool();
    auto patcher = StartPatcher();
    ASSERT_TRUE(patcher->WaitForOutput("Patching...")) << patcher->Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    patcher->Signal(SIGKILL);
    EXPECT_EQ(patcher->Wait(), 128 + SIGKILL);
    EXPECT_TRUE(fs::exists(m_install / "patch-journal.txt"));
    EXPECT_TRUE(PatchingMarkerSet());

    std::string output;
    EXPECT_EQ(RunPatcher(output), 0) << output;
    EXPECT_NE(output.find("Patching completed."), std::string::npos) << output;
    RestorePatchTool();
    EXPECT_EQ(DifferencesFrom("102"), std::vector<std::string>());
    EXPECT_FALSE(fs::exists(m_install / "patch-journal.txt"));
    EXPECT_FALSE(PatchingMarkerSet());

    UninstallLogContents log;
    std::string error;
    ASSERT_TRUE(ReadUninstallLog(NativeToPath(m_install / "unins000.dat"), log, error)) << error;
    for (const char *added : {"data/addons/addon101.pak", "data/addons/addon102.pak"})
    {
        const std::wstring path = NativeToPath((m_install / added).string());
        EXPECT_TRUE(std::any_of(log.records.begin(), log.records.end(), [&](const UninstallRecord &r) {
            return r.type == kUninstallRecordDeleteFile && !r.strings.empty() && r.strings[0] == path;
        })) << added;
    }
}

TEST_F(StandaloneRunTest, TheJournalOfAnUnfinishedStepWinsOverTheLaunchersDigest)
{
    // The state a crash leaves when the launcher was patched but the rest of the step was not:
    // the launcher names the step's target, the other files are those of its source.
    struct Case
    {
        const char *source;
        const char *target;
    };
    const Case cases[] = {{"100", "101"}, {"101", "102"}};
    for (const Case &test : cases)
    {
        SCOPED_TRACE(test.source);
        fs::remove_all(m_install);
        RunTool({kBuild + "/zelk-mksample", m_install.string(), "--version", test.source});
        fs::copy_file(s_root / ("build-" + std::string(test.target)) / "bin/Launcher.exe",
                      m_install / "bin/Launcher.exe", fs::copy_options::overwrite_existing);
        WriteFile(m_install / "patch-journal.txt",
                  "source=" + std::string(test.source) + "\ntarget=" + test.target + "\norigin=payload\n");

        std::string output;
        EXPECT_EQ(RunPatcher(output), 0) << output;
        EXPECT_NE(output.find("Patching from " + std::string(test.source) + " to " + test.target + "."),
                  std::string::npos)
            << output;
        EXPECT_EQ(DifferencesFrom("102"), std::vector<std::string>());
        EXPECT_FALSE(fs::exists(m_install / "patch-journal.txt"));
    }
}

// A step whose "addedFiles.txt" names a path of 100,000 levels once made the run die of its memory
// after the journal and the marker were written, so that every later run went back to the step
// and died the same way. The package is now refused before either is written: each run fails
// cleanly and leaves the installation as it was.
TEST_F(StandaloneRunTest, AStepListingAPathBeyondTheBoundsIsRefusedBeforeTheInstallationIsMarked)
{
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "a\\";
    WriteFile(m_dir / "lists/addedFiles.txt", deep + "x.txt\r\n0\r\n\r\n");
    WriteFile(m_dir / "lists/deletedFiles.txt", "");
    WriteFile(m_dir / "lists/patchedFiles.txt", "");
    {
        PackageArchiveWriter archive(NativeToPath((m_dir / "deep.pak").string()));
        ASSERT_EQ(archive.AddDirectory(L".\\data"), ZELKRESULT_OK);
        for (const char *list : {"addedFiles.txt", "deletedFiles.txt", "patchedFiles.txt"})
            ASSERT_EQ(archive.AddFile(L".\\" + NativeToPath(list), NativeToPath((m_dir / "lists" / list).string())),
                      ZELKRESULT_OK);
        ASSERT_EQ(archive.Close(), ZELKRESULT_OK);
    }
    std::wstring digest;
    ASSERT_TRUE(HashFileMD5(NativeToPath((m_install / "bin/Launcher.exe").string()), digest));
    const fs::path patcher = m_dir / "deep-patcher";
    RunTool({kBuild + "/zelk-mkpayload", kBuild + "/pelmo-patcher", patcher.string(), "--target", "101", "--build",
             WideToNarrow(digest) + "=100", "--step", "100:101:" + (m_dir / "deep.pak").string()});

    for (int run = 0; run < 2; ++run)
    {
        SCOPED_TRACE(run);
        // Should the refusal ever go, the run must fail here rather than take the machine's memory
        // or hang with it: without the refusal it never ended.
        RunningProgram patcherRun(
            {"/bin/sh", "-c", "ulimit -v 4000000; exec timeout -s KILL 120 \"$0\" -u", patcher.string()},
            Environment());
        EXPECT_EQ(patcherRun.Wait(), 1) << patcherRun.Output();
        const std::string output = patcherRun.Output();
        EXPECT_NE(output.find("Refused a package list that names a path too long or too deep: "), std::string::npos)
            << output;
        EXPECT_NE(output.find("Failed to apply the patch: 100_to_101"), std::string::npos) << output;
        EXPECT_EQ(output.substr(output.rfind("Patching")), "Patching aborted.\n") << output;
        EXPECT_FALSE(fs::exists(m_install / "patch-journal.txt"));
        EXPECT_FALSE(PatchingMarkerSet());
        EXPECT_EQ(DifferencesFrom("100"), std::vector<std::string>());
    }
}

// Run again on the installation it brought to the target, the patcher has nothing to do, and
// says so as a success.
TEST_F(StandaloneRunTest, AnInstallationAtTheTargetIsUpToDate)
{
    std::string output;
    ASSERT_EQ(RunPatcher(output), 0) << output;
    fs::remove(m_utilityLog);

    EXPECT_EQ(RunPatcher(output), 0) << output;
    EXPECT_EQ(output, "The installed build does not require this patch.\n");
    EXPECT_EQ(DifferencesFrom("102"), std::vector<std::string>());
    EXPECT_FALSE(fs::exists(m_utilityLog)) << "no rebuild when nothing was patched";
}

// Unattended, standard output holds the run's messages and nothing else: the diagnostic lines of
// a step whose journal cannot be written (a directory stands in its place) go to standard error.
TEST_F(StandaloneRunTest, DiagnosticLinesGoToStandardError)
{
    fs::create_directory(m_install / "patch-journal.txt");
    const fs::path standardOutput = m_dir / "stdout.txt";
    const fs::path standardError = m_dir / "stderr.txt";
    RunningProgram patcher({"/bin/sh", "-c", "exec \"$0\" -u >\"$1\" 2>\"$2\"", s_patcher.string(),
                            standardOutput.string(), standardError.string()},
                           Environment());
    EXPECT_EQ(patcher.Wait(), 1) << patcher.Output();
    EXPECT_EQ(ReadFile(standardOutput), "Ready to install from local patch file.\n"
                                        "Current version: 100.\n"
                                        "Target version: 102.\n"
                                        "\n"
                                        "Checking for available disk space for patching.\n"
                                        "Patching from 100 to 101.\n"
                                        "Unpacking patch file...\n"
                                        "Patching...\n"
                                        "\n"
                                        "\n"
                                        "Failed to apply the patch: 100_to_101\n"
                                        "Patching aborted.\n");
    EXPECT_NE(ReadFile(standardError).find("cannot write the step journal"), std::string::npos)
        << ReadFile(standardError);
    // The step was not begun: nothing differs but the test's directory.
    EXPECT_EQ(DifferencesFrom("100"), std::vector<std::string>{"extra patch-journal.txt"});
}

// A payload whose steps lead back (100 -> 101 -> 100, made by hand: the tool refuses to make one)
// could only bring the installation back and forth, one run after the other. The check says so,
// and the run says so too, changes nothing and fails.
TEST_F(StandaloneRunTest, APayloadWhoseStepsLeadBackIsRefused)
{
    const fs::path looping = m_dir / "looping-patcher";
    std::string bytes = ReadFile(s_patcher);
    size_t header = 0;
    while (bytes.compare(header, 8, "Z0e1l2k3") != 0)
        header += 4096;
    uint64_t stepTable = 0;
    std::memcpy(&stepTable, bytes.data() + header + 60, sizeof stepTable);
    // The second step's target, a NUL-padded field of 32 bytes.
    bytes.replace(stepTable + 80 + 32, 4, std::string("100\0", 4));
    WriteFile(looping, bytes);
    fs::permissions(looping, fs::perms::owner_all);
    const auto before = TreeContents(m_install, {});

    for (const bool check : {true, false})
    {
        SCOPED_TRACE(check ? "check" : "run");
        std::vector<std::string> command{looping.string(), "-u"};
        if (check)
            command.push_back("--check");
        RunningProgram patcher(command, Environment());
        EXPECT_EQ(patcher.Wait(), 1) << patcher.Output();
        const std::string output = patcher.Output();
        if (check)
            EXPECT_TRUE(Contains(output, "Would go ahead: no, the step from version 101 leads back to version 100, "
                                         "which the steps before it reach.\n"))
                << output;
        else
            EXPECT_TRUE(Contains(output, "This patch file cannot be used: its step from version 101 leads back to "
                                         "version 100, which its earlier steps reach. Nothing was installed.\n"
                                         "Patching aborted.\n"))
                << output;
        EXPECT_FALSE(Contains(output, "Patching from")) << output;
        EXPECT_TRUE(TreeContents(m_install, {}) == before) << "the installation was changed";
    }
}
