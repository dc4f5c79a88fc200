// zelk-mksample DIR --version V [--patch-tool PATH]: makes a sample installation of build V in DIR,
// the same bytes every time for the same V (the uninstall log records DIR). The patch tool copied
// into it is PATH, by default the zelk-jptch program beside this one.
#include <cstdio>
#include <filesystem>
#include <string>

#include "kernel/FileUtil.h"
#include "kernel/ProductFacts.h"
#include "kernel/TextConvert.h"
#include "patch/MD5.h"
#include "publish/SampleInstallation.h"
#include "tools/ToolCommandLine.h"

namespace
{
const char kUsage[] =
    "Usage: zelk-mksample DIR --version V [--patch-tool PATH]\n"
    "Writes a sample installation of build V (100 to 149) into DIR. Each build differs from the one\n"
    "before it in a handful of files; \"bin/Launcher.exe\" names the build. Prints the launcher's\n"
    "MD5 digest, which identifies the build to a patcher.\n"
    "\n"
    "  --version V         the build to make (required)\n"
    "  --patch-tool PATH   the patch tool to copy in (default: zelk-jptch beside this program)\n"
    "\n"
    "Exit status: 0 success, 1 wrong arguments, 2 the installation could not be made.\n";

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
    ToolCommandLine line("zelk-mksample", kUsage, {"DIR"});
    std::string version;
    std::string patchTool;
    line.Value("--version", version, true);
    line.Value("--patch-tool", patchTool);
    if (!line.Parse(argc, argv))
        return line.ExitStatus();
    const std::string &directory = line.Operands()[0];
    if (patchTool.empty())
        patchTool = (ProgramDirectory(argv[0]) / "zelk-jptch").string();
    std::error_code ignored;
    const std::wstring installation = NativeToPath(std::filesystem::absolute(directory, ignored).lexically_normal().string());

    std::string error;
    if (!MakeSampleInstallation(installation, version, NativeToPath(patchTool), error))
        return line.Failure(error);
    std::wstring digest;
    if (!HashFileMD5(JoinPath(installation, ProductFacts::kLauncherPath), digest))
        return line.Failure("cannot read the launcher back");
    std::printf("%s\n", WideToNarrow(digest).c_str());
    return kToolExitSuccess;
}
