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

// The three report hooks through which patch code reaches the window. The application installs
// them after start-up; every caller tests the pointer first, so an unset hook reports nothing.
using ProgressBeginFunction = void (*)(unsigned steps);
using ProgressStepFunction = bool (*)();
using MessageFunction = void (*)(MessageLevel level, const std::wstring &text);

extern ProgressBeginFunction ProgressBeginHook;
extern ProgressStepFunction ProgressStepHook;
extern MessageFunction MessageHook;

// Convenience wrappers that test the hook pointers.
void ReportMessage(MessageLevel level, const std::wstring &text);
void ReportProgressBegin(unsigned steps);
// True when the work may go on (also when no hook is installed).
bool ReportProgressStep();
