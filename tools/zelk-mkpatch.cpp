// zelk-mkpatch [--exclude PATH]... OLD_DIR NEW_DIR OUT_ARCHIVE: builds the package archive of one
// patch step from the tree of the old version and the tree of the new one.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "publish/PackageBuilder.h"
#include "tools/ToolCommandLine.h"

namespace
{
const char kUsage[] =
    "Usage: zelk-mkpatch [--exclude PATH]... OLD_DIR NEW_DIR OUT_ARCHIVE\n"
    "Builds the package archive that turns the installation tree OLD_DIR into NEW_DIR.\n"
    "\n"
    "Files only in NEW_DIR are added, files only in OLD_DIR are deleted, files whose content\n"
    "differs are patched with a JojoDiff difference, identical files are left out. Every added\n"
    "file needs an extension and no directory that holds an added or patched file may have a\n"
    "\".\" in its name, since the archive tells files and directories apart by that. An added\n"
    "file may have up to 4294967295 bytes (one compressed block of the archive); making the\n"
    "difference of a patched file holds its old version in memory.\n"
    "\n"
    "The uninstall log \"unins000.dat\" is always left out: it belongs to each installation and\n"
    "the patcher extends it itself.\n"
    "\n"
    "  --exclude PATH  leave out the file PATH (relative to both trees, '/' separated)\n"
    "  --help          show this text\n"
    "\n"
    "Exit status: 0 success, 1 wrong arguments, 2 the archive could not be built.\n";
} // namespace

int main(int argc, char **argv)
{
    ToolCommandLine line("zelk-mkpatch", kUsage, {"OLD_DIR", "NEW_DIR", "OUT_ARCHIVE"});
    std::set<std::wstring> excluded = {kUninstallLogFileName};
    line.Each("--exclude", [&excluded](const std::string &value) {
        std::wstring path = NativeToPath(value);
        NormalizeSeparators(path);
        excluded.insert(path);
        return std::string();
    });
    if (!line.Parse(argc, argv))
        return line.ExitStatus();
    std::vector<std::wstring> trees;
    for (const std::string &operand : line.Operands())
        trees.push_back(NativeToPath(operand));

    std::wstring problem;
    PackageBuildSummary summary;
    const bool built = BuildPackageArchive(trees[0], trees[1], trees[2], problem, &summary, excluded);
    RemoveRunTempDirectory();
    if (!built)
        return line.Failure(PathToNative(problem));
    std::printf("%s: %zu added, %zu deleted, %zu patched, %zu unchanged\n", PathToNative(trees[2]).c_str(),
                summary.added, summary.deleted, summary.patched, summary.unchanged);
    return kToolExitSuccess;
}
