#include "app/window/ToolkitDialogs.h"

#include <wx/filedlg.h>
#include <wx/msgdlg.h>

#include "app/UserDialogs.h"

namespace ZelkPatch
{
namespace
{
class ToolkitDialogs : public UserDialogs
{
public:
    MessageBoxAnswer ShowMessageBox(wxWindow *parent, const std::wstring &text, const std::wstring &caption,
                                    MessageBoxStyle style) override
    {
        if (style == MessageBoxStyle::Ok)
        {
            wxMessageDialog dialog(parent, text, caption, wxOK | wxCENTRE);
            dialog.ShowModal();
            return MessageBoxAnswer::Ok;
        }
        wxMessageDialog dialog(parent, text, caption, wxYES_NO | wxNO_DEFAULT | wxCENTRE);
        return dialog.ShowModal() == wxID_YES ? MessageBoxAnswer::Yes : MessageBoxAnswer::No;
    }

    bool ChooseExistingFile(wxWindow *parent, const std::wstring &title, const std::wstring &wildcard,
                            std::wstring &path) override
    {
        // The current directory stays as it is: start-up made it the program's directory.
        wxFileDialog dialog(parent, title, wxEmptyString, wxEmptyString, wildcard,
                            wxFD_OPEN | wxFD_FILE_MUST_EXIST);
        if (dialog.ShowModal() != wxID_OK)
            return false;
        path = dialog.GetPath().ToStdWstring();
        return true;
    }
};
} // namespace

void UseToolkitDialogs()
{
    static ToolkitDialogs dialogs;
    SetDefaultUserDialogs(&dialogs);
}
} // namespace ZelkPatch
