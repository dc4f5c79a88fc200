// The allocation tracker's stack capture. The compiler's unwinder searches the unwind tables and
// interprets a frame's unwind program for every frame of every capture; the tracker captures on
// every allocation, so here each code address's rule for finding its caller's frame is worked
// out once and kept per thread, and a capture costs a few loads per frame. Code without unwind
// tables ends the walk, as it ends the compiler's unwinder's; whatever the rules cannot express (a
// signal frame, a frame address computed by an expression) is left to the compiler's unwinder for
// the whole capture, so the result is the same.
#include "kernel/StackWalk.h"

#if defined(__x86_64__)

#include <algorithm>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/mman.h>

extern "C"
{
    // The compiler runtime's lookup of a code address's unwind entry (part of its ABI).
    struct dwarf_eh_bases
    {
        void *tbase;
        void *dbase;
        void *func;
    };
    const void *_Unwind_Find_FDE(void *pc, dwarf_eh_bases *bases);
}

namespace
{
// Register numbers of the unwind tables on x86-64.
constexpr uint64_t kFramePointer = 6;
constexpr uint64_t kStackPointer = 7;
constexpr uint64_t kReturnAddress = 16;
constexpr int64_t kReturnAddressSlot = -8;

constexpr size_t kCacheEntries = 8192;
constexpr size_t kMaxSavedStates = 8;
// As the compiler's unwinder does, frames above the one asked for are passed over while looking
// for it, and kept when it does not come.
constexpr size_t kMaxSkippedFrames = 16;
constexpr size_t kMaxCapacity = 64;

enum RuleFlags : uint8_t
{
    kRuleKnown = 1,
    // The walk can go on with this rule; otherwise the compiler's unwinder takes the capture.
    kRuleUsable = 2,
    kFrameAddressFromFramePointer = 4,
    kFramePointerSaved = 8,
    // The outermost frame of the thread: the walk ends here.
    kOutermost = 16,
};

// How to get from a frame at `address` to its caller's: the frame address (CFA) is the stack or
// frame pointer plus frameOffset, the return address lies just below it, and the caller's frame
// pointer is either unchanged or saved at savedFramePointer from the frame address.
struct UnwindRule
{
    uint64_t address;
    int32_t frameOffset;
    int16_t savedFramePointer;
    uint8_t flags;
};

struct ThreadUnwindCache
{
    uint64_t stackTop;
    UnwindRule rules[kCacheEntries];
};

// One register's rule while an unwind program is interpreted.
struct RegisterRule
{
    enum Kind : uint8_t
    {
        kUnchanged,
        kUndefined,
        kAtOffset,
        kOther,
    } kind = kUnchanged;
    int64_t offset = 0;
};

struct FrameState
{
    uint64_t frameRegister = kStackPointer;
    int64_t frameOffset = 0;
    bool frameByExpression = false;
    RegisterRule framePointer;
    RegisterRule returnAddress;
};

class TableReader
{
public:
    TableReader(const uint8_t *position, const uint8_t *end) : m_position(position), m_end(end) {}

    bool AtEnd() const { return m_position >= m_end; }
    bool Failed() const { return m_failed; }
    const uint8_t *Position() const { return m_position; }

    uint64_t Fixed(size_t size)
    {
        if (static_cast<size_t>(m_end - m_position) < size)
            return Fail();
        uint64_t value = 0;
        std::memcpy(&value, m_position, size);
        m_position += size;
        return value;
    }

    uint64_t Unsigned()
    {
        uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7)
        {
            if (AtEnd())
                return Fail();
            const uint8_t byte = *m_position++;
            value |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return value;
        }
        return Fail();
    }

    int64_t Signed()
    {
        int64_t value = 0;
        int shift = 0;
        for (; shift < 64; shift += 7)
        {
            if (AtEnd())
                return static_cast<int64_t>(Fail());
            const uint8_t byte = *m_position++;
            value |= static_cast<int64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80))
            {
                if (shift + 7 < 64 && (byte & 0x40))
                    value |= -(static_cast<int64_t>(1) << (shift + 7));
                return value;
            }
        }
        return static_cast<int64_t>(Fail());
    }

    void Skip(uint64_t size)
    {
        if (static_cast<uint64_t>(m_end - m_position) < size)
            Fail();
        else
            m_position += size;
    }

    // The size of a pointer in the given encoding; false for one whose size is not fixed.
    bool SkipEncoded(uint8_t encoding)
    {
        switch (encoding & 0x0f)
        {
        case 0x00: // absolute
        case 0x04: // unsigned 8 bytes
        case 0x0c: // signed 8 bytes
            Skip(8);
            return true;
        case 0x02:
        case 0x0a:
            Skip(2);
            return true;
        case 0x03:
        case 0x0b:
            Skip(4);
            return true;
        case 0x01:
            Unsigned();
            return true;
        case 0x09:
            Signed();
            return true;
        default:
            return false;
        }
    }

private:
    uint64_t Fail()
    {
        m_failed = true;
        m_position = m_end;
        return 0;
    }

    const uint8_t *m_position;
    const uint8_t *m_end;
    bool m_failed = false;
};

RegisterRule *Tracked(FrameState &state, uint64_t reg)
{
    if (reg == kFramePointer)
        return &state.framePointer;
    if (reg == kReturnAddress)
        return &state.returnAddress;
    return nullptr;
}

// Back to the rule the common entry's program gave the register.
void Restore(FrameState &state, const FrameState &initial, uint64_t reg)
{
    if (RegisterRule *rule = Tracked(state, reg))
        *rule = reg == kFramePointer ? initial.framePointer : initial.returnAddress;
}

void SetRule(FrameState &state, uint64_t reg, RegisterRule::Kind kind, int64_t offset = 0)
{
    if (RegisterRule *rule = Tracked(state, reg))
        *rule = RegisterRule{kind, offset};
}

// Interprets an unwind program up to the rule that holds at `target`. False for what the rules
// of this walker cannot express.
bool Interpret(TableReader &program, uint64_t codeAlign, int64_t dataAlign, uint64_t &location, uint64_t target,
               FrameState &state, const FrameState &initial)
{
    FrameState saved[kMaxSavedStates];
    size_t savedCount = 0;
    auto advance = [&](uint64_t delta) {
        location += delta * codeAlign;
        return location <= target;
    };
    while (!program.AtEnd())
    {
        const uint8_t op = static_cast<uint8_t>(program.Fixed(1));
        const uint8_t operand = op & 0x3f;
        switch (op & 0xc0)
        {
        case 0x40: // advance_loc
            if (!advance(operand))
                return true;
            continue;
        case 0x80: // offset
            SetRule(state, operand, RegisterRule::kAtOffset, static_cast<int64_t>(program.Unsigned()) * dataAlign);
            continue;
        case 0xc0: // restore
            Restore(state, initial, operand);
            continue;
        default:
            break;
        }
        switch (op)
        {
        case 0x00: // nop
            break;
        case 0x02: // advance_loc1
            if (!advance(program.Fixed(1)))
                return true;
            break;
        case 0x03: // advance_loc2
            if (!advance(program.Fixed(2)))
                return true;
            break;
        case 0x04: // advance_loc4
            if (!advance(program.Fixed(4)))
                return true;
            break;
        case 0x05: { // offset_extended
            const uint64_t reg = program.Unsigned();
            SetRule(state, reg, RegisterRule::kAtOffset, static_cast<int64_t>(program.Unsigned()) * dataAlign);
            break;
        }
        case 0x06: // restore_extended
            Restore(state, initial, program.Unsigned());
            break;
        case 0x07: // undefined
            SetRule(state, program.Unsigned(), RegisterRule::kUndefined);
            break;
        case 0x08: // same_value
            SetRule(state, program.Unsigned(), RegisterRule::kUnchanged);
            break;
        case 0x09: { // register
            const uint64_t reg = program.Unsigned();
            program.Unsigned();
            SetRule(state, reg, RegisterRule::kOther);
            break;
        }
        case 0x0a: // remember_state
            if (savedCount == kMaxSavedStates)
                return false;
            saved[savedCount++] = state;
            break;
        case 0x0b: // restore_state
            if (savedCount == 0)
                return false;
            state = saved[--savedCount];
            break;
        case 0x0c: // def_cfa
            state.frameRegister = program.Unsigned();
            state.frameOffset = static_cast<int64_t>(program.Unsigned());
            break;
        case 0x0d: // def_cfa_register
            state.frameRegister = program.Unsigned();
            break;
        case 0x0e: // def_cfa_offset
            state.frameOffset = static_cast<int64_t>(program.Unsigned());
            break;
        case 0x0f: // def_cfa_expression
            return false;
        case 0x10:   // expression
        case 0x16: { // val_expression
            const uint64_t reg = program.Unsigned();
            program.Skip(program.Unsigned());
            SetRule(state, reg, RegisterRule::kOther);
            break;
        }
        case 0x11: { // offset_extended_sf
            const uint64_t reg = program.Unsigned();
            SetRule(state, reg, RegisterRule::kAtOffset, program.Signed() * dataAlign);
            break;
        }
        case 0x12: // def_cfa_sf
            state.frameRegister = program.Unsigned();
            state.frameOffset = program.Signed() * dataAlign;
            break;
        case 0x13: // def_cfa_offset_sf
            state.frameOffset = program.Signed() * dataAlign;
            break;
        case 0x14: // val_offset
        case 0x15: // val_offset_sf
            SetRule(state, program.Unsigned(), RegisterRule::kOther);
            if (op == 0x14)
                program.Unsigned();
            else
                program.Signed();
            break;
        case 0x2e: // GNU_args_size
            program.Unsigned();
            break;
        case 0x2f: { // GNU_negative_offset_extended
            const uint64_t reg = program.Unsigned();
            SetRule(state, reg, RegisterRule::kAtOffset, -static_cast<int64_t>(program.Unsigned()) * dataAlign);
            break;
        }
        default:
            return false;
        }
        if (program.Failed())
            return false;
    }
    return !program.Failed();
}

// Whether the code at returnAddress is "mov $15, %rax; syscall", the return from a signal handler.
bool ReturnsIntoSignalTrampoline(uint64_t returnAddress)
{
    static constexpr uint8_t kSignalReturn[] = {0x48, 0xc7, 0xc0, 0x0f, 0x00, 0x00, 0x00, 0x0f, 0x05};
    return std::memcmp(reinterpret_cast<const void *>(returnAddress), kSignalReturn, sizeof kSignalReturn) == 0;
}

// Works out the rule that holds at `lookup` from its unwind entry.
UnwindRule ComputeRule(uint64_t lookup)
{
    UnwindRule rule{lookup, 0, 0, kRuleKnown};
    dwarf_eh_bases bases{};
    const uint8_t *entry = static_cast<const uint8_t *>(_Unwind_Find_FDE(reinterpret_cast<void *>(lookup), &bases));
    if (!entry)
    {
        // The compiler's unwinder ends its walk at code without an unwind entry (the dynamic
        // loader's start, which runs the libraries' static constructors, is such code), unless
        // the return goes into a signal trampoline, which it recognises by its instructions.
        if (!ReturnsIntoSignalTrampoline(lookup + 1))
            rule.flags |= kRuleUsable | kOutermost;
        return rule;
    }
    uint32_t entryLength = 0;
    std::memcpy(&entryLength, entry, 4);
    if (entryLength == 0 || entryLength == 0xffffffffu)
        return rule;
    const uint8_t *entryEnd = entry + 4 + entryLength;
    int32_t commonOffset = 0;
    std::memcpy(&commonOffset, entry + 4, 4);
    const uint8_t *common = entry + 4 - commonOffset;

    // The common entry: version, augmentation, alignments, the initial program.
    uint32_t commonLength = 0;
    std::memcpy(&commonLength, common, 4);
    if (commonLength == 0 || commonLength == 0xffffffffu)
        return rule;
    TableReader header(common + 8, common + 4 + commonLength);
    const uint64_t version = header.Fixed(1);
    const char *augmentation = reinterpret_cast<const char *>(header.Position());
    const size_t augmentationLength =
        strnlen(augmentation, static_cast<size_t>(common + 4 + commonLength - header.Position()));
    header.Skip(augmentationLength + 1);
    const uint64_t codeAlign = header.Unsigned();
    const int64_t dataAlign = header.Signed();
    const uint64_t returnColumn = version == 1 ? header.Fixed(1) : header.Unsigned();
    if (returnColumn != kReturnAddress || augmentation[0] != 'z')
        return rule;
    const uint64_t dataLength = header.Unsigned();
    const uint8_t *dataEnd = header.Position() + dataLength;
    uint8_t pointerEncoding = 0;
    for (const char *letter = augmentation + 1; *letter; ++letter)
    {
        switch (*letter)
        {
        case 'R':
            pointerEncoding = static_cast<uint8_t>(header.Fixed(1));
            break;
        case 'L':
            header.Fixed(1);
            break;
        case 'P':
            if (!header.SkipEncoded(static_cast<uint8_t>(header.Fixed(1))))
                return rule;
            break;
        default: // 'S', a signal frame, and whatever else: the compiler's unwinder knows better
            return rule;
        }
    }
    if (header.Failed() || header.Position() > dataEnd)
        return rule;
    TableReader initialProgram(dataEnd, common + 4 + commonLength);

    // The entry itself: skip the code range and its augmentation data.
    TableReader body(entry + 8, entryEnd);
    if (!body.SkipEncoded(pointerEncoding) || !body.SkipEncoded(pointerEncoding & 0x0f))
        return rule;
    body.Skip(body.Unsigned());
    if (body.Failed())
        return rule;

    FrameState state;
    uint64_t location = reinterpret_cast<uint64_t>(bases.func);
    const uint64_t noTarget = ~uint64_t{0};
    if (!Interpret(initialProgram, codeAlign, dataAlign, location, noTarget, state, state))
        return rule;
    const FrameState initial = state;
    location = reinterpret_cast<uint64_t>(bases.func);
    if (!Interpret(body, codeAlign, dataAlign, location, lookup, state, initial))
        return rule;

    if (state.returnAddress.kind == RegisterRule::kUndefined)
    {
        rule.flags |= kRuleUsable | kOutermost;
        return rule;
    }
    const bool framePointerUsable = state.framePointer.kind == RegisterRule::kUnchanged ||
                                    (state.framePointer.kind == RegisterRule::kAtOffset &&
                                     state.framePointer.offset >= INT16_MIN && state.framePointer.offset <= INT16_MAX);
    if (state.frameByExpression || (state.frameRegister != kStackPointer && state.frameRegister != kFramePointer) ||
        state.frameOffset < INT32_MIN || state.frameOffset > INT32_MAX || !framePointerUsable ||
        state.returnAddress.kind != RegisterRule::kAtOffset || state.returnAddress.offset != kReturnAddressSlot)
        return rule;
    rule.flags |= kRuleUsable;
    rule.frameOffset = static_cast<int32_t>(state.frameOffset);
    if (state.frameRegister == kFramePointer)
        rule.flags |= kFrameAddressFromFramePointer;
    if (state.framePointer.kind == RegisterRule::kAtOffset)
    {
        rule.flags |= kFramePointerSaved;
        rule.savedFramePointer = static_cast<int16_t>(state.framePointer.offset);
    }
    return rule;
}

pthread_key_t g_cacheKey;

__attribute__((tls_model("initial-exec"))) thread_local ThreadUnwindCache *t_cache = nullptr;

// Runs on the thread that ends, which may still allocate afterwards: it then starts a new cache.
void ReleaseCache(void *cache)
{
    t_cache = nullptr;
    munmap(cache, sizeof(ThreadUnwindCache));
}

ThreadUnwindCache *ThisThreadsCache()
{
    if (t_cache)
        return t_cache;
    static std::once_flag keyMade;
    std::call_once(keyMade, [] { pthread_key_create(&g_cacheKey, ReleaseCache); });
    void *memory = mmap(nullptr, sizeof(ThreadUnwindCache), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    ThreadUnwindCache *cache = static_cast<ThreadUnwindCache *>(memory);
    pthread_attr_t attributes;
    void *stackBase = nullptr;
    size_t stackSize = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0)
    {
        munmap(memory, sizeof(ThreadUnwindCache));
        return nullptr;
    }
    pthread_attr_getstack(&attributes, &stackBase, &stackSize);
    pthread_attr_destroy(&attributes);
    cache->stackTop = reinterpret_cast<uint64_t>(stackBase) + stackSize;
    pthread_setspecific(g_cacheKey, cache);
    t_cache = cache;
    return cache;
}

const UnwindRule &RuleFor(ThreadUnwindCache &cache, uint64_t lookup)
{
    UnwindRule &slot = cache.rules[(lookup * 0x9E3779B97F4A7C15ull) >> 51];
    if (!(slot.flags & kRuleKnown) || slot.address != lookup)
        slot = ComputeRule(lookup);
    return slot;
}
} // namespace

// Reads the return address and frame pointer slots of the frames above, which belong to no object
// of this function: an address sanitizer is not to take that for an overflow.
__attribute__((noinline, no_sanitize_address)) size_t CaptureStackFramesCached(uint64_t *frames, size_t capacity,
                                                                               const void *from)
{
    if (!from)
        from = __builtin_return_address(0);
    ThreadUnwindCache *cache = ThisThreadsCache();
    if (!cache || capacity > kMaxCapacity)
        return CaptureStackFrames(frames, capacity, from);
    uint64_t address, stack, framePointer;
    // Where this function stands now: its unwind rule at this very instruction finds its caller.
    asm volatile("lea 0(%%rip), %0\n\tmov %%rsp, %1\n\tmov %%rbp, %2" : "=r"(address), "=r"(stack), "=r"(framePointer));
    const uint64_t bottom = stack;
    uint64_t raw[kMaxSkippedFrames + kMaxCapacity];
    const size_t limit = kMaxSkippedFrames + capacity;
    size_t count = 0;
    uint64_t lookup = address;
    while (count < limit)
    {
        const UnwindRule &rule = RuleFor(*cache, lookup);
        if (!(rule.flags & kRuleUsable))
            return CaptureStackFrames(frames, capacity, from);
        if (rule.flags & kOutermost)
            break;
        const uint64_t frameAddress =
            ((rule.flags & kFrameAddressFromFramePointer) ? framePointer : stack) + rule.frameOffset;
        // Every read stays on this thread's stack; a frame that points elsewhere ends the walk.
        if (frameAddress <= stack || frameAddress > cache->stackTop || frameAddress - 8 < bottom)
            break;
        const uint64_t returnAddress = *reinterpret_cast<const uint64_t *>(frameAddress + kReturnAddressSlot);
        if (rule.flags & kFramePointerSaved)
        {
            const uint64_t slot = frameAddress + rule.savedFramePointer;
            if (slot < bottom || slot + 8 > cache->stackTop)
                break;
            framePointer = *reinterpret_cast<const uint64_t *>(slot);
        }
        stack = frameAddress;
        if (returnAddress == 0)
            break;
        raw[count++] = returnAddress;
        lookup = returnAddress - 1;
    }
    size_t start = 0;
    while (start < count && start <= kMaxSkippedFrames && raw[start] != reinterpret_cast<uint64_t>(from))
        ++start;
    if (start == count || start > kMaxSkippedFrames)
        start = 0;
    const size_t kept = std::min(capacity, count - start);
    std::memcpy(frames, raw + start, kept * sizeof(uint64_t));
    return kept;
}

#else

size_t CaptureStackFramesCached(uint64_t *frames, size_t capacity, const void *from)
{
    return CaptureStackFrames(frames, capacity, from ? from : __builtin_return_address(0));
}

#endif
