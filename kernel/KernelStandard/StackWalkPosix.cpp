// Stack capture with the compiler's unwinder (frame addresses only) and symbols through libdw.
#include "kernel/StackWalk.h"

#include <cstdlib>
#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <map>
#include <mutex>
#include <new>
#include <unistd.h>
#include <unwind.h>
#include <vector>

namespace
{
// Frames above the one asked for (the walker, the tracker or the crash handler) that are passed
// over while looking for it; should it not come, the walk keeps them.
constexpr size_t kMaxSkippedFrames = 16;

struct CaptureState
{
    uint64_t *frames;
    size_t capacity;
    size_t count;
    uint64_t from;
    bool started;
    uint64_t skipped[kMaxSkippedFrames];
    size_t skippedCount;
};

void Record(CaptureState &state, uint64_t address)
{
    if (state.count < state.capacity)
        state.frames[state.count++] = address;
}

void KeepSkippedFrames(CaptureState &state)
{
    state.started = true;
    for (size_t i = 0; i < state.skippedCount; ++i)
        Record(state, state.skipped[i]);
}

_Unwind_Reason_Code CollectFrame(_Unwind_Context *context, void *argument)
{
    CaptureState &state = *static_cast<CaptureState *>(argument);
    int beforeInstruction = 0;
    const uint64_t address = _Unwind_GetIPInfo(context, &beforeInstruction);
    if (address == 0)
        return _URC_END_OF_STACK;
    if (!state.started)
    {
        if (address == state.from)
            state.started = true;
        else if (state.skippedCount < kMaxSkippedFrames)
            state.skipped[state.skippedCount++] = address;
        else
            KeepSkippedFrames(state);
        if (!state.started)
            return _URC_NO_REASON;
    }
    Record(state, address);
    return state.count < state.capacity ? _URC_NO_REASON : _URC_END_OF_STACK;
}

char *Demangle(const char *name)
{
    int status = 0;
    char *readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    return status == 0 ? readable : nullptr;
}

// A source name made whole: "/src/build/../a.cpp" is "/src/a.cpp". Symbolic links are not
// followed; the name is what the compiler saw. A relative name (a build that maps its directories
// away) stays relative: "./kernel/a.cpp" is "kernel/a.cpp".
std::string LexicallyNormal(const std::string &path)
{
    const bool absolute = path.starts_with('/');
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size())
    {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == ".." && !parts.empty() && parts.back() != "..")
            parts.pop_back();
        else if (!part.empty() && part != ".")
            parts.push_back(part);
        start = end + 1;
    }
    std::string normal;
    for (const std::string &part : parts)
        normal += (normal.empty() && !absolute ? "" : "/") + part;
    if (normal.empty())
        return absolute ? "/" : ".";
    return normal;
}

// Names that libdw already joined to the compilation directory ("/src/build/../a.cpp", as clang
// records them) come out whole as well.
std::string WholePath(const char *file, const char *directory)
{
    if (file[0] == '/' || !directory)
        return LexicallyNormal(file);
    return LexicallyNormal(std::string(directory) + "/" + file);
}

// The name of a function's debugging entry: its linkage name made readable, else its plain name.
std::string FunctionName(Dwarf_Die *entry)
{
    Dwarf_Attribute attribute;
    const char *linkage = dwarf_formstring(dwarf_attr_integrate(entry, DW_AT_linkage_name, &attribute));
    if (!linkage)
        linkage = dwarf_formstring(dwarf_attr_integrate(entry, DW_AT_MIPS_linkage_name, &attribute));
    if (linkage)
    {
        char *readable = Demangle(linkage);
        const std::string name = readable ? readable : linkage;
        std::free(readable);
        return name;
    }
    const char *name = dwarf_formstring(dwarf_attr_integrate(entry, DW_AT_name, &attribute));
    return name ? name : "??";
}

// The scopes below parent that hold the address, outermost first, appended to chain; true when
// one did. What a namespace, class or structure holds is searched as well: clang puts function
// definitions there, and dwarf_getscopes does not look inside them.
bool FindScopesHolding(Dwarf_Die *parent, Dwarf_Addr address, std::vector<Dwarf_Die> &chain)
{
    Dwarf_Die child;
    if (dwarf_child(parent, &child) != 0)
        return false;
    do
    {
        switch (dwarf_tag(&child))
        {
        case DW_TAG_namespace:
        case DW_TAG_class_type:
        case DW_TAG_structure_type:
        case DW_TAG_union_type:
            if (FindScopesHolding(&child, address, chain))
                return true;
            break;
        case DW_TAG_subprogram:
        case DW_TAG_inlined_subroutine:
        case DW_TAG_lexical_block:
            if (dwarf_haspc(&child, address) == 1)
            {
                chain.push_back(child);
                FindScopesHolding(&child, address, chain);
                return true;
            }
            break;
        default:
            break;
        }
    } while (dwarf_siblingof(&child, &child) == 0);
    return false;
}

// The scopes that hold the address, innermost first, up to the function they belong to.
std::vector<Dwarf_Die> ScopesHolding(Dwarf_Die *unit, Dwarf_Addr address)
{
    std::vector<Dwarf_Die> scopes;
    Dwarf_Die *found = nullptr;
    const int count = dwarf_getscopes(unit, address, &found);
    bool inFunction = false;
    for (int i = 0; i < count; ++i)
    {
        scopes.push_back(found[i]);
        inFunction = inFunction || dwarf_tag(&found[i]) == DW_TAG_subprogram;
    }
    std::free(found);
    if (inFunction)
        return scopes;
    std::vector<Dwarf_Die> chain;
    FindScopesHolding(unit, address, chain);
    return {chain.rbegin(), chain.rend()};
}

// When the address lies in inlined code, the line table names the innermost inlined function's
// line: the chain of inlined calls is added, and the frame's own place becomes the line of the
// outermost call, in the function the address really belongs to.
void AddInlinedCalls(Dwfl_Module *module, Dwarf_Addr address, StackFrameSymbol &symbol)
{
    Dwarf_Addr bias = 0;
    Dwarf_Die *unit = dwfl_module_addrdie(module, address, &bias);
    if (!unit)
        return;
    std::vector<Dwarf_Die> scopes = ScopesHolding(unit, address - bias);
    if (scopes.empty())
        return;
    Dwarf_Files *files = nullptr;
    size_t fileCount = 0;
    if (dwarf_getsrcfiles(unit, &files, &fileCount) != 0)
        files = nullptr;
    Dwarf_Attribute attribute;
    const char *directory = dwarf_formstring(dwarf_attr(unit, DW_AT_comp_dir, &attribute));
    std::string file = symbol.file;
    int line = symbol.line;
    for (Dwarf_Die &entry : scopes)
    {
        Dwarf_Die *scope = &entry;
        const int tag = dwarf_tag(scope);
        if (tag == DW_TAG_subprogram)
            break;
        if (tag != DW_TAG_inlined_subroutine)
            continue;
        symbol.inlined.push_back({FunctionName(scope), file, line});
        Dwarf_Word value = 0;
        file = "<unknown>";
        line = -1;
        const char *name = nullptr;
        if (files && dwarf_formudata(dwarf_attr(scope, DW_AT_call_file, &attribute), &value) == 0 && value < fileCount)
            name = dwarf_filesrc(files, value, nullptr, nullptr);
        if (name)
            file = WholePath(name, directory);
        if (dwarf_formudata(dwarf_attr(scope, DW_AT_call_line, &attribute), &value) == 0)
            line = static_cast<int>(value);
    }
    symbol.file = file;
    symbol.line = line;
}

// Fills in function, file and line from a module of a session; the module's name is the caller's.
void DescribeAddress(Dwfl_Module *module, Dwarf_Addr address, StackFrameSymbol &symbol)
{
    Dwarf_Addr start = 0;
    if (dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr) && address >= start)
        symbol.moduleOffset = address - start;
    GElf_Off offset = 0;
    GElf_Sym elfSymbol;
    const char *name = dwfl_module_addrinfo(module, address, &offset, &elfSymbol, nullptr, nullptr, nullptr);
    // Without a symbol, lines are not looked up either: a line without its function misleads.
    if (!name)
        return;
    symbol.functionOffset = offset;
    char *readable = Demangle(name);
    symbol.function = readable ? readable : name;
    std::free(readable);
    Dwfl_Line *line = dwfl_module_getsrc(module, address);
    if (!line)
        return;
    int lineNumber = 0;
    const char *file = dwfl_lineinfo(line, nullptr, &lineNumber, nullptr, nullptr, nullptr);
    if (!file)
        return;
    symbol.file = WholePath(file, dwfl_line_comp_dir(line));
    symbol.line = lineNumber;
    AddInlinedCalls(module, address, symbol);
}

char *g_debugInfoPath = nullptr;

const Dwfl_Callbacks kOwnProcessCallbacks = {
    dwfl_linux_proc_find_elf,
    dwfl_standard_find_debuginfo,
    nullptr,
    &g_debugInfoPath,
};

const Dwfl_Callbacks kOfflineCallbacks = {
    dwfl_build_id_find_elf,
    dwfl_standard_find_debuginfo,
    dwfl_offline_section_address,
    &g_debugInfoPath,
};

// The own process's modules as the kernel lists them; reported again when an address falls in
// none of them (a library loaded since).
struct OwnProcessSession
{
    std::mutex lock;
    Dwfl *session = nullptr;

    bool Report()
    {
        if (!session)
            session = dwfl_begin(&kOwnProcessCallbacks);
        if (!session)
            return false;
        dwfl_report_begin(session);
        const int failed = dwfl_linux_proc_report(session, getpid());
        return dwfl_report_end(session, nullptr, nullptr) == 0 && failed == 0;
    }
};

// Lives as long as the process: reports written while static objects are destroyed still need it.
// Built in static storage: a block from the heap, never freed, would be the allocation tracker's
// one leak.
OwnProcessSession &OwnSession()
{
    alignas(OwnProcessSession) static unsigned char storage[sizeof(OwnProcessSession)];
    static OwnProcessSession *session = new (storage) OwnProcessSession;
    return *session;
}
} // namespace

__attribute__((noinline)) size_t CaptureStackFrames(uint64_t *frames, size_t capacity, const void *from)
{
    if (capacity == 0)
        return 0;
    CaptureState state{};
    state.frames = frames;
    state.capacity = capacity;
    state.from = reinterpret_cast<uint64_t>(from ? from : __builtin_return_address(0));
    _Unwind_Backtrace(CollectFrame, &state);
    if (!state.started)
        KeepSkippedFrames(state);
    return state.count;
}

StackFrameSymbol SymbolEngine::Resolve(uint64_t address, bool returnAddress)
{
    StackFrameSymbol symbol;
    const Dwarf_Addr lookup = returnAddress && address > 0 ? address - 1 : address;
    OwnProcessSession &own = OwnSession();
    std::lock_guard<std::mutex> hold(own.lock);
    if (!own.session && !own.Report())
        return symbol;
    Dwfl_Module *module = dwfl_addrmodule(own.session, lookup);
    if (!module && own.Report())
        module = dwfl_addrmodule(own.session, lookup);
    if (!module)
        return symbol;
    const char *moduleName = dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (moduleName)
        symbol.module = moduleName;
    DescribeAddress(module, lookup, symbol);
    return symbol;
}

struct OfflineSymbolResolver::Modules
{
    Dwfl *session = nullptr;
    // Path and bias -> the reported module; null when the file could not be read.
    std::map<std::pair<std::string, uint64_t>, Dwfl_Module *> reported;
};

OfflineSymbolResolver::OfflineSymbolResolver() : m_modules(new Modules)
{
    m_modules->session = dwfl_begin(&kOfflineCallbacks);
}

OfflineSymbolResolver::~OfflineSymbolResolver()
{
    if (m_modules->session)
        dwfl_end(m_modules->session);
    delete m_modules;
}

StackFrameSymbol OfflineSymbolResolver::Resolve(const std::string &modulePath, uint64_t bias, uint64_t address,
                                                bool returnAddress)
{
    StackFrameSymbol symbol;
    symbol.module = modulePath;
    if (!m_modules->session)
        return symbol;
    const auto key = std::make_pair(modulePath, bias);
    auto found = m_modules->reported.find(key);
    if (found == m_modules->reported.end())
    {
        dwfl_report_begin_add(m_modules->session);
        Dwfl_Module *module =
            dwfl_report_elf(m_modules->session, modulePath.c_str(), modulePath.c_str(), -1, bias, false);
        dwfl_report_end(m_modules->session, nullptr, nullptr);
        found = m_modules->reported.emplace(key, module).first;
    }
    if (!found->second)
        return symbol;
    DescribeAddress(found->second, returnAddress && address > 0 ? address - 1 : address, symbol);
    return symbol;
}
