// zelk-mkpatch OLD_DIR NEW_DIR OUT_ARCHIVE: builds the package archive of one patch step from the
// tree of the old version and the tree of the new one.
#include <cstdio>
#include <cstring>
#include <string>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "patch/PackageBuilder.h"

namespace
{
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: zelk-mkpatch OLD_DIR NEW_DIR OUT_ARCHIVE\n"
    "Builds the package archive that turns the installation tree OLD_DIR into NEW_DIR.\n"
    "\n"
    "Files only in NEW_DIR are added, files only in OLD_DIR are deleted, files whose content\n"
    "differs are patched with a JojoDiff difference, identical files are left out. Every added\n"
    "file needs an extension and no directory that holds an added or patched file may have a\n"
    "\".\" in its name, since the archive tells files and directories apart by that.\n"
    "\n"
    "Exit status: 0 success, 1 the archive could not be built, 2 wrong arguments.\n";
} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
    {
        std::fputs(kUsage, stdout);
        return kExitSuccess;
    }
    if (argc != 4)
    {
        std::fputs("zelk-mkpatch: expected three arguments: OLD_DIR NEW_DIR OUT_ARCHIVE (see --help)\n", stderr);
        return kExitUsage;
    }
    std::wstring problem;
    PackageBuildSummary summary;
    const bool built = BuildPackageArchive(NativeToPath(argv[1]), NativeToPath(argv[2]), NativeToPath(argv[3]),
                                           problem, &summary);
    RemoveRunTempDirectory();
    if (!built)
    {
        std::fprintf(stderr, "zelk-mkpatch: %s\n", PathToNative(problem).c_str());
        return kExitFailure;
    }
    std::printf("%s: %zu added, %zu deleted, %zu patched, %zu unchanged\n", argv[3], summary.added, summary.deleted,
                summary.patched, summary.unchanged);
    return kExitSuccess;
}
