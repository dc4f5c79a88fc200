// Runs one FileTreeSummary::Scan of a tree, as a repair run does, and prints the number of entries
// and the seconds the scan took:
//   segsum_bench ROOT [--load SUMMARY] [--save SUMMARY]  ->  "<entries> <seconds>"
// A loaded summary makes the scan skip the files whose time is unchanged, as a second run does.
#include <chrono>
#include <cstdio>
#include <set>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "repair/FileTreeSummary.h"

namespace
{
int Usage()
{
    std::fprintf(stderr, "usage: segsum_bench ROOT [--load SUMMARY] [--save SUMMARY]\n");
    return 1;
}
} // namespace

int main(int argc, char **argv)
{
    std::wstring root;
    std::wstring loadPath;
    std::wstring savePath;
    for (int i = 1; i < argc; ++i)
    {
        const std::string argument = argv[i];
        if ((argument == "--load" || argument == "--save") && i + 1 < argc)
            (argument == "--load" ? loadPath : savePath) = NativeToPath(argv[++i]);
        else if (root.empty())
            root = NativeToPath(argument);
        else
            return Usage();
    }
    if (root.empty())
        return Usage();
    FileTreeSummary summary;
    if (!loadPath.empty() && LoadSummaryFile(summary, loadPath) != ZELKRESULT_OK)
    {
        std::fprintf(stderr, "segsum_bench: no summary to load\n");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    summary.Scan(root, {});
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (!savePath.empty() && SaveSummaryFile(summary, savePath) != ZELKRESULT_OK)
    {
        std::fprintf(stderr, "segsum_bench: cannot save the summary\n");
        return 1;
    }
    // The scan's diagnostic lines share standard output; the figures are the last line.
    std::printf("%zu %.3f\n", summary.GetEntryCount(), took.count());
    return 0;
}
