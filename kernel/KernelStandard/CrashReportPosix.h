// The crash report writer behind the crash handlers. Everything here may run in a signal handler
// on any thread: it neither allocates nor takes a lock.
#pragma once

#include <csignal>
#include <cstddef>
#include <ucontext.h>

constexpr size_t kCrashPathCapacity = 4096;

// The fault a report is about.
struct CrashFault
{
    int signal = 0;
    const siginfo_t *info = nullptr;
    const ucontext_t *context = nullptr;
};

// Creates a report file in the current directory, else in the fallback directory: the first of
// "<stem><extension>", "<stem>_2<extension>", ... that does not exist. Both directories may be
// writable by another account, so a report is only ever a new file: never one that is there,
// never through a link. Its absolute path goes to path (kCrashPathCapacity); -1 when neither
// directory takes it.
int CreateCrashReportFile(const char *stem, const char *extension, const char *fallbackDirectory, char *path);
// Writes a whole report into fd. Without a fault (a report on request) the stack starts at
// `from`. note, when not empty, is a line of its own. faultWhileWriting is a test switch: a fault
// in the writer right after the reason.
void WriteCrashReport(int fd, const CrashFault *fault, const void *from, const char *note, bool faultWhileWriting);
// The early handler's text: one "<file>(<line>), <function>" line per frame of the faulting
// stack, at most capacity characters, to fd.
void WriteEarlyCallStack(int fd, const ucontext_t *context, size_t capacity);

// In a freshly forked child: the given descriptors become standard input, output and error (-1
// leaves one as it is), nothing else stays open and no signal stays blocked.
void PrepareCrashChild(int input, int output, int errors);
// Copies what fits and terminates.
void CopySignalSafe(char *destination, size_t capacity, const char *source);
// The running executable's path; "/proc/self/exe" when it cannot be read.
bool ReadOwnExecutablePath(char *path, size_t capacity);
// True in the process that resolves a crashed process's symbols: it installs no crash handler.
bool IsCrashSymbolProcess();
// The test switches' fault: a write through a null pointer, a real one even in a build that checks
// for undefined behaviour.
void WriteThroughNullPointer();
