// Child processes: one command line split into arguments by the rules Windows programs use, a
// started child that can be waited for, and a child whose standard output and standard error are
// captured through two pipes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;
// What ExitCode reports while the child still runs.
constexpr uint32_t kStillActive = 259;
// What ExitCode reports when there is no exit code: the child was killed by a signal or its status
// could not be read. Never a success code.
constexpr uint32_t kExitCodeFailed = 0xFFFFFFFFu;
// Captured output is handed out in pieces of at most this many bytes.
constexpr size_t kCapturedPieceSize = 8192;

// Splits a command line the way a Windows program's runtime does. The first argument is the
// program: quotes group and are dropped, backslashes are literal. In the other arguments, blanks
// and tabs separate outside quotes; 2n backslashes before a quote give n backslashes and the quote
// opens or closes a quoted part, 2n+1 give n backslashes and a literal quote; inside a quoted part
// two quotes give one literal quote; other backslashes are literal; "" alone is an empty argument.
std::vector<std::string> SplitCommandLine(const std::string &commandLine);

class CapturedProcess;

// Who runs a program that lies in an installation. Root runs it as itself only when root alone
// could have written it: the program, every directory from the installation down to it and every
// directory above the installation are owned by root and writable by no other account (a sticky
// directory's other entries do not count). Otherwise another account could have put its own code
// there, and the program runs as the installation directory's owner, with that account's groups
// and a clean environment (or as the first other owner on the way, or as "nobody", when root owns
// the installation directory). A process that is not root runs everything as itself.
struct ProgramIdentity
{
    // False: this process's own identity, as for any other child.
    bool switched = false;
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::vector<uint32_t> groups;
    std::string userName;
    std::string home;
    // The program with every link resolved, which is what root starts: a link on the way that
    // another account may change cannot send it elsewhere after the check. Empty: as given.
    std::string resolvedProgram;
};

// program is a UTF-8 path inside the installation directory.
ProgramIdentity IdentityForInstalledProgram(const std::wstring &installation, const std::string &program);

// A started child process. The destructor neither kills nor waits; it reaps a child that has
// already ended.
class ZelkProcess
{
public:
    // Splits the line and starts argument 0 (a UTF-8 path; a name without '/' is looked up on the
    // PATH). Null when the line is empty or the program cannot be started (missing, not
    // executable, not a program).
    static std::unique_ptr<ZelkProcess> Start(const std::string &commandLine);
    // Starts a program of the installation (argument 0) as IdentityForInstalledProgram decides.
    // When it runs as another account, every other argument that names an existing file outside
    // the installation is handed to it as a descriptor opened here, read-only ("/proc/self/fd/N"),
    // so that it can read what this process made in its private temporary directory and nothing
    // else of this process's.
    static std::unique_ptr<ZelkProcess> StartInstalled(const std::wstring &installation,
                                                       const std::string &commandLine);

    ~ZelkProcess();
    ZelkProcess(const ZelkProcess &) = delete;
    ZelkProcess &operator=(const ZelkProcess &) = delete;

    // True when the child has ended within the time (kWaitForever waits without limit).
    bool Wait(uint32_t milliseconds);
    // The exit status; kStillActive while running; kExitCodeFailed when a signal ended it.
    uint32_t ExitCode() const;
    bool EndedBySignal() const;
    int ProcessId() const;

private:
    friend class CapturedProcess;

    explicit ZelkProcess(int processId);
    // Starts the arguments with the standard output and error sent to the given descriptors
    // (-1 keeps the parent's); argument 0 as a program of the installation when one is given.
    static std::unique_ptr<ZelkProcess> Spawn(const std::vector<std::string> &arguments, int outputFd, int errorFd,
                                              const std::wstring *installation = nullptr);
    // Collects the status without blocking; true once the child has ended.
    bool Poll() const;

    int m_processId;
    mutable bool m_ended = false;
    mutable int m_status = 0;
};

// A child whose standard output and standard error arrive through separate pipes. The reads poll
// both pipes, so a child that fills one stream while the caller waits on the other never blocks.
class CapturedProcess
{
public:
    // The command line is "\"program\" arguments", split like any other.
    static std::unique_ptr<CapturedProcess> StartCapturedProcess(const std::wstring &program,
                                                                 const std::string &arguments);
    // The same for a program of the installation, started as ZelkProcess::StartInstalled does.
    static std::unique_ptr<CapturedProcess> StartCapturedProcess(const std::wstring &program,
                                                                 const std::string &arguments,
                                                                 const std::wstring &installation);

    ~CapturedProcess();
    CapturedProcess(const CapturedProcess &) = delete;
    CapturedProcess &operator=(const CapturedProcess &) = delete;

    // Each read appends at most kCapturedPieceSize bytes (up to the first NUL among them) and
    // blocks until either stream has something. Data that arrives on the other stream is kept for
    // that stream's next read, and the call returns true with nothing appended; a caller that
    // alternates the two reads therefore never deadlocks. False once the stream has ended and
    // nothing of it is pending.
    bool ReadOutput(std::string &text);
    bool ReadErrors(std::string &text);

    bool Wait(uint32_t milliseconds);
    uint32_t ExitCode() const;
    bool EndedBySignal() const;
    int ProcessId() const;
    // Closes the pipes (a child still writing then gets a broken pipe) and reaps an ended child.
    void Close();

private:
    struct Stream
    {
        int fd = -1;
        std::string pending;
    };

    CapturedProcess(std::unique_ptr<ZelkProcess> process, int outputFd, int errorFd);
    static std::unique_ptr<CapturedProcess> StartCaptured(const std::wstring &program, const std::string &arguments,
                                                          const std::wstring *installation);
    bool Read(Stream &own, Stream &other, std::string &text);

    std::unique_ptr<ZelkProcess> m_process;
    Stream m_output;
    Stream m_errors;
};
