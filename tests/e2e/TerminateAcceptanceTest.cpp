// SIGTERM cancels an unattended run in the middle of a step as "Cancel" and "Yes" would: the run
// ends with "Patching aborted." and exit status 1, and every file is its old or its new content.
// Its temporary files stay in one private directory, removed at the end.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "RunningProgram.h"
#include "TestFiles.h"

namespace
{
namespace fs = std::filesystem;
const std::string kBuild = ZELK_BUILD_DIR;

TEST(TerminateAcceptanceTest, TerminateInTheMiddleOfAStepCancelsTheRun)
{
    const testfiles::TempDirectory temp("zelk-e2e-terminate");
    const fs::path dir = temp.Path();
    const std::string digest =
        RunToolForOutput({kBuild + "/zelk-mksample", (dir / "100").string(), "--version", "100"});
    RunToolForOutput({kBuild + "/zelk-mksample", (dir / "101").string(), "--version", "101"});
    fs::remove(dir / "100/unins000.dat");
    fs::remove(dir / "101/unins000.dat");
    RunToolForOutput(
        {kBuild + "/zelk-mkpatch", (dir / "100").string(), (dir / "101").string(), (dir / "step.zip").string()});
    const fs::path patcher = dir / "patcher";
    RunToolForOutput({kBuild + "/zelk-mkpayload", kBuild + "/pelmo-patcher", patcher.string(), "--target", "101",
                      "--build", digest.substr(0, digest.find('\n')) + "=100", "--step",
                      "100:101:" + (dir / "step.zip").string()});
    const fs::path install = dir / "Korvil";
    RunToolForOutput({kBuild + "/zelk-mksample", install.string(), "--version", "100"});
    std::ofstream(dir / "registry.reg") << "Windows Registry Editor Version 5.00\n\n"
                                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]\n"
                                           "\"ProductClass\"=\"Korvil\"\n\"ProductInstallPath\"=\""
                                        << install.string() << "\"\n";
    // The patch tool takes its time after each file, so that the signal lands inside the step.
    const fs::path tool = install / "bin/jpatchl-w32.exe";
    fs::copy_file(tool, dir / "real-jptch");
    std::ofstream(tool) << "#!/bin/sh\n\"" << (dir / "real-jptch").string()
                        << "\" \"$@\"\nstatus=$?\nsleep 0.4\nexit $status\n";
    fs::create_directories(dir / "temp");

    RunningProgram run({patcher.string(), "-u"}, {"PELMO_REGISTRY=" + (dir / "registry.reg").string(),
                                                  "TEMP=" + (dir / "temp").string(), "LANG=C.UTF-8",
                                                  "KORVILUTIL_LOG=" + (dir / "utility.log").string()});
    ASSERT_TRUE(run.WaitForOutput("Patching...")) << run.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    // Mid-step, the run's temporary files live in one private directory of its own.
    std::vector<fs::directory_entry> temporary(fs::directory_iterator(dir / "temp"), fs::directory_iterator());
    ASSERT_EQ(temporary.size(), 1u);
    EXPECT_TRUE(temporary[0].is_directory() && !temporary[0].is_symlink());
    EXPECT_EQ(temporary[0].status().permissions(), fs::perms::owner_all);
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(), 1) << run.Output();
    const std::string output = run.Output();
    EXPECT_NE(output.find("Cancelling patch process..."), std::string::npos) << output;
    EXPECT_EQ(output.substr(output.rfind("Patching")), "Patching aborted.\n") << output;
    EXPECT_FALSE(fs::exists(dir / "utility.log")) << "no rebuild after a cancelled run";
    std::string left;
    for (const auto &entry : fs::recursive_directory_iterator(dir / "temp"))
        left += entry.path().string() + "\n";
    EXPECT_EQ(left, "") << "the private directory goes when the run ends";

    fs::copy_file(dir / "real-jptch", tool, fs::copy_options::overwrite_existing);
    const auto old = testfiles::FileTreeContents(dir / "100");
    const auto now = testfiles::FileTreeContents(dir / "101");
    for (const auto &[path, content] : testfiles::FileTreeContents(install))
    {
        if (path == "unins000.dat" || path == "patch-journal.txt")
            continue;
        const bool isOld = old.count(path) && old.at(path) == content;
        const bool isNew = now.count(path) && now.at(path) == content;
        EXPECT_TRUE(isOld || isNew) << path;
    }
    EXPECT_TRUE(testfiles::FileTreeContents(install).at("bin/Launcher.exe") == old.at("bin/Launcher.exe"))
        << "the launcher goes last, so a cancelled step leaves the old build";
}
} // namespace
