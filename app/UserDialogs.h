// The dialogs the patcher asks the user through: message boxes and the open-file dialog. One
// process-wide implementation answers them; tests and the run without a window put their own in
// place of the toolkit's dialogs.
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

// The dialogs in use: the toolkit's unless SetUserDialogs put others in place.
UserDialogs &Dialogs();
// Null puts the toolkit's dialogs back.
void SetUserDialogs(UserDialogs *dialogs);
} // namespace ZelkPatch
