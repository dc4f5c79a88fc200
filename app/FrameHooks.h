// The report hooks of the patch code and whatever presents a run: the main window, or the console
// of a run without a window. Patch code reaches the presentation only through these functions;
// they may be called from any thread and do nothing while nothing presents the run.
#pragma once

#include <string>

#include "app/RunHost.h"
#include "kernel/ZelkTypes.h"

class wxWindow;

namespace ZelkPatch
{
// A RunHost that also shows the run's message log.
class RunDisplay : public RunHost
{
public:
    // Appends one message line in the colour of its level; any thread; lines keep their order.
    virtual void AppendMessage(MessageLevel level, const std::wstring &text) = 0;
    // Empties the log; any thread.
    virtual void ClearMessages() = 0;
    // The "..." button next to the installation field, enabled once a payload is present.
    virtual void EnableBrowse() = 0;
    // The owner of dialogs asked for on behalf of the run; null for none.
    virtual wxWindow *DialogParent() = 0;
};

// The one display of the process: set when the main window (or the console) is made and cleared
// when it goes away.
void SetRunDisplay(RunDisplay *display);
RunDisplay *CurrentRunDisplay();

// MessageHook: posts the line to the display.
void PostFrameMessage(MessageLevel level, const std::wstring &text);
// ProgressBeginHook: the gauge range becomes twice the step count, its value 0.
void FrameProgressBegin(unsigned steps);
// ProgressStepHook: false once the user confirmed a cancel or the worker was asked to stop;
// otherwise one gauge step.
bool FrameProgressStep();
// Empties the log pane; any thread.
void ClearLog();

// The catalogue text of id with its printf conversions filled in (bounded, never overrun). The
// catalogue's "%s" takes wide text; glibc's wide printf calls that "%ls", so the format is adapted.
std::wstring FormatCatalogueText(unsigned id, ...);

// Installs the three hooks through which the patch code reports.
void RegisterPatchHooks(ProgressBeginFunction progressBegin, ProgressStepFunction progressStep,
                        MessageFunction message);
} // namespace ZelkPatch
