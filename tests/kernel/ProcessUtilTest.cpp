#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

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

namespace
{
namespace fs = std::filesystem;

// An installation "Korvil" with its program bin/tool, all root's and closed to others, below a
// directory that every account may enter.
class InstalledProgramTest : public testing::Test
{
public:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "shows what root does for another account";
        chmod(m_temp.Path().c_str(), 0755);
        m_install = m_temp.Path() / "Korvil";
        fs::create_directories(m_install / "bin");
        chmod(m_install.c_str(), 0755);
        chmod((m_install / "bin").c_str(), 0755);
        m_program = m_install / "bin/tool";
        testfiles::WriteFile(m_program, "#!/bin/sh\n");
        chmod(m_program.c_str(), 0755);
    }

    ProgramIdentity Identity() const
    {
        return IdentityForInstalledProgram(NativeToPath(m_install.string()), m_program.string());
    }

    testfiles::TempDirectory m_temp;
    fs::path m_install;
    fs::path m_program;
};
} // namespace

// Root runs the program as itself only when no other account could have put its own code there.
TEST_F(InstalledProgramTest, RootRunsAsItselfOnlyWhatRootAloneCouldHaveWritten)
{
    // An id without an account, so that the owner is told apart from the fallback "nobody".
    constexpr uid_t kOwner = 54321;
    constexpr uid_t kNobody = 65534;
    struct Case
    {
        const char *what;
        std::function<void(InstalledProgramTest &)> plant;
        bool switched;
        uid_t uid;
    };
    const Case cases[] = {
        {"root's alone", [](InstalledProgramTest &) {}, false, 0},
        {"an account's installation",
         [](InstalledProgramTest &test) { lchown(test.m_install.c_str(), kOwner, kOwner); }, true, kOwner},
        {"an account's program in root's installation",
         [](InstalledProgramTest &test) { lchown(test.m_program.c_str(), kOwner, kOwner); }, true, kOwner},
        {"an account's directory above the installation",
         [](InstalledProgramTest &test) { lchown(test.m_temp.Path().c_str(), kOwner, kOwner); }, true, kOwner},
        {"a directory on the way that everyone may write",
         [](InstalledProgramTest &test) { chmod((test.m_install / "bin").c_str(), 0777); }, true, kNobody},
        {"a program that a group other than root's may write",
         [](InstalledProgramTest &test) {
             lchown(test.m_program.c_str(), 0, kOwner);
             chmod(test.m_program.c_str(), 0775);
         },
         true, kNobody},
        {"a sticky directory that everyone may write",
         [](InstalledProgramTest &test) { chmod((test.m_install / "bin").c_str(), 01777); }, false, 0},
        {"a link that leads out of the installation",
         [](InstalledProgramTest &test) {
             fs::remove(test.m_program);
             fs::create_symlink("/bin/true", test.m_program);
         },
         true, kNobody},
    };
    for (const Case &row : cases)
    {
        SCOPED_TRACE(row.what);
        SetUp();
        row.plant(*this);
        const ProgramIdentity identity = Identity();
        EXPECT_EQ(identity.switched, row.switched);
        if (row.switched)
        {
            EXPECT_EQ(identity.uid, row.uid);
            EXPECT_TRUE(std::find(identity.groups.begin(), identity.groups.end(), 0u) == identity.groups.end());
        }
        // Back to root's alone for the next row.
        lchown(m_temp.Path().c_str(), 0, 0);
        fs::remove_all(m_install);
    }
}

// As the owner, the program reads what root hands it from its private directory, and nothing else
// of root's: not a root-only file it is named, not root's environment.
TEST_F(InstalledProgramTest, TheOwnersProgramGetsWhatItIsHandedAndNothingElse)
{
    constexpr uid_t kNobody = 65534;
    testfiles::WriteFile(m_program, "#!/bin/sh\n"
                                    "{ id -u; cat \"$1\"; env | grep -c ZELK_ROOTS_SECRET;\n"
                                    "  cat \"$3\" 2>/dev/null || echo unreadable; } > \"$2\"\n");
    for (const fs::path &path : {m_install, m_install / "bin", m_program})
        lchown(path.c_str(), kNobody, kNobody);
    const std::string handed = PathToNative(JoinPath(RunTempDirectory(), L"handed.txt"));
    testfiles::WriteFile(fs::path(handed), "for the tool\n");
    chmod(handed.c_str(), 0600);
    const fs::path rootOnly = m_temp.Path() / "root-only";
    testfiles::WriteFile(rootOnly, "root's\n");
    chmod(rootOnly.c_str(), 0600);
    setenv("ZELK_ROOTS_SECRET", "1", 1);

    const fs::path out = m_install / "out";
    std::unique_ptr<ZelkProcess> process =
        ZelkProcess::StartInstalled(NativeToPath(m_install.string()), "\"" + m_program.string() + "\" \"" + handed +
                                                                          "\" \"" + out.string() + "\" \"" +
                                                                          rootOnly.string() + "\"");
    unsetenv("ZELK_ROOTS_SECRET");
    ASSERT_TRUE(process);
    ASSERT_TRUE(process->Wait(kWaitForever));
    EXPECT_EQ(process->ExitCode(), 0u);
    EXPECT_EQ(testfiles::ReadFile(out), "65534\nfor the tool\n0\nunreadable\n");

    // A program that the account cannot start fails to start, as for anyone.
    EXPECT_FALSE(ZelkProcess::StartInstalled(NativeToPath(m_install.string()),
                                             "\"" + (m_install / "bin/missing").string() + "\""));
}
