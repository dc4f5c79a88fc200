// What a patch run tells whoever presents it, and what it asks: the one interface between the run
// engine and its drivers (the window, the console of an unattended run, a test). A run calls it
// from the thread it runs on and from the threads it starts (the gauge of the asset-database
// rebuild); an implementation that shows things elsewhere hands them over, keeping their order.
#pragma once

#include <string>

#include "kernel/ZelkTypes.h"
#include "patch/PelmoPatchTask.h"

namespace ZelkPatch
{
enum class MessageBoxStyle
{
    Ok,
    YesNo,
};

enum class MessageBoxAnswer
{
    Ok,
    Yes,
    No,
};

class RunObserver
{
public:
    virtual ~RunObserver() = default;

    // One line of the log at its level (MessageLevel; other values keep the previous colour).
    virtual void Message(MessageLevel level, const std::wstring &text) = 0;

    // The gauge: its range (the value goes back to 0), an absolute value, and one step up.
    virtual void GaugeRange(int range) = 0;
    virtual void GaugeValue(int value) = 0;
    virtual void GaugeStep() = 0;

    // How far the download under way has come: called repeatedly while it runs, and once more with
    // running false when it has ended.
    virtual void DownloadProgress(const TransferProgress &progress, bool running) = 0;

    // Questions to the user. A modal message box without owner; YesNo boxes default to No.
    virtual MessageBoxAnswer AskMessageBox(const std::wstring &text, const std::wstring &caption,
                                           MessageBoxStyle style) = 0;
    // The open-file dialog for one existing file; false when the user cancels. filter is in the
    // "description|pattern" form.
    virtual bool AskExistingFile(const std::wstring &title, const std::wstring &filter, std::wstring &path) = 0;
};
} // namespace ZelkPatch
