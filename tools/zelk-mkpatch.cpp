// zelk-mkpatch [--exclude PATH]... OLD_DIR NEW_DIR OUT_ARCHIVE: builds the package archive of one
// patch step from the tree of the old version and the tree of the new one.
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "patch/PackageBuilder.h"

namespace
{
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: zelk-mkpatch [--exclude PATH]... OLD_DIR NEW_DIR OUT_ARCHIVE\n"
    "Builds the package archive that turns the installation tree OLD_DIR into NEW_DIR.\n"
    "\n"
    "Files only in NEW_DIR are added, files only in OLD_DIR are deleted, files whose content\n"
    "differs are patched with a JojoDiff difference, identical files are left out. Every added\n"
    "file needs an extension and no directory that holds an added or patched file may have a\n"
    "\".\" in its name, since the archive tells files and directories apart by that.\n"
    "\n"
    "The uninstall log \"unins000.dat\" is always left out: it belongs to each installation and\n"
    "the patcher extends it itself.\n"
    "\n"
    "  --exclude PATH  leave out the file PATH (relative to both trees, '/' separated)\n"
    "  --help          show this text\n"
    "\n"
    "Exit status: 0 success, 1 the archive could not be built, 2 wrong arguments.\n";

int UsageError(const char *problem)
{
    std::fprintf(stderr, "zelk-mkpatch: %s (see --help)\n", problem);
    return kExitUsage;
}
} // namespace

int main(int argc, char **argv)
{
    std::set<std::wstring> excluded = {kUninstallLogFileName};
    std::vector<std::wstring> trees;
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
        {
            std::fputs(kUsage, stdout);
            return kExitSuccess;
        }
        if (std::strcmp(argv[i], "--exclude") == 0)
        {
            if (i + 1 == argc)
                return UsageError("--exclude needs a path");
            std::wstring path = NativeToPath(argv[++i]);
            NormalizeSeparators(path);
            excluded.insert(path);
        }
        else if (argv[i][0] == '-' && argv[i][1] != '\0')
        {
            return UsageError((std::string("unknown option ") + argv[i]).c_str());
        }
        else
        {
            trees.push_back(NativeToPath(argv[i]));
        }
    }
    if (trees.size() != 3)
        return UsageError("expected OLD_DIR NEW_DIR OUT_ARCHIVE");

    std::wstring problem;
    PackageBuildSummary summary;
    const bool built = BuildPackageArchive(trees[0], trees[1], trees[2], problem, &summary, excluded);
    RemoveRunTempDirectory();
    if (!built)
    {
        std::fprintf(stderr, "zelk-mkpatch: %s\n", PathToNative(problem).c_str());
        return kExitFailure;
    }
    std::printf("%s: %zu added, %zu deleted, %zu patched, %zu unchanged\n", PathToNative(trees[2]).c_str(),
                summary.added, summary.deleted, summary.patched, summary.unchanged);
    return kExitSuccess;
}
