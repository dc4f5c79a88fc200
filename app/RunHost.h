// What a patch run needs from whatever presents it: the window, or the console of an unattended
// run. Worker threads call these from their own thread; an implementation hands every change of
// a control to the GUI thread (GTK widgets are touched only there) and keeps the calls' order.
#pragma once

#include <string>

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

class RunHost
{
public:
    virtual ~RunHost() = default;

    // The user has asked to cancel (after confirming) or to leave.
    virtual bool IsCancelling() const = 0;
    // "Apply Update" enabled again, e.g. after the product-running case.
    virtual void EnableApply() = 0;
    // Shows the settings' installation path in the installation field.
    virtual void ShowInstallPath() = 0;
    // A modal message box without owner; blocks the calling worker until it is answered.
    virtual MessageBoxAnswer ShowMessageBox(const std::wstring &text, const std::wstring &caption,
                                            MessageBoxStyle style) = 0;
    // The gauge: range and absolute value, and one step up.
    virtual void SetGaugeRange(int range) = 0;
    virtual void SetGaugeValue(int value) = 0;
    virtual void AdvanceGauge() = 0;
    // The run's worker has finished (the thread-finished event).
    virtual void RunFinished() = 0;
};
} // namespace ZelkPatch
