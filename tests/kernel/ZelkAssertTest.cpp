#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ChildRun.h"
#include "TestFiles.h"
#include "kernel/CrashHandler.h"
#include "kernel/ZelkAssert.h"

namespace
{
constexpr char kThisFile[] = "tests/kernel/ZelkAssertTest.cpp";

constexpr char kClaim[] = "1 + 1 == 3";

__attribute__((noinline)) void CheckArithmetic()
{
    ZelkAssert(1 + 1 == 3, kClaim); // ASSERTION
}
} // namespace

TEST(ZelkAssert, HoldingConditionReturns)
{
    ZelkAssert(true, "never logged");
}

TEST(ZelkAssert, FailedAssertionLogsReportsTheStackAndAborts)
{
    const testfiles::TempDirectory directory;
    const ChildOutcome outcome = RunInChild(directory.Path(), [] {
        ZelkInstallCrashHandlers();
        CheckArithmetic();
    });
    ASSERT_TRUE(outcome.KilledBy(SIGABRT)) << outcome.Describe();
    const std::string dump = directory / "Korvil-38285.dmp";
    // In this order: the assertion, the report, the addresses, then one symbol line per frame (the
    // asserting function's among them) and nothing after them.
    std::vector<std::string> lines;
    std::istringstream output(outcome.output);
    for (std::string line; std::getline(output, line);)
        lines.push_back(line);
    ASSERT_GE(lines.size(), 4u) << outcome.output;
    EXPECT_EQ(lines[0], "Assertion failed: 1 + 1 == 3");
    EXPECT_EQ(lines[1], "Crash report: " + dump);
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("callstack: ([0-9a-f]+ )+"))) << lines[2];
    const std::regex asserting("  [^ ]+/kernel_tests .*::CheckArithmetic\\(\\) \\[.*/" + std::string(kThisFile) + ":" +
                               std::to_string(SourceLineOf(kThisFile, "// ASSERTION")) + "\\]");
    bool named = false;
    for (size_t i = 3; i < lines.size(); ++i)
    {
        EXPECT_EQ(lines[i].rfind("  ", 0), 0u) << lines[i];
        named = named || std::regex_match(lines[i], asserting);
    }
    EXPECT_TRUE(named) << outcome.output;
    EXPECT_NE(testfiles::ReadFile(dump).find("CheckArithmetic()"), std::string::npos);
}
