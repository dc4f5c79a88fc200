// The free-space check on real small volumes: a private tmpfs holds the installation or the
// temporary files, and the standalone run stops before it changes anything.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "RunningProgram.h"
#include "TestFiles.h"

namespace
{
namespace fs = std::filesystem;
const std::string kBuild = ZELK_BUILD_DIR;

TEST(DiskSpaceAcceptanceTest, ASmallVolumeStopsTheRunBeforeAnyChange)
{
    ASSERT_EQ(geteuid(), 0u) << "mounts a tmpfs in a private namespace and needs root";
    if (std::system("/usr/bin/unshare -m /bin/true 2>/dev/null") != 0)
        GTEST_SKIP() << "this machine gives no private mount namespace";
    const testfiles::TempDirectory temp("zelk-e2e-space");
    const fs::path dir = temp.Path();
    const std::string digest =
        RunToolForOutput({kBuild + "/zelk-mksample", (dir / "build-100").string(), "--version", "100"});
    RunToolForOutput({kBuild + "/zelk-mksample", (dir / "build-101").string(), "--version", "101"});
    RunToolForOutput({kBuild + "/zelk-mkpatch", (dir / "build-100").string(), (dir / "build-101").string(),
                      (dir / "step.zip").string()});
    const fs::path patcher = dir / "patcher";
    RunToolForOutput({kBuild + "/zelk-mkpayload", kBuild + "/pelmo-patcher", patcher.string(), "--target", "101",
                      "--build", digest.substr(0, digest.find('\n')) + "=100", "--step",
                      "100:101:" + (dir / "step.zip").string()});

    struct Case
    {
        const char *name;
        fs::path installation;
        fs::path temp;
    };
    const fs::path small = dir / "small";
    const Case cases[] = {
        {"installation", small / "Korvil", dir / "temp"},
        {"temporary files", dir / "Korvil", small / "temp"},
    };
    for (const Case &test : cases)
    {
        SCOPED_TRACE(test.name);
        fs::create_directories(small);
        fs::create_directories(dir / "temp");
        fs::remove_all(dir / "Korvil");
        const fs::path registry = dir / "registry.reg";
        std::ofstream(registry) << "Windows Registry Editor Version 5.00\n\n"
                                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]\n"
                                   "\"ProductClass\"=\"Korvil\"\n"
                                   "\"ProductInstallPath\"=\""
                                << test.installation.string() << "\"\n";
        // The tmpfs lives as long as the namespace: the patcher's run, then the comparison.
        RunningProgram run(
            {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
             "mount -t tmpfs -o size=256m tmpfs \"$1\" && mkdir -p \"$5\" && \"$2\" \"$3\" --version 100 >/dev/null && "
             "\"$4\" -u; status=$?; \"$2\" \"$1/pristine\" --version 100 >/dev/null && "
             "diff -r --exclude=unins000.dat \"$3\" \"$1/pristine\" >&2 && echo unchanged; exit $status",
             "sh", small.string(), kBuild + "/zelk-mksample", test.installation.string(), patcher.string(),
             test.temp.string()},
            {"PELMO_REGISTRY=" + registry.string(), "TEMP=" + test.temp.string(), "LANG=C.UTF-8",
             "KORVILUTIL_LOG=" + (dir / "utility.log").string()});
        const int status = run.Wait();
        const std::string output = run.Output();
        EXPECT_EQ(status, 1) << output;
        EXPECT_NE(output.find("Insufficient disk space available for patching. Please ensure that at least 4096MB "
                              "are available."),
                  std::string::npos)
            << output;
        EXPECT_NE(output.find("Patching aborted."), std::string::npos) << output;
        EXPECT_EQ(output.find("Patching from"), std::string::npos) << output;
        EXPECT_NE(output.find("unchanged"), std::string::npos) << output;
        EXPECT_FALSE(fs::exists(dir / "utility.log"));
    }
}
} // namespace
