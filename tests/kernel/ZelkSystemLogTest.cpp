#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "TestFiles.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"

extern char **environ;

namespace
{
constexpr char kLogAndExitVariable[] = "ZELK_TEST_LOG_AND_EXIT";
// Set: the logging child sends its console output to standard error, as an unattended run does.
constexpr char kConsoleToStandardErrorVariable[] = "ZELK_TEST_CONSOLE_TO_STDERR";

// Run as a child, this program logs the text of the variable during its static initialisation,
// before any other part of the program has started, and ends there.
const bool g_loggingChild = [] {
    const char *text = std::getenv(kLogAndExitVariable);
    if (!text)
        return false;
    if (std::getenv(kConsoleToStandardErrorVariable))
        ZelkSendSystemLogToStandardError();
    ZelkSystemLog("%s", text);
    _exit(0);
}();

std::string ReadAll(int fd)
{
    std::string data;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        data.append(buffer, static_cast<size_t>(got));
    return data;
}

struct ChildResult
{
    int status = -1;
    std::string output;
    std::string errors;
};

// Starts this program as a logging child with the given environment changes (NAME=value sets,
// NAME alone removes) and standard output and error captured. beforeStart runs with the child's
// process id before the child may go on; outputFd replaces the capture of standard output.
ChildResult RunLoggingChild(const std::string &text, const std::vector<std::string> &environment,
                            const std::function<void(pid_t)> &beforeStart = nullptr, int outputFd = -1)
{
    std::vector<std::string> variables;
    for (char **entry = environ; *entry; ++entry)
    {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('='));
        bool replaced = name == kLogAndExitVariable;
        for (const std::string &change : environment)
            replaced = replaced || change.substr(0, change.find('=')) == name;
        if (!replaced)
            variables.push_back(variable);
    }
    for (const std::string &change : environment)
    {
        if (change.find('=') != std::string::npos)
            variables.push_back(change);
    }
    variables.push_back(std::string(kLogAndExitVariable) + "=" + text);
    std::vector<char *> envp;
    for (std::string &variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char *argv[] = {self, nullptr};

    int output[2], errors[2], go[2];
    if (pipe(output) != 0 || pipe(errors) != 0 || pipe(go) != 0)
        return ChildResult();
    const pid_t child = fork();
    if (child == 0)
    {
        dup2(outputFd >= 0 ? outputFd : output[1], STDOUT_FILENO);
        dup2(errors[1], STDERR_FILENO);
        char byte;
        close(go[1]);
        if (read(go[0], &byte, 1) != 1)
            _exit(120);
        execve(self, argv, envp.data());
        _exit(121);
    }
    close(output[1]);
    close(errors[1]);
    close(go[0]);
    if (beforeStart)
        beforeStart(child);
    const char byte = 1;
    (void)!write(go[1], &byte, 1);
    close(go[1]);
    ChildResult result;
    result.output = ReadAll(output[0]);
    result.errors = ReadAll(errors[0]);
    close(output[0]);
    close(errors[0]);
    waitpid(child, &result.status, 0);
    return result;
}

// Collects what reaches the observers, and logs from inside its callback when asked to.
class RecordingObserver : public ZelkSystemLogObserver
{
public:
    void OnSystemLog(const std::wstring &text) override
    {
        lines.push_back(text);
        if (logInside)
            ZelkSystemLog("logged by the observer");
    }

    std::vector<std::wstring> lines;
    bool logInside = false;
};

// Sends this process's standard output into a file for the life of the object.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        char name[] = "/tmp/zelk-stdout-XXXXXX";
        m_fd = mkstemp(name);
        unlink(name);
        fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        dup2(m_fd, STDOUT_FILENO);
    }

    ~StdoutCapture()
    {
        Restore();
        close(m_fd);
    }

    std::string Text()
    {
        Restore();
        lseek(m_fd, 0, SEEK_SET);
        return ReadAll(m_fd);
    }

private:
    void Restore()
    {
        if (m_saved < 0)
            return;
        fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
        m_saved = -1;
    }

    int m_fd = -1;
    int m_saved = -1;
};
} // namespace

TEST(ZelkSystemLog, LongMessagesAreCutAt4095Characters)
{
    RecordingObserver observer;
    ZelkAddSystemLogObserver(&observer);
    const std::string narrow(5000, 'n');
    const std::wstring wide(5000, L'w');
    {
        StdoutCapture capture;
        ZelkSystemLog("%s", narrow.c_str());
        ZelkSystemLogW(L"%ls", wide.c_str());
        EXPECT_EQ(capture.Text(), narrow.substr(0, 4095) + "\n" + std::string(4095, 'w') + "\n");
    }
    ZelkRemoveSystemLogObserver(&observer);
    ASSERT_EQ(observer.lines.size(), 2u);
    EXPECT_EQ(observer.lines[0], std::wstring(4095, L'n') + L"\n");
    EXPECT_EQ(observer.lines[1], wide.substr(0, 4095) + L"\n");
}

TEST(ZelkSystemLog, LineLoggedByAnObserverReachesNoObserver)
{
    RecordingObserver first;
    RecordingObserver second;
    first.logInside = true;
    ZelkAddSystemLogObserver(&first);
    ZelkAddSystemLogObserver(&second);
    std::string console;
    {
        StdoutCapture capture;
        ZelkSystemLogW(L"outer %d \u00b0", 1);
        console = capture.Text();
    }
    ZelkRemoveSystemLogObserver(&first);
    ZelkRemoveSystemLogObserver(&second);
    EXPECT_EQ(first.lines, std::vector<std::wstring>{L"outer 1 \u00b0\n"});
    EXPECT_EQ(second.lines, std::vector<std::wstring>{L"outer 1 \u00b0\n"});
    // Every observer logs once, and those lines still reach the console.
    EXPECT_EQ(console, "outer 1 \xB0\nlogged by the observer\n");
}

TEST(ZelkSystemLog, ObserversMayUnregisterFromTheirCallback)
{
    // In one array the addresses, and so the call order, ascend.
    struct Unregistering : RecordingObserver
    {
        void OnSystemLog(const std::wstring &text) override
        {
            RecordingObserver::OnSystemLog(text);
            for (ZelkSystemLogObserver *observer : toRemove)
                ZelkRemoveSystemLogObserver(observer);
        }
        std::vector<ZelkSystemLogObserver *> toRemove;
    };
    Unregistering observers[3];
    observers[0].toRemove = {&observers[0], &observers[1]};
    for (Unregistering &observer : observers)
        ZelkAddSystemLogObserver(&observer);
    {
        StdoutCapture quiet;
        ZelkSystemLog("first");
        ZelkSystemLog("second");
    }
    ZelkRemoveSystemLogObserver(&observers[2]);
    EXPECT_EQ(observers[0].lines.size(), 1u);
    EXPECT_EQ(observers[1].lines.size(), 0u);
    EXPECT_EQ(observers[2].lines, (std::vector<std::wstring>{L"first\n", L"second\n"}));
}

TEST(ZelkSystemLog, ConsoleFifoReceivesUtf16Text)
{
    testfiles::TempDirectory temp;
    const std::string directory = temp.Path().string();
    int fifo = -1;
    const ChildResult result = RunLoggingChild("fifo line \xB0", {"TEMP=" + directory}, [&](pid_t child) {
        const std::string name = directory + "/" + std::to_string(child) + "cout";
        ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
        // Without a reader the child's open would fail; ours must not wait for the writer.
        fifo = open(name.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(fifo, 0);
    });
    ASSERT_GE(fifo, 0);
    EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 0);
    const std::string received = ReadAll(fifo);
    close(fifo);
    EXPECT_EQ(received, EncodeUtf16LE(L"fifo line \u00b0\n"));
    EXPECT_EQ(result.output.find("fifo line"), std::string::npos);
}

TEST(ZelkSystemLog, DebuggerOutputGoesToStandardErrorWhenAskedAndOnlyOnce)
{
    struct DebuggerCase
    {
        const char *variable;
        const char *console;
        const char *output;
        const char *errors;
    };
    const std::string consoleOnStandardError = std::string(kConsoleToStandardErrorVariable) + "=1";
    const DebuggerCase cases[] = {
        {"ZELK_DEBUG_OUTPUT=stderr", kConsoleToStandardErrorVariable, "to the debugger\n", "to the debugger\n"},
        {"ZELK_DEBUG_OUTPUT", kConsoleToStandardErrorVariable, "to the debugger\n", ""},
        {"ZELK_DEBUG_OUTPUT=other", kConsoleToStandardErrorVariable, "to the debugger\n", ""},
        // A line the console output already puts on standard error is not copied there again.
        {"ZELK_DEBUG_OUTPUT=stderr", consoleOnStandardError.c_str(), "", "to the debugger\n"},
        {"ZELK_DEBUG_OUTPUT", consoleOnStandardError.c_str(), "", "to the debugger\n"},
    };
    testfiles::TempDirectory temp;
    const std::string empty = temp.Path().string();
    for (const DebuggerCase &debuggerCase : cases)
    {
        SCOPED_TRACE(std::string(debuggerCase.variable) + " " + debuggerCase.console);
        const ChildResult result =
            RunLoggingChild("to the debugger", {debuggerCase.variable, debuggerCase.console, "TEMP=" + empty});
        EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 0);
        EXPECT_EQ(result.errors, debuggerCase.errors);
        EXPECT_EQ(result.output, debuggerCase.output);
    }
}

TEST(ZelkSystemLog, ClosedStandardOutputDoesNotEndTheProcess)
{
    // A reader that went away turns a write into a broken pipe; the line is dropped, and the
    // program must live on.
    int broken[2];
    ASSERT_EQ(pipe(broken), 0);
    close(broken[0]);
    const ChildResult result = RunLoggingChild("nobody reads this", {"TEMP=/nonexistent"}, nullptr, broken[1]);
    close(broken[1]);
    EXPECT_TRUE(WIFEXITED(result.status)) << "ended by signal " << WTERMSIG(result.status);
    EXPECT_EQ(WEXITSTATUS(result.status), 0);
}
