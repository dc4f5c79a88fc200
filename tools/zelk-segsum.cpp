// zelk-segsum ROOT [--summary FILE]: scans an installation as a repair run does and prints the
// summary a client would send: one line per 4 MiB segment with its key, checksum and the
// modification time of its file. With --summary the file is loaded first when it exists (so files
// whose time is unchanged are not read again) and written back afterwards.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <unistd.h>

#include "kernel/FileUtil.h"
#include "kernel/ProductFacts.h"
#include "kernel/TextConvert.h"
#include "repair/FileTreeSummary.h"
#include "tools/ToolCommandLine.h"

namespace
{
const char kUsage[] =
    "Usage: zelk-segsum ROOT [--summary FILE]\n"
    "Scans the installation ROOT as a repair run does and prints one line per 4 MiB segment of\n"
    "every file: the segment's key, its checksum in hexadecimal and the modification time of its\n"
    "file in seconds since 1970, separated by tabs, in the order the summary is sent. As in a repair\n"
    "run, \"unins000.exe\" and \"repair.cks\" in ROOT are left out, and so is FILE when it lies in ROOT.\n"
    "\n"
    "  --summary FILE  load the summary FILE first when it exists, so that files whose modification\n"
    "                  time is unchanged are not read again, and write it back afterwards\n"
    "\n"
    "Exit status: 0 success, 1 wrong arguments, 2 ROOT is no directory or FILE could not be written.\n";

std::wstring AbsolutePath(const std::string &path)
{
    std::error_code ignored;
    return NativeToPath(std::filesystem::absolute(path, ignored).lexically_normal().string());
}

// A relative path below root, or empty when path is not below it.
std::wstring RelativeBelow(const std::wstring &path, const std::wstring &root)
{
    std::wstring prefix = root;
    if (prefix.empty() || prefix.back() != kPathSeparator)
        prefix += kPathSeparator;
    if (path.compare(0, prefix.size(), prefix) != 0)
        return std::wstring();
    return path.substr(prefix.size());
}

// The scan reports every segment it reads on standard output; those lines go to standard error
// instead, so that standard output holds the listing alone.
std::FILE *TakeStandardOutput()
{
    std::fflush(stdout);
    const int listing = dup(STDOUT_FILENO);
    if (listing < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        return stdout;
    std::FILE *stream = fdopen(listing, "w");
    return stream ? stream : stdout;
}
} // namespace

int main(int argc, char **argv)
{
    ToolCommandLine line("zelk-segsum", kUsage, {"ROOT"});
    std::string summaryFile;
    line.Value("--summary", summaryFile);
    if (!line.Parse(argc, argv))
        return line.ExitStatus();
    const std::string &root = line.Operands()[0];
    const std::wstring rootPath = AbsolutePath(root);
    if (!IsDirectory(rootPath))
        return line.Failure(root + " is no directory");

    std::FILE *listing = TakeStandardOutput();
    FileTreeSummary summary;
    // The uninstaller never takes part in a repair, and the summary file is the run's own.
    std::set<std::wstring> exclusions = {ProductFacts::kUninstallerName, ProductFacts::kRepairSummaryName};
    std::wstring summaryPath;
    if (!summaryFile.empty())
    {
        summaryPath = AbsolutePath(summaryFile);
        const std::wstring relative = RelativeBelow(summaryPath, rootPath);
        if (!relative.empty())
            exclusions.insert(relative);
        const ZELKRESULT loaded = LoadSummaryFile(summary, summaryPath);
        // A damaged summary costs only time: the scan reads every file, as a repair run would.
        if (loaded != ZELKRESULT_OK && FileExists(summaryPath))
            std::fprintf(stderr, "zelk-segsum: %s is no usable summary (error %u); every file is read\n",
                         summaryFile.c_str(), loaded);
    }

    summary.Scan(rootPath, exclusions);
    for (const FileTreeSummary::Entry &entry : summary.GetEntries())
        std::fprintf(listing, "%s\t%08x\t%lld\n", PathToNative(entry.name).c_str(), entry.checksum,
                     static_cast<long long>(entry.modifiedTime));
    if (std::fflush(listing) != 0)
        return line.Failure(std::string("cannot write the listing: ") + std::strerror(errno));

    if (!summaryPath.empty())
    {
        const ZELKRESULT saved = SaveSummaryFile(summary, summaryPath);
        if (saved != ZELKRESULT_OK)
            return line.Failure("cannot write " + summaryFile + " (error " + std::to_string(saved) + ")");
    }
    return kToolExitSuccess;
}
