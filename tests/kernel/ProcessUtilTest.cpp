#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sys/stat.h>

#include "TestFiles.h"
#include "kernel/FileUtil.h"
#include "kernel/ProcessUtil.h"
#include "kernel/TextConvert.h"

namespace
{
struct SplitCase
{
    const char *line;
    std::vector<std::string> arguments;
};

const SplitCase kSplitCases[] = {
    {"", {}},
    {"   \t ", {}},
    {"prog", {"prog"}},
    {"  prog  a\tb  ", {"prog", "a", "b"}},
    {"\"/opt/my dir/prog\" x", {"/opt/my dir/prog", "x"}},
    // The program keeps its backslashes, even before a quote.
    {"\"C:\\dir\\\" x", {"C:\\dir\\", "x"}},
    {"p \"a b\" c", {"p", "a b", "c"}},
    {"p a\"b c\"d", {"p", "ab cd"}},
    {"p \"\"", {"p", ""}},
    {"p \"\" x", {"p", "", "x"}},
    {"p a\\b c\\\\d", {"p", "a\\b", "c\\\\d"}},
    // 2n backslashes before a quote: n backslashes, the quote opens or closes.
    {"p a\\\\\"b c\"", {"p", "a\\b c"}},
    {"p \"a\\\\\" b", {"p", "a\\", "b"}},
    // 2n+1 backslashes before a quote: n backslashes and a literal quote.
    {"p a\\\"b", {"p", "a\"b"}},
    {"p a\\\\\\\"b", {"p", "a\\\"b"}},
    {"p \"a\\\" b\"", {"p", "a\" b"}},
    // Two quotes inside a quoted part give one quote and stay inside.
    {"p \"a\"\"b c\"", {"p", "a\"b c"}},
    {"p \"unclosed arg", {"p", "unclosed arg"}},
    {"p trailing\\", {"p", "trailing\\"}},
};

std::unique_ptr<CapturedProcess> StartShell(const std::string &script)
{
    return CapturedProcess::StartCapturedProcess(L"/bin/sh", "-c \"" + script + "\"");
}

enum class ReadStyle
{
    OutputFirst,
    ErrorsFirst,
    Alternating,
};

struct Captured
{
    std::string output;
    std::string errors;
    bool finished = false;
};

// Reads both streams to their end in the given style, with a guard that kills the child when the
// reads do not finish, so a deadlock fails the test instead of hanging it.
Captured ReadAll(CapturedProcess &process, ReadStyle style)
{
    Captured captured;
    auto reader = std::async(std::launch::async, [&] {
        bool outputOpen = true;
        bool errorsOpen = true;
        while (outputOpen || errorsOpen)
        {
            if (outputOpen && (style != ReadStyle::ErrorsFirst || !errorsOpen))
                outputOpen = process.ReadOutput(captured.output);
            if (errorsOpen && (style != ReadStyle::OutputFirst || !outputOpen))
                errorsOpen = process.ReadErrors(captured.errors);
        }
    });
    captured.finished = reader.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!captured.finished)
        kill(process.ProcessId(), SIGKILL);
    reader.wait();
    return captured;
}
} // namespace

class SplitCommandLineTest : public testing::TestWithParam<SplitCase>
{
};

TEST_P(SplitCommandLineTest, FollowsTheWindowsRules)
{
    EXPECT_EQ(SplitCommandLine(GetParam().line), GetParam().arguments);
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitCommandLineTest, testing::ValuesIn(kSplitCases));

TEST(ZelkProcess, ReportsExitCodeAndWaitsWithTimeOut)
{
    std::unique_ptr<ZelkProcess> sleeper = ZelkProcess::Start("/bin/sleep 30");
    ASSERT_TRUE(sleeper);
    EXPECT_GT(sleeper->ProcessId(), 0);
    EXPECT_FALSE(sleeper->Wait(50));
    EXPECT_EQ(sleeper->ExitCode(), kStillActive);
    kill(sleeper->ProcessId(), SIGTERM);
    EXPECT_TRUE(sleeper->Wait(10000));

    std::unique_ptr<ZelkProcess> exits = ZelkProcess::Start("/bin/sh -c \"exit 3\"");
    ASSERT_TRUE(exits);
    EXPECT_TRUE(exits->Wait(10000));
    EXPECT_EQ(exits->ExitCode(), 3u);
    EXPECT_FALSE(exits->EndedBySignal());
}

TEST(ZelkProcess, ChildKilledBySignalHasFailed)
{
    std::unique_ptr<ZelkProcess> process = ZelkProcess::Start("/bin/sh -c \"kill -9 $$\"");
    ASSERT_TRUE(process);
    ASSERT_TRUE(process->Wait(kWaitForever));
    EXPECT_TRUE(process->EndedBySignal());
    EXPECT_EQ(process->ExitCode(), kExitCodeFailed);

    std::unique_ptr<CapturedProcess> captured = StartShell("kill -9 $$");
    ASSERT_TRUE(captured);
    const Captured text = ReadAll(*captured, ReadStyle::Alternating);
    EXPECT_TRUE(text.finished);
    EXPECT_EQ(text.output + text.errors, "");
    ASSERT_TRUE(captured->Wait(kWaitForever));
    EXPECT_TRUE(captured->EndedBySignal());
    EXPECT_EQ(captured->ExitCode(), kExitCodeFailed);
}

TEST(ZelkProcess, ProgramThatCannotRunGivesNull)
{
    testfiles::TempDirectory temp;
    const std::wstring directory = temp.WidePath();
    const std::wstring plain = JoinPath(directory, L"not-a-program");
    std::ofstream(PathToNative(plain)) << "data\n";
    chmod(PathToNative(plain).c_str(), 0644);

    for (const std::wstring &program : {JoinPath(directory, L"missing-program"), plain, directory})
    {
        SCOPED_TRACE(PathToNative(program));
        EXPECT_FALSE(ZelkProcess::Start("\"" + PathToNative(program) + "\" argument"));
        EXPECT_FALSE(CapturedProcess::StartCapturedProcess(program, "argument"));
    }
    EXPECT_FALSE(ZelkProcess::Start(""));
}

TEST(CapturedProcess, OutputArrivesInPiecesOfAtMost8192Bytes)
{
    std::unique_ptr<CapturedProcess> process = StartShell("yes x | head -c 20000");
    ASSERT_TRUE(process);
    // All 20,000 bytes sit in the pipe before the first read, so the piece size shows.
    ASSERT_TRUE(process->Wait(kWaitForever));
    EXPECT_EQ(process->ExitCode(), 0u);
    std::vector<size_t> pieces;
    std::string all;
    for (;;)
    {
        std::string piece;
        if (!process->ReadOutput(piece))
            break;
        if (!piece.empty())
            pieces.push_back(piece.size());
        all += piece;
    }
    EXPECT_EQ(pieces, (std::vector<size_t>{8192, 8192, 3616}));
    EXPECT_EQ(all.size(), 20000u);
    EXPECT_EQ(all.substr(0, 4), "x\nx\n");
    std::string after;
    EXPECT_FALSE(process->ReadOutput(after));
    EXPECT_FALSE(process->ReadErrors(after));
    EXPECT_TRUE(after.empty());
}

TEST(CapturedProcess, TextEndsAtTheFirstNulOfAPiece)
{
    std::unique_ptr<CapturedProcess> process = StartShell("printf 'ab\\0cd'");
    ASSERT_TRUE(process);
    const Captured captured = ReadAll(*process, ReadStyle::Alternating);
    EXPECT_EQ(captured.output, "ab");
}

class CapturedStreams : public testing::TestWithParam<ReadStyle>
{
};

TEST_P(CapturedStreams, NeitherStreamBlocksTheOther)
{
    struct StreamCase
    {
        const char *script;
        size_t outputSize;
        size_t errorsSize;
    };
    const StreamCase cases[] = {
        {"yes e | head -c 200000 >&2; printf out", 3, 200000},
        {"yes o | head -c 200000; printf err >&2", 200000, 3},
        {"yes o | head -c 100000 & yes e | head -c 100000 >&2; wait", 100000, 100000},
    };
    for (const StreamCase &streamCase : cases)
    {
        SCOPED_TRACE(streamCase.script);
        std::unique_ptr<CapturedProcess> process = StartShell(streamCase.script);
        ASSERT_TRUE(process);
        const Captured captured = ReadAll(*process, GetParam());
        ASSERT_TRUE(captured.finished) << "the reads deadlocked";
        EXPECT_EQ(captured.output.size(), streamCase.outputSize);
        EXPECT_EQ(captured.errors.size(), streamCase.errorsSize);
        EXPECT_EQ(captured.output.find('e'), std::string::npos);
        EXPECT_EQ(captured.errors.find('o'), std::string::npos);
        EXPECT_TRUE(process->Wait(kWaitForever));
        EXPECT_EQ(process->ExitCode(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(ReadStyles, CapturedStreams,
                         testing::Values(ReadStyle::OutputFirst, ReadStyle::ErrorsFirst, ReadStyle::Alternating));
