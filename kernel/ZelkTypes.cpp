#include "kernel/ZelkTypes.h"

ProgressBeginFunction ProgressBeginHook = nullptr;
ProgressStepFunction ProgressStepHook = nullptr;
MessageFunction MessageHook = nullptr;

void ReportMessage(MessageLevel level, const std::wstring &text)
{
    if (MessageHook)
        MessageHook(level, text);
}

void ReportProgressBegin(unsigned steps)
{
    if (ProgressBeginHook)
        ProgressBeginHook(steps);
}

bool ReportProgressStep()
{
    return ProgressStepHook ? ProgressStepHook() : true;
}
