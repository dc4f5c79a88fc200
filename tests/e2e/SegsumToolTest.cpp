// zelk-segsum as a publisher runs it: the listing on standard output, the summary file it keeps.
#include <gtest/gtest.h>

#include <string>
#include <utime.h>
#include <vector>

#include "E2eFixtures.h"
#include "kernel/TextConvert.h"
#include "repair/FileTreeSummary.h"
#include "repair/SegmentChecksum.h"

namespace
{
namespace fs = std::filesystem;

const std::string kSegsum = e2e::kBuild + "/zelk-segsum";

struct ToolRun
{
    int status;
    std::string listing;     // standard output
    std::string diagnostics; // standard error
};

ToolRun Segsum(const std::vector<std::string> &arguments, const testfiles::TempDirectory &work)
{
    std::string command = "'" + kSegsum + "'";
    for (const std::string &argument : arguments)
        command += " '" + argument + "'";
    const std::string out = work / "stdout.txt";
    const std::string err = work / "stderr.txt";
    RunningProgram tool({"/bin/sh", "-c", command + " >'" + out + "' 2>'" + err + "'"});
    const int status = tool.Wait();
    return {status, testfiles::ReadFile(fs::path(out)), testfiles::ReadFile(fs::path(err))};
}

void WriteWithTime(const fs::path &path, const std::string &bytes, time_t seconds)
{
    testfiles::WriteFile(path, bytes);
    const utimbuf times = {seconds, seconds};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
}

std::string HexChecksum(const std::string &bytes)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08x", SegmentChecksum(bytes.data(), bytes.size()));
    return text;
}

int CountReads(const std::string &diagnostics)
{
    int reads = 0;
    for (size_t at = diagnostics.find(" Checksum "); at != std::string::npos; at = diagnostics.find(" Checksum ", at + 1))
        ++reads;
    return reads;
}
} // namespace

TEST(SegsumTool, ListsEverySegmentAndKeepsTheSummaryBetweenRuns)
{
    testfiles::TempDirectory work("zelk-segsum");
    const fs::path root = work.Path() / "Korvil";
    WriteWithTime(root / "a.bin", "123456789", 1700000000);
    WriteWithTime(root / "sub" / "b.bin", "abc" + std::string(4194304, '\0'), 1700000001);
    WriteWithTime(root / "unins000.exe", "uninstaller", 1700000002);
    const std::string summary = (root / "repair.cks").string();

    const std::string expected = "a.bin#000\t89a1897f\t1700000000\n"
                                 "sub\\b.bin#000\t" +
                                 HexChecksum("abc" + std::string(4194301, '\0')) +
                                 "\t1700000001\n"
                                 "sub\\b.bin#001\t00000001\t1700000001\n";
    ToolRun first = Segsum({root.string(), "--summary", summary}, work);
    ASSERT_EQ(first.status, 0) << first.diagnostics;
    EXPECT_EQ(first.listing, expected);
    EXPECT_EQ(CountReads(first.diagnostics), 3);

    FileTreeSummary saved;
    ASSERT_EQ(LoadSummaryFile(saved, NativeToPath(summary)), ZELKRESULT_OK);
    EXPECT_EQ(saved.GetEntryCount(), 3u);

    // Changed with its time kept: the loaded checksum stands and nothing is read.
    WriteWithTime(root / "a.bin", "987654321", 1700000000);
    ToolRun second = Segsum({root.string(), "--summary", summary}, work);
    ASSERT_EQ(second.status, 0) << second.diagnostics;
    EXPECT_EQ(second.listing, expected);
    EXPECT_EQ(CountReads(second.diagnostics), 0);

    // Without the summary every file is read again.
    ToolRun fresh = Segsum({root.string()}, work);
    ASSERT_EQ(fresh.status, 0) << fresh.diagnostics;
    EXPECT_NE(fresh.listing, expected);
    EXPECT_EQ(CountReads(fresh.diagnostics), 3);
}

TEST(SegsumTool, ADamagedSummaryIsReportedAndReplaced)
{
    testfiles::TempDirectory work("zelk-segsum");
    const fs::path root = work.Path() / "Korvil";
    WriteWithTime(root / "a.bin", "abc", 1700000000);
    const std::string summary = (work.Path() / "elsewhere.cks").string();
    testfiles::WriteFile(fs::path(summary), "not a summary");

    ToolRun run = Segsum({root.string(), "--summary", summary}, work);
    ASSERT_EQ(run.status, 0) << run.diagnostics;
    EXPECT_EQ(run.listing, "a.bin#000\t2c17398c\t1700000000\n");
    EXPECT_TRUE(e2e::Contains(run.diagnostics, "no usable summary")) << run.diagnostics;
    FileTreeSummary saved;
    EXPECT_EQ(LoadSummaryFile(saved, NativeToPath(summary)), ZELKRESULT_OK);
    EXPECT_EQ(saved.GetEntryCount(), 1u);
}

// Mistakes on the command line are tested with every tool's; this is the tool's own failure.
TEST(SegsumTool, ARootThatIsNoDirectoryFailsWithStatusTwo)
{
    testfiles::TempDirectory work("zelk-segsum");
    ToolRun run = Segsum({(work.Path() / "missing").string()}, work);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.listing, "");
    EXPECT_TRUE(e2e::Contains(run.diagnostics, "missing is no directory")) << run.diagnostics;
}
