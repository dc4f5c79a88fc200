// The dialogs the patcher asks the user through: message boxes and the open-file dialog. One
// process-wide implementation answers them: the toolkit's once a window is up (app/window/
// ToolkitDialogs.h), the console's in a run without a window, a test's own in tests.
#pragma once

#include <string>

#include "run/RunObserver.h"

class wxWindow;

namespace ZelkPatch
{
class UserDialogs
{
public:
    virtual ~UserDialogs() = default;

    // A modal message box; parent may be null. YesNo boxes have No as the default button.
    // GUI thread only.
    virtual MessageBoxAnswer ShowMessageBox(wxWindow *parent, const std::wstring &text, const std::wstring &caption,
                                            MessageBoxStyle style) = 0;
    // The open-file dialog for one existing file; false when the user cancels. wildcard is in
    // the toolkit's "description|pattern" form. GUI thread only.
    virtual bool ChooseExistingFile(wxWindow *parent, const std::wstring &title, const std::wstring &wildcard,
                                    std::wstring &path) = 0;
};

// The dialogs in use: those SetUserDialogs put in place, else the default ones.
UserDialogs &Dialogs();
// Null puts the default dialogs back.
void SetUserDialogs(UserDialogs *dialogs);
// The dialogs used when none were put in place; null: boxes nobody can see, which are written to
// standard error and answered with their default button (no file is ever chosen).
void SetDefaultUserDialogs(UserDialogs *dialogs);
} // namespace ZelkPatch
