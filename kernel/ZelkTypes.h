// Shared types of every layer: result codes, message levels and the report hooks.
#pragma once

#include <cstdint>
#include <string>

using ZELKRESULT = uint32_t;

constexpr ZELKRESULT ZELKRESULT_OK = 0;
constexpr ZELKRESULT ZELKRESULT_ACCESS = 1;
constexpr ZELKRESULT ZELKRESULT_IO = 2;
constexpr ZELKRESULT ZELKRESULT_CONNECTION_LOST = 3;
constexpr ZELKRESULT ZELKRESULT_LIST_FAILED = 4;
constexpr ZELKRESULT ZELKRESULT_INVALID_ARGUMENT = 5;
constexpr ZELKRESULT ZELKRESULT_UNSUPPORTED = 6;
constexpr ZELKRESULT ZELKRESULT_INVALID_STATE = 7;
constexpr ZELKRESULT ZELKRESULT_END_OF_DATA = 8;
constexpr ZELKRESULT ZELKRESULT_NO_MEMORY = 9;
constexpr ZELKRESULT ZELKRESULT_BAD_FORMAT = 10;
constexpr ZELKRESULT ZELKRESULT_NETWORK = 11;
constexpr ZELKRESULT ZELKRESULT_REFUSED = 12;
constexpr ZELKRESULT ZELKRESULT_ABORTED = 13;
constexpr ZELKRESULT ZELKRESULT_PARTIAL = 14;

// Levels of the user-visible log: shown black, grey and red.
enum MessageLevel : int
{
    MessageNormal = 0,
    MessageMinor = 1,
    MessageError = 2,
};

// The report hooks through which the code below the application reports to the run it works
// for: a message line, the start of a counted operation of some steps, and one step of it (false:
// stop the work). Hooks belong to the thread that registered them: a run registers its own on the
// thread it runs on, so two runs never see each other's reports, and code called outside a run
// (no hooks registered) reports nothing.
class ReportHooks
{
public:
    virtual ~ReportHooks() = default;
    virtual void MessageHook(MessageLevel level, const std::wstring &text) = 0;
    virtual void ProgressBeginHook(unsigned steps) = 0;
    virtual bool ProgressStepHook() = 0;
    // True once the run asks its work to stop. Unlike a step it moves no gauge, so a wait may ask
    // as often as it likes.
    virtual bool CancelRequested() { return false; }
};

// Registers hooks for the calling thread (null: none) and returns those they replace.
ReportHooks *RegisterPatchHooks(ReportHooks *hooks);

// The calling thread's hooks while the object lives; the earlier ones come back after it.
class ScopedPatchHooks
{
public:
    explicit ScopedPatchHooks(ReportHooks &hooks) : m_previous(RegisterPatchHooks(&hooks)) {}
    ~ScopedPatchHooks() { RegisterPatchHooks(m_previous); }
    ScopedPatchHooks(const ScopedPatchHooks &) = delete;
    ScopedPatchHooks &operator=(const ScopedPatchHooks &) = delete;

private:
    ReportHooks *m_previous;
};

// The calling thread's hooks, or nothing when none are registered.
void ReportMessage(MessageLevel level, const std::wstring &text);
void ReportProgressBegin(unsigned steps);
// True when the work may go on (also when no hooks are registered).
bool ReportProgressStep();
// True when the calling thread's run asks to stop (false when no hooks are registered).
bool ReportCancelRequested();
