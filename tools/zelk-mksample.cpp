// zelk-mksample DIR --version V [--patch-tool PATH]: makes a sample installation of build V in DIR,
// the same bytes every time for the same V (the uninstall log records DIR). The patch tool copied
// into it is PATH, by default the zelk-jptch program beside this one.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "patch/MD5.h"
#include "patch/SampleInstallation.h"

namespace
{
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: zelk-mksample DIR --version V [--patch-tool PATH]\n"
    "Writes a sample installation of build V (100 to 149) into DIR. Each build differs from the one\n"
    "before it in a handful of files; \"bin/Launcher.exe\" names the build. Prints the launcher's\n"
    "MD5 digest, which identifies the build to a patcher.\n"
    "\n"
    "Exit status: 0 success, 1 the installation could not be made, 2 wrong arguments.\n";

std::filesystem::path ProgramDirectory(const char *argument0)
{
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        self = std::filesystem::absolute(argument0, error);
    return self.parent_path();
}
} // namespace

int main(int argc, char **argv)
{
    std::string directory;
    std::string version;
    std::string patchTool;
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--help") == 0)
        {
            std::fputs(kUsage, stdout);
            return kExitSuccess;
        }
        if (std::strcmp(argv[i], "--version") == 0 && i + 1 < argc)
            version = argv[++i];
        else if (std::strcmp(argv[i], "--patch-tool") == 0 && i + 1 < argc)
            patchTool = argv[++i];
        else if (directory.empty() && argv[i][0] != '-')
            directory = argv[i];
        else
        {
            std::fputs(kUsage, stderr);
            return kExitUsage;
        }
    }
    if (directory.empty() || version.empty())
    {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (patchTool.empty())
        patchTool = (ProgramDirectory(argv[0]) / "zelk-jptch").string();
    std::error_code ignored;
    const std::wstring installation = NativeToPath(std::filesystem::absolute(directory, ignored).lexically_normal().string());

    std::string error;
    if (!MakeSampleInstallation(installation, version, NativeToPath(patchTool), error))
    {
        std::fprintf(stderr, "zelk-mksample: %s\n", error.c_str());
        return kExitFailure;
    }
    std::wstring digest;
    if (!HashFileMD5(JoinPath(installation, L"bin/Launcher.exe"), digest))
    {
        std::fprintf(stderr, "zelk-mksample: cannot read the launcher back\n");
        return kExitFailure;
    }
    std::printf("%s\n", WideToNarrow(digest).c_str());
    return kExitSuccess;
}
