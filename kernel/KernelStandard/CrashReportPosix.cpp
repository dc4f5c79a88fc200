// The crash report writer of the crash handlers. Everything reached from a signal handler here
// formats into fixed buffers, writes with write(2) and takes no lock: the faulting thread may hold
// any lock of the process (the heap's included) when it arrives. Resolving symbols needs
// allocation, so it is left to a fresh process of the same program (exec of /proc/self/exe with
// ZELK_CRASH_SYMBOLISER set), which inherits no lock and no half-changed heap from the crashed
// one: it gets the frame addresses with their modules on a pipe and writes the stack lines
// straight into the report; when it fails or takes too long, the report keeps the raw addresses.
#include "kernel/KernelStandard/CrashReportPosix.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kernel/CrashHandler.h"
#include "kernel/FileUtil.h"
#include "kernel/KernelStandard/SignalSafeText.h"
#include "kernel/StackWalk.h"

extern char **environ;

namespace
{
constexpr size_t kPathCapacity = kCrashPathCapacity;
constexpr size_t kMaxReportFrames = 64;
constexpr unsigned kMaxDumpNumber = 100000;
constexpr char kSymboliserVariable[] = "ZELK_CRASH_SYMBOLISER";
constexpr char kSymboliserSetting[] = "ZELK_CRASH_SYMBOLISER=1";
// Long enough for a loaded machine to read the debug information of a large program.
constexpr int kSymboliserSeconds = 30;
constexpr size_t kMaxEnvironment = 1024;
constexpr char kOwnExecutable[] = "/proc/self/exe";
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

bool g_symbolProcess = false;

bool SameText(const char *a, const char *b)
{
    return std::strcmp(a, b) == 0;
}

// Reads a small file of the process (/proc) whole into text; false when it cannot.
bool ReadSmallFile(const char *path, char *text, size_t capacity, size_t &size)
{
    size = 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    while (size + 1 < capacity)
    {
        const ssize_t got = read(fd, text + size, capacity - 1 - size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        size += static_cast<size_t>(got);
    }
    close(fd);
    text[size] = 0;
    return true;
}

void ReadThreadName(pid_t thread, char *name, size_t capacity)
{
    SignalSafeText<64> path;
    path.Text("/proc/self/task/").Decimal(thread).Text("/comm");
    size_t size = 0;
    if (!ReadSmallFile(path.c_str(), name, capacity, size))
        size = 0;
    while (size > 0 && name[size - 1] == '\n')
        --size;
    name[size] = 0;
}

// Reports -------------------------------------------------------------------------------------------

const char *SignalName(int signal)
{
    switch (signal)
    {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    case SIGABRT:
        return "SIGABRT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal";
    }
}

const char *SignalCodeName(int signal, int code)
{
    switch (code)
    {
    case SI_USER:
        return "SI_USER";
    case SI_TKILL:
        return "SI_TKILL";
    case SI_QUEUE:
        return "SI_QUEUE";
    case SI_KERNEL:
        return "SI_KERNEL";
    default:
        break;
    }
    switch (signal)
    {
    case SIGSEGV:
        return code == SEGV_MAPERR ? "SEGV_MAPERR" : code == SEGV_ACCERR ? "SEGV_ACCERR" : "";
    case SIGBUS:
        return code == BUS_ADRALN   ? "BUS_ADRALN"
               : code == BUS_ADRERR ? "BUS_ADRERR"
               : code == BUS_OBJERR ? "BUS_OBJERR"
                                    : "";
    case SIGFPE:
        switch (code)
        {
        case FPE_INTDIV:
            return "FPE_INTDIV";
        case FPE_INTOVF:
            return "FPE_INTOVF";
        case FPE_FLTDIV:
            return "FPE_FLTDIV";
        case FPE_FLTOVF:
            return "FPE_FLTOVF";
        case FPE_FLTUND:
            return "FPE_FLTUND";
        case FPE_FLTRES:
            return "FPE_FLTRES";
        case FPE_FLTINV:
            return "FPE_FLTINV";
        default:
            return "";
        }
    case SIGILL:
        switch (code)
        {
        case ILL_ILLOPC:
            return "ILL_ILLOPC";
        case ILL_ILLOPN:
            return "ILL_ILLOPN";
        case ILL_ILLADR:
            return "ILL_ILLADR";
        case ILL_PRVOPC:
            return "ILL_PRVOPC";
        default:
            return "";
        }
    default:
        return "";
    }
}

// Whether the kernel filled in si_addr: the faults that an instruction raised.
bool HasFaultAddress(int signal, int code)
{
    return code > 0 && (signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE || signal == SIGILL);
}

struct RegisterSlot
{
    const char *name;
    int index;
};

#if defined(__x86_64__)
constexpr RegisterSlot kRegisters[] = {
    {"rip", REG_RIP}, {"rsp", REG_RSP}, {"rbp", REG_RBP}, {"eflags", REG_EFL},    {"rax", REG_RAX},
    {"rbx", REG_RBX}, {"rcx", REG_RCX}, {"rdx", REG_RDX}, {"rsi", REG_RSI},       {"rdi", REG_RDI},
    {"r8", REG_R8},   {"r9", REG_R9},   {"r10", REG_R10}, {"r11", REG_R11},       {"r12", REG_R12},
    {"r13", REG_R13}, {"r14", REG_R14}, {"r15", REG_R15}, {"trapno", REG_TRAPNO}, {"err", REG_ERR},
};

uint64_t RegisterValue(const ucontext_t &context, int index)
{
    return static_cast<uint64_t>(context.uc_mcontext.gregs[index]);
}

uint64_t InstructionAddress(const ucontext_t &context)
{
    return RegisterValue(context, REG_RIP);
}
#elif defined(__aarch64__)
constexpr RegisterSlot kRegisters[] = {
    {"pc", 32},  {"sp", 31},  {"x0", 0},   {"x1", 1},   {"x2", 2},   {"x3", 3},   {"x4", 4},   {"x5", 5},   {"x6", 6},
    {"x7", 7},   {"x8", 8},   {"x9", 9},   {"x10", 10}, {"x11", 11}, {"x12", 12}, {"x13", 13}, {"x14", 14}, {"x15", 15},
    {"x16", 16}, {"x17", 17}, {"x18", 18}, {"x19", 19}, {"x20", 20}, {"x21", 21}, {"x22", 22}, {"x23", 23}, {"x24", 24},
    {"x25", 25}, {"x26", 26}, {"x27", 27}, {"x28", 28}, {"x29", 29}, {"x30", 30},
};

uint64_t RegisterValue(const ucontext_t &context, int index)
{
    if (index == 32)
        return context.uc_mcontext.pc;
    if (index == 31)
        return context.uc_mcontext.sp;
    return context.uc_mcontext.regs[index];
}

uint64_t InstructionAddress(const ucontext_t &context)
{
    return context.uc_mcontext.pc;
}
#else
constexpr RegisterSlot kRegisters[] = {{"", 0}};

uint64_t RegisterValue(const ucontext_t &, int)
{
    return 0;
}

uint64_t InstructionAddress(const ucontext_t &)
{
    return 0;
}
#endif

template <size_t N>
void WriteHeader(SignalSafeText<N> &out)
{
    char path[kPathCapacity];
    ReadOwnExecutablePath(path, sizeof path);
    out.Text("Crash report of ").Text(path).Text(" (process ").Decimal(getpid()).Text(")\n");
    out.Text("version: ").Text(kPatcherBuildNumber).Char('\n');
    out.Text("command line:");
    char commandLine[kPathCapacity];
    size_t size = 0;
    ReadSmallFile("/proc/self/cmdline", commandLine, sizeof commandLine, size);
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i)
    {
        if (i < size && commandLine[i] != 0)
            continue;
        if (i > start)
            out.Char(' ').Text(commandLine + start, i - start);
        start = i + 1;
    }
    out.Char('\n');
}

template <size_t N>
void WriteReason(SignalSafeText<N> &out, const CrashFault *fault, const char *note)
{
    out.Text("reason: ");
    if (!fault || !fault->info)
    {
        out.Text("no fault: the report was asked for\n");
    }
    else
    {
        const siginfo_t &info = *fault->info;
        out.Text("signal ").Decimal(fault->signal).Text(" (").Text(SignalName(fault->signal)).Text("), code ");
        out.Decimal(info.si_code);
        const char *codeName = SignalCodeName(fault->signal, info.si_code);
        if (*codeName)
            out.Text(" (").Text(codeName).Char(')');
        if (HasFaultAddress(fault->signal, info.si_code))
            out.Text(", fault address ").Address(reinterpret_cast<uint64_t>(info.si_addr));
        else if (info.si_code <= 0)
            out.Text(", sent by process ").Decimal(info.si_pid);
        out.Char('\n');
    }
    if (note && note[0])
        out.Text("note: ").Text(note).Char('\n');
}

template <size_t N>
void WriteThread(SignalSafeText<N> &out, pid_t thread)
{
    char name[64];
    ReadThreadName(thread, name, sizeof name);
    out.Text("faulting thread: ").Decimal(thread).Text(" \"").Text(name).Text("\"\n");
}

template <size_t N>
void WriteRegisters(SignalSafeText<N> &out, const ucontext_t &context)
{
    out.Text("registers:\n");
    int column = 0;
    for (const RegisterSlot &slot : kRegisters)
    {
        if (!*slot.name)
            continue;
        out.Text("  ");
        out.Text(slot.name).Char(' ').Address(RegisterValue(context, slot.index));
        if (++column == 4)
        {
            out.Char('\n');
            column = 0;
        }
    }
    if (column != 0)
        out.Char('\n');
}

// Where an address lies: the module's file and its load bias. False outside every module.
bool FindModule(uint64_t address, char *path, size_t capacity, uint64_t &bias)
{
    dl_find_object found;
    if (_dl_find_object(reinterpret_cast<void *>(address), &found) != 0 || !found.dlfo_link_map)
        return false;
    const link_map *map = found.dlfo_link_map;
    bias = map->l_addr;
    if (map->l_name && map->l_name[0] == '/')
        CopySignalSafe(path, capacity, map->l_name);
    else if (map->l_name && map->l_name[0])
        return false; // the kernel's virtual library: no file to read
    else
        ReadOwnExecutablePath(path, capacity);
    return true;
}

template <size_t N>
void WriteRawFrame(SignalSafeText<N> &out, size_t index, uint64_t address, bool exact)
{
    out.Text("  #").Decimal(static_cast<int64_t>(index)).Text("  ").Address(address);
    char path[kPathCapacity];
    uint64_t bias = 0;
    if (address != 0 && FindModule(exact ? address : address - 1, path, sizeof path, bias))
        out.Char(' ').Text(path).Text("+0x").Hex(address - bias);
    out.Char('\n');
}

// The environment of the symbol process: the crashed one's, with the switch first.
char **SymboliserEnvironment()
{
    static char *environment[kMaxEnvironment];
    static char setting[sizeof kSymboliserSetting];
    CopySignalSafe(setting, sizeof setting, kSymboliserSetting);
    size_t count = 0;
    environment[count++] = setting;
    const size_t nameLength = sizeof kSymboliserVariable - 1;
    for (char **entry = environ; entry && *entry && count + 1 < kMaxEnvironment; ++entry)
    {
        if (std::strncmp(*entry, kSymboliserVariable, nameLength) == 0 && (*entry)[nameLength] == '=')
            continue;
        environment[count++] = *entry;
    }
    environment[count] = nullptr;
    return environment;
}

// Waits for a child at most the given time, then kills it. True when it ended with status 0.
bool WaitForChild(pid_t child, int limitSeconds)
{
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;)
    {
        int status = 0;
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (ended < 0 && errno != EINTR)
            return false;
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= limitSeconds)
        {
            kill(child, SIGKILL);
            while (waitpid(child, &status, 0) < 0 && errno == EINTR)
            {
            }
            return false;
        }
        const timespec pause{0, 2 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

// Has a fresh process of this program write the symbolised lines of the frames to output, in the
// given mode ("report" or "early <capacity>"). False when it failed or took too long.
bool RunSymboliser(int output, const char *mode, const uint64_t *frames, size_t count, bool firstIsExact)
{
    int request[2];
    if (pipe2(request, O_CLOEXEC) != 0)
        return false;
    char **environment = SymboliserEnvironment();
    char program[] = "zelk-symbols";
    char *arguments[] = {program, nullptr};
    const pid_t child = _Fork();
    if (child == 0)
    {
        const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
        PrepareCrashChild(request[0], output, quiet);
        execve(kOwnExecutable, arguments, environment);
        _exit(127);
    }
    close(request[0]);
    if (child < 0)
    {
        close(request[1]);
        return false;
    }
    {
        SignalSafeText<1024> text(request[1]);
        text.Text(mode).Char('\n');
        for (size_t i = 0; i < count; ++i)
        {
            const bool exact = firstIsExact && i == 0;
            char path[kPathCapacity];
            uint64_t bias = 0;
            const bool inModule =
                frames[i] != 0 && FindModule(exact ? frames[i] : frames[i] - 1, path, sizeof path, bias);
            text.Hex(frames[i]).Char(' ').Char(exact ? 'e' : 'r').Char(' ').Hex(inModule ? bias : 0).Char(' ');
            text.Text(inModule ? path : "-").Char('\n');
        }
    }
    close(request[1]);
    return WaitForChild(child, kSymboliserSeconds);
}

// Captures the stack that the report shows: from the faulting instruction, or from `from` when
// there is no fault. The faulting instruction comes first even when the walk cannot get past it.
size_t CaptureReportFrames(uint64_t *frames, const ucontext_t *faultContext, const void *from, bool &firstIsExact)
{
    firstIsExact = false;
    if (!faultContext)
        return CaptureStackFrames(frames, kMaxReportFrames, from);
    const uint64_t faulting = InstructionAddress(*faultContext);
    size_t count = CaptureStackFrames(frames, kMaxReportFrames, reinterpret_cast<const void *>(faulting));
    firstIsExact = true;
    if (count == 0 || frames[0] != faulting)
    {
        frames[0] = faulting;
        count = 1;
    }
    return count;
}

template <size_t N>
void WriteStack(SignalSafeText<N> &out, int fd, const ucontext_t *faultContext, const void *from)
{
    uint64_t frames[kMaxReportFrames];
    bool firstIsExact = false;
    const size_t count = CaptureReportFrames(frames, faultContext, from, firstIsExact);
    out.Text("stack of the faulting thread:\n");
    out.Flush();
    if (RunSymboliser(fd, "report", frames, count, firstIsExact))
        return;
    out.Text("  (no symbols: the symbol process failed; module offsets follow)\n");
    for (size_t i = 0; i < count; ++i)
        WriteRawFrame(out, i, frames[i], firstIsExact && i == 0);
}

template <size_t N>
void WriteOtherThreads(SignalSafeText<N> &out, pid_t faulting)
{
    out.Text("other threads:");
    const int directory = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
    {
        out.Text(" unknown\n");
        return;
    }
    alignas(dirent64) char entries[4096];
    for (;;)
    {
        const long got = syscall(SYS_getdents64, directory, entries, sizeof entries);
        if (got <= 0)
            break;
        for (long offset = 0; offset < got;)
        {
            const dirent64 *entry = reinterpret_cast<const dirent64 *>(entries + offset);
            offset += entry->d_reclen;
            pid_t thread = 0;
            const char *digit = entry->d_name;
            for (; *digit >= '0' && *digit <= '9'; ++digit)
                thread = thread * 10 + (*digit - '0');
            if (*digit || thread == 0 || thread == faulting)
                continue;
            char name[64];
            ReadThreadName(thread, name, sizeof name);
            out.Char(' ').Decimal(thread).Text(" \"").Text(name).Char('"');
        }
    }
    close(directory);
    out.Char('\n');
}

// Reads /proc/self/maps line by line through a fixed buffer.
class MapsReader
{
public:
    MapsReader() : m_fd(open("/proc/self/maps", O_RDONLY | O_CLOEXEC)) {}
    ~MapsReader()
    {
        if (m_fd >= 0)
            close(m_fd);
    }

    bool NextLine(char *line, size_t capacity)
    {
        size_t size = 0;
        for (;;)
        {
            if (m_position == m_filled)
            {
                if (m_fd < 0)
                    return false;
                const ssize_t got = read(m_fd, m_buffer, sizeof m_buffer);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                {
                    line[size] = 0;
                    return size > 0;
                }
                m_filled = static_cast<size_t>(got);
                m_position = 0;
            }
            const char c = m_buffer[m_position++];
            if (c == '\n')
            {
                line[size] = 0;
                return true;
            }
            if (size + 1 < capacity)
                line[size++] = c;
        }
    }

private:
    int m_fd;
    char m_buffer[4096];
    size_t m_filled = 0;
    size_t m_position = 0;
};

uint64_t ParseHex(const char *&text)
{
    uint64_t value = 0;
    for (;; ++text)
    {
        const char c = *text;
        if (c >= '0' && c <= '9')
            value = value * 16 + static_cast<uint64_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            value = value * 16 + static_cast<uint64_t>(c - 'a' + 10);
        else
            return value;
    }
}

// One line of /proc/self/maps.
struct Mapping
{
    uint64_t start = 0;
    uint64_t end = 0;
    bool readable = false;
    uint64_t offset = 0;
    const char *path = "";
};

bool ParseMapping(const char *line, Mapping &mapping)
{
    const char *text = line;
    mapping.start = ParseHex(text);
    if (*text++ != '-')
        return false;
    mapping.end = ParseHex(text);
    if (*text++ != ' ')
        return false;
    mapping.readable = *text == 'r';
    while (*text && *text != ' ')
        ++text;
    while (*text == ' ')
        ++text;
    mapping.offset = ParseHex(text);
    // Device and inode, then the path after the padding.
    for (int field = 0; field < 2; ++field)
    {
        while (*text == ' ')
            ++text;
        while (*text && *text != ' ')
            ++text;
    }
    while (*text == ' ')
        ++text;
    mapping.path = text;
    return true;
}

// The GNU build id of the ELF image whose first page is mapped at [start, end), read from its
// notes in memory; false when the image has none there.
template <size_t N>
bool WriteBuildId(SignalSafeText<N> &out, uint64_t start, uint64_t end)
{
    if (end - start < sizeof(ElfW(Ehdr)))
        return false;
    const ElfW(Ehdr) *header = reinterpret_cast<const ElfW(Ehdr) *>(start);
    if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_phentsize != sizeof(ElfW(Phdr)))
        return false;
    if (header->e_phoff + static_cast<uint64_t>(header->e_phnum) * sizeof(ElfW(Phdr)) > end - start)
        return false;
    const ElfW(Phdr) *headers = reinterpret_cast<const ElfW(Phdr) *>(start + header->e_phoff);
    const long pageSize = sysconf(_SC_PAGESIZE);
    uint64_t bias = start;
    for (int i = 0; i < header->e_phnum; ++i)
    {
        if (headers[i].p_type == PT_LOAD)
        {
            bias = start - (headers[i].p_vaddr & ~static_cast<uint64_t>(pageSize - 1));
            break;
        }
    }
    for (int i = 0; i < header->e_phnum; ++i)
    {
        if (headers[i].p_type != PT_NOTE)
            continue;
        uint64_t note = bias + headers[i].p_vaddr;
        const uint64_t notesEnd = note + headers[i].p_memsz;
        if (note < start || notesEnd > end)
            continue;
        while (note + sizeof(ElfW(Nhdr)) <= notesEnd)
        {
            const ElfW(Nhdr) *entry = reinterpret_cast<const ElfW(Nhdr) *>(note);
            const uint64_t name = note + sizeof(ElfW(Nhdr));
            const uint64_t description = name + ((entry->n_namesz + 3) & ~3u);
            const uint64_t next = description + ((entry->n_descsz + 3) & ~3u);
            if (next > notesEnd)
                break;
            if (entry->n_type == NT_GNU_BUILD_ID && entry->n_namesz == 4 &&
                std::memcmp(reinterpret_cast<const char *>(name), "GNU", 4) == 0)
            {
                out.Text(" build id ");
                const unsigned char *bytes = reinterpret_cast<const unsigned char *>(description);
                for (uint32_t b = 0; b < entry->n_descsz; ++b)
                    out.Hex(bytes[b], 2);
                return true;
            }
            note = next;
        }
    }
    return false;
}

template <size_t N>
void WriteModules(SignalSafeText<N> &out)
{
    out.Text("modules:\n");
    MapsReader maps;
    char line[kPathCapacity + 256];
    char previous[kPathCapacity];
    previous[0] = 0;
    while (maps.NextLine(line, sizeof line))
    {
        Mapping mapping;
        if (!ParseMapping(line, mapping) || mapping.path[0] != '/' || mapping.offset != 0 || !mapping.readable)
            continue;
        // Only what the loader loaded: reading the header of any other mapped file could fault
        // (a file cut short under its mapping raises SIGBUS).
        dl_find_object loaded;
        if (_dl_find_object(reinterpret_cast<void *>(mapping.start), &loaded) != 0 ||
            reinterpret_cast<uint64_t>(loaded.dlfo_map_start) != mapping.start)
            continue;
        if (SameText(mapping.path, previous))
            continue;
        CopySignalSafe(previous, sizeof previous, mapping.path);
        out.Text("  ").Address(mapping.start).Char(' ').Text(mapping.path);
        if (!WriteBuildId(out, mapping.start, mapping.end))
            out.Text(" (no build id)");
        out.Char('\n');
    }
}

// Creates a report file in the directory (empty: the current one) and makes its path absolute:
// the first of name, stem_2.ext, stem_3.ext, ... that can be created anew.
int CreateReportIn(const char *directory, const char *stem, const char *extension, char *path)
{
    for (unsigned number = 1; number <= kMaxDumpNumber; ++number)
    {
        SignalSafeText<kPathCapacity> name;
        if (*directory)
            name.Text(directory).Char('/');
        name.Text(stem);
        if (number > 1)
            name.Char('_').Decimal(number);
        name.Text(extension);
        // O_EXCL opens nothing that is there, a planted link included; a taken name moves on to
        // the next number.
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return -1;
        SignalSafeText<kPathCapacity> absolute;
        char current[kPathCapacity];
        if (!*directory && getcwd(current, sizeof current))
            absolute.Text(current).Char('/');
        absolute.Text(name.c_str());
        CopySignalSafe(path, kPathCapacity, absolute.c_str());
        return fd;
    }
    return -1;
}

// Writes a whole report into the file; the sections that need nothing but the fault come first,
// so that a report cut short by a second fault still tells the most.
void WriteReport(int fd, const CrashFault *fault, const void *from, const char *note, bool faultWhileWriting)
{
    SignalSafeText<2048> out(fd);
    WriteHeader(out);
    WriteReason(out, fault, note);
    const pid_t thread = gettid();
    WriteThread(out, thread);
    out.Flush();
    if (faultWhileWriting)
        WriteThroughNullPointer();
    if (fault && fault->context)
        WriteRegisters(out, *fault->context);
    else
        out.Text("registers: none, there was no fault\n");
    WriteStack(out, fd, fault ? fault->context : nullptr, from);
    WriteOtherThreads(out, thread);
    WriteModules(out);
}

// The symbol process ---------------------------------------------------------------------------------

// A report's lines of one frame: each inlined function first, then the function itself with its
// module and the offset in it.
std::string ReportLines(size_t index, uint64_t address, uint64_t bias, const std::string &module,
                        const StackFrameSymbol &symbol)
{
    std::string lines;
    for (const StackFrameSymbol::InlinedCall &call : symbol.inlined)
        lines += FormatText("  #%zu  0x%016" PRIx64 " %s at %s:%d (inlined)\n", index, address, call.function.c_str(),
                            call.file.c_str(), call.line);
    lines += FormatText("  #%zu  0x%016" PRIx64 " %s", index, address,
                        symbol.function.empty() ? "??" : symbol.function.c_str());
    if (symbol.line >= 0)
        lines += FormatText(" at %s:%d", symbol.file.c_str(), symbol.line);
    lines += FormatText(" [%s+0x%" PRIx64 "]\n", module == "-" ? "?" : module.c_str(), address - bias);
    return lines;
}

// The early handler's lines of one frame: "<file>(<line>), <function>".
std::string EarlyLines(const StackFrameSymbol &symbol)
{
    std::string lines;
    for (const StackFrameSymbol::InlinedCall &call : symbol.inlined)
        lines += FormatText("%s(%d), %s\n", call.file.c_str(), call.line, call.function.c_str());
    return lines + FormatText("%s(%d), %s\n", symbol.file.c_str(), symbol.line, symbol.function.c_str());
}

// Reads the request of the crashed process from standard input (a mode line, then one line per
// frame: address, "e" for the faulting instruction or "r" for a return address, the module's
// load bias and its path, "-" for none) and writes the frames' lines to standard output.
int RunSymbolProcess()
{
    std::string request;
    char buffer[4096];
    ssize_t got;
    while ((got = read(STDIN_FILENO, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))
    {
        if (got > 0)
            request.append(buffer, static_cast<size_t>(got));
    }
    size_t end = request.find('\n');
    if (end == std::string::npos)
        return 1;
    const std::string mode = request.substr(0, end);
    const bool early = mode.rfind("early ", 0) == 0;
    const size_t capacity = early ? std::strtoul(mode.c_str() + 6, nullptr, 10) : 0;
    OfflineSymbolResolver resolver;
    std::string text;
    size_t index = 0;
    for (size_t start = end + 1; start < request.size(); start = end + 1)
    {
        end = request.find('\n', start);
        if (end == std::string::npos)
            end = request.size();
        const std::string line = request.substr(start, end - start);
        char kind = 'r';
        unsigned long long address = 0, bias = 0;
        int pathStart = 0;
        if (std::sscanf(line.c_str(), "%llx %c %llx %n", &address, &kind, &bias, &pathStart) < 3)
            continue;
        const std::string module = line.substr(static_cast<size_t>(pathStart));
        StackFrameSymbol symbol;
        if (module != "-")
            symbol = resolver.Resolve(module, bias, address, kind == 'r');
        text += early ? EarlyLines(symbol) : ReportLines(index, address, bias, module, symbol);
        ++index;
    }
    // The early text stands for a message box of a fixed size.
    if (early && text.size() > capacity)
        text.resize(capacity);
    SignalSafeText<4096> out(STDOUT_FILENO);
    out.Text(text.data(), text.size());
    return 0;
}

// A process started as the symbol process of a crashed one does its work and ends before
// anything else of the program runs.
__attribute__((constructor(101))) void RunAsSymbolProcess()
{
    const char *setting = std::getenv(kSymboliserVariable);
    if (!setting || !SameText(setting, "1"))
        return;
    // A symbol process that crashes just ends: nobody waits for a report of it, and another
    // symbol process would only repeat the fault.
    g_symbolProcess = true;
    for (int signal : kFatalSignals)
        std::signal(signal, SIG_DFL);
    _exit(RunSymbolProcess());
}
} // namespace

void CopySignalSafe(char *destination, size_t capacity, const char *source)
{
    size_t i = 0;
    for (; source && source[i] && i + 1 < capacity; ++i)
        destination[i] = source[i];
    destination[i] = 0;
}

bool ReadOwnExecutablePath(char *path, size_t capacity)
{
    const ssize_t length = readlink(kOwnExecutable, path, capacity - 1);
    if (length <= 0)
    {
        CopySignalSafe(path, capacity, kOwnExecutable);
        return false;
    }
    path[length] = 0;
    return true;
}
void PrepareCrashChild(int input, int output, int errors)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (input >= 0)
        dup2(input, STDIN_FILENO);
    if (output >= 0)
        dup2(output, STDOUT_FILENO);
    if (errors >= 0)
        dup2(errors, STDERR_FILENO);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        fcntl(fd, F_SETFD, 0);
    close_range(STDERR_FILENO + 1, ~0U, 0);
}

int CreateCrashReportFile(const char *stem, const char *extension, const char *fallbackDirectory, char *path)
{
    const int fd = CreateReportIn("", stem, extension, path);
    if (fd >= 0 || !fallbackDirectory || !fallbackDirectory[0])
        return fd;
    return CreateReportIn(fallbackDirectory, stem, extension, path);
}

void WriteCrashReport(int fd, const CrashFault *fault, const void *from, const char *note, bool faultWhileWriting)
{
    WriteReport(fd, fault, from, note, faultWhileWriting);
}

void WriteEarlyCallStack(int fd, const ucontext_t *context, size_t capacity)
{
    uint64_t frames[kMaxReportFrames];
    bool firstIsExact = false;
    const size_t count = CaptureReportFrames(frames, context, nullptr, firstIsExact);
    SignalSafeText<32> mode;
    mode.Text("early ").Decimal(static_cast<int64_t>(capacity));
    if (RunSymboliser(fd, mode.c_str(), frames, count, firstIsExact))
        return;
    SignalSafeText<256> out(fd);
    for (size_t i = 0; i < count; ++i)
        WriteRawFrame(out, i, frames[i], firstIsExact && i == 0);
}

bool IsCrashSymbolProcess()
{
    return g_symbolProcess;
}

__attribute__((noinline, no_sanitize("undefined"))) void WriteThroughNullPointer()
{
    volatile int *volatile target = nullptr;
    *target = 0;
}
