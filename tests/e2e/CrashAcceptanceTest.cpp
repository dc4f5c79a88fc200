// The patcher's fatal path as its user meets it: a fault in the run's worker or on the main
// thread leaves the patcher-v35673 report, shows the "Unhandled Exception" box through a separate
// process (in the window) or prints the report's path (unattended), and ends the patcher with 255.
// And the allocation tracker's report at an orderly exit, which leaves no crash report.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "E2eFixtures.h"
#include "RunningProgram.h"
#include "kernel/SanitizerBuild.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace
{
const std::regex kFatalReportName(R"(patcher-v35673-\d{4}\.\d\d\.\d\d-\d\d\.\d\d\.\d\d\.dmp)");

std::vector<std::string> ReportFiles(const fs::path &directory)
{
    std::vector<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator(directory))
    {
        if (entry.path().extension() == ".dmp")
            names.push_back(entry.path().filename().string());
    }
    return names;
}

// The arguments of each process whose parent is the given one.
std::vector<std::vector<std::string>> ChildCommandLines(pid_t parent)
{
    std::vector<std::vector<std::string>> children;
    for (const fs::directory_entry &entry : fs::directory_iterator("/proc"))
    {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = ReadFile(entry.path() / "stat");
        // The parent follows the state, after the name in parentheses (which may hold blanks).
        const size_t nameEnd = stat.rfind(')');
        int parentOfEntry = 0;
        if (nameEnd == std::string::npos || std::sscanf(stat.c_str() + nameEnd + 1, " %*c %d", &parentOfEntry) != 1 ||
            parentOfEntry != parent)
            continue;
        std::vector<std::string> arguments;
        const std::string commandLine = ReadFile(entry.path() / "cmdline");
        for (size_t start = 0; start < commandLine.size();)
        {
            const size_t end = commandLine.find('\0', start);
            arguments.push_back(commandLine.substr(start, end - start));
            start = end == std::string::npos ? commandLine.size() : end + 1;
        }
        children.push_back(arguments);
    }
    return children;
}

bool WindowTitled(const std::string &title)
{
    FILE *tree = popen("xwininfo -root -tree 2>/dev/null", "r");
    if (!tree)
        return false;
    std::string text;
    char buffer[4096];
    while (fgets(buffer, sizeof buffer, tree))
        text += buffer;
    pclose(tree);
    return text.find("\"" + title + "\"") != std::string::npos;
}

class CrashAcceptanceTest : public PatcherRunTest
{
protected:
    static void SetUpTestSuite() { s_temp = std::make_unique<testfiles::TempDirectory>("pelmo-e2e-crash"); }
    static void TearDownTestSuite() { s_temp.reset(); }

    void SetUp() override
    {
        MakeRunDirectory(s_temp->Path());
        // Start-up moves to the program's directory, where the reports then go: a copy of the
        // patcher keeps them in the test's directory.
        m_patcher = m_dir / "pelmo-patcher";
        fs::copy_file(kBuild + "/pelmo-patcher", m_patcher);
    }

    // A repair run starts at once, window or not, so its worker comes up without anyone pressing
    // a button.
    std::vector<std::string> RepairRun(bool unattended) const
    {
        std::vector<std::string> arguments{m_patcher.string()};
        if (unattended)
            arguments.push_back("-u");
        arguments.insert(arguments.end(), {"-r", "100", m_install.string()});
        return arguments;
    }

    std::string OnlyFatalReport()
    {
        const std::vector<std::string> reports = ReportFiles(m_dir);
        EXPECT_EQ(reports.size(), 1u);
        if (reports.size() != 1)
            return "";
        EXPECT_TRUE(std::regex_match(reports[0], kFatalReportName)) << reports[0];
        return (m_dir / reports[0]).string();
    }

    static std::unique_ptr<testfiles::TempDirectory> s_temp;
    fs::path m_patcher;
};

std::unique_ptr<testfiles::TempDirectory> CrashAcceptanceTest::s_temp;

TEST_F(CrashAcceptanceTest, UnattendedFaultPrintsTheReportsPathAndEndsWith255)
{
    struct FaultCase
    {
        const char *place;
        const char *thread;
    };
    for (const FaultCase &fault : {FaultCase{"patch worker", "patch worker"}, FaultCase{"main", "pelmo-patcher"}})
    {
        SCOPED_TRACE(fault.place);
        for (const std::string &name : ReportFiles(m_dir))
            fs::remove(m_dir / name);
        RunningProgram patcher(
            RepairRun(true),
            Environment({"DISPLAY=", "WAYLAND_DISPLAY=", std::string("ZELK_TEST_CRASH=") + fault.place}));
        EXPECT_EQ(patcher.Wait(), 255) << patcher.Output();
        const std::string report = OnlyFatalReport();
        EXPECT_TRUE(Contains(patcher.Output(), "Unhandled Exception. Crash report: " + report + "\n"))
            << patcher.Output();
        const std::string text = ReadFile(fs::path(report));
        EXPECT_TRUE(Contains(text, "\nreason: signal 11 (SIGSEGV)")) << text;
        EXPECT_TRUE(Contains(text, " \"" + std::string(fault.thread) + "\"\n")) << text;
    }
}

TEST_F(CrashAcceptanceTest, FaultInTheWindowShowsTheBoxFromAFreshProcess)
{
    const char *display = std::getenv("DISPLAY");
    if (!display || !*display)
        GTEST_SKIP() << "needs a display (the test suite runs under xvfb-run)";
    ASSERT_EQ(std::system("command -v xwininfo >/dev/null"), 0) << "xwininfo (x11-utils) is missing";
    // The window's own code lives in a module the program loads from memory: the report names its
    // functions as well as the program's.
    struct FaultCase
    {
        const char *place;
        const char *thread;
        const char *function;
    };
    for (const FaultCase &fault : {FaultCase{"patch worker", "patch worker", "PatchThread::Entry()"},
                                   FaultCase{"main", "pelmo-patcher", "PelmoPatcherApp::OnInit()"}})
    {
        SCOPED_TRACE(fault.place);
        for (const std::string &name : ReportFiles(m_dir))
            fs::remove(m_dir / name);
        RunningProgram patcher(RepairRun(false), Environment({"DISPLAY=" + std::string(display),
                                                              std::string("ZELK_TEST_CRASH=") + fault.place}));
        ASSERT_TRUE(patcher.Started());

        // The box is a process of its own, started by the crashed patcher with the report's path.
        std::vector<std::string> box;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < limit && (box.empty() || !WindowTitled("Fatal Error")))
        {
            for (const std::vector<std::string> &child : ChildCommandLines(patcher.Pid()))
            {
                if (child.size() == 3 && child[1] == "--show-crash-report")
                    box = child;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_EQ(box.size(), 3u) << patcher.Output();
        EXPECT_TRUE(WindowTitled("Fatal Error"));
        const std::string report = OnlyFatalReport();
        EXPECT_EQ(box[0], fs::canonical(m_patcher).string());
        EXPECT_EQ(box[2], report);

        // The patcher waits for the box, then ends.
        EXPECT_EQ(std::system(("pkill -TERM -P " + std::to_string(patcher.Pid())).c_str()), 0);
        EXPECT_EQ(patcher.Wait(), 255) << patcher.Output();
        const std::string text = ReadFile(fs::path(report));
        EXPECT_TRUE(Contains(text, "\nfaulting thread: ")) << text;
        EXPECT_TRUE(Contains(text, " \"" + std::string(fault.thread) + "\"\n")) << text;
        EXPECT_TRUE(Contains(text, fault.function)) << text;
    }
}

TEST_F(CrashAcceptanceTest, OrderlyExitReportsTheAllocationsAndLeavesNoCrashReport)
{
    // Without a mode there is nothing to run: the patcher ends at once, in order.
    RunningProgram patcher({m_patcher.string(), "-u"}, Environment({"DISPLAY=", "ZELK_DEBUG_OUTPUT=stderr"}));
    EXPECT_EQ(patcher.Wait(), 2) << patcher.Output();
    EXPECT_EQ(ReportFiles(m_dir), std::vector<std::string>{});
#ifdef ZELK_SANITIZER_BUILD
    GTEST_SKIP() << "the allocation operators, and so the report of what was never freed, are the sanitizer's in "
                    "this build";
#endif
    const std::string output = patcher.Output();
    const size_t opening = output.find("\n\n>>>>>>>>>> DEBUG ALLOCATION >>>>>>>>>>\n\n");
    const size_t closing = output.find("\n\n<<<<<<<<<< DEBUG ALLOCATION <<<<<<<<<<\n\n");
    ASSERT_NE(opening, std::string::npos) << output;
    ASSERT_NE(closing, std::string::npos) << output;
    EXPECT_LT(opening, closing);
    EXPECT_TRUE(std::regex_search(output.substr(opening, closing - opening),
                                  std::regex("\n\nA total of [0-9]+ leaks at [0-9]+ locations\\.\n$")))
        << output.substr(closing > 400 ? closing - 400 : 0, 400);
    // Every block freed went through the operators that handed it out.
    EXPECT_FALSE(Contains(output, "unknown memory block"));
}
} // namespace
