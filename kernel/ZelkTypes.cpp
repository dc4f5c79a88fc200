#include "kernel/ZelkTypes.h"

namespace
{
thread_local ReportHooks *t_reportHooks = nullptr;
} // namespace

ReportHooks *RegisterPatchHooks(ReportHooks *hooks)
{
    ReportHooks *previous = t_reportHooks;
    t_reportHooks = hooks;
    return previous;
}

void ReportMessage(MessageLevel level, const std::wstring &text)
{
    if (t_reportHooks)
        t_reportHooks->MessageHook(level, text);
}

void ReportProgressBegin(unsigned steps)
{
    if (t_reportHooks)
        t_reportHooks->ProgressBeginHook(steps);
}

bool ReportProgressStep()
{
    return t_reportHooks ? t_reportHooks->ProgressStepHook() : true;
}

bool ReportCancelRequested()
{
    return t_reportHooks && t_reportHooks->CancelRequested();
}
