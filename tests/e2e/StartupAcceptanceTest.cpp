// A windowed start whose command line does not parse takes none of its options and goes on with
// the installation the registry names.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "RunningProgram.h"
#include "TestFiles.h"

namespace
{
namespace fs = std::filesystem;

void WriteText(const fs::path &path, const std::string &text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> RecordedLines(const fs::path &path)
{
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

TEST(StartupAcceptanceTest, WindowedSyntaxErrorGoesOnWithTheRegistry)
{
    const char *display = getenv("DISPLAY");
    if (display == nullptr || *display == 0)
        GTEST_SKIP() << "needs a display (the test suite runs under xvfb-run)";
    ASSERT_EQ(geteuid(), 0u) << "mounts the registry read-only in a private namespace and needs root";
    if (std::system("/usr/bin/unshare -m /bin/true 2>/dev/null") != 0)
        GTEST_SKIP() << "this machine gives no private mount namespace";

    const testfiles::TempDirectory temp("zelk-e2e-startup");
    const fs::path dir = temp.Path();
    const fs::path installation = dir / "Korvil";
    fs::create_directories(installation / "bin");
    WriteText(installation / "bin/Korvil.exe", "korvil");
    // Readable, so discovery finds the installation; read-only, so the privilege check sends the
    // start to the elevated copy, whose command line shows what the first process took.
    const fs::path readOnly = dir / "read-only";
    WriteText(readOnly / "registry.reg", "Windows Registry Editor Version 5.00\n\n"
                                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]\n"
                                         "\"ProductClass\"=\"Korvil\"\n"
                                         "\"ProductInstallPath\"=\"" +
                                             installation.string() + "/\"\n");
    const fs::path record = dir / "record.txt";
    const fs::path elevate = dir / "elevate.sh";
    WriteText(elevate, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$ZELK_RECORD\"\nexit 0\n");
    chmod(elevate.c_str(), 0755);

    const std::string patcher = std::string(ZELK_BUILD_DIR) + "/pelmo-patcher";
    RunningProgram run(
        {"/usr/bin/timeout", "60", "/usr/bin/unshare", "-m", "/bin/sh", "-c",
         "mount --bind -o ro \"$1\" \"$1\" && exec \"$2\" --final=3.0 --no-such-option "
         "--onexit=\"/bin/sh -c 'echo onexit >> $3'\" 2.0 /games/other/",
         "sh", readOnly.string(), patcher, record.string()},
        {"DISPLAY=" + std::string(display), "PELMO_REGISTRY=" + (readOnly / "registry.reg").string(),
         "PELMO_ELEVATE=" + elevate.string(), "ZELK_RECORD=" + record.string(), "TEMP=" + (dir / "temp").string(),
         "LANG=C.UTF-8"});
    ASSERT_TRUE(run.Started());
    const int status = run.Wait();
    EXPECT_NE(status, 124) << "the start-up hung: " << run.Output();

    // Neither the versions, the path nor --final and --onexit of the mistyped line are taken.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(RecordedLines(record), (std::vector<std::string>{fs::canonical(patcher).string(), "--admin", "--final=",
                                                               "", installation.string() + "/"}))
        << run.Output();
}
} // namespace
